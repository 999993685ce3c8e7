#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The ways the clients log in beside the classic ones, and the SASL messages they send:
// PLAIN (RFC 4616), and the two ways of presenting an OAuth 2.0 access token, XOAUTH2 and
// OAUTHBEARER (RFC 7628). Both token mechanisms answer a failed login with an error
// challenge (a JSON text in Base64) to which the client must reply once before the server
// sends its final refusal.
namespace vorla {

// How the uplink POP3 client logs in. Stored in the settings as its word.
enum class TPopAuth : int {
    User = 0,         // "USER" and "PASS"
    Plain = 1,        // "AUTH PLAIN" (RFC 5034)
    XOAuth2 = 2,      // "AUTH XOAUTH2" with an access token
    OAuthBearer = 3,  // "AUTH OAUTHBEARER" with an access token
};

// How the SMTP client logs in to a relay. Stored in the settings as its word.
enum class TSmtpAuth : int {
    Auto = 0,  // PLAIN when the server offers it, else LOGIN
    XOAuth2 = 1,
    OAuthBearer = 2,
};

// "user", "plain", "xoauth2", "oauthbearer"; and back (letter case and blanks around the
// word ignored; nullopt for any other text).
const char* PopAuthWord(TPopAuth auth);
std::optional<TPopAuth> ParsePopAuth(std::string_view word);
// "auto", "xoauth2", "oauthbearer"; and back.
const char* SmtpAuthWord(TSmtpAuth auth);
std::optional<TSmtpAuth> ParseSmtpAuth(std::string_view word);

// The SASL mechanism's name as it goes over the wire ("PLAIN", "XOAUTH2", "OAUTHBEARER");
// "" for the ways that are no SASL mechanism (USER/PASS, the automatic choice).
const char* SaslMechanism(TPopAuth auth);
const char* SaslMechanism(TSmtpAuth auth);
// True for the two ways that present an access token.
bool IsOAuth(TPopAuth auth);
bool IsOAuth(TSmtpAuth auth);

// The mechanisms' client messages, before Base64.
// PLAIN: NUL, user, NUL, password.
std::string PlainResponse(const std::string& user, const std::string& password);
// XOAUTH2: "user=" user ^A "auth=Bearer " token ^A ^A.
std::string XOAuth2Response(const std::string& user, const std::string& token);
// OAUTHBEARER: the GS2 header "n,a=" user "," (with "," and "=" in the user written as
// "=2C" and "=3D"), then ^A "host=" host ^A "port=" port ^A "auth=Bearer " token ^A ^A.
std::string OAuthBearerResponse(const std::string& user, const std::string& host, std::uint16_t port,
                                const std::string& token);
// What the client sends after an error challenge: the empty response for XOAUTH2, a single
// ^A for OAUTHBEARER (RFC 7628, 3.2.3); before Base64.
std::string ErrorChallengeAnswer(const char* mechanism);

// Base64 of bytes in one line, without line breaks.
std::string EncodeBase64Line(const std::string& bytes);
// The bytes of a Base64 text (blanks and line breaks skipped, padding optional); nullopt
// when it holds any other character.
std::optional<std::string> DecodeBase64Line(std::string_view text);

// The server's error challenge as a text to show the user: the decoded JSON when it is
// printable, else the challenge as it came. "" for an empty challenge.
std::string ChallengeText(std::string_view base64);

}  // namespace vorla

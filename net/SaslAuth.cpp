#include "net/SaslAuth.h"

#include "platform/Strings.h"

namespace vorla {
namespace {

struct TWord {
    int value;
    const char* word;
};

constexpr TWord kPopWords[] = {{0, "user"}, {1, "plain"}, {2, "xoauth2"}, {3, "oauthbearer"}};
constexpr TWord kSmtpWords[] = {{0, "auto"}, {1, "xoauth2"}, {2, "oauthbearer"}};

template <std::size_t N>
std::optional<int> FindWord(const TWord (&words)[N], std::string_view text) {
    text = TrimmedView(text, TTrimSet::Blanks);
    for (const TWord& w : words)
        if (SameTextAscii(text, w.word)) return w.value;
    return std::nullopt;
}

// A SASL name in the GS2 header: "," and "=" would end or confuse it.
std::string EscapeSaslName(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == ',') out += "=2C";
        else if (c == '=') out += "=3D";
        else out += c;
    }
    return out;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

const char* PopAuthWord(TPopAuth auth) { return kPopWords[static_cast<int>(auth)].word; }

std::optional<TPopAuth> ParsePopAuth(std::string_view word) {
    const auto value = FindWord(kPopWords, word);
    return value ? std::optional<TPopAuth>(static_cast<TPopAuth>(*value)) : std::nullopt;
}

const char* SmtpAuthWord(TSmtpAuth auth) { return kSmtpWords[static_cast<int>(auth)].word; }

std::optional<TSmtpAuth> ParseSmtpAuth(std::string_view word) {
    const auto value = FindWord(kSmtpWords, word);
    return value ? std::optional<TSmtpAuth>(static_cast<TSmtpAuth>(*value)) : std::nullopt;
}

const char* SaslMechanism(TPopAuth auth) {
    switch (auth) {
        case TPopAuth::Plain: return "PLAIN";
        case TPopAuth::XOAuth2: return "XOAUTH2";
        case TPopAuth::OAuthBearer: return "OAUTHBEARER";
        case TPopAuth::User: break;
    }
    return "";
}

const char* SaslMechanism(TSmtpAuth auth) {
    switch (auth) {
        case TSmtpAuth::XOAuth2: return "XOAUTH2";
        case TSmtpAuth::OAuthBearer: return "OAUTHBEARER";
        case TSmtpAuth::Auto: break;
    }
    return "";
}

bool IsOAuth(TPopAuth auth) { return auth == TPopAuth::XOAuth2 || auth == TPopAuth::OAuthBearer; }
bool IsOAuth(TSmtpAuth auth) { return auth != TSmtpAuth::Auto; }

std::string PlainResponse(const std::string& user, const std::string& password) {
    return std::string(1, '\0') + user + '\0' + password;
}

std::string XOAuth2Response(const std::string& user, const std::string& token) {
    return "user=" + user + "\x01" + "auth=Bearer " + token + "\x01\x01";
}

std::string OAuthBearerResponse(const std::string& user, const std::string& host, std::uint16_t port,
                                const std::string& token) {
    return "n,a=" + EscapeSaslName(user) + ",\x01" + "host=" + host + "\x01" + "port=" + std::to_string(port) +
           "\x01" + "auth=Bearer " + token + "\x01\x01";
}

std::string ErrorChallengeAnswer(const char* mechanism) {
    return std::string_view(mechanism) == "OAUTHBEARER" ? std::string("\x01") : std::string();
}

std::string EncodeBase64Line(const std::string& bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[v >> 18 & 63];
        out += kDigits[v >> 12 & 63];
        out += kDigits[v >> 6 & 63];
        out += kDigits[v & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           (two ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0u);
        out += kDigits[v >> 18 & 63];
        out += kDigits[v >> 12 & 63];
        out += two ? kDigits[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> DecodeBase64Line(std::string_view text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    bool padded = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            padded = true;
            continue;
        }
        const int v = Base64Value(c);
        if (v < 0 || padded) return std::nullopt;
        bits = bits << 6 | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>(bits >> count & 0xFF);
        }
    }
    return out;
}

std::string ChallengeText(std::string_view base64) {
    const auto decoded = DecodeBase64Line(base64);
    if (decoded) {
        bool printable = true;
        for (unsigned char c : *decoded)
            if (c < 0x20 || c == 0x7F) printable = false;
        if (printable) return *decoded;
    }
    std::string text(base64);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return text;
}

}  // namespace vorla

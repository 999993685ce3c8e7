#pragma once
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// The account settings the command line can change, named by their "options.ini" keys, with
// the check of each value. Checking and changing are apart: a command checks every
// KEY=VALUE first and changes nothing unless all of them are good.
namespace vorla {

struct TAccountSettings;

// A key that is not an account setting, or a value the setting cannot take. what() is the
// message for the user.
class TAccountKeyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Changes one setting of an account; made by ParseAccountSetting from a checked value.
using TAccountChange = std::function<void(TAccountSettings&)>;

// Checks value for key (letter case of the key ignored) and returns the change. Values:
//   texts: any bytes but control characters (a line break would start another key in
//          "options.ini"); passwords alike;
//   booleans: 0 or 1 (also true/false, yes/no, on/off, any letter case);
//   popport, smtpport: whole numbers 0..65535; rejectkb: a whole number in the 32-bit range;
//   popsecurity, smtpsecurity: none, starttls (or stls) or tls, also plain/ssl or 0, 1, 2;
//   popauth: user, plain, xoauth2 or oauthbearer; smtpauth: auto, xoauth2 or oauthbearer;
//   passwordcommand, smtppasswordcommand: a command line, on one line like the texts.
// Throws TAccountKeyError.
TAccountChange ParseAccountSetting(const std::string& key, const std::string& value);

// True for "password" and "smtppassword" (letter case ignored): their value "-" is read from
// standard input instead.
bool IsPasswordKey(const std::string& key);

// True for "name" (letter case ignored).
bool IsNameKey(const std::string& key);

// Every key, in the order "options.ini" keeps them.
const std::vector<std::string>& AccountSettingKeys();

// A text is usable as an account name or text setting: no control characters.
bool IsPlainText(const std::string& text);

}  // namespace vorla

#include "app/cli/AccountKeys.h"

#include <charconv>
#include <climits>
#include <cstdint>

#include "engine/ZivadAccount.h"

namespace vorla {
namespace {

enum class TKind { Text, Password, Command, Bool, Port, Int32, Security, PopAuth, SmtpAuth };

struct TKeyEntry {
    const char* key;
    TKind kind;
    std::string TAccountSettings::*text = nullptr;
    bool TAccountSettings::*flag = nullptr;
    std::uint16_t TAccountSettings::*port16 = nullptr;
    int TAccountSettings::*number = nullptr;
    TTlsMode TAccountSettings::*security = nullptr;
    TPopAuth TAccountSettings::*popAuth = nullptr;
    TSmtpAuth TAccountSettings::*smtpAuth = nullptr;
};

TKeyEntry Text(const char* key, std::string TAccountSettings::*field, TKind kind = TKind::Text) {
    TKeyEntry e{key, kind};
    e.text = field;
    return e;
}
TKeyEntry Flag(const char* key, bool TAccountSettings::*field) {
    TKeyEntry e{key, TKind::Bool};
    e.flag = field;
    return e;
}
TKeyEntry Port16(const char* key, std::uint16_t TAccountSettings::*field) {
    TKeyEntry e{key, TKind::Port};
    e.port16 = field;
    return e;
}
TKeyEntry Number(const char* key, int TAccountSettings::*field, TKind kind) {
    TKeyEntry e{key, kind};
    e.number = field;
    return e;
}

TKeyEntry Security(const char* key, TTlsMode TAccountSettings::*field) {
    TKeyEntry e{key, TKind::Security};
    e.security = field;
    return e;
}

TKeyEntry PopAuth(const char* key, TPopAuth TAccountSettings::*field) {
    TKeyEntry e{key, TKind::PopAuth};
    e.popAuth = field;
    return e;
}

TKeyEntry SmtpAuth(const char* key, TSmtpAuth TAccountSettings::*field) {
    TKeyEntry e{key, TKind::SmtpAuth};
    e.smtpAuth = field;
    return e;
}

// In the order in which "options.ini" holds them.
const std::vector<TKeyEntry>& KeyTable() {
    using A = TAccountSettings;
    static const std::vector<TKeyEntry> table = {
        Text("name", &A::name),
        Text("email", &A::email),
        Text("popserver", &A::popserver),
        Port16("popport", &A::popport),
        Text("loginname", &A::loginname),
        Text("password", &A::password, TKind::Password),
        Flag("enablefetch", &A::enablefetch),
        Flag("away", &A::away),
        Flag("rejectresponse", &A::rejectresponse),
        Flag("enablefilters", &A::enablefilters),
        Flag("enablesend", &A::enablesend),
        Flag("senddirect", &A::senddirect),
        Text("smtpserver", &A::smtpserver),
        Number("smtpport", &A::smtpport, TKind::Port),
        Text("smtploginname", &A::smtploginname),
        Text("smtppassword", &A::smtppassword, TKind::Password),
        Flag("enableredirect", &A::enableredirect),
        Flag("redirectquarantined", &A::redirectquarantined),
        Flag("redirectdelete", &A::redirectdelete),
        Flag("nameredirect", &A::nameredirect),
        Flag("nodownload", &A::nodownload),
        Flag("enablemailbot", &A::enablemailbot),
        Flag("nodelete", &A::nodelete),
        Number("rejectkb", &A::rejectkb, TKind::Int32),
        Flag("rejectownemail", &A::rejectownemail),
        Flag("rejectinvalidrecipient", &A::rejectinvalidrecipient),
        Flag("rejectolddates", &A::rejectolddates),
        Flag("rejectillegalips", &A::rejectillegalips),
        Security("popsecurity", &A::popsecurity),
        Security("smtpsecurity", &A::smtpsecurity),
        Flag("verifycert", &A::verifycert),
        PopAuth("popauth", &A::popauth),
        SmtpAuth("smtpauth", &A::smtpauth),
        Text("passwordcommand", &A::passwordcommand, TKind::Command),
        Text("smtppasswordcommand", &A::smtppasswordcommand, TKind::Command),
    };
    return table;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

const TKeyEntry* FindKey(const std::string& key) {
    const std::string wanted = Lower(key);
    for (const TKeyEntry& e : KeyTable())
        if (wanted == e.key) return &e;
    return nullptr;
}

bool ParseBool(const std::string& value, bool& result) {
    const std::string v = Lower(value);
    if (v == "1" || v == "true" || v == "yes" || v == "on") {
        result = true;
        return true;
    }
    if (v == "0" || v == "false" || v == "no" || v == "off") {
        result = false;
        return true;
    }
    return false;
}

bool ParseSecurity(const std::string& value, TTlsMode& result) {
    const std::string v = Lower(value);
    if (v == "0" || v == "none" || v == "plain") result = TTlsMode::None;
    else if (v == "1" || v == "stls" || v == "starttls") result = TTlsMode::StartTls;
    else if (v == "2" || v == "tls" || v == "ssl") result = TTlsMode::Implicit;
    else return false;
    return true;
}

// A whole decimal number, an optional leading "-", nothing else.
bool ParseWhole(const std::string& value, long long min, long long max, long long& result) {
    const char* first = value.data();
    const char* last = first + value.size();
    auto [ptr, ec] = std::from_chars(first, last, result);
    return ec == std::errc() && ptr == last && first != last && result >= min && result <= max;
}

}  // namespace

bool IsPlainText(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

bool IsPasswordKey(const std::string& key) {
    const TKeyEntry* e = FindKey(key);
    return e && e->kind == TKind::Password;
}

bool IsNameKey(const std::string& key) { return Lower(key) == "name"; }

const std::vector<std::string>& AccountSettingKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> out;
        for (const TKeyEntry& e : KeyTable()) out.emplace_back(e.key);
        return out;
    }();
    return keys;
}

TAccountChange ParseAccountSetting(const std::string& key, const std::string& value) {
    const TKeyEntry* e = FindKey(key);
    if (!e) throw TAccountKeyError("unknown account setting '" + key + "'");
    const std::string name = e->key;
    switch (e->kind) {
        case TKind::Text:
        case TKind::Password:
        case TKind::Command: {
            if (!IsPlainText(value))
                throw TAccountKeyError("the value of " + name + " must not hold control characters or line breaks");
            if (name == "name" && value.empty()) throw TAccountKeyError("the account name must not be empty");
            auto field = e->text;
            return [field, value](TAccountSettings& a) { a.*field = value; };
        }
        case TKind::Bool: {
            bool flag = false;
            if (!ParseBool(value, flag))
                throw TAccountKeyError("the value of " + name + " must be 0 or 1 (or true/false, yes/no, on/off), not '" +
                                       value + "'");
            auto field = e->flag;
            return [field, flag](TAccountSettings& a) { a.*field = flag; };
        }
        case TKind::Port: {
            long long n = 0;
            if (!ParseWhole(value, 0, 65535, n))
                throw TAccountKeyError("the value of " + name + " must be a port number 0..65535, not '" + value + "'");
            if (e->port16) {
                auto field = e->port16;
                return [field, n](TAccountSettings& a) { a.*field = static_cast<std::uint16_t>(n); };
            }
            auto field = e->number;
            return [field, n](TAccountSettings& a) { a.*field = static_cast<int>(n); };
        }
        case TKind::Int32: {
            long long n = 0;
            if (!ParseWhole(value, INT32_MIN, INT32_MAX, n))
                throw TAccountKeyError("the value of " + name + " must be a whole number, not '" + value + "'");
            auto field = e->number;
            return [field, n](TAccountSettings& a) { a.*field = static_cast<int>(n); };
        }
        case TKind::Security: {
            TTlsMode mode = TTlsMode::None;
            if (!ParseSecurity(value, mode))
                throw TAccountKeyError("the value of " + name +
                                       " must be none, starttls (or stls) or tls (or 0, 1, 2), not '" + value + "'");
            auto field = e->security;
            return [field, mode](TAccountSettings& a) { a.*field = mode; };
        }
        case TKind::PopAuth: {
            const auto auth = ParsePopAuth(value);
            if (!auth)
                throw TAccountKeyError("the value of " + name + " must be user, plain, xoauth2 or oauthbearer, not '" +
                                       value + "'");
            auto field = e->popAuth;
            return [field, auth = *auth](TAccountSettings& a) { a.*field = auth; };
        }
        case TKind::SmtpAuth: {
            const auto auth = ParseSmtpAuth(value);
            if (!auth)
                throw TAccountKeyError("the value of " + name + " must be auto, xoauth2 or oauthbearer, not '" + value +
                                       "'");
            auto field = e->smtpAuth;
            return [field, auth = *auth](TAccountSettings& a) { a.*field = auth; };
        }
    }
    throw TAccountKeyError("unknown account setting '" + key + "'");
}

}  // namespace vorla

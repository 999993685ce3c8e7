#pragma once
#include <string>

#include "net/TlsOptions.h"

// What an account's connections (uplink POP3, SMTP, the peek session) need besides host and
// port: how they check their servers, and the secret they log in with.
namespace vorla {

class TZivadAccount;

// The account's "verifycert", and the engine's trusted certificates ("cacerts" in section
// "options" of the settings file: from the engine when the account belongs to one, else read
// from the settings file, as the commands that run without an engine do). A relative path
// is taken from the home folder. Any thread; the engine's setting is read under its lock.
TTlsOptions AccountTlsOptions(const TZivadAccount& account);

// The secret a login of the account needs: the stored password, or, when command is set, the
// first line the command prints (run afresh each time; a stop request of the account ends it).
// Throws TVorlaError "password command failed: ...".
std::string LoginSecret(const std::string& stored, const std::string& command, const TZivadAccount& account);

}  // namespace vorla

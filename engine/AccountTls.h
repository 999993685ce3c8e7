#pragma once
#include "net/TlsOptions.h"

// The TLS options with which an account's connections (uplink POP3, SMTP, the peek session)
// check their servers.
namespace vorla {

class TZivadAccount;

// The account's "verifycert", and the engine's trusted certificates ("cacerts" in section
// "options" of the settings file: from the engine when the account belongs to one, else read
// from the settings file, as the commands that run without an engine do). A relative path
// is taken from the home folder. Any thread; the engine's setting is read under its lock.
TTlsOptions AccountTlsOptions(const TZivadAccount& account);

}  // namespace vorla

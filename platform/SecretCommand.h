#pragma once
#include <chrono>
#include <functional>
#include <string>

// A password or access token that is not stored with the account but asked from a command
// each time a login needs it: a keyring lookup, a password manager, or a script that gets a
// fresh OAuth 2.0 access token from the provider.
namespace vorla {

class TSecretCommand {
public:
    static constexpr std::chrono::seconds kDefaultTimeout{30};
    // Standard output beyond this is not read: a secret is one line.
    static constexpr std::size_t kMaxOutput = 64 * 1024;

    // Polled while the command runs; true ends the wait early (the command is killed).
    using TStopCheck = std::function<bool()>;

    // Runs command with /bin/sh -c in a session of its own (no controlling terminal),
    // standard input from /dev/null, with the environment of this program, and returns the
    // first line it printed (without its line end; a lone CR before the LF is dropped too).
    // Throws TVorlaError "password command failed: " + the reason when it cannot start, ends
    // with an exit status other than 0 or by a signal ("exit status 3: <first line of its
    // standard error>"), prints nothing, runs longer than timeout ("no answer within 30 s"),
    // or is stopped. The process group of the command (whatever it started in the
    // background too) is killed before this returns. What the command printed is never
    // part of an error message, a log line or a file.
    static std::string Run(const std::string& command, std::chrono::milliseconds timeout = kDefaultTimeout,
                           const TStopCheck& stopRequested = {});
};

}  // namespace vorla

// Passwords and tokens from a command: what is taken from its output, how its failures read,
// and that nothing it started outlives the call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/Errors.h"
#include "platform/SecretCommand.h"
#include "support/TempDir.h"

namespace vorla {
namespace {

using namespace std::chrono_literals;

std::string ErrorOf(const std::string& command, std::chrono::milliseconds timeout = 10s,
                    const TSecretCommand::TStopCheck& stop = {}) {
    try {
        const std::string secret = TSecretCommand::Run(command, timeout, stop);
        return "no error, got '" + secret + "'";
    } catch (const TVorlaError& e) {
        return e.what();
    }
}

// Whether the process still runs (a zombie waiting for its reaper does not), waiting up to
// 2 s for a kill to take effect.
bool Running(pid_t pid) {
    for (int i = 0; i < 200; ++i) {
        std::string stat;
        try {
            stat = test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
        } catch (const std::exception&) {
            return false;
        }
        const std::size_t close = stat.rfind(") ");
        if (close != std::string::npos && stat[close + 2] == 'Z') return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(SecretCommand, TheFirstLineOfTheOutputIsTheSecret) {
    struct TCase {
        const char* command;
        const char* secret;
    };
    const TCase cases[] = {
        {"echo tok3n", "tok3n"},
        {"printf 'first\\r\\nsecond\\n'", "first"},   // a CR LF line end
        {"printf 'no-line-end'", "no-line-end"},
        {"printf ' blanks kept \\n'", " blanks kept "},
        {"echo warning >&2; echo pw", "pw"},            // standard error is no part of it
        {"read line; echo \"[$line]\"", "[]"},          // standard input is empty
        {"test -t 0 || test -t 1 || echo no-terminal", "no-terminal"},
        // A session of its own: its process is the session leader.
        {"[ \"$(cut -d' ' -f6 /proc/$$/stat)\" = \"$$\" ] && echo own-session", "own-session"},
        {"X=$(printf 'a%.0s' $(seq 1 5000)); echo $X | cut -c1-3", "aaa"},
    };
    for (const TCase& c : cases) EXPECT_EQ(TSecretCommand::Run(c.command), c.secret) << c.command;
    // A large output is cut, not waited on for ever.
    EXPECT_EQ(TSecretCommand::Run("head -c 300000 /dev/zero | tr '\\0' x").size(), TSecretCommand::kMaxOutput);
}

TEST(SecretCommand, FailuresNameTheExitStatusAndTheFirstLineOfErrorButNeverTheOutput) {
    struct TCase {
        const char* command;
        const char* error;
    };
    const TCase cases[] = {
        {"echo s3cret; echo 'no such entry' >&2; echo more >&2; exit 3",
         "password command failed: exit status 3: no such entry"},
        {"exit 1", "password command failed: exit status 1"},
        {"true", "password command failed: it printed nothing"},
        {"echo; echo later", "password command failed: it printed nothing"},
        {"echo 'keyring locked' >&2", "password command failed: it printed nothing: keyring locked"},
        {"echo s3cret; kill -9 $$", "password command failed: killed by signal 9"},
        {"/nonexistent/helper", "password command failed: exit status 127: sh: 1: /nonexistent/helper: not found"},
        {"   ", "password command failed: the command is empty"},
    };
    for (const TCase& c : cases) {
        const std::string error = ErrorOf(c.command);
        EXPECT_EQ(error, c.error) << c.command;
        EXPECT_EQ(error.find("s3cret"), std::string::npos);
    }
}

TEST(SecretCommand, AHangingCommandEndsAtTheLimitOrAtAStopWithEverythingItStarted) {
    test::TTempDir dir;
    const std::string pidFile = dir / "pid";
    // The shell waits on a child of its own; both must be gone when the call returns.
    const std::string hang = "sleep 30 & echo $! > " + pidFile + "; wait";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorOf(hang, 300ms), "password command failed: no answer within 300 ms");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    const pid_t sleeper = std::stoi(test::ReadFile(pidFile));
    EXPECT_FALSE(Running(sleeper)) << "the command's child outlived it";

    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        stop = true;
    });
    EXPECT_EQ(ErrorOf("sleep 30", 20s, [&] { return stop.load(); }), "password command failed: stopped");
    stopper.join();

    // A helper left in the background holding the output open does not hold the login up.
    const std::string detached = "echo tok; sleep 30 & echo $! > " + pidFile;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(TSecretCommand::Run(detached, 20s), "tok");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_FALSE(Running(std::stoi(test::ReadFile(pidFile))));
}

}  // namespace
}  // namespace vorla

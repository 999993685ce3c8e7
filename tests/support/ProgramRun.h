#pragma once
#include <chrono>
#include <string>
#include <vector>

// Runs another program (a real mail client) for a test: output captured, every wait bounded.
namespace vorla::test {

struct TProgramResult {
    int exitCode = -1;       // -1 when it was killed or did not end normally
    bool timedOut = false;   // killed (by its PID) after the time-out
    std::string out;         // standard output
    std::string err;         // standard error
};

// Starts argv[0] (searched on PATH) with argv, the environment of this process plus extraEnv
// ("NAME=value", later entries win), standard input from /dev/null, in workDir when not
// empty. Waits at most timeout, then kills it with SIGKILL. Throws std::runtime_error when it
// cannot be started.
TProgramResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                          std::chrono::milliseconds timeout, const std::string& workDir = {});

// Runs the vorla program under test (VORLA_BINARY) with args, as RunProgram does without extra
// environment. Adds a test failure when it has not ended within timeout.
TProgramResult RunVorla(const std::vector<std::string>& args,
                        std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Whether a program of that name is found on PATH (tests skip without it).
bool ProgramExists(const std::string& name);

}  // namespace vorla::test

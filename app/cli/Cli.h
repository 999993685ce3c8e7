#pragma once
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

// The command line of the vorla program. Kept apart from main() so tests can drive it.
namespace vorla {

struct TCliContext {
    std::vector<std::string> args;  // the command's own words, without the command word
    std::string homeOption;         // --home DIR, before or after the command word ("" = none)
    std::ostream& out;
    std::ostream& err;
    std::istream& in;
};

// Runs one command line (argv without the program name); returns the exit status.
// Unknown options and failures get a message on err and a non-zero status. A command line
// without a command word runs windowCommand, with the home folder created, set and locked as
// for the commands that write; without one it prints the usage (exit 2).
int RunCli(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err, std::istream& in,
           const std::function<int(TCliContext&)>& windowCommand = {});

// Thrown by a command for a wrong command line; RunCli prints it with the usage hint, exit 2.
struct TUsageError {
    std::string message;
};

}  // namespace vorla

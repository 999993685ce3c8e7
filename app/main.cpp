#include <iostream>
#include <string>
#include <vector>

#include "app/cli/Cli.h"
#include "app/desktop/DesktopCommand.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    return vorla::RunCli(args, std::cout, std::cerr, std::cin, vorla::DesktopCommand);
}

// talvex-cli: the client engine from the command line.

#include "cli/commands.h"
#include "cli/options.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    talvex::cli::Options options;
    std::string error;
    if (talvex::cli::ParseOptions(argc, argv, options, error) != talvex::cli::kExitOk) {
        if (error == "help") {
            std::cout << talvex::cli::UsageText();
            return talvex::cli::kExitOk;
        }
        std::cerr << "talvex-cli: " << error << '\n' << talvex::cli::UsageText();
        return talvex::cli::kExitUsage;
    }
    return talvex::cli::RunCommand(options);
}

// talvex-cli: the client engine from the command line.

#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/drm_unpack.h"
#include "cli/keyring_password.h"
#include "cli/option_table.h"
#include "cli/options.h"

#include <csignal>
#include <iostream>
#include <string_view>
#include <sys/prctl.h>

int main(int argc, char** argv)
{
    // The password (and a DRM seed) are in this process's memory while it runs: no core dump
    // of it, and no other process of the user may read its memory or environment.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    std::signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && std::string_view(argv[1]) == "drm-unpack") // offline: no account, no server
        return talvex::cli::RunDrmUnpack(argc - 2, argv + 2);
    if (argc >= 2 && std::string_view(argv[1]) == "completion") { // offline too
        const std::string script = argc == 3 ? talvex::cli::CompletionScript(argv[2]) : std::string();
        if (script.empty()) {
            std::cerr << "talvex-cli: completion takes one shell: bash, zsh or fish\n";
            return talvex::cli::kExitUsage;
        }
        std::cout << script;
        return talvex::cli::kExitOk;
    }
    talvex::cli::Options options;
    std::string error;
    if (talvex::cli::ParseOptions(argc, argv, options, error) != talvex::cli::kExitOk) {
        if (error == "help") {
            std::cout << talvex::cli::UsageText();
            return talvex::cli::kExitOk;
        }
        std::cerr << "talvex-cli: " << error << '\n' << talvex::cli::UsageText();
        talvex::cli::SetJsonOutput(options.json);
        talvex::cli::NoteErrorText(error);
        talvex::cli::EmitJsonError(talvex::cli::kExitUsage);
        return talvex::cli::kExitUsage;
    }
    if (options.passwordFromKeyring) {
        const int code = talvex::cli::ReadKeyringPassword(options, options.password, error);
        if (code != talvex::cli::kExitOk) {
            std::cerr << "talvex-cli: " << error << '\n';
            return code;
        }
    }
    talvex::cli::SetJsonOutput(options.json);
    const int code = talvex::cli::RunCommand(options);
    talvex::cli::EmitJsonError(code);
    return code;
}

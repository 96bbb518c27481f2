#include "cli/option_table.h"

#include <algorithm>
#include <sstream>
#include <utility>

namespace talvex::cli {

const std::vector<OptionSpec>& OptionTable()
{
    static const std::vector<OptionSpec> table = {
        {"--web-host", ValueKind::HostPort, ""},
        {"--control-port", ValueKind::Number, ""},
        {"--command-port", ValueKind::Number, ""},
        {"--user", ValueKind::Text, ""},
        {"--password", ValueKind::Text, ""},
        {"--password-stdin", ValueKind::None, ""},
        {"--password-from-keyring", ValueKind::None, ""},
        {"--work-dir", ValueKind::LocalFolder, ""},
        {"--encoding", ValueKind::Encoding, ""},
        {"--timeout", ValueKind::Number, ""},
        {"--stall-timeout", ValueKind::Number, ""},
        {"--poll-ms", ValueKind::Number, ""},
        {"--sync-timeout", ValueKind::Number, ""},
        {"--confirm-timeout", ValueKind::Number, ""},
        {"--send-buffer", ValueKind::Number, ""},
        {"--limit-rate", ValueKind::Number, ""},
        {"--json", ValueKind::None, ""},
        {"--help", ValueKind::None, ""},
        {"--in", ValueKind::RemoteFolder, "search"},
        {"--move-to", ValueKind::LocalFolder, "put"},
        {"--wait-confirm", ValueKind::None, "put"},
        {"--stats", ValueKind::None, "put"},
        {"--dry-run", ValueKind::None, "put rm rmdir mv"},
        {"--resume", ValueKind::None, "put"},
        {"--retries", ValueKind::Number, "put"},
        // drm-unpack reads its own options (offline, before the account's).
        {"--seed", ValueKind::Text, "drm-unpack"},
        {"--seed-stdin", ValueKind::None, "drm-unpack"},
        {"--out", ValueKind::LocalFile, "drm-unpack"},
        {"--pub-key", ValueKind::Text, "drm-unpack"},
        {"--json", ValueKind::None, "drm-unpack"},
    };
    return table;
}

const std::vector<const char*>& CommandWords()
{
    static const std::vector<const char*> words = {"check", "ls",   "search", "mkdir",   "rmdir",      "rm",
                                                   "mv",    "put",  "sync",   "notices", "drm-unpack", "completion"};
    return words;
}

const std::vector<const char*>& EncodingWords()
{
    static const std::vector<const char*> words = {"CP949", "EUC-KR", "UTF-8"};
    return words;
}

bool Offline(std::string_view command) { return command == "drm-unpack" || command == "completion"; }

const OptionSpec* FindOption(std::string_view name, std::string_view command)
{
    for (const OptionSpec& spec : OptionTable()) {
        if (name != spec.name)
            continue;
        if (!*spec.commands) {
            if (!Offline(command))
                return &spec;
            continue;
        }
        std::istringstream words{std::string(spec.commands)};
        for (std::string word; words >> word;)
            if (word == command)
                return &spec;
    }
    return nullptr;
}

namespace {

std::string Join(const std::vector<const char*>& words)
{
    std::string out;
    for (const char* w : words)
        out += (out.empty() ? "" : " ") + std::string(w);
    return out;
}

// The options of a command (its own and the global ones), space-separated.
std::string OptionsOf(std::string_view command)
{
    std::string out;
    for (const OptionSpec& spec : OptionTable())
        if (FindOption(spec.name, command) == &spec)
            out += (out.empty() ? "" : " ") + std::string(spec.name);
    return out;
}

std::string Bash()
{
    std::ostringstream s;
    s << "# bash completion for talvex-cli (written by talvex-cli completion bash)\n"
         "_talvex_cli()\n{\n"
         "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmd= i\n"
         "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "        case ${COMP_WORDS[i]} in\n";
    // Words that take a value: skip the value when looking for the command word.
    std::string valued;
    for (const OptionSpec& spec : OptionTable())
        if (spec.value != ValueKind::None)
            valued += (valued.empty() ? "" : "|") + std::string(spec.name);
    s << "            " << valued << ") ((i++)) ;;\n"
      << "            -*) ;;\n"
      << "            *) cmd=${COMP_WORDS[i]}; break ;;\n"
      << "        esac\n    done\n"
      << "    case $prev in\n";
    std::string folders, files, encodings;
    for (const OptionSpec& spec : OptionTable()) {
        if (spec.value == ValueKind::LocalFolder)
            folders += (folders.empty() ? "" : "|") + std::string(spec.name);
        if (spec.value == ValueKind::LocalFile)
            files += (files.empty() ? "" : "|") + std::string(spec.name);
        if (spec.value == ValueKind::Encoding)
            encodings += (encodings.empty() ? "" : "|") + std::string(spec.name);
    }
    s << "        " << folders << ") COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
      << "        " << files << ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
      << "        " << encodings << ") COMPREPLY=($(compgen -W '" << Join(EncodingWords()) << "' -- \"$cur\")); return ;;\n"
      << "        " << valued << ") COMPREPLY=(); return ;;\n"
      << "    esac\n"
      << "    if [[ $cur == -* ]]; then\n"
      << "        case $cmd in\n";
    // Commands with the same options share a line.
    std::vector<std::pair<std::string, std::string>> groups; // commands, their options
    for (const char* command : CommandWords()) {
        const std::string options = OptionsOf(command);
        auto same = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.second == options; });
        if (same == groups.end())
            groups.emplace_back(command, options);
        else
            same->first += std::string("|") + command;
    }
    for (const auto& [commands, options] : groups)
        s << "            " << commands << ") COMPREPLY=($(compgen -W '" << options << "' -- \"$cur\")) ;;\n";
    s << "            *) COMPREPLY=($(compgen -W '" << OptionsOf("") << "' -- \"$cur\")) ;;\n"
      << "        esac\n"
      << "    elif [[ -z $cmd ]]; then\n"
      << "        COMPREPLY=($(compgen -W '" << Join(CommandWords()) << "' -- \"$cur\"))\n"
      << "    elif [[ $cmd == completion ]]; then\n"
      << "        COMPREPLY=($(compgen -W 'bash zsh fish' -- \"$cur\"))\n"
      << "    else\n"
      << "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      << "    fi\n"
      << "}\n"
      << "complete -o filenames -F _talvex_cli talvex-cli\n";
    return s.str();
}

std::string Fish()
{
    std::ostringstream s;
    s << "# fish completion for talvex-cli (written by talvex-cli completion fish)\n"
      << "complete -c talvex-cli -f -n __fish_use_subcommand -a '" << Join(CommandWords()) << "'\n"
      << "complete -c talvex-cli -n 'not __fish_use_subcommand' -F\n";
    for (const OptionSpec& spec : OptionTable()) {
        s << "complete -c talvex-cli -l " << (spec.name + 2);
        if (*spec.commands)
            s << " -n '__fish_seen_subcommand_from " << spec.commands << "'";
        switch (spec.value) {
        case ValueKind::None: break;
        case ValueKind::LocalFolder:
        case ValueKind::LocalFile: s << " -r -F"; break;
        case ValueKind::Encoding: s << " -x -a '" << Join(EncodingWords()) << "'"; break;
        default: s << " -x"; break;
        }
        s << '\n';
    }
    return s.str();
}

} // namespace

std::string CompletionScript(std::string_view shell)
{
    if (shell == "bash")
        return Bash();
    if (shell == "zsh") // zsh reads the bash function through its bash completion layer
        return "#compdef talvex-cli\n# zsh completion for talvex-cli (written by talvex-cli completion zsh)\n"
               "autoload -U +X bashcompinit && bashcompinit\n" +
               Bash();
    if (shell == "fish")
        return Fish();
    return {};
}

} // namespace talvex::cli

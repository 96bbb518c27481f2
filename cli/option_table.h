#pragma once
// The commands and options of talvex-cli in one table: the parser refuses what it does not
// name, shell completion is written from it, and a test holds --help and the manual page to it.

#include <string>
#include <string_view>
#include <vector>

namespace talvex::cli {

// What an option's value is, for completion.
enum class ValueKind { None, Text, Number, LocalFolder, LocalFile, HostPort, Encoding, RemoteFolder };

struct OptionSpec {
    const char* name;      // "--web-host"
    ValueKind value;       // None: a flag
    const char* commands;  // the commands it belongs to, space-separated; "" for every command
};

const std::vector<OptionSpec>& OptionTable();
// The command words (drm-unpack and completion run without an account).
const std::vector<const char*>& CommandWords();
// The option by name, when it belongs to the command (an empty command: before it is named;
// drm-unpack and completion take none of the account's options).
const OptionSpec* FindOption(std::string_view name, std::string_view command);
// The wire encodings completion offers.
const std::vector<const char*>& EncodingWords();

// talvex-cli completion SHELL: the script for bash, zsh or fish; empty for another shell.
std::string CompletionScript(std::string_view shell);

} // namespace talvex::cli

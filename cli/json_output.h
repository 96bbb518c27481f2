#pragma once
// talvex-cli --json: standard output carries JSON only, one object per line (JSON Lines), each
// with its "type" and the schema's "version"; the human text stays on standard error, and a run
// that ends with another exit status than 0 ends there with an "error" object. The schema is
// written down in docs/cli-json.md and the manual page; a change to it is a change of version.

#include "protocol/records.h"
#include "protocol/upload_tracker.h"

#include <nlohmann/json.hpp>

#include <string>

namespace talvex::cli {

using Json = nlohmann::ordered_json;

inline constexpr int kJsonSchemaVersion = 1;

// Whether this run writes JSON (set once, before the command runs).
void SetJsonOutput(bool on);
bool JsonOutput();

// {"type": type, "version": kJsonSchemaVersion}, to be filled in.
Json JsonObject(const char* type);
// One line on standard output, flushed (a script reading the stream sees each as it comes).
void EmitJson(const Json& object);
// The last text PrintErrorText told (for the closing "error" object).
void NoteErrorText(const std::string& text);
// The closing object of a run that ends with exit status code (nothing for 0), on standard error.
void EmitJsonError(int code);

// The stable word of an exit status ("usage", "connection" ...), and of a failure with its status
// ("read-error", "not-a-file", "dangling-link", "refused" ...).
const char* ExitCodeWord(int code);
const char* FailureWord(UploadFailure why, int32_t status);
// A listing's OLE date as ISO 8601 with this machine's offset ("2026-12-10T15:00:00+09:00");
// empty when the date is not one.
std::string IsoTime(OleDate date);
// A listing entry: name, remote path, kind, size in bytes, modification time.
Json EntryJson(const CRemoteEntry& entry, const std::string& folder);

} // namespace talvex::cli

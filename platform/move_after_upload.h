#pragma once
// Moving a local file away once the server has confirmed its upload: the file goes to the move
// folder, under its remote name (sub-folders of the remote name become local sub-folders), and
// never overwrites anything: when the name is taken, "_[1]", "_[2]", ... is appended after the
// extension. The name is taken by a no-replace rename (platform/publish_file.h), so a file that
// appears under it meanwhile is never replaced; a move to another volume copies to a temporary
// file in the move folder first. The moved file keeps its modification time and mode.

#include <string>

namespace talvex {

// Returns the path the file was moved to, or an empty text when it could not be moved
// (error, when given, says why).
std::string MoveAfterUpload(const std::string& localPath, const std::string& moveFolder,
                            const std::string& remoteName, std::string* error = nullptr);

// The first free name for target as it looks now: target itself, else target_[1], target_[2], ...
// (a hint only: the move itself never relies on a name staying free).
std::string FreeTargetName(const std::string& target);

} // namespace talvex

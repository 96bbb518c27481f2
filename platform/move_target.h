#pragma once
// Where a confirmed upload's local file goes in its move folder: the move folder joined with the
// remote name (relative to the upload's base folder; sub-folders become local sub-folders). A
// name that climbs out of the move folder ("..", ".") has no target. When the name is taken the
// move takes target_[1], target_[2], ... (platform/publish_file.h, SuffixedName).

#include <cstdint>
#include <string>

namespace talvex {

// moveFolder / remoteName, or an empty text with error set.
std::string MoveTarget(const std::string& moveFolder, const std::string& remoteName, std::string* error = nullptr);

// The moved copy of the file at localPath whose size and modification time were these when its
// body started: the first of target, target_[1], ... (until a name that is free) that is a
// regular file with that size and time and, where the move could rename it, that inode. A
// rename is possible on the same device unless the move folder is on another mount of it (a
// bind mount: the kernel refuses the rename and the move copies). Empty when there is none.
std::string FindMovedCopy(const std::string& localPath, const std::string& moveFolder, const std::string& remoteName,
                          int64_t size, int64_t mtimeNs, uint64_t inode, uint64_t device);

} // namespace talvex

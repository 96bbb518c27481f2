#pragma once
// Moving a local file away once the server has confirmed its upload: the file goes to the move
// folder, under its remote name (sub-folders of the remote name become local sub-folders), and
// never overwrites anything: when the name is taken, "_[1]", "_[2]", ... is appended after the
// extension. The name is taken by a no-replace rename (platform/publish_file.h), so a file that
// appears under it meanwhile is never replaced. The moved file keeps its modification time and
// mode.
//
// A move to another volume copies the file. The copy has no name while it is written: it is a
// nameless file (O_TMPFILE) in the target's folder, linked under the first free name once all
// of it is on disk, so a process killed part-way leaves nothing behind. Where the file system
// cannot keep a nameless file, the copy is written under a hidden name that tells whose it is
// (MoveTempNamePrefix); every move into a folder removes such files whose process is gone.
// The original is removed only once the copy is whole and has its name.

#include <string>
#include <sys/types.h>

namespace talvex {

// Returns the path the file was moved to, or an empty text when it could not be moved
// (error, when given, says why).
std::string MoveAfterUpload(const std::string& localPath, const std::string& moveFolder,
                            const std::string& remoteName, std::string* error = nullptr);

// The first free name for target as it looks now: target itself, else target_[1], target_[2], ...
// (a hint only: the move itself never relies on a name staying free).
std::string FreeTargetName(const std::string& target);

// How the named copy in progress of process `owner` on this computer begins:
// ".talvex-move-<pid>@<host>-"; six letters and digits follow, and nothing else.
std::string MoveTempNamePrefix(pid_t owner);

// Tests: stand-ins for the calls of a copy to another volume; null restores the real one.
// openNameless stands in for open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode), write for
// write(2); both answer as the system calls do (-1 with errno).
using MoveOpenNamelessCall = int (*)(const char* folder, mode_t mode);
using MoveWriteCall = ssize_t (*)(int fd, const void* data, size_t size);
void SetMoveCopyCallsForTesting(MoveOpenNamelessCall openNameless, MoveWriteCall write);

} // namespace talvex

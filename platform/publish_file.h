#pragma once
// Giving a finished file its name without ever replacing another file: the rename is done with
// RENAME_NOREPLACE (or, where the file system lacks it, a hard link and an unlink, or an
// exclusively created placeholder), and a taken name makes the file take the next one.

#include <functional>
#include <string>
#include <system_error>
#include <sys/types.h>

namespace talvex {

// Renames from to to only when no file is called to. 0, or the error number: EEXIST when the
// name is taken, EXDEV when the two are on different volumes.
int RenameNoReplace(const std::string& from, const std::string& to);

// The candidate names of a file, by number: 0 is the name itself.
using NameOf = std::function<std::string(int n)>;
// "target", "target_[1]", "target_[2]", ... (the number after the extension).
std::string SuffixedName(const std::string& target, int n);

// Renames from to the first of nameOf(0), nameOf(1), ... that nothing has. An existing file
// is replaced only when mayReplace is given and answers true for it. Returns the name taken,
// or an empty text with ec set (EXDEV: another volume; the file is left where it was).
std::string PublishUnderFreeName(const std::string& from, const NameOf& nameOf, std::error_code& ec,
                                 const std::function<bool(const std::string& existing)>& mayReplace = {});

// Creates a new file named prefix followed by six random characters, exclusively (O_EXCL),
// with mode trimmed by the umask as open(2) does (mkstemp would give 0600 whatever the umask).
// Returns the descriptor (close-on-exec) and the name in path, or -1 with errno.
int CreateUniqueFile(const std::string& prefix, mode_t mode, std::string& path);

// Tests: stands in for the renameat2 call (0, or -1 with errno); null restores the real one.
using RenameNoReplaceCall = int (*)(const char* from, const char* to);
void SetRenameNoReplaceCallForTesting(RenameNoReplaceCall call);

} // namespace talvex

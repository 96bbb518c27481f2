#pragma once
// A whole file read with a bound, and a whole file replaced so that either the new contents
// are complete on disk or the old file is left as it was.

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace talvex {

// Reads a whole file, refusing more than maxBytes. False when it cannot be read or is larger.
bool ReadFileBounded(const std::string& path, size_t maxBytes, std::string& out);
// Writes bytes to a temporary file beside path, flushes it to disk and renames it over path:
// either the new contents are complete on disk or the old file is left as it was.
bool WriteFileReplacing(const std::string& path, std::string_view bytes, mode_t mode);

} // namespace talvex

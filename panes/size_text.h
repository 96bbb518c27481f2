#pragma once
// Size texts of the file lists (remote pane, upload queue, result panes).

#include <cstdint>
#include <string>

namespace talvex {

// Normal: the bare byte count below 1 KB, else whole KB ("12 KB") below 1 MB, else whole MB
// ("5120 MB"); integer division, no larger unit. Detailed: the byte count with a ","
// between groups of three digits ("1,048,576"). A negative size (unknown) gives an empty text
// in both forms.
std::string SizeText(int64_t size, bool detailed);

// The digits of a non-negative count grouped by three from the right with ",".
std::string GroupThousands(int64_t value);

} // namespace talvex

#pragma once
// The string table: every user-visible text of the program, by id. Qt-free, so that the
// command-line client prints the same words as the window.

#include <string>
#include <string_view>
#include <vector>

namespace talvex {

// The text of a string id; empty when the table has no such id.
std::string_view LoadString(unsigned id);
bool HasString(unsigned id);
// Every id in the table, ascending (for checks).
std::vector<unsigned> StringIds();

// printf-style formatting of a table text ("%s", "%d", "%I64d" are understood).
std::string FormatString(unsigned id, ...);

} // namespace talvex

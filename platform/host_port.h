#pragma once
// "host[:port]" texts of the settings and the command line.

#include <string>
#include <string_view>

namespace talvex {

// Splits "host[:port]" (blanks around it ignored). False when the host is empty or a port is
// given that is not a number from 1 to 65535; port is left as it was when none is given.
bool SplitHostPort(std::string_view text, std::string& host, int& port);

} // namespace talvex

#pragma once

#include "cli/options.h"

namespace talvex::cli {

// Runs the command of the options; returns the exit code.
int RunCommand(const Options& options);

} // namespace talvex::cli

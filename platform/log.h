#pragma once
// The daily diagnostic log: one file a day, talvex.YYYYMMDD.log in the working folder, readable
// and writable by its owner only (0600).
// Callable from any thread; a line that cannot be written is lost silently.

#include <ctime>
#include <functional>
#include <string>

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace talvex {

// Clock used for the file name and the time stamp; tests inject one.
void SetLogClock(std::function<std::time_t()> clock);

// Folder of the log file (ending in '/'); by default the working folder, taken on the first call.
void SetLogFolderForTesting(const std::string& folder);

// Path of the file a line logged at time t goes to.
std::string LogFileName(std::time_t t);

} // namespace talvex

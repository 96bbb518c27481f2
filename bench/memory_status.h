#pragma once
// The process's resident memory as the kernel tells it (/proc/self/status), for the benchmarks
// that measure memory beside a window: "VmRSS:" now, "VmHWM:" the peak. -1 when unknown.

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

inline long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, std::strlen(field), field) == 0)
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
}

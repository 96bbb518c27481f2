#include "res/string_table.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <utility>

namespace talvex {
namespace {

struct Entry {
    unsigned id;
    const char* text;
};

// Sorted by id.
constexpr Entry kStrings[] = {
    {194, "Talvex"},
    {195, "확인"},
    {196, "취소"},
    {199, "Talvex 정보"},
    {322, "Talvex가 이미 실행중입니다. 프로세스를 먼저 종료하세요"},
    {57344, "Talvex"},
    {57664, "Talvex 정보(&A)..."},
};

const Entry* Find(unsigned id)
{
    const auto* it = std::lower_bound(std::begin(kStrings), std::end(kStrings), id,
                                      [](const Entry& e, unsigned v) { return e.id < v; });
    return (it != std::end(kStrings) && it->id == id) ? it : nullptr;
}

} // namespace

std::string_view LoadString(unsigned id)
{
    const Entry* e = Find(id);
    return e ? std::string_view(e->text) : std::string_view();
}

bool HasString(unsigned id) { return Find(id) != nullptr; }

std::vector<unsigned> StringIds()
{
    std::vector<unsigned> ids;
    for (const Entry& e : kStrings)
        ids.push_back(e.id);
    return ids;
}

std::string FormatString(unsigned id, ...)
{
    // The table speaks the Windows dialect "%I64d"; turn it into the standard "%lld".
    std::string format(LoadString(id));
    for (size_t pos; (pos = format.find("%I64d")) != std::string::npos;)
        format.replace(pos, 5, "%lld");
    va_list args;
    va_start(args, id);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format.c_str(), copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), format.c_str(), args);
        out.resize(static_cast<size_t>(n));
    }
    va_end(args);
    return out;
}

} // namespace talvex

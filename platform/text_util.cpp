#include "platform/text_util.h"

namespace talvex {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

} // namespace

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

int64_t LeadingInt64(std::string_view s)
{
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    // Accumulate as a negative number so that INT64_MIN fits.
    int64_t v = 0;
    bool overflow = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        const int d = s[i] - '0';
        if (v < (INT64_MIN + d) / 10)
            overflow = true;
        else
            v = v * 10 - d;
    }
    if (overflow)
        return negative ? INT64_MIN : INT64_MAX;
    if (!negative)
        return v == INT64_MIN ? INT64_MAX : -v;
    return v;
}

int32_t LeadingInt32(std::string_view s)
{
    const int64_t v = LeadingInt64(s);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

} // namespace talvex

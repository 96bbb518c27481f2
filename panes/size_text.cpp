#include "panes/size_text.h"

#include "res/string_table.h"

namespace talvex {

std::string GroupThousands(int64_t value)
{
    const std::string digits = std::to_string(value < 0 ? 0 : value);
    std::string out;
    out.reserve(digits.size() + digits.size() / 3);
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string SizeText(int64_t size, bool detailed)
{
    if (size < 0)
        return {};
    if (detailed)
        return GroupThousands(size);
    if (size < 1024)
        return std::to_string(size);
    if (size < 1024 * 1024)
        return std::to_string(size / 1024) + ' ' + std::string(LoadString(326));
    return std::to_string(size / 1024 / 1024) + ' ' + std::string(LoadString(327));
}

} // namespace talvex

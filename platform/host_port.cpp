#include "platform/host_port.h"

#include <charconv>

namespace talvex {

bool SplitHostPort(std::string_view text, std::string& host, int& port)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    const size_t colon = text.rfind(':');
    const std::string_view name = colon == std::string_view::npos ? text : text.substr(0, colon);
    if (name.empty())
        return false;
    if (colon != std::string_view::npos) {
        const std::string_view digits = text.substr(colon + 1);
        int value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc() || end != digits.data() + digits.size() || value < 1 || value > 65535)
            return false;
        port = value;
    }
    host.assign(name);
    return true;
}

} // namespace talvex

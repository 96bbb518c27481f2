#include "platform/profile_reader.h"

#include <climits>
#include <cstdio>
#include <memory>

namespace talvex {
namespace {

constexpr size_t kMaxProfileFile = 16u << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

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
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

std::string Cut(std::string_view value, size_t bufferSize)
{
    if (bufferSize == 0)
        return {};
    if (value.size() > bufferSize - 1)
        value = value.substr(0, bufferSize - 1);
    return std::string(value);
}

} // namespace

std::string ProfileStringFromText(std::string_view text, std::string_view section, std::string_view key,
                                  std::string_view defaultValue, size_t bufferSize)
{
    section = Trim(section);
    key = Trim(key);
    bool inSection = false;
    bool sectionSeen = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            if (sectionSeen)
                break; // only the first section of that name counts
            const size_t close = line.find(']');
            std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
            inSection = EqualNoCase(name, section);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection)
            continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        if (!EqualNoCase(Trim(line.substr(0, eq)), key))
            continue;
        std::string_view value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return Cut(value, bufferSize);
    }
    std::string_view def = defaultValue;
    while (!def.empty() && IsBlank(def.back()))
        def.remove_suffix(1);
    return Cut(def, bufferSize);
}

std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view defaultValue, size_t bufferSize)
{
    std::string text;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (f) {
        char buf[8192];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
            text.append(buf, n);
            if (text.size() > kMaxProfileFile) {
                text.clear();
                break;
            }
        }
    }
    return ProfileStringFromText(text, section, key, defaultValue, bufferSize);
}

int ProfileInt(std::string_view s)
{
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    long long v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        v = INT_MAX;
    return static_cast<int>(v);
}

} // namespace talvex

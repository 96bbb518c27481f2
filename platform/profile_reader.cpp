#include "platform/profile_reader.h"

#include "platform/text_util.h"

#include <cstdio>
#include <memory>
#include <optional>

namespace talvex {
namespace {

constexpr size_t kMaxProfileFile = 16u << 20;

std::string Cut(std::string_view value, size_t bufferSize)
{
    if (bufferSize == 0)
        return {};
    if (value.size() > bufferSize - 1)
        value = value.substr(0, bufferSize - 1);
    return std::string(value);
}

} // namespace

void ForEachProfileValue(std::string_view text, std::string_view section,
                         const std::function<bool(std::string_view key, std::string_view value)>& visit,
                         size_t bufferSize)
{
    section = Trim(section);
    bool inSection = false;
    bool sectionSeen = false;
    LineReader lines(text);
    for (std::string_view line; lines.Next(line);) {
        line = Trim(line);
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
        std::string_view value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (bufferSize == 0)
            value = {};
        else if (value.size() > bufferSize - 1)
            value = value.substr(0, bufferSize - 1);
        if (!visit(Trim(line.substr(0, eq)), value))
            return;
    }
}

std::string ProfileStringFromText(std::string_view text, std::string_view section, std::string_view key,
                                  std::string_view defaultValue, size_t bufferSize)
{
    key = Trim(key);
    std::optional<std::string> found;
    ForEachProfileValue(
        text, section,
        [&](std::string_view name, std::string_view value) {
            if (!EqualNoCase(name, key))
                return true;
            found = std::string(value);
            return false; // the first matching key wins
        },
        bufferSize);
    if (found)
        return *found;
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

int ProfileInt(std::string_view s) { return LeadingInt32(s); }

} // namespace talvex

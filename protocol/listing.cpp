#include "protocol/listing.h"

#include "protocol/message.h"
#include "platform/text_codec.h"
#include "platform/text_util.h"

#include <cstdio>

namespace talvex {

bool ReadWholeFile(const std::string& path, std::string& out, size_t maxBytes)
{
    out.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buf[16384];
    size_t n;
    bool ok = true;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (out.size() + n > maxBytes) {
            ok = false;
            break;
        }
        out.append(buf, n);
    }
    if (std::ferror(f))
        ok = false;
    std::fclose(f);
    return ok;
}

bool ParseListingLine(std::string_view line, CRemoteEntry& out)
{
    std::string_view fields[8];
    size_t i = 0;
    for (int k = 0; k < 8; ++k) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        if (i >= line.size())
            return false;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ')
            ++i;
        fields[k] = line.substr(start, i - start);
    }
    // One space separates the seconds from the name, which is kept exactly.
    if (i >= line.size() || i + 1 >= line.size())
        return false;
    const std::string_view name = line.substr(i + 1);

    out = CRemoteEntry{};
    out.kind = tlxsp::LeadingInt32(fields[0]);
    out.size = tlxsp::LeadingInt64(fields[1]);
    int t[6];
    for (int k = 0; k < 6; ++k)
        t[k] = tlxsp::LeadingInt32(fields[2 + k]);
    SystemTimeToOleDate(CalendarTime{t[0], t[1], t[2], t[3], t[4], t[5]}, out.modified);
    out.name = FromWireLossy(name);
    return true;
}

void ParseListing(std::string_view text, CRemoteEntryList& out)
{
    LineReader lines(text);
    for (std::string_view line; lines.Next(line);) {
        CRemoteEntry entry;
        if (ParseListingLine(line, entry))
            out.push_back(std::move(entry));
    }
}

std::unique_ptr<CRemoteEntryList> ReadListingFile(const std::string& path)
{
    std::string text;
    if (!ReadWholeFile(path, text, static_cast<size_t>(tlxsp::kMaxBodyBytes)))
        return nullptr;
    auto list = std::make_unique<CRemoteEntryList>();
    ParseListing(text, *list);
    return list;
}

} // namespace talvex

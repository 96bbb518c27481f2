#include "platform/text_codec.h"

#include <atomic>
#include <cerrno>
#include <iconv.h>
#include <mutex>
#include <vector>

namespace talvex {
namespace {
std::mutex g_mutex;
std::string g_wire = "CP949";

bool IsUtf8Name(const std::string& name)
{
    std::string n;
    for (char c : name)
        if (c != '-' && c != '_')
            n.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
    return n == "UTF8";
}

// Printable ASCII is the same bytes in the wire encoding (every encoding IsWireEncoding accepts):
// names made of it need no converter.
std::atomic<bool> g_asciiSame{true};

bool PrintableAscii(std::string_view s)
{
    for (char c : s)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}
} // namespace

void SetWireEncoding(const std::string& name)
{
    const std::string wire = name.empty() ? std::string("CP949") : name;
    const bool asciiSame = IsWireEncoding(wire);
    std::lock_guard lock(g_mutex);
    g_wire = wire;
    g_asciiSame = asciiSame;
}

std::string WireEncoding()
{
    std::lock_guard lock(g_mutex);
    return g_wire;
}

bool IsValidUtf8(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (len == 0 || i + len > s.size())
            return false;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        if (len == 2 && c < 0xC2)
            return false;
        i += len;
    }
    return true;
}

namespace {

// Opening a converter costs far more than converting a short name, and listings convert one
// name a line: each thread keeps the converters it has opened.
class ConverterCache {
public:
    ~ConverterCache()
    {
        for (auto& e : m_entries)
            ::iconv_close(e.cd);
    }
    iconv_t Get(const char* from, const char* to)
    {
        for (auto& e : m_entries)
            if (e.from == from && e.to == to) {
                ::iconv(e.cd, nullptr, nullptr, nullptr, nullptr); // back to the initial state
                return e.cd;
            }
        iconv_t cd = ::iconv_open(to, from);
        if (cd == reinterpret_cast<iconv_t>(-1))
            return cd;
        if (m_entries.size() >= 8) {
            ::iconv_close(m_entries.front().cd);
            m_entries.erase(m_entries.begin());
        }
        m_entries.push_back({from, to, cd});
        return cd;
    }

private:
    struct Entry {
        std::string from, to;
        iconv_t cd;
    };
    std::vector<Entry> m_entries;
};

} // namespace

bool ConvertText(std::string_view in, const char* from, const char* to, std::string& out)
{
    out.clear();
    if (in.empty())
        return true;
    thread_local ConverterCache cache;
    iconv_t cd = cache.Get(from, to);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    out.resize(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    bool ok = true;
    while (srcLeft > 0) {
        if (::iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) {
            if (errno == E2BIG) {
                const size_t used = out.size() - dstLeft;
                out.resize(out.size() * 2);
                dst = out.data() + used;
                dstLeft = out.size() - used;
                continue;
            }
            ok = false; // EILSEQ or EINVAL: not representable or truncated input
            break;
        }
    }
    if (ok && ::iconv(cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1))
        ok = false;
    if (!ok) {
        out.clear();
        return false;
    }
    out.resize(out.size() - dstLeft);
    return true;
}

bool IsWireEncoding(const std::string& name)
{
    if (IsUtf8Name(name))
        return true;
    if (name.empty())
        return false;
    // Every printable ASCII character there and back: unknown names fail to open, and
    // encodings such as UTF-16 or EBCDIC change the bytes.
    std::string ascii;
    for (char c = 0x20; c < 0x7F; ++c)
        ascii.push_back(c);
    std::string wire, back;
    return ConvertText(ascii, "UTF-8", name.c_str(), wire) && wire == ascii
           && ConvertText(wire, name.c_str(), "UTF-8", back) && back == ascii;
}

bool ToWire(std::string_view utf8, std::string& out)
{
    if (g_asciiSame && PrintableAscii(utf8)) {
        out.assign(utf8);
        return true;
    }
    const std::string wire = WireEncoding();
    if (IsUtf8Name(wire)) {
        if (!IsValidUtf8(utf8))
            return false;
        out.assign(utf8);
        return true;
    }
    return ConvertText(utf8, "UTF-8", wire.c_str(), out);
}

bool FromWire(std::string_view bytes, std::string& out)
{
    if (g_asciiSame && PrintableAscii(bytes)) {
        out.assign(bytes);
        return true;
    }
    const std::string wire = WireEncoding();
    if (IsUtf8Name(wire)) {
        if (!IsValidUtf8(bytes))
            return false;
        out.assign(bytes);
        return true;
    }
    return ConvertText(bytes, wire.c_str(), "UTF-8", out);
}

std::string FromWireLossy(std::string_view bytes)
{
    std::string out;
    if (FromWire(bytes, out))
        return out;
    // Decode piece by piece: pure ASCII runs pass through, every other byte is tried as the
    // start of a one- or two-byte character and replaced when it does not decode.
    out.clear();
    size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        std::string piece;
        if (i + 1 < bytes.size() && FromWire(bytes.substr(i, 2), piece)) {
            out += piece;
            i += 2;
        } else if (FromWire(bytes.substr(i, 1), piece)) {
            out += piece;
            ++i;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

} // namespace talvex

#pragma once
// The byte classes of the XML document's text (CP949: a lead byte and a trail byte make one
// character), shared by its parser and its editor.

#include <string>
#include <string_view>

namespace talvex::xml {

inline bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline bool IsDelimiter(char c)
{
    switch (c) {
    case ' ': case '\t': case '\n': case '\r': case '<': case '>': case '=':
    case '\\': case '/': case '?': case '!':
        return true;
    default:
        return false;
    }
}

inline bool IsLeadByte(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x81 && b <= 0xFE;
}

inline bool IsTrailByte(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x41 && b <= 0xFE;
}

// Length of the character at n: 2 for a lead byte followed by a trail byte, else 1.
inline int CharLen(const std::string& s, int n)
{
    const auto u = static_cast<size_t>(n);
    if (IsLeadByte(s[u]) && u + 1 < s.size() && IsTrailByte(s[u + 1]))
        return 2;
    return 1;
}

inline int Size(const std::string& s)
{
    return static_cast<int>(s.size());
}

// Names the program writes: not empty, no byte that would end or break a tag.
inline bool IsValidName(std::string_view name)
{
    if (name.empty() || name.size() > 256)
        return false;
    for (char c : name)
        if (IsDelimiter(c) || c == '"' || c == '\'' || c == '&' || c == '[' || c == ']')
            return false;
    return true;
}

} // namespace talvex::xml

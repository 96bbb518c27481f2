#pragma once
// Small text helpers shared by the readers of wire headers, listings and ini files. ASCII only:
// bytes of other encodings pass through untouched.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace talvex {

// Space, tab, CR, LF, VT and FF.
inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The text without leading and trailing blanks.
std::string_view Trim(std::string_view text);

// Equal without regard to ASCII case.
bool EqualNoCase(std::string_view a, std::string_view b);

// Leading decimal integer: blanks, optional sign, digits; 0 when there are none; saturated.
int64_t LeadingInt64(std::string_view text);
int32_t LeadingInt32(std::string_view text);

// The non-empty lines of a text, one at a time:
//   LineReader lines(text);
//   for (std::string_view line; lines.Next(line);) ...
// Text lines end at LF, and a CR before the LF is dropped; header lines end at CR or at LF.
class LineReader {
public:
    enum class Breaks { Text, Header };

    explicit LineReader(std::string_view text, Breaks breaks = Breaks::Text) : m_text(text), m_breaks(breaks) {}

    // The next non-empty line; false at the end of the text.
    bool Next(std::string_view& line)
    {
        while (m_pos < m_text.size()) {
            size_t end = m_pos;
            if (m_breaks == Breaks::Text) {
                end = m_text.find('\n', m_pos);
                if (end == std::string_view::npos)
                    end = m_text.size();
            } else {
                // find_first_of would look up each byte in the set of two with a call of its own
                while (end < m_text.size() && m_text[end] != '\r' && m_text[end] != '\n')
                    ++end;
            }
            line = m_text.substr(m_pos, end - m_pos);
            m_pos = end + 1;
            if (m_breaks == Breaks::Text && !line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (!line.empty())
                return true;
        }
        return false;
    }

private:
    std::string_view m_text;
    Breaks m_breaks;
    size_t m_pos = 0;
};

} // namespace talvex

#pragma once
// Reading values from ini ("profile") files the way the Windows profile-string reader does:
//  - "[section]" lines open a section; "key=value" lines inside it hold values;
//  - section and key names are compared without regard to ASCII case and trimmed;
//  - the value is trimmed of blanks, and one pair of surrounding quotes (" or ') is removed;
//  - lines starting with ';' are comments; the first matching section and key win;
//  - a missing file, section or key yields the default (trailing blanks removed);
//  - the result is cut to bufferSize - 1 bytes, as the Windows call cuts it to its buffer.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace talvex {

// Calls visit(key, value) for every "key=value" line of the first section of that name, in
// order, with the value as a single read would give it (trimmed, one pair of quotes removed, cut
// to bufferSize - 1 bytes); visit returns false to stop.
void ForEachProfileValue(std::string_view text, std::string_view section,
                         const std::function<bool(std::string_view key, std::string_view value)>& visit,
                         size_t bufferSize = 255);

// Reads key of section from the ini text.
std::string ProfileStringFromText(std::string_view text, std::string_view section, std::string_view key,
                                  std::string_view defaultValue, size_t bufferSize = 255);

// Reads key of section from the ini file at path (files over 16 MiB count as missing).
std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view defaultValue, size_t bufferSize = 255);

// Leading decimal integer of a text (blanks, optional sign, digits; 0 when there are none),
// saturated to the 32-bit range.
int ProfileInt(std::string_view value);

} // namespace talvex

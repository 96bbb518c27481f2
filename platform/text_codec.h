#pragma once
// Conversion between the program's UTF-8 and the wire encoding of the service (texts in
// requests, listings, notices and the account book). CP949 (Microsoft's code page 949) by
// default; any iconv name may be configured, "UTF-8" included.

#include <string>
#include <string_view>

namespace talvex {

void SetWireEncoding(const std::string& name);
std::string WireEncoding();
// True when name can be the wire encoding: the converter knows it both ways and it keeps
// ASCII as it is (the headers around the texts are ASCII). A configured name is checked with
// it before SetWireEncoding: an unusable one would fail every text later, far from its cause.
bool IsWireEncoding(const std::string& name);

// False when the text cannot be represented in the wire encoding (nothing is mangled).
bool ToWire(std::string_view utf8, std::string& out);
// False when the bytes are not valid in the wire encoding.
bool FromWire(std::string_view wire, std::string& out);
// Like FromWire, but bytes that cannot be decoded become U+FFFD instead of failing.
std::string FromWireLossy(std::string_view wire);

// Conversion between two named encodings; false on any byte that cannot be converted.
bool ConvertText(std::string_view in, const char* from, const char* to, std::string& out);

bool IsValidUtf8(std::string_view text);

} // namespace talvex

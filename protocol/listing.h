#pragma once
// Listings (BROWSE___ and SEARCH___ bodies): one entry a line,
//   kind size year month day hour minute second name
// separated by spaces; the name is everything after the space that follows the seconds.

#include "protocol/records.h"

#include <memory>
#include <string>
#include <string_view>

namespace talvex {

// Parses one line (without its line end). False when a field or the name is missing.
bool ParseListingLine(std::string_view line, CRemoteEntry& out);

// Appends the entries of a listing text (lines ended by LF or CR LF; empty and incomplete lines
// skipped). Names are converted from the wire encoding.
void ParseListing(std::string_view text, CRemoteEntryList& out);

// Reads a listing file; null when it cannot be opened.
std::unique_ptr<CRemoteEntryList> ReadListingFile(const std::string& path);

// Reads a whole file of at most maxBytes; false when it cannot be opened or is larger.
bool ReadWholeFile(const std::string& path, std::string& out, size_t maxBytes);

} // namespace talvex

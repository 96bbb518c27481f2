#pragma once
// Notice bodies (GETNOTIED) and sync results (GETSYNCED).
//
// A notice line is "number command-word text": the first word is the result number, the second
// a command word telling the kind of change, the rest (after one space, not trimmed) the path.
// A sync result is an ini text with a section "CheckSync" holding TotalCount and FailCount.

#include "protocol/records.h"

#include <memory>
#include <string>
#include <string_view>

namespace talvex {

int32_t NoticeKindOf(std::string_view commandWord);

// Replaces the notices of list with those of the text (texts converted from the wire encoding).
void ParseNotices(std::string_view text, CSyncNoticeList& list);

// Reads a notice file into list; false (list untouched) when it cannot be opened.
bool ReadNoticeFile(const std::string& path, CSyncNoticeList& list);

// Reads a sync result file; null when it does not exist.
std::unique_ptr<CSyncNoticeList> ReadSyncResultFile(const std::string& path);

} // namespace talvex

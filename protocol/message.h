#pragma once
// TLXSP/1.0 messages: the command words, the request forms the client writes, and the reading
// of response header blocks.

#include "platform/text_util.h"
#include "protocol/message_ids.h"
#include "protocol/records.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace talvex::tlxsp {

inline constexpr std::string_view kProtocol = "TLXSP/1.0";
inline constexpr std::string_view kHeaderEnd = "\r\n\r\n";
// Largest header block accepted in either direction.
inline constexpr size_t kMaxHeaderBytes = 16384;
// Largest response body accepted.
inline constexpr int64_t kMaxBodyBytes = int64_t(256) << 20;

inline constexpr const char* kLogin = "LOGIN____";
inline constexpr const char* kLogout = "LOGOUT___";
inline constexpr const char* kGetNotied = "GETNOTIED";
inline constexpr const char* kStartSync = "STARTSYNC";
inline constexpr const char* kCheckSync = "CHECKSYNC";
inline constexpr const char* kGetSynced = "GETSYNCED";
inline constexpr const char* kBrowse = "BROWSE___";
inline constexpr const char* kSearch = "SEARCH___";
inline constexpr const char* kMkDir = "MKDIR____";
inline constexpr const char* kRmDir = "RMDIR____";
inline constexpr const char* kRename = "RENAME___";
inline constexpr const char* kDelFile = "DELFILE__";
inline constexpr const char* kPutFile = "PUTFILE__";

inline constexpr const char* kLoginId = "login#1";
inline constexpr const char* kLogoutId = "logout#1";
inline constexpr const char* kGetNotiedId = "getnotied#1";
inline constexpr const char* kBrowseId = "browse#1";
inline constexpr const char* kMkDirId = "mkdir#1";
inline constexpr const char* kRmDirId = "rmdir#1";
inline constexpr const char* kRenameId = "rename#1";
inline constexpr const char* kDelFileId = "delfile#1";
inline constexpr const char* kUploadId = "vornasel";

// Request forms. Every text is given in wire bytes; the caller has checked it (CheckWireText).
std::string FormatLogin(std::string_view userId, std::string_view password);
std::string FormatSessionOnly(std::string_view command, std::string_view requestId, std::string_view sessionId);
std::string FormatPath(std::string_view command, std::string_view requestId, std::string_view sessionId,
                       std::string_view path);
std::string FormatTwoPaths(std::string_view command, std::string_view requestId, std::string_view sessionId,
                           std::string_view path, std::string_view path2);
std::string FormatSearch(std::string_view sessionId, std::string_view folder, std::string_view text);
std::string FormatBrowseRoot(std::string_view sessionId);
std::string FormatBrowse(std::string_view sessionId, std::string_view path);
std::string FormatPutFile(std::string_view sessionId, std::string_view requestId, int64_t dataLength,
                          std::string_view path);
std::string FormatPutFileNoLength(std::string_view sessionId, std::string_view requestId, std::string_view path);

// Converts a UTF-8 text of a record to wire bytes for a header value. Returns 0, or the
// RequestError (negative) that forbids sending it.
int32_t ToWireText(std::string_view utf8, std::string& wire);
// The request as a whole must fit the header limit: 0 or kRequestTooLong.
int32_t CheckRequestSize(std::string_view request);

// Which header names a connection reads, in the order it tests them.
enum class HeaderOrder { Upload, Command, Control };

// Offset of the CR LF CR LF that ends the header block, or -1.
ptrdiff_t FindHeaderEnd(std::string_view text);

// Parses the header block at the start of text into out (fields as on the wire). Returns the
// offset of the CR LF CR LF that ends the block, or -1 (and out untouched) when there is none.
ptrdiff_t ReadHeaderBlock(std::string_view text, CTlxspResponse& out, HeaderOrder order);

// Command words are compared without regard to ASCII case.
bool SameCommand(std::string_view a, std::string_view b);

// Header values are read with the shared leading-integer helpers.
using talvex::LeadingInt32;
using talvex::LeadingInt64;

} // namespace talvex::tlxsp

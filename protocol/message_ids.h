#pragma once
// Message numbers of the worker mailboxes and of the reports, kept as the client has always
// numbered them so that logs and tests speak the same language.

#include <cstdint>

namespace talvex {

enum MessageId : uint32_t {
    UM_QUIT = 18,                     // stop the worker (the control session logs out first)

    UM_UPLOAD = 0x83FD,               // 33789 upload: upload one file / create one folder
    UM_CANCEL = 0x83FE,               // 33790 upload: cancel the running transfer
    UM_BROWSE = 0x83FF,               // 33791 command: list a folder (request and report)
    UM_LOGIN = 0x8411,                // 33809 control
    UM_LOGOUT = 0x8412,               // 33810 control
    UM_DELFILE = 0x8413,              // 33811 command
    UM_RMDIR = 0x8414,                // 33812 command
    UM_MKDIR = 0x8415,                // 33813 command
    UM_RENAME = 0x8416,               // 33814 command
    UM_GETNOTIED = 0x8417,            // 33815 control (request and report)
    UM_CHECKSYNC = 0x8419,            // 33817 control (request and report)
    UM_STARTSYNC = 0x841A,            // 33818 control (request and report)
    UM_GETSYNCED = 0x841B,            // 33819 control (request and report)
    UM_SEARCH = 0x841F,               // 33823 command (request and report)

    // Reports
    UM_CONNECTION_LOST = 0x840B,      // 33803 the server closed the connection (or it broke)
    UM_CONTROL_CONNECTED = 0x8418,    // 33816
    UM_CONTROL_CONNECT_FAILED = 0x841D, // 33821
    UM_COMMAND_CONNECT_FAILED = 0x841E, // 33822
    UM_LOGIN_RESULT = 0x8425,         // 33829
    UM_MKDIR_RESULT = 0x8426,         // 33830
    UM_RMDIR_RESULT = 0x8427,         // 33831
    UM_DELFILE_DONE = 0x8428,         // 33832
    UM_LOGOUT_RESULT = 0x8429,        // 33833
    UM_RENAME_RESULT = 0x842A,        // 33834
    // A request that could not be sent because one of its texts cannot be written on the wire
    // (see RequestError); the report carries a CTlxspResponse with the command word, the texts as
    // given and the negative RequestError as status code. Control session and command channel.
    UM_REQUEST_NOT_SENT = 0x8440,     // 33856
};

// Events of an upload channel's reports (the report's code; its message is the channel's number).
enum UploadEvent : int32_t {
    UE_CANCELLED = 0x83FE,      // 33790 request
    UE_DONE = 0x8407,           // 33799 request
    UE_PROGRESS = 0x8408,       // 33800 progress
    UE_OPEN_FAILED = 0x8409,    // 33801 request
    UE_CONNECTED = 0x840A,      // 33802
    UE_RESET = 0x840B,          // 33803 request (reset while sending) or none (closed by the server)
    UE_SEND_FAILED = 0x840C,    // 33804 request
    UE_CONNECT_FAILED = 0x841E, // 33822 the channel could not connect; the worker ends
    UE_RESPONSE = 0x842B,       // 33835 response (a PUTFILE__ answer)
};

// First message number of upload channels: the n-th channel reports with kUploadMessageBase + n.
constexpr uint32_t kUploadMessageBase = 32778;

// Why a request was not sent (negative status codes of UM_REQUEST_NOT_SENT).
enum RequestError : int32_t {
    kRequestNotEncodable = -1,  // a text has no representation in the wire encoding
    kRequestBadText = -2,       // a text holds CR, LF or NUL, which would break the header
    kRequestTooLong = -3,       // the request header would exceed 16,384 bytes
};

} // namespace talvex

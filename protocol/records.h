#pragma once
// The records that travel between the user interface and the connection workers.
// Ownership moves with std::unique_ptr; an upload request is shared between its queue item and
// the channel sending it (std::shared_ptr), so neither can leave the other with a dangling pointer.
//
// Texts are UTF-8 inside the program. The engine converts ids, passwords, paths and search
// texts to the wire encoding when it builds a request, and names that come from the server back
// to UTF-8. The session id is an opaque token of the server and passes unchanged.

#include "platform/ole_date.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talvex {

class UploadRateLimiter; // protocol/upload_rate.h

// Posted to a worker with a request: message id, first text, second text.
struct CThreadCommand {
    uint32_t messageId = 0;
    std::string text1; // user id, remote path, folder path
    std::string text2; // password, new path, search text
};

// The dead-path bound unless set otherwise: longer than a laptop's Wi-Fi roaming or a
// reassociation with a new address (seconds, up to about 20), and than the 30 s outage the
// benchmarks survive; short enough that a server gone without a word is noticed in under a minute.
inline constexpr int kDefaultStallTimeoutSeconds = 45;
inline constexpr int kMaxStallTimeoutSeconds = 3600;

// Handed to a worker when it is started.
struct CChannelStartInfo {
    std::string host;          // dotted address or host name
    int port = 0;              // 20002 control session, 20001 command and upload channels
    std::string sessionId;     // command and upload channels
    uint32_t messageNumber = 0;// upload channels: the message number of all their reports (32778 + n)
    bool busy = false;         // upload channels: bookkeeping of the queue; the channel never reads it
    std::string workDir;       // folder of the temporary .tlx files; empty = the working folder
    int sendBufferBytes = 0;      // SO_SNDBUF after connecting; 0 = leave it to the system's tuning
    int connectTimeoutMs = 15000; // bound of the connect step
    // The dead-path bound: how long sent data may go unacknowledged, or an idle connection's
    // keepalive probes unanswered, before the connection counts as lost (TCP_USER_TIMEOUT;
    // LinkTimersFor in socket_channel.h). A link dark for less keeps its connections. 0: the
    // system's timers.
    int stallTimeoutMs = kDefaultStallTimeoutSeconds * 1000;
    int sendStallMs = 120000;     // uploads: a send that makes no progress this long fails
    int answerWaitMs = 60000;     // uploads: after a cancel cut a body short, how long the answers
                                  // to the files sent whole before it are still awaited
    bool zeroCopy = true;         // uploads: the body goes from the file to the socket in the kernel
                                  // (sendfile) where the file system allows it; false = read and send
    std::shared_ptr<UploadRateLimiter> rateLimit; // uploads: the session's speed limit; null = none
};

// One parsed response header.
struct CTlxspResponse {
    std::string requestId;
    std::string path;
    std::string path2;
    int32_t statusCode = 0;
    int32_t dataLength = 0;
    std::string command;
    std::string sessionId;
};

// One line of a remote listing.
struct CRemoteEntry {
    std::string name;
    std::string texts[3];   // free for the panes (type name ...); the channel leaves them empty
    int64_t size = 0;
    int32_t kind = 0;       // 0 file, any other value folder
    OleDate modified;
    bool IsFolder() const { return kind != 0; }
};
using CRemoteEntryList = std::vector<CRemoteEntry>;

// Notice kinds by command word.
enum NoticeKind : int32_t {
    kNoticeUnknown = -1,
    kNoticePutFile = 3,
    kNoticeDelFile = 4,
    kNoticeRmDir = 5,
    kNoticeRename = 6,
    kNoticeMkDir = 7,
};

// One line of a notice body.
struct CSyncNotice {
    std::string text;   // the rest of the line (a path), UTF-8
    int32_t number = 0; // result code of the change (200 = confirmed)
    int32_t kind = kNoticeUnknown;
};

// The notices of a GETNOTIED answer, or the counters of a GETSYNCED result.
struct CSyncNoticeList {
    std::vector<CSyncNotice> notices;
    int32_t totalCount = 0;  // GETSYNCED: TotalCount
    int32_t failCount = 0;   // GETSYNCED: FailCount
    int32_t spare[4] = {0, 0, 0, 0};
};

// What a local file was when its body started to go out: size, modification time and identity.
// A file that no longer matches when its upload is settled changed while it was sent.
struct CFileStamp {
    int64_t size = -1;     // -1: never taken (the body did not start)
    int64_t mtimeNs = 0;
    uint64_t inode = 0;
    uint64_t device = 0;
    bool operator==(const CFileStamp&) const = default;
};

// readError values of entries that are neither files nor folders: nothing is ever opened of them.
inline constexpr int32_t kReadFifo = -1;
inline constexpr int32_t kReadDevice = -2;
inline constexpr int32_t kReadSocket = -3;
inline constexpr int32_t kReadDanglingLink = -4;
// The kRead* code of a file mode that is no regular file and no folder (0 for those).
int32_t NotAFileCode(unsigned mode);

// One file (or folder, remote path ending in '/') to upload.
struct CUploadRequest {
    std::string localPath;
    std::string remotePath;  // never starts with '/'
    std::string moveFolder;  // passed through unchanged
    // Size when queued; -1 for a folder. Once its body went out whole (UE_DONE), the receiver
    // of that report sets it to the size that was sent (stamp.size).
    int64_t size = 0;
    std::string requestId = "vornasel";
    // The entry could not be read (errno), or is no file (a kRead* code below): it fails at once.
    int32_t readError = 0;
    // The channel could not write its request (kRequestNotEncodable, kRequestBadText,
    // kRequestTooLong): set before it reports UE_OPEN_FAILED, read by that report's receiver.
    int32_t headerError = 0;
    int64_t journalId = 0;   // its entry in the upload journal (protocol/upload_journal.h); 0: none
    // Written by the channel sending it before it reports the body sent (UE_DONE); read by the
    // receiver of that report only.
    CFileStamp stamp;

    bool IsFolder() const { return !remotePath.empty() && remotePath.back() == '/'; }
};

// One progress report of an upload.
struct CUploadProgress {
    int64_t sent = 0;
    int32_t percent = 0;     // -1 when the size is 0
    int32_t elapsed = 0;     // seconds
    int32_t remaining = -1;  // seconds, -1 when unknown
    int32_t speed = 0;       // bytes per second
    int32_t valid = 1;
};

} // namespace talvex

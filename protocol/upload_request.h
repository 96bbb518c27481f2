#pragma once
// What the upload queue is asked to send (CUploadOrder) and what it sends (CUploadRequest).
// CUploadRequest is declared with the other worker records in protocol/records.h, since the
// upload channel takes it; this header brings both together for the queue and its expansion.

#include "protocol/records.h"

#include <cstdint>
#include <string>

namespace talvex {

// One entry chosen for upload (a local pane row, a schedule job, a failed file sent again).
struct CUploadOrder {
    int32_t kind = 0;         // 0 file, 1 folder
    std::string source;       // local path (UTF-8); a folder's may end in "/*.*"
    std::string name;         // entry name; a folder's may end in '/'
    std::string remoteFolder; // remote base folder the entry goes into
    std::string moveFolder;   // where the local file goes once confirmed; empty: it stays
};

} // namespace talvex

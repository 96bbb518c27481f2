#pragma once
// Turns upload orders into upload requests: a file order yields one file request; a folder
// order yields a folder request for the folder itself, then one folder request per subfolder
// and one file request per file below it (each subfolder before its content). Qt-free; used by
// the command-line client and by the upload queue's expansion thread.

#include "protocol/upload_request.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace talvex {

struct ExpansionStats {
    int64_t files = 0;      // file requests made
    int64_t folders = 0;    // folder requests made
    int64_t totalSize = 0;  // sum of the file requests' sizes
    int64_t skipped = 0;    // entries left out: links to folders (never followed, so no walk loops)
    int64_t unreadable = 0; // entries that could not be read: requests with readError set (counted
                            // above as the file or folder they are)
    bool stopped = false;   // the stop flag ended the walk early
};

using UploadRequestSink = std::function<void(std::unique_ptr<CUploadRequest>)>;

// Expands one order, handing each request to `sink` as soon as it is made. A source that is
// not on disk yields nothing. An entry that cannot be read (a folder that cannot be opened or
// listed, an entry whose kind cannot be told) yields a request with readError set to errno, and
// one that is no file (a FIFO, a device, a socket, a link to nothing) a request with its kRead*
// code: nothing is opened or sent for it, it fails at once with its path and reason. When `stop` becomes true no
// further request is made.
ExpansionStats ExpandUploadOrder(const CUploadOrder& order, const UploadRequestSink& sink,
                                 const std::atomic<bool>* stop = nullptr);

// The remote path of an entry: base folder, relative folder and name joined (with a '/'
// between non-empty parts when there is none), local separators as '/', every "//" collapsed
// and a leading '/' removed.
std::string JoinUploadPath(std::string_view base, std::string_view relative, std::string_view name);

} // namespace talvex

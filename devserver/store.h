#pragma once
// A user's tree on disk. Every operation starts from the user's folder and walks down one name
// at a time with the *at() calls and O_NOFOLLOW, so no remote path can leave that folder:
// ".." is refused, "/" and "\" both separate names, and a symbolic link is never followed.

#include "devserver/net.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace talvex::devserver {

enum class StoreStatus { Ok, NotFound, Exists, BadPath, NotFolder, IsFolder, IoError, TooMany };
const char* StoreStatusText(StoreStatus s);

using PathParts = std::vector<std::string>;

struct StoreEntry {
    std::string name; // a listing: the name; a search: the path from the user's root, with a leading '/'
    int64_t size = 0;
    bool folder = false;
    std::time_t mtime = 0;
};

// Splits a remote path (UTF-8) into names. Empty names and "." are skipped. False for "..",
// a NUL byte or a name longer than 255 bytes.
bool SplitRemotePath(std::string_view path, PathParts& parts);
std::string JoinRemotePath(const PathParts& parts); // "/a/b", "/" for the root

// Prefix of the files an upload writes before it is complete; never listed.
inline constexpr std::string_view kPartialPrefix = ".tlxpart-";

// Removes every partial upload file anywhere below root: those a server killed in the middle of
// a body left behind. Symbolic links are not followed, and only regular files whose name starts
// with kPartialPrefix go. Meant for the start, before any upload runs. Returns how many went.
size_t RemovePartialUploads(const std::string& root);

class UserTree;

// The folder of the last upload on one connection, kept open for the next upload into it. It is
// taken again without a look while nothing can have moved it: the server changed no folder since
// (FolderChanges) and the connection has not read from its peer since the last look (Doubt), so
// a burst of uploads that arrived together walks to its folder once. Otherwise it is taken only
// while its path still leads to that very folder (one stat, device and inode): a folder removed,
// renamed or replaced meanwhile, by the server or by hand, is walked to anew, never written into.
class UploadFolderCache {
public:
    void Doubt() { m_doubted = true; } // bytes came from the peer: time has passed
private:
    friend class UserTree;
    std::string m_root; // the user's folder
    PathParts m_parts;  // the folder's names below it
    std::shared_ptr<const UniqueFd> m_fd;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    uint64_t m_changes = 0; // FolderChanges() when it was last looked at
    bool m_doubted = true;
};

// Counts the folders the server has removed or renamed (any user's), so that a kept folder
// knows when it must be looked at again.
uint64_t FolderChanges();

// An upload in progress: bytes go to a hidden file beside the target, which replaces the
// target only on Commit. Dropped without Commit, the partial file is removed.
class Upload {
public:
    Upload() = default;
    Upload(Upload&&) = default;
    Upload& operator=(Upload&&) = default;
    ~Upload();
    bool Write(const char* data, size_t size);
    StoreStatus Commit();

private:
    friend class UserTree;
    void Abort();
    std::shared_ptr<const UniqueFd> m_dir; // the target's folder (shared with a folder cache)
    UniqueFd m_file;
    std::string m_tempName, m_finalName;
};

class UserTree {
public:
    explicit UserTree(std::string folder) : m_folder(std::move(folder)) {}

    // Creates the user's folder when it is missing.
    StoreStatus Prepare() const;

    StoreStatus List(const PathParts& folder, std::vector<StoreEntry>& out, size_t maxEntries) const;
    StoreStatus Search(const PathParts& folder, std::string_view needle, std::vector<StoreEntry>& out,
                       size_t maxEntries) const;
    StoreStatus MakeFolder(const PathParts& folder, bool withParents) const;
    StoreStatus RemoveFolder(const PathParts& folder) const;
    StoreStatus DeleteFile(const PathParts& file) const;
    StoreStatus Rename(const PathParts& from, const PathParts& to) const;
    StoreStatus Stat(const PathParts& path, bool& folder) const;
    // Makes the user's folder and the file's folders where missing; with a cache, the folder of
    // the last upload on the connection is taken again when it is the same.
    StoreStatus BeginUpload(const PathParts& file, Upload& upload, UploadFolderCache* cache = nullptr) const;
    // Every file below `folder` (or `folder` itself when it names a file), with its path from
    // the user's root.
    StoreStatus Walk(const PathParts& folder, const std::function<void(const std::string&, int64_t)>& visit,
                     size_t maxEntries) const;

private:
    StoreStatus OpenFolder(const PathParts& parts, size_t count, bool create, UniqueFd& out) const;
    // Opens the folder holding the last part of path and reads that entry's status (links are
    // not followed); a failed read gives the status of its errno.
    StoreStatus StatLast(const PathParts& path, UniqueFd& parent, struct stat& st) const;

    std::string m_folder;
};

} // namespace talvex::devserver

#include "devserver/store.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex::devserver {
namespace {

constexpr int kMaxDepth = 128;

std::atomic<uint64_t> g_folderChanges{0};

StoreStatus FromErrno(int e)
{
    switch (e) {
    case ENOENT: return StoreStatus::NotFound;
    case EEXIST:
    case ENOTEMPTY: return StoreStatus::Exists;
    case ENOTDIR: return StoreStatus::NotFolder;
    case EISDIR: return StoreStatus::IsFolder;
    case ELOOP:
    case EINVAL:
    case ENAMETOOLONG:
    case EXDEV: return StoreStatus::BadPath;
    default: return StoreStatus::IoError;
    }
}

bool Hidden(std::string_view name)
{
    return name == "." || name == ".." || name.substr(0, kPartialPrefix.size()) == kPartialPrefix;
}

UniqueFd OpenDirAt(int parent, const std::string& name)
{
    return UniqueFd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Reads the names of an open folder (the fd stays open and usable); partial uploads are left out
// unless withPartials is set.
bool ReadNames(int dirFd, std::vector<std::string>& names, bool withPartials = false)
{
    const int copy = ::dup(dirFd);
    if (copy < 0)
        return false;
    DIR* d = ::fdopendir(copy);
    if (!d) {
        ::close(copy);
        return false;
    }
    ::rewinddir(d);
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != ".." && (withPartials || !Hidden(name)))
            names.emplace_back(name);
    }
    ::closedir(d);
    return true;
}

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool ContainsNoCase(std::string_view hay, std::string_view needle)
{
    if (needle.empty())
        return true;
    if (needle.size() > hay.size())
        return false;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && LowerAscii(hay[i + k]) == LowerAscii(needle[k]))
            ++k;
        if (k == needle.size())
            return true;
    }
    return false;
}

StoreStatus RemoveTree(int parent, const std::string& name, int depth)
{
    if (depth > kMaxDepth)
        return StoreStatus::TooMany;
    UniqueFd dir = OpenDirAt(parent, name);
    if (!dir.Valid())
        return FromErrno(errno);
    // Partial uploads inside go with the folder, so the names are read unfiltered.
    std::vector<std::string> all;
    if (!ReadNames(dir.Get(), all, true))
        return StoreStatus::IoError;
    for (const std::string& child : all) {
        struct stat st {};
        if (::fstatat(dir.Get(), child.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            const StoreStatus s = RemoveTree(dir.Get(), child, depth + 1);
            if (s != StoreStatus::Ok)
                return s;
        } else if (::unlinkat(dir.Get(), child.c_str(), 0) != 0) {
            return FromErrno(errno);
        }
    }
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0)
        return FromErrno(errno);
    return StoreStatus::Ok;
}

// Visits every entry below the open folder fd, depth first and at most kMaxDepth folders deep;
// folders and entries that cannot be read are passed over. visit(name, path, st) sees each entry
// before a folder is entered; a status other than Ok ends the walk with that status.
using TreeVisitor = std::function<StoreStatus(const std::string& name, const std::string& path, const struct stat& st)>;

StoreStatus WalkTree(int fd, const std::string& base, int depth, const TreeVisitor& visit)
{
    if (depth > kMaxDepth)
        return StoreStatus::Ok;
    std::vector<std::string> names;
    if (!ReadNames(fd, names))
        return StoreStatus::Ok;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const std::string path = base + "/" + name;
        if (StoreStatus s = visit(name, path, st); s != StoreStatus::Ok)
            return s;
        if (S_ISDIR(st.st_mode)) {
            UniqueFd child = OpenDirAt(fd, name);
            if (child.Valid())
                if (StoreStatus s = WalkTree(child.Get(), path, depth + 1, visit); s != StoreStatus::Ok)
                    return s;
        }
    }
    return StoreStatus::Ok;
}

size_t RemovePartialsBelow(int fd, int depth)
{
    if (depth > kMaxDepth)
        return 0;
    std::vector<std::string> names;
    if (!ReadNames(fd, names, true))
        return 0;
    size_t removed = 0;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (UniqueFd child = OpenDirAt(fd, name); child.Valid())
                removed += RemovePartialsBelow(child.Get(), depth + 1);
        } else if (S_ISREG(st.st_mode) && name.compare(0, kPartialPrefix.size(), kPartialPrefix) == 0 &&
                   ::unlinkat(fd, name.c_str(), 0) == 0) {
            ++removed;
        }
    }
    return removed;
}

// A name for a partial file: the prefix and 16 random hex digits.
std::string PartialName()
{
    thread_local std::mt19937_64 rng{std::random_device{}()};
    uint64_t v = rng();
    std::string text(kPartialPrefix.size() + 16, '0');
    text.replace(0, kPartialPrefix.size(), kPartialPrefix);
    for (size_t i = text.size(); i-- > kPartialPrefix.size(); v >>= 4)
        text[i] = "0123456789abcdef"[v & 15];
    return text;
}

} // namespace

uint64_t FolderChanges()
{
    return g_folderChanges.load(std::memory_order_acquire);
}

const char* StoreStatusText(StoreStatus s)
{
    switch (s) {
    case StoreStatus::Ok: return "ok";
    case StoreStatus::NotFound: return "not found";
    case StoreStatus::Exists: return "already exists";
    case StoreStatus::BadPath: return "path not allowed";
    case StoreStatus::NotFolder: return "not a folder";
    case StoreStatus::IsFolder: return "is a folder";
    case StoreStatus::IoError: return "i/o error";
    case StoreStatus::TooMany: return "too many entries";
    }
    return "?";
}

size_t RemovePartialUploads(const std::string& root)
{
    const UniqueFd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.Valid() ? RemovePartialsBelow(fd.Get(), 0) : 0;
}

bool SplitRemotePath(std::string_view path, PathParts& parts)
{
    parts.clear();
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = i;
        while (j < path.size() && path[j] != '/' && path[j] != '\\')
            ++j;
        const std::string_view name = path.substr(i, j - i);
        if (name == "..")
            return false;
        if (!name.empty() && name != ".") {
            if (name.size() > 255 || name.find('\0') != std::string_view::npos)
                return false;
            parts.emplace_back(name);
        }
        i = j + 1;
    }
    return parts.size() <= 256;
}

std::string JoinRemotePath(const PathParts& parts)
{
    if (parts.empty())
        return "/";
    std::string out;
    for (const std::string& p : parts)
        out += "/" + p;
    return out;
}

Upload::~Upload()
{
    Abort();
}

void Upload::Abort()
{
    if (m_file.Valid()) {
        m_file.Reset();
        ::unlinkat(m_dir->Get(), m_tempName.c_str(), 0);
    }
}

bool Upload::Write(const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(m_file.Get(), data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

StoreStatus Upload::Commit()
{
    if (!m_file.Valid())
        return StoreStatus::IoError;
    if (::close(m_file.Release()) != 0) {
        ::unlinkat(m_dir->Get(), m_tempName.c_str(), 0);
        return StoreStatus::IoError;
    }
    if (::renameat(m_dir->Get(), m_tempName.c_str(), m_dir->Get(), m_finalName.c_str()) != 0) {
        const int e = errno;
        ::unlinkat(m_dir->Get(), m_tempName.c_str(), 0);
        return e == EISDIR || e == ENOTEMPTY || e == EEXIST ? StoreStatus::Exists : FromErrno(e);
    }
    return StoreStatus::Ok;
}

StoreStatus UserTree::Prepare() const
{
    if (::mkdir(m_folder.c_str(), 0755) != 0 && errno != EEXIST)
        return FromErrno(errno);
    struct stat st {};
    if (::stat(m_folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return StoreStatus::NotFolder;
    return StoreStatus::Ok;
}

StoreStatus UserTree::OpenFolder(const PathParts& parts, size_t count, bool create, UniqueFd& out) const
{
    UniqueFd fd(::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid())
        return StoreStatus::IoError;
    for (size_t i = 0; i < count; ++i) {
        UniqueFd next = OpenDirAt(fd.Get(), parts[i]);
        if (!next.Valid() && errno == ENOENT && create) {
            if (::mkdirat(fd.Get(), parts[i].c_str(), 0755) != 0 && errno != EEXIST)
                return FromErrno(errno);
            next = OpenDirAt(fd.Get(), parts[i]);
        }
        if (!next.Valid())
            return FromErrno(errno);
        fd = std::move(next);
    }
    out = std::move(fd);
    return StoreStatus::Ok;
}

StoreStatus UserTree::List(const PathParts& folder, std::vector<StoreEntry>& out, size_t maxEntries) const
{
    UniqueFd dir;
    if (StoreStatus s = OpenFolder(folder, folder.size(), false, dir); s != StoreStatus::Ok)
        return s;
    std::vector<std::string> names;
    if (!ReadNames(dir.Get(), names))
        return StoreStatus::IoError;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
            continue; // links and special files are not part of the user's tree
        if (out.size() >= maxEntries)
            return StoreStatus::TooMany;
        out.push_back({name, S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size), S_ISDIR(st.st_mode),
                       st.st_mtime});
    }
    return StoreStatus::Ok;
}

StoreStatus UserTree::Search(const PathParts& folder, std::string_view needle, std::vector<StoreEntry>& out,
                             size_t maxEntries) const
{
    UniqueFd dir;
    if (StoreStatus s = OpenFolder(folder, folder.size(), false, dir); s != StoreStatus::Ok)
        return s;
    const auto match = [&](const std::string& name, const std::string& path, const struct stat& st) {
        const bool isDir = S_ISDIR(st.st_mode);
        if (!isDir && !S_ISREG(st.st_mode))
            return StoreStatus::Ok;
        if (ContainsNoCase(name, needle)) {
            if (out.size() >= maxEntries)
                return StoreStatus::TooMany;
            out.push_back({path, isDir ? 0 : static_cast<int64_t>(st.st_size), isDir, st.st_mtime});
        }
        return StoreStatus::Ok;
    };
    return WalkTree(dir.Get(), folder.empty() ? std::string() : JoinRemotePath(folder), 0, match);
}

StoreStatus UserTree::MakeFolder(const PathParts& folder, bool withParents) const
{
    if (folder.empty())
        return withParents ? StoreStatus::Ok : StoreStatus::Exists;
    UniqueFd parent;
    if (StoreStatus s = OpenFolder(folder, folder.size() - 1, withParents, parent); s != StoreStatus::Ok)
        return s;
    if (::mkdirat(parent.Get(), folder.back().c_str(), 0755) == 0)
        return StoreStatus::Ok;
    if (errno != EEXIST)
        return FromErrno(errno);
    struct stat st {};
    if (::fstatat(parent.Get(), folder.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
        return withParents ? StoreStatus::Ok : StoreStatus::Exists;
    return StoreStatus::Exists;
}

StoreStatus UserTree::StatLast(const PathParts& path, UniqueFd& parent, struct stat& st) const
{
    if (StoreStatus s = OpenFolder(path, path.size() - 1, false, parent); s != StoreStatus::Ok)
        return s;
    if (::fstatat(parent.Get(), path.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return FromErrno(errno);
    return StoreStatus::Ok;
}

StoreStatus UserTree::RemoveFolder(const PathParts& folder) const
{
    if (folder.empty())
        return StoreStatus::BadPath; // the user's root stays
    UniqueFd parent;
    struct stat st {};
    if (StoreStatus s = StatLast(folder, parent, st); s != StoreStatus::Ok)
        return s;
    if (S_ISLNK(st.st_mode))
        return StoreStatus::BadPath;
    if (!S_ISDIR(st.st_mode))
        return StoreStatus::NotFolder;
    const StoreStatus removed = RemoveTree(parent.Get(), folder.back(), 0);
    g_folderChanges.fetch_add(1, std::memory_order_release); // even a part of it may be gone
    return removed;
}

StoreStatus UserTree::DeleteFile(const PathParts& file) const
{
    if (file.empty())
        return StoreStatus::BadPath;
    UniqueFd parent;
    struct stat st {};
    if (StoreStatus s = StatLast(file, parent, st); s != StoreStatus::Ok)
        return s;
    if (S_ISDIR(st.st_mode))
        return StoreStatus::IsFolder;
    if (!S_ISREG(st.st_mode))
        return StoreStatus::BadPath;
    if (::unlinkat(parent.Get(), file.back().c_str(), 0) != 0)
        return FromErrno(errno);
    return StoreStatus::Ok;
}

StoreStatus UserTree::Rename(const PathParts& from, const PathParts& to) const
{
    if (from.empty() || to.empty())
        return StoreStatus::BadPath;
    if (to.size() > from.size() && std::equal(from.begin(), from.end(), to.begin()))
        return StoreStatus::BadPath; // a folder cannot move into itself
    UniqueFd fromParent, toParent;
    if (StoreStatus s = OpenFolder(from, from.size() - 1, false, fromParent); s != StoreStatus::Ok)
        return s;
    if (StoreStatus s = OpenFolder(to, to.size() - 1, false, toParent); s != StoreStatus::Ok)
        return s;
    struct stat st {};
    if (::fstatat(fromParent.Get(), from.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return FromErrno(errno);
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        return StoreStatus::BadPath;
    if (::renameat2(fromParent.Get(), from.back().c_str(), toParent.Get(), to.back().c_str(), RENAME_NOREPLACE) != 0)
        return FromErrno(errno);
    if (S_ISDIR(st.st_mode))
        g_folderChanges.fetch_add(1, std::memory_order_release);
    return StoreStatus::Ok;
}

StoreStatus UserTree::Stat(const PathParts& path, bool& folder) const
{
    if (path.empty()) {
        folder = true;
        return StoreStatus::Ok;
    }
    UniqueFd parent;
    struct stat st {};
    if (StoreStatus s = StatLast(path, parent, st); s != StoreStatus::Ok)
        return s;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        return StoreStatus::NotFound;
    folder = S_ISDIR(st.st_mode);
    return StoreStatus::Ok;
}

StoreStatus UserTree::BeginUpload(const PathParts& file, Upload& upload, UploadFolderCache* cache) const
{
    if (file.empty() || Hidden(file.back()))
        return StoreStatus::BadPath;
    const size_t depth = file.size() - 1;
    const uint64_t changes = FolderChanges(); // read before any look: a change after it is seen next time
    std::shared_ptr<const UniqueFd> dir;
    if (cache && cache->m_fd && cache->m_root == m_folder && cache->m_parts.size() == depth &&
        std::equal(cache->m_parts.begin(), cache->m_parts.end(), file.begin())) {
        if (!cache->m_doubted && cache->m_changes == changes) {
            dir = cache->m_fd;
        } else {
            std::string path = m_folder;
            for (size_t i = 0; i < depth; ++i)
                path.append(1, '/').append(file[i]);
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && st.st_dev == cache->m_dev && st.st_ino == cache->m_ino)
                dir = cache->m_fd;
        }
    }
    if (!dir) {
        if (StoreStatus s = Prepare(); s != StoreStatus::Ok)
            return s;
        UniqueFd opened;
        if (StoreStatus s = OpenFolder(file, depth, true, opened); s != StoreStatus::Ok)
            return s;
        dir = std::make_shared<const UniqueFd>(std::move(opened));
        struct stat st {};
        if (cache && ::fstat(dir->Get(), &st) == 0) {
            cache->m_root = m_folder;
            cache->m_parts.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(depth));
            cache->m_fd = dir;
            cache->m_dev = st.st_dev;
            cache->m_ino = st.st_ino;
        }
    }
    if (cache && cache->m_fd == dir) {
        cache->m_changes = changes;
        cache->m_doubted = false;
    }
    // A folder of that name is found by the rename at the end (EISDIR: Exists), the body read
    // into the temporary file first: no look-up for a folder that is almost never there.
    const UniqueFd& parent = *dir;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string temp = PartialName();
        const int fd = ::openat(parent.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            upload.Abort();
            upload.m_dir = std::move(dir);
            upload.m_file.Reset(fd);
            upload.m_tempName = std::move(temp);
            upload.m_finalName = file.back();
            return StoreStatus::Ok;
        }
        if (errno != EEXIST)
            return FromErrno(errno);
    }
    return StoreStatus::IoError;
}

StoreStatus UserTree::Walk(const PathParts& folder, const std::function<void(const std::string&, int64_t)>& visit,
                           size_t maxEntries) const
{
    bool isFolder = false;
    if (StoreStatus s = Stat(folder, isFolder); s != StoreStatus::Ok)
        return s;
    if (!isFolder) {
        UniqueFd parent;
        struct stat st {};
        if (StoreStatus s = StatLast(folder, parent, st); s != StoreStatus::Ok)
            return s;
        visit(JoinRemotePath(folder), st.st_size);
        return StoreStatus::Ok;
    }
    UniqueFd dir;
    if (StoreStatus s = OpenFolder(folder, folder.size(), false, dir); s != StoreStatus::Ok)
        return s;
    size_t seen = 0;
    const auto count = [&](const std::string&, const std::string& path, const struct stat& st) {
        if (++seen > maxEntries)
            return StoreStatus::TooMany;
        if (S_ISREG(st.st_mode))
            visit(path, st.st_size);
        return StoreStatus::Ok;
    };
    return WalkTree(dir.Get(), folder.empty() ? std::string() : JoinRemotePath(folder), 0, count);
}

} // namespace talvex::devserver

// Upload orders expanded into upload requests, on real folders in a temporary directory.

#include "protocol/upload_expander.h"
#include "protocol/upload_expansion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <filesystem>
#include <fstream>
#include <map>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace talvex;

namespace {

class UploadExpansionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("talvex-expansion-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "photos" / "trip");
        fs::create_directories(m_dir / "empty");
        Write(m_dir / "photos" / "a.jpg", 10);
        Write(m_dir / "photos" / "b c.jpg", 20);
        Write(m_dir / "photos" / "trip" / "사진.jpg", 30);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    static void Write(const fs::path& p, size_t size) { std::ofstream(p) << std::string(size, 'x'); }

    std::vector<CUploadRequest> Expand(const CUploadOrder& order, ExpansionStats* stats = nullptr,
                                       const std::atomic<bool>* stop = nullptr)
    {
        std::vector<CUploadRequest> out;
        const ExpansionStats s = ExpandUploadOrder(order, [&](std::unique_ptr<CUploadRequest> r) { out.push_back(*r); }, stop);
        if (stats)
            *stats = s;
        return out;
    }

    CUploadOrder Folder(const std::string& name, const std::string& remote = "/docs/")
    {
        return {1, (m_dir / name).string() + "/*.*", name + "/", remote, "/moved"};
    }

    fs::path m_dir;
};

TEST_F(UploadExpansionTest, FolderYieldsItselfItsSubfoldersAndItsFiles)
{
    ExpansionStats stats;
    const auto requests = Expand(Folder("photos"), &stats);
    ASSERT_EQ(requests.size(), 5u);
    // The folder itself comes first; each subfolder before its content.
    EXPECT_EQ(requests[0].remotePath, "docs/photos/");
    EXPECT_EQ(requests[0].size, -1);
    std::map<std::string, int64_t> byRemote;
    std::map<std::string, std::string> localOf;
    for (size_t i = 0; i < requests.size(); ++i) {
        byRemote[requests[i].remotePath] = requests[i].size;
        localOf[requests[i].remotePath] = requests[i].localPath;
        EXPECT_EQ(requests[i].moveFolder, "/moved");
        EXPECT_EQ(requests[i].requestId, "vornasel");
        if (requests[i].remotePath == "docs/photos/trip/사진.jpg") {
            EXPECT_TRUE(std::any_of(requests.begin(), requests.begin() + static_cast<long>(i),
                                    [](const CUploadRequest& r) { return r.remotePath == "docs/photos/trip/"; }));
        }
    }
    EXPECT_EQ(byRemote, (std::map<std::string, int64_t>{{"docs/photos/", -1}, {"docs/photos/a.jpg", 10}, {"docs/photos/b c.jpg", 20},
                                                        {"docs/photos/trip/", -1}, {"docs/photos/trip/사진.jpg", 30}}));
    EXPECT_EQ(localOf["docs/photos/trip/사진.jpg"], (m_dir / "photos" / "trip" / "사진.jpg").string());
    EXPECT_EQ(stats.files, 3);
    EXPECT_EQ(stats.folders, 2);
    EXPECT_EQ(stats.totalSize, 60);
}

TEST_F(UploadExpansionTest, EmptyFolderStillYieldsItsFolderRequest)
{
    const auto requests = Expand(Folder("empty", "/"));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].remotePath, "empty/");
    EXPECT_EQ(requests[0].size, -1);
    // Never a file request for the "*.*" pattern itself.
    for (const auto& r : Expand(Folder("photos")))
        EXPECT_EQ(r.localPath.find("*.*"), std::string::npos);
}

TEST_F(UploadExpansionTest, FilesAndPaths)
{
    auto requests = Expand({0, (m_dir / "photos" / "a.jpg").string(), "a.jpg", "//docs//2024/", ""});
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].remotePath, "docs/2024/a.jpg");
    EXPECT_EQ(requests[0].size, 10);
    // A file sent again: no name, the remote folder is the whole remote path.
    requests = Expand({0, (m_dir / "photos" / "a.jpg").string(), "", "docs/a.jpg", ""});
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].remotePath, "docs/a.jpg");
    EXPECT_TRUE(Expand({0, (m_dir / "gone.txt").string(), "gone.txt", "/", ""}).empty());
    EXPECT_TRUE(Expand({1, (m_dir / "gone").string() + "/*.*", "gone/", "/", ""}).empty());

    EXPECT_EQ(JoinUploadPath("/a/", "b/", "c.txt"), "a/b/c.txt");
    EXPECT_EQ(JoinUploadPath("a", "", "c.txt"), "a/c.txt");
    EXPECT_EQ(JoinUploadPath("/", "", "x/"), "x/");
    EXPECT_EQ(JoinUploadPath("", "", ""), "");
}

TEST_F(UploadExpansionTest, LinksAndStop)
{
    fs::create_directory_symlink(m_dir / "photos", m_dir / "photos" / "trip" / "loop");
    fs::create_symlink(m_dir / "photos" / "a.jpg", m_dir / "photos" / "alias.jpg");
    ExpansionStats stats;
    const auto requests = Expand(Folder("photos"), &stats);
    EXPECT_EQ(stats.files, 4); // the link to a file is sent with the file's size
    EXPECT_EQ(stats.folders, 2);
    EXPECT_EQ(stats.skipped, 1); // the link back up is not entered
    for (const auto& r : requests)
        if (r.remotePath == "docs/photos/alias.jpg") {
            EXPECT_EQ(r.size, 10);
        }

    std::atomic<bool> stop{true};
    EXPECT_TRUE(Expand(Folder("photos"), &stats, &stop).empty());
    EXPECT_TRUE(stats.stopped);
    stop = false;
    size_t seen = 0;
    stats = ExpandUploadOrder(Folder("photos"), [&](std::unique_ptr<CUploadRequest>) {
        if (++seen == 2)
            stop = true;
    }, &stop);
    EXPECT_EQ(seen, 2u);
    EXPECT_TRUE(stats.stopped);
}

TEST_F(UploadExpansionTest, EntriesThatCannotBeReadAreFailuresWithTheirReasonNeverSilentGaps)
{
    // A link that points at itself cannot be told a file or a folder, whoever runs this; a
    // dangling link, a FIFO and a socket are no files: each is a failure with its own code,
    // inside a folder and named directly alike, and none of them is ever opened.
    fs::create_symlink(m_dir / "photos" / "self", m_dir / "photos" / "self");
    fs::create_symlink(m_dir / "photos" / "nowhere", m_dir / "photos" / "dangling");
    ASSERT_EQ(::mkfifo((m_dir / "photos" / "pipe").c_str(), 0644), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = (m_dir / "photos" / "sock").string();
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, sockPath.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::map<std::string, int> codes = {
        {"self", ELOOP}, {"dangling", kReadDanglingLink}, {"pipe", kReadFifo}, {"sock", kReadSocket}};
    ExpansionStats stats;
    const auto requests = Expand(Folder("photos"), &stats);
    EXPECT_EQ(stats.unreadable, 4);
    EXPECT_EQ(stats.skipped, 0);
    std::map<std::string, int> found;
    for (const CUploadRequest& r : requests)
        if (r.readError != 0) {
            found[fs::path(r.localPath).filename().string()] = r.readError;
            EXPECT_EQ(r.remotePath, "docs/photos/" + fs::path(r.localPath).filename().string());
        }
    EXPECT_EQ(found, codes);
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(), [](const CUploadRequest& r) { return r.readError == 0; }), 5);

    // Named directly (a resend of its fail row, an argument of talvex-cli): the same failure.
    for (const auto& [name, code] : codes) {
        CUploadOrder file{0, (m_dir / "photos" / name).string(), name, "/docs", ""};
        const auto direct = Expand(file, &stats);
        ASSERT_EQ(direct.size(), 1u) << name;
        EXPECT_EQ(direct[0].readError, code) << name;
        EXPECT_EQ(direct[0].remotePath, "docs/" + name);
    }
    ::close(sock);
    EXPECT_EQ(NotAFileCode(S_IFCHR), kReadDevice);
    EXPECT_EQ(NotAFileCode(S_IFBLK), kReadDevice);
    EXPECT_EQ(NotAFileCode(S_IFREG), 0);
    EXPECT_EQ(NotAFileCode(S_IFDIR), 0);
    // A source that is gone yields nothing; talvex-cli and the window tell that themselves.
    CUploadOrder gone{0, (m_dir / "gone.txt").string(), "gone.txt", "/docs", ""};
    EXPECT_TRUE(Expand(gone, &stats).empty());

    if (::geteuid() == 0)
        return; // permissions do not stop root: the link above covers the path
    fs::create_directories(m_dir / "photos" / "locked" / "inner");
    fs::permissions(m_dir / "photos" / "locked", fs::perms::none);
    const auto locked = Expand(Folder("photos"), &stats);
    fs::permissions(m_dir / "photos" / "locked", fs::perms::owner_all);
    auto it = std::find_if(locked.begin(), locked.end(),
                           [](const CUploadRequest& r) { return r.remotePath == "docs/photos/locked/"; });
    ASSERT_NE(it, locked.end());
    EXPECT_EQ(it->readError, EACCES) << "announced as a failure, never created empty";
    EXPECT_EQ(std::count_if(locked.begin(), locked.end(),
                            [](const CUploadRequest& r) { return r.remotePath == "docs/photos/locked/"; }),
              1);
}

} // namespace

TEST_F(UploadExpansionTest, TheWalkWaitsUntilItsRequestsAreSeenAndStopsWhenTold)
{
    // 1,000 files; the walk may run 100 requests ahead of what VisitNew has seen (and one batch
    // of 256 past that at most).
    fs::create_directories(m_dir / "many");
    for (int i = 0; i < 1000; ++i)
        Write(m_dir / "many" / ("f" + std::to_string(1000 + i)), 1);
    auto until = [](const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return done();
    };
    std::atomic<int> told{0};
    {
        CUploadExpander expander([&told] { ++told; }, 100);
        expander.Add(Folder("many"));
        ASSERT_TRUE(until([&] { return expander.Pending() >= 100; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // time to run further, were it not held
        EXPECT_LE(expander.Pending(), 100u + 256u);
        EXPECT_FALSE(expander.Idle());
        // Seen a few at a time and taken: the walk goes on to the end, nothing lost or doubled.
        std::vector<std::string> seen, taken;
        ASSERT_TRUE(until([&] {
            expander.VisitNew([&](CUploadRequest& r) { seen.push_back(r.remotePath); }, 50);
            for (const auto& r : expander.TakeVisited())
                taken.push_back(r->remotePath);
            return expander.Idle();
        }));
        EXPECT_EQ(taken.size(), 1001u); // the folder and its files
        EXPECT_EQ(seen, taken);
        std::sort(taken.begin(), taken.end());
        EXPECT_TRUE(std::adjacent_find(taken.begin(), taken.end()) == taken.end());
        EXPECT_GT(told.load(), 0);
    }
    // A cancel, and the end of the expander, while the walk waits: both return.
    {
        CUploadExpander expander([] {}, 100);
        expander.Add(Folder("many"));
        ASSERT_TRUE(until([&] { return expander.Pending() >= 100; }));
        expander.Cancel();
        EXPECT_TRUE(until([&] { return expander.Idle(); }));
        expander.Add(Folder("many"));
        ASSERT_TRUE(until([&] { return expander.Pending() >= 100; }));
    } // destroyed while its walk waits
}

#include "platform/move_after_upload.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
void Touch(const fs::path& p, const std::string& text = "x")
{
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}
} // namespace

TEST(MoveAfterUpload, TakenNamesGetTheNextFreeNumberAfterTheExtension)
{
    const fs::path dir = fs::temp_directory_path() / ("talvex-move-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    Touch(dir / "src" / "a.txt", "payload");
    Touch(dir / "keep" / "docs" / "a.txt");
    Touch(dir / "keep" / "docs" / "a.txt_[1]");

    const std::string moved = talvex::MoveAfterUpload((dir / "src" / "a.txt").string(), (dir / "keep").string(), "docs/a.txt");
    EXPECT_EQ(moved, (dir / "keep" / "docs" / "a.txt_[2]").string());
    EXPECT_FALSE(fs::exists(dir / "src" / "a.txt"));
    std::ifstream in(moved);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "payload");

    // Missing folders are made; a remote name that climbs out is refused and the file stays.
    Touch(dir / "src" / "b.txt");
    EXPECT_EQ(talvex::MoveAfterUpload((dir / "src" / "b.txt").string(), (dir / "new").string(), "x/y/b.txt"),
              (dir / "new" / "x" / "y" / "b.txt").string());
    Touch(dir / "src" / "c.txt");
    std::string why;
    EXPECT_EQ(talvex::MoveAfterUpload((dir / "src" / "c.txt").string(), (dir / "keep").string(), "../../c.txt", &why), "");
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(fs::exists(dir / "src" / "c.txt"));
    fs::remove_all(dir);
}

// ---- Moves never replace a file ----------------------------------------------------------

#include "platform/publish_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

std::string ReadText(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class MoveNoReplaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("talvex-move-race-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override
    {
        talvex::SetRenameNoReplaceCallForTesting(nullptr);
        talvex::SetMoveCopyCallsForTesting(nullptr, nullptr);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
        if (!m_otherVolume.empty())
            fs::remove_all(m_otherVolume, ec);
    }

    // Moves `count` files, each with its own text, to the one name "docs/a.txt" below target
    // from as many threads at once, `rounds` times; checks that every file arrived whole under
    // a name of its own and that the move folder holds nothing else.
    void RaceToOneName(const fs::path& sourceRoot, const fs::path& target, int count, int rounds)
    {
        for (int round = 0; round < rounds; ++round) {
            const fs::path into = target / std::to_string(round);
            std::vector<std::string> sources;
            for (int i = 0; i < count; ++i) {
                const fs::path s = sourceRoot / (std::to_string(round) + "-" + std::to_string(i) + ".txt");
                std::ofstream(s, std::ios::binary) << "file " << i;
                sources.push_back(s.string());
            }
            std::atomic<int> ready{0};
            std::vector<std::string> moved(count);
            std::vector<std::thread> threads;
            for (int i = 0; i < count; ++i)
                threads.emplace_back([&, i] {
                    ++ready;
                    while (ready.load() < count)
                        std::this_thread::yield();
                    moved[i] = talvex::MoveAfterUpload(sources[i], into.string(), "docs/a.txt");
                });
            for (auto& t : threads)
                t.join();
            std::set<std::string> names;
            for (int i = 0; i < count; ++i) {
                ASSERT_FALSE(moved[i].empty()) << "round " << round << " file " << i;
                EXPECT_EQ(ReadText(moved[i]), "file " + std::to_string(i)) << moved[i];
                EXPECT_FALSE(fs::exists(sources[i]));
                names.insert(moved[i]);
            }
            EXPECT_EQ(names.size(), size_t(count)) << "two moves took one name in round " << round;
            size_t files = 0;
            for ([[maybe_unused]] const auto& e : fs::directory_iterator(into / "docs"))
                ++files;
            EXPECT_EQ(files, size_t(count)) << "a temporary copy was left, or a file replaced";
        }
    }

    // A folder on another volume than m_dir, or empty.
    fs::path OtherVolume()
    {
        m_otherVolume = fs::path("/dev/shm") / ("talvex-move-race-" + std::to_string(::getpid()));
        std::error_code ec;
        fs::create_directories(m_otherVolume, ec);
        struct stat a {}, b {};
        if (ec || ::stat(m_otherVolume.c_str(), &a) != 0 || ::stat(m_dir.c_str(), &b) != 0 || a.st_dev == b.st_dev) {
            fs::remove_all(m_otherVolume, ec);
            m_otherVolume.clear();
        }
        return m_otherVolume;
    }

    fs::path m_dir, m_otherVolume;
};

// The test's stand-ins for renameat2.
int NoFlagsSupported(const char*, const char*)
{
    errno = EINVAL;
    return -1;
}
std::string g_otherVolumePrefix;
int SourcesOnAnotherVolume(const char* from, const char* to)
{
    if (std::string(from).rfind(g_otherVolumePrefix, 0) == 0) {
        errno = EXDEV;
        return -1;
    }
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

// The test's stand-ins for the calls of a copy: a file system without nameless files, and a
// write that first notes what the watched folder holds, then writes at most g_writeBudget
// bytes in all; past them it fails with ENOSPC, or with g_dieWhenSpent the process is killed.
int NoNamelessFiles(const char*, mode_t)
{
    errno = EOPNOTSUPP;
    return -1;
}
std::string g_watchedFolder;
std::vector<std::string> g_seenDuringCopy;
long long g_writeBudget = -1; // no limit
bool g_dieWhenSpent = false;
ssize_t WatchedWrite(int fd, const void* data, size_t size)
{
    if (!g_watchedFolder.empty())
        for (const auto& e : fs::directory_iterator(g_watchedFolder))
            g_seenDuringCopy.push_back(e.path().filename().string());
    if (g_writeBudget == 0) {
        if (g_dieWhenSpent)
            ::raise(SIGKILL);
        errno = ENOSPC;
        return -1;
    }
    if (g_writeBudget > 0)
        size = std::min<size_t>(size, static_cast<size_t>(g_writeBudget));
    const ssize_t put = ::write(fd, data, size);
    if (put > 0 && g_writeBudget > 0)
        g_writeBudget -= put;
    return put;
}

// The two ways a copy is written: nameless where the file system has O_TMPFILE, else under
// a marked name.
struct CopyKind {
    const char* name;
    talvex::MoveOpenNamelessCall open;
};
const CopyKind kCopyKinds[] = {{"nameless", nullptr}, {"named", &NoNamelessFiles}};

bool NamelessFilesWork(const fs::path& folder)
{
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// Every entry below folder that is not a folder.
std::vector<std::string> FilesBelow(const fs::path& folder)
{
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (!fs::is_directory(e.symlink_status()))
            out.push_back(fs::relative(e.path(), folder).string());
    return out;
}

std::string Payload(size_t size)
{
    std::string out;
    for (size_t i = 0; i < size; ++i)
        out += static_cast<char>('a' + i * 7 % 26);
    return out;
}

} // namespace

TEST_F(MoveNoReplaceTest, MovesToOneNameAtOnceEachKeepTheirOwnFile)
{
    fs::create_directories(m_dir / "src");
    RaceToOneName(m_dir / "src", m_dir / "keep", 8, 20);

    // Where the file system has no no-replace rename, a link and an unlink do the same.
    talvex::SetRenameNoReplaceCallForTesting(&NoFlagsSupported);
    RaceToOneName(m_dir / "src", m_dir / "keep-linked", 8, 10);
}

TEST_F(MoveNoReplaceTest, CopiesAcrossVolumesAtOnceEachKeepTheirOwnFile)
{
    // Through the copy path on one volume (the rename says "another volume")...
    fs::create_directories(m_dir / "far");
    g_otherVolumePrefix = (m_dir / "far").string() + "/";
    talvex::SetRenameNoReplaceCallForTesting(&SourcesOnAnotherVolume);
    RaceToOneName(m_dir / "far", m_dir / "keep", 6, 10);
    // Where the copies have names meanwhile, none is taken for another's left-over.
    talvex::SetMoveCopyCallsForTesting(&NoNamelessFiles, nullptr);
    RaceToOneName(m_dir / "far", m_dir / "keep-named", 6, 10);
    talvex::SetMoveCopyCallsForTesting(nullptr, nullptr);
    talvex::SetRenameNoReplaceCallForTesting(nullptr);

    // ... and across two real volumes when there are two.
    const fs::path other = OtherVolume();
    if (other.empty())
        GTEST_SKIP() << "no second volume to move across";
    RaceToOneName(other, m_dir / "keep-far", 6, 10);
}

TEST_F(MoveNoReplaceTest, AMovedFileKeepsItsModificationTimeAndMode)
{
    auto check = [&](const fs::path& from, const std::string& folder) {
        std::ofstream(from) << "kept";
        ASSERT_EQ(::chmod(from.c_str(), 0640), 0);
        const struct timespec times[2] = {{1000000000, 0}, {1234567890, 123456789}};
        ASSERT_EQ(::utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
        const std::string moved = talvex::MoveAfterUpload(from.string(), folder, "t/kept.bin");
        ASSERT_FALSE(moved.empty());
        struct stat st {};
        ASSERT_EQ(::stat(moved.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << moved;
        EXPECT_EQ(st.st_mtim.tv_sec, 1234567890) << moved;
        EXPECT_EQ(st.st_mtim.tv_nsec, 123456789) << moved;
        EXPECT_EQ(ReadText(moved), "kept");
        EXPECT_FALSE(fs::exists(from));
    };
    fs::create_directories(m_dir / "far");
    check(m_dir / "plain.bin", (m_dir / "same").string());
    g_otherVolumePrefix = (m_dir / "far").string() + "/";
    talvex::SetRenameNoReplaceCallForTesting(&SourcesOnAnotherVolume);
    check(m_dir / "far" / "copied.bin", (m_dir / "copied").string());
    talvex::SetMoveCopyCallsForTesting(&NoNamelessFiles, nullptr);
    check(m_dir / "far" / "named.bin", (m_dir / "named").string());
}

TEST_F(MoveNoReplaceTest, ACopyThatFailsHalfWayKeepsTheOriginalAndLeavesNothingNew)
{
    fs::create_directories(m_dir / "far");
    g_otherVolumePrefix = (m_dir / "far").string() + "/";
    talvex::SetRenameNoReplaceCallForTesting(&SourcesOnAnotherVolume);
    const std::string payload = Payload(200000);
    for (const CopyKind& kind : kCopyKinds) {
        SCOPED_TRACE(kind.name);
        const fs::path file = m_dir / "far" / (std::string(kind.name) + ".bin");
        const fs::path into = m_dir / (std::string("into-") + kind.name);
        std::ofstream(file, std::ios::binary) << payload;
        g_writeBudget = 70000;
        talvex::SetMoveCopyCallsForTesting(kind.open, &WatchedWrite);
        std::string why;
        EXPECT_EQ(talvex::MoveAfterUpload(file.string(), into.string(), "docs/big.bin", &why), "");
        EXPECT_FALSE(why.empty());
        g_writeBudget = -1;
        EXPECT_EQ(ReadText(file), payload);
        EXPECT_EQ(FilesBelow(into), std::vector<std::string>{});
    }
}

TEST_F(MoveNoReplaceTest, ACopyInProgressHasNoNameOrOnlyAMarkedOne)
{
    fs::create_directories(m_dir / "far");
    g_otherVolumePrefix = (m_dir / "far").string() + "/";
    talvex::SetRenameNoReplaceCallForTesting(&SourcesOnAnotherVolume);
    const std::string payload = Payload(300000); // several writes
    const std::string marked = talvex::MoveTempNamePrefix(::getpid());
    for (const CopyKind& kind : kCopyKinds) {
        SCOPED_TRACE(kind.name);
        const fs::path into = m_dir / (std::string("into-") + kind.name);
        if (!kind.open && !NamelessFilesWork(m_dir)) {
            std::cout << "the temporary folder's file system has no O_TMPFILE; nameless copies not checked\n";
            continue;
        }
        const fs::path file = m_dir / "far" / (std::string(kind.name) + ".bin");
        std::ofstream(file, std::ios::binary) << payload;
        g_watchedFolder = (into / "docs").string();
        g_seenDuringCopy.clear();
        talvex::SetMoveCopyCallsForTesting(kind.open, &WatchedWrite);
        const std::string moved = talvex::MoveAfterUpload(file.string(), into.string(), "docs/big.bin");
        g_watchedFolder.clear();
        EXPECT_EQ(moved, (into / "docs" / "big.bin").string());
        EXPECT_EQ(ReadText(moved), payload);
        if (!kind.open) {
            EXPECT_EQ(g_seenDuringCopy, std::vector<std::string>{}) << "the copy had a name while it was written";
        } else {
            ASSERT_FALSE(g_seenDuringCopy.empty());
            for (const std::string& name : g_seenDuringCopy) {
                EXPECT_EQ(name.rfind(marked, 0), 0u) << name;
                EXPECT_EQ(name.size(), marked.size() + 6) << name;
            }
        }
        EXPECT_EQ(FilesBelow(into), std::vector<std::string>{"docs/big.bin"});
    }
}

TEST_F(MoveNoReplaceTest, ACopyKilledPartWayLeavesNothingThatOutlivesIt)
{
    fs::create_directories(m_dir / "far");
    g_otherVolumePrefix = (m_dir / "far").string() + "/";
    talvex::SetRenameNoReplaceCallForTesting(&SourcesOnAnotherVolume);
    const std::string payload = Payload(200000);
    for (const CopyKind& kind : kCopyKinds) {
        SCOPED_TRACE(kind.name);
        const fs::path file = m_dir / "far" / (std::string(kind.name) + ".bin");
        const fs::path into = m_dir / (std::string("into-") + kind.name);
        const fs::path docs = into / "docs";
        std::ofstream(file, std::ios::binary) << payload;
        talvex::SetMoveCopyCallsForTesting(kind.open, &WatchedWrite);
        g_writeBudget = 70000;
        g_dieWhenSpent = true;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            talvex::MoveAfterUpload(file.string(), into.string(), "docs/big.bin");
            ::_exit(0); // not killed: the copy never got that far
        }
        g_writeBudget = -1;
        g_dieWhenSpent = false;
        talvex::SetMoveCopyCallsForTesting(nullptr, nullptr);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the copy was not cut short";
        EXPECT_EQ(ReadText(file), payload);

        // Nameless, the copy went with the process; named, it is marked with the dead process.
        const std::string dead = talvex::MoveTempNamePrefix(child);
        const std::vector<std::string> left = FilesBelow(into);
        if (!kind.open && NamelessFilesWork(m_dir)) {
            EXPECT_EQ(left, std::vector<std::string>{});
            continue;
        }
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].rfind("docs/" + dead, 0), 0u) << left[0];

        // The next move into the folder removes it, and nothing that is not exactly a dead
        // process's copy of this computer.
        const std::vector<std::string> kept = {
            talvex::MoveTempNamePrefix(::getpid()) + "Alive1", // a live process's copy
            dead + "Short",                                    // not the pattern
            dead + "Long123",
            ".talvex-move-" + std::to_string(child) + "@elsewhere.invalid-Other1", // another computer's
            "big.bin.Ab12Cd",                                  // an ordinary file
        };
        for (const std::string& name : kept)
            std::ofstream(docs / name) << "x";
        fs::create_directories(docs / (dead + "Folder")); // only files go
        fs::create_directories(m_dir / "near");
        std::ofstream(m_dir / "near" / "next.txt") << "next";
        talvex::SetRenameNoReplaceCallForTesting(nullptr);
        EXPECT_EQ(talvex::MoveAfterUpload((m_dir / "near" / "next.txt").string(), into.string(), "docs/next.txt"),
                  (docs / "next.txt").string());
        talvex::SetRenameNoReplaceCallForTesting(&SourcesOnAnotherVolume);
        std::vector<std::string> expected = {"docs/next.txt"};
        for (const std::string& name : kept)
            expected.push_back("docs/" + name);
        std::vector<std::string> now = FilesBelow(into);
        std::sort(expected.begin(), expected.end());
        std::sort(now.begin(), now.end());
        EXPECT_EQ(now, expected);
        EXPECT_TRUE(fs::is_directory(docs / (dead + "Folder")));
    }
}

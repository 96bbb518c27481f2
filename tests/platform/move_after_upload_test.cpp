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

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
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
    };
    fs::create_directories(m_dir / "far");
    check(m_dir / "plain.bin", (m_dir / "same").string());
    g_otherVolumePrefix = (m_dir / "far").string() + "/";
    talvex::SetRenameNoReplaceCallForTesting(&SourcesOnAnotherVolume);
    check(m_dir / "far" / "copied.bin", (m_dir / "copied").string());
}

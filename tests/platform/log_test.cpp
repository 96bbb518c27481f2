#include "platform/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        dir_ = fs::temp_directory_path() / ("talvex-log-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        talvex::SetLogFolderForTesting(dir_.string());
    }
    void TearDown() override
    {
        talvex::SetLogClock(nullptr);
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

} // namespace

TEST_F(LogTest, LinesAroundMidnightGoToTheFileOfTheirOwnDate)
{
    std::time_t now = 1165441019; // 2006-12-06 21:36:59 UTC
    talvex::SetLogClock([&] { return now; });
    Log("receive sync info : %d\n", 200);
    now = 1165449599; // 2006-12-06 23:59:59
    Log("total count : %d\n", 3);
    now = 1165449600; // 2006-12-07 00:00:00
    Log("fail count : %d\n", 1);

    EXPECT_EQ(ReadAll(dir_ / "talvex.20061206.log"),
              "[2006-12-06 21:36:59][N] receive sync info : 200\n"
              "[2006-12-06 23:59:59][N] total count : 3\n");
    EXPECT_EQ(ReadAll(dir_ / "talvex.20061207.log"), "[2006-12-07 00:00:00][N] fail count : 1\n");
    EXPECT_EQ(talvex::LogFileName(now), (dir_ / "talvex.20061207.log").string());
}

TEST_F(LogTest, MessageWithoutLineFeedLeavesNextPrefixOnSameLine)
{
    talvex::SetLogClock([] { return std::time_t(1165441020); });
    Log("Select start sync");
    Log("Select check sync all\n");
    EXPECT_EQ(ReadAll(dir_ / "talvex.20061206.log"),
              "[2006-12-06 21:37:00][N] Select start sync[2006-12-06 21:37:00][N] Select check sync all\n");
}

TEST_F(LogTest, UnwritableFolderLosesTheLineSilently)
{
    talvex::SetLogFolderForTesting((dir_ / "missing" / "deeper").string());
    Log("lost line %d\n", 1);
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(LogTest, ConcurrentWritersKeepWholeLines)
{
    talvex::SetLogClock([] { return std::time_t(1165441020); });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                Log("thread %d line %d %s\n", t, i, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
        });
    for (auto& th : threads)
        th.join();
    std::istringstream in(ReadAll(dir_ / "talvex.20061206.log"));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        ASSERT_EQ(line.rfind("[2006-12-06 21:37:00][N] thread ", 0), 0u) << line;
        ASSERT_NE(line.find(" xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"), std::string::npos) << line;
    }
    EXPECT_EQ(count, 800);
}

TEST_F(LogTest, TheLogIsTheOwnersOnlyWhateverTheUmaskAndAWiderFileIsNarrowed)
{
    std::time_t now = 1165441019; // 2006-12-06
    talvex::SetLogClock([&] { return now; });
    const mode_t saved = ::umask(0);
    for (const mode_t mask : {mode_t(022), mode_t(077), mode_t(0)}) {
        ::umask(mask);
        const std::string file = talvex::LogFileName(now);
        fs::remove(file);
        Log("new file\n");
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "umask " << mask;
        ASSERT_EQ(::chmod(file.c_str(), 0644), 0); // as an earlier version left it
        Log("next line\n");
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "umask " << mask;
        EXPECT_EQ(ReadAll(file), "[2006-12-06 21:36:59][N] new file\n[2006-12-06 21:36:59][N] next line\n");
    }
    ::umask(saved);
}

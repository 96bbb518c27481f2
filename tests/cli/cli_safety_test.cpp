// talvex-cli keeps the user's files: a move folder inside what is uploaded is a usage error.

#include "cli/options.h"
#include "tests/common/cli_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace talvex;

namespace {

class MoveFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("talvex-cli-move-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        for (const char* folder : {"up/done", "up/deep/er", "upx", "other", "single"})
            fs::create_directories(m_dir / folder);
        std::ofstream(m_dir / "single" / "one.txt") << "1";
        fs::create_directory_symlink(m_dir / "up", m_dir / "link-to-up");
    }
    void TearDown() override { fs::remove_all(m_dir); }

    int Parse(std::vector<std::string> args, std::string& error)
    {
        std::vector<char*> argv{const_cast<char*>("talvex-cli")};
        for (std::string& a : args)
            argv.push_back(a.data());
        cli::Options o;
        return cli::ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
    }
    int Put(const std::string& moveTo, const std::vector<std::string>& locals, std::string& error)
    {
        std::vector<std::string> args{"--user", "demo", "put", "--move-to", moveTo};
        args.insert(args.end(), locals.begin(), locals.end());
        args.push_back("/remote");
        return Parse(args, error);
    }
    std::string P(const std::string& relative) const { return (m_dir / relative).string(); }

    fs::path m_dir;
};

} // namespace

TEST_F(MoveFolderTest, AMoveFolderInsideOrEqualToAnUploadedFolderIsAUsageError)
{
    const std::string up = P("up");
    for (const std::string& move : {up, up + "/", up + "//", up + "/.", up + "/done", up + "/done/", up + "/deep/./er",
                                    P("up/../up/done"), P("link-to-up/done"), up + "/not-yet/made", P("link-to-up/new")}) {
        std::string error;
        EXPECT_EQ(Put(move, {up}, error), cli::kExitUsage) << move;
        EXPECT_NE(error.find("--move-to"), std::string::npos) << error;
        EXPECT_NE(error.find("uploaded again"), std::string::npos) << error;
    }
    // Any of the folders counts, however it is spelled.
    std::string error;
    EXPECT_EQ(Put(up + "/done", {P("other"), P("link-to-up") + "/"}, error), cli::kExitUsage);
    // A relative spelling is taken from the current folder.
    const fs::path cwd = fs::current_path();
    fs::current_path(m_dir);
    EXPECT_EQ(Put("up/done", {up}, error), cli::kExitUsage);
    EXPECT_EQ(Put(up + "/done", {"./up/"}, error), cli::kExitUsage);
    EXPECT_EQ(Put("upx", {"up"}, error), cli::kExitOk) << error;
    fs::current_path(cwd);

    // Beside, above or merely starting with the same letters: allowed.
    for (const auto& [move, local] : std::vector<std::pair<std::string, std::string>>{
             {P("upx"), up}, {P("other"), up}, {up, up + "/done"}, {P("other"), P("single/one.txt")}, {P("up"), P("u")}}) {
        error.clear();
        EXPECT_EQ(Put(move, {local}, error), cli::kExitOk) << move << " for " << local << ": " << error;
    }
}

TEST_F(MoveFolderTest, TheRefusalComesBeforeAnyConnectionWithExitTwoOnStandardError)
{
    // No server anywhere: only the check can answer, and at once.
    const test::CliRun run = test::RunCli({"--web-host", "127.0.0.1:1", "--user", "demo", "--password", "pw", "put",
                                           "--move-to", P("up/done"), P("up"), "/remote"});
    EXPECT_EQ(run.code, 2);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_NE(run.err.find("talvex-cli: --move-to " + P("up/done") + " is inside " + P("up")), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("pw"), std::string::npos) << "the password is printed";
}

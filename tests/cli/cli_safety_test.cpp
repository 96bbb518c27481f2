// talvex-cli keeps the user's files and secrets: a move folder inside what is uploaded is a
// usage error, and the running process cannot be dumped or read by other processes.

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

// ---- The running process is not dumpable ------------------------------------------------

namespace {

// Starts program (as user 65534 when this test runs as root, so that the owner of its /proc
// entries tells dumpable from not) with standard input held open, so that it waits.
pid_t StartWaiting(const std::vector<std::string>& args, int& stdinWrite)
{
    int in[2];
    if (::pipe(in) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::close(in[0]);
        ::close(in[1]);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(120);
        std::vector<char*> argv;
        std::vector<std::string> copy = args;
        for (auto& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(121);
    }
    ::close(in[0]);
    stdinWrite = in[1];
    return pid;
}

// The owner of /proc/<pid>/status once it is root (the process made itself not dumpable),
// or what it stays within the time.
uid_t ProcOwnerWithin(pid_t pid, std::chrono::milliseconds limit, uid_t awaited)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    uid_t owner = static_cast<uid_t>(-1);
    do {
        struct stat st {};
        if (::stat(("/proc/" + std::to_string(pid) + "/status").c_str(), &st) == 0)
            owner = st.st_uid;
        if (owner == awaited)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    return owner;
}

void Finish(pid_t pid, int stdinWrite)
{
    ::close(stdinWrite);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

} // namespace

TEST(CliProcess, IsNotDumpableWhileItRunsSoItsPasswordStaysInIt)
{
    const uid_t runAs = ::geteuid() == 0 ? 65534 : ::geteuid();
    if (runAs == 0)
        GTEST_SKIP();
    // A program that does nothing about it: its entries belong to the user it runs as.
    int control = -1;
    const pid_t cat = StartWaiting({"/bin/cat"}, control);
    ASSERT_GT(cat, 0);
    const uid_t catOwner = ProcOwnerWithin(cat, std::chrono::milliseconds(2000), runAs);
    Finish(cat, control);
    if (catOwner != runAs)
        GTEST_SKIP() << "the owner of /proc entries does not tell dumpable processes apart here";

    // talvex-cli waiting for its password on standard input, and drm-unpack for its seed.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{TALVEX_CLI_PATH, "--web-host", "127.0.0.1:1", "--user", "demo", "--password-stdin", "check"},
          std::vector<std::string>{TALVEX_CLI_PATH, "drm-unpack", "/nonexistent.wmv", "--seed-stdin", "--out", "/nonexistent.out"}}) {
        int input = -1;
        const pid_t cli = StartWaiting(args, input);
        ASSERT_GT(cli, 0);
        EXPECT_EQ(ProcOwnerWithin(cli, std::chrono::milliseconds(5000), 0), 0u) << args[1] << ": still dumpable";
        Finish(cli, input);
    }
}

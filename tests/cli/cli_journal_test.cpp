// talvex-cli's upload journal end to end: a put killed part-way and resumed, a put that keeps
// going through a server that went away and came back (--retries), and files the server did
// not keep because it closed or reset the connection after their bodies.

#include "cli/options.h"
#include "devserver/faults.h"
#include "devserver/server.h"
#include "devserver/server_log.h"
#include "protocol/upload_journal.h"
#include "res/string_table.h"
#include "tests/common/cli_runner.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace talvex;
using namespace std::chrono_literals;
using test::CliRun;
using test::Count;
using test::LastLine;
using test::RunCli;

namespace {

std::string ReadAll(const fs::path& p) { return test::ReadAll(p.string()); }

uint64_t InodeOf(const fs::path& p)
{
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

// Starts talvex-cli and kills it (SIGKILL) as soon as `when` holds (asked every few
// milliseconds); its output is dropped. True when the kill found it still running: the moment
// is an event of the run, never a time that a busy machine may or may not have reached.
bool RunCliKilledWhen(const std::vector<std::string>& args, const std::function<bool()>& when,
                      std::chrono::seconds bound = 60s)
{
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<std::string> copy = args;
        std::vector<char*> argv;
        std::string path = TALVEX_CLI_PATH;
        argv.push_back(path.data());
        for (auto& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    const auto end = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (!when() && std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return false; // it ended first
        std::this_thread::sleep_for(5ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Asks `when` every few milliseconds until it holds (true) or `ended` is set (false).
bool WaitFor(const std::function<bool()>& when, const std::atomic<bool>& ended)
{
    while (!ended) {
        if (when())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

class CliJournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        dir = fs::temp_directory_path() / ("talvex-cli-journal-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        fs::remove_all(dir);
        fs::create_directories(dir);
        devserver::SetServerLogQuiet(true);
    }
    void TearDown() override
    {
        server.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // A server with these faults; ports 0 take free ones, others take those (a restart).
    void StartServer(const std::vector<std::string>& faults = {}, uint16_t web = 0, uint16_t command = 0,
                     uint16_t control = 0)
    {
        server.reset();
        devserver::ServerConfig config;
        config.root = (dir / "storage").string();
        config.webPort = web;
        config.commandPort = command;
        config.controlPort = control;
        config.sync.delay = 300ms;
        for (const std::string& text : faults) {
            devserver::Fault fault;
            std::string error;
            ASSERT_TRUE(devserver::ParseFault(text, fault, error)) << error;
            config.faults.push_back(fault);
        }
        server = std::make_unique<devserver::Server>(config, devserver::AccountBook::Defaults());
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }

    std::vector<std::string> Base(const std::string& user, int timeout = 5) const
    {
        return {"--web-host", "127.0.0.1:" + std::to_string(webPort ? webPort : server->WebPort()),
                "--command-port", std::to_string(commandPort ? commandPort : server->CommandPort()),
                "--control-port", std::to_string(controlPort ? controlPort : server->ControlPort()),
                "--work-dir", (dir / ("work-" + user)).string(), "--user", user, "--password", user + "1234",
                "--timeout", std::to_string(timeout), "--poll-ms", "100", "--sync-timeout", "60"};
    }
    std::vector<std::string> Args(const std::string& user, const std::vector<std::string>& args, int timeout = 5) const
    {
        std::vector<std::string> all = Base(user, timeout);
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    fs::path Local(const std::string& rel, const std::string& bytes)
    {
        const fs::path p = dir / "local" / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    static std::string Content(int i, size_t n)
    {
        std::string s(n, '\0');
        for (size_t k = 0; k < n; ++k)
            s[k] = static_cast<char>('a' + (k * 7 + static_cast<size_t>(i)) % 26);
        return s;
    }
    fs::path Stored(const std::string& user, const std::string& remote) const
    {
        return dir / "storage" / user / fs::path(remote).relative_path();
    }
    // How many of f0.bin ... f<n-1>.bin the server holds whole under remote.
    int StoredCount(const std::string& user, const std::string& remote, int n) const
    {
        int stored = 0;
        std::error_code ec;
        for (int i = 0; i < n; ++i)
            stored += fs::exists(Stored(user, remote + "/f" + std::to_string(i) + ".bin"), ec) ? 1 : 0;
        return stored;
    }
    // The one journal in the account's work folder (each account has a work folder of its own here).
    fs::path JournalFile(const std::string& user) const
    {
        for (const auto& e : fs::directory_iterator(dir / ("work-" + user) / "journal"))
            if (e.path().extension() == ".sqlite")
                return e.path();
        return {};
    }

    fs::path dir;
    std::unique_ptr<devserver::Server> server;
    uint16_t webPort = 0, commandPort = 0, controlPort = 0; // fixed ports across restarts
};

} // namespace

// ---- put --resume after a put that was killed ------------------------------------------------

TEST_F(CliJournalTest, AKilledPutIsResumedByteForByteWithoutSendingAnsweredFilesAgain)
{
    StartServer();
    constexpr int kFiles = 30;
    constexpr size_t kBytes = 20000;
    // Killed early, in the middle and late; on a sync-service account (answered files wait for
    // notices) and on a plain one (the answer confirms).
    const std::vector<std::pair<std::string, int>> rounds = {{"sync", 2}, {"demo", 12}, {"sync", 22}}; // files stored first
    for (size_t round = 0; round < rounds.size(); ++round) {
        const auto& [user, killAfter] = rounds[round];
        const std::string remote = "/resume" + std::to_string(round);
        std::vector<std::string> args = {"--limit-rate", "200", "put"};
        if (user == "sync")
            args.push_back("--wait-confirm");
        std::vector<fs::path> files;
        for (int i = 0; i < kFiles; ++i) {
            files.push_back(Local("r" + std::to_string(round) + "/f" + std::to_string(i) + ".bin", Content(i, kBytes)));
            args.push_back(files.back().string());
        }
        args.push_back(remote);
        ASSERT_TRUE(RunCliKilledWhen(Args(user, args), [&, killAfter = killAfter] {
            return StoredCount(user, remote, kFiles) >= killAfter;
        })) << "round " << round << " ended before its kill";

        // What the journal says now, and which copies the server holds.
        std::set<std::string> answered, resend;
        {
            CUploadJournal::Opened opened = CUploadJournal::Open(JournalFile(user).string());
            ASSERT_TRUE(opened.journal) << opened.error;
            ASSERT_TRUE(opened.setAside.empty()) << "a killed run left a journal that cannot be read: " << opened.reason;
            CJournalResume found = opened.journal->LoadUnfinished();
            EXPECT_TRUE(found.failed.empty());
            for (const CJournalEntry& e : found.unfinished)
                (e.state == UploadState::Answered ? answered : resend).insert(e.localPath);
        }
        ASSERT_FALSE(resend.empty()) << "round " << round << ": the kill came after every file was sent (" << answered.size() << " answered)";
        std::map<std::string, uint64_t> kept; // stored copies that must not be replaced
        for (int i = 0; i < kFiles; ++i) {
            const std::string local = files[static_cast<size_t>(i)].string();
            if (resend.count(local) == 0) {
                const fs::path stored = Stored(user, remote + "/f" + std::to_string(i) + ".bin");
                ASSERT_TRUE(fs::exists(stored)) << "answered or confirmed, but not on the server: " << local;
                kept[local] = InodeOf(stored);
            }
        }

        CliRun resume = RunCli(Args(user, {"put", "--resume"}), {}, 60);
        EXPECT_EQ(resume.code, 0) << resume.err;
        const int expected = static_cast<int>(resend.size() + (user == "sync" ? answered.size() : 0));
        EXPECT_EQ(LastLine(resume.out), "uploaded " + std::to_string(expected) + ", failed 0") << resume.out << resume.err;
        EXPECT_EQ(Count(resume.err, "다시 보냄: "), resend.size()) << resume.err;
        for (const std::string& local : resend)
            EXPECT_NE(resume.err.find("다시 보냄: " + local + "\n"), std::string::npos) << local;
        for (const std::string& local : answered)
            EXPECT_EQ(resume.err.find("다시 보냄: " + local + "\n"), std::string::npos) << "answered, sent again: " << local;
        for (int i = 0; i < kFiles; ++i) {
            const fs::path stored = Stored(user, remote + "/f" + std::to_string(i) + ".bin");
            EXPECT_TRUE(ReadAll(stored) == Content(i, kBytes)) << stored;
            const std::string local = files[static_cast<size_t>(i)].string();
            if (kept.count(local)) {
                EXPECT_EQ(InodeOf(stored), kept[local]) << "the server got this file again: " << local;
            }
        }
        // Nothing is left to resume.
        CliRun again = RunCli(Args(user, {"put", "--resume"}), {}, 30);
        EXPECT_EQ(again.code, 0) << again.err;
        EXPECT_EQ(LastLine(again.out), "uploaded 0, failed 0") << again.out << again.err;
    }
}

TEST_F(CliJournalTest, ResumeTellsFilesChangedSinceAsFailedAndNeverSendsThem)
{
    StartServer();
    std::vector<std::string> args = {"--limit-rate", "100", "put"};
    std::vector<fs::path> files;
    for (int i = 0; i < 12; ++i) {
        files.push_back(Local("c/f" + std::to_string(i) + ".bin", Content(i, 20000)));
        args.push_back(files.back().string());
    }
    args.push_back("/changed");
    ASSERT_TRUE(RunCliKilledWhen(Args("demo", args), [&] { return StoredCount("demo", "/changed", 12) >= 2; }));
    // The last two were certainly not sent yet: one grows, one goes.
    std::ofstream(files[11], std::ios::app) << "more";
    fs::remove(files[10]);
    CliRun resume = RunCli(Args("demo", {"put", "--resume"}), {}, 60);
    EXPECT_EQ(resume.code, cli::kExitRefused) << resume.err;
    EXPECT_NE(resume.err.find(std::string(kTextFileChanged) + ": " + files[11].string()), std::string::npos) << resume.err;
    EXPECT_NE(resume.err.find(files[10].string()), std::string::npos) << resume.err;
    EXPECT_EQ(resume.err.find("다시 보냄: " + files[11].string()), std::string::npos);
    EXPECT_FALSE(fs::exists(Stored("demo", "/changed/f11.bin")));
    EXPECT_FALSE(fs::exists(Stored("demo", "/changed/f10.bin")));
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(ReadAll(Stored("demo", "/changed/f" + std::to_string(i) + ".bin")) == Content(i, 20000)) << i;
    int uploaded = -1, failed = -1;
    ASSERT_EQ(std::sscanf(LastLine(resume.out).c_str(), "uploaded %d, failed %d", &uploaded, &failed), 2) << resume.out;
    EXPECT_EQ(failed, 2);
    // Told once: the failures are not kept for the next resume.
    CliRun again = RunCli(Args("demo", {"put", "--resume"}), {}, 30);
    EXPECT_EQ(LastLine(again.out), "uploaded 0, failed 0") << again.out << again.err;
}

TEST_F(CliJournalTest, ARowWrittenByHandWithEveryPartIsResumedSentAndMoved)
{
    // The journal as an earlier run left it: a file under a name that is not ASCII, sent whole
    // (its stamp taken), with a folder to move it to once the server confirms it.
    StartServer();
    const fs::path first = Local("first.bin", "first");
    CliRun put = RunCli(Args("demo", {"put", first.string(), "/hand"}), {}, 30);
    ASSERT_EQ(put.code, 0) << put.err;
    const fs::path file = Local("손 Ä/사진 B.bin", Content(3, 5000));
    const fs::path moveTo = dir / "옮김";
    struct stat st{};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    const std::string row = "INSERT INTO uploads VALUES (77, '" + file.string() + "', 'hand/사진 B.bin', '" + moveTo.string() +
                            "', 5000, 5000, " +
                            std::to_string(int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec) + ", " +
                            std::to_string(st.st_ino) + ", " + std::to_string(st.st_dev) + ", 2, 0, 0, 1, 2)";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(JournalFile("demo").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, row.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    CliRun resume = RunCli(Args("demo", {"put", "--resume"}), {}, 60);
    EXPECT_EQ(resume.code, 0) << resume.err;
    EXPECT_EQ(LastLine(resume.out), "uploaded 1, failed 0") << resume.out << resume.err;
    EXPECT_EQ(ReadAll(Stored("demo", "/hand/사진 B.bin")), Content(3, 5000));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(ReadAll(moveTo / "hand" / "사진 B.bin"), Content(3, 5000)) << "moved under its remote name";
}

// ---- --retries -------------------------------------------------------------------------------

TEST_F(CliJournalTest, RetriesCarryAPutThroughAServerThatStopsAndStartsAgain)
{
    StartServer();
    webPort = server->WebPort();
    commandPort = server->CommandPort();
    controlPort = server->ControlPort();
    std::vector<std::string> args = {"--limit-rate", "300", "put", "--retries", "6"};
    std::vector<fs::path> files;
    for (int i = 0; i < 20; ++i) {
        files.push_back(Local("s/f" + std::to_string(i) + ".bin", Content(i, 40000)));
        args.push_back(files.back().string());
    }
    args.push_back("/restart");
    // The server stops once it holds two of the files (the put is under way, however long it
    // took to get there) and starts again 2.5 s later, while the retries wait 1, 2, 4 … s.
    std::atomic<bool> ended{false};
    std::atomic<bool> stopped{false};
    std::thread outage([&] {
        if (!WaitFor([&] { return StoredCount("demo", "/restart", 20) >= 2; }, ended))
            return;
        server.reset(); // every connection goes
        stopped = true;
        std::this_thread::sleep_for(2500ms);
        StartServer({}, webPort, commandPort, controlPort);
    });
    CliRun put = RunCli(Args("demo", args), {}, 90);
    ended = true;
    outage.join();
    ASSERT_TRUE(stopped) << "the put ended before the server stopped: " << put.err;
    EXPECT_NE(put.err.find("다시 연결합니다"), std::string::npos) << "no reconnection happened: " << put.err;
    // The server may answer the body it was reading as it stopped with a refusal (500): that
    // file failed, truly; every other one is on the server whole.
    int uploaded = -1, failed = -1;
    ASSERT_EQ(std::sscanf(LastLine(put.out).c_str(), "uploaded %d, failed %d", &uploaded, &failed), 2) << put.out << put.err;
    EXPECT_EQ(uploaded + failed, 20);
    EXPECT_LE(failed, 1) << put.err;
    EXPECT_EQ(Count(put.err, std::string(kTextRefused) + " (500): "), static_cast<size_t>(failed)) << put.err;
    EXPECT_EQ(put.code, failed ? cli::kExitRefused : cli::kExitOk) << put.err;
    for (int i = 0; i < 20; ++i) {
        const bool refused = put.err.find("/s/f" + std::to_string(i) + ".bin\n") != std::string::npos;
        if (!refused) {
            EXPECT_TRUE(ReadAll(Stored("demo", "/restart/f" + std::to_string(i) + ".bin")) == Content(i, 40000)) << i;
        }
    }

    // Without retries the run ends at the loss, and the journal holds the rest for --resume.
    std::vector<std::string> second = {"--limit-rate", "300", "put"};
    for (int i = 0; i < 20; ++i)
        second.push_back(Local("t/f" + std::to_string(i) + ".bin", Content(i + 50, 40000)).string());
    second.push_back("/restart2");
    ended = stopped = false;
    std::thread outage2([&] {
        if (!WaitFor([&] { return StoredCount("demo", "/restart2", 20) >= 2; }, ended))
            return;
        server.reset();
        stopped = true;
    });
    CliRun lost = RunCli(Args("demo", second), {}, 60);
    ended = true;
    outage2.join();
    ASSERT_TRUE(stopped) << "the put ended before the server stopped: " << lost.err;
    EXPECT_EQ(lost.code, cli::kExitConnection) << lost.err;
    StartServer({}, webPort, commandPort, controlPort);
    CliRun resume = RunCli(Args("demo", {"put", "--resume"}), {}, 60);
    EXPECT_EQ(resume.code, 0) << resume.err;
    for (int i = 0; i < 20; ++i)
        if (lost.err.find("/t/f" + std::to_string(i) + ".bin\n") == std::string::npos) {
            EXPECT_TRUE(ReadAll(Stored("demo", "/restart2/f" + std::to_string(i) + ".bin")) == Content(i + 50, 40000)) << i;
        }
}

TEST_F(CliJournalTest, RetriesAreNotSpentOnAFileTheServerCutsShortWhileItStaysReachable)
{
    // Every body is reset after 1000 bytes: each file fails on its own, the server stays up.
    StartServer({"drop-after:1000@*.bin"});
    std::vector<std::string> args = {"put", "--retries", "3"};
    for (int i = 0; i < 3; ++i)
        args.push_back(Local("x/f" + std::to_string(i) + ".bin", Content(i, 300000)).string());
    args.push_back(Local("x/ok.txt", "small and fine").string());
    args.push_back("/dropped");
    const auto start = std::chrono::steady_clock::now();
    CliRun put = RunCli(Args("demo", args), {}, 60);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(took, 5.0) << "a retry waited for a file the server refuses by cutting it";
    EXPECT_EQ(put.code, cli::kExitRefused) << put.err;
    EXPECT_EQ(LastLine(put.out), "uploaded 1, failed 3") << put.out << put.err;
    EXPECT_EQ(put.err.find("다시 연결합니다"), std::string::npos) << put.err;
    EXPECT_EQ(ReadAll(Stored("demo", "/dropped/ok.txt")), "small and fine");
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(fs::exists(Stored("demo", "/dropped/f" + std::to_string(i) + ".bin")));
}

// ---- a link that goes dark ----------------------------------------------------------------------

namespace {

const char* IpTool()
{
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (::access(path, X_OK) == 0)
            return path;
    return nullptr;
}

// ../shared/tools/wan_emu.py between a namespace of the client and one of the server (addresses
// 198.18.0.1 and 198.18.0.2) for as long as the object lives: stopped, its namespaces removed,
// however the test ends, and by the signal the test process's death sends should that come
// first.
class EmulatedLink {
public:
    explicit EmulatedLink(fs::path log)
        : m_log(std::move(log)), m_client("tvxdk" + std::to_string(::getpid()) + "c"),
          m_server("tvxdk" + std::to_string(::getpid()) + "s")
    {
    }
    ~EmulatedLink() { Stop(); }
    EmulatedLink(const EmulatedLink&) = delete;
    EmulatedLink& operator=(const EmulatedLink&) = delete;

    // Empty when the link is up, else why it is not.
    std::string Start(const std::vector<std::string>& options)
    {
        std::vector<std::string> args = {"/usr/bin/python3", TALVEX_WAN_EMU, "--ns-a", m_client, "--ns-b", m_server};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid < 0)
            return "fork failed";
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent)
                ::_exit(1);
            const int out = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            if (ReadAll(m_log).find("wan_emu ready") != std::string::npos)
                return {};
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return "the link emulator ended: " + ReadAll(m_log);
            }
            std::this_thread::sleep_for(100ms);
        }
        return "the link emulator did not come up: " + ReadAll(m_log);
    }
    // Dark, or light again.
    void Toggle()
    {
        if (m_pid > 0)
            ::kill(m_pid, SIGUSR1);
    }
    // Stops the relay; the bytes it carried from the client to the server (-1: unknown).
    int64_t Stop()
    {
        int64_t carried = -1;
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            for (int i = 0; i < 100 && ::waitpid(m_pid, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(50ms);
            if (::waitpid(m_pid, &status, WNOHANG) == 0) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
            }
            m_pid = -1;
            long long packets = 0, bytes = 0;
            const std::string out = ReadAll(m_log);
            const size_t at = out.find("A->B: ");
            if (at != std::string::npos && std::sscanf(out.c_str() + at, "A->B: %lld packets, %lld bytes", &packets, &bytes) == 2)
                carried = bytes;
        }
        // The emulator removes what it made; a namespace left by a killed run goes here.
        if (const char* ip = IpTool())
            for (const std::string& ns : {m_client, m_server}) {
                const pid_t pid = ::fork();
                if (pid == 0) {
                    const int null = ::open("/dev/null", O_WRONLY);
                    ::dup2(null, 2);
                    ::execl(ip, ip, "netns", "del", ns.c_str(), static_cast<char*>(nullptr));
                    ::_exit(127);
                }
                int status = 0;
                if (pid > 0)
                    ::waitpid(pid, &status, 0);
            }
        return carried;
    }
    const std::string& ClientNs() const { return m_client; }
    const std::string& ServerNs() const { return m_server; }

private:
    fs::path m_log;
    std::string m_client, m_server;
    pid_t m_pid = -1;
};

} // namespace

// A put over a 8 Mbit/s link with a dead-path bound of 5 s, the link dark while the body is
// under way: for less than the bound the upload goes on where it was (no answer or confirm
// deadline fires, no reconnect, nothing sent twice); for longer the put ends cleanly within
// the bound, the file unfinished in the journal, or with --retries connects again and sends it.
TEST_F(CliJournalTest, ALinkThatGoesDarkCostsNoMoreThanItsDarknessAndADeadPathIsNoticedWithinTheBound)
{
    const char* ip = IpTool();
    if (::geteuid() != 0 || !ip || ::access("/dev/net/tun", R_OK | W_OK) != 0 || ::access("/usr/bin/python3", X_OK) != 0 ||
        ::access(TALVEX_WAN_EMU, R_OK) != 0)
        GTEST_SKIP() << "skipped: needs root, ip, /dev/net/tun, python3 and " << TALVEX_WAN_EMU
                     << " (two network namespaces joined by the link emulator)";
    constexpr int kStallSeconds = 5;
    constexpr int kTimeoutSeconds = 10;
    constexpr size_t kBytes = 2u << 20;
    const std::string content = Content(7, kBytes);
    const fs::path file = Local("dark/big.bin", content);
    struct Case {
        const char* what;
        std::chrono::milliseconds dark;
        bool retries;
    };
    const Case cases[] = {
        {"dark for less than the bound", 1500ms, false},
        {"dark for longer than the bound", 8000ms, false},
        {"dark for longer than the bound, with --retries", 8000ms, true},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string remote = "/dark" + std::to_string(++round);
        EmulatedLink link(dir / ("emu" + std::to_string(round) + ".log"));
        const std::string why = link.Start({"--delay-ms", "5", "--rate-mbit", "8", "--queue-limit", "200"});
        ASSERT_EQ(why, "");
        // The server listens in its namespace: its sockets, and the threads it starts, are made there.
        std::string error;
        std::thread inside([&] {
            const int ns = ::open(("/run/netns/" + link.ServerNs()).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
                error = std::string("cannot enter the server's namespace: ") + std::strerror(errno);
                if (ns >= 0)
                    ::close(ns);
                return;
            }
            ::close(ns);
            devserver::ServerConfig config;
            config.root = (dir / "storage").string();
            config.bind = "198.18.0.2";
            config.webPort = config.commandPort = config.controlPort = 0;
            config.sync.delay = 300ms;
            server = std::make_unique<devserver::Server>(config, devserver::AccountBook::Defaults());
            if (!server->Start(error))
                server.reset();
        });
        inside.join();
        ASSERT_TRUE(server) << error;

        // Dark once the body is a quarter through (its partial file on the server says so).
        std::atomic<bool> darkened{false};
        std::chrono::steady_clock::time_point darkAt{};
        std::atomic<bool> stop{false};
        std::thread outage([&] {
            const fs::path folder = Stored("sync", remote);
            const auto giveUp = std::chrono::steady_clock::now() + 30s;
            while (!stop && !darkened && std::chrono::steady_clock::now() < giveUp) {
                std::error_code ec;
                for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
                    if (it->path().filename().string().rfind(".tlxpart-", 0) == 0 && it->file_size(ec) >= kBytes / 4) {
                        darkAt = std::chrono::steady_clock::now();
                        link.Toggle();
                        darkened = true;
                        break;
                    }
                std::this_thread::sleep_for(5ms);
            }
            const auto lightAt = darkAt + c.dark;
            while (darkened && !stop && std::chrono::steady_clock::now() < lightAt)
                std::this_thread::sleep_for(10ms);
            if (darkened)
                link.Toggle();
        });
        const fs::path work = dir / ("work-dark" + std::to_string(round)); // a journal of its own
        std::vector<std::string> args = {"--web-host", "198.18.0.2:" + std::to_string(server->WebPort()),
                                         "--command-port", std::to_string(server->CommandPort()),
                                         "--control-port", std::to_string(server->ControlPort()),
                                         "--work-dir", work.string(), "--user", "sync",
                                         "--password", "sync1234", "--timeout", std::to_string(kTimeoutSeconds),
                                         "--stall-timeout", std::to_string(kStallSeconds), "--poll-ms", "100",
                                         "--confirm-timeout", "20", "put", "--wait-confirm"};
        if (c.retries) {
            args.push_back("--retries");
            args.push_back("5");
        }
        args.push_back(file.string());
        args.push_back(remote);
        CliRun put = RunCli(args, {}, 90, {ip, "netns", "exec", link.ClientNs()});
        const auto endedAt = std::chrono::steady_clock::now();
        stop = true;
        outage.join();
        server.reset();
        const int64_t carried = link.Stop();
        ASSERT_TRUE(darkened) << "the link never went dark: " << put.err;

        EXPECT_EQ(put.err.find(kTextNoAnswer), std::string::npos) << put.err;
        EXPECT_EQ(put.err.find(kTextUnconfirmed), std::string::npos) << put.err;
        const bool stored = ReadAll(Stored("sync", remote + "/big.bin")) == content;
        if (c.dark < std::chrono::seconds(kStallSeconds)) {
            EXPECT_EQ(put.code, 0) << put.err;
            EXPECT_EQ(LastLine(put.out), "uploaded 1, failed 0") << put.out << put.err;
            EXPECT_EQ(put.err.find("연결이 끊겼습니다"), std::string::npos) << put.err;
            EXPECT_TRUE(stored);
            // What crossed the link towards the server: the file once, with headers and the
            // retransmissions of what the darkness swallowed.
            EXPECT_GT(carried, static_cast<int64_t>(kBytes));
            EXPECT_LT(carried, static_cast<int64_t>(kBytes) * 3 / 2) << "sent twice";
        } else if (!c.retries) {
            // The connection is given up at the bound (its oldest unacknowledged segment left a
            // little before the dark), and the put ends with the lost connection's word.
            const auto took = endedAt - darkAt;
            EXPECT_GE(took, std::chrono::seconds(kStallSeconds - 1));
            EXPECT_LE(took, std::chrono::seconds(kStallSeconds + kTimeoutSeconds));
            EXPECT_EQ(put.code, cli::kExitConnection) << put.err;
            EXPECT_NE(put.err.find("서버와의 연결이 끊겼습니다: " + std::to_string(kStallSeconds) + "초 동안 응답이 없습니다"),
                      std::string::npos)
                << put.err;
            EXPECT_EQ(put.err.find(kTextQueueSendFailed), std::string::npos) << "a network loss failed the file: " << put.err;
            EXPECT_FALSE(stored);
            fs::path journal;
            for (const auto& e : fs::directory_iterator(work / "journal"))
                if (e.path().extension() == ".sqlite")
                    journal = e.path();
            CUploadJournal::Opened opened = CUploadJournal::Open(journal.string());
            ASSERT_TRUE(opened.journal) << opened.error;
            const CJournalResume found = opened.journal->LoadUnfinished();
            EXPECT_TRUE(found.failed.empty());
            ASSERT_EQ(found.unfinished.size(), 1u);
            EXPECT_EQ(found.unfinished[0].localPath, file.string());
        } else {
            EXPECT_EQ(put.code, 0) << put.err;
            EXPECT_EQ(LastLine(put.out), "uploaded 1, failed 0") << put.out << put.err;
            EXPECT_NE(put.err.find("다시 연결합니다"), std::string::npos) << put.err;
            EXPECT_TRUE(stored);
        }
    }
}

// ---- files the server did not keep -------------------------------------------------------------

TEST_F(CliJournalTest, FilesSentWholeBeforeTheServerClosedAreSentOnceMore)
{
    // Each connection stores one file, answers it and closes: the files sent behind it on that
    // connection were read and dropped.
    StartServer({"answer-close"});
    std::vector<std::string> args = {"put"};
    for (int i = 0; i < 4; ++i)
        args.push_back(Local("many/m" + std::to_string(i) + ".txt", "many " + std::to_string(i)).string());
    args.push_back("/many");
    CliRun put = RunCli(Args("demo", args));
    EXPECT_EQ(LastLine(put.out), "uploaded 4, failed 0") << put.out << put.err;
    EXPECT_EQ(put.code, 0) << put.err;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ReadAll(Stored("demo", "/many/m" + std::to_string(i) + ".txt")), "many " + std::to_string(i));

    // A reset right at the start of m0's body also drops m1, sent whole behind it; m1 goes
    // again, m0 is what the server refuses and fails once more.
    StartServer({"drop-after:0@m0*"});
    std::vector<std::string> three = {"put"};
    for (int i = 0; i < 3; ++i)
        three.push_back(Local("drop/m" + std::to_string(i) + ".txt", "drop " + std::to_string(i)).string());
    three.push_back("/drop");
    CliRun drop = RunCli(Args("demo", three));
    EXPECT_EQ(LastLine(drop.out), "uploaded 2, failed 1") << drop.out << drop.err;
    EXPECT_EQ(Count(drop.err, std::string(kTextQueueSendFailed) + ": "), 1u) << drop.err;
    EXPECT_NE(drop.err.find(std::string(kTextQueueSendFailed) + ": " + (dir / "local/drop/m0.txt").string()),
              std::string::npos)
        << drop.err;
    EXPECT_EQ(ReadAll(Stored("demo", "/drop/m1.txt")), "drop 1");
    EXPECT_EQ(ReadAll(Stored("demo", "/drop/m2.txt")), "drop 2");
    EXPECT_FALSE(fs::exists(Stored("demo", "/drop/m0.txt")));
}

// ---- the journal's truth after unusual ends ---------------------------------------------------

// Files the server stores but answers only after a minute: a put of them killed once all are
// stored leaves every one unfinished in the journal, whatever the machine's speed.
TEST_F(CliJournalTest, AResumeSendsTheFilesThatWereMeantOnceEachWhereverItRuns)
{
    StartServer({"answer-late:60000"});
    webPort = server->WebPort();
    commandPort = server->CommandPort();
    controlPort = server->ControlPort();
    auto storedAnew = [&](const std::string& user, const std::string& remote, std::map<int, uint64_t>& inodes) {
        for (int i = 0; i < 3; ++i) {
            const uint64_t inode = InodeOf(Stored(user, remote + "/a/f" + std::to_string(i) + ".bin"));
            if (inode == 0 || inode == inodes[i])
                return false;
        }
        for (int i = 0; i < 3; ++i)
            inodes[i] = InodeOf(Stored(user, remote + "/a/f" + std::to_string(i) + ".bin"));
        return true;
    };
    const fs::path before = fs::current_path();
    for (const std::string user : {"demo", "sync"}) {
        // x/a and y/a hold files of the same names and sizes; only x's are meant.
        for (int i = 0; i < 3; ++i) {
            Local(user + "/x/a/f" + std::to_string(i) + ".bin", Content(i, 5000));
            Local(user + "/y/a/f" + std::to_string(i) + ".bin", Content(i + 10, 5000));
        }
        const fs::path moveTo = dir / "local" / user / "moved";
        std::map<int, uint64_t> inodes;
        // Put twice from x, killed each time once the server has stored every file: the
        // second put of each file takes the first one's entry over.
        fs::current_path(dir / "local" / user / "x");
        for (int run = 0; run < 2; ++run)
            ASSERT_TRUE(RunCliKilledWhen(Args(user, {"put", "--move-to", "../moved", "a", "/" + user}),
                                         [&] { return storedAnew(user, "/" + user, inodes); }))
                << user << " run " << run;
        StartServer({}, webPort, commandPort, controlPort);
        fs::current_path(dir / "local" / user / "y");
        CliRun resume = RunCli(Args(user, {"put", "--resume"}), {}, 60);
        fs::current_path(before);
        EXPECT_EQ(resume.code, 0) << resume.err;
        EXPECT_EQ(LastLine(resume.out), "uploaded 3, failed 0") << user << resume.out << resume.err;
        EXPECT_NE(resume.err.find("이어 보낼 서버: 127.0.0.1:" + std::to_string(webPort)), std::string::npos) << resume.err;
        for (int i = 0; i < 3; ++i) {
            const std::string name = "a/f" + std::to_string(i) + ".bin";
            EXPECT_TRUE(ReadAll(Stored(user, "/" + user + "/" + name)) == Content(i, 5000)) << user << " " << name;
            EXPECT_TRUE(ReadAll(moveTo / user / name) == Content(i, 5000)) << user << " " << name;
            EXPECT_TRUE(ReadAll(dir / "local" / user / "y" / name) == Content(i + 10, 5000)) << "y's file was touched";
        }
        StartServer({"answer-late:60000"}, webPort, commandPort, controlPort);
    }
}

TEST_F(CliJournalTest, AFileMovedBeforeItsRecordCountsAsUploadedOnResume)
{
    // The state a kill between a confirmed file's move and the commit of its removal leaves:
    // its entry still unfinished, the file already in its move folder.
    StartServer({"answer-late:60000"});
    webPort = server->WebPort();
    commandPort = server->CommandPort();
    controlPort = server->ControlPort();
    const fs::path moveTo = dir / "moved";
    std::vector<std::string> args = {"put", "--move-to", moveTo.string()};
    for (int i = 0; i < 4; ++i)
        args.push_back(Local("mv/f" + std::to_string(i) + ".bin", Content(i, 3000)).string());
    args.push_back("/mv");
    ASSERT_TRUE(RunCliKilledWhen(Args("demo", args), [&] {
        if (StoredCount("demo", "/mv", 4) < 4)
            return false;
        // Every body is out: the run commits what it knows once a quarter of a second passes
        // without news, as it now waits for the late answers.
        std::this_thread::sleep_for(2s);
        return true;
    }));
    size_t moved = 0;
    {
        CUploadJournal::Opened opened = CUploadJournal::Open(JournalFile("demo").string());
        ASSERT_TRUE(opened.journal) << opened.error;
        for (const CJournalEntry& e : opened.journal->LoadUnfinished().unfinished)
            if (e.stamp.size >= 0) { // its body started: the run could have moved it
                fs::create_directories((moveTo / e.remotePath).parent_path());
                fs::rename(e.localPath, moveTo / e.remotePath);
                ++moved;
            }
    }
    StartServer({}, webPort, commandPort, controlPort);
    CliRun resume = RunCli(Args("demo", {"put", "--resume"}), {}, 60);
    EXPECT_EQ(resume.code, 0) << resume.err;
    EXPECT_EQ(LastLine(resume.out), "uploaded 4, failed 0") << resume.out << resume.err;
    EXPECT_GT(moved, 0u);
    EXPECT_EQ(Count(resume.err, "이미 올라가 옮겨짐: "), moved) << resume.err;
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(ReadAll(moveTo / "mv" / ("f" + std::to_string(i) + ".bin")) == Content(i, 3000)) << i;
}

TEST_F(CliJournalTest, AJournalThatCannotBeWrittenIsSaidAndAResumeEndsWithItsOwnExitCode)
{
    StartServer({"answer-late:60000"});
    webPort = server->WebPort();
    commandPort = server->CommandPort();
    controlPort = server->ControlPort();
    std::vector<std::string> args = {"put"};
    for (int i = 0; i < 3; ++i)
        args.push_back(Local("ro/f" + std::to_string(i) + ".bin", Content(i, 2000)).string());
    args.push_back("/ro");
    ASSERT_TRUE(RunCliKilledWhen(Args("demo", args), [&] { return StoredCount("demo", "/ro", 3) == 3; }));
    StartServer({}, webPort, commandPort, controlPort);
    const fs::path journal = JournalFile("demo");
    const fs::path folder = journal.parent_path();
    const std::string before = ReadAll(journal);

    // Read-only: a read-only mount where the permission bits do not bind (root), else the modes.
    std::vector<std::string> wrapper;
    if (::geteuid() == 0) {
        wrapper = {"/usr/bin/unshare", "--mount", "--", "/bin/sh", "-c",
                   "mount --bind -o ro \"$0\" \"$0\" && exec \"$@\"", folder.string()};
    } else {
        fs::permissions(journal, fs::perms::owner_read, fs::perm_options::replace);
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    }
    CliRun resume = RunCli(Args("demo", {"put", "--resume"}), {}, 30, wrapper);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    fs::permissions(journal, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
    EXPECT_EQ(resume.code, cli::kExitJournal) << resume.out << resume.err;
    EXPECT_NE(resume.err.find(std::string(kTextJournalCannotWrite)), std::string::npos) << resume.err;
    EXPECT_NE(resume.err.find(journal.string()), std::string::npos) << "the message names the journal: " << resume.err;
    EXPECT_EQ(ReadAll(journal), before) << "left as it was";
    EXPECT_EQ(JournalFile("demo"), journal) << "never set aside";

    // Writable again: the same resume finishes the three files.
    CliRun again = RunCli(Args("demo", {"put", "--resume"}), {}, 60);
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(LastLine(again.out), "uploaded 3, failed 0") << again.out << again.err;

    // A disk that fills in the middle of a put: said at once on standard error, the uploads go
    // on with their true outcome.
    std::vector<std::string> many = {"put"};
    for (int i = 0; i < 200; ++i)
        many.push_back(Local("full/f" + std::to_string(i) + ".bin", Content(i, 100)).string());
    many.push_back("/full");
    const std::vector<std::string> limited = {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 96 && exec \"$@\"", "sh"};
    CliRun full = RunCli(Args("demo", many), {}, 60, limited);
    EXPECT_EQ(Count(full.err, std::string(kTextJournalStopped)), 1u) << full.err;
    EXPECT_EQ(LastLine(full.out), "uploaded 200, failed 0") << full.out << full.err;
    EXPECT_EQ(full.code, 0) << full.err;
}

// talvex-devserver --fault: the binary started with each fault, as a client sees it on the wire
// and as the storage shows it afterwards.

#include "raw_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using talvex::testing::RawAnswer;
using talvex::testing::RawClient;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string Form(const std::string& command, std::initializer_list<std::pair<const char*, std::string>> headers)
{
    std::string out = "TLXSP/1.0 REQUEST__ " + command + "\r\n";
    for (const auto& [name, value] : headers)
        out += std::string(name) + " : " + value + "\r\n";
    return out + "\r\n";
}

std::string PutHeader(const std::string& sid, const std::string& path, size_t length)
{
    return Form("PUTFILE__", {{"SESSION-ID", sid}, {"REQUEST-ID", "vornasel"}, {"DATA-LENGTH", std::to_string(length)}, {"PATH", path}});
}

std::string Put(const std::string& sid, const std::string& path, const std::string& content)
{
    return PutHeader(sid, path, content.size()) + content;
}

// Runs talvex-devserver with the given arguments on free loopback ports, storage in a
// folder of its own; stopped with SIGTERM when the test ends.
class FaultServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("talvex-devserver-faults-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }

    void TearDown() override
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            EXPECT_TRUE(Wait(5000).has_value()) << "the server did not stop on SIGTERM";
        }
        fs::remove_all(m_dir);
    }

    pid_t Spawn(const std::vector<std::string>& extra)
    {
        std::vector<std::string> args = {TALVEX_DEVSERVER_BINARY, "--root", (m_dir / "root").string(), "--web-port", "0",
                                         "--command-port", "0", "--control-port", "0", "--ports-file",
                                         (m_dir / "ports").string(), "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen((m_dir / "stderr").c_str(), "w", stderr);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return m_pid = pid;
    }

    // The exit status, or nothing when the process is still running after timeoutMs (then killed).
    std::optional<int> Wait(int timeoutMs)
    {
        int status = 0;
        for (int waited = 0; waited <= timeoutMs; waited += 20) {
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return std::nullopt;
    }

    void Start(const std::vector<std::string>& faults)
    {
        ASSERT_GT(Spawn(faults), 0);
        for (int i = 0; i < 250 && !fs::exists(m_dir / "ports"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ifstream in(m_dir / "ports");
        for (std::string line; std::getline(in, line);) {
            const auto value = static_cast<uint16_t>(std::stoi(line.substr(line.find('=') + 1)));
            (line.rfind("COMMAND_PORT=", 0) == 0 ? m_command : m_control) = value;
        }
        ASSERT_NE(m_command, 0);
        ASSERT_NE(m_control, 0);
    }

    std::string Login(const std::string& id = "demo", const std::string& pw = "demo1234")
    {
        RawClient c(m_control);
        const RawAnswer a = c.Request(Form("LOGIN____", {{"REQUEST-ID", "login#1"}, {"USER-ID", id}, {"USER-PW", pw}}));
        EXPECT_EQ(a.status, 200);
        return a.Header("SESSION-ID");
    }

    // Names in the account's folder, hidden partial uploads included.
    std::set<std::string> Stored(const std::string& account = "demo")
    {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir / "root" / account))
            names.insert(e.path().filename().string());
        return names;
    }

    fs::path m_dir;
    pid_t m_pid = -1;
    uint16_t m_command = 0, m_control = 0;
};

TEST_F(FaultServerTest, BadFaultIsAUsageError)
{
    for (const std::string bad : {"bogus", "answer-late", "answer-late:-1", "answer-late:soon", "answer-close:5",
                                  "unrelated-answers:0", "drop-after:", "login-silent@*.txt", "no-notices:1", "answer-close@"}) {
        Spawn({"--fault", bad});
        EXPECT_EQ(Wait(5000), 2) << bad;
        std::ifstream err(m_dir / "stderr");
        const std::string text((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find("--fault " + bad + ": "), std::string::npos) << text;
    }
}

TEST_F(FaultServerTest, AnswerCloseAnswersThenEndsTheConnection)
{
    Start({"--fault", "answer-close@*.close"});
    const std::string sid = Login();
    RawClient c(m_command);
    EXPECT_EQ(c.Request(Put(sid, "plain.txt", "abc")).status, 200); // not matching: the connection stays
    const RawAnswer a = c.Request(Put(sid, "last.close", "12345"));
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.Header("PATH"), "last.close");
    const auto t0 = Clock::now();
    EXPECT_TRUE(c.WaitClosed(1000));
    EXPECT_LT(MsSince(t0), 500);
    EXPECT_EQ(fs::file_size(m_dir / "root" / "demo" / "last.close"), 5u);
}

TEST_F(FaultServerTest, RefuseAfterHeaderAnswersAndStopsReading)
{
    Start({"--fault", "refuse-after-header@*.refuse"});
    const std::string sid = Login();
    RawClient c(m_command);
    constexpr size_t kLength = size_t{64} << 20;
    ASSERT_TRUE(c.Send(PutHeader(sid, "big.refuse", kLength)));
    const RawAnswer a = c.Read(2000); // no byte of the body sent yet
    EXPECT_EQ(a.status, 500);
    EXPECT_EQ(a.command, "PUTFILE__");
    EXPECT_EQ(a.Header("PATH"), "big.refuse");
    EXPECT_EQ(a.Header("REQUEST-ID"), "vornasel");
    EXPECT_FALSE(c.WaitClosed(200));
    // The server reads no more: the body stalls long before its end.
    const std::string chunk(size_t{1} << 20, 'b');
    size_t sent = 0;
    for (const auto t0 = Clock::now(); MsSince(t0) < 1000 && sent < kLength;)
        sent += c.SendFor(chunk, 100);
    EXPECT_LT(sent, kLength);
    c.Close();
    // An upload without a body is not refused.
    RawClient c2(m_command);
    EXPECT_EQ(c2.Request(Put(sid, "empty.refuse", "")).status, 200);
    EXPECT_EQ(Stored(), std::set<std::string>{"empty.refuse"});
}

TEST_F(FaultServerTest, AnswerLateKeepsReadingAndAnswersInOrder)
{
    // 1.late's answer is held for 3 s: time enough, however busy the machine, to see the files
    // sent behind it stored while it is still due.
    Start({"--fault", "answer-late:3000@1.late", "--fault", "answer-late:300@*.late"});
    const std::string sid = Login();
    RawClient c(m_command);
    auto t0 = Clock::now();
    ASSERT_TRUE(c.Send(Put(sid, "1.late", "one") + Put(sid, "2.txt", "two") + Put(sid, "3.late", "three")));
    const std::set<std::string> three{"1.late", "2.txt", "3.late"};
    for (int i = 0; i < 500 && Stored() != three; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(Stored(), three);
    EXPECT_EQ(c.Read(0).firstLine, "") << "an answer came before the files behind it were stored";
    for (const char* path : {"1.late", "2.txt", "3.late"}) { // 2.txt is not delayed itself, but waits its turn
        const RawAnswer a = c.Read(10000);
        EXPECT_EQ(a.Header("PATH"), path);
        EXPECT_EQ(a.status, 200);
        EXPECT_GE(MsSince(t0), 300) << path;
    }

    // A body that stops short does not hold up the answer of the file before it...
    RawClient stall(m_command);
    t0 = Clock::now();
    ASSERT_TRUE(stall.Send(Put(sid, "4.late", "four") + PutHeader(sid, "5.late", 1000) + "partial"));
    RawAnswer a = stall.Read(10000);
    EXPECT_EQ(a.Header("PATH"), "4.late");
    EXPECT_GE(MsSince(t0), 300);
    // ...and when the peer then ends the stream, the answers still due arrive before the close.
    RawClient cut(m_command);
    t0 = Clock::now();
    ASSERT_TRUE(cut.Send(Put(sid, "6.late", "six") + PutHeader(sid, "7.late", 1000) + "partial"));
    cut.ShutdownWrite();
    a = cut.Read(10000);
    EXPECT_EQ(a.Header("PATH"), "6.late");
    EXPECT_GE(MsSince(t0), 300);
    EXPECT_EQ(cut.ReadAll(2000), ""); // then the end of the stream, nothing else
    stall.Close();
    const std::set<std::string> whole{"1.late", "2.txt", "3.late", "4.late", "6.late"};
    for (int i = 0; i < 500 && Stored() != whole; ++i) // the stalled upload's partial file goes once it ends
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Stored(), whole);
}

TEST_F(FaultServerTest, UnrelatedAnswersNeverAnswerTheUpload)
{
    Start({"--fault", "unrelated-answers:100@*.u"});
    const std::string sid = Login();
    RawClient c(m_command);
    const auto t0 = Clock::now();
    ASSERT_TRUE(c.Send(Put(sid, "mine.u", "data")));
    std::vector<std::string> paths;
    for (RawAnswer a; (a = c.Read(static_cast<int>(650 - MsSince(t0)))).ok;) {
        EXPECT_EQ(a.command, "PUTFILE__");
        EXPECT_EQ(a.status, 200);
        EXPECT_GE(MsSince(t0), 100 * static_cast<long long>(paths.size() + 1));
        paths.push_back(a.Header("PATH"));
    }
    ASSERT_GE(paths.size(), 3u);
    for (size_t i = 0; i < paths.size(); ++i)
        EXPECT_EQ(paths[i], "zz-unrelated/" + std::to_string(i + 1));
    EXPECT_EQ(Stored(), std::set<std::string>{"mine.u"});
}

TEST_F(FaultServerTest, DropAfterResetsAfterExactlyNBodyBytes)
{
    Start({"--fault", "drop-after:10@*.drop"});
    const std::string sid = Login();
    RawClient c(m_command);
    ASSERT_TRUE(c.Send(PutHeader(sid, "cut.drop", 100) + "123456789"));
    EXPECT_FALSE(c.WaitClosed(300)); // nine bytes: still reading
    ASSERT_TRUE(c.Send("0"));
    EXPECT_TRUE(c.WaitClosed(2000));
    RawClient shorter(m_command); // a body shorter than N: read whole, still no answer
    ASSERT_TRUE(shorter.Send(Put(sid, "small.drop", "12345")));
    EXPECT_EQ(shorter.ReadAll(2000), "");
    RawClient other(m_command);
    EXPECT_EQ(other.Request(Put(sid, "kept.txt", "x")).status, 200);
    EXPECT_EQ(Stored(), std::set<std::string>{"kept.txt"});
}

TEST_F(FaultServerTest, LoginSilentReadsTheLoginAndNeverAnswers)
{
    Start({"--fault", "login-silent"});
    RawClient control(m_control);
    ASSERT_TRUE(control.Send(Form("LOGIN____", {{"REQUEST-ID", "login#1"}, {"USER-ID", "demo"}, {"USER-PW", "demo1234"}})));
    EXPECT_FALSE(control.Read(1000).ok);
    EXPECT_FALSE(control.WaitClosed(100));
}

TEST_F(FaultServerTest, NoNoticesLeavesGetNotiedEmpty)
{
    Start({"--fault", "no-notices"});
    const std::string sid = Login("sync", "sync1234");
    RawClient c(m_command);
    EXPECT_EQ(c.Request(Put(sid, "a.txt", "aaaa")).status, 200);
    EXPECT_EQ(c.Request(Form("MKDIR____", {{"SESSION-ID", sid}, {"PATH", "folder"}})).status, 200);
    RawClient notices(m_control);
    const RawAnswer a = notices.Request(Form("GETNOTIED", {{"REQUEST-ID", "getnotied#1"}, {"SESSION-ID", sid}}));
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.Header("DATA-LENGTH"), "0");
    EXPECT_EQ(a.body, "");
}

} // namespace

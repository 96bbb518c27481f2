// The development server as a client sees it: raw TLXSP and HTTP over loopback.

#include "devserver/server.h"
#include "devserver/server_log.h"
#include "devserver/store.h"
#include "platform/text_codec.h"
#include "raw_client.h"

#include <gtest/gtest.h>

#include <functional>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace talvex::devserver;
using talvex::testing::HttpGet;
using talvex::testing::RawAnswer;
using talvex::testing::RawClient;

namespace {

std::string Wire(const std::string& utf8)
{
    std::string out;
    EXPECT_TRUE(talvex::ToWire(utf8, out));
    return out;
}

std::string Form(const std::string& command, std::initializer_list<std::pair<const char*, std::string>> headers)
{
    std::string out = "TLXSP/1.0 REQUEST__ " + command + "\r\n";
    for (const auto& [name, value] : headers)
        out += std::string(name) + " : " + value + "\r\n";
    return out + "\r\n";
}

class DevServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        talvex::SetWireEncoding("CP949");
        SetServerLogQuiet(true);
        m_dir = fs::temp_directory_path() / ("talvex-devserver-test-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "outside");
        std::ofstream(m_dir / "outside" / "secret.txt") << "secret";
        ServerConfig config;
        config.root = (m_dir / "root").string();
        config.webPort = config.commandPort = config.controlPort = 0;
        config.maxUploadBytes = 1 << 20;
        config.headerTimeoutMs = 1000;
        config.bodyIdleMs = 1000;
        config.httpIdleMs = 1000;
        config.sync.delay = std::chrono::milliseconds(300);
        config.sync.failPattern = "*.bad";
        m_server = std::make_unique<Server>(config, AccountBook::Defaults());
        std::string error;
        ASSERT_TRUE(m_server->Start(error)) << error;
    }

    void TearDown() override
    {
        m_server.reset();
        fs::remove_all(m_dir);
    }

    std::string Login(const std::string& id = "demo", const std::string& pw = "demo1234")
    {
        RawClient c(m_server->ControlPort());
        const RawAnswer a = c.Request(Form("LOGIN____", {{"REQUEST-ID", "login#1"}, {"USER-ID", Wire(id)}, {"USER-PW", Wire(pw)}}));
        EXPECT_EQ(a.status, 200);
        return a.Header("SESSION-ID");
    }

    RawAnswer Command(RawClient& c, const std::string& command, const std::string& sid, const std::string& path,
                      const std::string& path2 = std::string())
    {
        if (!path2.empty())
            return c.Request(Form(command, {{"REQUEST-ID", "x#1"}, {"SESSION-ID", sid}, {"PATH", path}, {"PATH2", path2}}));
        return c.Request(Form(command, {{"REQUEST-ID", "x#1"}, {"SESSION-ID", sid}, {"PATH", path}}));
    }

    RawAnswer Put(RawClient& c, const std::string& sid, const std::string& path, const std::string& content)
    {
        return c.Request("TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : " + sid + "\r\nREQUEST-ID : vornasel\r\nDATA-LENGTH : " +
                         std::to_string(content.size()) + "\r\nPATH : " + path + "\r\n\r\n" + content);
    }

    // Every file and folder under the storage root and the outside folder, for escape checks.
    std::set<std::string> Snapshot()
    {
        std::set<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(m_dir))
            out.insert(fs::relative(e.path(), m_dir).string());
        return out;
    }

    fs::path m_dir;
    std::unique_ptr<Server> m_server;
};

TEST_F(DevServerTest, LoginAndEveryCommandChecksTheSession)
{
    RawClient control(m_server->ControlPort());
    RawAnswer a = control.Request(Form("LOGIN____", {{"REQUEST-ID", "login#1"}, {"USER-ID", "demo"}, {"USER-PW", "wrong"}}));
    EXPECT_EQ(a.status, 400);
    EXPECT_EQ(a.command, "LOGIN____");
    EXPECT_TRUE(a.Header("SESSION-ID").empty());

    // The Korean account logs in with its CP949 id and password.
    const std::string sid = Login("홍길동", "비밀1234");
    EXPECT_EQ(sid.size(), 32u);

    RawClient cmd(m_server->CommandPort());
    for (const char* command : {"BROWSE___", "SEARCH___", "MKDIR____", "RMDIR____", "RENAME___", "DELFILE__"})
        EXPECT_EQ(Command(cmd, command, "not-a-session", "newdir", "other").status, 400) << command;
    EXPECT_EQ(Put(cmd, "not-a-session", "f.txt", "abc").status, 400);
    for (const char* command : {"GETNOTIED", "STARTSYNC", "CHECKSYNC", "GETSYNCED", "LOGOUT___"})
        EXPECT_EQ(control.Request(Form(command, {{"REQUEST-ID", "r"}, {"SESSION-ID", "nope"}})).status, 400) << command;
    EXPECT_FALSE(fs::exists(m_dir / "root" / "홍길동" / "newdir"));
    EXPECT_FALSE(fs::exists(m_dir / "root" / "홍길동" / "f.txt"));

    // A session works on the command port until it is logged out.
    EXPECT_EQ(Command(cmd, "MKDIR____", sid, "newdir").status, 200);
    EXPECT_EQ(control.Request(Form("LOGOUT___", {{"REQUEST-ID", "logout#1"}, {"SESSION-ID", sid}})).status, 200);
    EXPECT_EQ(Command(cmd, "BROWSE___", sid, "/").status, 400);
    // Control commands are not taken on the command port, nor command ones on the control port.
    const std::string sid2 = Login();
    EXPECT_EQ(cmd.Request(Form("GETNOTIED", {{"REQUEST-ID", "getnotied#1"}, {"SESSION-ID", sid2}})).status, 400);
    EXPECT_EQ(Command(control, "MKDIR____", sid2, "x").status, 400);
}

TEST_F(DevServerTest, TreeCommandsAnswerInTheListingFormat)
{
    const std::string sid = Login();
    RawClient c(m_server->CommandPort());
    const std::string name = Wire("보고서 최종.txt");
    RawAnswer a = Put(c, sid, "docs/" + name, "hello");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.command, "PUTFILE__");
    EXPECT_EQ(a.Header("PATH"), "docs/" + name);
    EXPECT_EQ(c.Request("TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : " + sid + "\r\nREQUEST-ID : vornasel\r\nPATH : docs/empty.txt\r\n\r\n").status, 200);
    EXPECT_EQ(c.Request("TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : " + sid + "\r\nREQUEST-ID : vornasel\r\nPATH : docs/sub/deeper/\r\n\r\n").status, 200);
    EXPECT_EQ(fs::file_size(m_dir / "root" / "demo" / "docs" / "보고서 최종.txt"), 5u);
    EXPECT_TRUE(fs::is_directory(m_dir / "root" / "demo" / "docs" / "sub" / "deeper"));

    a = Command(c, "BROWSE___", sid, "/docs");
    ASSERT_EQ(a.status, 200);
    EXPECT_EQ(a.Header("REQUEST-ID"), "x#1");
    std::set<std::string> lines;
    std::istringstream body(a.body);
    for (std::string line; std::getline(body, line);) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        int kind, y, mo, d, h, mi, s;
        long long size;
        int used = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%d %lld %d %d %d %d %d %d %n", &kind, &size, &y, &mo, &d, &h, &mi, &s, &used), 8) << line;
        EXPECT_GE(y, 2020);
        lines.insert(std::to_string(kind) + " " + std::to_string(size) + " " + line.substr(static_cast<size_t>(used)));
    }
    EXPECT_EQ(lines, (std::set<std::string>{"0 5 " + name, "0 0 empty.txt", "1 0 sub"}));

    a = c.Request(Form("SEARCH___", {{"SESSION-ID", sid}, {"PATH", "/"}, {"PATH2", "EMPTY"}}));
    EXPECT_EQ(a.status, 200);
    EXPECT_NE(a.body.find(" /docs/empty.txt\r\n"), std::string::npos) << a.body;
    EXPECT_FALSE(a.headers.count("REQUEST-ID"));

    EXPECT_EQ(Command(c, "MKDIR____", sid, "docs/sub").status, 409);
    // A file onto a folder: refused as a name that exists, the folder as it was, no partial left
    // (empty and not), and the connection goes on.
    fs::create_directory(m_dir / "root" / "demo" / "docs" / "full");
    std::ofstream(m_dir / "root" / "demo" / "docs" / "full" / "in.txt") << "in";
    for (const char* folder : {"docs/sub", "docs/full"})
        EXPECT_EQ(Put(c, sid, folder, "body").status, 409) << folder;
    EXPECT_TRUE(fs::is_directory(m_dir / "root" / "demo" / "docs" / "sub"));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "root" / "demo" / "docs" / "full"), fs::directory_iterator()), 1);
    for (const auto& e : fs::directory_iterator(m_dir / "root" / "demo" / "docs"))
        EXPECT_NE(e.path().filename().string().rfind(kPartialPrefix, 0), 0u) << e.path();
    fs::remove_all(m_dir / "root" / "demo" / "docs" / "full");
    EXPECT_EQ(Command(c, "MKDIR____", sid, "missing/child").status, 204);
    EXPECT_EQ(Command(c, "RENAME___", sid, "docs/empty.txt", "docs/" + name).status, 409);
    a = Command(c, "RENAME___", sid, "docs/empty.txt", "docs/renamed.txt");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.Header("PATH2"), "docs/renamed.txt");
    EXPECT_EQ(Command(c, "RENAME___", sid, "docs/nothing", "docs/x").status, 204);
    a = Command(c, "DELFILE__", sid, "/Docs/../docs/renamed.txt");
    EXPECT_EQ(a.status, 400); // ".." is never taken, even when it would stay inside
    a = Command(c, "DELFILE__", sid, "/docs/renamed.txt");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.Header("PATH"), "/docs/renamed.txt");
    EXPECT_EQ(Command(c, "DELFILE__", sid, "/docs/renamed.txt").status, 204);
    EXPECT_EQ(Command(c, "DELFILE__", sid, "/docs/sub").status, 400);
    EXPECT_EQ(Command(c, "RMDIR____", sid, "/docs").status, 200); // with everything in it
    EXPECT_FALSE(fs::exists(m_dir / "root" / "demo" / "docs"));
    EXPECT_EQ(Command(c, "RMDIR____", sid, "/").status, 400);
    EXPECT_EQ(Command(c, "BROWSE___", sid, "/docs").status, 204);
}

TEST_F(DevServerTest, PipelinedUploadsAreAnsweredInOrder)
{
    // Three requests in one write: the answers may go together, but all of them, in order, and
    // before the server waits for more.
    const std::string sid = Login();
    RawClient c(m_server->CommandPort());
    std::string three;
    for (const char* name : {"p/1.bin", "p/2.bin", "p/3.bin"})
        three += "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : " + sid + "\r\nREQUEST-ID : r\r\nDATA-LENGTH : 2\r\nPATH : " +
                 name + "\r\n\r\nab";
    ASSERT_TRUE(c.Send(three));
    for (const char* name : {"p/1.bin", "p/2.bin", "p/3.bin"}) {
        const RawAnswer a = c.Read();
        EXPECT_EQ(a.status, 200) << name;
        EXPECT_EQ(a.Header("PATH"), name);
    }
    // A request whose next one is only half here is answered before the server waits for the
    // rest: the client may be waiting for that answer before it sends more.
    const std::string fourth = "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : " + sid +
                               "\r\nREQUEST-ID : r\r\nDATA-LENGTH : 2\r\nPATH : p/4.bin\r\n\r\nab";
    ASSERT_TRUE(c.Send(fourth + fourth.substr(0, 20)));
    EXPECT_EQ(c.Read(2000).Header("PATH"), "p/4.bin");
    ASSERT_TRUE(c.Send(fourth.substr(20)));
    EXPECT_EQ(c.Read(2000).Header("PATH"), "p/4.bin");
    EXPECT_EQ(Command(c, "BROWSE___", sid, "p").status, 200);
}

TEST_F(DevServerTest, NoPathLeavesTheUserRoot)
{
    const std::string sid = Login();
    const fs::path home = m_dir / "root" / "demo";
    fs::create_directory_symlink(m_dir / "outside", home / "link");
    fs::create_symlink(m_dir / "outside" / "secret.txt", home / "filelink");
    const auto before = Snapshot();

    RawClient c(m_server->CommandPort());
    for (const std::string bad : {"../escape", "a/../../escape", "..\\..\\escape", "/../escape", "./../escape", "../sync/x",
                                  "link/x", "link/sub/x", "filelink/x"}) {
        EXPECT_EQ(Put(c, sid, bad, "data").status, 400) << bad;
        EXPECT_EQ(Put(c, sid, bad + "/", "").status, 400) << bad;
        EXPECT_EQ(Command(c, "MKDIR____", sid, bad).status, 400) << bad;
        EXPECT_NE(Command(c, "RENAME___", sid, "filelink", bad).status, 200) << bad;
    }
    EXPECT_EQ(Command(c, "BROWSE___", sid, "link").status, 400);
    EXPECT_EQ(Command(c, "BROWSE___", sid, "..").status, 400);
    EXPECT_EQ(Command(c, "DELFILE__", sid, "link/secret.txt").status, 400);
    EXPECT_EQ(Command(c, "DELFILE__", sid, "filelink").status, 400);
    EXPECT_EQ(Command(c, "RMDIR____", sid, "link").status, 400);
    EXPECT_EQ(Command(c, "RENAME___", sid, "link/secret.txt", "stolen.txt").status, 400);
    EXPECT_EQ(Command(c, "RENAME___", sid, "link", "mine").status, 400);
    EXPECT_EQ(c.Request(Form("SEARCH___", {{"SESSION-ID", sid}, {"PATH", "link"}, {"PATH2", "secret"}})).status, 400);
    // Links in the tree are not listed and not searched through.
    RawAnswer a = Command(c, "BROWSE___", sid, "/");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "");
    a = c.Request(Form("SEARCH___", {{"SESSION-ID", sid}, {"PATH", "/"}, {"PATH2", "secret"}}));
    EXPECT_EQ(a.body, "");
    // An absolute path is a path in the user's tree.
    EXPECT_EQ(Put(c, sid, "/etc/passwd", "mine").status, 200);
    EXPECT_TRUE(fs::exists(home / "etc" / "passwd"));
    fs::remove_all(home / "etc");

    // The folder of the connection's last upload is taken again only while its path leads to
    // it: renamed, removed, or put back as a link to elsewhere between two uploads.
    struct Between {
        const char* what;
        std::function<void()> change;
        int status;
        const char* storedAt; // "" none
    };
    const std::vector<Between> betweens = {
        {"renamed", [&] { fs::rename(home / "r", home / "r2"); }, 200, "r/b.bin"},
        {"removed", [&] { fs::remove_all(home / "r"); }, 200, "r/b.bin"},
        {"a link to elsewhere", [&] { fs::remove_all(home / "r"); fs::create_directory_symlink(m_dir / "outside", home / "r"); },
         400, ""},
    };
    for (const Between& b : betweens) {
        EXPECT_EQ(Put(c, sid, "r/a.bin", "first").status, 200) << b.what;
        b.change();
        EXPECT_EQ(Put(c, sid, "r/b.bin", "second").status, b.status) << b.what;
        if (*b.storedAt) {
            EXPECT_TRUE(fs::exists(home / b.storedAt)) << b.what;
        }
        EXPECT_FALSE(fs::exists(home / "r2" / "b.bin")) << b.what;
        EXPECT_FALSE(fs::exists(m_dir / "outside" / "b.bin")) << b.what;
        for (const char* name : {"r", "r2"})
            fs::remove_all(home / name); // a link goes as a link
    }

    EXPECT_EQ(Snapshot(), before);
    std::ifstream secret(m_dir / "outside" / "secret.txt");
    std::string text;
    secret >> text;
    EXPECT_EQ(text, "secret");
}

// Uploads that come together take the kept folder without a look; a folder the server itself
// moved or removed meanwhile, or any change once the client was waited for, is looked at again.
TEST_F(DevServerTest, AKeptUploadFolderIsLookedAtAgainAfterAFolderChangeOrAWait)
{
    const fs::path home = m_dir / "store";
    const UserTree tree(home.string());
    struct Between {
        const char* what;
        std::function<void()> change;
        bool waited; // bytes came from the client between the two uploads
    };
    const std::vector<Between> betweens = {
        {"renamed by the server", [&] { EXPECT_EQ(tree.Rename({"r"}, {"r2"}), StoreStatus::Ok); }, false},
        {"removed by the server", [&] { EXPECT_EQ(tree.RemoveFolder({"r"}), StoreStatus::Ok); }, false},
        {"renamed by hand while the client was waited for", [&] { fs::rename(home / "r", home / "r2"); }, true},
    };
    for (const Between& b : betweens) {
        UploadFolderCache kept;
        for (const char* name : {"a.bin", "b.bin"}) {
            Upload upload;
            ASSERT_EQ(tree.BeginUpload({"r", name}, upload, &kept), StoreStatus::Ok) << b.what;
            ASSERT_TRUE(upload.Write(name, 5));
            ASSERT_EQ(upload.Commit(), StoreStatus::Ok) << b.what;
            if (name[0] == 'a') {
                b.change();
                if (b.waited)
                    kept.Doubt();
            }
        }
        EXPECT_TRUE(fs::exists(home / "r" / "b.bin")) << b.what;
        EXPECT_FALSE(fs::exists(home / "r2" / "b.bin")) << b.what;
        fs::remove_all(home);
    }
}

TEST_F(DevServerTest, AStartRemovesTheHalfWrittenFilesOfAnEarlierRun)
{
    // What a server killed in the middle of bodies leaves, and what must outlive the next start.
    m_server.reset();
    const fs::path home = m_dir / "root" / "demo";
    fs::create_directories(home / "a" / "b");
    const std::vector<fs::path> partials = {home / ".tlxpart-x", home / "a" / "b" / ".tlxpart-0123456789abcdef"};
    const std::vector<fs::path> kept = {home / "a" / "notes.tlxpart-x.txt", home / "a" / "tlxpart-x",
                                        m_dir / "outside" / ".tlxpart-x"};
    for (const fs::path& p : partials)
        std::ofstream(p) << "half";
    for (const fs::path& p : kept)
        std::ofstream(p) << "whole";
    fs::create_directory_symlink(m_dir / "outside", home / "link"); // never followed

    ServerConfig config;
    config.root = (m_dir / "root").string();
    config.webPort = config.commandPort = config.controlPort = 0;
    m_server = std::make_unique<Server>(config, AccountBook::Defaults());
    SetServerLogQuiet(false);
    ::testing::internal::CaptureStderr();
    std::string error;
    const bool started = m_server->Start(error);
    const std::string log = ::testing::internal::GetCapturedStderr();
    SetServerLogQuiet(true);
    ASSERT_TRUE(started) << error;

    EXPECT_NE(log.find("removed 2 half-written files left by an earlier run"), std::string::npos) << log;
    for (const fs::path& p : partials)
        EXPECT_FALSE(fs::exists(p)) << p;
    for (const fs::path& p : kept)
        EXPECT_TRUE(fs::exists(p)) << p;
    EXPECT_TRUE(fs::is_symlink(home / "link"));
}

TEST_F(DevServerTest, OversizedAndLyingHeadersCloseOnlyThatConnection)
{
    const std::string sid = Login();
    {   // a header block that never ends within 16 KiB
        RawClient c(m_server->CommandPort());
        c.Send("TLXSP/1.0 REQUEST__ BROWSE___\r\n" + std::string(20000, 'A'));
        EXPECT_TRUE(c.WaitClosed(3000));
    }
    {   // a header block that starts and stalls
        RawClient c(m_server->CommandPort());
        c.Send("TLXSP/1.0 REQUEST__ BROWSE___\r\nSESSION-ID : ");
        EXPECT_TRUE(c.WaitClosed(4000));
    }
    for (const std::string length : {"2000000", "-5", "12abc", "99999999999999999999"}) {
        RawClient c(m_server->CommandPort());
        const RawAnswer a = c.Request("TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : " + sid +
                                      "\r\nREQUEST-ID : vornasel\r\nDATA-LENGTH : " + length + "\r\nPATH : big.bin\r\n\r\n");
        EXPECT_EQ(a.status, 400) << length;
        EXPECT_TRUE(c.WaitClosed(3000)) << length;
    }
    {   // a body on a command that carries none
        RawClient c(m_server->CommandPort());
        EXPECT_EQ(c.Request("TLXSP/1.0 REQUEST__ MKDIR____\r\nSESSION-ID : " + sid + "\r\nDATA-LENGTH : 10\r\nPATH : d\r\n\r\n").status, 400);
        EXPECT_TRUE(c.WaitClosed(3000));
    }
    {   // fewer bytes than announced, then the peer goes away
        RawClient c(m_server->CommandPort());
        c.Send("TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : " + sid + "\r\nREQUEST-ID : vornasel\r\nDATA-LENGTH : 1000\r\nPATH : cut.bin\r\n\r\n0123456789");
    }
    {   // fewer bytes than announced, and the peer stalls
        RawClient c(m_server->CommandPort());
        c.Send("TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : " + sid + "\r\nREQUEST-ID : vornasel\r\nDATA-LENGTH : 1000\r\nPATH : stall.bin\r\n\r\n0123456789");
        EXPECT_TRUE(c.WaitClosed(4000));
    }
    // Nothing of a cut-short upload is kept, not even the hidden partial file.
    for (int i = 0; i < 50 && m_server->ActiveConnections() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(fs::is_empty(m_dir / "root" / "demo"));
    RawClient c(m_server->CommandPort());
    EXPECT_EQ(Command(c, "BROWSE___", sid, "/").status, 200);
}

TEST_F(DevServerTest, GarbageAndAbruptClosesNeverStopTheServer)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        RawClient c(round % 2 ? m_server->CommandPort() : m_server->ControlPort());
        std::string junk(static_cast<size_t>(rng() % 3000 + 1), '\0');
        for (char& ch : junk)
            ch = static_cast<char>(rng());
        if (round % 3 == 0)
            junk += "\r\n\r\n";
        c.Send(junk);
        if (round % 3 == 0) {
            const RawAnswer a = c.Read(3000);
            if (a.ok) {
                EXPECT_EQ(a.status, 400);
            }
        }
        // closed at once, without waiting for anything
    }
    {   // a well-formed first line with a command nobody knows, then lines without colons
        RawClient c(m_server->CommandPort());
        RawAnswer a = c.Request("TLXSP/1.0 REQUEST__ FROBNICAT\r\nno colon here\r\n:\r\n : \r\n\r\n");
        EXPECT_EQ(a.status, 400);
        EXPECT_EQ(a.command, "FROBNICAT");
        a = c.Request("GET / HTTP/1.0\r\n\r\n");
        EXPECT_EQ(a.status, 400);
    }
    {   // HTTP garbage on the web port
        EXPECT_NE(HttpGet(m_server->WebPort(), "/nothing/here").find("404"), std::string::npos);
        RawClient c(m_server->WebPort());
        c.Send(std::string(20000, 'x'));
        EXPECT_TRUE(c.WaitClosed(3000));
    }
    const std::string sid = Login();
    RawClient c(m_server->CommandPort());
    EXPECT_EQ(Command(c, "BROWSE___", sid, "/").status, 200);
}

TEST_F(DevServerTest, FiftyConnectionsAtOnce)
{
    const std::string sid = Login();
    constexpr int kClients = 50;
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < kClients; ++i)
        clients.push_back(std::make_unique<RawClient>(m_server->CommandPort()));
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            RawClient& c = *clients[static_cast<size_t>(i)];
            const std::string name = "c" + std::to_string(i) + ".txt";
            const std::string content(static_cast<size_t>(1000 + i), 'z');
            const RawAnswer put = Put(c, sid, "many/" + name, content);
            const RawAnswer list = Command(c, "BROWSE___", sid, "many");
            if (put.status == 200 && list.status == 200 &&
                list.body.find(" " + std::to_string(content.size()) + " ") != std::string::npos &&
                list.body.find(name + "\r\n") != std::string::npos)
                ++good;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), kClients);
    EXPECT_GE(m_server->ActiveConnections(), static_cast<size_t>(kClients));
    clients.clear();
    for (int i = 0; i < 100 && m_server->ActiveConnections() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(m_server->ActiveConnections(), 0u);
}

TEST_F(DevServerTest, NoticesAndSyncJobs)
{
    const std::string sid = Login("sync", "sync1234");
    RawClient c(m_server->CommandPort());
    RawClient control(m_server->ControlPort());
    EXPECT_EQ(Put(c, sid, "a.txt", "aaaa").status, 200);
    EXPECT_EQ(Put(c, sid, "b.bad", "bb").status, 200);
    EXPECT_EQ(Command(c, "MKDIR____", sid, "folder").status, 200);
    EXPECT_EQ(Command(c, "RENAME___", sid, "a.txt", "folder/a.txt").status, 200);

    const std::string getNotied = Form("GETNOTIED", {{"REQUEST-ID", "getnotied#1"}, {"SESSION-ID", sid}});
    RawAnswer a = control.Request(getNotied);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "200 PUTFILE__ a.txt\r\n500 PUTFILE__ b.bad\r\n200 MKDIR____ folder\r\n200 RENAME___ a.txt\r\n");
    a = control.Request(getNotied);
    EXPECT_EQ(a.Header("DATA-LENGTH"), "0");
    EXPECT_EQ(a.body, "");

    // A normal account gets no notices.
    const std::string demo = Login();
    EXPECT_EQ(Put(c, demo, "x.txt", "x").status, 200);
    EXPECT_EQ(control.Request(Form("GETNOTIED", {{"REQUEST-ID", "getnotied#1"}, {"SESSION-ID", demo}})).body, "");

    const std::string getSynced = Form("GETSYNCED", {{"REQUEST-ID", sid}, {"SESSION-ID", sid}});
    EXPECT_EQ(control.Request(getSynced).status, 204); // no job yet
    a = control.Request(Form("STARTSYNC", {{"REQUEST-ID", sid}, {"SESSION-ID", sid}}));
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.Header("REQUEST-ID"), sid);
    EXPECT_EQ(control.Request(getSynced).status, 203);
    for (int i = 0; i < 100 && (a = control.Request(getSynced)).status == 203; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "[CheckSync]\r\nTotalCount=2\r\nTotalSize=6\r\nFailCount=1\r\nFailSize=2\r\n1=/b.bad\r\n");
    EXPECT_EQ(control.Request(getSynced).status, 204); // the result was taken

    EXPECT_EQ(control.Request(Form("CHECKSYNC", {{"REQUEST-ID", sid}, {"SESSION-ID", sid}, {"PATH", "nothing.txt"}})).status, 204);
    EXPECT_EQ(control.Request(Form("CHECKSYNC", {{"REQUEST-ID", sid}, {"SESSION-ID", sid}, {"PATH", "folder/"}})).status, 200);
    for (int i = 0; i < 100 && (a = control.Request(getSynced)).status == 203; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(a.body, "[CheckSync]\r\nTotalCount=1\r\nTotalSize=4\r\nFailCount=0\r\nFailSize=0\r\n");
}

TEST_F(DevServerTest, WebPages)
{
    const uint16_t port = m_server->WebPort();
    // "홍길동" / "비밀1234" in CP949, %-encoded
    std::string answer = HttpGet(port, "/Velocis/checkuser.asp?UserID=%C8%AB%B1%E6%B5%BF&Password=%BA%F1%B9%D01234");
    ASSERT_NE(answer.find("HTTP/1.1 200"), std::string::npos) << answer;
    std::string body = answer.substr(answer.find("\r\n\r\n") + 4);
    std::string text;
    ASSERT_TRUE(talvex::FromWire(body, text));
    EXPECT_EQ(text, "TLXSP/1.0 200 OK<br>STATUS-CODE : 200<br>HOST_IP : 127.0.0.1<br>SERVICESET_ID : devset<br>"
                    "SERVICE_TYPE : 0<br>USER_ROOT : /홍길동<br>USE_DRM : 0<br><br>");
    EXPECT_NE(HttpGet(port, "/velocis/CHECKUSER.asp?UserID=drm&Password=drm1234").find("USE_DRM : 1<br>DRM_ID : drmuser<br>DRM_PASS : drmpass<br><br>"),
              std::string::npos);
    EXPECT_NE(HttpGet(port, "/Velocis/checkuser.asp?UserID=sync&Password=sync1234").find("SERVICE_TYPE : 1<br>"), std::string::npos);
    EXPECT_NE(HttpGet(port, "/Velocis/checkuser.asp?UserID=demo&Password=nope").find("STATUS-CODE : 500<br><br>"), std::string::npos);
    EXPECT_NE(HttpGet(port, "/Velocis/checkuser.asp?UserID=nobody&Password=x").find("STATUS-CODE : 400<br><br>"), std::string::npos);
    EXPECT_NE(HttpGet(port, "/Velocis/checkuser.asp?UserID=%FF%FF&Password=x").find("STATUS-CODE : 400<br><br>"), std::string::npos);

    answer = HttpGet(port, "/pack/auth.asp?uid=drmuser&upass=drmpass");
    body = answer.substr(answer.find("\r\n\r\n") + 4);
    EXPECT_EQ(body.rfind("cpcode$*$", 0), 0u) << body;
    for (const char* name : {"$_$Seed$*$", "$_$KeyID$*$", "$_$ContentID$*$", "$_$genurl$*$", "$_$PriKey$*$", "$_$PubKey$*$"})
        EXPECT_NE(body.find(name), std::string::npos) << name;
    body = HttpGet(port, "/pack/auth.asp?uid=drmuser&upass=wrong");
    EXPECT_EQ(body.find("cpcode"), std::string::npos);
}

TEST(DevServerBinary, WritesThePortsFileAndStopsOnSigterm)
{
    const fs::path dir = fs::temp_directory_path() / ("talvex-devserver-bin-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string ports = (dir / "ports").string();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string root = (dir / "root").string();
        std::freopen("/dev/null", "w", stdout);
        ::execl(TALVEX_DEVSERVER_BINARY, TALVEX_DEVSERVER_BINARY, "--root", root.c_str(), "--web-port", "0", "--command-port", "0",
                "--control-port", "0", "--ports-file", ports.c_str(), "--quiet", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 100 && !fs::exists(ports); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(ports);
    std::string l1, l2, l3, extra;
    std::getline(in, l1);
    std::getline(in, l2);
    std::getline(in, l3);
    EXPECT_FALSE(std::getline(in, extra));
    EXPECT_EQ(l1.rfind("WEB_PORT=", 0), 0u);
    EXPECT_EQ(l2.rfind("COMMAND_PORT=", 0), 0u);
    EXPECT_EQ(l3.rfind("CONTROL_PORT=", 0), 0u);
    const auto web = static_cast<uint16_t>(std::stoi(l1.substr(9)));
    EXPECT_NE(HttpGet(web, "/Velocis/checkuser.asp?UserID=demo&Password=demo1234").find("STATUS-CODE : 200"), std::string::npos);
    RawClient idle(static_cast<uint16_t>(std::stoi(l2.substr(13)))); // an open connection must not hold up the stop
    ::kill(pid, SIGTERM);
    int status = -1;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!WIFEXITED(status)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "the server did not stop on SIGTERM";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
    fs::remove_all(dir);
}

} // namespace

// talvex-cli against a server whose answers each test scripts: every answer that ends in a
// refusal has its documented exit code and its message; uploads at every size boundary carry
// the right DATA-LENGTH and arrive byte for byte (on the scripted server and stored by the
// development server); the sync result is asked for once per --poll-ms and no more often.

#include "cli/options.h"
#include "devserver/server.h"
#include "devserver/server_log.h"
#include "tests/common/cli_runner.h"
#include "tests/common/scripted_tlxsp_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;
using namespace talvex;
using test::CliRun;
using test::ScriptedTlxspPort;
using test::SeenRequest;
using test::TlxspAnswer;

namespace {

class CliScriptedTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = fs::temp_directory_path() / ("talvex-cli-scripted-" + std::to_string(getpid()));
        fs::remove_all(s_dir);
        fs::create_directories(s_dir);
        // The development server answers the web user check (HOST_IP 127.0.0.1) and stores
        // uploads; the TLXSP ports of the scripted tests are the scripted server's.
        devserver::ServerConfig config;
        config.root = (s_dir / "storage").string();
        config.webPort = config.commandPort = config.controlPort = 0;
        config.maxUploadBytes = kMaxUpload;
        devserver::SetServerLogQuiet(true);
        s_server = new devserver::Server(config, devserver::AccountBook::Defaults());
        std::string error;
        ASSERT_TRUE(s_server->Start(error)) << error;
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
        fs::remove_all(s_dir);
    }

    static std::vector<std::string> Base(int tlxspPort, int controlPort = 0)
    {
        return {"--web-host", "127.0.0.1:" + std::to_string(s_server->WebPort()),
                "--command-port", std::to_string(tlxspPort),
                "--control-port", std::to_string(controlPort ? controlPort : tlxspPort),
                "--work-dir", (s_dir / "work").string(), "--user", "demo", "--password", "demo1234",
                "--timeout", "2", "--poll-ms", "10"};
    }
    static CliRun Run(int tlxspPort, std::vector<std::string> args, std::vector<std::string> options = {},
                      int controlPort = 0)
    {
        std::vector<std::string> all = Base(tlxspPort, controlPort);
        all.insert(all.end(), options.begin(), options.end());
        all.insert(all.end(), args.begin(), args.end());
        return test::RunCli(all);
    }
    static fs::path Local(const std::string& name, const std::string& bytes)
    {
        const fs::path p = s_dir / "local" / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    static std::string Read(const fs::path& p)
    {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Distinct bytes for each size, so that a shifted or repeated piece shows.
    static std::string Pattern(size_t n)
    {
        std::string s(n, '\0');
        uint32_t x = static_cast<uint32_t>(n) * 2654435761u + 1;
        for (size_t i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            s[i] = static_cast<char>(x >> 24);
        }
        return s;
    }

    static constexpr int64_t kMaxUpload = 40000;
    static inline fs::path s_dir;
    static inline devserver::Server* s_server = nullptr;
};

// ---- refusals -----------------------------------------------------------------------------

struct Refusal {
    const char* name;
    std::vector<std::string> args;
    // Answer per command word; commands not named get the session's ordinary answers.
    std::map<std::string, std::string> answers;
    int exitCode;
    const char* message; // in standard error (or standard output for put's summary)
};

const std::string kSyncResultFailed = "[CheckSync]\r\nTotalCount=3\r\nTotalSize=30\r\nFailCount=2\r\nFailSize=20\r\n"
                                      "1=/docs/a.txt\r\n2=/docs/b c.txt\r\n";

std::vector<Refusal> Refusals()
{
    using C = ScriptedTlxspPort;
    const std::string lost = C::kClose;
    return {
        {"login refused 400", {"ls"}, {{"LOGIN____", TlxspAnswer("LOGIN____", 400)}}, cli::kExitLoginRefused,
         "ID or Password가 일치하지 않습니다"},
        {"login refused 500", {"ls"}, {{"LOGIN____", TlxspAnswer("LOGIN____", 500)}}, cli::kExitLoginRefused,
         "서버 장애입니다. 관리자에게 문의하여 주시기 바랍니다"},
        {"login without status", {"ls"}, {{"LOGIN____", "TLXSP/1.0 RESPONSE_ LOGIN____\r\nSESSION-ID : s\r\n\r\n"}},
         cli::kExitLoginRefused, "서버 장애입니다."},
        {"login connection closed", {"ls"}, {{"LOGIN____", lost}}, cli::kExitConnection,
         "서버와의 연결이 끊겼습니다."},
        {"login never answered", {"ls"}, {{"LOGIN____", C::kSilent}}, cli::kExitConnection, "시간 초과"},
        {"browse connection closed", {"ls", "/docs"}, {{"BROWSE___", lost}}, cli::kExitConnection,
         "서버와의 연결이 끊겼습니다."},
        {"browse refused 500", {"ls", "/docs"}, {{"BROWSE___", TlxspAnswer("BROWSE___", 500)}}, cli::kExitRefused,
         "서버가 요청을 거절했습니다 [500]: /docs"},
        {"search in a missing folder 204", {"search", "x", "--in", "/docs"}, {{"SEARCH___", TlxspAnswer("SEARCH___", 204)}},
         cli::kExitRefused, "파일이 존재하지 않습니다: /docs"},
        {"mkdir exists 409", {"mkdir", "/a"}, {{"MKDIR____", TlxspAnswer("MKDIR____", 409, "PATH : /a\r\n")}},
         cli::kExitRefused, "이미 존재합니다: /a"},
        {"mkdir refused 500", {"mkdir", "/a"}, {{"MKDIR____", TlxspAnswer("MKDIR____", 500, "PATH : /a\r\n")}},
         cli::kExitRefused, "서버가 요청을 거절했습니다 [500]: /a"},
        {"mkdir without status", {"mkdir", "/a"}, {{"MKDIR____", "TLXSP/1.0 RESPONSE_ MKDIR____\r\n\r\n"}},
         cli::kExitRefused, "[0]: /a"},
        {"rmdir refused 404", {"rmdir", "/a"}, {{"RMDIR____", TlxspAnswer("RMDIR____", 404, "PATH : /a\r\n")}},
         cli::kExitRefused, "서버가 요청을 거절했습니다 [404]: /a"},
        {"mkdir connection closed", {"mkdir", "/a"}, {{"MKDIR____", lost}}, cli::kExitConnection,
         "서버와의 연결이 끊겼습니다."},
        {"rename target exists 409", {"mv", "/a.txt", "/b.txt"},
         {{"RENAME___", TlxspAnswer("RENAME___", 409, "PATH : /a.txt\r\nPATH2 : /b.txt\r\n")}}, cli::kExitRefused,
         "대상 이름이 이미 존재합니다. 이름 바꾸기를 할 수 없습니다"},
        {"rename refused 500", {"mv", "/a.txt", "/b.txt"},
         {{"RENAME___", TlxspAnswer("RENAME___", 500, "PATH : /a.txt\r\nPATH2 : /b.txt\r\n")}}, cli::kExitRefused,
         "/b.txt 파일을 이름 바꾸기 할 수 없습니다"},
        {"delete refused 404", {"rm", "/gone.txt"},
         {{"DELFILE__", TlxspAnswer("DELFILE__", 404, "PATH : /gone.txt\r\n")}}, cli::kExitRefused,
         "삭제할 수 없습니다: /gone.txt"},
        {"delete connection closed", {"rm", "/gone.txt"}, {{"DELFILE__", lost}}, cli::kExitConnection,
         "서버와의 연결이 끊겼습니다."},
        {"sync start no files 204", {"sync", "start"}, {{"STARTSYNC", TlxspAnswer("STARTSYNC", 204)}},
         cli::kExitRefused, "파일이 존재하지 않습니다"},
        {"sync start no target 404", {"sync", "start"}, {{"STARTSYNC", TlxspAnswer("STARTSYNC", 404)}},
         cli::kExitRefused, "동기화 대상 서버가 없습니다."},
        {"sync start refused 500", {"sync", "start"}, {{"STARTSYNC", TlxspAnswer("STARTSYNC", 500)}},
         cli::kExitRefused, "수동 동기화를 할 수 없습니다. [500]"},
        {"sync check refused 503", {"sync", "check"}, {{"CHECKSYNC", TlxspAnswer("CHECKSYNC", 503)}},
         cli::kExitRefused, "동기화 확인을 할 수 없습니다. [503]"},
        {"sync check of a path 204", {"sync", "check", "/docs/"}, {{"CHECKSYNC", TlxspAnswer("CHECKSYNC", 204)}},
         cli::kExitRefused, "파일이 존재하지 않습니다"},
        {"sync result refused 500", {"sync", "check"},
         {{"CHECKSYNC", TlxspAnswer("CHECKSYNC", 200)}, {"GETSYNCED", TlxspAnswer("GETSYNCED", 500)}},
         cli::kExitRefused, "동기화 대상 서버 장애입니다"},
        {"sync result with failures", {"sync", "start"},
         {{"STARTSYNC", TlxspAnswer("STARTSYNC", 200)}, {"GETSYNCED", TlxspAnswer("GETSYNCED", 200, {}, kSyncResultFailed)}},
         cli::kExitRefused, ""},
        {"sync result never ready", {"sync", "start", "--sync-timeout", "1"},
         {{"STARTSYNC", TlxspAnswer("STARTSYNC", 200)}, {"GETSYNCED", TlxspAnswer("GETSYNCED", 203)}},
         cli::kExitConnection, "동기화 결과를 기다리다 시간이 초과되었습니다"},
        {"sync result connection closed", {"sync", "start"},
         {{"STARTSYNC", TlxspAnswer("STARTSYNC", 200)}, {"GETSYNCED", lost}}, cli::kExitConnection,
         "서버와의 연결이 끊겼습니다."},
        {"sync start never answered", {"sync", "start"}, {{"STARTSYNC", C::kSilent}}, cli::kExitConnection,
         "시간 초과"},
        // Told before any connection, naming what was given: not a logon server that cannot be reached.
        {"unknown encoding", {"--encoding", "NOSUCH", "ls"}, {}, cli::kExitUsage, "--encoding NOSUCH"},
        {"encoding that changes ASCII", {"--encoding", "UTF-16", "ls"}, {}, cli::kExitUsage, "--encoding UTF-16"},
        {"a word after put --resume", {"put", "--resume", "/stray"}, {}, cli::kExitUsage, "wrong arguments for 'put'"},
        {"a dry run of a resume", {"put", "--resume", "--dry-run"}, {}, cli::kExitUsage, "not with --resume"},
        // An empty name (an unset variable in a script) is no file, never the working folder.
        {"put of an empty name", {"put", "", "/up"}, {}, cli::kExitRefused, "파일 읽기 오류: \n"},
        {"an option after --", {"ls", "--", "/a", "--b"}, {}, cli::kExitUsage, "wrong arguments for 'ls'"},
    };
}

} // namespace

TEST_F(CliScriptedTest, EveryRefusalHasItsExitCodeAndMessage)
{
    for (const Refusal& c : Refusals()) {
        SCOPED_TRACE(c.name);
        ScriptedTlxspPort port([&](const SeenRequest& r) {
            const auto it = c.answers.find(r.command);
            return it != c.answers.end() ? it->second : ScriptedTlxspPort::SessionAnswer(r);
        });
        // Options after the command word belong to the command (sync's --sync-timeout is global).
        std::vector<std::string> args = c.args, options;
        if (args.size() > 2 && args[2] == "--sync-timeout") {
            options = {args[2], args[3]};
            args.resize(2);
        }
        const CliRun run = Run(port.Port(), args, options);
        EXPECT_EQ(run.code, c.exitCode) << "stderr: " << run.err << "\nstdout: " << run.out;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("demo1234"), std::string::npos) << "the password must never be printed";
        EXPECT_EQ(run.out.find("demo1234"), std::string::npos);
        if (c.exitCode == cli::kExitUsage) {
            EXPECT_TRUE(port.Seen().empty()) << "a usage error is found before connecting";
        }
    }
}

TEST_F(CliScriptedTest, ASyncResultWithFailuresPrintsItsCountsAndPathsAndExitsOne)
{
    ScriptedTlxspPort port([](const SeenRequest& r) {
        if (r.command == "STARTSYNC")
            return TlxspAnswer(r.command, 200);
        if (r.command == "GETSYNCED")
            return TlxspAnswer(r.command, 200, {}, kSyncResultFailed);
        return ScriptedTlxspPort::SessionAnswer(r);
    });
    const CliRun run = Run(port.Port(), {"sync", "start"});
    EXPECT_EQ(run.code, cli::kExitRefused) << run.err;
    EXPECT_EQ(run.out, "TotalCount=3\nFailCount=2\n/docs/a.txt\n/docs/b c.txt\n");
}

TEST_F(CliScriptedTest, AnUploadTheServerRefusesCountsAsFailed)
{
    const fs::path file = Local("refused.bin", "0123456789");
    ScriptedTlxspPort port([](const SeenRequest& r) {
        if (r.command == "PUTFILE__")
            return TlxspAnswer(r.command, 500, "PATH : " + r.Header("PATH").value_or("") + "\r\n");
        return ScriptedTlxspPort::SessionAnswer(r);
    });
    const CliRun run = Run(port.Port(), {"put", file.string(), "/in"});
    EXPECT_EQ(run.code, cli::kExitRefused) << run.err;
    EXPECT_NE(run.out.find("uploaded 0, failed 1"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(file.string()), std::string::npos) << run.err;
}

TEST_F(CliScriptedTest, AnUploadWhoseConnectionIsLostIsNotReportedAsUploaded)
{
    const fs::path file = Local("lost.bin", Pattern(50000));
    ScriptedTlxspPort port([](const SeenRequest& r) {
        return r.command == "PUTFILE__" ? ScriptedTlxspPort::kClose : ScriptedTlxspPort::SessionAnswer(r);
    });
    const CliRun run = Run(port.Port(), {"put", file.string(), "/in"});
    EXPECT_NE(run.code, cli::kExitOk) << run.out;
    EXPECT_EQ(run.out.find("uploaded 1"), std::string::npos) << run.out;
}

// ---- sizes at every boundary ---------------------------------------------------------------

namespace {
// Around the file piece (16,384), the size texts' units (1,024 and 1,048,576) and nothing.
const std::vector<size_t> kBoundarySizes = {0,     1,     1023,  1024,  1025,    16383,   16384,
                                            16385, 32767, 32768, 32769, 1048575, 1048576, 1048577};
} // namespace

TEST_F(CliScriptedTest, EachSizeIsAnnouncedWithItsLengthAndSentByteForByte)
{
    std::vector<std::string> args = {"put"};
    std::map<std::string, std::string> content;
    for (size_t n : kBoundarySizes) {
        const std::string name = "size-" + std::to_string(n) + ".bin";
        content[name] = Pattern(n);
        args.push_back(Local("bounds/" + name, content[name]).string());
    }
    args.push_back("/bounds");
    ScriptedTlxspPort port([](const SeenRequest& r) {
        if (r.command == "PUTFILE__")
            return TlxspAnswer(r.command, 200, "PATH : " + r.Header("PATH").value_or("") + "\r\n");
        return ScriptedTlxspPort::SessionAnswer(r);
    });
    const CliRun run = Run(port.Port(), {args});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("uploaded " + std::to_string(kBoundarySizes.size()) + ", failed 0"), std::string::npos)
        << run.out;

    const std::vector<SeenRequest> puts = port.Seen("PUTFILE__");
    ASSERT_EQ(puts.size(), kBoundarySizes.size());
    for (const SeenRequest& r : puts) {
        const std::string path = r.Header("PATH").value_or("");
        const std::string name = path.substr(path.rfind('/') + 1);
        SCOPED_TRACE(path);
        ASSERT_EQ(content.count(name), 1u);
        const std::string& bytes = content[name];
        EXPECT_EQ(path, "bounds/" + name); // no leading slash
        if (bytes.empty()) {
            EXPECT_FALSE(r.Header("DATA-LENGTH")) << "an empty file is announced without a length";
        } else {
            EXPECT_EQ(r.Header("DATA-LENGTH").value_or("none"), std::to_string(bytes.size()));
        }
        EXPECT_TRUE(r.body == bytes) << "body of " << r.body.size() << " bytes differs";
    }
}

TEST_F(CliScriptedTest, TheDevelopmentServerStoresEachSizeByteForByte)
{
    std::vector<std::string> args = {"put"};
    std::map<std::string, std::string> content;
    // The server's upload limit is part of the boundaries: at it is stored, above it is refused.
    std::vector<size_t> sizes = kBoundarySizes;
    sizes.erase(std::remove_if(sizes.begin(), sizes.end(), [](size_t n) { return n > kMaxUpload; }), sizes.end());
    sizes.push_back(kMaxUpload - 1);
    sizes.push_back(kMaxUpload);
    for (size_t n : sizes) {
        const std::string name = "stored-" + std::to_string(n) + ".bin";
        content[name] = Pattern(n);
        args.push_back(Local("stored/" + name, content[name]).string());
    }
    args.push_back("/stored");
    const CliRun run = Run(s_server->CommandPort(), {args}, {}, s_server->ControlPort());
    ASSERT_EQ(run.code, 0) << run.err;
    // The development server keeps demo's tree in a folder of its own below the root.
    fs::path stored;
    for (const auto& e : fs::recursive_directory_iterator(s_dir / "storage"))
        if (e.is_directory() && e.path().filename() == "stored")
            stored = e.path();
    ASSERT_FALSE(stored.empty());
    for (const auto& [name, bytes] : content) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(fs::exists(stored / name));
        EXPECT_EQ(fs::file_size(stored / name), bytes.size());
        EXPECT_TRUE(Read(stored / name) == bytes);
    }

    // One byte above the limit: refused, nothing stored under its name, exit 1.
    const fs::path over = Local("over/over.bin", Pattern(kMaxUpload + 1));
    const CliRun refused = Run(s_server->CommandPort(), {"put", over.string(), "/stored"}, {}, s_server->ControlPort());
    EXPECT_EQ(refused.code, cli::kExitRefused) << refused.err;
    EXPECT_NE(refused.out.find("uploaded 0, failed 1"), std::string::npos) << refused.out;
    EXPECT_FALSE(fs::exists(stored / "over.bin"));
}

// ---- polling interval ----------------------------------------------------------------------

TEST_F(CliScriptedTest, TheSyncResultIsAskedForOncePerPollInterval)
{
    std::atomic<int> asked{0};
    ScriptedTlxspPort port([&](const SeenRequest& r) {
        if (r.command == "CHECKSYNC")
            return TlxspAnswer(r.command, 200);
        if (r.command == "GETSYNCED")
            return ++asked < 4 ? TlxspAnswer(r.command, 203)
                               : TlxspAnswer(r.command, 200, {}, "[CheckSync]\r\nTotalCount=1\r\nFailCount=0\r\n");
        return ScriptedTlxspPort::SessionAnswer(r);
    });
    const int pollMs = 300;
    const CliRun run = Run(port.Port(), {"sync", "check"}, {"--poll-ms", std::to_string(pollMs)});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "TotalCount=1\nFailCount=0\n");

    const std::vector<SeenRequest> check = port.Seen("CHECKSYNC");
    const std::vector<SeenRequest> polls = port.Seen("GETSYNCED");
    ASSERT_EQ(check.size(), 1u);
    ASSERT_EQ(polls.size(), 4u) << "one GETSYNCED per 203 and one more for the result";
    auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    EXPECT_GE(ms(polls[0].at - check[0].at), pollMs - 20);
    for (size_t i = 1; i < polls.size(); ++i) {
        const auto gap = ms(polls[i].at - polls[i - 1].at);
        EXPECT_GE(gap, pollMs - 20) << "poll " << i;
        EXPECT_LT(gap, 2 * pollMs) << "poll " << i;
    }
}

// talvex-cli end to end: every command against a development server in this process, and
// every exit code of the contract.

#include "cli/options.h"
#include "devserver/server.h"
#include "devserver/server_log.h"
#include "tests/common/cli_runner.h"
#include "tests/common/loopback.h"
#include "tests/common/refusing_control_port.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace talvex;

namespace {

using test::CliRun;
using test::RunCli;

class CliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = fs::temp_directory_path() / ("talvex-cli-test-" + std::to_string(getpid()));
        fs::remove_all(s_dir);
        fs::create_directories(s_dir);
        devserver::ServerConfig config;
        config.root = (s_dir / "storage").string();
        config.webPort = config.commandPort = config.controlPort = 0;
        config.sync.delay = std::chrono::milliseconds(300);
        config.sync.failPattern = "*.syncfail";
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

    std::vector<std::string> Base(const std::string& user, const std::string& password) const
    {
        return {"--web-host", "127.0.0.1:" + std::to_string(s_server->WebPort()),
                "--command-port", std::to_string(s_server->CommandPort()),
                "--control-port", std::to_string(s_server->ControlPort()),
                "--work-dir", (s_dir / "work").string(), "--user", user, "--password", password,
                "--timeout", "20", "--poll-ms", "100"};
    }
    CliRun Cli(const std::string& user, const std::string& password, std::vector<std::string> args)
    {
        std::vector<std::string> all = Base(user, password);
        all.insert(all.end(), args.begin(), args.end());
        return RunCli(all);
    }
    CliRun Demo(std::vector<std::string> args) { return Cli("demo", "demo1234", std::move(args)); }

    static fs::path Local(const std::string& rel, const std::string& text = "hello")
    {
        const fs::path p = s_dir / "local" / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }

    static inline fs::path s_dir;
    static inline devserver::Server* s_server = nullptr;
};

} // namespace

TEST_F(CliTest, CheckPrintsTheLogonAnswerAndMapsItsRefusals)
{
    CliRun ok = Demo({"check"});
    EXPECT_EQ(ok.code, 0) << ok.err;
    EXPECT_NE(ok.out.find("HOST_IP=127.0.0.1\n"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("SERVICE_TYPE=0\n"), std::string::npos);
    EXPECT_NE(ok.out.find("USER_ROOT=/demo/\n"), std::string::npos);
    EXPECT_NE(ok.out.find("USE_DRM=0\n"), std::string::npos);

    CliRun wrong = Cli("demo", "nope", {"check"});
    EXPECT_EQ(wrong.code, cli::kExitWrongPassword);
    EXPECT_NE(wrong.err.find("암호가 일치하지 않습니다."), std::string::npos) << wrong.err;
    EXPECT_EQ(wrong.err.find("nope"), std::string::npos) << "the password must never be printed";

    EXPECT_EQ(Cli("nobody", "x", {"check"}).code, cli::kExitNoAccount);
    // The Korean account's id and password travel as CP949 bytes, also when the encoding is
    // named (in any case).
    EXPECT_EQ(Cli("홍길동", "비밀1234", {"check"}).code, 0);
    EXPECT_EQ(Cli("홍길동", "비밀1234", {"--encoding", "cp949", "check"}).code, 0);
}

TEST_F(CliTest, UnreachableServersAndBadUsageHaveTheirOwnExitCodes)
{
    // A port nothing listens on: take one and free it again.
    const int dead = test::UnusedLoopbackPort();
    CliRun logon = RunCli({"--web-host", "127.0.0.1:" + std::to_string(dead), "--user", "demo", "--password", "x",
                        "--work-dir", (s_dir / "work").string(), "check"});
    EXPECT_EQ(logon.code, cli::kExitLogonServer);
    EXPECT_NE(logon.err.find("Logon Server에 연결할 수 없습니다."), std::string::npos) << logon.err;

    std::vector<std::string> args = Base("demo", "demo1234");
    args[5] = std::to_string(dead); // --control-port
    args.push_back("ls");
    CliRun control = RunCli(args);
    EXPECT_EQ(control.code, cli::kExitConnection);
    EXPECT_NE(control.err.find("서버 점검중입니다."), std::string::npos) << control.err;

    test::RefusingControlPort refusing;
    args = Base("demo", "demo1234");
    args[5] = std::to_string(refusing.Port());
    args.push_back("ls");
    CliRun login = RunCli(args);
    EXPECT_EQ(login.code, cli::kExitLoginRefused);
    EXPECT_NE(login.err.find("ID or Password가 일치하지 않습니다"), std::string::npos) << login.err;

    EXPECT_EQ(RunCli({"--user", "demo", "frobnicate"}).code, cli::kExitUsage);
    EXPECT_EQ(RunCli({"--user", "demo", "mv", "only-one"}).code, cli::kExitUsage);
    EXPECT_EQ(RunCli({"--timeout", "zero", "--user", "demo", "ls"}).code, cli::kExitUsage);
    EXPECT_EQ(RunCli({"ls"}).code, cli::kExitUsage); // no user
}

TEST_F(CliTest, RemoteTreeCommandsWorkAndReportRefusals)
{
    ASSERT_EQ(Demo({"mkdir", "/tree"}).code, 0);
    CliRun again = Demo({"mkdir", "/tree"});
    EXPECT_EQ(again.code, cli::kExitRefused);

    const fs::path file = Local("tree/똠방각하 notes.txt", "0123456789");
    CliRun put = Demo({"put", file.string(), "/tree"});
    ASSERT_EQ(put.code, 0) << put.err;
    EXPECT_NE(put.out.find("uploaded 1, failed 0"), std::string::npos) << put.out;

    CliRun ls = Demo({"ls", "/tree"});
    ASSERT_EQ(ls.code, 0) << ls.err;
    EXPECT_NE(ls.out.find("-\t10\t"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("\t똠방각하 notes.txt\n"), std::string::npos) << ls.out;

    CliRun found = Demo({"search", "방각", "--in", "/"});
    EXPECT_EQ(found.code, 0);
    EXPECT_NE(found.out.find("똠방각하 notes.txt"), std::string::npos) << found.out;

    ASSERT_EQ(Demo({"mv", "/tree/똠방각하 notes.txt", "/tree/renamed.txt"}).code, 0);
    Demo({"put", Local("other.txt").string(), "/tree"});
    CliRun clash = Demo({"mv", "/tree/renamed.txt", "/tree/other.txt"});
    EXPECT_EQ(clash.code, cli::kExitRefused);
    EXPECT_NE(clash.err.find("대상 이름이 이미 존재합니다."), std::string::npos) << clash.err;

    CliRun rm = Demo({"rm", "/tree/renamed.txt", "/tree/other.txt"});
    EXPECT_EQ(rm.code, 0) << rm.err;
    CliRun missing = Demo({"rm", "/tree/never-there.txt"});
    EXPECT_EQ(missing.code, cli::kExitRefused);
    EXPECT_EQ(Demo({"rmdir", "/tree"}).code, 0);
    EXPECT_EQ(Demo({"ls", "/"}).out.find("tree"), std::string::npos);
}

TEST_F(CliTest, ListingsOfAFolderTheServerCannotListAreRefused)
{
    ASSERT_EQ(Demo({"mkdir", "/empty-folder"}).code, 0);
    ASSERT_EQ(Demo({"put", Local("listed.txt").string(), "/"}).code, 0);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int code;
        const char* err; // what standard error says of a refusal
    };
    const Case cases[] = {
        {"missing folder", {"ls", "/nonexistent"}, cli::kExitRefused, "talvex-cli: 파일이 존재하지 않습니다: /nonexistent\n"},
        {"above the root", {"ls", "/../.."}, cli::kExitRefused, "talvex-cli: 서버가 요청을 거절했습니다 [400]: /../..\n"},
        {"a file", {"ls", "/listed.txt"}, cli::kExitRefused, "[400]: /listed.txt"},
        {"search in a missing folder", {"search", "x", "--in", "/nonexistent"}, cli::kExitRefused,
         "talvex-cli: 파일이 존재하지 않습니다: /nonexistent\n"},
        {"empty folder", {"ls", "/empty-folder"}, cli::kExitOk, ""},
        {"search without a hit", {"search", "no-such-name", "--in", "/empty-folder"}, cli::kExitOk, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliRun run = Demo(c.args);
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_EQ(run.out, "") << "nothing to list";
        if (c.code == cli::kExitOk) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        }
    }
}

TEST_F(CliTest, PutOfAFolderCreatesEveryFolderEvenEmptyOnes)
{
    Local("album/a.jpg", "aaa");
    Local("album/sub/b.jpg", "bbbb");
    fs::create_directories(s_dir / "local" / "album" / "empty");
    Local("album/zero.bin", "");
    CliRun put = Demo({"put", (s_dir / "local" / "album").string(), "/"});
    ASSERT_EQ(put.code, 0) << put.err;
    EXPECT_NE(put.out.find("uploaded 3, failed 0"), std::string::npos) << put.out;
    CliRun ls = Demo({"ls", "/album"});
    EXPECT_NE(ls.out.find("d\t"), std::string::npos);
    EXPECT_NE(ls.out.find("\tempty\n"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("-\t0\t"), std::string::npos) << ls.out;
    EXPECT_NE(Demo({"ls", "/album/sub"}).out.find("-\t4\t"), std::string::npos);

    CliRun missing = Demo({"put", (s_dir / "local" / "no-such-file").string(), "/"});
    EXPECT_EQ(missing.code, cli::kExitRefused);
    EXPECT_NE(missing.out.find("uploaded 0, failed 1"), std::string::npos);
}

TEST_F(CliTest, SyncReportsCountsAndFailedPaths)
{
    CliRun start = Demo({"sync", "start"});
    EXPECT_EQ(start.code, 0) << start.err;
    EXPECT_NE(start.out.find("TotalCount="), std::string::npos) << start.out;
    EXPECT_NE(start.out.find("FailCount=0\n"), std::string::npos) << start.out;

    ASSERT_EQ(Demo({"put", Local("bad/x.syncfail").string(), "/bad"}).code, 0);
    CliRun check = Demo({"sync", "check", "/bad/"});
    EXPECT_EQ(check.code, cli::kExitRefused) << check.err;
    EXPECT_NE(check.out.find("FailCount=1\n"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("x.syncfail"), std::string::npos) << check.out;
}

TEST_F(CliTest, SyncServiceUploadsAreConfirmedByNoticesAndMoved)
{
    const fs::path file = Local("conf/report.doc", "content");
    const fs::path keep = s_dir / "keep";
    CliRun put = Cli("sync", "sync1234",
                  {"put", "--wait-confirm", "--move-to", keep.string(), file.string(), "/docs"});
    ASSERT_EQ(put.code, 0) << put.err;
    EXPECT_NE(put.out.find("uploaded 1, failed 0"), std::string::npos) << put.out;
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(fs::exists(keep / "docs" / "report.doc"));

    Cli("sync", "sync1234", {"mkdir", "/docs/new"});
    CliRun notices = Cli("sync", "sync1234", {"notices"});
    EXPECT_EQ(notices.code, 0) << notices.err;
    EXPECT_NE(notices.out.find("MKDIR____\t"), std::string::npos) << notices.out;
}

TEST(CliOptions, UploadsUseTheSystemTunedBufferNoLimitAndADeadPathBoundOf45SecondsUnlessTold)
{
    auto parse = [](std::vector<std::string> args, cli::Options& o) {
        std::vector<char*> argv{const_cast<char*>("talvex-cli")};
        for (std::string& a : args)
            argv.push_back(a.data());
        std::string error;
        return cli::ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
    };
    cli::Options defaults;
    ASSERT_EQ(parse({"--user", "demo", "ls"}, defaults), cli::kExitOk);
    EXPECT_EQ(defaults.sendBufferBytes, 0);
    EXPECT_EQ(defaults.uploadLimitKBps, 0);
    EXPECT_EQ(defaults.stallTimeoutSeconds, 45); // past a Wi-Fi roaming, and the 30 s outage benched
    EXPECT_EQ(defaults.timeoutSeconds, 60);

    cli::Options set;
    ASSERT_EQ(parse({"--send-buffer", "16384", "--limit-rate", "2048", "--stall-timeout", "3600", "--user", "demo", "ls"},
                    set),
              cli::kExitOk);
    EXPECT_EQ(set.sendBufferBytes, 16384);
    EXPECT_EQ(set.uploadLimitKBps, 2048);
    EXPECT_EQ(set.stallTimeoutSeconds, 3600);
    EXPECT_EQ(set.timeoutSeconds, 60) << "the dead-path bound is not the answer deadline";

    for (const char* bad : {"-1", "fast", "", "10485761"}) {
        cli::Options o;
        EXPECT_EQ(parse({"--limit-rate", bad, "--user", "demo", "ls"}, o), cli::kExitUsage) << bad;
    }
    for (const char* bad : {"0", "-5", "3601", "1.5", "soon", ""}) {
        cli::Options o;
        EXPECT_EQ(parse({"--stall-timeout", bad, "--user", "demo", "ls"}, o), cli::kExitUsage) << bad;
    }
    cli::Options missing;
    EXPECT_EQ(parse({"--user", "demo", "ls", "--limit-rate"}, missing), cli::kExitUsage);
    // "--" ends the options: the words after it are operands, "-" or not; a second "--" too.
    cli::Options dashes;
    ASSERT_EQ(parse({"--user", "demo", "put", "--", "--dash", "--", "/up"}, dashes), cli::kExitOk);
    EXPECT_EQ(dashes.args, (std::vector<std::string>{"--dash", "--", "/up"}));

    // The waits in milliseconds, as the engine takes them.
    const cli::WaitsMs byDefault = cli::WaitsOf(defaults);
    EXPECT_EQ(std::vector<int64_t>({byDefault.answer, byDefault.confirm, byDefault.stall}),
              std::vector<int64_t>({60000, 300000, 45000}));
    cli::Options waits;
    ASSERT_EQ(parse({"--timeout", "7", "--confirm-timeout", "9", "--stall-timeout", "11", "--user", "demo", "ls"}, waits),
              cli::kExitOk);
    const cli::WaitsMs told = cli::WaitsOf(waits);
    EXPECT_EQ(std::vector<int64_t>({told.answer, told.confirm, told.stall}), std::vector<int64_t>({7000, 9000, 11000}));
}

// --limit-rate is in KB/s of 1,024 bytes: counted on a set clock (starting at zero and at a
// large value) in quarter seconds, the bucket's size, eight seconds give eight times the rate.
TEST(CliOptions, ALimitRateOfOneIsExactly1024BytesASecond)
{
    class SetClock final : public Clock {
    public:
        explicit SetClock(int64_t ms) : m_ms(ms) {}
        int64_t Seconds() const override { return m_ms / 1000; }
        int64_t Ticks() const override { return m_ms; }
        int64_t TicksPerSecond() const override { return 1000; }
        int64_t m_ms;
    };
    struct Case {
        const char* kbps;
        int64_t bytesPerSecond;
    };
    for (const int64_t start : {int64_t{0}, int64_t{1} << 42})
        for (const Case c : {Case{"1", 1024}, Case{"3", 3072}, Case{"2048", 2'097'152}, Case{"0", 0}}) {
            std::vector<std::string> args = {"talvex-cli", "--limit-rate", c.kbps, "--user", "demo", "ls"};
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            cli::Options o;
            std::string error;
            ASSERT_EQ(cli::ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error), cli::kExitOk) << error;
            auto clock = std::make_shared<SetClock>(start);
            const std::shared_ptr<UploadRateLimiter> limit = cli::UploadLimitOf(o, clock);
            if (c.bytesPerSecond == 0) {
                EXPECT_EQ(limit, nullptr) << "0 is no limit";
                continue;
            }
            ASSERT_NE(limit, nullptr);
            int64_t total = 0;
            int waitMs = 0;
            for (int quarter = 0; quarter < 32; ++quarter) {
                clock->m_ms += 250;
                total += limit->Take(int64_t{1} << 40, waitMs);
            }
            EXPECT_EQ(total, 8 * c.bytesPerSecond) << "--limit-rate " << c.kbps << ", clock from " << start;
        }
}

TEST_F(CliTest, PutUnderASpeedLimitStoresEveryByte)
{
    const std::string text(200 * 1024, 'L');
    const fs::path file = Local("limited.bin", text);
    CliRun put = Demo({"--limit-rate", "1024", "--send-buffer", "16384", "put", file.string(), "/"});
    ASSERT_EQ(put.code, 0) << put.err;
    EXPECT_NE(put.out.find("uploaded 1, failed 0"), std::string::npos) << put.out;
    EXPECT_NE(Demo({"ls", "/"}).out.find("-\t204800\t"), std::string::npos);
}

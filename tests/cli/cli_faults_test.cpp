// talvex-cli against a development server that misbehaves on purpose (ServerConfig::faults):
// what a run reports must be what the server holds, and every wait must end. Each test starts
// its own server in this process with the faults it needs.

#include "cli/options.h"
#include "devserver/faults.h"
#include "devserver/server.h"
#include "devserver/server_log.h"
#include "devserver/store.h"
#include "platform/text_codec.h"
#include "protocol/message_ids.h"
#include "protocol/upload_expansion.h"
#include "protocol/upload_rate.h"
#include "protocol/upload_tracker.h"
#include "protocol/worker.h"
#include "res/string_table.h"
#include "tests/common/cli_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <future>
#include <optional>
#include <dirent.h>
#include <linux/capability.h>
#include <set>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::string Bytes(size_t n, char seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + i % 23);
    return s;
}

bool EmptyOrAbsent(const fs::path& dir)
{
    std::error_code ec;
    return !fs::exists(dir, ec) || fs::is_empty(dir, ec);
}

class CliFaultsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        dir = fs::temp_directory_path() / ("talvex-cli-faults-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        fs::remove_all(dir);
        fs::create_directories(dir);
        devserver::SetServerLogQuiet(true);
    }
    void TearDown() override
    {
        server.reset();
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }

    // A fresh server with these faults (as --fault takes them); the storage of the one before
    // stays.
    void StartServer(const std::vector<std::string>& faults = {})
    {
        server.reset();
        devserver::ServerConfig config;
        config.root = (dir / "storage").string();
        config.webPort = config.commandPort = config.controlPort = 0;
        config.sync.delay = 300ms;
        config.sync.failPattern = "*.syncfail";
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

    std::vector<std::string> Base(const std::string& user, const std::string& password, int timeout) const
    {
        return {"--web-host", "127.0.0.1:" + std::to_string(server->WebPort()),
                "--command-port", std::to_string(server->CommandPort()),
                "--control-port", std::to_string(server->ControlPort()),
                "--work-dir", (dir / "work").string(), "--user", user, "--password", password,
                "--timeout", std::to_string(timeout), "--poll-ms", "100", "--sync-timeout", "60"};
    }
    CliRun Cli(const std::string& user, std::vector<std::string> args, int timeout = 5, int limitSeconds = 40)
    {
        std::vector<std::string> all = Base(user, user + "1234", timeout);
        all.insert(all.end(), args.begin(), args.end());
        return RunCli(all, {}, limitSeconds);
    }
    CliRun Demo(std::vector<std::string> args, int timeout = 5) { return Cli("demo", std::move(args), timeout); }
    CliRun Sync(std::vector<std::string> args, int timeout = 5) { return Cli("sync", std::move(args), timeout); }

    fs::path Local(const std::string& rel, const std::string& bytes = "hello")
    {
        const fs::path p = dir / "local" / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    // A file of n bytes written without holding them all in memory.
    fs::path LocalOfSize(const std::string& rel, size_t n)
    {
        const fs::path p = dir / "local" / rel;
        fs::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary);
        const std::string block = Bytes(1 << 20, 'a');
        for (size_t left = n; left > 0;) {
            const size_t take = std::min(left, block.size());
            out.write(block.data(), static_cast<std::streamsize>(take));
            left -= take;
        }
        return p;
    }
    // Where the server keeps an account's remote path.
    fs::path Stored(const std::string& user, const std::string& remote) const
    {
        return dir / "storage" / user / fs::path(remote).relative_path();
    }

    fs::path dir;
    std::unique_ptr<devserver::Server> server;
};

} // namespace

// ---- a file that changes while it is sent ---------------------------------------------------

TEST_F(CliFaultsTest, AFileThatGrowsWhileItIsSentFailsAndIsNotMoved)
{
    StartServer();
    const fs::path file = LocalOfSize("growing.bin", 4000000);
    const fs::path keep = dir / "keep";
    // The file grows once its body is under way (the server's partial file holds bytes, at most
    // half of them: about two seconds are still to go), however long the run took to get there.
    std::atomic<bool> grown{false};
    std::atomic<bool> ended{false};
    std::thread grower([&] {
        const fs::path folder = Stored("demo", "/grow");
        while (!ended && !grown) {
            std::error_code ec;
            for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
                const uintmax_t partial = it->path().filename().string().rfind(devserver::kPartialPrefix, 0) == 0
                                              ? it->file_size(ec) : 0;
                if (!ec && partial > 0 && partial < 2000000) {
                    std::ofstream(file, std::ios::binary | std::ios::app) << Bytes(1000000, 'z');
                    grown = true;
                    break;
                }
            }
            std::this_thread::sleep_for(5ms);
        }
    });
    CliRun put = Demo({"--limit-rate", "1000", "put", "--move-to", keep.string(), file.string(), "/grow"});
    ended = true;
    grower.join();
    ASSERT_TRUE(grown) << "the file never grew while its body was under way: the case was not played\n" << put.err;
    EXPECT_EQ(LastLine(put.out), "uploaded 0, failed 1") << put.out << put.err;
    EXPECT_EQ(put.code, cli::kExitRefused) << put.err;
    EXPECT_NE(put.err.find(std::string(kTextFileChanged) + ": " + file.string()), std::string::npos) << put.err;
    ASSERT_TRUE(fs::exists(file)) << "a changed file must stay where it is";
    EXPECT_EQ(fs::file_size(file), 5000000u);
    EXPECT_TRUE(EmptyOrAbsent(keep));
}

// ---- notices: missing, late, one path twice ----------------------------------------------

TEST_F(CliFaultsTest, ConfirmationsThatNeverComeFailEachFileAfterTheConfirmTimeout)
{
    StartServer({"no-notices"});
    const fs::path keep = dir / "keep";
    const std::vector<fs::path> files = {Local("c/one.txt", "1"), Local("c/two.txt", "22"), Local("c/three.txt", "333")};
    const auto start = SteadyClock::now();
    CliRun put = Sync({"put", "--wait-confirm", "--confirm-timeout", "2", "--move-to", keep.string(), files[0].string(),
                       files[1].string(), files[2].string(), "/c"});
    const double took = SecondsSince(start);
    EXPECT_LT(took, 8.0) << "the confirm time-out, not the sync time-out, ends the wait";
    EXPECT_GE(took, 1.9);
    EXPECT_EQ(LastLine(put.out), "uploaded 0, failed 3") << put.out << put.err;
    EXPECT_EQ(put.code, cli::kExitRefused) << put.err;
    for (const fs::path& f : files) {
        EXPECT_NE(put.err.find(std::string(kTextUnconfirmed) + ": " + f.string()), std::string::npos) << put.err;
        EXPECT_TRUE(fs::exists(f)) << f;
    }
    EXPECT_TRUE(EmptyOrAbsent(keep));
}

TEST_F(CliFaultsTest, TwoUploadsOfOneRemotePathAreSentOneAfterTheOtherSettled)
{
    // Each answer comes 700 ms late: sent together, both would be settled in about that time;
    // one after the other settled, the run needs two of them.
    StartServer({"answer-late:700@x.txt"});
    const fs::path first = Local("a/x.txt", "first copy");
    const fs::path second = Local("b/x.txt", "the second copy");
    const auto start = SteadyClock::now();
    CliRun put = Sync({"put", "--wait-confirm", first.string(), second.string(), "/same"});
    const double took = SecondsSince(start);
    EXPECT_EQ(LastLine(put.out), "uploaded 2, failed 0") << put.out << put.err;
    EXPECT_EQ(put.code, 0) << put.err;
    EXPECT_GE(took, 1.4) << "the second copy went out before the first was settled";
    EXPECT_EQ(ReadAll(Stored("sync", "/same/x.txt")), "the second copy");
    // Both notices were used by the run: none is left for another client.
    CliRun notices = Sync({"notices"});
    EXPECT_EQ(notices.code, 0) << notices.err;
    EXPECT_EQ(notices.out.find("same/x.txt"), std::string::npos) << notices.out;
}

TEST_F(CliFaultsTest, OnASyncServiceAccountMoveToWaitsForTheNotice)
{
    StartServer();
    const fs::path keep = dir / "keep";
    const fs::path good = Local("m/good.txt", "good");
    const fs::path bad = Local("m/bad.syncfail", "refused by its notice");
    CliRun put = Sync({"put", "--move-to", keep.string(), good.string(), bad.string(), "/m"});
    EXPECT_EQ(LastLine(put.out), "uploaded 1, failed 1") << put.out << put.err;
    EXPECT_EQ(put.code, cli::kExitRefused) << put.err;
    EXPECT_FALSE(fs::exists(good));
    EXPECT_TRUE(fs::exists(keep / "m" / "good.txt"));
    // Answered 200, then its notice said 500: stored by nobody's account, so it stays.
    EXPECT_TRUE(fs::exists(bad));
    EXPECT_FALSE(fs::exists(keep / "m" / "bad.syncfail"));
    EXPECT_NE(put.err.find("(500): " + bad.string()), std::string::npos) << put.err;

    StartServer({"no-notices"});
    const fs::path waiting = Local("m/waiting.txt", "never confirmed");
    const auto start = SteadyClock::now();
    CliRun silent = Sync({"put", "--confirm-timeout", "2", "--move-to", keep.string(), waiting.string(), "/m"});
    EXPECT_LT(SecondsSince(start), 8.0);
    EXPECT_EQ(LastLine(silent.out), "uploaded 0, failed 1") << silent.out << silent.err;
    EXPECT_EQ(silent.code, cli::kExitRefused) << silent.err;
    EXPECT_TRUE(fs::exists(waiting));
    EXPECT_FALSE(fs::exists(keep / "m" / "waiting.txt"));
    EXPECT_NE(silent.err.find(std::string(kTextUnconfirmed) + ": " + waiting.string()), std::string::npos) << silent.err;
}

// ---- answers that come with a close, too early, too late or not at all ----------------------

// An answer followed by a close, with one file a connection or several: the fault matrix
// (tests/sync/fault_matrix_test.cpp) plays it through talvex-cli and the window alike.

TEST_F(CliFaultsTest, ARefusalDuringABigBodyEndsThatFileAndTheNextGoesOnANewChannel)
{
    StartServer({"refuse-after-header@big.bin"});
    const fs::path big = LocalOfSize("r/big.bin", 50 << 20);
    const fs::path small = Local("r/small.txt", "small one");
    const auto start = SteadyClock::now();
    CliRun put = Demo({"put", big.string(), small.string(), "/r"}, 20);
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_EQ(LastLine(put.out), "uploaded 1, failed 1") << put.out << put.err;
    EXPECT_EQ(put.code, cli::kExitRefused) << put.err;
    EXPECT_NE(put.err.find(std::string(kTextRefused) + " (500): " + big.string()), std::string::npos) << put.err;
    EXPECT_FALSE(fs::exists(Stored("demo", "/r/big.bin")));
    EXPECT_EQ(ReadAll(Stored("demo", "/r/small.txt")), "small one");
}

TEST_F(CliFaultsTest, AConnectionResetDuringABodyFailsThatFileAndTheNextStillGoesUp)
{
    StartServer({"drop-after:65536@big.bin"});
    const fs::path big = LocalOfSize("d/big.bin", 8 << 20);
    const fs::path small = Local("d/small.txt", "after the reset");
    CliRun put = Demo({"put", big.string(), small.string(), "/d"});
    EXPECT_EQ(LastLine(put.out), "uploaded 1, failed 1") << put.out << put.err;
    EXPECT_NE(put.code, 0) << put.err;
    EXPECT_NE(put.err.find(big.string()), std::string::npos) << put.err;
    EXPECT_FALSE(fs::exists(Stored("demo", "/d/big.bin")));
    EXPECT_EQ(ReadAll(Stored("demo", "/d/small.txt")), "after the reset");
}

TEST_F(CliFaultsTest, AnswersForOtherPathsDoNotKeepAnUnansweredUploadAlive)
{
    StartServer({"unrelated-answers:1000"});
    const fs::path file = Local("u/lonely.txt", "never answered");
    const auto start = SteadyClock::now();
    CliRun put = Demo({"put", file.string(), "/u"}, 3);
    const double took = SecondsSince(start);
    EXPECT_GE(took, 2.5);
    EXPECT_LT(took, 7.0) << "answers for other paths reset the time-out";
    EXPECT_EQ(put.code, cli::kExitConnection) << put.out << put.err;
    EXPECT_EQ(LastLine(put.out), "uploaded 0, failed 1") << put.out;
    EXPECT_NE(put.err.find(std::string(kTextNoAnswer) + ": " + file.string()), std::string::npos) << put.err;
}

TEST_F(CliFaultsTest, ALoginThatIsNeverAnsweredTimesOut)
{
    StartServer({"login-silent"});
    const auto start = SteadyClock::now();
    CliRun ls = Demo({"ls"}, 2);
    EXPECT_LT(SecondsSince(start), 6.0);
    EXPECT_EQ(ls.code, cli::kExitConnection) << ls.err;
}

// ---- entries that cannot be read -----------------------------------------------------------

namespace {

// Runs talvex-cli without the power to pass over file permissions. As root that is a thread
// whose bounding set lacks the capabilities that ignore them (a child's privileges on exec come
// from that set) and whose own effective set lacks them too, so that it can check the effect
// on `locked` first. Nothing when that cannot be arranged.
std::optional<CliRun> RunCliHonouringPermissions(const std::vector<std::string>& args, const fs::path& locked)
{
    if (::geteuid() != 0)
        return RunCli(args);
    std::optional<CliRun> run;
    std::thread([&] {
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
            if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
                return;
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) != 0)
            return;
        const uint32_t dac = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
        data[0].effective &= ~dac;
        data[0].permitted &= ~dac;
        data[0].inheritable &= ~dac;
        if (::syscall(SYS_capset, &header, data) != 0)
            return;
        if (DIR* d = ::opendir(locked.c_str())) {
            ::closedir(d); // still readable: the permissions do not apply here
            return;
        }
        run = RunCli(args);
    }).join();
    return run;
}

} // namespace

TEST_F(CliFaultsTest, AnEntryWhoseKindCannotBeToldFailsWithItsPathAndReason)
{
    // A link to itself cannot be followed (ELOOP), also for root.
    StartServer();
    Local("loopy/fine.txt", "fine");
    const fs::path loop = dir / "local" / "loopy" / "self";
    fs::create_symlink("self", loop);
    CliRun put = Demo({"put", (dir / "local" / "loopy").string(), "/"});
    EXPECT_EQ(LastLine(put.out), "uploaded 1, failed 1") << put.out << put.err;
    EXPECT_EQ(put.code, cli::kExitRefused) << put.err;
    EXPECT_NE(put.err.find(std::string(kTextQueueReadError) + " (" + std::strerror(ELOOP) + "): " + loop.string()),
              std::string::npos)
        << put.err;
    EXPECT_TRUE(fs::exists(Stored("demo", "/loopy/fine.txt")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Stored("demo", "/loopy/self"))));
}

TEST_F(CliFaultsTest, AnUnreadableSubfolderFailsWithItsReasonAndIsNotCreatedEmpty)
{
    StartServer();
    Local("album/a.jpg", "aaa");
    Local("album/locked/hidden.jpg", "hidden");
    const fs::path locked = dir / "local" / "album" / "locked";
    fs::permissions(locked, fs::perms::none);
    std::vector<std::string> args = Base("demo", "demo1234", 5);
    args.insert(args.end(), {"put", (dir / "local" / "album").string(), "/"});
    std::optional<CliRun> put = RunCliHonouringPermissions(args, locked);
    fs::permissions(locked, fs::perms::owner_all);
    if (!put)
        GTEST_SKIP() << "running as root, and permissions cannot be made to apply to a child here; the "
                        "link-to-itself case covers entries that cannot be read";
    EXPECT_EQ(LastLine(put->out), "uploaded 1, failed 1") << put->out << put->err;
    EXPECT_EQ(put->code, cli::kExitRefused) << put->err;
    EXPECT_NE(put->err.find(std::string(kTextQueueReadError) + " (" + std::strerror(EACCES) + "): " + locked.string()),
              std::string::npos)
        << put->err;
    EXPECT_TRUE(fs::exists(Stored("demo", "/album/a.jpg")));
    EXPECT_FALSE(fs::exists(Stored("demo", "/album/locked"))) << "an unreadable folder must not appear empty";
}

// ---- a dry run ---------------------------------------------------------------------------------

TEST_F(CliFaultsTest, ADryRunSendsAndJournalsNothingAndPredictsTheRunsLocalFailures)
{
    StartServer();
    Local("dry/a.txt", "a");
    Local("dry/sub/b.txt", "bb");
    Local("dry/smile\xF0\x9F\x98\x80.txt", "not on the wire");
    ASSERT_EQ(::mkfifo((dir / "local" / "dry" / "pipe").c_str(), 0644), 0);
    fs::create_symlink(dir / "nowhere", dir / "local" / "dry" / "dangling");
    const std::vector<std::string> sources = {(dir / "local" / "dry").string(), (dir / "local" / "missing").string()};
    auto put = [&](bool dry) {
        std::vector<std::string> args = {"put"};
        if (dry)
            args.push_back("--dry-run");
        args.insert(args.end(), sources.begin(), sources.end());
        args.push_back("/dry");
        return Demo(args);
    };
    // Its failure lines, in any order.
    auto failures = [](const std::string& err) {
        std::multiset<std::string> lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);)
            lines.insert(line);
        return lines;
    };
    const CliRun dry = put(true);
    EXPECT_EQ(dry.code, cli::kExitRefused) << dry.err;
    EXPECT_EQ(LastLine(dry.out), "would upload 2 (3 bytes), would fail 4") << dry.out;
    EXPECT_NE(dry.out.find("2\t" + (dir / "local" / "dry" / "sub" / "b.txt").string() + "\t/dry/dry/sub/b.txt"),
              std::string::npos)
        << dry.out;
    EXPECT_TRUE(EmptyOrAbsent(dir / "storage" / "demo")) << "a dry run sent something";
    for (const auto& entry : fs::recursive_directory_iterator(dir / "work"))
        EXPECT_NE(entry.path().extension(), ".sqlite") << "a dry run wrote a journal: " << entry.path();

    const CliRun real = put(false);
    EXPECT_EQ(real.code, dry.code) << real.err;
    EXPECT_EQ(LastLine(real.out), "uploaded 2, failed 4") << real.out;
    EXPECT_EQ(failures(real.err), failures(dry.err));
    EXPECT_EQ(ReadAll(Stored("demo", "/dry/dry/sub/b.txt")), "bb");
}

// ---- JSON for scripts ----------------------------------------------------------------------------

TEST_F(CliFaultsTest, JsonOutputIsPinnedKeyForKeyForAKnownServer)
{
    ::setenv("TZ", "UTC0", 1); // the listing's times carry this machine's offset
    ::tzset();
    StartServer();
    using nlohmann::json;
    // A known remote tree: a file of 5 bytes and a folder, both of a fixed time.
    const fs::path a = Stored("demo", "/j/a.txt"), sub = Stored("demo", "/j/sub");
    fs::create_directories(sub);
    std::ofstream(a) << "hello";
    const timespec when[2] = {{1767323045, 0}, {1767323045, 0}}; // 2026-01-02 03:04:05 UTC
    for (const fs::path& p : {a, sub})
        ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), when, 0), 0);
    auto lines = [](const std::string& out) {
        std::vector<json> parsed;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            parsed.push_back(json::parse(line)); // throws, failing the test, on anything but JSON
        return parsed;
    };
    // A "change" line of the schema: null for "to" or "status" where the line has none.
    const auto Change = [](const char* command, const char* path, json to, const char* outcome, json status) {
        return json{{"type", "change"}, {"version", 1}, {"command", command}, {"path", path}, {"to", to},
                    {"outcome", outcome}, {"status", status}};
    };
    const fs::path local = Local("x.txt", "12345");
    const struct {
        std::vector<std::string> args;
        int code;
        std::vector<json> out;
    } cases[] = {
        {{"--json", "ls", "/j"},
         0,
         {{{"type", "entry"}, {"version", 1}, {"name", "a.txt"}, {"path", "/j/a.txt"}, {"kind", "file"}, {"size", 5},
           {"modified", "2026-01-02T03:04:05+00:00"}},
          {{"type", "entry"}, {"version", 1}, {"name", "sub"}, {"path", "/j/sub"}, {"kind", "folder"}, {"size", 0},
           {"modified", "2026-01-02T03:04:05+00:00"}}}},
        {{"check", "--json"},
         0,
         {{{"type", "account"}, {"version", 1}, {"host_ip", "127.0.0.1"}, {"service_type", 0}, {"user_root", "/demo/"},
           {"serviceset_id", "devset"}, {"use_drm", 0}}}},
        {{"--json", "put", local.string(), "/j2"},
         0,
         {{{"type", "file"}, {"version", 1}, {"local", local.string()}, {"remote", "/j2/x.txt"}, {"bytes", 5},
           {"outcome", "uploaded"}, {"reason_code", nullptr}, {"reason", nullptr}, {"moved_to", nullptr}},
          {{"type", "summary"}, {"version", 1}, {"uploaded", 1}, {"failed", 0}, {"bytes", 5}, {"seconds", 0},
           {"exit_code", 0}}}},
        {{"--json", "put", "--dry-run", local.string(), "/j3"},
         0,
         {{{"type", "planned"}, {"version", 1}, {"local", local.string()}, {"remote", "/j3/x.txt"}, {"kind", "file"},
           {"bytes", 5}},
          {{"type", "dry-run-summary"}, {"version", 1}, {"would_upload", 1}, {"bytes", 5}, {"would_fail", 0},
           {"exit_code", 0}}}},
        {{"--json", "mkdir", "/j4"},
         0,
         {Change("mkdir", "/j4", nullptr, "done", 200)}},
        {{"--json", "mkdir", "/j4"},
         cli::kExitRefused,
         {Change("mkdir", "/j4", nullptr, "refused", 409)}},
        {{"--json", "mv", "--dry-run", "/j2/x.txt", "/j/a.txt"},
         cli::kExitRefused,
         {Change("mv", "/j2/x.txt", "/j/a.txt", "would-fail", nullptr)}},
        {{"--json", "rm", "--dry-run", "/j2/x.txt", "/j/sub"},
         cli::kExitRefused,
         {Change("rm", "/j2/x.txt", nullptr, "would-change", nullptr),
          Change("rm", "/j/sub", nullptr, "would-fail", nullptr)}},
        {{"--json", "mv", "/j2/x.txt", "/j2/y.txt"},
         0,
         {Change("mv", "/j2/x.txt", "/j2/y.txt", "done", 200)}},
        {{"--json", "rm", "/j2/y.txt", "/j2/none.txt"},
         cli::kExitRefused,
         {Change("rm", "/j2/y.txt", nullptr, "done", nullptr),
          Change("rm", "/j2/none.txt", nullptr, "refused", nullptr)}},
        {{"--json", "sync", "check", "/j"},
         0,
         {{{"type", "sync-result"}, {"version", 1}, {"job", "check"}, {"total", 1}, {"failed", 0},
           {"failed_paths", json::array()}}}},
        {{"--json", "ls", "/not-there"}, cli::kExitRefused, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        const CliRun run = Demo(c.args);
        EXPECT_EQ(run.code, c.code) << run.err;
        std::vector<json> got = lines(run.out);
        if (c.args[1] == "ls")
            std::sort(got.begin(), got.end(), [](const json& x, const json& y) { return x["name"] < y["name"]; });
        // Progress comes as the clock allows: its keys are pinned, its place and numbers are not.
        std::erase_if(got, [](const json& object) {
            if (object["type"] != "progress")
                return false;
            std::vector<std::string> keys;
            for (const auto& [key, value] : object.items())
                keys.push_back(key);
            std::sort(keys.begin(), keys.end());
            EXPECT_EQ(keys, (std::vector<std::string>{"bytes_done", "bytes_total", "files_done", "files_total", "rate",
                                                      "type", "version"}));
            return true;
        });
        for (json& object : got)
            if (object.contains("seconds"))
                object["seconds"] = 0; // the one value a run cannot know in advance
        EXPECT_EQ(got, c.out) << run.out;
        if (c.code != 0) {
            // A failed run ends with an error object on standard error, after the human text.
            const json error = json::parse(LastLine(run.err));
            EXPECT_EQ(error["type"], "error");
            EXPECT_EQ(error["code"], "refused");
            EXPECT_EQ(error["exit_code"], c.code);
            EXPECT_FALSE(error["message"].get<std::string>().empty());
        }
    }
    EXPECT_FALSE(fs::exists(Stored("demo", "/j3"))) << "a dry run sent something";
    ASSERT_EQ(Sync({"put", local.string(), "/n"}).code, 0);
    EXPECT_EQ(lines(Sync({"--json", "notices"}).out),
              (std::vector<json>{{{"type", "notice"}, {"version", 1}, {"number", 200}, {"command", "PUTFILE__"},
                                  {"path", "n/x.txt"}}}));
    // The offset is this machine's (the listing's time has no zone; server and client share one
    // here): east, west and the date line of the same instant.
    for (const auto& [zone, modified] : std::vector<std::pair<const char*, const char*>>{
             {"KST-9", "2026-01-02T12:04:05+09:00"}, {"EST5", "2026-01-01T22:04:05-05:00"},
             {"NPT-5:45", "2026-01-02T08:49:05+05:45"}}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        const std::vector<json> got = lines(Demo({"--json", "ls", "/j"}).out);
        ASSERT_EQ(got.size(), 2u) << zone;
        EXPECT_EQ(got[0]["modified"], modified) << zone;
    }
    ::unsetenv("TZ");
    ::tzset();
}

TEST_F(CliFaultsTest, TheReadmesScriptReadsTheSummaryAndActsOnTheExitCode)
{
    StartServer();
    Local("report/a.txt", "a");
    ASSERT_EQ(::mkfifo((dir / "local" / "report" / "pipe").c_str(), 0644), 0);
    std::vector<std::string> options = Base("demo", "demo1234", 5);
    const CliRun run = test::RunCli(options, {}, 40,
                                    {"/bin/sh", TALVEX_EXAMPLES_DIR "/upload-report.sh", (dir / "local" / "report").string(), "/r"});
    EXPECT_EQ(run.code, cli::kExitRefused) << run.err;
    EXPECT_EQ(run.out, "1 uploaded, 1 failed\n") << run.err;
    EXPECT_NE(run.err.find("not-a-file\t" + (dir / "local" / "report" / "pipe").string()), std::string::npos) << run.err;
    EXPECT_EQ(ReadAll(Stored("demo", "/r/report/a.txt")), "a");
}

// ---- parallel runs sharing a work folder -------------------------------------------------------

TEST_F(CliFaultsTest, ParallelListingsWithOneWorkFolderEachSeeTheirOwnFolder)
{
    StartServer();
    constexpr int kRuns = 8;
    for (int k = 1; k <= kRuns; ++k) {
        const fs::path folder = Stored("demo", "/list" + std::to_string(k));
        fs::create_directories(folder);
        for (int i = 0; i < 10 * k; ++i)
            std::ofstream(folder / (std::to_string(k) + "-" + std::to_string(i) + ".txt")) << "x";
    }

    std::vector<std::future<CliRun>> runs;
    for (int k = 1; k <= kRuns; ++k)
        runs.push_back(std::async(std::launch::async, [this, k] { return Demo({"ls", "/list" + std::to_string(k)}); }));
    for (int k = 1; k <= kRuns; ++k) {
        CliRun ls = runs[k - 1].get();
        ASSERT_EQ(ls.code, 0) << k << ": " << ls.err;
        std::set<std::string> names;
        std::istringstream lines(ls.out);
        for (std::string line; std::getline(lines, line);)
            names.insert(line.substr(line.rfind('\t') + 1));
        std::set<std::string> expected;
        for (int i = 0; i < 10 * k; ++i)
            expected.insert(std::to_string(k) + "-" + std::to_string(i) + ".txt");
        EXPECT_EQ(names, expected) << "run " << k << ":\n" << ls.out;
        EXPECT_EQ(Count(ls.out, "\n"), static_cast<size_t>(10 * k));
    }
    for (const auto& entry : fs::directory_iterator(dir / "work"))
        EXPECT_NE(entry.path().filename().string().rfind("run-", 0), 0u) << "left behind: " << entry.path();
}

// ---- the engine: a cancel reads the answers of the files sent whole ----------------------------

TEST_F(CliFaultsTest, ACancelDuringABigFileStillTakesTheLateAnswersOfTheFilesBeforeIt)
{
    StartServer({"answer-late:1500"});
    SetWireEncoding("CP949");
    BlockingReportQueue controlReports;
    BlockingReportQueue uploadReports;
    CChannelStartInfo base;
    base.host = "127.0.0.1";
    base.workDir = (dir / "work").string() + "/";
    fs::create_directories(base.workDir);

    CChannelStartInfo controlInfo = base;
    controlInfo.port = server->ControlPort();
    std::unique_ptr<Worker> control = StartControlSession(controlInfo, controlReports);
    std::string session;
    for (auto deadline = SteadyClock::now() + 5s; session.empty() && SteadyClock::now() < deadline;) {
        std::optional<Report> r = controlReports.Next(500ms);
        if (!r)
            continue;
        if (r->message == UM_CONTROL_CONNECTED)
            control->Post(UM_LOGIN, std::make_unique<CThreadCommand>(CThreadCommand{UM_LOGIN, "demo", "demo1234"}));
        if (r->message == UM_LOGIN_RESULT && r->response && r->response->statusCode == 200)
            session = r->response->sessionId;
    }
    ASSERT_FALSE(session.empty());

    CChannelStartInfo info = base;
    info.port = server->CommandPort();
    info.sessionId = session;
    info.messageNumber = kUploadMessageBase + 1;
    info.answerWaitMs = 8000;
    info.rateLimit = std::make_shared<UploadRateLimiter>(UploadRateLimiter::FromKBps(4000)); // 20 MB: about 5 s
    std::unique_ptr<Worker> upload = StartUploadChannel(info, uploadReports);

    CUploadTracker tracker(false);
    std::vector<std::shared_ptr<CUploadRequest>> requests;
    for (int i = 0; i < 5; ++i) {
        auto r = std::make_shared<CUploadRequest>();
        r->localPath = Local("late/s" + std::to_string(i) + ".txt", "small " + std::to_string(i)).string();
        r->remotePath = "late/s" + std::to_string(i) + ".txt";
        r->size = static_cast<int64_t>(fs::file_size(r->localPath));
        requests.push_back(r);
    }
    auto big = std::make_shared<CUploadRequest>();
    big->localPath = LocalOfSize("late/big.bin", 20 << 20).string();
    big->remotePath = "late/big.bin";
    big->size = 20 << 20;
    requests.push_back(big);

    std::optional<Report> connected = uploadReports.Next(5s);
    ASSERT_TRUE(connected);
    ASSERT_EQ(connected->code, UE_CONNECTED);
    for (const auto& r : requests) {
        tracker.Add(r);
        tracker.Sending(r, info.messageNumber);
        upload->PostUpload(r);
    }

    std::vector<int32_t> codes; // the channel's reports after the cancel, progress left out
    bool cancelPosted = false;
    bool reset = false;
    const auto start = SteadyClock::now();
    while (!reset && SecondsSince(start) < 15) {
        std::optional<Report> r = uploadReports.Next(500ms);
        if (!r)
            continue;
        if (r->code == UE_PROGRESS && r->request == nullptr && !cancelPosted && r->progress &&
            r->progress->sent > (1 << 20)) {
            upload->Cancel(); // about a quarter of a second into the big file's body
            cancelPosted = true;
        }
        if (cancelPosted && r->code != UE_PROGRESS)
            codes.push_back(r->code);
        if (r->code == UE_RESET && !r->request)
            reset = true;
        tracker.Apply(*r);
    }
    ASSERT_TRUE(cancelPosted) << "the big file's body never got going";
    EXPECT_TRUE(reset) << "the channel never ended its connection";
    EXPECT_EQ(tracker.Confirmed(), 5u) << "the answers to the files sent whole were lost";
    EXPECT_EQ(tracker.Cancelled(), 1u);
    EXPECT_EQ(tracker.Failed(), 0u);
    EXPECT_EQ(tracker.Unsettled(), 0u);
    // Whatever of the answers came before the cancel, the reset comes after all of them.
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.back(), UE_RESET);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(fs::exists(Stored("demo", "/late/s" + std::to_string(i) + ".txt")));
    EXPECT_FALSE(fs::exists(Stored("demo", "/late/big.bin")));
    upload.reset();
    control.reset();
}

// ---- deadlines that time the right thing ----------------------------------------------------

TEST_F(CliFaultsTest, AConfirmClockRunsOnlyWhileNoticesAreAskedForNotWhileFilesAreSent)
{
    // Four files that take about 8 s to send on a sync account, each confirmed by its notice
    // soon after its answer, with a confirm time-out of 3 s: the files answered first wait for
    // their notices while the rest is still going out, and none of them fails for it.
    StartServer();
    const fs::path keep = dir / "keep";
    std::vector<std::string> args = {"--limit-rate", "100", "put", "--move-to", keep.string(), "--confirm-timeout", "3"};
    for (int i = 0; i < 4; ++i)
        args.push_back(Local("slow/f" + std::to_string(i) + ".bin", Bytes(200 * 1024, static_cast<char>('a' + i))).string());
    args.push_back("/slow");
    const auto start = SteadyClock::now();
    CliRun put = Cli("sync", args, 20, 60);
    ASSERT_GT(SecondsSince(start), 6.0) << "the files went out too fast to play the case";
    EXPECT_EQ(LastLine(put.out), "uploaded 4, failed 0") << put.out << put.err;
    EXPECT_EQ(put.code, 0) << put.err;
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(ReadAll(keep / "slow" / ("f" + std::to_string(i) + ".bin")) == Bytes(200 * 1024, static_cast<char>('a' + i))) << i;
}

TEST_F(CliFaultsTest, FilesBehindARefusedBodyTheServerLeftUnreadGoAgainOnANewConnection)
{
    // The server answers s1 with 500 at its header and reads nothing more of that connection:
    // s2 and s3, sent behind it, go again on a new one within a few round trips.
    for (const std::string user : {"demo", "sync"}) {
        StartServer({"refuse-after-header@s1.txt"});
        std::vector<std::string> args = {"put", "--retries", "2"};
        for (int i = 1; i <= 3; ++i)
            args.push_back(Local(user + "/s" + std::to_string(i) + ".txt", "small " + std::to_string(i)).string());
        args.push_back("/" + user);
        const auto start = SteadyClock::now();
        CliRun put = Cli(user, args, 20, 60);
        EXPECT_LT(SecondsSince(start), 15.0) << user << ": waited for the answer time-out (20 s)";
        EXPECT_EQ(LastLine(put.out), "uploaded 2, failed 1") << user << put.out << put.err;
        EXPECT_EQ(put.code, cli::kExitRefused) << user << put.err;
        EXPECT_EQ(put.err.find("다시 연결합니다"), std::string::npos) << "no reconnect is needed: " << put.err;
        EXPECT_FALSE(fs::exists(Stored(user, "/" + user + "/s1.txt")));
        for (int i = 2; i <= 3; ++i)
            EXPECT_EQ(ReadAll(Stored(user, "/" + user + "/s" + std::to_string(i) + ".txt")), "small " + std::to_string(i));
    }
}

TEST_F(CliFaultsTest, AReconnectAfterAServerThatStopsReadingComesAtTheTimeOutNotAMinuteLater)
{
    StartServer({"never-read@big.bin"});
    const fs::path big = LocalOfSize("n/big.bin", 32 << 20);
    const auto start = SteadyClock::now();
    CliRun put = Demo({"put", "--retries", "1", big.string(), "/n"}, 4);
    const double took = SecondsSince(start);
    // Two attempts of 4 s each and a delay of 1 s between them, not a 60 s wait inside the
    // channel being replaced.
    EXPECT_LT(took, 25.0) << put.err;
    EXPECT_NE(put.err.find("1초 뒤 다시 연결합니다"), std::string::npos) << put.err;
    EXPECT_EQ(put.code, cli::kExitConnection) << put.out << put.err;
    EXPECT_FALSE(fs::exists(Stored("demo", "/n/big.bin")));
}

// ---- answers of the command line --------------------------------------------------------------

TEST_F(CliFaultsTest, EveryAnswerOfPutIsTrue)
{
    StartServer();
    // --wait-confirm on an account that gets no notices: the answer is the evidence, said once.
    {
        const auto start = SteadyClock::now();
        CliRun put = Demo({"put", "--wait-confirm", "--confirm-timeout", "30", Local("w/a.txt").string(),
                           Local("w/b.txt").string(), "/w"});
        EXPECT_LT(SecondsSince(start), 20.0) << "waited for notices that never come";
        EXPECT_EQ(LastLine(put.out), "uploaded 2, failed 0") << put.out << put.err;
        EXPECT_EQ(put.code, 0) << put.err;
        EXPECT_EQ(Count(put.err, "--wait-confirm"), 1u) << put.err;
    }
    // "..", "." and "a/.." go up under their real names.
    {
        Local("up/real/inner/f.txt", "inner");
        Local("up/real/g.txt", "g");
        const fs::path before = fs::current_path();
        fs::current_path(dir / "local" / "up" / "real" / "inner");
        CliRun parent = Demo({"put", "..", "/dots"});
        CliRun self = Demo({"put", ".", "/dots2"});
        CliRun climb = Demo({"put", "../inner/..", "/dots3"});
        fs::current_path(before);
        EXPECT_EQ(parent.code, 0) << parent.err;
        EXPECT_EQ(ReadAll(Stored("demo", "/dots/real/inner/f.txt")), "inner");
        EXPECT_EQ(ReadAll(Stored("demo", "/dots/real/g.txt")), "g");
        EXPECT_EQ(self.code, 0) << self.err;
        EXPECT_EQ(ReadAll(Stored("demo", "/dots2/inner/f.txt")), "inner");
        EXPECT_EQ(climb.code, 0) << climb.err;
        EXPECT_EQ(ReadAll(Stored("demo", "/dots3/real/g.txt")), "g");
    }
    // A move that fails after the upload: uploaded, and a non-zero exit.
    {
        const fs::path notAFolder = Local("m/taken", "a file where the move folder should be");
        CliRun put = Demo({"put", "--move-to", notAFolder.string(), Local("m/f.txt", "moving").string(), "/m"});
        EXPECT_EQ(LastLine(put.out), "uploaded 1, failed 0") << put.out << put.err;
        EXPECT_EQ(put.code, cli::kExitRefused) << put.err;
        EXPECT_NE(put.err.find("옮기지 못했습니다"), std::string::npos) << put.err;
        EXPECT_EQ(ReadAll(Stored("demo", "/m/f.txt")), "moving");
        EXPECT_TRUE(fs::exists(dir / "local" / "m" / "f.txt")) << "the file stays where it was";
    }
    // Names the wire cannot carry: each fails with its own reason; the rest goes up.
    {
        const fs::path emoji = Local("n/smile\xF0\x9F\x98\x80.txt", "e");
        const fs::path invalid = Local("n/bad\xFF\xFE.txt", "i");
        const fs::path fine = Local("n/fine.txt", "f");
        CliRun put = Demo({"put", emoji.string(), invalid.string(), fine.string(), "/n"});
        EXPECT_EQ(LastLine(put.out), "uploaded 1, failed 2") << put.out << put.err;
        EXPECT_EQ(Count(put.err, std::string(kTextNameNotWritable) + ": "), 2u) << put.err;
        EXPECT_EQ(ReadAll(Stored("demo", "/n/fine.txt")), "f");
        CliRun longPath = Demo({"put", fine.string(), "/" + std::string(18 * 1024, 'p')});
        EXPECT_NE(longPath.err.find(std::string(kTextPathTooLong) + ": " + fine.string()), std::string::npos) << longPath.err;
        EXPECT_EQ(LastLine(longPath.out), "uploaded 0, failed 1") << longPath.out << longPath.err;
    }
}

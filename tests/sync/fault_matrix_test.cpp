// One table of faults played through both front-ends: talvex-cli put and the window's upload
// queue (one channel and two), against a development server that misbehaves on purpose or a
// disk that changes under the files. Each row says what must be true at the end: which files
// the server holds with which bytes, and what each file was counted (uploaded, or failed with
// which reason); every front-end must end there, and 전체 = 완료 + 실패 in the window.

#include "app/client_session.h"
#include "devserver/faults.h"
#include "devserver/server_log.h"
#include "devserver/store.h"
#include "protocol/upload_tracker.h"
#include "res/string_table.h"
#include "sync/main_frame.h"
#include "sync/option_dlg.h"
#include "sync/upload_queue.h"
#include "tests/common/frame_fixture.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <map>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace talvex;
using namespace std::chrono_literals;

namespace {

// What happens to t1 once the first lead file's body is under way (before t1's turn).
enum class Change { None, Grown, Shrunk, Rewritten, Replaced, Unreadable, Vanished, Fifo, FifoFromStart };

struct Row {
    const char* name;
    const char* fault; // the development server's --fault; "" none
    const char* user;
    Change change;
    int files;       // t0 ... t(n-1), each of `bytes` bytes
    int64_t bytes;
    // Per file: "new" (stored with t1's new content), "old" (stored as queued), or a failure's
    // words as both front-ends print them; files not named: stored as queued.
    std::map<std::string, std::string> expect;
};

const std::string kNew = "new", kOld = "old";
const std::string kSendFailed = kTextQueueSendFailed;
const std::string kReadFailedAccess = UploadFailureReason(UploadFailure::ReadError, EACCES);
const std::string kReadFailedGone = UploadFailureReason(UploadFailure::ReadError, ENOENT);
const std::string kFifo = UploadFailureReason(UploadFailure::ReadError, kReadFifo);

const std::vector<Row>& Rows()
{
    static const std::vector<Row> rows = {
        {"no fault", "", "demo", Change::None, 6, 500, {}},
        {"answer then close", "answer-close@t1.bin", "demo", Change::None, 12, 500, {}},
        {"several answers then close, resends among them", "answer-close@t[2-6].bin", "demo", Change::None, 14, 500, {}},
        {"answer then close, one file a channel", "answer-close@t1.bin", "demo", Change::None, 3, 1100 << 10, {}},
        {"answer late", "answer-late:700@t1.bin", "sync", Change::None, 6, 500, {}},
        {"refused after the header", "refuse-after-header@t1.bin", "demo", Change::None, 6, 500,
         {{"t1.bin", UploadFailureReason(UploadFailure::Refused, 500)}}},
        {"reset inside a body", "drop-after:100@t1.bin", "demo", Change::None, 6, 500, {{"t1.bin", kSendFailed}}},
        {"no notices", "no-notices", "sync", Change::None, 2, 500,
         {{"t0.bin", kTextUnconfirmed}, {"t1.bin", kTextUnconfirmed}}},
        {"grown before its turn", "", "demo", Change::Grown, 6, 500, {{"t1.bin", kNew}}},
        {"shrunk before its turn", "", "demo", Change::Shrunk, 6, 500, {{"t1.bin", kNew}}},
        {"rewritten in place", "", "demo", Change::Rewritten, 6, 500, {{"t1.bin", kNew}}},
        {"replaced by another file", "", "sync", Change::Replaced, 6, 500, {{"t1.bin", kNew}}},
        {"made unreadable", "", "demo", Change::Unreadable, 6, 500, {{"t1.bin", kReadFailedAccess}}},
        {"vanished", "", "demo", Change::Vanished, 6, 500, {{"t1.bin", kReadFailedGone}}},
        {"vanished, one file a channel", "", "demo", Change::Vanished, 3, 1100 << 10, {{"t1.bin", kReadFailedGone}}},
        {"a FIFO put in its place", "", "demo", Change::Fifo, 6, 500, {{"t1.bin", kFifo}}},
        {"a FIFO from the start", "", "demo", Change::FifoFromStart, 4, 500, {{"t1.bin", kFifo}}},
    };
    return rows;
}

std::string Content(int i, int64_t n, char seed)
{
    std::string s(static_cast<size_t>(n), '\0');
    for (size_t k = 0; k < s.size(); ++k)
        s[k] = static_cast<char>(seed + (i + k) % 23);
    return s;
}

std::string NewContent(Change c)
{
    switch (c) {
    case Change::Grown: return Content(1, 2000, 'N');
    case Change::Shrunk: return Content(1, 100, 'N');
    default: return Content(1, 500, 'N');
    }
}

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string("<absent>");
}

// What one front-end made of a row: per file its verdict and what the server holds.
struct Outcome {
    std::map<std::string, std::string> verdict; // "uploaded" or the failure's words
    std::map<std::string, std::string> stored;  // bytes, or "<absent>"
    int64_t uploaded = -1, failed = -1;
    bool operator==(const Outcome&) const = default;
};

// Without the power to pass over file permissions (as root), so that a mode-000 file cannot be
// read by this process, its threads or the programs it starts. False when that cannot be done.
bool DropPermissionOverride()
{
    if (::geteuid() != 0)
        return true;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const uint32_t dac = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    data[0].effective &= ~dac;
    data[0].permitted &= ~dac;
    data[0].inheritable &= ~dac;
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

class FaultMatrixTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devserver::SetServerLogQuiet(true);
        m_permissionsApply = DropPermissionOverride(); // before any thread starts
        QVERIFY(m_dir.isValid());
    }

    void everyFrontEndEndsTrue_data()
    {
        QTest::addColumn<int>("row");
        for (size_t i = 0; i < Rows().size(); ++i)
            QTest::newRow(Rows()[i].name) << static_cast<int>(i);
    }

    void everyFrontEndEndsTrue()
    {
        QFETCH(int, row);
        const Row& r = Rows()[static_cast<size_t>(row)];
        if (r.change == Change::Unreadable && !m_permissionsApply)
            QSKIP("permissions cannot be made to apply to this process");
        Outcome expected;
        for (int i = 0; i < r.files; ++i) {
            const std::string name = "t" + std::to_string(i) + ".bin";
            auto it = r.expect.find(name);
            const std::string want = it == r.expect.end() ? kOld : it->second;
            expected.verdict[name] = want == kOld || want == kNew ? "uploaded" : want;
            expected.stored[name] = want == kOld ? Content(i, r.bytes, 'a') : want == kNew ? NewContent(r.change) : "";
        }
        const Outcome cli = Play(r, 0);
        const Outcome one = Play(r, 1);
        QVERIFY(!QTest::currentTestFailed());
        const Outcome two = Play(r, 2);
        QVERIFY(!QTest::currentTestFailed());
        using Labelled = std::pair<const char*, const Outcome*>;
        for (const auto& [label, got] : std::initializer_list<Labelled>{
                 {"talvex-cli", &cli}, {"window, one channel", &one}, {"window, two channels", &two}}) {
            for (const auto& [name, verdict] : expected.verdict) {
                QVERIFY2(got->verdict.at(name) == verdict,
                         qPrintable(QStringLiteral("%1: %2 counted \"%3\", not \"%4\"")
                                        .arg(label, QString::fromStdString(name), QString::fromStdString(got->verdict.at(name)),
                                             QString::fromStdString(verdict))));
                // A failed file's server copy is not looked at: the server may hold a part, or
                // the whole of it when only its answer went missing.
                if (!expected.stored.at(name).empty())
                    QVERIFY2(got->stored.at(name) == expected.stored.at(name),
                             qPrintable(QStringLiteral("%1: the server holds the wrong bytes of %2 (%3 bytes)")
                                            .arg(label, QString::fromStdString(name))
                                            .arg(got->stored.at(name).size())));
            }
        }
        QCOMPARE(cli.uploaded, one.uploaded);
        QCOMPARE(cli.failed, one.failed);
        QCOMPARE(two.uploaded, one.uploaded);
        QCOMPARE(two.failed, one.failed);
    }

private:
    // frontEnd 0: talvex-cli; 1, 2: the window with that many channels.
    Outcome Play(const Row& r, int frontEnd)
    {
        const fs::path base = fs::path(m_dir.path().toStdString()) / ("run" + std::to_string(++m_runs));
        const fs::path local = base / "local";
        fs::create_directories(local);
        devserver::ServerConfig config;
        if (*r.fault) {
            devserver::Fault fault;
            std::string error;
            if (!devserver::ParseFault(r.fault, fault, error))
                qFatal("%s", error.c_str());
            config.faults.push_back(fault);
        }
        config.sync.delay = 300ms;
        std::unique_ptr<devserver::Server> server = test::StartDevServer((base / "storage").string(), {}, config);
        if (!server)
            qFatal("no development server");

        // Two lead files when the disk changes: t1 changes while they go, before its turn.
        std::vector<fs::path> files;
        const bool leads = r.change != Change::None && r.change != Change::FifoFromStart;
        for (int i = 0; leads && i < 2; ++i) {
            files.push_back(local / ("lead" + std::to_string(i) + ".bin"));
            std::ofstream(files.back(), std::ios::binary) << Content(i, 1200 << 10, 'L');
        }
        std::vector<fs::path> targets;
        for (int i = 0; i < r.files; ++i) {
            targets.push_back(local / ("t" + std::to_string(i) + ".bin"));
            if (i == 1 && r.change == Change::FifoFromStart)
                ::mkfifo(targets.back().c_str(), 0644);
            else
                std::ofstream(targets.back(), std::ios::binary) << Content(i, r.bytes, 'a');
        }
        files.insert(files.end(), targets.begin(), targets.end());

        std::atomic<bool> done{false}, changed{false};
        std::thread changer([&] {
            if (!leads)
                return;
            const fs::path up = base / "storage" / r.user / "up";
            while (!done && !changed) {
                std::error_code ec;
                for (fs::directory_iterator it(up, ec), end; !ec && it != end && !changed; it.increment(ec))
                    if (it->path().filename().string().rfind(devserver::kPartialPrefix, 0) == 0) {
                        ApplyChange(r.change, targets[1]);
                        changed = true;
                    }
                std::this_thread::sleep_for(2ms);
            }
        });

        Outcome out;
        if (frontEnd == 0)
            out = RunCli(r, *server, base, files);
        else
            RunWindow(r, *server, files, frontEnd, out);
        done = true;
        changer.join();
        if (leads && !changed)
            qWarning("%s: the change was never made (front-end %d)", r.name, frontEnd);
        for (int i = 0; i < r.files; ++i) {
            const std::string name = "t" + std::to_string(i) + ".bin";
            out.stored[name] = ReadAll(base / "storage" / r.user / "up" / name);
            if (!out.verdict.count(name))
                out.verdict[name] = "uploaded";
        }
        std::error_code ec;
        fs::permissions(targets[1], fs::perms::owner_all, fs::perm_options::add, ec);
        return out;
    }

    static void ApplyChange(Change change, const fs::path& t1)
    {
        switch (change) {
        case Change::Grown:
        case Change::Shrunk:
            std::ofstream(t1, std::ios::binary | std::ios::trunc) << NewContent(change);
            break;
        case Change::Rewritten: {
            std::fstream f(t1, std::ios::binary | std::ios::in | std::ios::out);
            f << NewContent(change);
            break;
        }
        case Change::Replaced: {
            const fs::path other = t1.string() + ".new";
            std::ofstream(other, std::ios::binary) << NewContent(change);
            fs::rename(other, t1);
            break;
        }
        case Change::Unreadable: fs::permissions(t1, fs::perms::none); break;
        case Change::Vanished: fs::remove(t1); break;
        case Change::Fifo:
            fs::remove(t1);
            ::mkfifo(t1.c_str(), 0644);
            break;
        default: break;
        }
    }

    Outcome RunCli(const Row& r, const devserver::Server& server, const fs::path& base, const std::vector<fs::path>& files)
    {
        QStringList args = {"--web-host", QStringLiteral("127.0.0.1:%1").arg(server.WebPort()),
                            "--command-port", QString::number(server.CommandPort()),
                            "--control-port", QString::number(server.ControlPort()),
                            "--work-dir", QString::fromStdString((base / "work").string()),
                            "--user", r.user, "--password", QString::fromLatin1(r.user) + "1234",
                            "--timeout", "10", "--poll-ms", "100", "--limit-rate", "4000",
                            "put", "--wait-confirm", "--confirm-timeout", "2"};
        for (const fs::path& f : files)
            args << QString::fromStdString(f.string());
        args << "/up";
        QProcess cli;
        cli.start(QStringLiteral(TALVEX_CLI_PATH), args);
        if (!cli.waitForFinished(60000))
            cli.kill();
        const QString out = QString::fromUtf8(cli.readAllStandardOutput());
        const QString err = QString::fromUtf8(cli.readAllStandardError());
        Outcome o;
        const QString last = out.trimmed().section(QLatin1Char('\n'), -1);
        if (std::sscanf(last.toUtf8().constData(), "uploaded %ld, failed %ld", &o.uploaded, &o.failed) != 2)
            qWarning("talvex-cli said: %s\n%s", qPrintable(out), qPrintable(err));
        // Each failure is a line "<words>: <local path>".
        for (const QString& line : err.split(QLatin1Char('\n'))) {
            const int at = line.lastIndexOf(QStringLiteral(": /"));
            if (at < 0)
                continue;
            const std::string path = line.mid(at + 2).toStdString();
            QString words = line.left(at);
            if (words.startsWith(QStringLiteral("talvex-cli: ")))
                words = words.mid(12);
            o.verdict[fs::path(path).filename().string()] = words.toStdString();
        }
        o.verdict.erase("lead0.bin");
        o.verdict.erase("lead1.bin");
        const int code = cli.exitCode();
        if (code != (o.failed > 0 ? 1 : 0))
            o.uploaded = -100 - code; // an exit code that does not follow the counts fails the row
        return o;
    }

    void RunWindow(const Row& r, const devserver::Server& server, const std::vector<fs::path>& files, int channels,
                   Outcome& o)
    {
        m_env.Begin(server);
        UploadOptions options;
        options.channels = channels;
        options.Save();
        {
            CMainFrame frame;
            test::ConnectFrame(frame, r.user, QString::fromLatin1(r.user) + QStringLiteral("1234"));
            frame.Session().SetUploadLimit(4000);
            CUploadQueue& queue = frame.Queue();
            queue.SetDeadlines({60000, 2000}); // as talvex-cli's --confirm-timeout 2
            connect(&queue, &CUploadQueue::settled, this, [&o](const CUploadItem& item) {
                const std::string name = fs::path(item.request->localPath).filename().string();
                o.verdict[name] = item.state == UploadState::Confirmed ? "uploaded" : UploadFailureReason(item.failure, item.status);
            });
            std::vector<CUploadOrder> orders;
            for (const fs::path& f : files) {
                CUploadOrder order;
                order.source = f.string();
                order.name = f.filename().string();
                order.remoteFolder = "/up";
                orders.push_back(order);
            }
            frame.AddUploadOrders(orders);
            const int64_t all = static_cast<int64_t>(files.size());
            QTRY_VERIFY_WITH_TIMEOUT(queue.CurrentTotals().count == all && queue.IsIdle(), 60000);
            const auto& totals = queue.CurrentTotals();
            QCOMPARE(totals.completed + totals.failed, totals.count); // 전체 = 완료 + 실패
            o.verdict.erase("lead0.bin");
            o.verdict.erase("lead1.bin");
            o.uploaded = totals.completed;
            o.failed = totals.failed;
            m_env.prompt.answers = {true};
            frame.Action(32819)->trigger(); // disconnect
        }
        m_env.End();
    }

    QTemporaryDir m_dir;
    test::FrameTestEnv m_env;
    bool m_permissionsApply = false;
    int m_runs = 0;
};

int main(int argc, char** argv)
{
    // Every row runs in one test function: the watchdog's limit is the whole table's.
    qputenv("QTEST_FUNCTION_TIMEOUT", "560000");
    QApplication app(argc, argv);
    FaultMatrixTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "fault_matrix_test.moc"

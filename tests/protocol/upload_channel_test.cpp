#include "engine_fixture.h"

#include "protocol/message.h"
#include "protocol/upload_channel.h"
#include "protocol/upload_rate.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;
using namespace talvex;
using namespace std::chrono_literals;
using fake::Answer;

namespace {

// A clock that the test moves: each tick read advances by a step.
class ManualClock final : public Clock {
public:
    explicit ManualClock(int64_t step, int64_t start = 0) : m_step(step), m_ticks(start) {}
    int64_t Seconds() const override { return m_ticks.load() / 1000; }
    int64_t Ticks() const override { return m_ticks.fetch_add(m_step) + m_step; }
    int64_t TicksPerSecond() const override { return 1000; }

private:
    int64_t m_step;
    mutable std::atomic<int64_t> m_ticks;
};

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

// The PUTFILE__ request of up/<name> with this DATA-LENGTH, in session S1.
std::string PutHeader(const std::string& name, int64_t length)
{
    return "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : S1\r\nREQUEST-ID : vornasel\r\nDATA-LENGTH : " +
           std::to_string(length) + "\r\nPATH : up/" + name + "\r\n\r\n";
}

} // namespace

class UploadChannelTest : public EngineTest {
protected:
    void Open(std::shared_ptr<const Clock> clock = nullptr)
    {
        worker = StartUploadChannel(Info("S1"), reports, std::move(clock));
        conn = server.Accept();
        ASSERT_TRUE(conn);
        ExpectUpload(UE_CONNECTED);
        if (collect)
            StartCollecting();
    }
    std::shared_ptr<CUploadRequest> File(const std::string& name, size_t bytes, int64_t announced = -2)
    {
        std::ofstream(workDir + name, std::ios::binary) << Pattern(bytes);
        auto r = std::make_shared<CUploadRequest>();
        r->localPath = workDir + name;
        r->remotePath = "up/" + name;
        r->size = announced == -2 ? static_cast<int64_t>(bytes) : announced;
        return r;
    }
    // Skips progress reports up to the final report of the transfer.
    Report Final()
    {
        for (;;) {
            std::optional<Report> r = NextReport(10s);
            if (!r) {
                ADD_FAILURE() << "no final report";
                return {};
            }
            if (r->code != UE_PROGRESS)
                return std::move(*r);
            ++progressReports;
            lastProgress = *r->progress;
        }
    }

    std::unique_ptr<Worker> worker;
    std::unique_ptr<fake::Connection> conn;
    bool collect = true;
    int progressReports = 0;
    CUploadProgress lastProgress;
};

TEST_F(UploadChannelTest, FileIsStreamedAndAnswersArePassedOn)
{
    Open();
    auto request = File("a.bin", 100000); // past one send: streamed in pieces, with progress
    worker->PostUpload(request);
    Report first = ExpectUpload(UE_PROGRESS);
    EXPECT_EQ(first.progress->sent, 0);
    EXPECT_EQ(first.progress->percent, 0);
    EXPECT_EQ(first.progress->elapsed, 0);
    EXPECT_EQ(first.progress->speed, 0);
    EXPECT_EQ(first.progress->remaining, -1);
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : S1\r\nREQUEST-ID : vornasel\r\nDATA-LENGTH : 100000\r\nPATH : up/a.bin\r\n\r\n");
    EXPECT_EQ(conn->ReadBytes(100000).value_or(""), Pattern(100000));
    Report done = Final();
    EXPECT_EQ(done.code, UE_DONE);
    EXPECT_EQ(done.request, request);
    // Up to one send's worth: header and body together, no progress between them.
    auto small = File("s.bin", UploadChannel::kOneSendBytes);
    worker->PostUpload(small);
    EXPECT_EQ(conn->ReadRequest().value_or(""), "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : S1\r\nREQUEST-ID : vornasel\r\nDATA-LENGTH : 65536\r\nPATH : up/s.bin\r\n\r\n");
    EXPECT_EQ(conn->ReadBytes(65536).value_or(""), Pattern(65536));
    Report smallDone = ExpectUpload(UE_DONE);
    EXPECT_EQ(smallDone.request, small);

    // Two answers in one write, one with its header split from the other's tail.
    const std::string two = Answer("PUTFILE__", 200, "PATH : up/a.bin\r\n") + Answer("putfile__", 500, "PATH : up/b\r\n");
    conn->WriteSplit(two, {two.size() - 7});
    Report a1 = ExpectUpload(UE_RESPONSE);
    EXPECT_EQ(a1.response->statusCode, 200);
    EXPECT_EQ(a1.response->path, "up/a.bin");
    EXPECT_EQ(ExpectUpload(UE_RESPONSE).response->statusCode, 500);
    conn->Write(Answer("MKDIR____", 200)); // not an upload answer: dropped
    EXPECT_TRUE(NoReport());
}

TEST_F(UploadChannelTest, FilesWaitingTogetherGoInTheirOrderEachAsItIs)
{
    // Everything is in the mailbox before the channel has connected: the small files go together,
    // and each that cannot (larger, empty, a folder, gone) ends the batch and goes its own way.
    worker = StartUploadChannel(Info("S1"), reports);
    struct Given {
        std::shared_ptr<CUploadRequest> request;
        int64_t bytes; // -1: a folder; -2: missing
    };
    std::vector<Given> given;
    for (int64_t bytes : {int64_t{1}, int64_t{3000}, int64_t{40000}, int64_t{40000}, UploadChannel::kOneSendBytes + 1,
                          int64_t{0}, int64_t{-1}, int64_t{10}, int64_t{-2}, int64_t{20}}) {
        const std::string name = "g" + std::to_string(given.size());
        std::shared_ptr<CUploadRequest> r;
        if (bytes == -1) {
            r = std::make_shared<CUploadRequest>();
            r->remotePath = "up/" + name + "/";
        } else {
            r = File(name, static_cast<size_t>(std::max<int64_t>(bytes, 0)));
            if (bytes == -2)
                fs::remove(r->localPath);
        }
        given.push_back({r, bytes});
        worker->PostUpload(r);
    }
    conn = server.Accept();
    ASSERT_TRUE(conn);
    ExpectUpload(UE_CONNECTED);
    StartCollecting();
    for (const Given& g : given) {
        const std::string name = g.request->remotePath.substr(3);
        if (g.bytes == -2) {
            Report failed = Final();
            EXPECT_EQ(failed.code, UE_OPEN_FAILED);
            EXPECT_EQ(failed.request->readError, ENOENT);
            continue;
        }
        if (g.bytes <= 0) {
            EXPECT_EQ(conn->ReadRequest().value_or(""), "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : S1\r\nREQUEST-ID : vornasel\r\nPATH : up/" + name + "\r\n\r\n");
        } else {
            EXPECT_EQ(conn->ReadRequest().value_or(""), PutHeader(name, g.bytes));
            EXPECT_TRUE(conn->ReadBytes(static_cast<size_t>(g.bytes)).value_or("") == Pattern(static_cast<size_t>(g.bytes))) << name;
        }
        Report done = Final();
        EXPECT_EQ(done.code, UE_DONE) << name;
        EXPECT_EQ(done.request, g.request) << name;
        if (g.bytes > 0) {
            EXPECT_EQ(done.request->stamp.size, g.bytes) << name;
        }
    }
    EXPECT_TRUE(NoReport());
}

TEST_F(UploadChannelTest, ALossInsideFilesGoingTogetherNamesTheFileItCutAndNoneBehindIt)
{
    // The server reads two files and closes with the rest unread, while the channel is sending
    // small files together as fast as the buffers take them. Wherever the loss falls, the reports
    // are: done for a leading run of files, then the one file whose bytes it cut, then nothing.
    ASSERT_EQ(std::signal(SIGPIPE, SIG_DFL), SIG_DFL);
    CChannelStartInfo info = Info("S1");
    info.sendBufferBytes = 4096;
    worker = StartUploadChannel(info, reports);
    std::vector<std::shared_ptr<CUploadRequest>> files;
    for (int i = 0; i < 400; ++i) {
        files.push_back(File("c" + std::to_string(i), 3000));
        worker->PostUpload(files.back());
    }
    conn = server.Accept();
    ASSERT_TRUE(conn);
    ExpectUpload(UE_CONNECTED);
    StartCollecting();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(conn->ReadRequest());
        ASSERT_TRUE(conn->ReadBytes(3000));
    }
    std::this_thread::sleep_for(150ms); // the channel has filled the buffers and waits
    conn->Close();
    size_t done = 0;
    Report r = Final();
    for (; r.code == UE_DONE && done < files.size(); r = Final())
        EXPECT_EQ(r.request, files[done++]);
    EXPECT_GE(done, 2u);
    ASSERT_LT(done, files.size()) << "the buffers took every file: the loss cut nothing";
    EXPECT_TRUE(r.code == UE_SEND_FAILED || r.code == UE_RESET) << r.code;
    EXPECT_EQ(r.request, files[done]);
    EXPECT_TRUE(NoReport());
}

TEST_F(UploadChannelTest, EmptyFilesAndFolders)
{
    Open();
    worker->PostUpload(File("empty", 0));
    auto folder = std::make_shared<CUploadRequest>();
    folder->remotePath = "up/sub/";
    folder->size = -1;
    worker->PostUpload(folder);
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : S1\r\nREQUEST-ID : vornasel\r\nPATH : up/empty\r\n\r\n");
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : S1\r\nREQUEST-ID : vornasel\r\nPATH : up/sub/\r\n\r\n");
    EXPECT_EQ(Final().code, UE_DONE);
    EXPECT_EQ(lastProgress.percent, -1); // size 0
    EXPECT_EQ(ExpectUpload(UE_DONE).request, folder);
    EXPECT_TRUE(conn->Quiet());
}

TEST_F(UploadChannelTest, AFileIsAnnouncedAndSentAsItIsWhenItsBodyStartsAndTheConnectionGoesOn)
{
    Open();
    // Queued with one size, another when its turn came: grown, shrunk, emptied.
    const struct {
        const char* name;
        size_t now;
        int64_t queued;
    } cases[] = {{"grown", 50000, 20000}, {"shrunk", 20000, 50000}, {"emptied", 0, 300}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto request = File(c.name, c.now, c.queued);
        worker->PostUpload(request);
        if (c.now > 0) {
            EXPECT_EQ(conn->ReadRequest().value_or(""), PutHeader(c.name, static_cast<int64_t>(c.now)));
            EXPECT_EQ(conn->ReadBytes(c.now).value_or(""), Pattern(c.now));
        } else {
            conn->ReadRequest();
        }
        Report done = Final();
        EXPECT_EQ(done.code, UE_DONE);
        EXPECT_EQ(request->stamp.size, static_cast<int64_t>(c.now));
        EXPECT_EQ(request->size, c.queued) << "the receiver of UE_DONE takes the size over, not the channel";
    }
    // Something put where the file was that is no file: refused unread, without blocking.
    auto fifo = File("fifo", 10);
    fs::remove(fifo->localPath);
    ASSERT_EQ(::mkfifo(fifo->localPath.c_str(), 0644), 0);
    worker->PostUpload(fifo);
    EXPECT_EQ(Final().code, UE_OPEN_FAILED);
    EXPECT_EQ(fifo->readError, kReadFifo);
    auto folder = std::make_shared<CUploadRequest>();
    folder->remotePath = "next/";
    worker->PostUpload(folder);
    EXPECT_EQ(conn->ReadRequest().value_or("").substr(0, 29), "TLXSP/1.0 REQUEST__ PUTFILE__");
    EXPECT_EQ(ExpectUpload(UE_DONE).request, folder);
}

TEST_F(UploadChannelTest, MissingFileAndUnencodablePath)
{
    Open();
    auto missing = std::make_shared<CUploadRequest>();
    missing->localPath = workDir + "nothing-here";
    missing->remotePath = "up/x";
    missing->size = 10;
    worker->PostUpload(missing);
    EXPECT_EQ(Final().code, UE_OPEN_FAILED);
    EXPECT_EQ(missing->readError, ENOENT);
    // Names the request cannot carry: nothing is sent, the connection goes on, and each says
    // why (an emoji outside the wire encoding, invalid UTF-8, a line break, a path too long).
    const std::vector<std::pair<std::string, int32_t>> names = {
        {"up/\xF0\x9F\x98\x80", kRequestNotEncodable},
        {"up/\xFF\xFE" "bad", kRequestNotEncodable},
        {"up/two\nlines", kRequestBadText},
        {"up/" + std::string(18 * 1024, 'a'), kRequestTooLong},
    };
    for (const auto& [name, error] : names) {
        auto bad = File("ok", 10);
        bad->remotePath = name;
        worker->PostUpload(bad);
        EXPECT_EQ(Final().code, UE_OPEN_FAILED) << name.substr(0, 20);
        EXPECT_EQ(bad->headerError, error) << name.substr(0, 20);
    }
    EXPECT_TRUE(conn->Quiet());
    auto fine = File("fine", 10);
    worker->PostUpload(fine);
    EXPECT_EQ(Final().code, UE_DONE) << "the connection goes on";
}

TEST_F(UploadChannelTest, CancelAtTheStartSendsAtMostOnePiece)
{
    collect = false;
    Open();
    worker->PostUpload(File("big", 10 * UploadChannel::kPieceBytes));
    // The worker waits with its initial progress report: cancel before taking it.
    for (int i = 0; i < 200 && reports.Pending() == 0; ++i)
        std::this_thread::sleep_for(5ms);
    worker->Cancel();
    EXPECT_EQ(ExpectUpload(UE_PROGRESS).progress->sent, 0);
    EXPECT_EQ(Final().code, UE_CANCELLED);
    conn->ReadRequest();
    EXPECT_TRUE(conn->WaitClosed()) << "an unfinished body ends the connection";
    // The first piece is under way when the cancel is seen (sooner when the socket is full).
    EXPECT_GT(conn->Buffered().size(), 0u);
    EXPECT_LE(conn->Buffered().size(), static_cast<size_t>(UploadChannel::kPieceBytes));
}

TEST_F(UploadChannelTest, CancelAStalledTransfer)
{
    Open();
    worker->PostUpload(File("huge", 64 << 20)); // far more than the socket buffers hold
    ExpectUpload(UE_PROGRESS);
    std::this_thread::sleep_for(300ms); // the server reads nothing: the channel waits on the socket
    worker->Cancel();
    EXPECT_EQ(Final().code, UE_CANCELLED);
    EXPECT_TRUE(conn->WaitClosed(10s));
}

TEST_F(UploadChannelTest, ACancelEndsTheFileAndEveryUploadGivenBeforeItUnsent)
{
    Open();
    // The window gives a channel several files at once: the first stalls (the server reads
    // nothing), a file and a folder wait behind it in the mailbox.
    auto huge = File("huge", 64 << 20);
    auto second = File("second.txt", 10);
    auto folder = std::make_shared<CUploadRequest>();
    folder->remotePath = "up/folder/";
    worker->PostUpload(huge);
    worker->PostUpload(second);
    worker->PostUpload(folder);
    ExpectUpload(UE_PROGRESS);
    std::this_thread::sleep_for(300ms);
    worker->Cancel();
    for (const auto& request : {huge, second, folder}) {
        Report r = Final();
        EXPECT_EQ(r.code, UE_CANCELLED) << request->remotePath;
        EXPECT_EQ(r.request, request) << request->remotePath;
    }
    EXPECT_EQ(Final().code, UE_RESET); // the unfinished body ends the connection
    EXPECT_TRUE(conn->WaitClosed(10s));
    conn->ReadRequest();
    EXPECT_EQ(conn->Buffered().find("second.txt"), std::string::npos) << "nothing of the files behind is sent";
    EXPECT_EQ(conn->Buffered().find("up/folder/"), std::string::npos);
}

TEST_F(UploadChannelTest, AnswersThatArrivedBeforeACancelAreHandedOnBeforeIt)
{
    Open();
    // The server answers an earlier file while the next one's body stalls.
    worker->PostUpload(File("huge", 64 << 20));
    ExpectUpload(UE_PROGRESS);
    conn->ReadRequest();
    conn->Write(Answer("PUTFILE__", 200, "PATH : up/earlier.txt\r\n"));
    std::this_thread::sleep_for(300ms);
    worker->Cancel();
    Report answer = Final();
    ASSERT_EQ(answer.code, UE_RESPONSE);
    EXPECT_EQ(answer.response->path, "up/earlier.txt");
    EXPECT_EQ(Final().code, UE_CANCELLED);
    EXPECT_TRUE(conn->WaitClosed(10s));
}

TEST_F(UploadChannelTest, AnswersAreHandedOnWhileTheNextFilesFollowStraightFromTheMailbox)
{
    Open();
    // Both requests are in the mailbox at once: the second starts without a turn of the read
    // loop, and its body stalls (the server reads nothing more).
    auto small = File("small.txt", 10);
    worker->PostUpload(small);
    worker->PostUpload(File("huge", 64 << 20));
    conn->ReadRequest();
    conn->ReadBytes(10);
    conn->Write(Answer("PUTFILE__", 200, "PATH : up/small.txt\r\n"));
    EXPECT_EQ(Final().code, UE_DONE);
    // The answer comes while the second body waits for room, not after the queue runs dry.
    Report answer = Final();
    ASSERT_EQ(answer.code, UE_RESPONSE);
    EXPECT_EQ(answer.response->path, "up/small.txt");
    worker->Cancel();
    EXPECT_EQ(Final().code, UE_CANCELLED);
}

TEST_F(UploadChannelTest, ASendThatStallsTooLongFails)
{
    // The channel's own patience, and the kernel's dead-path bound (TCP_USER_TIMEOUT also ends
    // a connection whose window stays shut): either way the loss says it timed out, and not the
    // EPIPE the next send finds once the kernel has given the connection up.
    struct Case { int sendStallMs, stallTimeoutMs; const char* what; };
    for (const Case& c : {Case{300, kDefaultStallTimeoutSeconds * 1000, "the channel's stall limit"},
                          Case{60000, 1000, "the kernel's dead-path bound"}}) {
        SCOPED_TRACE(c.what);
        CChannelStartInfo info = Info("S1");
        info.sendStallMs = c.sendStallMs;
        info.stallTimeoutMs = c.stallTimeoutMs;
        worker = StartUploadChannel(info, reports);
        conn = server.Accept();
        ASSERT_TRUE(conn);
        ExpectUpload(UE_CONNECTED);
        worker->PostUpload(File("stuck", 64 << 20)); // the server never reads
        const Report failed = Final();
        EXPECT_EQ(failed.code, UE_SEND_FAILED);
        EXPECT_EQ(failed.error, ETIMEDOUT);
        EXPECT_TRUE(IsNetworkLoss(failed.error));
        EXPECT_TRUE(conn->WaitClosed(10s));
        worker.reset();
        conn.reset();
    }
}

TEST_F(UploadChannelTest, ProgressIsLimitedByTheClock)
{
    // Every tick read moves the clock by 1/30 s; the channel reads it once for each part it sends,
    // so it may report about every second part and never more than 15 times a clock second.
    // The clock starts at zero and at a large value.
    for (const int64_t start : {int64_t{0}, int64_t{1} << 42}) {
        SCOPED_TRACE("clock starting at " + std::to_string(start));
        auto clock = std::make_shared<ManualClock>(1000 / 30, start);
        Open(clock);
        progressReports = 0;
        const int64_t size = 40 * UploadChannel::kPieceBytes;
        worker->PostUpload(File("p", static_cast<size_t>(size)));
        ASSERT_TRUE(conn->ReadRequest());
        ASSERT_TRUE(conn->Drain(static_cast<uint64_t>(size)));
        EXPECT_EQ(Final().code, UE_DONE);
        const int64_t ticks = clock->Ticks() - start;
        EXPECT_GE(progressReports, 1 + 15); // at least 40 parts
        EXPECT_LE(progressReports, 1 + 1 + ticks * 15 / 1000);
        EXPECT_GT(lastProgress.sent, 0);
        EXPECT_GT(lastProgress.percent, 80);
        EXPECT_LE(lastProgress.elapsed, ticks / 1000 + 1) << "seconds since the body started";
        worker->Quit();
        worker.reset();
        conn.reset();
        while (NextReport(100ms)) {
        }
        StopCollecting();
    }
}

TEST_F(UploadChannelTest, ServerCloseAndConnectFailure)
{
    Open();
    conn->Close();
    Report lost = ExpectUpload(UE_RESET);
    EXPECT_FALSE(lost.request);
    worker->Join();

    CChannelStartInfo info = Info("S1");
    { fake::Server gone; info.port = gone.Port(); }
    auto w = StartUploadChannel(info, reports);
    ExpectUpload(UE_CONNECT_FAILED);
}

// The body on both paths: from the file inside the kernel, and read and sent.
class UploadBodyTest : public UploadChannelTest, public ::testing::WithParamInterface<bool> {
protected:
    void OpenPath(std::shared_ptr<UploadRateLimiter> limit = nullptr)
    {
        CChannelStartInfo info = Info("S1");
        info.zeroCopy = GetParam();
        info.rateLimit = std::move(limit);
        worker = StartUploadChannel(info, reports);
        conn = server.Accept();
        ASSERT_TRUE(conn);
        ExpectUpload(UE_CONNECTED);
        StartCollecting();
    }
    static std::string Header(const std::string& name, int64_t length) { return PutHeader(name, length); }
    // Waits until the channel has filled the socket and waits for the server to read.
    void LetItStall() { std::this_thread::sleep_for(150ms); }
};

TEST_P(UploadBodyTest, ExactlyDataLengthAtPieceBoundaries)
{
    OpenPath();
    const int64_t piece = UploadChannel::kPieceBytes;
    for (int64_t size : {int64_t{1}, piece - 1, piece, piece + 1, 3 * piece}) {
        const std::string name = "b" + std::to_string(size);
        auto request = File(name, static_cast<size_t>(size));
        worker->PostUpload(request);
        EXPECT_EQ(conn->ReadRequest().value_or(""), Header(name, size));
        EXPECT_EQ(conn->ReadBytes(static_cast<size_t>(size)).value_or("") == Pattern(static_cast<size_t>(size)), true)
            << size;
        Report done = Final();
        EXPECT_EQ(done.code, UE_DONE) << size;
        EXPECT_LE(lastProgress.sent, size);
    }
    // Queued at one piece, one more byte on disk when its turn came: announced and sent as it
    // is then, and the stream stays in step with the next request.
    worker->PostUpload(File("longer", static_cast<size_t>(piece + 1), piece));
    EXPECT_EQ(conn->ReadRequest().value_or(""), Header("longer", piece + 1));
    EXPECT_EQ(conn->ReadBytes(static_cast<size_t>(piece + 1)).value_or("") == Pattern(static_cast<size_t>(piece + 1)), true);
    EXPECT_EQ(Final().code, UE_DONE);
    worker->PostUpload(File("empty", 0));
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : S1\r\nREQUEST-ID : vornasel\r\nPATH : up/empty\r\n\r\n");
    EXPECT_EQ(Final().code, UE_DONE);
    EXPECT_TRUE(conn->Quiet());
}

TEST_P(UploadBodyTest, APeerThatClosesMidBodyFailsTheTransferAndNeverEndsTheProgram)
{
    // No SIGPIPE handler is installed here: a signal would end this test program.
    ASSERT_EQ(std::signal(SIGPIPE, SIG_DFL), SIG_DFL);
    OpenPath();
    auto request = File("cut", 8u << 20);
    worker->PostUpload(request);
    conn->ReadRequest();
    conn->ReadBytes(4096);
    conn->Close();
    Report failed = Final();
    EXPECT_TRUE(failed.code == UE_SEND_FAILED || failed.code == UE_RESET) << failed.code;
    EXPECT_EQ(failed.request, request);
    // A peer that closed is the server's doing, never a loss to the network.
    EXPECT_TRUE(failed.error == ECONNRESET || failed.error == EPIPE) << failed.error;
    EXPECT_FALSE(IsNetworkLoss(failed.error));
}

TEST_P(UploadBodyTest, FileGrowingDuringTheSendIsCutAtDataLength)
{
    OpenPath();
    const size_t size = 8 << 20;
    auto request = File("growing", size);
    worker->PostUpload(request);
    ASSERT_EQ(conn->ReadRequest().value_or(""), Header("growing", static_cast<int64_t>(size)));
    LetItStall();
    std::ofstream(request->localPath, std::ios::binary | std::ios::app) << std::string(1 << 20, 'X');
    ASSERT_TRUE(conn->Drain(size));
    EXPECT_EQ(Final().code, UE_DONE);
    auto folder = std::make_shared<CUploadRequest>();
    folder->remotePath = "next/";
    worker->PostUpload(folder);
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ PUTFILE__\r\nSESSION-ID : S1\r\nREQUEST-ID : vornasel\r\nPATH : next/\r\n\r\n");
    EXPECT_EQ(ExpectUpload(UE_DONE).request, folder);
}

TEST_P(UploadBodyTest, FileShrinkingDuringTheSendFailsTheTransfer)
{
    OpenPath();
    // Far more than the socket buffers hold (4 MiB of send buffer at most here) is left when the
    // file shrinks.
    const size_t size = 24 << 20, left = (10 << 20) + 5;
    auto request = File("shrinking", size);
    worker->PostUpload(request);
    ASSERT_TRUE(conn->ReadRequest());
    LetItStall();
    std::filesystem::resize_file(request->localPath, left);
    EXPECT_TRUE(conn->WaitClosed(10s));
    EXPECT_EQ(conn->Buffered().size(), left) << "every byte the file still had, then the end";
    Report failed = Final();
    EXPECT_EQ(failed.code, UE_SEND_FAILED);
    EXPECT_EQ(failed.request, request);
}

TEST_P(UploadBodyTest, CancelAndQuitInTheMiddleOfTheBody)
{
    OpenPath();
    worker->PostUpload(File("stalled", 16 << 20));
    ASSERT_TRUE(conn->ReadRequest());
    LetItStall();
    worker->Cancel();
    EXPECT_EQ(Final().code, UE_CANCELLED);
    EXPECT_TRUE(conn->WaitClosed(5s));
    EXPECT_LT(conn->Buffered().size(), size_t{16} << 20);
    EXPECT_EQ(Final().code, UE_RESET) << "the owner is told that the connection has ended";
    worker->Join();

    // A quit ends the transfer as a cancel does, and then the worker.
    StopCollecting();
    OpenPath();
    worker->PostUpload(File("quitting", 16 << 20));
    ASSERT_TRUE(conn->ReadRequest());
    LetItStall();
    worker->Quit();
    EXPECT_EQ(Final().code, UE_CANCELLED);
    EXPECT_TRUE(conn->WaitClosed(5s));
    worker->Join();
    EXPECT_TRUE(worker->HasEnded());
}

TEST_P(UploadBodyTest, ASmallFixedSendBufferDoesNotStallOnLoopback)
{
    // Loopback segments are 64 KB: a 16 KB buffer alone would leave the last one unacknowledged.
    CChannelStartInfo info = Info("S1");
    info.zeroCopy = GetParam();
    info.sendBufferBytes = 16384;
    worker = StartUploadChannel(info, reports);
    conn = server.Accept();
    ASSERT_TRUE(conn);
    ExpectUpload(UE_CONNECTED);
    StartCollecting();
    const size_t size = 32 << 20; // without a large enough buffer this crawls, when it moves at all
    worker->PostUpload(File("small-buffer", size));
    ASSERT_TRUE(conn->ReadRequest());
    EXPECT_TRUE(conn->Drain(size, 20s));
    EXPECT_EQ(Final().code, UE_DONE);
}

TEST_P(UploadBodyTest, TheSpeedLimitHoldsTheBodyBackAndACancelStillGetsThrough)
{
    // 64 KB/s: a quarter second's worth at most in one go, then in step with the clock.
    auto limit = std::make_shared<UploadRateLimiter>(64 * 1024);
    OpenPath(limit);
    const auto start = std::chrono::steady_clock::now();
    worker->PostUpload(File("slow", 1 << 20));
    ASSERT_TRUE(conn->ReadRequest());
    EXPECT_FALSE(conn->ReadBytes(1 << 20, 300ms)) << "a megabyte cannot pass in 0.3 s at 64 KB/s";
    worker->Cancel();
    EXPECT_EQ(Final().code, UE_CANCELLED);
    EXPECT_TRUE(conn->WaitClosed(5s));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(static_cast<double>(conn->Buffered().size()), 64 * 1024 * (seconds + 0.25) + 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, UploadBodyTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "ZeroCopy" : "ReadAndSend"; });

// The engine at its exact limits and when a body cannot be written whole: a header block of
// 16,384 bytes is read and one byte more ends the connection; a DATA-LENGTH of 256 MiB is
// awaited and one byte more ends the connection; a body whose file fails part-way (disk full)
// leaves the previous result file as it was and nothing half written beside it.

#include "engine_fixture.h"

#include "protocol/message.h"
#include "tests/common/file_size_limit.h"

#include <fstream>
#include <sstream>

using namespace talvex;
using namespace std::chrono_literals;
using fake::Answer;

namespace {

class BodyBoundaryTest : public EngineTest {
protected:
    void LogIn()
    {
        worker = StartControlSession(Info(), reports);
        conn = server.Accept();
        ASSERT_TRUE(conn);
        Expect(UM_CONTROL_CONNECTED);
        worker->Post(UM_LOGIN, Cmd(UM_LOGIN, "kim", "secret"));
        ASSERT_TRUE(conn->ReadRequest());
        conn->Write(Answer("LOGIN____", 200, "SESSION-ID : S1\r\n"));
        Expect(UM_LOGIN_RESULT);
    }
    // A CHECKSYNC answer whose header block, CR LF CR LF included, is exactly n bytes.
    static std::string CheckSyncAnswerOf(size_t n)
    {
        const std::string head = "TLXSP/1.0 RESPONSE_ CHECKSYNC\r\nSTATUS-CODE : 404\r\nSTATUS-DESC : ";
        const std::string tail = "\r\n\r\n";
        return head + std::string(n - head.size() - tail.size(), 'x') + tail;
    }
    std::string Read(const std::string& name) const
    {
        std::ifstream in(workDir + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Files of the working folder other than the log.
    std::vector<std::string> WorkFiles() const
    {
        std::vector<std::string> out;
        for (const std::string& f : Files())
            if (f.rfind("talvex.", 0) != 0)
                out.push_back(f);
        return out;
    }

    std::unique_ptr<Worker> worker;
    std::unique_ptr<fake::Connection> conn;
};

} // namespace

TEST_F(BodyBoundaryTest, AHeaderBlockOfExactlyTheLimitIsReadAndOneByteMoreIsNot)
{
    LogIn();
    ASSERT_EQ(CheckSyncAnswerOf(tlxsp::kMaxHeaderBytes).size(), 16384u);
    conn->Write(CheckSyncAnswerOf(tlxsp::kMaxHeaderBytes));
    EXPECT_EQ(Expect(UM_CHECKSYNC).code, 404);
    conn->Write(CheckSyncAnswerOf(tlxsp::kMaxHeaderBytes - 1));
    EXPECT_EQ(Expect(UM_CHECKSYNC).code, 404);

    conn->Write(CheckSyncAnswerOf(tlxsp::kMaxHeaderBytes + 1));
    Expect(UM_CONNECTION_LOST);
    EXPECT_TRUE(conn->WaitClosed());
}

TEST_F(BodyBoundaryTest, ABodyOfExactlyTheCapIsAwaitedAndOneByteMoreIsRefused)
{
    ASSERT_EQ(tlxsp::kMaxBodyBytes, int64_t(256) << 20);
    LogIn();
    worker->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    ASSERT_TRUE(conn->ReadRequest());
    conn->Write(Answer("GETNOTIED", 200, "DATA-LENGTH : " + std::to_string(tlxsp::kMaxBodyBytes) + "\r\n") +
                "200 PUTFILE__ /a\r\n");
    // Accepted: the session waits for the rest of the body, the connection stays open.
    EXPECT_FALSE(conn->WaitClosed(300ms));
    EXPECT_TRUE(NoReport(50ms));
    worker->Quit();
    worker->Join();
    EXPECT_TRUE(TlxFiles().empty());

    LogIn();
    worker->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    ASSERT_TRUE(conn->ReadRequest());
    conn->Write(Answer("GETNOTIED", 200, "DATA-LENGTH : " + std::to_string(tlxsp::kMaxBodyBytes + 1) + "\r\n") +
                "200 PUTFILE__ /a\r\n");
    Expect(UM_CONNECTION_LOST);
    EXPECT_TRUE(conn->WaitClosed());
    EXPECT_TRUE(TlxFiles().empty());
}

TEST_F(BodyBoundaryTest, AResultThatFailsToBeStoredPartWayKeepsThePreviousResultFile)
{
    const std::string previous = "[CheckSync]\r\nTotalCount=2\r\nFailCount=1\r\n1=/docs/earlier.txt\r\n";
    std::ofstream(workDir + "GETSYNCED.tlx", std::ios::binary) << previous;
    std::string result = "[CheckSync]\r\nTotalCount=900\r\nFailCount=900\r\n";
    for (int i = 1; i <= 900; ++i)
        result += std::to_string(i) + "=/docs/file-" + std::to_string(i) + ".txt\r\n";
    ASSERT_GT(result.size(), 8192u);

    const int rc = test::RunWithFileSizeLimit(4096, [&] {
        worker = StartControlSession(Info(), reports);
        conn = server.Accept();
        if (!conn)
            return 10;
        auto next = [&](uint32_t message) {
            std::optional<Report> r = reports.Next(5s);
            return r && r->message == message ? std::move(r) : std::nullopt;
        };
        if (!next(UM_CONTROL_CONNECTED))
            return 11;
        worker->Post(UM_GETSYNCED, Cmd(UM_GETSYNCED));
        conn->ReadRequest();
        conn->Write(Answer("GETSYNCED", 200, "DATA-LENGTH : " + std::to_string(result.size()) + "\r\n") + result);
        std::optional<Report> r = next(UM_GETSYNCED);
        if (!r || r->code != 200)
            return 12;
        if (r->result)
            return 13; // a result read from a file that was not stored whole
        // The notices of a poll that fails the same way are not delivered either, and the
        // stream stays in step.
        worker->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
        conn->ReadRequest();
        conn->Write(Answer("GETNOTIED", 200, "DATA-LENGTH : " + std::to_string(result.size()) + "\r\n") + result);
        std::optional<Report> polled = next(UM_GETNOTIED);
        if (!polled || polled->notices)
            return 14;
        worker->Post(UM_CHECKSYNC, Cmd(UM_CHECKSYNC));
        conn->ReadRequest();
        conn->Write(Answer("CHECKSYNC", 404));
        std::optional<Report> check = next(UM_CHECKSYNC);
        if (!check || check->code != 404)
            return 15;
        worker->Quit();
        worker->Join();
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Read("GETSYNCED.tlx"), previous);
    const std::vector<std::string> files = WorkFiles();
    EXPECT_EQ(files, std::vector<std::string>{"GETSYNCED.tlx"});

    // Without the limit the new result replaces the previous one.
    LogIn();
    worker->Post(UM_GETSYNCED, Cmd(UM_GETSYNCED));
    ASSERT_TRUE(conn->ReadRequest());
    conn->Write(Answer("GETSYNCED", 200, "DATA-LENGTH : " + std::to_string(result.size()) + "\r\n") + result);
    Report r = Expect(UM_GETSYNCED);
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->failCount, 900);
    EXPECT_EQ(Read("GETSYNCED.tlx"), result);
    EXPECT_EQ(WorkFiles(), std::vector<std::string>{"GETSYNCED.tlx"});
}

TEST_F(BodyBoundaryTest, AResultCutShortKeepsThePreviousResultFile)
{
    const std::string previous = "[CheckSync]\r\nTotalCount=1\r\nFailCount=0\r\n";
    std::ofstream(workDir + "GETSYNCED.tlx", std::ios::binary) << previous;
    LogIn();
    worker->Post(UM_GETSYNCED, Cmd(UM_GETSYNCED));
    ASSERT_TRUE(conn->ReadRequest());
    conn->Write(Answer("GETSYNCED", 200, "DATA-LENGTH : 500\r\n") + "[CheckSync]\r\nTotalCount=7\r\n");
    std::this_thread::sleep_for(100ms);
    conn->Close();
    Expect(UM_CONNECTION_LOST);
    EXPECT_EQ(Read("GETSYNCED.tlx"), previous);
    EXPECT_EQ(WorkFiles(), std::vector<std::string>{"GETSYNCED.tlx"});
}

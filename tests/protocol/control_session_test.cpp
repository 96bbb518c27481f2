#include "engine_fixture.h"

#include "protocol/message.h"
#include "tests/common/loopback.h"

#include <fstream>
#include <sstream>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <thread>

using namespace talvex;
using namespace std::chrono_literals;
using fake::Answer;

class ControlSessionTest : public EngineTest {
protected:
    // Starts the session, accepts its connection and logs in as S1.
    void LogIn()
    {
        worker = StartControlSession(Info(), reports);
        conn = server.Accept();
        ASSERT_TRUE(conn);
        Expect(UM_CONTROL_CONNECTED);
        worker->Post(UM_LOGIN, Cmd(UM_LOGIN, "kim", "secret"));
        ASSERT_EQ(conn->ReadRequest().value_or(""),
                  "TLXSP/1.0 REQUEST__ LOGIN____\r\nREQUEST-ID : login#1\r\nUSER-ID : kim\r\nUSER-PW : secret\r\n\r\n");
        // The answer's header arrives in two pieces.
        conn->WriteSplit(Answer("LOGIN____", 200, "REQUEST-ID : login#1\r\nSESSION-ID : S1\r\n"), {17, 40});
        Report login = Expect(UM_LOGIN_RESULT);
        ASSERT_TRUE(login.response);
        EXPECT_EQ(login.response->statusCode, 200);
        EXPECT_EQ(login.response->sessionId, "S1");
    }
    std::string LogText()
    {
        std::ifstream in(LogFileName(std::time(nullptr)));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::unique_ptr<Worker> worker;
    std::unique_ptr<fake::Connection> conn;
};

TEST_F(ControlSessionTest, NoticesAndSyncRequests)
{
    LogIn();
    worker->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ GETNOTIED\r\nREQUEST-ID : getnotied#1\r\nSESSION-ID : S1\r\n\r\n");
    const std::string body = "200 PUTFILE__ d/\xB9\xAE\xBC\xAD.txt\r\n404 rename___ /x y\r\n";
    const std::string answer = Answer("GETNOTIED", 200, "DATA-LENGTH : " + std::to_string(body.size()) + "\r\n") + body;
    conn->WriteSplit(answer, {answer.size() - body.size() + 3, answer.size() - 5}, 100ms); // body over three writes
    Report notices = Expect(UM_GETNOTIED);
    ASSERT_NE(notices.notices, nullptr);
    ASSERT_EQ(notices.notices->notices.size(), 2u);
    EXPECT_EQ(notices.notices->notices[0].text, "d/문서.txt");
    EXPECT_EQ(notices.notices->notices[1].kind, kNoticeRename);

    // An empty notice body still yields a (now empty) list.
    worker->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    conn->ReadRequest();
    conn->Write(Answer("GETNOTIED", 200));
    EXPECT_TRUE(Expect(UM_GETNOTIED).notices->notices.empty());

    // Requests with the session id as request id; two answers in one write.
    worker->Post(UM_STARTSYNC, Cmd(UM_STARTSYNC));
    worker->Post(UM_CHECKSYNC, Cmd(UM_CHECKSYNC));
    worker->Post(UM_CHECKSYNC, Cmd(UM_CHECKSYNC, "/docs"));
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ STARTSYNC\r\nREQUEST-ID : S1\r\nSESSION-ID : S1\r\n\r\n");
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ CHECKSYNC\r\nREQUEST-ID : S1\r\nSESSION-ID : S1\r\n\r\n");
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ CHECKSYNC\r\nREQUEST-ID : S1\r\nSESSION-ID : S1\r\nPATH : /docs\r\n\r\n");
    conn->Write(Answer("STARTSYNC", 200) + Answer("checksync", 404));
    EXPECT_EQ(Expect(UM_STARTSYNC).code, 200);
    EXPECT_EQ(Expect(UM_CHECKSYNC).code, 404);
    EXPECT_TRUE(TlxFiles().empty()) << "the notice files are deleted after their reports";

    // Sync result: not ready, then ready.
    worker->Post(UM_GETSYNCED, Cmd(UM_GETSYNCED));
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ GETSYNCED\r\nREQUEST-ID : S1\r\nSESSION-ID : S1\r\n\r\n");
    conn->Write(Answer("GETSYNCED", 203));
    Report notReady = Expect(UM_GETSYNCED);
    EXPECT_EQ(notReady.code, 203);
    EXPECT_FALSE(notReady.result);

    worker->Post(UM_GETSYNCED, Cmd(UM_GETSYNCED));
    conn->ReadRequest();
    const std::string ini = "[CheckSync]\r\nTotalSize=1000\r\nTotalCount=12\r\nFailSize=10\r\nFailCount=2\r\nFail1=/a\r\n";
    conn->Write(Answer("GETSYNCED", 200, "DATA-LENGTH : " + std::to_string(ini.size()) + "\r\n") + ini);
    Report result = Expect(UM_GETSYNCED);
    EXPECT_EQ(result.code, 200);
    ASSERT_TRUE(result.result);
    EXPECT_EQ(result.result->totalCount, 12);
    EXPECT_EQ(result.result->failCount, 2);
    std::ifstream kept(workDir + "GETSYNCED.tlx");
    EXPECT_TRUE(kept.good()) << "the result file stays for the result dialog";

    const std::string log = LogText();
    EXPECT_NE(log.find("[N] receive start sync : 200\n"), std::string::npos);
    EXPECT_NE(log.find("[N] receive check sync : 404\n"), std::string::npos);
    EXPECT_NE(log.find("[N] receive sync info : 203\n"), std::string::npos);
    EXPECT_NE(log.find("[N] receive sync info : 200\n"), std::string::npos);
    EXPECT_EQ(log.find("secret"), std::string::npos);
}

TEST_F(ControlSessionTest, LogoutAnswerIsFollowedByASecondLogoutAndClose)
{
    LogIn();
    worker->Post(UM_LOGOUT, Cmd(UM_LOGOUT));
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ LOGOUT___\r\nREQUEST-ID : logout#1\r\nSESSION-ID : S1\r\n\r\n");
    conn->Write(Answer("LOGOUT___", 200, "SESSION-ID : S2\r\n"));
    Expect(UM_LOGOUT_RESULT);
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ LOGOUT___\r\nREQUEST-ID : logout#1\r\nSESSION-ID : S2\r\n\r\n");
    EXPECT_TRUE(conn->WaitClosed());
    worker->Join();
    EXPECT_TRUE(reports.Pending() == 0);
}

TEST_F(ControlSessionTest, QuitWhileIdleLogsOutFirst)
{
    LogIn();
    worker->Quit();
    EXPECT_NE(conn->ReadRequest().value_or("").find("LOGOUT___\r\nREQUEST-ID : logout#1\r\nSESSION-ID : S1"),
              std::string::npos);
    EXPECT_TRUE(conn->WaitClosed());
    worker->Join();
    EXPECT_TRUE(NoReport()); // the answer is not awaited, the close is not a loss
}

TEST_F(ControlSessionTest, AnswersWhoseBodiesCannotBeStoredAreStillReportedWithoutTheirLists)
{
    // A working folder that cannot hold files (even for root): every body fails to be stored.
    CChannelStartInfo info = Info();
    info.workDir = "/dev/null/cannot-be-a-folder";
    worker = StartControlSession(info, reports);
    conn = server.Accept();
    ASSERT_TRUE(conn);
    Expect(UM_CONTROL_CONNECTED);
    worker->Post(UM_LOGIN, Cmd(UM_LOGIN, "kim", "secret"));
    conn->ReadRequest();
    conn->Write(Answer("LOGIN____", 200, "SESSION-ID : S1\r\n"));
    Expect(UM_LOGIN_RESULT);

    // The poller must hear of the answer to poll again.
    worker->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    conn->ReadRequest();
    const std::string notices = "200 PUTFILE__ /a\r\n";
    conn->Write(Answer("GETNOTIED", 200, "DATA-LENGTH : " + std::to_string(notices.size()) + "\r\n") + notices);
    Report polled = Expect(UM_GETNOTIED);
    EXPECT_EQ(polled.notices, nullptr);
    EXPECT_FALSE(polled.keptNotices);

    // The sync job must hear of its unusable result to end.
    worker->Post(UM_GETSYNCED, Cmd(UM_GETSYNCED));
    conn->ReadRequest();
    const std::string ini = "[CheckSync]\r\nTotalCount=1\r\nFailCount=0\r\n";
    conn->Write(Answer("GETSYNCED", 200, "DATA-LENGTH : " + std::to_string(ini.size()) + "\r\n") + ini);
    Report result = Expect(UM_GETSYNCED);
    EXPECT_EQ(result.code, 200);
    EXPECT_FALSE(result.result);

    // The stream stays in step: the next answer is read as an answer.
    worker->Post(UM_CHECKSYNC, Cmd(UM_CHECKSYNC));
    conn->ReadRequest();
    conn->Write(Answer("CHECKSYNC", 404));
    EXPECT_EQ(Expect(UM_CHECKSYNC).code, 404);
}

TEST_F(ControlSessionTest, BodyCutShortIsNotDeliveredAndItsFileIsDeleted)
{
    LogIn();
    worker->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    conn->ReadRequest();
    conn->Write(Answer("GETNOTIED", 200, "DATA-LENGTH : 100\r\n") + "200 PUTFILE__ /a\r\n");
    std::this_thread::sleep_for(100ms);
    conn->Close();
    Expect(UM_CONNECTION_LOST);
    EXPECT_TRUE(TlxFiles().empty());
}

TEST_F(ControlSessionTest, QuitIsServedWhileABodyStalls)
{
    LogIn();
    worker->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    conn->ReadRequest();
    conn->Write(Answer("GETNOTIED", 200, "DATA-LENGTH : 100\r\n") + "200 PUT");
    std::this_thread::sleep_for(200ms);
    worker->Quit();
    EXPECT_TRUE(conn->WaitClosed(3s));
    worker->Join();
    EXPECT_TRUE(NoReport());
    EXPECT_TRUE(TlxFiles().empty());
}

TEST_F(ControlSessionTest, OversizedHeaderAndNegativeLengthAreProtocolErrors)
{
    LogIn();
    conn->Write("TLXSP/1.0 RESPONSE_ GETNOTIED\r\nSTATUS-DESC : " + std::string(20000, 'x'));
    Expect(UM_CONNECTION_LOST);
    EXPECT_TRUE(conn->WaitClosed());
    worker->Join();

    LogIn();
    conn->Write(Answer("GETNOTIED", 200, "DATA-LENGTH : -5\r\n"));
    Expect(UM_CONNECTION_LOST);
    EXPECT_TRUE(conn->WaitClosed());
}

TEST_F(ControlSessionTest, GarbageAndUnknownAnswersAreIgnored)
{
    LogIn();
    conn->Write("\x01\x02garbage\r\n\r\nTLXSP/1.0 X\r\n\r\n" + Answer("UNKNOWN__", 200, "DATA-LENGTH : 4\r\n") + "abcd" +
                Answer("CHECKSYNC", 200));
    EXPECT_EQ(Expect(UM_CHECKSYNC).code, 200); // the stream stays in step past a skipped body
}

TEST_F(ControlSessionTest, TextsThatCannotBeSentAreReportedNotMangled)
{
    LogIn();
    worker->Post(UM_LOGIN, Cmd(UM_LOGIN, "\xF0\x9F\x98\x80", "pw"));
    Report r = Expect(UM_REQUEST_NOT_SENT);
    ASSERT_TRUE(r.response);
    EXPECT_EQ(r.response->command, "LOGIN____");
    EXPECT_EQ(r.response->statusCode, kRequestNotEncodable);
    EXPECT_EQ(r.response->path2, ""); // the password is not handed around
    worker->Post(UM_CHECKSYNC, Cmd(UM_CHECKSYNC, "/a\r\nX"));
    EXPECT_EQ(Expect(UM_REQUEST_NOT_SENT).response->statusCode, kRequestBadText);
    EXPECT_TRUE(conn->Quiet());
}

TEST_F(ControlSessionTest, ConnectFailures)
{
    {
        CChannelStartInfo info = Info();
        fake::Server closed;
        info.port = closed.Port();
        { fake::Server gone(1); info.port = gone.Port(); } // nobody listens there any more
        auto w = StartControlSession(info, reports);
        Expect(UM_CONTROL_CONNECT_FAILED);
        w->Join();
    }
    {
        // A listener whose queue is full never completes the handshake: the time-out ends it.
        fake::Server full(0);
        std::vector<int> fillers;
        CChannelStartInfo info = Info();
        info.port = full.Port();
        info.connectTimeoutMs = 400;
        for (int i = 0; i < 8; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            test::ConnectLoopback(fd, static_cast<uint16_t>(full.Port()));
            fillers.push_back(fd);
        }
        std::this_thread::sleep_for(100ms);
        const auto start = std::chrono::steady_clock::now();
        auto w = StartControlSession(info, reports);
        Expect(UM_CONTROL_CONNECT_FAILED, 5s);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
        w->Join();
        for (int fd : fillers)
            ::close(fd);
    }
    {
        CChannelStartInfo info = Info();
        info.host = "localhost"; // a name, resolved locally
        auto w = StartControlSession(info, reports);
        auto c = server.Accept();
        EXPECT_TRUE(c);
        Expect(UM_CONTROL_CONNECTED);
    }
}

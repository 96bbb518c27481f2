// The web user check and the DRM authentication fetch, against small HTTP servers on loopback
// and against the development server.

#include "devserver/server.h"
#include "devserver/server_log.h"
#include "platform/log.h"
#include "platform/text_codec.h"
#include "protocol/webcheck.h"
#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace talvex;

namespace {

// Answers every connection with `reply` (or, when stall is set, never answers) and records
// the request heads. Stops by itself when destroyed.
class FakeHttpServer {
public:
    explicit FakeHttpServer(std::string reply, bool stall = false) : m_reply(std::move(reply)), m_stall(stall)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(test::BindLoopback(m_fd, m_port), 0);
        ::listen(m_fd, 8);
        m_thread = std::thread([this] { Run(); });
    }
    ~FakeHttpServer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    int Port() const { return m_port; }
    std::vector<std::string> Requests()
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

private:
    void Run()
    {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int c = ::accept(m_fd, nullptr, nullptr);
            if (c < 0)
                continue;
            std::string head;
            char buf[4096];
            while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 && !m_stop) {
                pollfd q{c, POLLIN, 0};
                if (::poll(&q, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                head.append(buf, static_cast<size_t>(n));
            }
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(head);
            }
            while (m_stall && !m_stop)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            size_t sent = 0;
            while (sent < m_reply.size()) {
                const ssize_t n = ::send(c, m_reply.data() + sent, m_reply.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += static_cast<size_t>(n);
            }
            ::close(c);
        }
    }

    int m_fd = -1;
    int m_port = 0;
    std::string m_reply;
    bool m_stall;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

std::string HttpReply(const std::string& body, const std::string& status = "200 OK", const std::string& extra = "")
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n" + extra + "Connection: close\r\n\r\n" + body;
}

std::string Wire(const std::string& utf8)
{
    std::string out;
    EXPECT_TRUE(ToWire(utf8, out));
    return out;
}

int CountLines(const std::string& head, const std::string& prefix)
{
    int n = 0;
    for (size_t pos = 0; (pos = head.find("\r\n" + prefix, pos)) != std::string::npos; ++pos)
        ++n;
    return n;
}

class WebCheckTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        SetWireEncoding("CP949");
        s_logDir = fs::temp_directory_path() / ("talvex-webcheck-log-" + std::to_string(::getpid()));
        fs::create_directories(s_logDir);
        SetLogFolderForTesting(s_logDir.string() + "/");
    }
    static void TearDownTestSuite() { fs::remove_all(s_logDir); }
    static fs::path s_logDir;
};
fs::path WebCheckTest::s_logDir;

const char kOkAnswer[] = "TLXSP/1.0 200 OK<br>STATUS-CODE : 200<br>HOST_IP : 10.1.2.3<br>SERVICESET_ID : set7<br>"
                         "SERVICE_TYPE : 1<br>USER_ROOT : \\\\srv\\bob\\<br>USE_DRM : 1<br>DRM_ID : d1<br>DRM_PASS : p:q<br><br>";

TEST_F(WebCheckTest, UrlEncodingIsByteWise)
{
    EXPECT_EQ(UrlEncode("aZ09"), "aZ09");
    EXPECT_EQ(UrlEncode("my pass&word"), "my+pass%26word");
    EXPECT_EQ(UrlEncode("\t-._~%+/"), "+%2D%2E%5F%7E%25%2B%2F");
    EXPECT_EQ(UrlEncode(Wire("홍길동")), "%C8%AB%B1%E6%B5%BF");
    EXPECT_EQ(UrlEncode(std::string("\x00\xff", 2)), "%00%FF");
}

TEST_F(WebCheckTest, AnswerParsing)
{
    WebCheckResult r = ParseWebCheckAnswer(kOkAnswer);
    EXPECT_EQ(r.kind, kWebCheckOk);
    EXPECT_EQ(r.record.hostIp, "10.1.2.3");
    EXPECT_EQ(r.record.serviceSetId, "set7");
    EXPECT_EQ(r.record.serviceType, 1);
    EXPECT_EQ(r.record.userRoot, "/srv/bob/");
    EXPECT_EQ(r.record.useDrm, 1);
    EXPECT_EQ(r.record.drmId, "d1");
    EXPECT_EQ(r.record.drmPass, "p"); // the value ends at the second ':'

    EXPECT_EQ(NormaliseUserRoot("/srv/bob"), "/srv/bob/");
    EXPECT_EQ(NormaliseUserRoot("data\\users\\\\kim\\"), "data/users/kim/");
    EXPECT_EQ(NormaliseUserRoot(""), "/");

    EXPECT_EQ(ParseWebCheckAnswer("").kind, kWebCheckUnreachable);
    EXPECT_EQ(ParseWebCheckAnswer("<html>STATUS-CODE : 200<br><br></html>").kind, kWebCheckUnreachable);
    EXPECT_EQ(ParseWebCheckAnswer("tlxsp/1.0 x<br>STATUS-CODE : 200<br><br>").kind, kWebCheckUnreachable);
    // Lines separated by <br> but no closing <br><br>: only the first line counts.
    EXPECT_EQ(ParseWebCheckAnswer("TLXSP/1.0 200<br>STATUS-CODE : 200<br>HOST_IP : 1.2.3.4<br>").kind, kWebCheckUnreachable);
    EXPECT_EQ(ParseWebCheckAnswer("TLXSP/1.0<br>STATUS-CODE : 400<br><br>").kind, kWebCheckNoAccount);
    EXPECT_EQ(ParseWebCheckAnswer("TLXSP/1.0<br>STATUS-CODE :  500 <br><br>").kind, kWebCheckWrongPassword);
    EXPECT_EQ(ParseWebCheckAnswer("TLXSP/1.0<br>STATUS-CODE : 302<br><br>").kind, kWebCheckUnreachable);
    EXPECT_EQ(ParseWebCheckAnswer("TLXSP/1.0<br>STATUS-CODE : OK<br><br>").kind, kWebCheckUnreachable);
    // The first name found in a line decides; later lines overwrite earlier ones.
    r = ParseWebCheckAnswer("TLXSP/1.0<br>STATUS-CODE : 200<br>USER_ROOT : /HOST_IP<br>HOST_IP : a<br>HOST_IP : b<br><br>");
    EXPECT_EQ(r.record.hostIp, "b");
    EXPECT_EQ(r.record.userRoot, "/");
}

TEST_F(WebCheckTest, RequestOnTheWire)
{
    FakeHttpServer server(HttpReply(Wire("TLXSP/1.0 200 OK<br>\r\nSTATUS-CODE : 200<br>\r\nHOST_IP : 127.0.0.9<br>"
                                         "USER_ROOT : /사용자/홍<br><br>")));
    const WebCheckResult r = RunWebCheck({"127.0.0.1", server.Port(), "홍길동", "my pass&word", 5});
    EXPECT_EQ(r.kind, kWebCheckOk) << r.error;
    EXPECT_EQ(r.record.hostIp, "127.0.0.9");
    EXPECT_EQ(r.record.userRoot, "/사용자/홍/");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& head = requests[0];
    EXPECT_EQ(head.rfind("GET /Velocis/checkuser.asp?UserID=%C8%AB%B1%E6%B5%BF&Password=my+pass%26word HTTP/1.1\r\n", 0), 0u)
        << head;
    EXPECT_EQ(CountLines(head, "User-Agent:"), 1) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: Kestrava_HTTP_Session\r\n"), std::string::npos) << head;
    EXPECT_EQ(CountLines(head, "Accept:"), 1) << head;
    EXPECT_NE(head.find("\r\nAccept: text/*\r\n"), std::string::npos) << head;
}

TEST_F(WebCheckTest, RedirectsAreNotFollowed)
{
    FakeHttpServer server(HttpReply("moved", "302 Found", "Location: /Velocis/checkuser.asp?again=1\r\n"));
    const WebCheckResult r = RunWebCheck({"127.0.0.1", server.Port(), "demo", "pw", 5});
    EXPECT_EQ(r.kind, kWebCheckUnreachable);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(WebCheckTest, DeadOrMissingHostEndsAsUnreachable)
{
    {
        FakeHttpServer silent("", true);
        const auto start = std::chrono::steady_clock::now();
        const WebCheckResult r = RunWebCheck({"127.0.0.1", silent.Port(), "demo", "pw", 1});
        EXPECT_EQ(r.kind, kWebCheckUnreachable);
        EXPECT_FALSE(r.error.empty());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    int closedPort;
    {
        FakeHttpServer gone("");
        closedPort = gone.Port();
    }
    EXPECT_EQ(RunWebCheck({"127.0.0.1", closedPort, "demo", "pw", 2}).kind, kWebCheckUnreachable);
    // An id the wire encoding cannot hold is refused before anything is sent.
    FakeHttpServer server(HttpReply(kOkAnswer));
    EXPECT_EQ(RunWebCheck({"127.0.0.1", server.Port(), "smile\xF0\x9F\x98\x80", "pw", 2}).kind, kWebCheckUnreachable);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(WebCheckTest, OversizedAnswerIsReadOnlyToItsBound)
{
    FakeHttpServer server(HttpReply(std::string(kOkAnswer) + std::string(4 << 20, 'x')));
    const WebCheckResult r = RunWebCheck({"127.0.0.1", server.Port(), "demo", "pw", 5});
    EXPECT_EQ(r.kind, kWebCheckOk);
    EXPECT_EQ(r.record.hostIp, "10.1.2.3");
}

TEST_F(WebCheckTest, SystemProxyIsHonoured)
{
    FakeHttpServer proxy(HttpReply(kOkAnswer));
    const std::string saved[] = {getenv("http_proxy") ? getenv("http_proxy") : "", getenv("no_proxy") ? getenv("no_proxy") : "",
                                 getenv("NO_PROXY") ? getenv("NO_PROXY") : ""};
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.Port())).c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    const WebCheckResult r = RunWebCheck({"web.example.invalid", 0, "demo", "pw", 5});
    saved[0].empty() ? unsetenv("http_proxy") : setenv("http_proxy", saved[0].c_str(), 1);
    if (!saved[1].empty())
        setenv("no_proxy", saved[1].c_str(), 1);
    if (!saved[2].empty())
        setenv("NO_PROXY", saved[2].c_str(), 1);

    EXPECT_EQ(r.kind, kWebCheckOk) << r.error;
    const auto requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("GET http://web.example.invalid/Velocis/checkuser.asp?UserID=demo&Password=pw HTTP/1.1\r\n", 0), 0u)
        << requests[0];
}

TEST_F(WebCheckTest, PasswordNeverReachesTheLog)
{
    FakeHttpServer server(HttpReply(kOkAnswer));
    RunWebCheck({"127.0.0.1", server.Port(), "demo", "Zq7secretpw", 5});
    RunWebCheck({"127.0.0.1", 1, "demo", "Zq7secretpw", 1});
    RunDrmAuth({"127.0.0.1", server.Port(), "d1", "Zq7secretpw", 5});
    size_t logged = 0;
    for (const auto& e : fs::directory_iterator(s_logDir)) {
        std::ifstream in(e.path());
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        logged += text.size();
        EXPECT_EQ(text.find("Zq7secret"), std::string::npos) << text;
    }
    EXPECT_GT(logged, 0u);
}

TEST_F(WebCheckTest, DrmAuthAnswer)
{
    DrmAuthParams p;
    EXPECT_TRUE(ParseDrmAuthAnswer("cpcode$*$C1$_$SEED$*$ S1 $_$KeyID$*$K1$_$Other$*$x$_$trailing", p));
    EXPECT_EQ(p.cpCode, "C1");
    EXPECT_EQ(p.seed, "S1");
    EXPECT_EQ(p.keyId, "K1");
    EXPECT_EQ(p.genUrl, "");
    EXPECT_FALSE(ParseDrmAuthAnswer("CPCODE$*$C1", p));
    EXPECT_FALSE(ParseDrmAuthAnswer("error", p));
}

TEST_F(WebCheckTest, AgainstTheDevelopmentServer)
{
    devserver::SetServerLogQuiet(true);
    const fs::path root = fs::temp_directory_path() / ("talvex-webcheck-dev-" + std::to_string(::getpid()));
    devserver::ServerConfig config;
    config.root = root.string();
    config.webPort = config.commandPort = config.controlPort = 0;
    devserver::Server server(config, devserver::AccountBook::Defaults());
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    const int port = server.WebPort();

    WebCheckResult r = RunWebCheck({"127.0.0.1", port, "홍길동", "비밀1234", 5});
    EXPECT_EQ(r.kind, kWebCheckOk) << r.error;
    EXPECT_EQ(r.record.hostIp, "127.0.0.1");
    EXPECT_EQ(r.record.userRoot, "/홍길동/");
    EXPECT_EQ(RunWebCheck({"127.0.0.1", port, "홍길동", "wrong", 5}).kind, kWebCheckWrongPassword);
    EXPECT_EQ(RunWebCheck({"127.0.0.1", port, "nobody", "x", 5}).kind, kWebCheckNoAccount);
    r = RunWebCheck({"127.0.0.1", port, "drm", "drm1234", 5});
    EXPECT_EQ(r.record.useDrm, 1);

    const DrmAuthResult drm = RunDrmAuth({"127.0.0.1", port, r.record.drmId, r.record.drmPass, 5});
    EXPECT_TRUE(drm.ok) << drm.error;
    EXPECT_FALSE(drm.params.cpCode.empty());
    EXPECT_FALSE(drm.params.seed.empty());
    EXPECT_FALSE(drm.params.pubKey.empty());
    EXPECT_FALSE(RunDrmAuth({"127.0.0.1", port, r.record.drmId, "wrong", 5}).ok);
    server.Stop();
    fs::remove_all(root);
}

} // namespace

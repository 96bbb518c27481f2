// A whole conversation: the three kinds of connection against a small in-memory service that
// answers every request the way the real service does.
#include "engine_fixture.h"

#include "protocol/message.h"
#include "protocol/socket_channel.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <set>
#include <sys/socket.h>

#ifndef TCP_RTO_MAX_MS
#define TCP_RTO_MAX_MS 44
#endif

using namespace talvex;
using namespace std::chrono_literals;
using fake::Answer;

namespace {

std::string Header(const std::string& request, const std::string& name)
{
    const std::string key = "\r\n" + name + " : ";
    const size_t at = request.find(key);
    if (at == std::string::npos)
        return {};
    const size_t from = at + key.size();
    return request.substr(from, request.find("\r\n", from) - from);
}

// The client ends of the connections to a port on 127.0.0.1, found among this process's
// descriptors (the workers run in it).
std::vector<int> ClientSocketsTo(int port)
{
    std::vector<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return fds;
    while (dirent* e = ::readdir(dir)) {
        const int fd = std::atoi(e->d_name);
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (e->d_name[0] != '.' && fd != ::dirfd(dir) &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
            ntohs(peer.sin_port) == port)
            fds.push_back(fd);
    }
    ::closedir(dir);
    return fds;
}

int TcpOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t len = sizeof value;
    if (::getsockopt(fd, level, name, &value, &len) != 0)
        return -errno;
    return value;
}

// The timers of a connection as the kernel holds them.
void ExpectLinkTimers(int fd, const char* kind)
{
    SCOPED_TRACE(kind);
    EXPECT_EQ(TcpOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 20000);
    EXPECT_EQ(TcpOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(TcpOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 2);
    EXPECT_EQ(TcpOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 1);
    EXPECT_EQ(TcpOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    // A kernel before 6.15 has no cap (the channel goes on without it, as the log says).
    const int cap = TcpOption(fd, IPPROTO_TCP, TCP_RTO_MAX_MS);
    if (cap != -ENOPROTOOPT && cap != -EINVAL) {
        EXPECT_EQ(cap, 1000);
    }
}

// Answers requests of one connection until the client closes it.
class Service {
public:
    void Serve(fake::Connection& c)
    {
        while (std::optional<std::string> request = c.ReadRequest(10s)) {
            const std::string command = request->substr(20, 9);
            const std::string path = Header(*request, "PATH");
            std::lock_guard lock(m_mutex);
            log.push_back(command);
            if (Header(*request, "SESSION-ID") != "S1" && command != tlxsp::kLogin) {
                c.Write(Answer(command, 401));
                continue;
            }
            if (command == tlxsp::kLogin) {
                c.Write(Answer(command, 200, "SESSION-ID : S1\r\n"));
            } else if (command == tlxsp::kLogout) {
                c.Write(Answer(command, 200, "SESSION-ID : S1\r\n"));
            } else if (command == tlxsp::kBrowse || command == tlxsp::kSearch) {
                std::string body;
                for (const std::string& e : m_entries)
                    if (command == tlxsp::kBrowse || e.find(Header(*request, "PATH2")) != std::string::npos)
                        body += (e.back() == '/' ? "1 0 " : "0 5 ") + std::string("2006 12 6 21 37 0 ") + e + "\r\n";
                c.Write(Answer(command, 200, "DATA-LENGTH : " + std::to_string(body.size()) + "\r\n") + body);
            } else if (command == tlxsp::kMkDir) {
                m_entries.insert(path.substr(1) + "/");
                c.Write(Answer(command, 200, "PATH : " + path + "\r\n"));
            } else if (command == tlxsp::kRmDir || command == tlxsp::kDelFile) {
                const bool found = m_entries.erase(path.substr(1) + (command == tlxsp::kRmDir ? "/" : "")) > 0;
                c.Write(Answer(command, found ? 200 : 204, "PATH : " + path + "\r\n"));
            } else if (command == tlxsp::kRename) {
                m_entries.erase(path.substr(1));
                m_entries.insert(Header(*request, "PATH2").substr(1));
                c.Write(Answer(command, 200, "PATH : " + path + "\r\nPATH2 : " + Header(*request, "PATH2") + "\r\n"));
            } else if (command == tlxsp::kPutFile) {
                const std::string length = Header(*request, "DATA-LENGTH");
                std::optional<std::string> data = c.ReadBytes(length.empty() ? 0 : std::stoul(length));
                if (!data)
                    return;
                m_entries.insert(path);
                uploaded[path] = *data;
                m_notices += "200 PUTFILE__ /" + path + "\r\n";
                c.Write(Answer(command, 200, "PATH : " + path + "\r\n"));
            } else if (command == tlxsp::kGetNotied) {
                c.Write(Answer(command, 200, "DATA-LENGTH : " + std::to_string(m_notices.size()) + "\r\n") + m_notices);
                m_notices.clear();
            } else if (command == tlxsp::kStartSync || command == tlxsp::kCheckSync) {
                m_syncPolls = 0;
                c.Write(Answer(command, 200));
            } else if (command == tlxsp::kGetSynced) {
                if (m_syncPolls++ == 0) {
                    c.Write(Answer(command, 203));
                } else {
                    const std::string ini = "[CheckSync]\r\nTotalSize=5\r\nTotalCount=" + std::to_string(m_entries.size()) +
                                            "\r\nFailSize=0\r\nFailCount=0\r\n";
                    c.Write(Answer(command, 200, "DATA-LENGTH : " + std::to_string(ini.size()) + "\r\n") + ini);
                }
            }
        }
    }

    std::vector<std::string> log;
    std::map<std::string, std::string> uploaded;

private:
    std::mutex m_mutex;
    std::set<std::string> m_entries{"readme.txt"};
    std::string m_notices;
    int m_syncPolls = 0;
};

} // namespace

class Conversation : public EngineTest {};

TEST_F(Conversation, EndToEnd)
{
    Service service;
    fake::Server controlPort;
    std::vector<std::thread> servers;
    std::vector<std::unique_ptr<fake::Connection>> connections(3);
    auto serve = [&](fake::Server& port, int slot) {
        servers.emplace_back([&, slot] {
            connections[slot] = port.Accept(10s);
            if (connections[slot])
                service.Serve(*connections[slot]);
        });
    };
    serve(controlPort, 0);
    serve(server, 1);
    serve(server, 2);

    BlockingReportQueue controlReports, commandReports, uploadReports;
    // Every kind of connection takes the dead-path bound it is given.
    auto withBound = [](CChannelStartInfo info) {
        info.stallTimeoutMs = 20000;
        return info;
    };
    CChannelStartInfo info = withBound(Info());
    info.port = controlPort.Port();
    auto control = StartControlSession(info, controlReports);
    ASSERT_EQ(controlReports.Next(5s)->message, UM_CONTROL_CONNECTED);
    control->Post(UM_LOGIN, Cmd(UM_LOGIN, "demo", "demo"));
    auto login = controlReports.NextOf(UM_LOGIN_RESULT, 5s);
    ASSERT_TRUE(login && login->response);
    ASSERT_EQ(login->response->statusCode, 200);
    const std::string session = login->response->sessionId;

    auto command = StartCommandChannel(withBound(Info(session)), commandReports);
    auto root = commandReports.NextOf(UM_BROWSE, 5s);
    ASSERT_TRUE(root && root->entries);
    ASSERT_EQ(root->entries->size(), 1u);
    EXPECT_EQ((*root->entries)[0].name, "readme.txt");

    command->Post(UM_MKDIR, Cmd(UM_MKDIR, "/docs"));
    EXPECT_EQ(commandReports.NextOf(UM_MKDIR_RESULT, 5s)->response->statusCode, 200);

    // Upload one file into the new folder.
    auto upload = StartUploadChannel(withBound(Info(session)), uploadReports);
    ASSERT_EQ(uploadReports.Next(5s)->code, UE_CONNECTED);
    std::ofstream(workDir + "local.txt") << "hello";
    auto request = std::make_shared<CUploadRequest>();
    request->localPath = workDir + "local.txt";
    request->remotePath = "docs/hello.txt";
    request->size = 5;
    upload->PostUpload(request);
    bool done = false, answered = false;
    while (!(done && answered)) {
        std::optional<Report> r = uploadReports.Next(5s);
        ASSERT_TRUE(r);
        done = done || r->code == UE_DONE;
        answered = answered || (r->code == UE_RESPONSE && r->response->statusCode == 200);
        ASSERT_TRUE(r->code == UE_PROGRESS || r->code == UE_DONE || r->code == UE_RESPONSE) << r->code;
    }
    control->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    auto notices = controlReports.NextOf(UM_GETNOTIED, 5s);
    ASSERT_TRUE(notices && notices->notices);
    ASSERT_EQ(notices->notices->notices.size(), 1u);
    EXPECT_EQ(notices->notices->notices[0].number, 200);
    EXPECT_EQ(notices->notices->notices[0].text, "/docs/hello.txt");

    command->Post(UM_SEARCH, Cmd(UM_SEARCH, "/", "hello"));
    auto found = commandReports.NextOf(UM_SEARCH, 5s);
    ASSERT_TRUE(found && found->entries);
    ASSERT_EQ(found->entries->size(), 1u);
    EXPECT_EQ((*found->entries)[0].name, "docs/hello.txt");

    command->Post(UM_RENAME, Cmd(UM_RENAME, "/docs/hello.txt", "/docs/bye.txt"));
    EXPECT_EQ(commandReports.NextOf(UM_RENAME_RESULT, 5s)->response->statusCode, 200);
    command->Post(UM_DELFILE, Cmd(UM_DELFILE, "/docs/bye.txt"));
    EXPECT_EQ(commandReports.NextOf(UM_DELFILE_DONE, 5s)->response->path, "/docs/bye.txt");
    command->Post(UM_RMDIR, Cmd(UM_RMDIR, "/docs"));
    EXPECT_EQ(commandReports.NextOf(UM_RMDIR_RESULT, 5s)->response->statusCode, 200);
    command->Post(UM_BROWSE, Cmd(UM_BROWSE, "/"));
    EXPECT_EQ(commandReports.NextOf(UM_BROWSE, 5s)->entries->size(), 1u);

    control->Post(UM_STARTSYNC, Cmd(UM_STARTSYNC));
    EXPECT_EQ(controlReports.NextOf(UM_STARTSYNC, 5s)->code, 200);
    control->Post(UM_CHECKSYNC, Cmd(UM_CHECKSYNC, "/readme.txt"));
    EXPECT_EQ(controlReports.NextOf(UM_CHECKSYNC, 5s)->code, 200);
    control->Post(UM_GETSYNCED, Cmd(UM_GETSYNCED));
    EXPECT_EQ(controlReports.NextOf(UM_GETSYNCED, 5s)->code, 203);
    control->Post(UM_GETSYNCED, Cmd(UM_GETSYNCED));
    auto result = controlReports.NextOf(UM_GETSYNCED, 5s);
    ASSERT_TRUE(result && result->result);
    EXPECT_EQ(result->result->totalCount, 1);

    // Read back from the sockets themselves: the control session, the command and the upload
    // channel all cap the back-off, bound unacknowledged data and probe when idle.
    const std::vector<int> controlSockets = ClientSocketsTo(controlPort.Port());
    const std::vector<int> channelSockets = ClientSocketsTo(server.Port());
    ASSERT_EQ(controlSockets.size(), 1u);
    ASSERT_EQ(channelSockets.size(), 2u);
    ExpectLinkTimers(controlSockets[0], "control session");
    ExpectLinkTimers(channelSockets[0], "command or upload channel");
    ExpectLinkTimers(channelSockets[1], "command or upload channel");
    // The timers of a bound, pinned: the default, a short one (probes a second apart at least),
    // and none (the system's own: not even the cap, which alone would end connections early).
    struct Pinned { int bound, cap, idle, interval; };
    for (const Pinned& p : {Pinned{45000, 1000, 4, 1}, Pinned{3000, 1000, 1, 1}, Pinned{0, 0, 0, 0}}) {
        const LinkTimers t = LinkTimersFor(p.bound);
        EXPECT_EQ(t.userTimeoutMs, p.bound);
        EXPECT_EQ(t.retransmitCapMs, p.cap) << p.bound;
        EXPECT_EQ(t.keepIdleS, p.idle) << p.bound;
        EXPECT_EQ(t.keepIntervalS, p.interval) << p.bound;
    }

    upload.reset();
    command.reset();
    control->Post(UM_LOGOUT, Cmd(UM_LOGOUT));
    EXPECT_TRUE(controlReports.NextOf(UM_LOGOUT_RESULT, 5s));
    control->Join();
    for (std::thread& t : servers)
        t.join();

    EXPECT_EQ(service.uploaded["docs/hello.txt"], "hello");
    const std::vector<std::string> expected = {"LOGIN____", "BROWSE___", "MKDIR____", "PUTFILE__", "GETNOTIED",
                                               "SEARCH___", "RENAME___", "DELFILE__", "RMDIR____", "BROWSE___",
                                               "STARTSYNC", "CHECKSYNC", "GETSYNCED", "GETSYNCED", "LOGOUT___",
                                               "LOGOUT___"};
    EXPECT_EQ(service.log, expected);
}

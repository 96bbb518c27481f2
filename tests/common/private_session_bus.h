#pragma once
// A D-Bus session bus of the test's own, and on it, when asked, a secret store (gnome-keyring,
// unlocked with a test password): nothing of a developer's desktop is ever touched, and
// nothing is activated on the bus behind the test's back (the bus has no service folders).
// Everything lives in a temporary folder. The daemons are ended when the test process exits,
// after its event loop has stopped: a bus that disappeared while a library still used it
// would end the process.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace talvex::test {

class PrivateSessionBus {
public:
    // The bus of this process, started on the first call; null with why when dbus-daemon
    // cannot run here. Sets DBUS_SESSION_BUS_ADDRESS for the process.
    static PrivateSessionBus* Get(std::string& why)
    {
        static PrivateSessionBus* bus = nullptr;
        static std::string failure;
        if (!bus && failure.empty()) {
            auto* b = new PrivateSessionBus;
            if (b->StartBus(failure)) {
                bus = b;
                std::atexit([] { bus->StopAll(); });
            } else {
                b->StopAll();
                delete b;
            }
        }
        why = failure;
        return bus;
    }

    const std::string& Address() const { return m_address; }
    const std::string& Folder() const { return m_dir; }

    // gnome-keyring's secret store on the bus, its login keyring unlocked with password and
    // made the default collection. False with why when the daemon cannot run.
    bool StartKeyring(const std::string& password, std::string& why)
    {
        if (m_keyringPid > 0)
            return true;
        const std::string home = m_dir + "/home";
        const std::string run = m_dir + "/run";
        std::filesystem::create_directories(home + "/.local/share");
        std::filesystem::create_directories(run);
        ::chmod(run.c_str(), 0700);
        int in[2];
        if (::pipe(in) != 0) {
            why = "pipe";
            return false;
        }
        std::vector<std::string> env = Environment({"HOME=" + home, "XDG_DATA_HOME=" + home + "/.local/share",
                                                    "XDG_RUNTIME_DIR=" + run,
                                                    "DBUS_SESSION_BUS_ADDRESS=" + m_address});
        const pid_t pid = Spawn({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"}, env,
                                in[0], -1, -1, in[1]);
        ::close(in[0]);
        if (pid < 0) {
            ::close(in[1]);
            why = "gnome-keyring-daemon is not installed";
            return false;
        }
        m_keyringPid = pid;
        // The unlock password on standard input, ended by closing it.
        (void)!::write(in[1], password.data(), password.size());
        ::close(in[1]);
        // Ready when the store owns its name on the bus (and has made its login collection).
        for (int i = 0; i < 100; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                m_keyringPid = -1;
                why = WIFEXITED(status) && WEXITSTATUS(status) == 127 ? "gnome-keyring-daemon is not installed"
                                                                       : "gnome-keyring-daemon ended at start";
                return false;
            }
            if (Run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.secrets",
                     "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.ReadAlias", "string:default"},
                    "/collection/login"))
                return true;
            ::usleep(100 * 1000);
        }
        why = "gnome-keyring-daemon did not come up on the bus within 10 s";
        return false;
    }

    // Locks the store's login collection (as a screen lock would).
    bool LockKeyring()
    {
        return Run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.secrets",
                    "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.Lock",
                    "array:objpath:/org/freedesktop/secrets/collection/login"},
                   "");
    }

private:
    bool StartBus(std::string& why)
    {
        char tmpl[] = "/tmp/talvex-bus-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            why = "mkdtemp";
            return false;
        }
        m_dir = tmpl;
        const std::string config = m_dir + "/bus.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig><type>session</type><listen>unix:path="
                              << m_dir << "/bus</listen><auth>EXTERNAL</auth>"
                              << "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                 "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        int out[2];
        if (::pipe(out) != 0) {
            why = "pipe";
            return false;
        }
        const pid_t pid = Spawn({"dbus-daemon", "--nofork", "--print-address=3", "--config-file=" + config},
                                Environment({}), -1, -1, out[1], out[0]);
        ::close(out[1]);
        if (pid < 0) {
            ::close(out[0]);
            why = "dbus-daemon is not installed";
            return false;
        }
        m_busPid = pid;
        std::string line;
        pollfd p{out[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
            char buf[256];
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0)
                break;
            line.append(buf, static_cast<size_t>(n));
        }
        ::close(out[0]);
        if (line.find('\n') == std::string::npos) {
            why = "dbus-daemon did not start (is it installed?)";
            return false;
        }
        m_address = line.substr(0, line.find('\n'));
        ::setenv("DBUS_SESSION_BUS_ADDRESS", m_address.c_str(), 1);
        return true;
    }

    // Runs a helper; true when it succeeds and its output holds expect.
    static bool Run(const std::vector<std::string>& args, const std::string& expect)
    {
        int out[2];
        if (::pipe(out) != 0)
            return false;
        const pid_t pid = Spawn(args, Environment({}), -1, out[1], -1, out[0]);
        ::close(out[1]);
        if (pid < 0) {
            ::close(out[0]);
            return false;
        }
        std::string text;
        char buf[512];
        pollfd p{out[0], POLLIN, 0};
        while (::poll(&p, 1, 5000) > 0) {
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<size_t>(n));
        }
        ::close(out[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 && text.find(expect) != std::string::npos;
    }

    // This process's environment with the given NAME=value entries in place of its own.
    static std::vector<std::string> Environment(const std::vector<std::string>& set)
    {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            bool replaced = false;
            for (const std::string& s : set)
                replaced |= entry.compare(0, s.find('=') + 1, s, 0, s.find('=') + 1) == 0;
            if (!replaced)
                env.push_back(entry);
        }
        env.insert(env.end(), set.begin(), set.end());
        return env;
    }

    // Starts a program found on PATH; stdinFd, stdoutFd and fd3 are given to it (-1: /dev/null,
    // none for fd 3); closeFd is closed in the child. -1 when it cannot be started.
    static pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int stdinFd,
                       int stdoutFd, int fd3, int closeFd = -1)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdinFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
        else
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (stdoutFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
        else
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (fd3 >= 0 && fd3 != 3)
            posix_spawn_file_actions_adddup2(&actions, fd3, 3);
        if (closeFd >= 0)
            posix_spawn_file_actions_addclose(&actions, closeFd);
        std::vector<char*> argv, envp;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        pid_t pid = -1;
        const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? pid : -1;
    }

    void StopAll()
    {
        for (pid_t* pid : {&m_keyringPid, &m_busPid}) {
            if (*pid <= 0)
                continue;
            ::kill(*pid, SIGTERM);
            int waited = 0;
            while (::waitpid(*pid, nullptr, WNOHANG) == 0 && waited < 300) {
                ::usleep(10 * 1000);
                ++waited;
            }
            if (waited == 300) {
                ::kill(*pid, SIGKILL);
                ::waitpid(*pid, nullptr, 0);
            }
            *pid = -1;
        }
        if (!m_dir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_dir, ec);
        }
    }

    std::string m_dir;
    std::string m_address;
    pid_t m_busPid = -1;
    pid_t m_keyringPid = -1;
};

} // namespace talvex::test

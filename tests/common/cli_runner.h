#pragma once
// Runs talvex-cli as a child process with its output captured, for the command-line tests.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace talvex::test {

struct CliRun {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs talvex-cli with the arguments; killed when it takes longer than limitSeconds. With a
// wrapper, that command runs with talvex-cli and its arguments after its own (a shell that
// limits it first, a new mount namespace).
inline CliRun RunCli(const std::vector<std::string>& args, const std::string& input = {}, int limitSeconds = 60,
                     const std::vector<std::string>& wrapper = {})
{
    int outPipe[2], errPipe[2], inPipe[2];
    EXPECT_EQ(pipe(outPipe), 0);
    EXPECT_EQ(pipe(errPipe), 0);
    EXPECT_EQ(pipe(inPipe), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1]})
        posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<char*> argv;
    std::vector<std::string> copy = wrapper;
    copy.push_back(TALVEX_CLI_PATH);
    copy.insert(copy.end(), args.begin(), args.end());
    std::string path = copy.front();
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    close(inPipe[0]);
    CliRun run;
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        close(inPipe[1]);
        ADD_FAILURE() << "cannot start " << path;
        return run;
    }
    if (!input.empty())
        (void)!write(inPipe[1], input.data(), input.size());
    close(inPipe[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "talvex-cli did not finish in time";
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0)
            continue;
        for (auto& f : fds) {
            if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            const ssize_t n = read(f.fd, buf, sizeof buf);
            if (n <= 0) {
                close(f.fd);
                f.fd = -1;
                --open;
            } else {
                (f.fd == outPipe[0] ? run.out : run.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The last line of a run's output (trailing newlines left out).
inline std::string LastLine(const std::string& text)
{
    std::string t = text;
    while (!t.empty() && t.back() == '\n')
        t.pop_back();
    const size_t nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

// How often what stands in text.
inline size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// A whole file's bytes (empty when it cannot be read).
inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace talvex::test

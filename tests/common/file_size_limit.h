#pragma once
// Runs a piece of code in a forked child whose files cannot grow beyond a limit
// (RLIMIT_FSIZE, SIGXFSZ ignored): a write that crosses the limit fails with EFBIG part-way,
// the way a full disk fails a save. The child's result comes back as its exit status.

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace talvex::test {

// fn's result (0..255), or -1 when the child could not run or did not exit normally.
inline int RunWithFileSizeLimit(rlim_t limitBytes, const std::function<int()>& fn)
{
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{limitBytes, limitBytes};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(250);
        ::_exit(fn() & 0xff);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace talvex::test

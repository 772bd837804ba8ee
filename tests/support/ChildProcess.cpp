#include "tests/support/ChildProcess.h"

#include "app/Utility.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

std::optional<std::string> RunInChild(
    const std::function<std::string()>& work, std::chrono::milliseconds deadline)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return std::nullopt;
    }
    if (child == 0) {
        ::close(fds[0]);
        const bool sent = WriteAll(fds[1], work());
        // No exit handlers: they belong to the test program, not to this copy of it.
        ::_exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    const auto end = std::chrono::steady_clock::now() + deadline;
    std::string text;
    bool ended = false;
    for (;;) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                  .count();
        if (left <= 0)
            break;
        pollfd readable { fds[0], POLLIN, 0 };
        const int ready = ::poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[4096];
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ended = got == 0;
            break;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
    ::close(fds[0]);
    if (!ended)
        ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) { }
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return text;
}

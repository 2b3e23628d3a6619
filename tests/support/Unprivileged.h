#pragma once

// The tests run as root, who passes every permission check; what a user meets is tried in a child
// process that has become the unprivileged user "nobody" (uid and gid 65534).

#include <functional>

#include <sys/wait.h>
#include <unistd.h>

namespace TestSupport {

/// Runs `body` in a child process as "nobody" and returns its exit code: `body`'s result, 100
/// when the child could not drop its privileges, 200 when it did not exit normally.
inline int runAsNobody(const std::function<int()> &body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(100);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

} // namespace TestSupport

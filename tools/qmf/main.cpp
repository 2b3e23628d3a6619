#include "Qmf.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

// A standard stream that the caller closed (`<&-`) must not stay free: the next descriptor
// opened, Qt's own event descriptors included, would take its number, and a program that qmf
// runs would read or write that instead. Each takes the null device, opened for reading only:
// a closed input reads as empty, and a write to a closed output fails as it would have
// (EBADF), so that output with nowhere to go is reported rather than swallowed.
void openClosedStandardStreams()
{
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number: `descriptor`, since those below it are open by now.
        const int opened = ::open("/dev/null", O_RDONLY);
        if (opened != descriptor && opened >= 0) {
            ::dup2(opened, descriptor);
            ::close(opened);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    openClosedStandardStreams();
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    // The program name is not part of what qmf parses.
    return Qmf::run(QCoreApplication::arguments().mid(1), out, err);
}

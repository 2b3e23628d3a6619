// Counts the SIGINTs it receives, as a program that takes a second Ctrl-C for "abort now"
// would: writes "INT" when one arrives and "ready" once it listens; for each line read from
// its standard input, writes "count N" (the SIGINTs so far); at the end of the input exits
// with N.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

volatile sig_atomic_t interrupts = 0;

void say(const char *text)
{
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, text, std::strlen(text));
}

void onInterrupt(int)
{
    interrupts = interrupts + 1;
    say("INT\n");
}

} // namespace

int main()
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    if (::sigaction(SIGINT, &action, nullptr) != 0)
        return 100;
    say("ready\n");
    char buffer[256];
    for (;;) {
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return 101;
        if (count == 0)
            return interrupts;
        for (ssize_t i = 0; i < count; ++i) {
            if (buffer[i] == '\n') {
                char line[32];
                std::snprintf(line, sizeof line, "count %d\n", int(interrupts));
                say(line);
            }
        }
    }
}

#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cerrno>

#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

namespace {

QStringList sh(const QString &script)
{
    return {u"/bin/sh"_s, u"-c"_s, script};
}

// The qmf program (not in-process: its start-up is under test), run by /bin/sh with `script`,
// in which "$0" is qmf. Returns what qmf wrote to its standard output and its status.
std::pair<QByteArray, int> runQmfProgram(const QString &script)
{
    QProcess process;
    process.start(u"/bin/sh"_s, {u"-c"_s, script, QStringLiteral(QMF_TOOL_PATH)});
    if (!process.waitForFinished(-1))
        return {"not started", -1};
    return {process.readAllStandardOutput(), process.exitCode()};
}

// Reads what `descriptor` (a pseudo-terminal's master) gives into `received` until it
// contains `text` `times` times; false when the terminal has closed first.
bool readUntil(int descriptor, QByteArray &received, const QByteArray &text, int times = 1)
{
    while (received.count(text) < times) {
        char buffer[256];
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        received.append(buffer, count);
    }
    return true;
}

// The number of the `occurrence`th "count N" line of the signal counter in `received`, read
// from `descriptor` as far as needed; -1 when the terminal has closed first.
int readCount(int descriptor, QByteArray &received, int occurrence)
{
    for (;;) {
        qsizetype at = -1;
        for (int i = 0; i < occurrence; ++i) {
            at = received.indexOf("count ", at + 1);
            if (at < 0)
                break;
        }
        const qsizetype end = at < 0 ? -1 : received.indexOf('\n', at);
        if (end >= 0)
            return received.mid(at + 6, end - at - 6).trimmed().toInt();
        if (!readUntil(descriptor, received, "\n", int(received.count('\n')) + 1))
            return -1;
    }
}

} // namespace

// PROGRAM's output, error stream and exit code are passed on; bad options are usage errors
// before anything is launched.
TEST(QmfRunTest, PassesOnOutputAndExitCode)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString canonical = QDir(directory.path()).canonicalPath();
    const QString readable = writeFile(directory, u"readable"_s, "echo not run\n");
    expectRuns({
            {words("run") + sh(u"printf out; printf err >&2; exit 3"_s), {}, 3, "out", u"err"_s},
            // PROGRAM's options are its own, with or without "--".
            {words("run -- /bin/echo -n --lines"), {}, 0, "--lines"},
            {words("run --env A=1 --env B=x=y --env A=2") + sh(u"printf '%s|%s' \"$A\" \"$B\""_s),
             {},
             0,
             "2|x=y"},
            {words("run --cwd") + QStringList {canonical, u"/bin/pwd"_s, u"-P"_s},
             {},
             0,
             canonical.toUtf8() + "\n"},
            {words("run /bin/cat"), "fed\n", 0, "fed\n"},
            // Read to the end: a process the program leaves running writes after its end.
            {QStringList {u"run"_s, u"--cwd"_s, canonical}
                     + sh(u"mkfifo fifo; (read x <fifo; echo late) & exec 4>fifo; echo early"_s),
             {},
             0,
             "early\nlate\n"},
            {words("run --lines") + sh(u"printf 'a\\nb\\n\\nc\\n'; printf e >&2"_s),
             {},
             0,
             "1: a\n2: b\n3: \n4: c\n",
             u"e"_s},
            {words("run --lines /bin/true")},
            // As a shell: 127 for a program that is not there, 126 for one that cannot be run,
            // 128 + N for one that signal N ended.
            failing(words("run /nonexistent/program a"), 127,
                    u"qmf: cannot launch /nonexistent/program: No such file or directory\n"_s),
            failing(words("run qmf-no-such-program"), 127,
                    u"qmf: cannot launch qmf-no-such-program: No such file or directory\n"_s),
            failing(QStringList {u"run"_s, canonical}, 126,
                    u"qmf: cannot launch %1: Is a directory\n"_s.arg(canonical)),
            failing(QStringList {u"run"_s, readable}, 126,
                    u"qmf: cannot launch %1: Permission denied\n"_s.arg(readable)),
            failing(words("run --cwd /nonexistent/dir /bin/true"), 126,
                    u"qmf: cannot enter /nonexistent/dir: No such file or directory\n"_s),
            failing(QStringList {u"run"_s, u"--cwd"_s, readable, u"/bin/true"_s}, 126,
                    u"qmf: cannot enter %1: Not a directory\n"_s.arg(readable)),
            {words("run") + sh(u"kill -TERM $$"_s), {}, 128 + SIGTERM},
            {words("run") + sh(u"exit 143"_s), {}, 143},
            failing(words("run"), 2, u"qmf: run needs a PROGRAM\n"_s),
            failing(words("run --env PLAIN /bin/true"), 2,
                    u"qmf: --env needs NAME=VALUE, not \"PLAIN\"\n"_s),
            failing(words("run --env =v /bin/true"), 2,
                    u"qmf: --env needs NAME=VALUE, not \"=v\"\n"_s),
            failing(words("run --bogus /bin/true"), 2),
    });
}

TEST(QmfRunTest, ForwardsAnInterruptToTheProgram)
{
    QProcess qmf;
    qmf.start(QStringLiteral(QMF_TOOL_PATH),
              {u"run"_s, u"/bin/sh"_s, u"-c"_s, u"echo ready; exec sleep 100"_s});
    ASSERT_TRUE(qmf.waitForStarted());
    QByteArray output;
    while (!output.contains("ready\n") && qmf.waitForReadyRead(-1))
        output += qmf.readAllStandardOutput();
    ASSERT_EQ(output, "ready\n");
    // As Ctrl-C would, but to qmf alone: qmf must pass it on.
    ASSERT_EQ(::kill(pid_t(qmf.processId()), SIGINT), 0);
    ASSERT_TRUE(qmf.waitForFinished(-1));
    EXPECT_EQ(qmf.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(qmf.exitCode(), 128 + SIGINT); // sleep's status: ended by the signal
    EXPECT_EQ(qmf.readAllStandardError(), "");
}

// At a terminal, Ctrl-C signals the whole foreground process group: the program has it from
// there and must not get it a second time from qmf. A SIGINT sent to qmf alone still reaches
// it, once.
TEST(QmfRunTest, OneCtrlCReachesTheProgramOnce)
{
    int master = -1;
    int terminal = -1;
    ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    QProcess qmf;
    qmf.setProgram(QStringLiteral(QMF_TOOL_PATH));
    qmf.setArguments({u"run"_s, QStringLiteral(QMF_SIGNAL_COUNTER_PATH)});
    // A session of its own with the terminal as its controlling one, as a shell would start
    // it in the foreground.
    qmf.setChildProcessModifier([terminal] {
        ::setsid();
        ::ioctl(terminal, TIOCSCTTY, 0);
        for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream)
            ::dup2(terminal, stream);
    });
    qmf.start();
    ASSERT_TRUE(qmf.waitForStarted());
    ::close(terminal);

    QByteArray received;
    ASSERT_TRUE(readUntil(master, received, "ready"));
    // Ctrl-C, then a line: the terminal signals before the line can be read, so the count
    // that the line asks for includes the Ctrl-C, and a second SIGINT sent by qmf would have
    // to have been quick to miss it.
    ASSERT_EQ(::write(master, "\x03", 1), 1);
    ASSERT_EQ(::write(master, "?\n", 2), 2);
    EXPECT_EQ(readCount(master, received, 1), 1) << received.toStdString();

    ASSERT_EQ(::kill(pid_t(qmf.processId()), SIGINT), 0);
    ASSERT_TRUE(readUntil(master, received, "INT", 2)) << received.toStdString();
    ASSERT_EQ(::write(master, "?\n", 2), 2);
    EXPECT_EQ(readCount(master, received, 2), 2) << received.toStdString();

    ASSERT_EQ(::write(master, "\x04", 1), 1); // end of input: the counter exits with its count
    ASSERT_TRUE(qmf.waitForFinished(-1));
    ::close(master);
    EXPECT_EQ(qmf.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(qmf.exitCode(), 2);
    EXPECT_EQ(received.count("INT"), 2) << received.toStdString();
}

// What root may do (the tests run as root), a user may not: a directory that the user may not
// enter is named with the reason.
TEST(QmfRunTest, SaysWhyAUserCannotEnterTheDirectory)
{
    QTemporaryDir directory; // only its owner may enter it
    ASSERT_TRUE(directory.isValid());
    const auto [output, status] = runQmfProgram(
            u"setpriv --reuid=65534 --regid=65534 --clear-groups \"$0\" run --cwd '%1' /bin/true "
            "2>&1"_s.arg(directory.path()));
    EXPECT_EQ(output,
              u"qmf: cannot enter %1: Permission denied\n"_s.arg(directory.path()).toUtf8());
    EXPECT_EQ(status, 126);
}

// qmf opens its standard streams on the null device, for reading, when it is started without
// them, so that nothing it opens itself takes their place: a program that it runs reads nothing
// there, and output with nowhere to go is a failure, as it would have been.
TEST(QmfRunTest, StartsWithClosedStandardStreams)
{
    const struct
    {
        const char *name;
        QString script;
        QByteArray output;
        int status;
    } cases[] = {
            {"no standard input", u"exec \"$0\" run /bin/readlink /proc/self/fd/0 <&-"_s,
             "/dev/null\n", 0},
            {"no standard output", u"\"$0\" run /bin/echo lost 2>&1 >&-"_s,
             "qmf: standard output: Bad file descriptor\n", 1},
            {"no standard error", u"\"$0\" run /nonexistent/program 2>&-; echo \"status $?\""_s,
             "status 127\n", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto [output, status] = runQmfProgram(c.script);
        EXPECT_EQ(output, c.output);
        EXPECT_EQ(status, c.status);
    }
}

// A program whose output cannot be passed on is stopped, as a closed pipe would stop it, and qmf
// says why: it never runs on writing into nothing.
TEST(QmfRunTest, StopsAProgramWhoseOutputCannotBeWritten)
{
    for (const QString &redirection : {u">/dev/full"_s, u">&-"_s}) {
        SCOPED_TRACE(redirection.toStdString());
        // `timeout` ends a qmf that would run forever, so that the test fails instead of hanging.
        const auto [output, status] = runQmfProgram(
                u"timeout 60 \"$0\" run /usr/bin/yes 2>&1 %1; echo \"status $?\""_s.arg(
                        redirection));
        EXPECT_EQ(output,
                  redirection == u">/dev/full"_s
                          ? "qmf: standard output: No space left on device\nstatus 1\n"
                          : "qmf: standard output: Bad file descriptor\nstatus 1\n");
    }
}

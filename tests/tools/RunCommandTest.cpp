#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <signal.h>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

namespace {

QStringList sh(const QString &script)
{
    return {u"/bin/sh"_s, u"-c"_s, script};
}

} // namespace

// PROGRAM's output, error stream and exit code are passed on; bad options are usage errors
// before anything is launched.
TEST(QmfRunTest, PassesOnOutputAndExitCode)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString canonical = QDir(directory.path()).canonicalPath();
    const QString parserWords; // null: the option parser's message
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
            {words("run --lines") + sh(u"printf 'a\\nb\\n\\nc\\n'; printf e >&2"_s),
             {},
             0,
             "1: a\n2: b\n3: \n4: c\n",
             u"e"_s},
            {words("run --lines /bin/true")},
            failing(words("run /nonexistent/program a"), 127,
                    u"qmf: cannot launch /nonexistent/program\n"_s),
            failing(words("run"), 2, u"qmf: run needs a PROGRAM\n"_s),
            failing(words("run --env PLAIN /bin/true"), 2,
                    u"qmf: --env needs NAME=VALUE, not \"PLAIN\"\n"_s),
            failing(words("run --env =v /bin/true"), 2,
                    u"qmf: --env needs NAME=VALUE, not \"=v\"\n"_s),
            failing(words("run --cwd /nonexistent/dir /bin/true"), 2,
                    u"qmf: --cwd: no such directory \"/nonexistent/dir\"\n"_s),
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
    EXPECT_EQ(qmf.exitCode(), SIGINT); // sleep's status: ended by the signal
    EXPECT_EQ(qmf.readAllStandardError(), "");
}

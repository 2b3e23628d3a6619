#include "RunCommand.h"
#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <signal.h>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

TEST(QmfRunTest, PassesOnOutputAndExitCode)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString canonical = QDir(directory.path()).canonicalPath();
    const struct
    {
        const char *name;
        QStringList arguments;
        QByteArray input;
        int status;
        QByteArray out;
        QString err;
    } rows[] = {
            {"both streams and the status",
             {u"run"_s, u"/bin/sh"_s, u"-c"_s, u"printf out; printf err >&2; exit 3"_s},
             {},
             3,
             "out",
             u"err"_s},
            // PROGRAM's options are its own, with or without "--".
            {"after --",
             {u"run"_s, u"--"_s, u"/bin/echo"_s, u"-n"_s, u"--lines"_s},
             {},
             0,
             "--lines",
             {}},
            {"looked up in PATH",
             {u"run"_s, u"echo"_s, u"--cwd"_s, u"x"_s},
             {},
             0,
             "--cwd x\n",
             {}},
            {"environment",
             {u"run"_s, u"--env"_s, u"A=1"_s, u"--env"_s, u"B=x=y"_s, u"--env"_s, u"A=2"_s,
              u"/bin/sh"_s, u"-c"_s, u"printf '%s|%s' \"$A\" \"$B\""_s},
             {},
             0,
             "2|x=y",
             {}},
            {"working directory",
             {u"run"_s, u"--cwd"_s, canonical, u"/bin/pwd"_s, u"-P"_s},
             {},
             0,
             canonical.toUtf8() + "\n",
             {}},
            {"standard input", {u"run"_s, u"/bin/cat"_s}, "fed\n", 0, "fed\n", {}},
            {"numbered lines",
             {u"run"_s, u"--lines"_s, u"/bin/sh"_s, u"-c"_s,
              u"printf 'a\\nb\\n\\nc\\n'; printf e >&2"_s},
             {},
             0,
             "1: a\n2: b\n3: \n4: c\n",
             u"e"_s},
            {"numbered lines, none", {u"run"_s, u"--lines"_s, u"/bin/true"_s}, {}, 0, "", {}},
            {"ended by a signal",
             {u"run"_s, u"/bin/sh"_s, u"-c"_s, u"kill -TERM $$"_s},
             {},
             15,
             "",
             {}},
            {"cannot launch",
             {u"run"_s, u"/nonexistent/program"_s, u"a"_s},
             {},
             127,
             "",
             u"qmf: cannot launch /nonexistent/program\n"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome outcome = runQmf(row.arguments, row.input);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_EQ(outcome.bytes, row.out);
        EXPECT_EQ(outcome.err, row.err);
    }
}

TEST(QmfRunTest, RefusesBadOptionsBeforeLaunching)
{
    const struct
    {
        QStringList arguments;
        const char *error;
    } rows[] = {
            {{u"run"_s}, "qmf: run needs a PROGRAM\n"},
            {{u"run"_s, u"--lines"_s}, "qmf: run needs a PROGRAM\n"},
            {{u"run"_s, u"--env"_s, u"PLAIN"_s, u"/bin/true"_s},
             "qmf: --env needs NAME=VALUE, not \"PLAIN\"\n"},
            {{u"run"_s, u"--env"_s, u"=v"_s, u"/bin/true"_s},
             "qmf: --env needs NAME=VALUE, not \"=v\"\n"},
            {{u"run"_s, u"--cwd"_s, u"/nonexistent/dir"_s, u"/bin/true"_s},
             "qmf: --cwd: no such directory \"/nonexistent/dir\"\n"},
            {{u"run"_s, u"--bogus"_s, u"/bin/true"_s}, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString());
        expectUsageError(row.arguments, row.error);
    }
}

TEST(QmfRunTest, SplitsItsOwnOptionsFromTheProgram)
{
    const struct
    {
        const char *arguments;
        const char *parser;
        const char *passedOn;
    } rows[] = {
            {"run --cwd dir --env A=1 prog -x --cwd y", "run --cwd dir --env A=1",
             "prog -x --cwd y"},
            {"run --lines -- -prog a", "run --lines", "-prog a"},
            {"run", "run", ""},
            // "run" as another command's argument hands nothing on.
            {"version compare run x", "version compare run x", ""},
    };
    for (const auto &row : rows) {
        const Qmf::SplitArguments split = Qmf::splitArguments(words(row.arguments));
        EXPECT_EQ(split.parserArguments, words(row.parser)) << row.arguments;
        EXPECT_EQ(split.passedOn, words(row.passedOn)) << row.arguments;
    }
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

TEST(QmfRunTest, TourRunsAndSplitsAProgramsOutput)
{
    const Outcome outcome = runQmf({u"tour"_s});
    ASSERT_EQ(outcome.status, 0);
    const qsizetype start = outcome.out.indexOf(u"\n8. Running commands\n"_s);
    ASSERT_GE(start, 0) << outcome.out.toStdString();
    const QString section = outcome.out.mid(start);
    EXPECT_TRUE(section.contains(u"    $ printf %s\\n first line  third, after an empty one\n"
                                 u"    exit code 0, standard output split into lines by\n"
                                 u"    QMSeparator (qmf run --lines):\n"
                                 u"      1: first line\n"
                                 u"      2: \n"
                                 u"      3: third, after an empty one\n"_s))
            << section.toStdString();
    EXPECT_TRUE(section.contains(u" [alpha] [beta] [gamma]\n"_s)) << section.toStdString();
    EXPECT_TRUE(section.contains(u"    -> false, domain QMCommandOperation, code 3, reason "
                                 u"\"disk full\\n\"\n"_s))
            << section.toStdString();
}

#include "support/Failures.h"
#include <QMFoundation/operations/QMCommandOperation.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include "InterleavedStreams.h"
#include "OperationsTestSupport.h"

#include <gtest/gtest.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstring>
#include <stdexcept>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

namespace {

const QString shell = u"/bin/sh"_s;

// Under ThreadSanitizer each fork copies the sanitizer's large mappings and each copied byte is
// checked, so the stress tests run that many times smaller there.
#if defined(__SANITIZE_THREAD__)
constexpr int StressDivisor = 8;
#else
constexpr int StressDivisor = 1;
#endif

// Records what a command operation tells its delegate, from whatever thread it does.
class RecordingDelegate : public QMCommandOperationDelegate
{
public:
    struct Seen
    {
        QByteArray output;
        QByteArray error;
        int outputChunks = 0;
        int errorChunks = 0;
        QStringList events;
    };

    void commandDidReceiveStandardOutputData(QMCommandOperation &, const QByteArray &data) override
    {
        record([&](Seen &seen) {
            seen.output += data;
            ++seen.outputChunks;
        });
    }
    void commandDidReceiveStandardErrorData(QMCommandOperation &, const QByteArray &data) override
    {
        record([&](Seen &seen) {
            seen.error += data;
            ++seen.errorChunks;
        });
    }
    void commandDidFailToLaunch(QMCommandOperation &) override
    {
        record([](Seen &seen) { seen.events.append(u"failToLaunch"_s); });
    }
    void commandDidTerminate(QMCommandOperation &command) override
    {
        // Every chunk must have been reported by now, and the result data set.
        const std::optional<QByteArray> output = command.standardOutputData();
        const std::optional<QByteArray> error = command.standardErrorData();
        record([&](Seen &seen) {
            seen.events.append(!output || !error ? u"terminate without data"_s
                                       : *output == seen.output && *error == seen.error
                                       ? u"terminate"_s
                                       : u"terminate before the last reports"_s);
        });
    }

    Seen seen() const
    {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }
    /// Blocks until the standard output received so far contains `text` (`times` times), or
    /// (with no text) until a first chunk of either stream has been reported.
    void waitForOutput(const QByteArray &text = {}, int times = 1)
    {
        std::unique_lock lock(m_mutex);
        // A bound only against a hang; what is waited for normally comes at once.
        ASSERT_TRUE(m_changed.wait_for(lock, std::chrono::minutes(1), [&] {
            return text.isEmpty() ? m_seen.outputChunks + m_seen.errorChunks > 0
                                  : m_seen.output.count(text) >= times;
        }));
    }

private:
    template<typename Function>
    void record(Function function)
    {
        {
            std::lock_guard lock(m_mutex);
            function(m_seen);
        }
        m_changed.notify_all();
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    Seen m_seen;
};

std::shared_ptr<QMCommandOperation>
shellCommand(const QString &script, const std::shared_ptr<RecordingDelegate> &delegate = nullptr)
{
    return QMCommandOperation::commandWithLaunchPath(shell, {u"-c"_s, script}, delegate);
}

int openDescriptorCount()
{
    return int(QDir(u"/proc/self/fd"_s).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// True when this process has any child at all.
bool hasChild()
{
    siginfo_t info {};
    return !(::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD);
}

} // namespace

TEST(CommandOperationTest, CollectsOutputAndExitStatus)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString canonical = QDir(directory.path()).canonicalPath();
    const struct
    {
        const char *name;
        QString script;
        QString workingDirectory;
        QByteArray output;
        QByteArray error;
        qint64 exitCode;
        QMCommandOperation::TerminationReason reason = QMCommandOperation::TerminationReason::Exit;
    } cases[] = {
            {"silent", u":"_s, {}, "", "", 0},
            {"both streams", u"printf out; printf err >&2; printf put"_s, {}, "output", "err", 0},
            {"exit status", u"printf 'a\\n'; exit 3"_s, {}, "a\n", "", 3},
            // Ended by a signal: the signal's number.
            {"signal",
             u"kill -TERM $$"_s,
             {},
             "",
             "",
             15,
             QMCommandOperation::TerminationReason::UncaughtSignal},
            {"exit status that looks like a signal", u"exit 15"_s, {}, "", "", 15},
            {"working directory", u"pwd -P"_s, canonical, canonical.toUtf8() + "\n", "", 0},
            {"binary output",
             u"printf '\\000\\377\\n\\000'"_s,
             {},
             QByteArray("\0\xff\n\0", 4),
             "",
             0},
            // What a process left running writes after the child's end is read too, as a
            // shell's pipeline reads it: the child holds a FIFO open, so the process it left
            // behind writes only once the child has gone.
            {"output after the child's end",
             u"rm -f fifo; mkfifo fifo; (read x <fifo; echo late) & exec 4>fifo; echo early"_s,
             canonical, "early\nlate\n", "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto delegate = std::make_shared<RecordingDelegate>();
        const auto command = QMCommandOperation::commandWithLaunchPath(
                shell, c.workingDirectory, {u"-c"_s, c.script}, delegate);
        EXPECT_EQ(command->standardOutputData(), std::nullopt);
        command->start();
        EXPECT_EQ(command->exitCode(), c.exitCode);
        EXPECT_EQ(command->terminationReason(), c.reason);
        EXPECT_EQ(command->processIdentifier(), 0);
        EXPECT_EQ(delegate->seen().output, c.output);
        EXPECT_EQ(delegate->seen().error, c.error);
        // The "terminate" event below holds the result data to the streamed bytes; only
        // non-empty chunks are reported.
        EXPECT_LE(delegate->seen().outputChunks, c.output.size());
        EXPECT_LE(delegate->seen().errorChunks, c.error.size());
        EXPECT_EQ(delegate->seen().events, QStringList {u"terminate"_s});
        EXPECT_FALSE(command->error().has_value());
    }
}

TEST(CommandOperationTest, ReportsProgramsThatCannotStartWithTheSystemsReason)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString readable = directory.filePath(u"readable"_s);
    const QString garbage = directory.filePath(u"garbage"_s);
    for (const QString &path : {readable, garbage}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("\x01\x02 not a program\n");
    }
    ASSERT_TRUE(
            QFile::setPermissions(garbage, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    // High enough that nothing opened meanwhile takes the number.
    const int closedDescriptor = 1000;
    ASSERT_EQ(::fcntl(closedDescriptor, F_GETFD), -1);

    const qint64 program = QMCommandOperationLaunchProgramError;
    const qint64 workingDirectory = QMCommandOperationLaunchWorkingDirectoryError;
    const qint64 input = QMCommandOperationLaunchStandardInputError;
    const struct
    {
        const char *name;
        QString launchPath;
        QString workingDirectory;
        QMCommandInput input;
        qint64 code;
        QString description;
        int systemError;
    } cases[] = {
            // The program: missing (127 in a shell), there and not runnable (126).
            {"no such program",
             u"/nonexistent/program"_s,
             {},
             {},
             program,
             u"cannot launch /nonexistent/program"_s,
             ENOENT},
            {"not in PATH",
             u"qmf-no-such-program"_s,
             {},
             {},
             program,
             u"cannot launch qmf-no-such-program"_s,
             ENOENT},
            {"a directory",
             directory.path(),
             {},
             {},
             program,
             u"cannot launch "_s + directory.path(),
             EISDIR},
            {"not executable", readable, {}, {}, program, u"cannot launch "_s + readable, EACCES},
            {"not a program", garbage, {}, {}, program, u"cannot launch "_s + garbage, ENOEXEC},
            // What the child would start with.
            {"no such working directory",
             shell,
             u"/nonexistent/dir"_s,
             {},
             workingDirectory,
             u"cannot enter /nonexistent/dir"_s,
             ENOENT},
            {"working directory is a file",
             shell,
             readable,
             {},
             workingDirectory,
             u"cannot enter "_s + readable,
             ENOTDIR},
            {"missing input file",
             shell,
             {},
             QMCommandInput::fromFile(u"/nonexistent/input"_s),
             input,
             u"cannot open /nonexistent/input"_s,
             ENOENT},
            {"closed input descriptor",
             shell,
             {},
             QMCommandInput::fromFileDescriptor(closedDescriptor),
             input,
             u"cannot use descriptor %1 as standard input"_s.arg(closedDescriptor),
             EBADF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto delegate = std::make_shared<RecordingDelegate>();
        const auto command = QMCommandOperation::commandWithLaunchPath(
                c.launchPath, c.workingDirectory, {u"-c"_s, u":"_s}, delegate);
        command->setStandardInput(c.input);
        command->start();
        EXPECT_EQ(command->exitCode(), -1);
        EXPECT_EQ(command->standardOutputData(), std::nullopt);
        EXPECT_EQ(command->standardErrorData(), std::nullopt);
        EXPECT_EQ(command->error(),
                  QMError(QMCommandOperationLaunchErrorDomain, c.code,
                          {{QMLocalizedDescriptionKey, c.description},
                           {QMLocalizedFailureReasonErrorKey,
                            QString::fromUtf8(::strerrordesc_np(c.systemError))},
                           {QMCommandOperationSystemErrorKey, c.systemError}}));
        EXPECT_EQ(delegate->seen().events,
                  (QStringList {u"failToLaunch"_s, u"terminate without data"_s}));
    }

    // The synchronous run gives the code alone.
    QMError error(u"untouched"_s, 1);
    EXPECT_FALSE(
            QMCommandOperation::runCommandWithLaunchPath(u"/nonexistent/program"_s, {}, &error));
    EXPECT_EQ(error, QMError(u"QMCommandOperation"_s, -1));
}

TEST(CommandOperationTest, SynchronousRunTurnsAFailureIntoAnError)
{
    const struct
    {
        const char *name;
        QString script;
        bool succeeds;
        QMError error; // what `error` holds afterwards
    } cases[] = {
            {"success leaves the error alone", u"printf 'noise\\n' >&2"_s, true,
             QMError(u"untouched"_s, 1)},
            {"status and reason", u"printf 'it failed\\n' >&2; exit 3"_s, false,
             QMError(u"QMCommandOperation"_s, 3,
                     {{QMLocalizedFailureReasonErrorKey, u"it failed\n"_s}})},
            {"empty reason", u"exit 1"_s, false,
             QMError(u"QMCommandOperation"_s, 1, {{QMLocalizedFailureReasonErrorKey, u""_s}})},
            {"no reason from bytes that are not UTF-8", u"printf '\\377' >&2; exit 4"_s, false,
             QMError(u"QMCommandOperation"_s, 4)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QMError error(u"untouched"_s, 1);
        EXPECT_EQ(QMCommandOperation::runCommandWithLaunchPath(shell, {u"-c"_s, c.script}, &error),
                  c.succeeds);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(QMCommandOperation::runCommandWithLaunchPath(shell, {u"-c"_s, c.script}),
                  c.succeeds);
    }
    EXPECT_TRUE(QMCommandOperation::runCommandWithLaunchPath(u"/bin/test"_s, u"/"_s,
                                                             {u"-d"_s, u"bin"_s}));
}

TEST(CommandOperationTest, FeedsStandardInput)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString inputPath = directory.filePath(u"input"_s);
    QFile inputFile(inputPath);
    ASSERT_TRUE(inputFile.open(QIODevice::WriteOnly));
    inputFile.write("from a file\n");
    inputFile.close();
    int pipeDescriptors[2];
    ASSERT_EQ(::pipe2(pipeDescriptors, O_CLOEXEC), 0);
    ASSERT_EQ(::write(pipeDescriptors[1], "through a pipe", 14), 14);
    ::close(pipeDescriptors[1]);
    QByteArray large(3 * 1024 * 1024, 'x'); // more than a pipe holds: written as the child reads
    large[12345] = 'y';

    const struct
    {
        const char *name;
        QMCommandInput input;
        QByteArray expected;
    } cases[] = {
            {"null device", QMCommandInput(), ""},
            {"file", QMCommandInput::fromFile(inputPath), "from a file\n"},
            {"descriptor", QMCommandInput::fromFileDescriptor(pipeDescriptors[0]),
             "through a pipe"},
            {"bytes", QMCommandInput::fromData("fed\nbytes"), "fed\nbytes"},
            {"many bytes", QMCommandInput::fromData(large), large},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto command = QMCommandOperation::commandWithLaunchPath(u"/bin/cat"_s, {});
        command->setStandardInput(c.input);
        command->start();
        EXPECT_EQ(command->exitCode(), 0);
        EXPECT_EQ(command->standardOutputData(), c.expected);
    }
    // The caller's descriptor stays open and the caller's.
    EXPECT_NE(::fcntl(pipeDescriptors[0], F_GETFD), -1);
    ::close(pipeDescriptors[0]);

    // A child that exits without reading its input does not hold anything up.
    const auto command = shellCommand(u"exit 0"_s);
    command->setStandardInput(QMCommandInput::fromData(large));
    command->start();
    EXPECT_EQ(command->exitCode(), 0);
}

TEST(CommandOperationTest, EnvironmentAndCallText)
{
    qputenv("QMF_COMMAND_TEST_VARIABLE", "original");
    const auto command
            = shellCommand(u"printf '%s|%s' \"$QMF_COMMAND_TEST_VARIABLE\" \"$ADDED\""_s);
    EXPECT_EQ(command->environment()->value(u"QMF_COMMAND_TEST_VARIABLE"_s), u"original"_s);
    command->setValueForEnvironmentVariable(u"changed"_s, u"QMF_COMMAND_TEST_VARIABLE"_s);
    command->setValueForEnvironmentVariable(u"new"_s, u"ADDED"_s);
    command->start();
    EXPECT_EQ(command->standardOutputData(), "changed|new");
    EXPECT_EQ(qgetenv("QMF_COMMAND_TEST_VARIABLE"), "original");
    EXPECT_FALSE(qEnvironmentVariableIsSet("ADDED"));

    // Without an environment the child inherits this process's, as it is at the launch.
    const auto inheriting = shellCommand(u"printf '%s' \"$QMF_COMMAND_TEST_VARIABLE\""_s);
    inheriting->setEnvironment(std::nullopt);
    inheriting->setValueForEnvironmentVariable(u"ignored"_s, u"QMF_COMMAND_TEST_VARIABLE"_s);
    EXPECT_EQ(inheriting->environment(), std::nullopt);
    qputenv("QMF_COMMAND_TEST_VARIABLE", "later");
    inheriting->start();
    EXPECT_EQ(inheriting->standardOutputData(), "later");

    // An empty environment is handed over as it is.
    const auto empty = QMCommandOperation::commandWithLaunchPath(u"/usr/bin/env"_s, {});
    empty->setEnvironment(QMCommandOperation::Environment());
    empty->start();
    EXPECT_EQ(empty->standardOutputData(), "");
    qunsetenv("QMF_COMMAND_TEST_VARIABLE");

    // The arguments joined by spaces after the path, empty ones included.
    EXPECT_EQ(QMCommandOperation::commandWithLaunchPath(u"/bin/ls"_s, {u""_s, u"a b"_s})
                      ->commandCall(),
              u"/bin/ls  a b"_s);
    EXPECT_EQ(QMCommandOperation::commandWithLaunchPath(u"/bin/ls"_s, {})->commandCall(),
              u"/bin/ls "_s);
    EXPECT_EQ(failureOf([] { QMCommandOperation(QString(), {}, {}); }),
              u"Invalid parameter not satisfying: launchPath != nil"_s);
}

TEST(CommandOperationTest, DescriptionShowsOutputNotYetCollected)
{
    const auto delegate = std::make_shared<RecordingDelegate>();
    int pipeDescriptors[2];
    ASSERT_EQ(::pipe2(pipeDescriptors, O_CLOEXEC), 0);
    const auto command = QMCommandOperation::commandWithLaunchPath(
            shell, u"/"_s, {u"-c"_s, u"printf 'ready\\n'; printf oops >&2; read line"_s}, delegate);
    command->setEnvironment(QMCommandOperation::Environment {{u"A"_s, u"1"_s}});
    command->setStandardInput(QMCommandInput::fromFileDescriptor(pipeDescriptors[0]));
    const auto queue = QMOperationQueue::serialQueue();
    queue->addOperation(command);
    delegate->waitForOutput("ready\n");
    const QString prefix = u"QMCommandOperation <"_s + QMObjectDescribing::identity(command.get())
            + u"> { launchPath: /bin/sh, workingDirectory: /, arguments: (\n    -c,\n    "
              "printf 'ready\\n'; printf oops >&2; read line\n), exitCode: 0, environment: {\n"
              "    A = 1;\n}, standardOutput: "_s;
    EXPECT_TRUE(command->description().startsWith(prefix + u"ready\n, standardError: "_s))
            << command->description().toStdString();
    ::close(pipeDescriptors[1]);
    ::close(pipeDescriptors[0]);
    queue->waitUntilAllOperationsAreFinished();
    // The bytes moved to the result data; the exit code of "read" at end of file is 1.
    EXPECT_EQ(command->description(),
              QString(prefix).replace(u"exitCode: 0"_s, u"exitCode: 1"_s)
                      + u", standardError:  }"_s);
    EXPECT_EQ(command->standardErrorData(), "oops");
}

TEST(CommandOperationTest, CancelInterruptsTheRunningChild)
{
    const auto queue = QMOperationQueue::queueWithMaxConcurrentOperationCount(2);

    // A child that would run for 100 seconds ends at the interrupt.
    const auto delegate = std::make_shared<RecordingDelegate>();
    const auto sleeper = shellCommand(u"echo started; exec sleep 100"_s, delegate);
    queue->addOperation(sleeper);
    delegate->waitForOutput("started\n");
    sleeper->cancel();
    sleeper->waitUntilFinished();
    EXPECT_TRUE(sleeper->isCancelled());
    EXPECT_EQ(sleeper->exitCode(), SIGINT);
    EXPECT_EQ(sleeper->standardOutputData(), "started\n");
    EXPECT_EQ(delegate->seen().events, QStringList()); // no commandDidTerminate

    // A child that ignores the interrupt runs until it ends by itself.
    int pipeDescriptors[2];
    ASSERT_EQ(::pipe2(pipeDescriptors, O_CLOEXEC), 0);
    const auto stubbornDelegate = std::make_shared<RecordingDelegate>();
    const auto stubborn = shellCommand(
            u"trap '' INT; echo ready; read line; echo \"got $line\"; exit 7"_s, stubbornDelegate);
    stubborn->setStandardInput(QMCommandInput::fromFileDescriptor(pipeDescriptors[0]));
    queue->addOperation(stubborn);
    stubbornDelegate->waitForOutput("ready\n");
    stubborn->cancel();
    // An ignored signal is discarded when it is sent, and the child waits for its line.
    EXPECT_TRUE(stubborn->isExecuting());
    ASSERT_EQ(::write(pipeDescriptors[1], "go\n", 3), 3);
    ::close(pipeDescriptors[1]);
    ::close(pipeDescriptors[0]);
    stubborn->waitUntilFinished();
    EXPECT_EQ(stubborn->exitCode(), 7);
    EXPECT_EQ(stubborn->standardOutputData(), "ready\ngot go\n");
    EXPECT_EQ(stubbornDelegate->seen().events, QStringList());

    // Cancelled before it starts: nothing is launched.
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString marker = directory.filePath(u"launched"_s);
    const auto early = QMCommandOperation::commandWithLaunchPath(u"/usr/bin/touch"_s, {marker});
    early->cancel();
    queue->addOperation(early);
    early->waitUntilFinished();
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_EQ(early->standardOutputData(), std::nullopt);
    EXPECT_EQ(early->exitCode(), 0);
}

TEST(CommandOperationTest, CancelEndsTheReadingThatAProcessLeftBehindHoldsUp)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    // The process left behind says its pid once the child has gone, then holds the pipes for
    // good.
    const auto delegate = std::make_shared<RecordingDelegate>();
    const auto command = QMCommandOperation::commandWithLaunchPath(
            shell, directory.path(),
            {u"-c"_s,
             u"mkfifo fifo; (read x <fifo; exec sh -c 'echo \"left $$\"; exec sleep 1000') & "
             "exec 4>fifo; echo early"_s},
            delegate);
    const auto queue = QMOperationQueue::serialQueue();
    queue->addOperation(command);
    delegate->waitForOutput("\n", 2);
    const QByteArray output = delegate->seen().output;
    ASSERT_TRUE(output.startsWith("early\nleft ")) << output.toStdString();
    const pid_t leftBehind = pid_t(output.mid(int(qstrlen("early\nleft "))).trimmed().toInt());
    ASSERT_GT(leftBehind, 0);
    EXPECT_TRUE(command->isExecuting()); // the pipes have not ended

    command->cancel();
    command->waitUntilFinished();
    EXPECT_TRUE(command->isCancelled());
    EXPECT_EQ(command->exitCode(), 0); // the child's own status
    EXPECT_EQ(command->standardOutputData(), output);
    EXPECT_EQ(::kill(leftBehind, SIGKILL), 0); // no longer anybody's child here
}

TEST(CommandOperationTest, KeepsAsMuchOutputAsAsked)
{
    const QString script = u"printf 0123456789; printf abcdefghij >&2; printf 0123456789"_s;
    const struct
    {
        const char *name;
        qsizetype limit;
        QByteArray output;
        QByteArray error;
    } cases[] = {
            {"everything", QMCommandOperation::RetainAllOutput, "01234567890123456789",
             "abcdefghij"},
            {"nothing", 0, "", ""},
            {"a tail", 4, "6789", "ghij"},
            {"a tail longer than the output", 15, "567890123456789", "abcdefghij"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto delegate = std::make_shared<RecordingDelegate>();
        const auto command = shellCommand(script, delegate);
        command->setRetainedOutputLimit(c.limit);
        EXPECT_EQ(command->retainedOutputLimit(), c.limit);
        command->start();
        EXPECT_EQ(command->standardOutputData(), c.output);
        EXPECT_EQ(command->standardErrorData(), c.error);
        // The delegate hears of every byte either way.
        EXPECT_EQ(delegate->seen().output, "01234567890123456789");
        EXPECT_EQ(delegate->seen().error, "abcdefghij");
    }

    // A tail of a stream much longer than it, cut back several times on the way.
    const auto command
            = QMCommandOperation::commandWithLaunchPath(u"/usr/bin/seq"_s, {u"100000"_s});
    command->setRetainedOutputLimit(13);
    command->start();
    EXPECT_EQ(command->standardOutputData(), "99999\n100000\n");

    EXPECT_EQ(failureOf([&] { command->setRetainedOutputLimit(-2); }),
              u"Invalid parameter not satisfying: bytes >= -1"_s);
}

TEST(CommandOperationTest, ExceptionsOfDelegatesGoToTheUncaughtExceptionHandler)
{
    class ThrowingDelegate : public RecordingDelegate
    {
    public:
        void commandDidReceiveStandardOutputData(QMCommandOperation &command,
                                                 const QByteArray &data) override
        {
            RecordingDelegate::commandDidReceiveStandardOutputData(command, data);
            throw std::runtime_error("output");
        }
        void commandDidTerminate(QMCommandOperation &command) override
        {
            RecordingDelegate::commandDidTerminate(command);
            throw std::runtime_error("terminate");
        }
        void commandDidFailToLaunch(QMCommandOperation &command) override
        {
            RecordingDelegate::commandDidFailToLaunch(command);
            throw std::runtime_error("fail to launch");
        }
    };
    std::mutex mutex;
    QStringList caught;
    QMUncaughtExceptions::setHandler([&](std::exception_ptr exception, const QString &where) {
        try {
            std::rethrow_exception(exception);
        } catch (const std::exception &e) {
            std::lock_guard lock(mutex);
            caught.append(QString::fromUtf8(e.what()) + u" in "_s + where);
        }
    });

    const auto delegate = std::make_shared<ThrowingDelegate>();
    const auto command = shellCommand(u"printf x"_s, delegate);
    command->start();
    const auto failing
            = QMCommandOperation::commandWithLaunchPath(u"/nonexistent/program"_s, {}, delegate);
    failing->start();
    QMUncaughtExceptions::setHandler({});

    // The operation went on as if they had returned.
    EXPECT_EQ(command->standardOutputData(), "x");
    EXPECT_TRUE(command->isFinished());
    EXPECT_EQ(caught,
              (QStringList {u"output in a command operation's output report"_s,
                            u"terminate in a command operation's termination report"_s,
                            u"fail to launch in a command operation's launch-failure report"_s,
                            u"terminate in a command operation's termination report"_s}));
}

TEST(CommandOperationTest, StreamsLargeInterleavedOutputCompletely)
{
    constexpr std::uint32_t seed = 20240611;
    constexpr std::size_t total = 64 * 1024 * 1024 / StressDivisor;
    QByteArray expectedOutput;
    QByteArray expectedError;
    InterleavedStreams::generate(
            seed, total, [&](int descriptor, const char *data, std::size_t size) {
                (descriptor == 1 ? expectedOutput : expectedError).append(data, qsizetype(size));
            });

    // Halfway, the delegate reads the operation's description, which shares the output kept so
    // far: the next chunk goes to a copy of it, which must end up holding every byte too.
    class DescribingDelegate : public RecordingDelegate
    {
    public:
        void commandDidReceiveStandardOutputData(QMCommandOperation &command,
                                                 const QByteArray &data) override
        {
            RecordingDelegate::commandDidReceiveStandardOutputData(command, data);
            received += data.size();
            if (!described && received > qsizetype(total / 4)) {
                described = true;
                EXPECT_FALSE(command.description().isEmpty());
            }
        }
        qsizetype received = 0; // on the file-handle queue only
        bool described = false;
    };
    const auto delegate = std::make_shared<DescribingDelegate>();
    const auto command = QMCommandOperation::commandWithLaunchPath(
            QStringLiteral(QMF_INTERLEAVED_WRITER_PATH),
            {QString::number(seed), QString::number(total)}, delegate);
    command->start();
    EXPECT_EQ(command->exitCode(), 0);
    EXPECT_TRUE(delegate->described);
    // Compared whole, not by checksum: a mismatch then says where.
    EXPECT_TRUE(delegate->seen().output == expectedOutput);
    EXPECT_TRUE(delegate->seen().error == expectedError);
    EXPECT_TRUE(command->standardOutputData() == expectedOutput);
    EXPECT_TRUE(command->standardErrorData() == expectedError);
    EXPECT_GT(delegate->seen().outputChunks, 1);
    EXPECT_GT(delegate->seen().errorChunks, 1);
}

TEST(CommandOperationTest, SurvivesItsOwnersGoingAwayWhileStreaming)
{
    constexpr qsizetype total = 4000000 / StressDivisor;
    // The delegate goes away after the first chunk: the rest is collected, not reported.
    {
        auto delegate = std::make_shared<RecordingDelegate>();
        const auto command = QMCommandOperation::commandWithLaunchPath(
                QStringLiteral(QMF_INTERLEAVED_WRITER_PATH), {u"7"_s, QString::number(total)},
                delegate);
        const auto queue = QMOperationQueue::serialQueue();
        queue->addOperation(command);
        delegate->waitForOutput();
        delegate.reset();
        queue->waitUntilAllOperationsAreFinished();
        EXPECT_EQ(command->exitCode(), 0);
        EXPECT_EQ(command->standardOutputData()->size() + command->standardErrorData()->size(),
                  total);
    }
    // The creator lets go of the operation while it streams: the queue keeps it to the end.
    {
        const auto delegate = std::make_shared<RecordingDelegate>();
        auto command = QMCommandOperation::commandWithLaunchPath(
                QStringLiteral(QMF_INTERLEAVED_WRITER_PATH), {u"8"_s, QString::number(total)},
                delegate);
        const std::weak_ptr<QMCommandOperation> weakCommand = command;
        {
            const auto queue = QMOperationQueue::serialQueue();
            queue->addOperation(command);
            command.reset();
            delegate->waitForOutput();
        } // the queue's destructor waits for the operation
        EXPECT_EQ(delegate->seen().output.size() + delegate->seen().error.size(), total);
        EXPECT_EQ(delegate->seen().events, QStringList {u"terminate"_s});
        EXPECT_TRUE(weakCommand.expired());
    }
}

TEST(CommandOperationTest, LeavesNoDescriptorsChildrenOrThreadsBehind)
{
    // Whatever Qt sets up on first use is not a leak.
    ASSERT_TRUE(QMCommandOperation::runCommandWithLaunchPath(u"/bin/true"_s, {}));
    const int descriptors = openDescriptorCount();
    const int threads = OperationsTestSupport::threadCount();

    for (int i = 0; i < 300 / StressDivisor; ++i) {
        QMError error;
        const bool succeeded = QMCommandOperation::runCommandWithLaunchPath(
                shell, {u"-c"_s, u"printf x; printf y >&2; exit $(( %1 % 2 ))"_s.arg(i)}, &error);
        ASSERT_EQ(succeeded, i % 2 == 0) << i;
    }
    {
        const auto queue = QMOperationQueue::queueWithMaxConcurrentOperationCount(64);
        QList<std::shared_ptr<QMCommandOperation>> commands;
        const int count = 64 / (StressDivisor / 2 + 1);
        for (int i = 0; i < count; ++i) {
            commands.append(shellCommand(u"printf %1; printf e >&2"_s.arg(i)));
            queue->addOperation(commands.last());
        }
        // Some never start: the queue finishes them without launching anything.
        for (int i = 0; i < count; i += 8)
            commands.at(i)->cancel();
        queue->waitUntilAllOperationsAreFinished();
        for (int i = 0; i < count; ++i) {
            if (commands.at(i)->isCancelled())
                continue;
            EXPECT_EQ(commands.at(i)->standardOutputData(), QByteArray::number(i));
            EXPECT_EQ(commands.at(i)->standardErrorData(), "e");
        }
    }
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_FALSE(hasChild());
    EXPECT_EQ(OperationsTestSupport::threadCount(), threads);
}

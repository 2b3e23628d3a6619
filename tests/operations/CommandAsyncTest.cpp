// A command operation's future: its result, a launch failure as the future's error, cancelling
// the future (which interrupts the child) and continuations on a context's thread.

#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMCommandOperation.h>

#include "support/Futures.h"

#include <gtest/gtest.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using TestSupport::waitFor;
using Reason = QMCommandOperation::TerminationReason;

namespace {

// Tells when the child has written its first output: it runs then.
class Started : public QMCommandOperationDelegate
{
public:
    void commandDidReceiveStandardOutputData(QMCommandOperation &, const QByteArray &) override
    {
        std::lock_guard lock(m_mutex);
        m_started = true;
        m_condition.notify_all();
    }
    bool wait()
    {
        std::unique_lock lock(m_mutex);
        return m_condition.wait_for(lock, std::chrono::seconds(20), [this] { return m_started; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_started = false;
};

std::shared_ptr<QMCommandOperation> shell(const QString &script,
                                          const QMCommandOperation::DelegatePointer &delegate = {})
{
    return QMCommandOperation::commandWithLaunchPath(u"/bin/sh"_s, {u"-c"_s, script}, delegate);
}

} // namespace

// The future's result is the operation's end; a non-zero status or a signal is a result.
TEST(CommandAsyncTest, ResolvesWithTheResult)
{
    const struct
    {
        const char *script;
        qint64 exitCode;
        Reason reason;
        QByteArray output;
        QByteArray error;
    } cases[] = {
            {"printf out; printf err >&2", 0, Reason::Exit, "out", "err"},
            {"printf partial; exit 3", 3, Reason::Exit, "partial", ""},
            {"echo bye >&2; kill -TERM $$", SIGTERM, Reason::UncaughtSignal, "", "bye\n"},
    };
    for (const auto &row : cases) {
        SCOPED_TRACE(row.script);
        const auto command = shell(QString::fromLatin1(row.script));
        const QFuture<QMCommandResult> future = command->runAsync();
        ASSERT_TRUE(waitFor(future));
        ASSERT_FALSE(future.isCanceled())
                << qPrintable(QMAsync::errorOf(future).localizedDescription());
        const QMCommandResult result = future.result();
        EXPECT_EQ(result.exitCode, row.exitCode);
        EXPECT_EQ(result.terminationReason, row.reason);
        EXPECT_EQ(result.standardOutput, row.output);
        EXPECT_EQ(result.standardError, row.error);
    }

    // The kept output is what retainedOutputLimit() keeps.
    const auto tail = shell(u"printf 0123456789"_s);
    tail->setRetainedOutputLimit(4);
    const QFuture<QMCommandResult> kept = tail->runAsync();
    ASSERT_TRUE(waitFor(kept));
    EXPECT_EQ(kept.result().standardOutput, "6789");

    // An operation runs once.
    EXPECT_THROW(tail->runAsync(), QMInternalInconsistencyException);
}

// A program that cannot be started fails the future with the launch error, which says why.
TEST(CommandAsyncTest, LaunchFailureFailsTheFuture)
{
    const struct
    {
        QString launchPath;
        QString workingDirectory;
        qint64 code;
    } cases[] = {
            {u"/nonexistent/program"_s, QString(), QMCommandOperationLaunchProgramError},
            {u"/bin/true"_s, u"/nonexistent/directory"_s,
             QMCommandOperationLaunchWorkingDirectoryError},
    };
    for (const auto &row : cases) {
        SCOPED_TRACE(row.launchPath.toStdString());
        const auto command = QMCommandOperation::commandWithLaunchPath(row.launchPath,
                                                                       row.workingDirectory, {});
        const QFuture<QMCommandResult> future = command->runAsync();
        ASSERT_TRUE(waitFor(future));
        const QMError error = QMAsync::errorOf(future);
        EXPECT_EQ(error.domain(), QMCommandOperationLaunchErrorDomain);
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.userInfo().value(QMCommandOperationSystemErrorKey).toInt(), ENOENT);
        EXPECT_FALSE(error.localizedFailureReason().isEmpty());
    }
}

// Cancelling the future interrupts a child that would run for a hundred seconds; the future
// reads as cancelled. An operation cancelled by another hand leaves its future cancelled too.
TEST(CommandAsyncTest, CancellingTheFutureInterruptsTheChild)
{
    const auto started = std::make_shared<Started>();
    const auto sleeper = shell(u"echo started; exec sleep 100"_s, started);
    QFuture<QMCommandResult> future = sleeper->runAsync();
    ASSERT_TRUE(started->wait());
    future.cancel();
    ASSERT_TRUE(waitFor(future));
    EXPECT_TRUE(future.isCanceled());
    EXPECT_EQ(future.resultCount(), 0);
    EXPECT_TRUE(QMAsync::errorOf(future).isNull());
    sleeper->waitUntilFinished();
    EXPECT_TRUE(sleeper->isCancelled());
    EXPECT_EQ(sleeper->exitCode(), SIGINT);
    EXPECT_EQ(sleeper->terminationReason(), Reason::UncaughtSignal);

    const auto other = std::make_shared<Started>();
    const auto cancelledDirectly = shell(u"echo started; exec sleep 100"_s, other);
    const QFuture<QMCommandResult> direct = cancelledDirectly->runAsync();
    ASSERT_TRUE(other->wait());
    cancelledDirectly->cancel();
    ASSERT_TRUE(waitFor(direct));
    EXPECT_TRUE(direct.isCanceled());
    EXPECT_TRUE(QMAsync::errorOf(direct).isNull());
}

// A continuation with a context runs on the context's thread, once; it is attached while the
// child waits for its standard input.
TEST(CommandAsyncTest, ContinuationsRunOnTheContextsThread)
{
    int pipeDescriptors[2];
    ASSERT_EQ(::pipe2(pipeDescriptors, O_CLOEXEC), 0);
    const auto started = std::make_shared<Started>();
    const auto reader = shell(u"echo waiting; read line; echo \"got $line\""_s, started);
    reader->setStandardInput(QMCommandInput::fromFileDescriptor(pipeDescriptors[0]));
    QFuture<QMCommandResult> future = reader->runAsync();
    ASSERT_TRUE(started->wait());
    ::close(pipeDescriptors[0]);

    QObject context;
    int calls = 0;
    QThread *ranOn = nullptr;
    const QFuture<QByteArray> output = future.then(&context, [&](const QMCommandResult &result) {
        ++calls;
        ranOn = QThread::currentThread();
        return result.standardOutput;
    });
    ASSERT_EQ(::write(pipeDescriptors[1], "go\n", 3), 3);
    ::close(pipeDescriptors[1]);
    ASSERT_TRUE(waitFor(output));
    EXPECT_EQ(output.result(), "waiting\ngot go\n");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ranOn, QThread::currentThread());
}

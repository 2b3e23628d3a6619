#include "operations/QMCommandOperation.h"

#include "errors/QMInternalInconsistencyException.h"
#include "operations/QMOperationQueue.h"
#include "operations/QMQueueManager.h"
#include "text/QMStringDecoding.h"
#include "text/QMUniqueIdentifier.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

enum class Stream { Output, Error };

// How long the operation's thread waits at most before it looks again whether the child has
// ended and then whether its end has been handled.
constexpr int WaitIntervalMilliseconds = 10;

// Set by the task-notification queue once the end of the child has been handled completely;
// waited for by the operation's thread. Shared with the queue's block so that the block can
// let go of the operation before it wakes the thread that is about to finish it.
class TerminationFlag
{
public:
    void set()
    {
        {
            std::lock_guard lock(m_mutex);
            m_terminated = true;
        }
        m_condition.notify_all();
    }

    void wait()
    {
        std::unique_lock lock(m_mutex);
        while (!m_terminated)
            m_condition.wait_for(lock, std::chrono::milliseconds(WaitIntervalMilliseconds));
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_terminated = false;
};

// Through syscall(): glibc 2.36 declares its wrappers without C linkage for C++.
int openProcessDescriptor(pid_t pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

void sendSignal(int processDescriptor, int signal)
{
    ::syscall(SYS_pidfd_send_signal, processDescriptor, signal, nullptr, 0);
}

QMCommandOperation::Environment currentEnvironment()
{
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    QMCommandOperation::Environment environment;
    for (const QString &name : system.keys())
        environment.insert(name, system.value(name));
    return environment;
}

} // namespace

QMCommandOperationDelegate::~QMCommandOperationDelegate() = default;

void QMCommandOperationDelegate::commandDidReceiveStandardOutputData(QMCommandOperation &,
                                                                     const QByteArray &)
{ }

void QMCommandOperationDelegate::commandDidReceiveStandardErrorData(QMCommandOperation &,
                                                                    const QByteArray &)
{ }

void QMCommandOperationDelegate::commandDidFailToLaunch(QMCommandOperation &) { }

void QMCommandOperationDelegate::commandDidTerminate(QMCommandOperation &) { }

class QMCommandOperation::Private
{
public:
    // The operation's thread: the streams of the child, read where the QProcess lives.
    void handOver(const std::weak_ptr<QMCommandOperation> &weakSelf, Stream stream,
                  QByteArray chunk);
    // File-handle queue.
    static void append(QMCommandOperation &self, Stream stream, const QByteArray &chunk);
    // Task-notification queue.
    void taskDidTerminate(const std::weak_ptr<QMCommandOperation> &weakSelf,
                          const QByteArray &outputRest, const QByteArray &errorRest, qint64 status);
    // The operation's thread.
    static void taskDidFailToLaunch(QMCommandOperation &self);

    void registerChild(qint64 pid);
    void unregisterChild();

    mutable std::mutex mutex; // every field down to exitCode
    QString launchPath;
    QString workingDirectory;
    QStringList arguments;
    std::optional<Environment> environment;
    QMCommandInput standardInput;
    QString identifier;
    std::weak_ptr<QMCommandOperationDelegate> delegate;
    QByteArray standardOutputBuffer;
    QByteArray standardErrorBuffer;
    std::optional<QByteArray> standardOutputData;
    std::optional<QByteArray> standardErrorData;
    qint64 exitCode = 0;

    const std::shared_ptr<QMOperationQueue> taskNotificationQueue
            = QMMakeFoundationSerialQueue(QStringLiteral("TaskOperation.NSTaskNotificationQueue"));
    const std::shared_ptr<QMOperationQueue> fileHandleQueue
            = QMMakeFoundationSerialQueue(QStringLiteral("TaskOperation.FileHandleQueue"));
    const std::shared_ptr<TerminationFlag> termination = std::make_shared<TerminationFlag>();

    // The running child, for cancel() on any thread. A pidfd names the child itself, so a
    // signal can never reach another process that reuses its pid after it has been reaped.
    std::mutex childMutex;
    bool childRunning = false;
    pid_t childPid = 0;
    int childDescriptor = -1;
};

void QMCommandOperation::Private::handOver(const std::weak_ptr<QMCommandOperation> &weakSelf,
                                           Stream stream, QByteArray chunk)
{
    if (chunk.isEmpty())
        return;
    fileHandleQueue->performBlock([weakSelf, stream, chunk = std::move(chunk)] {
        if (const std::shared_ptr<QMCommandOperation> self = weakSelf.lock())
            append(*self, stream, chunk);
    });
}

void QMCommandOperation::Private::append(QMCommandOperation &self, Stream stream,
                                         const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return;
    {
        std::lock_guard lock(self.d->mutex);
        QByteArray &buffer = stream == Stream::Output ? self.d->standardOutputBuffer
                                                      : self.d->standardErrorBuffer;
        // Doubling through reserve() lets the allocator move large buffers without copying
        // them (mremap); append() alone grows in a way that copies every byte several times
        // over, into fresh memory each time.
        if (buffer.size() + chunk.size() > buffer.capacity())
            buffer.reserve(std::max(2 * buffer.capacity(), buffer.size() + chunk.size()));
        buffer.append(chunk);
    }
    if (stream == Stream::Output)
        self.operationDidReceiveStandardOutputData(chunk);
    else
        self.operationDidReceiveStandardErrorData(chunk);
}

void QMCommandOperation::Private::taskDidTerminate(
        const std::weak_ptr<QMCommandOperation> &weakSelf, const QByteArray &outputRest,
        const QByteArray &errorRest, qint64 status)
{
    // Every chunk handed over while the child ran is appended and reported first; the queue is
    // serial, so a block added now runs after them.
    fileHandleQueue->performBlockAndWait([] {});
    const auto handOverRest = [&](Stream stream, const QByteArray &rest) {
        fileHandleQueue->performBlock([weakSelf, stream, rest] {
            if (const std::shared_ptr<QMCommandOperation> self = weakSelf.lock())
                append(*self, stream, rest);
        });
    };
    handOverRest(Stream::Output, outputRest);
    handOverRest(Stream::Error, errorRest);
    fileHandleQueue->performBlockAndWait([] {});

    std::lock_guard lock(mutex);
    // The buffers start over empty, so moving them is the same as copying them.
    standardOutputData = std::exchange(standardOutputBuffer, QByteArray());
    standardErrorData = std::exchange(standardErrorBuffer, QByteArray());
    exitCode = status;
}

void QMCommandOperation::Private::taskDidFailToLaunch(QMCommandOperation &self)
{
    {
        std::lock_guard lock(self.d->mutex);
        self.d->exitCode = -1;
    }
    self.commandDidFailToLaunch();
    if (const DelegatePointer delegate = self.delegate())
        delegate->commandDidFailToLaunch(self);
}

void QMCommandOperation::Private::registerChild(qint64 pid)
{
    std::lock_guard lock(childMutex);
    childPid = pid_t(pid);
    // The child cannot have been reaped yet: only this thread's QProcess reaps it, later.
    childDescriptor = openProcessDescriptor(childPid);
    childRunning = true;
}

void QMCommandOperation::Private::unregisterChild()
{
    std::lock_guard lock(childMutex);
    childRunning = false;
    if (childDescriptor >= 0)
        ::close(childDescriptor);
    childDescriptor = -1;
}

QMCommandOperation::QMCommandOperation(const QString &launchPath, const QString &workingDirectory,
                                       const QStringList &arguments,
                                       const DelegatePointer &delegate)
    : d(std::make_unique<Private>())
{
    QMParameterAssert(!launchPath.isNull(), "launchPath != nil");
    d->launchPath = launchPath;
    d->workingDirectory = workingDirectory;
    d->arguments = arguments;
    d->delegate = delegate;
    d->environment = currentEnvironment();
    d->identifier = QMUniqueIdentifier::UUID();
}

QMCommandOperation::~QMCommandOperation() = default;

std::shared_ptr<QMCommandOperation>
QMCommandOperation::commandWithLaunchPath(const QString &launchPath, const QStringList &arguments)
{
    return std::make_shared<QMCommandOperation>(launchPath, QString(), arguments);
}

std::shared_ptr<QMCommandOperation>
QMCommandOperation::commandWithLaunchPath(const QString &launchPath, const QStringList &arguments,
                                          const DelegatePointer &delegate)
{
    return std::make_shared<QMCommandOperation>(launchPath, QString(), arguments, delegate);
}

std::shared_ptr<QMCommandOperation> QMCommandOperation::commandWithLaunchPath(
        const QString &launchPath, const QString &workingDirectory, const QStringList &arguments)
{
    return std::make_shared<QMCommandOperation>(launchPath, workingDirectory, arguments);
}

std::shared_ptr<QMCommandOperation> QMCommandOperation::commandWithLaunchPath(
        const QString &launchPath, const QString &workingDirectory, const QStringList &arguments,
        const DelegatePointer &delegate)
{
    return std::make_shared<QMCommandOperation>(launchPath, workingDirectory, arguments, delegate);
}

bool QMCommandOperation::runCommandWithLaunchPath(const QString &launchPath,
                                                  const QStringList &arguments, QMError *error)
{
    return runCommandWithLaunchPath(launchPath, QString(), arguments, error);
}

bool QMCommandOperation::runCommandWithLaunchPath(const QString &launchPath,
                                                  const QString &workingDirectory,
                                                  const QStringList &arguments, QMError *error)
{
    const std::shared_ptr<QMCommandOperation> command
            = commandWithLaunchPath(launchPath, workingDirectory, arguments);
    command->start();
    command->waitUntilFinished();
    const qint64 code = command->exitCode();
    if (code == 0)
        return true;
    if (error) {
        QVariantMap userInfo;
        if (const std::optional<QByteArray> standardError = command->standardErrorData()) {
            const QString reason = QMStringDecoding::stringUsingUTF8Encoding(*standardError);
            if (!reason.isNull())
                userInfo.insert(QMLocalizedFailureReasonErrorKey, reason);
        }
        *error = QMError(QStringLiteral("QMCommandOperation"), code, userInfo);
    }
    return false;
}

QString QMCommandOperation::launchPath() const
{
    std::lock_guard lock(d->mutex);
    return d->launchPath;
}

void QMCommandOperation::setLaunchPath(const QString &launchPath)
{
    QMParameterAssert(!launchPath.isNull(), "launchPath != nil");
    std::lock_guard lock(d->mutex);
    d->launchPath = launchPath;
}

QString QMCommandOperation::workingDirectory() const
{
    std::lock_guard lock(d->mutex);
    return d->workingDirectory;
}

void QMCommandOperation::setWorkingDirectory(const QString &workingDirectory)
{
    std::lock_guard lock(d->mutex);
    d->workingDirectory = workingDirectory;
}

QStringList QMCommandOperation::arguments() const
{
    std::lock_guard lock(d->mutex);
    return d->arguments;
}

void QMCommandOperation::setArguments(const QStringList &arguments)
{
    std::lock_guard lock(d->mutex);
    d->arguments = arguments;
}

std::optional<QMCommandOperation::Environment> QMCommandOperation::environment() const
{
    std::lock_guard lock(d->mutex);
    return d->environment;
}

void QMCommandOperation::setEnvironment(const std::optional<Environment> &environment)
{
    std::lock_guard lock(d->mutex);
    d->environment = environment;
}

void QMCommandOperation::setValueForEnvironmentVariable(const QString &value, const QString &name)
{
    std::lock_guard lock(d->mutex);
    if (d->environment)
        d->environment->insert(name, value);
}

QMCommandInput QMCommandOperation::standardInput() const
{
    std::lock_guard lock(d->mutex);
    return d->standardInput;
}

void QMCommandOperation::setStandardInput(const QMCommandInput &input)
{
    std::lock_guard lock(d->mutex);
    d->standardInput = input;
}

QString QMCommandOperation::identifier() const
{
    std::lock_guard lock(d->mutex);
    return d->identifier;
}

void QMCommandOperation::setIdentifier(const QString &identifier)
{
    std::lock_guard lock(d->mutex);
    d->identifier = identifier;
}

QMCommandOperation::DelegatePointer QMCommandOperation::delegate() const
{
    std::lock_guard lock(d->mutex);
    return d->delegate.lock();
}

void QMCommandOperation::setDelegate(const DelegatePointer &delegate)
{
    std::lock_guard lock(d->mutex);
    d->delegate = delegate;
}

std::optional<QByteArray> QMCommandOperation::standardOutputData() const
{
    std::lock_guard lock(d->mutex);
    return d->standardOutputData;
}

std::optional<QByteArray> QMCommandOperation::standardErrorData() const
{
    std::lock_guard lock(d->mutex);
    return d->standardErrorData;
}

qint64 QMCommandOperation::exitCode() const
{
    std::lock_guard lock(d->mutex);
    return d->exitCode;
}

QString QMCommandOperation::commandCall() const
{
    std::lock_guard lock(d->mutex);
    return d->launchPath + QLatin1Char(' ') + d->arguments.join(QLatin1Char(' '));
}

QString QMCommandOperation::description() const
{
    QByteArray output;
    QByteArray error;
    {
        std::lock_guard lock(d->mutex);
        output = d->standardOutputBuffer;
        error = d->standardErrorBuffer;
    }
    return prettyDescriptionWithItems(
            {QStringLiteral("launchPath"), QStringLiteral("workingDirectory"),
             QStringLiteral("arguments"), QStringLiteral("exitCode"), QStringLiteral("environment"),
             QVariantMap {{QStringLiteral("standardOutput"),
                           QMStringDecoding::stringUsingBestEncoding(output)}},
             QVariantMap {{QStringLiteral("standardError"),
                           QMStringDecoding::stringUsingBestEncoding(error)}}});
}

void QMCommandOperation::cancel()
{
    QMOperation::cancel();
    operationDidCancel();
}

QString QMCommandOperation::className() const
{
    return QStringLiteral("QMCommandOperation");
}

std::optional<QStringList> QMCommandOperation::attributeKeys() const
{
    return QStringList {QStringLiteral("launchPath"), QStringLiteral("workingDirectory"),
                        QStringLiteral("arguments"), QStringLiteral("exitCode"),
                        QStringLiteral("environment")};
}

QVariant QMCommandOperation::valueForKey(const QString &key) const
{
    std::lock_guard lock(d->mutex);
    if (key == QLatin1String("launchPath"))
        return d->launchPath;
    if (key == QLatin1String("workingDirectory"))
        return d->workingDirectory.isNull() ? QVariant() : QVariant(d->workingDirectory);
    if (key == QLatin1String("arguments"))
        return d->arguments;
    if (key == QLatin1String("exitCode"))
        return d->exitCode;
    if (key == QLatin1String("environment") && d->environment) {
        QVariantMap environment;
        for (auto it = d->environment->cbegin(); it != d->environment->cend(); ++it)
            environment.insert(it.key(), it.value());
        return environment;
    }
    return QVariant();
}

void QMCommandOperation::execute()
{
    const std::weak_ptr<QMCommandOperation> weakSelf
            = std::static_pointer_cast<QMCommandOperation>(shared_from_this());
    QString launchPath;
    QString workingDirectory;
    QStringList arguments;
    std::optional<Environment> environment;
    QMCommandInput input;
    {
        std::lock_guard lock(d->mutex);
        launchPath = d->launchPath;
        workingDirectory = d->workingDirectory;
        arguments = d->arguments;
        environment = d->environment;
        input = d->standardInput;
    }

    // Created, read and destroyed on this thread only: QProcess is not thread-safe. Its wait
    // functions poll the pipes themselves, so this works on any thread, with or without an
    // event loop or a QCoreApplication.
    QProcess process;
    process.setProgram(launchPath);
    process.setArguments(arguments);
    if (!workingDirectory.isNull())
        process.setWorkingDirectory(workingDirectory);
    if (environment) {
        QProcessEnvironment processEnvironment;
        for (auto it = environment->cbegin(); it != environment->cend(); ++it)
            processEnvironment.insert(it.key(), it.value());
        process.setProcessEnvironment(processEnvironment);
    }
    // A private duplicate (above 2, closed on exec) of a descriptor handed in: the caller's own
    // number may be 0, which the child's set-up overwrites before it can be duplicated there.
    int inputDescriptor = -1;
    switch (input.kind()) {
    case QMCommandInput::Kind::NullDevice:
        process.setStandardInputFile(QProcess::nullDevice());
        break;
    case QMCommandInput::Kind::File:
        process.setStandardInputFile(input.filePath());
        break;
    case QMCommandInput::Kind::FileDescriptor:
        inputDescriptor = ::fcntl(input.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
        if (inputDescriptor < 0) {
            Private::taskDidFailToLaunch(*this);
            return;
        }
        process.setStandardInputFile(QProcess::nullDevice());
        // Runs in the child between fork and exec: async-signal-safe calls only.
        process.setChildProcessModifier([inputDescriptor] {
            if (::dup2(inputDescriptor, STDIN_FILENO) < 0)
                ::_exit(127);
        });
        break;
    case QMCommandInput::Kind::Data:
        break; // a pipe, QProcess's default
    }

    const QMetaObject::Connection readabilityHandlers[] {
            QObject::connect(&process, &QProcess::readyReadStandardOutput,
                             [&] {
                                 d->handOver(weakSelf, Stream::Output,
                                             process.readAllStandardOutput());
                             }),
            QObject::connect(&process, &QProcess::readyReadStandardError, [&] {
                d->handOver(weakSelf, Stream::Error, process.readAllStandardError());
            })};
    const auto unregisterReadabilityHandlers = [&] {
        for (const QMetaObject::Connection &handler : readabilityHandlers)
            QObject::disconnect(handler);
    };

    process.start(QIODevice::ReadWrite);
    const bool launched = process.waitForStarted(-1);
    if (inputDescriptor >= 0)
        ::close(inputDescriptor);
    if (!launched) {
        unregisterReadabilityHandlers();
        Private::taskDidFailToLaunch(*this);
        return;
    }
    d->registerChild(process.processId());
    if (input.kind() == QMCommandInput::Kind::Data) {
        process.write(input.bytes());
        process.closeWriteChannel();
    }

    // Each wait reads what arrives on both pipes (the handlers above hand it over) and writes
    // pending standard input. Data still in the pipes when the child ends is read before
    // QProcess reports the end.
    while (process.state() != QProcess::NotRunning)
        process.waitForFinished(WaitIntervalMilliseconds);
    d->unregisterChild();
    unregisterReadabilityHandlers();
    const QByteArray outputRest = process.readAllStandardOutput();
    const QByteArray errorRest = process.readAllStandardError();
    // For a child ended by a signal QProcess gives the signal's number.
    const qint64 status = process.exitCode();

    d->taskNotificationQueue->performBlock(
            [weakSelf, outputRest, errorRest, status, termination = d->termination] {
                if (const std::shared_ptr<QMCommandOperation> self = weakSelf.lock())
                    self->d->taskDidTerminate(weakSelf, outputRest, errorRest, status);
                termination->set();
            });
    d->termination->wait();
}

void QMCommandOperation::operationWillExecute()
{
    commandWillExecute();
}

void QMCommandOperation::operationDidExecute()
{
    commandDidTerminate();
    if (const DelegatePointer delegate = this->delegate())
        delegate->commandDidTerminate(*this);
}

void QMCommandOperation::operationDidCancel()
{
    std::lock_guard lock(d->childMutex);
    if (!d->childRunning)
        return;
    if (d->childDescriptor >= 0)
        sendSignal(d->childDescriptor, SIGINT);
    else
        ::kill(d->childPid, SIGINT); // kernels without pidfds
}

void QMCommandOperation::operationDidReceiveStandardOutputData(const QByteArray &data)
{
    if (const DelegatePointer delegate = this->delegate())
        delegate->commandDidReceiveStandardOutputData(*this, data);
}

void QMCommandOperation::operationDidReceiveStandardErrorData(const QByteArray &data)
{
    if (const DelegatePointer delegate = this->delegate())
        delegate->commandDidReceiveStandardErrorData(*this, data);
}

void QMCommandOperation::commandWillExecute() { }

void QMCommandOperation::commandDidFailToLaunch() { }

void QMCommandOperation::commandDidTerminate() { }

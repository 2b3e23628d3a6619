#include <QMFoundation/operations/QMCommandOperation.h>

#include "QMFoundation/operations/QMChildProcess_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMOperationQueue.h>
#include <QMFoundation/operations/QMQueueManager.h>
#include <QMFoundation/text/QMStringDecoding.h>
#include <QMFoundation/text/QMUniqueIdentifier.h>

#include <QProcessEnvironment>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

const QString QMCommandOperationLaunchErrorDomain = QStringLiteral("QMCommandOperationLaunch");
const QString QMCommandOperationSystemErrorKey = QStringLiteral("QMCommandOperationSystemError");

namespace {

using Stream = QMChildProcess::Stream;

// How long the operation's thread waits at most before it looks again whether the end of the
// child has been handled.
constexpr int WaitIntervalMilliseconds = 10;

// How many bytes of output may wait for the file-handle queue before the pipes are read no
// further: a delegate slower than the child holds the child up instead of filling memory.
constexpr qint64 InFlightLimit = 1024 * 1024;
// What a chunk waiting on the queue costs besides its bytes (the block, the queue's entry), so
// that a flood of one-byte chunks is bounded too.
constexpr qint64 ChunkOverhead = 256;

// How far ahead of the bytes written a retained buffer's pages are made present at once.
constexpr qsizetype PopulateAhead = 2 * 1024 * 1024;

// Writing into fresh memory takes a page fault for every page; asking the kernel to make a
// range's pages present in one call (MADV_POPULATE_WRITE, Linux 5.14) costs about half as much
// (512 MiB: 0.73 s against 1.39 s on the machine measured). The contents stay as they are.
// Where the kernel lacks it, the first refusal stops further tries and the pages fault in as
// before. `from` and `to` lie inside one allocation; only the whole pages between them are
// asked for.
void populateForWriting(char *from, char *to)
{
#if defined(__linux__)
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
    static std::atomic<bool> unavailable {false};
    if (unavailable.load(std::memory_order_relaxed))
        return;
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    const quintptr begin = (quintptr(from) + page - 1) & ~(page - 1);
    const quintptr end = quintptr(to) & ~(page - 1);
    if (end <= begin)
        return;
    if (madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE) != 0
        && (errno == EINVAL || errno == ENOSYS || errno == EPERM))
        unavailable.store(true, std::memory_order_relaxed);
#else
    Q_UNUSED(from);
    Q_UNUSED(to);
#endif
}

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

// The chunks read and not yet appended and reported, shared with the blocks that append them.
// The reading thread waits on the eventfd while too much is in flight, and when cancel() may
// end its reading.
class Flow
{
public:
    Flow()
        : m_wakeDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    { }
    ~Flow()
    {
        if (m_wakeDescriptor >= 0)
            ::close(m_wakeDescriptor);
    }
    Flow(const Flow &) = delete;
    Flow &operator=(const Flow &) = delete;

    int wakeDescriptor() const { return m_wakeDescriptor; }
    void wake() const
    {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeDescriptor, &one, sizeof one);
    }
    bool isThrottled() const { return m_inFlight.load() >= InFlightLimit; }
    void add(qsizetype size) { m_inFlight.fetch_add(ChunkOverhead + size); }
    void remove(qsizetype size)
    {
        const qint64 cost = ChunkOverhead + size;
        const qint64 before = m_inFlight.fetch_sub(cost);
        if (before >= InFlightLimit && before - cost < InFlightLimit)
            wake();
    }

private:
    const int m_wakeDescriptor;
    std::atomic<qint64> m_inFlight {0};
};

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
    void handOver(const std::weak_ptr<QMCommandOperation> &weakSelf,
                  const std::shared_ptr<Flow> &flow, Stream stream, QByteArray chunk);
    // File-handle queue.
    static void append(QMCommandOperation &self, Stream stream, const QByteArray &chunk);
    // Task-notification queue.
    void taskDidTerminate(const QMChildProcess::Termination &ended);
    // The operation's thread.
    static void taskDidFailToLaunch(QMCommandOperation &self, const QMChildProcess::Launch &launch,
                                    const QMChildProcess::Failure &failure);

    void registerChild(pid_t pid, int processDescriptor, const std::shared_ptr<Flow> &flow);
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
    // How many bytes of each buffer have had their pages made present (populateForWriting()).
    qsizetype standardOutputPopulated = 0;
    qsizetype standardErrorPopulated = 0;
    std::optional<QByteArray> standardOutputData;
    std::optional<QByteArray> standardErrorData;
    qint64 exitCode = 0;
    TerminationReason terminationReason = TerminationReason::Exit;
    qsizetype retainedOutputLimit = RetainAllOutput;

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
    int childDescriptor = -1; // owned by the QMChildProcess, open until after unregisterChild()
    std::shared_ptr<Flow> childFlow;
};

void QMCommandOperation::Private::handOver(const std::weak_ptr<QMCommandOperation> &weakSelf,
                                           const std::shared_ptr<Flow> &flow, Stream stream,
                                           QByteArray chunk)
{
    if (chunk.isEmpty())
        return;
    const qsizetype size = chunk.size();
    flow->add(size);
    fileHandleQueue->performBlock([weakSelf, flow, stream, size, chunk = std::move(chunk)] {
        if (const std::shared_ptr<QMCommandOperation> self = weakSelf.lock())
            append(*self, stream, chunk);
        flow->remove(size);
    });
}

void QMCommandOperation::Private::append(QMCommandOperation &self, Stream stream,
                                         const QByteArray &chunk)
{
    {
        std::lock_guard lock(self.d->mutex);
        QByteArray &buffer = stream == Stream::Output ? self.d->standardOutputBuffer
                                                      : self.d->standardErrorBuffer;
        const qsizetype limit = self.d->retainedOutputLimit;
        if (limit == RetainAllOutput) {
            // Doubling through reserve() lets the allocator move large buffers without copying
            // them (mremap); append() alone grows in a way that copies every byte several times
            // over, into fresh memory each time.
            if (buffer.size() + chunk.size() > buffer.capacity())
                buffer.reserve(std::max(2 * buffer.capacity(), buffer.size() + chunk.size()));
            // The pages ahead are made present in steps of PopulateAhead, never past the
            // capacity: memory beyond what is written stays within one step. Reallocation moves
            // present pages along (mremap), so the count stays true; a copy into fresh memory
            // only costs the faults it would have cost anyway.
            qsizetype &populated = stream == Stream::Output ? self.d->standardOutputPopulated
                                                            : self.d->standardErrorPopulated;
            const qsizetype end = buffer.size() + chunk.size();
            if (end > populated && buffer.capacity() >= 2 * PopulateAhead) {
                char *data = buffer.data(); // first: a shared buffer detaches here
                const qsizetype from = std::max(populated, buffer.size());
                const qsizetype to = std::min(buffer.capacity(), end + PopulateAhead);
                populateForWriting(data + from, data + to);
                populated = to;
            }
            buffer.append(chunk);
        } else if (limit > 0) {
            buffer.append(chunk.right(limit));
            // Cut back to the limit only once the buffer holds twice as much, so that each byte
            // is moved at most once on average; the result data are cut exactly at the end.
            if (buffer.size() > 2 * limit)
                buffer.remove(0, buffer.size() - limit);
        }
    }
    QMUncaughtExceptions::invokeGuarded("a command operation's output report", [&] {
        if (stream == Stream::Output)
            self.operationDidReceiveStandardOutputData(chunk);
        else
            self.operationDidReceiveStandardErrorData(chunk);
    });
}

void QMCommandOperation::Private::taskDidTerminate(const QMChildProcess::Termination &ended)
{
    // Every chunk handed over is appended and reported first; the queue is serial, so a block
    // added now runs after them.
    fileHandleQueue->performBlockAndWait([] {});

    std::lock_guard lock(mutex);
    // The buffers start over empty, so moving them is the same as copying them.
    standardOutputData = std::exchange(standardOutputBuffer, QByteArray());
    standardErrorData = std::exchange(standardErrorBuffer, QByteArray());
    standardOutputPopulated = standardErrorPopulated = 0;
    if (retainedOutputLimit > 0) {
        *standardOutputData = standardOutputData->right(retainedOutputLimit);
        *standardErrorData = standardErrorData->right(retainedOutputLimit);
    }
    exitCode = ended.status;
    terminationReason
            = ended.bySignal ? TerminationReason::UncaughtSignal : TerminationReason::Exit;
}

void QMCommandOperation::Private::taskDidFailToLaunch(QMCommandOperation &self,
                                                      const QMChildProcess::Launch &launch,
                                                      const QMChildProcess::Failure &failure)
{
    using Step = QMChildProcess::Failure::Step;
    QString description;
    qint64 code = QMCommandOperationLaunchProgramError;
    switch (failure.step) {
    case Step::Program:
    case Step::Resources:
        description = QStringLiteral("cannot launch %1").arg(launch.launchPath);
        break;
    case Step::WorkingDirectory:
        description = QStringLiteral("cannot enter %1").arg(launch.workingDirectory);
        code = QMCommandOperationLaunchWorkingDirectoryError;
        break;
    case Step::StandardInput:
        description = launch.input.kind() == QMCommandInput::Kind::File
                ? QStringLiteral("cannot open %1").arg(launch.input.filePath())
                : QStringLiteral("cannot use descriptor %1 as standard input")
                          .arg(launch.input.fileDescriptor());
        code = QMCommandOperationLaunchStandardInputError;
        break;
    }
    self.setError(QMError(QMCommandOperationLaunchErrorDomain, code,
                          {{QMLocalizedDescriptionKey, description},
                           {QMLocalizedFailureReasonErrorKey,
                            QString::fromUtf8(::strerrordesc_np(failure.error))},
                           {QMCommandOperationSystemErrorKey, failure.error}}));
    {
        std::lock_guard lock(self.d->mutex);
        self.d->exitCode = -1;
    }
    QMUncaughtExceptions::invokeGuarded("a command operation's launch-failure report", [&] {
        self.commandDidFailToLaunch();
        if (const DelegatePointer receiver = self.delegate())
            receiver->commandDidFailToLaunch(self);
    });
}

void QMCommandOperation::Private::registerChild(pid_t pid, int processDescriptor,
                                                const std::shared_ptr<Flow> &flow)
{
    std::lock_guard lock(childMutex);
    childPid = pid;
    childDescriptor = processDescriptor;
    childFlow = flow;
    childRunning = true;
}

void QMCommandOperation::Private::unregisterChild()
{
    std::lock_guard lock(childMutex);
    childRunning = false;
    childPid = 0;
    childDescriptor = -1;
    childFlow.reset();
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

QFuture<QMCommandResult> QMCommandOperation::runAsync()
{
    const auto self = std::static_pointer_cast<QMCommandOperation>(weak_from_this().lock());
    QMParameterAssert(self != nullptr, "shared ownership");
    if (isExecuting() || isFinished())
        throw QMInternalInconsistencyException(
                QStringLiteral("Operation has already been started"));
    return QMAsync::run([self](QMError *error, const QMAsync::Cancellation &cancellation) {
        cancellation.setHandler([self] { self->cancel(); });
        self->start();
        self->waitUntilFinished();
        QMCommandResult result;
        if (const std::optional<QMError> failure = self->error()) {
            *error = *failure;
        } else if (self->isCancelled()) {
            cancellation.cancel(); // cancelled by another hand: the future reads so too
        } else {
            result.exitCode = self->exitCode();
            result.terminationReason = self->terminationReason();
            result.standardOutput = self->standardOutputData().value_or(QByteArray());
            result.standardError = self->standardErrorData().value_or(QByteArray());
        }
        return result;
    });
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

QMCommandOperation::TerminationReason QMCommandOperation::terminationReason() const
{
    std::lock_guard lock(d->mutex);
    return d->terminationReason;
}

qint64 QMCommandOperation::processIdentifier() const
{
    std::lock_guard lock(d->childMutex);
    return d->childPid;
}

qsizetype QMCommandOperation::retainedOutputLimit() const
{
    std::lock_guard lock(d->mutex);
    return d->retainedOutputLimit;
}

void QMCommandOperation::setRetainedOutputLimit(qsizetype bytes)
{
    QMParameterAssert(bytes >= RetainAllOutput, "bytes >= -1");
    std::lock_guard lock(d->mutex);
    d->retainedOutputLimit = bytes;
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
    QMChildProcess::Launch launch;
    {
        std::lock_guard lock(d->mutex);
        launch = {d->launchPath, d->workingDirectory, d->arguments, d->environment,
                  d->standardInput};
    }

    const auto flow = std::make_shared<Flow>();
    QMChildProcess child;
    std::optional<QMChildProcess::Failure> failure;
    if (flow->wakeDescriptor() < 0)
        failure = QMChildProcess::Failure {QMChildProcess::Failure::Step::Resources, errno};
    else
        failure = child.start(launch);
    if (failure) {
        Private::taskDidFailToLaunch(*this, launch, *failure);
        return;
    }
    d->registerChild(child.processIdentifier(), child.processDescriptor(), flow);
    // Before the child's pidfd closes, also when an exception leaves here.
    const std::unique_ptr<Private, void (*)(Private *)> unregister(
            d.get(), [](Private *owner) { owner->unregisterChild(); });

    QMChildProcess::Reading reading;
    reading.chunk = [&](Stream stream, QByteArray chunk) {
        d->handOver(weakSelf, flow, stream, std::move(chunk));
    };
    reading.throttled = [&] {
        return flow->isThrottled();
    };
    reading.cancelled = [this] {
        return isCancelled();
    };
    reading.wakeDescriptor = flow->wakeDescriptor();
    const QMChildProcess::Termination termination = child.read(reading);

    d->taskNotificationQueue->performBlock([weakSelf, termination, flag = d->termination] {
        QMUncaughtExceptions::invokeGuarded("a command operation's termination", [&] {
            if (const std::shared_ptr<QMCommandOperation> self = weakSelf.lock())
                self->d->taskDidTerminate(termination);
        });
        flag->set();
    });
    d->termination->wait();
}

void QMCommandOperation::operationWillExecute()
{
    QMUncaughtExceptions::invokeGuarded("QMCommandOperation::commandWillExecute()",
                                        [&] { commandWillExecute(); });
}

void QMCommandOperation::operationDidExecute()
{
    QMUncaughtExceptions::invokeGuarded("a command operation's termination report", [&] {
        commandDidTerminate();
        if (const DelegatePointer delegate = this->delegate())
            delegate->commandDidTerminate(*this);
    });
}

void QMCommandOperation::operationDidCancel()
{
    std::shared_ptr<Flow> flow;
    {
        std::lock_guard lock(d->childMutex);
        if (!d->childRunning)
            return;
        if (d->childDescriptor >= 0)
            sendSignal(d->childDescriptor, SIGINT);
        else
            ::kill(d->childPid, SIGINT); // kernels without pidfds
        flow = d->childFlow;
    }
    // The reading may be waiting for a process that the child left holding its pipes.
    flow->wake();
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

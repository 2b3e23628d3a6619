#include <QMFoundation/operations/QMOperationQueue.h>

#include "QMFoundation/operations/QMBaseOperation_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMBlockOperation.h>
#include <QMFoundation/operations/QMOperationNotifier.h>

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Long enough that a queue fed in bursts keeps its threads, short enough that an idle one does
// not hold them for long.
constexpr std::chrono::seconds IdleTimeout {2};

} // namespace

struct QMOperationQueue::MainQueueTag
{ };

class QMOperationQueue::Private : public QMOperationScheduler,
                                  public std::enable_shared_from_this<QMOperationQueue::Private>
{
public:
    using OperationPointer = std::shared_ptr<QMBaseOperation>;
    using Entry = std::pair<quint64, OperationPointer>; // (sequence, operation)

    struct Worker
    {
        std::thread thread;
        std::condition_variable wake;
        // An operation handed over by scheduleLocked(), already counted as running.
        OperationPointer assigned;
    };
    using WorkerPointer = std::shared_ptr<Worker>;

    explicit Private(bool main)
        : width(main ? 1 : QMOperationQueue::defaultMaxConcurrentOperationCount())
        , isMain(main)
    { }

    void operationMayHaveBecomeReady(quint64 sequence) override
    {
        std::unique_lock lock(mutex);
        takeInHandedOverLocked();
        const auto found = waiting.find(sequence);
        if (found != waiting.end() && found->second->d->isReadyToRun()) {
            pushReadyLocked(sequence, std::move(found->second));
            waiting.erase(found);
        }
        scheduleLocked();
        unlockAndWake(lock);
    }

    std::shared_ptr<QMOperationScheduler> reference() override { return shared_from_this(); }

    QString label() const override
    {
        if (isMain)
            return QStringLiteral("the main queue");
        std::lock_guard lock(mutex);
        return name.isEmpty() ? QStringLiteral("an unnamed queue") : u"queue " + name;
    }

    // The ready operations, first added first. Most arrive in order of addition and join the
    // end of `inOrder`; those released later by a dependency or a cancellation, with a sequence
    // below the last one there, go to the heap `outOfOrder`. Taking compares the two fronts.
    static bool later(const Entry &a, const Entry &b) { return a.first > b.first; }
    bool hasReadyLocked() const { return !inOrder.empty() || !outOfOrder.empty(); }
    void pushReadyLocked(quint64 sequence, OperationPointer operation)
    {
        if (inOrder.empty() || inOrder.back().first < sequence) {
            inOrder.emplace_back(sequence, std::move(operation));
            return;
        }
        outOfOrder.emplace_back(sequence, std::move(operation));
        std::push_heap(outOfOrder.begin(), outOfOrder.end(), &Private::later);
    }
    Entry popReadyLocked()
    {
        if (outOfOrder.empty()
            || (!inOrder.empty() && inOrder.front().first < outOfOrder.front().first)) {
            Entry first = std::move(inOrder.front());
            inOrder.pop_front();
            return first;
        }
        std::pop_heap(outOfOrder.begin(), outOfOrder.end(), &Private::later);
        Entry first = std::move(outOfOrder.back());
        outOfOrder.pop_back();
        return first;
    }

    // addOperation() hands operations over without the lock while every slot is taken (see
    // there): each goes onto the stack `handedOver`, linked through the operations. They are
    // taken in, in the order they were handed over, before anything looks at the operations.
    void handOver(const OperationPointer &operation)
    {
        QMBaseOperation::Private *const handed = operation->d.get();
        handed->handedOver = operation;
        handed->handedOverBefore = handedOver.load(std::memory_order_relaxed);
        while (!handedOver.compare_exchange_weak(handed->handedOverBefore, handed)) { }
    }

    void takeInHandedOverLocked()
    {
        if (!handedOver.load())
            return;
        QMBaseOperation::Private *last = handedOver.exchange(nullptr);
        if (!last)
            return;
        QMBaseOperation::Private *first = nullptr;
        while (last) {
            QMBaseOperation::Private *const before = std::exchange(last->handedOverBefore, first);
            first = std::exchange(last, before);
        }
        while (first) {
            OperationPointer operation = std::move(first->handedOver);
            first = std::exchange(first->handedOverBefore, nullptr);
            const quint64 sequence = operation->d->sequence;
            if (operation->d->isReadyToRun())
                pushReadyLocked(sequence, std::move(operation));
            else
                waiting.emplace(sequence, std::move(operation));
        }
    }

    // Publishes the count of running operations for addOperation(). A worker that finishes an
    // operation takes the next one before it publishes a lower count, and then looks again at
    // what was handed over (true: something was, take it in).
    bool publishExecutingLocked()
    {
        // Stored only when it changes: addOperation() reads it on every call.
        if (executingCount.load(std::memory_order_relaxed) != qsizetype(executing.size()))
            executingCount.store(qsizetype(executing.size()));
        return handedOver.load() != nullptr;
    }

    // Operations added and not finished: every addition takes the next sequence number.
    qsizetype unfinishedLocked() const
    {
        return qsizetype(nextSequence.load() - finishedCount.load(std::memory_order_relaxed));
    }

    // Wakes the waiters for an empty queue once every operation has finished. Called when a
    // worker finds nothing more to run, and after an operation whose completion block or
    // signals are to run (on the main queue, after each): the count of additions is written by
    // the adding threads, and reading it after every operation would take its cache line from
    // them each time.
    void noteIfAllFinishedLocked()
    {
        if (!executing.empty() || hasReadyLocked() || unfinishedLocked() != 0)
            return;
        changed.notify_all();
        // Not the last reference while called on a worker or the main queue: both are kept.
        keptUntilFinished.reset();
    }

    // The first ready operation in order of addition when a slot is free, now counted as
    // running. Operations that a late addDependency() made unready go back to waiting.
    OperationPointer takeReadyLocked()
    {
        takeInHandedOverLocked();
        while (hasReadyLocked() && qsizetype(executing.size()) < width) {
            Entry first = popReadyLocked();
            if (!first.second->d->isReadyToRun()) {
                waiting.insert(std::move(first));
                continue;
            }
            {
                std::lock_guard operationLock(first.second->d->mutex);
                first.second->d->started = true;
            }
            executing.push_back(first);
            publishExecutingLocked();
            return std::move(first.second);
        }
        return nullptr;
    }

    void eraseExecutingLocked(quint64 sequence)
    {
        executing.erase(std::find_if(executing.begin(), executing.end(),
                                     [sequence](const Entry &e) { return e.first == sequence; }));
    }

    // Hands ready operations to idle workers (woken by unlockAndWake()) or new ones, or, on the
    // main queue, asks the application's event loop to run the next one.
    void scheduleLocked()
    {
        takeInHandedOverLocked();
        if (isMain) {
            if (!mainRunPosted && executing.empty() && hasReadyLocked())
                mainRunPosted = postToMainThread("runOperation");
            return;
        }
        while (OperationPointer operation = takeReadyLocked()) {
            if (idle.empty()) {
                spawnLocked(std::move(operation));
                continue;
            }
            idle.back()->assigned = std::move(operation);
            toWake.push_back(std::move(idle.back()));
            idle.pop_back();
        }
    }

    // Wakes the workers that scheduleLocked() handed operations to once the lock is released,
    // so that they do not wake only to wait for it. Each is held for the call: it may run its
    // operation and end meanwhile.
    void unlockAndWake(std::unique_lock<std::mutex> &lock)
    {
        std::vector<WorkerPointer> woken = std::exchange(toWake, {});
        lock.unlock();
        for (const WorkerPointer &worker : woken)
            worker->wake.notify_one();
    }

    void spawnLocked(OperationPointer operation)
    {
        const WorkerPointer worker = std::make_shared<Worker>();
        worker->assigned = operation;
        workers.push_back(worker);
        try {
            worker->thread = std::thread(
                    [self = shared_from_this(), worker] { self->workerMain(*worker); });
        } catch (...) {
            workers.pop_back();
            const quint64 sequence = operation->d->sequence;
            eraseExecutingLocked(sequence);
            publishExecutingLocked();
            pushReadyLocked(sequence, std::move(operation));
            throw;
        }
        if (detachWorkers)
            worker->thread.detach();
    }

    void workerMain(Worker &worker)
    {
        std::unique_lock lock(mutex);
        // The last operation run is let go with the lock released, which happens anyway before
        // the next one runs: one lock round trip less per operation.
        OperationPointer finished;
        for (;;) {
            OperationPointer operation = std::move(worker.assigned);
            if (!operation)
                operation = takeReadyLocked();
            if (operation) {
                finished = runLocked(std::move(operation), std::move(finished), lock);
                continue;
            }
            if (publishExecutingLocked())
                continue;
            noteIfAllFinishedLocked();
            if (finished) {
                // Idle while letting the operation go, so that work added meanwhile comes to
                // this worker rather than to a new thread.
                idle.push_back(*findWorkerLocked(&worker));
                lock.unlock();
                finished.reset();
                lock.lock();
                if (!worker.assigned)
                    eraseIdleLocked(&worker);
                continue;
            }
            if (stopping)
                break;
            idle.push_back(*findWorkerLocked(&worker));
            const bool woken = worker.wake.wait_for(lock, IdleTimeout,
                                                    [&] { return worker.assigned || stopping; });
            if (!worker.assigned) {
                eraseIdleLocked(&worker);
                if (!woken)
                    break;
            }
        }
        if (worker.thread.joinable())
            retired.push_back(std::move(worker.thread));
        workers.erase(findWorkerLocked(&worker));
        changed.notify_all();
    }

    // Runs an operation taken by takeReadyLocked() with the lock released, then accounts for it.
    // `previous` is released on the way, outside the lock (an operation may be the last owner
    // of anything, this queue included). Returns the operation, to be released likewise.
    OperationPointer runLocked(OperationPointer operation, OperationPointer previous,
                               std::unique_lock<std::mutex> &lock)
    {
        lock.unlock();
        previous.reset();
        // An edge: what the operation throws goes to the uncaught-exception handler there, and
        // the operation finishes all the same.
        const QMBaseOperation::CompletionBlock completion
                = operation->d->runAndFinish(*operation, this);
        lock.lock();
        eraseExecutingLocked(operation->d->sequence);
        finishedCount.store(finishedCount.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
        // The signals come after the completion block; the queue counts the operations whose
        // signals are still to come, so that becameIdle() comes after all of them.
        QMOperationQueueNotifier *const queueNotifier = notifier.load(std::memory_order_acquire);
        const bool announce
                = queueNotifier || operation->d->notifier.load(std::memory_order_acquire);
        if (announce)
            ++announcing;
        // Neither the completion block nor the signals keep the slot, and either may wait for
        // the next operation: the slot is published as free (so that an addition meanwhile
        // schedules it) and another thread may take the next operation.
        // Waiters for an empty queue are woken before the block and the signals run, which
        // may wait for them in turn.
        if (completion || announce)
            publishExecutingLocked();
        if (completion || announce || isMain) {
            scheduleLocked();
            noteIfAllFinishedLocked();
        }
        if (completion || !toWake.empty() || announce) {
            unlockAndWake(lock);
            if (completion) {
                try {
                    completion();
                } catch (...) {
                    QMUncaughtExceptions::handleCurrentException(
                            u"the completion block of an operation on " + label());
                }
            }
            if (announce)
                announceFinished(operation, queueNotifier, lock);
            else
                lock.lock();
        }
        return operation;
    }

    // Emits the finished signals of `operation` and its queue, then, once the queue has nothing
    // left and no other worker still has signals to emit, becameIdle(). Called unlocked;
    // returns locked.
    void announceFinished(const OperationPointer &operation,
                          QMOperationQueueNotifier *queueNotifier,
                          std::unique_lock<std::mutex> &lock)
    {
        operation->d->announce(&QMOperationNotifier::finished,
                               "a slot connected to an operation's finished()");
        if (queueNotifier) {
            QMUncaughtExceptions::invokeGuarded(
                    "a slot connected to a queue's operationFinished()",
                    [&] { Q_EMIT queueNotifier->operationFinished(operation); });
        }
        lock.lock();
        --announcing;
        if (queueNotifier && unfinishedLocked() == 0 && announcing == 0) {
            lock.unlock();
            QMUncaughtExceptions::invokeGuarded("a slot connected to a queue's becameIdle()",
                                                [&] { Q_EMIT queueNotifier->becameIdle(); });
            lock.lock();
        }
    }

    // Asks the application's thread to call `method` of the poster, with no arguments.
    static bool postToMainThread(const char *method);

    static void runMainQueueOperation()
    {
        Private &self = *QMOperationQueue::mainQueue()->d;
        std::unique_lock lock(self.mutex);
        self.mainRunPosted = false;
        OperationPointer operation = self.takeReadyLocked();
        if (!operation)
            return;
        operation = self.runLocked(std::move(operation), nullptr, lock);
        lock.unlock();
        operation.reset();
    }

    static void runMainQueueBlock()
    {
        Private &self = *QMOperationQueue::mainQueue()->d;
        Block block;
        {
            std::lock_guard lock(self.mutex);
            block = std::move(self.mainBlocks.front());
            self.mainBlocks.pop_front();
        }
        QMUncaughtExceptions::invokeGuarded("a block on the main queue", block);
    }

    std::list<WorkerPointer>::iterator findWorkerLocked(const Worker *worker)
    {
        return std::find_if(workers.begin(), workers.end(),
                            [worker](const WorkerPointer &w) { return w.get() == worker; });
    }

    void eraseIdleLocked(const Worker *worker)
    {
        idle.erase(std::find_if(idle.begin(), idle.end(),
                                [worker](const WorkerPointer &w) { return w.get() == worker; }));
    }

    bool isWorkerThreadLocked() const
    {
        const std::thread::id current = std::this_thread::get_id();
        return std::any_of(workers.begin(), workers.end(), [current](const WorkerPointer &w) {
            return w->thread.get_id() == current;
        });
    }

    mutable std::mutex mutex;
    // Signalled when the count of unfinished operations reaches 0 and when a worker ends.
    std::condition_variable changed;
    QString name;
    std::atomic<qsizetype> width;
    const bool isMain;
    bool stopping = false;
    bool detachWorkers = false;
    bool mainRunPosted = false;
    std::map<quint64, OperationPointer> waiting; // enqueued, held back by dependencies
    std::deque<Entry> inOrder; // ready, see pushReadyLocked()
    std::vector<Entry> outOfOrder; // ready, a heap
    std::vector<Entry> executing; // as many as the width at most
    // Operations finished, written under `mutex`; see unfinishedLocked().
    std::atomic<quint64> finishedCount = 0;
    // Set by a destructor on one of the queue's own workers while operations are unfinished,
    // which hold only a plain pointer to their queue.
    std::shared_ptr<Private> keptUntilFinished;
    // What addOperation() touches without the lock, each on a cache line of its own: the
    // workers write `handedOver` and `executingCount`, the adding threads `nextSequence`.
    // The size of `executing`, see publishExecutingLocked().
    alignas(64) std::atomic<qsizetype> executingCount = 0;
    // Handed over by addOperation() and not yet taken in, the last first; see handOver().
    alignas(64) std::atomic<QMBaseOperation::Private *> handedOver = nullptr;
    // The next operation's sequence number, which is also the count of operations added.
    alignas(64) std::atomic<quint64> nextSequence = 0;
    std::list<WorkerPointer> workers;
    std::vector<WorkerPointer> idle;
    std::vector<WorkerPointer> toWake; // handed an operation, see unlockAndWake()
    std::vector<std::thread> retired; // workers that ended, to be joined
    std::deque<Block> mainBlocks;
    // Operations whose finished signals are still being emitted, see announceFinished().
    int announcing = 0;
    // Made by notifier() under `mutex`; the pointer is read without it.
    std::unique_ptr<QMOperationQueueNotifier> notifierObject;
    std::atomic<QMOperationQueueNotifier *> notifier {nullptr};
};

QMOperationQueue::QMOperationQueue()
    : d(std::make_shared<Private>(false))
{ }

QMOperationQueue::QMOperationQueue(MainQueueTag)
    : d(std::make_shared<Private>(true))
{ }

QMOperationQueue::~QMOperationQueue()
{
    if (d->isMain)
        return;
    std::vector<std::thread> threads;
    {
        std::unique_lock lock(d->mutex);
        d->stopping = true;
        for (const Private::WorkerPointer &worker : d->idle)
            worker->wake.notify_one();
        if (d->isWorkerThreadLocked()) {
            // Waiting here would wait for this very thread. The workers share the queue's
            // state and it keeps itself for the remaining operations: they run to the end
            // unjoined.
            d->detachWorkers = true;
            if (d->unfinishedLocked() > 0)
                d->keptUntilFinished = d;
            for (const Private::WorkerPointer &worker : d->workers) {
                if (worker->thread.joinable())
                    worker->thread.detach();
            }
            for (std::thread &thread : d->retired)
                thread.detach();
            d->retired.clear();
            return;
        }
        d->changed.wait(lock, [this] { return d->unfinishedLocked() == 0 && d->workers.empty(); });
        threads.swap(d->retired);
    }
    for (std::thread &thread : threads)
        thread.join();
}

std::shared_ptr<QMOperationQueue> QMOperationQueue::mainQueue()
{
    // Kept for the whole process, past the destruction of static objects: an operation on it
    // holds only a plain pointer to its state (see QMBaseOperation::Private::scheduler).
    static const auto *const queue
            = new std::shared_ptr<QMOperationQueue>(new QMOperationQueue(MainQueueTag {}));
    return *queue;
}

std::shared_ptr<QMOperationQueue> QMOperationQueue::serialQueue()
{
    return queueWithMaxConcurrentOperationCount(1);
}

std::shared_ptr<QMOperationQueue> QMOperationQueue::queueWithMaxConcurrentOperationCount(int count)
{
    auto queue = std::make_shared<QMOperationQueue>();
    queue->setMaxConcurrentOperationCount(count);
    return queue;
}

int QMOperationQueue::defaultMaxConcurrentOperationCount()
{
    return QThread::idealThreadCount();
}

bool QMOperationQueue::isMainQueue() const
{
    return d->isMain;
}

QString QMOperationQueue::name() const
{
    std::lock_guard lock(d->mutex);
    return d->name;
}

void QMOperationQueue::setName(const QString &name)
{
    std::lock_guard lock(d->mutex);
    d->name = name;
}

int QMOperationQueue::maxConcurrentOperationCount() const
{
    std::lock_guard lock(d->mutex);
    return int(d->width);
}

void QMOperationQueue::setMaxConcurrentOperationCount(int count)
{
    std::unique_lock lock(d->mutex);
    if (d->isMain)
        return;
    d->width = count < 0 ? defaultMaxConcurrentOperationCount() : count;
    d->scheduleLocked();
    d->unlockAndWake(lock);
}

void QMOperationQueue::addOperation(const std::shared_ptr<QMBaseOperation> &operation)
{
    QMParameterAssert(operation != nullptr, "operation");
    QMAssert(!d->isMain || QCoreApplication::instance(),
             QStringLiteral("The main queue needs a QCoreApplication"));
    {
        std::lock_guard operationLock(operation->d->mutex);
        QMAssert(!operation->d->started && !operation->d->scheduler,
                 QStringLiteral("Operation is already enqueued or has already been started"));
        operation->d->scheduler = d.get();
        operation->d->sequence = d->nextSequence.fetch_add(1);
    }
    d->handOver(operation);
    // While every slot is taken, a running operation's worker takes this one in when it
    // finishes (it lowers `executingCount` before it looks at what was handed over, so one of
    // the two sees the other). Only a free slot needs the lock: to hand the operation to an
    // idle worker or a new one.
    if (!d->isMain && d->executingCount.load() >= d->width.load())
        return;
    std::unique_lock lock(d->mutex);
    d->scheduleLocked();
    std::vector<std::thread> retired = std::exchange(d->retired, {});
    d->unlockAndWake(lock);
    // Workers that ended after an idle while are joined here, where the queue gets busy again.
    for (std::thread &thread : retired)
        thread.join();
}

void QMOperationQueue::addOperationWithBlock(Block block)
{
    addOperation(QMBlockOperation::blockOperationWithBlock(std::move(block)));
}

qsizetype QMOperationQueue::operationCount() const
{
    std::lock_guard lock(d->mutex);
    return d->unfinishedLocked();
}

void QMOperationQueue::cancelAllOperations()
{
    std::vector<std::shared_ptr<QMBaseOperation>> operations;
    {
        std::lock_guard lock(d->mutex);
        d->takeInHandedOverLocked();
        for (const auto &[sequence, operation] : d->waiting)
            operations.push_back(operation);
        for (const auto &[sequence, operation] : d->inOrder)
            operations.push_back(operation);
        for (const std::vector<Private::Entry> *entries : {&d->outOfOrder, &d->executing}) {
            for (const auto &[sequence, operation] : *entries)
                operations.push_back(operation);
        }
    }
    // Outside the lock: cancelling a pending operation reschedules it on this queue.
    for (const std::shared_ptr<QMBaseOperation> &operation : operations)
        operation->cancel();
}

void QMOperationQueue::waitUntilAllOperationsAreFinished()
{
    std::unique_lock lock(d->mutex);
    d->changed.wait(lock, [this] { return d->unfinishedLocked() == 0; });
}

void QMOperationQueue::performBlock(Block block)
{
    QMParameterAssert(bool(block), "block");
    if (!d->isMain) {
        addOperationWithBlock(std::move(block));
        return;
    }
    QMAssert(QCoreApplication::instance(),
             QStringLiteral("The main queue needs a QCoreApplication"));
    {
        std::lock_guard lock(d->mutex);
        d->mainBlocks.push_back(std::move(block));
    }
    // One event per block, each taking the oldest block: blocks run in the order they were
    // handed over, also when several threads hand them over at once.
    Private::postToMainThread("runBlock");
}

QMOperationQueueNotifier *QMOperationQueue::notifier() const
{
    if (QMOperationQueueNotifier *made = d->notifier.load(std::memory_order_acquire))
        return made;
    std::lock_guard lock(d->mutex);
    if (!d->notifierObject) {
        d->notifierObject = std::make_unique<QMOperationQueueNotifier>();
        d->notifier.store(d->notifierObject.get(), std::memory_order_release);
    }
    return d->notifierObject.get();
}

void QMOperationQueue::performBlockAndWait(Block block)
{
    QMParameterAssert(bool(block), "block");
    const auto operation = QMBlockOperation::blockOperationWithBlock(std::move(block));
    addOperation(operation);
    operation->waitUntilFinished();
}

// Runs the main queue's work on the application's thread. The work is asked for by method name:
// a posted functor would be written by the posting thread and read by the application's thread
// in the library's own code, synchronised only inside Qt's event queue, which race detectors
// cannot see; by name, the event is made and read inside Qt alone, and the slots take the main
// queue's lock before they touch anything.
class QMMainQueuePoster : public QObject
{
    Q_OBJECT

public:
    Q_INVOKABLE void runOperation() { QMOperationQueue::Private::runMainQueueOperation(); }
    Q_INVOKABLE void runBlock() { QMOperationQueue::Private::runMainQueueBlock(); }
};

bool QMOperationQueue::Private::postToMainThread(const char *method)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return false;
    // Made once, on the first post, and kept for the process: the application's thread is the
    // thread that called main(), whichever application object lives there.
    static QMMainQueuePoster *const poster = [application] {
        auto *made = new QMMainQueuePoster;
        made->moveToThread(application->thread());
        return made;
    }();
    QMetaObject::invokeMethod(poster, method, Qt::QueuedConnection);
    return true;
}

#include "QMOperationQueue.moc"

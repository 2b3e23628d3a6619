#include "operations/QMOperationQueue.h"

#include "errors/QMInternalInconsistencyException.h"
#include "operations/QMBaseOperation_p.h"
#include "operations/QMBlockOperation.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
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
    using OperationMap = std::map<quint64, OperationPointer>;

    struct Worker
    {
        std::thread thread;
        std::condition_variable wake;
        // An operation handed over by scheduleLocked(), already counted as running.
        OperationPointer assigned;
    };

    explicit Private(bool main)
        : width(main ? 1 : QMOperationQueue::defaultMaxConcurrentOperationCount())
        , isMain(main)
    { }

    void operationMayHaveBecomeReady(quint64 sequence) override
    {
        std::lock_guard lock(mutex);
        const auto found = waiting.find(sequence);
        if (found == waiting.end() || !found->second->d->isReadyToRun())
            return;
        ready.insert(waiting.extract(found));
        scheduleLocked();
    }

    // The first ready operation in order of addition when a slot is free, now counted as
    // running. Operations that a late addDependency() made unready go back to waiting.
    OperationPointer takeReadyLocked()
    {
        while (!ready.empty() && qsizetype(executing.size()) < width) {
            auto first = ready.begin();
            if (!first->second->d->isReadyToRun()) {
                waiting.insert(ready.extract(first));
                continue;
            }
            OperationPointer operation = first->second;
            {
                std::lock_guard operationLock(operation->d->mutex);
                operation->d->started = true;
            }
            executing.insert(ready.extract(first));
            return operation;
        }
        return nullptr;
    }

    // Hands ready operations to idle workers or new ones, or, on the main queue, asks the
    // application's event loop to run the next one.
    void scheduleLocked()
    {
        if (isMain) {
            if (!mainRunPosted && executing.empty() && !ready.empty())
                mainRunPosted = postToMainThread(&Private::runMainQueueOperation);
            return;
        }
        while (OperationPointer operation = takeReadyLocked()) {
            if (!idle.empty()) {
                Worker *worker = idle.back();
                idle.pop_back();
                worker->assigned = std::move(operation);
                worker->wake.notify_one();
            } else {
                spawnLocked(std::move(operation));
            }
        }
    }

    void spawnLocked(OperationPointer operation)
    {
        Worker &worker = workers.emplace_back();
        worker.assigned = operation;
        try {
            worker.thread = std::thread(
                    [self = shared_from_this(), w = &worker] { self->workerMain(w); });
        } catch (...) {
            workers.pop_back();
            const quint64 sequence = operation->d->sequence;
            executing.erase(sequence);
            ready.emplace(sequence, std::move(operation));
            throw;
        }
        if (detachWorkers)
            worker.thread.detach();
    }

    void workerMain(Worker *worker)
    {
        std::unique_lock lock(mutex);
        for (;;) {
            OperationPointer operation = std::move(worker->assigned);
            if (!operation)
                operation = takeReadyLocked();
            if (operation) {
                runLocked(std::move(operation), lock);
                continue;
            }
            if (stopping)
                break;
            idle.push_back(worker);
            const bool woken = worker->wake.wait_for(lock, IdleTimeout,
                                                     [&] { return worker->assigned || stopping; });
            if (!worker->assigned) {
                idle.erase(std::find(idle.begin(), idle.end(), worker));
                if (!woken)
                    break;
            }
        }
        const auto self = std::find_if(workers.begin(), workers.end(),
                                       [worker](const Worker &w) { return &w == worker; });
        if (self->thread.joinable())
            retired.push_back(std::move(self->thread));
        workers.erase(self);
        changed.notify_all();
    }

    // Runs an operation taken by takeReadyLocked() with the lock released, then accounts for it.
    void runLocked(OperationPointer operation, std::unique_lock<std::mutex> &lock)
    {
        lock.unlock();
        // An exception from main() ends the process here, as on any thread of its own.
        const QMBaseOperation::CompletionBlock completion = operation->d->runAndFinish(*operation);
        lock.lock();
        executing.erase(operation->d->sequence);
        --count;
        if (count == 0)
            changed.notify_all();
        // The completion block does not keep the slot: another thread may take the next
        // operation meanwhile.
        if (completion || isMain)
            scheduleLocked();
        lock.unlock();
        if (completion)
            completion();
        // The operation may be the last owner of anything, this queue included: let it go
        // without the lock.
        operation.reset();
        lock.lock();
    }

    static bool postToMainThread(void (*function)())
    {
        QCoreApplication *application = QCoreApplication::instance();
        if (!application)
            return false;
        QMetaObject::invokeMethod(application, function, Qt::QueuedConnection);
        return true;
    }

    static void runMainQueueOperation()
    {
        Private &self = *QMOperationQueue::mainQueue()->d;
        std::unique_lock lock(self.mutex);
        self.mainRunPosted = false;
        if (OperationPointer operation = self.takeReadyLocked())
            self.runLocked(std::move(operation), lock);
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
        block();
    }

    bool isWorkerThreadLocked() const
    {
        const std::thread::id current = std::this_thread::get_id();
        return std::any_of(workers.begin(), workers.end(),
                           [current](const Worker &w) { return w.thread.get_id() == current; });
    }

    std::vector<std::thread> takeRetired()
    {
        std::lock_guard lock(mutex);
        return std::exchange(retired, {});
    }

    std::mutex mutex;
    // Signalled when the count of unfinished operations reaches 0 and when a worker ends.
    std::condition_variable changed;
    QString name;
    qsizetype width;
    const bool isMain;
    bool stopping = false;
    bool detachWorkers = false;
    bool mainRunPosted = false;
    quint64 nextSequence = 0;
    OperationMap waiting; // enqueued, held back by dependencies
    OperationMap ready;
    OperationMap executing;
    qsizetype count = 0;
    std::list<Worker> workers; // stable addresses: workers and `idle` point into it
    std::vector<Worker *> idle;
    std::vector<std::thread> retired; // workers that ended, to be joined
    std::deque<Block> mainBlocks;
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
        for (Private::Worker *worker : d->idle)
            worker->wake.notify_one();
        if (d->isWorkerThreadLocked()) {
            // Waiting here would wait for this very thread. The workers share the queue's
            // state and the remaining operations hold it: they run to the end unjoined.
            d->detachWorkers = true;
            for (Private::Worker &worker : d->workers) {
                if (worker.thread.joinable())
                    worker.thread.detach();
            }
            for (std::thread &thread : d->retired)
                thread.detach();
            d->retired.clear();
            return;
        }
        d->changed.wait(lock, [this] { return d->count == 0 && d->workers.empty(); });
        threads.swap(d->retired);
    }
    for (std::thread &thread : threads)
        thread.join();
}

std::shared_ptr<QMOperationQueue> QMOperationQueue::mainQueue()
{
    static const std::shared_ptr<QMOperationQueue> queue(new QMOperationQueue(MainQueueTag {}));
    return queue;
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
    std::lock_guard lock(d->mutex);
    if (d->isMain)
        return;
    d->width = count < 0 ? defaultMaxConcurrentOperationCount() : count;
    d->scheduleLocked();
}

void QMOperationQueue::addOperation(const std::shared_ptr<QMBaseOperation> &operation)
{
    QMParameterAssert(operation != nullptr, "operation");
    QMAssert(!d->isMain || QCoreApplication::instance(),
             QStringLiteral("The main queue needs a QCoreApplication"));
    for (std::thread &thread : d->takeRetired())
        thread.join();
    std::lock_guard lock(d->mutex);
    quint64 sequence = 0;
    {
        std::lock_guard operationLock(operation->d->mutex);
        QMAssert(!operation->d->started && !operation->d->scheduler,
                 QStringLiteral("Operation is already enqueued or has already been started"));
        sequence = d->nextSequence++;
        operation->d->scheduler = d;
        operation->d->sequence = sequence;
    }
    ++d->count;
    (operation->d->isReadyToRun() ? d->ready : d->waiting).emplace(sequence, operation);
    d->scheduleLocked();
}

void QMOperationQueue::addOperationWithBlock(Block block)
{
    addOperation(QMBlockOperation::blockOperationWithBlock(std::move(block)));
}

qsizetype QMOperationQueue::operationCount() const
{
    std::lock_guard lock(d->mutex);
    return d->count;
}

void QMOperationQueue::cancelAllOperations()
{
    std::vector<std::shared_ptr<QMBaseOperation>> operations;
    {
        std::lock_guard lock(d->mutex);
        for (const Private::OperationMap *map : {&d->waiting, &d->ready, &d->executing}) {
            for (const auto &[sequence, operation] : *map)
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
    d->changed.wait(lock, [this] { return d->count == 0; });
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
    Private::postToMainThread(&Private::runMainQueueBlock);
}

void QMOperationQueue::performBlockAndWait(Block block)
{
    QMParameterAssert(bool(block), "block");
    const auto operation = QMBlockOperation::blockOperationWithBlock(std::move(block));
    addOperation(operation);
    operation->waitUntilFinished();
}

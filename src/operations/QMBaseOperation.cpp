#include "operations/QMBaseOperation.h"

#include "errors/QMInternalInconsistencyException.h"
#include "operations/QMBaseOperation_p.h"

#include <algorithm>

QMOperationScheduler::~QMOperationScheduler() = default;

QMBaseOperation::QMBaseOperation()
    : d(std::make_shared<Private>())
{ }

QMBaseOperation::~QMBaseOperation() = default;

void QMBaseOperation::start()
{
    {
        std::lock_guard lock(d->mutex);
        QMAssert(!d->started, QStringLiteral("Operation has already been started"));
        QMAssert(!d->scheduler,
                 QStringLiteral("Operation is enqueued on a queue and cannot be started directly"));
        QMAssert(d->isReadyToRun(),
                 QStringLiteral("Operation is not ready: a dependency has not finished"));
        d->started = true;
    }
    if (CompletionBlock completion = d->runAndFinish(*this))
        completion();
}

void QMBaseOperation::main() { }

QMBaseOperation::CompletionBlock QMBaseOperation::Private::runAndFinish(QMBaseOperation &operation)
{
    if (cancelled.load())
        return markFinished();
    executing.store(true);
    notifyExecuting(true);
    try {
        operation.main();
    } catch (...) {
        executing.store(false);
        notifyExecuting(false);
        // Nobody could call the completion block of an operation whose main() threw on a
        // queue's thread, and waiters must not hang: finish it before the exception goes on.
        if (CompletionBlock completion = markFinished())
            completion();
        throw;
    }
    executing.store(false);
    notifyExecuting(false);
    return markFinished();
}

QMBaseOperation::CompletionBlock QMBaseOperation::Private::markFinished()
{
    CompletionBlock completion;
    std::vector<std::weak_ptr<Private>> released;
    {
        std::lock_guard lock(mutex);
        finished = true;
        completion = std::move(completionBlock);
        completionBlock = {};
        scheduler.reset();
        released = takeDependentsLocked();
    }
    finishedCondition.notify_all();
    notifyDependents(released);
    return completion;
}

void QMBaseOperation::Private::notifyExecuting(bool value)
{
    if (observerCount.load() == 0)
        return;
    std::vector<std::shared_ptr<Observer>> snapshot;
    {
        std::lock_guard lock(mutex);
        snapshot = observers;
    }
    for (const std::shared_ptr<Observer> &observer : snapshot) {
        std::lock_guard lock(observer->mutex);
        if (!observer->removed)
            observer->function(value);
    }
}

std::vector<std::weak_ptr<QMBaseOperation::Private>>
QMBaseOperation::Private::takeDependentsLocked()
{
    if (dependentsReleased)
        return {};
    dependentsReleased = true;
    return std::exchange(dependents, {});
}

void QMBaseOperation::Private::notifyDependents(const std::vector<std::weak_ptr<Private>> &released)
{
    for (const std::weak_ptr<Private> &weakDependent : released) {
        if (const std::shared_ptr<Private> dependent = weakDependent.lock())
            dependent->dependencyReleased();
    }
}

void QMBaseOperation::Private::dependencyReleased()
{
    if (unfinishedDependencies.fetch_sub(1) != 1)
        return;
    std::shared_ptr<QMOperationScheduler> queue;
    quint64 position = 0;
    {
        std::lock_guard lock(mutex);
        queue = scheduler;
        position = sequence;
    }
    if (queue)
        queue->operationMayHaveBecomeReady(position);
}

void QMBaseOperation::cancel()
{
    std::shared_ptr<QMOperationScheduler> queue;
    quint64 position = 0;
    std::vector<std::weak_ptr<Private>> released;
    {
        std::lock_guard lock(d->mutex);
        if (d->cancelled.exchange(true) || d->started)
            return;
        queue = d->scheduler;
        position = d->sequence;
        released = d->takeDependentsLocked();
    }
    d->notifyDependents(released);
    if (queue)
        queue->operationMayHaveBecomeReady(position);
}

bool QMBaseOperation::isCancelled() const
{
    return d->cancelled.load();
}

bool QMBaseOperation::isExecuting() const
{
    return d->executing.load();
}

bool QMBaseOperation::isFinished() const
{
    std::lock_guard lock(d->mutex);
    return d->finished;
}

bool QMBaseOperation::isReady() const
{
    return d->isReadyToRun();
}

QMBaseOperation::CompletionBlock QMBaseOperation::completionBlock() const
{
    std::lock_guard lock(d->mutex);
    return d->completionBlock;
}

void QMBaseOperation::setCompletionBlock(CompletionBlock block)
{
    std::lock_guard lock(d->mutex);
    d->completionBlock = std::move(block);
}

quint64 QMBaseOperation::addExecutingObserver(ExecutingObserver observer)
{
    auto record = std::make_shared<Private::Observer>();
    record->function = std::move(observer);
    std::lock_guard lock(d->mutex);
    record->token = d->nextObserverToken++;
    d->observers.push_back(record);
    d->observerCount.store(d->observers.size());
    return record->token;
}

void QMBaseOperation::removeExecutingObserver(quint64 token)
{
    std::shared_ptr<Private::Observer> removed;
    {
        std::lock_guard lock(d->mutex);
        const auto found = std::find_if(d->observers.begin(), d->observers.end(),
                                        [token](const auto &o) { return o->token == token; });
        if (found == d->observers.end())
            return;
        removed = *found;
        d->observers.erase(found);
        d->observerCount.store(d->observers.size());
    }
    // Taking the observer's own lock waits for a call in progress on another thread.
    std::lock_guard lock(removed->mutex);
    removed->removed = true;
}

void QMBaseOperation::addDependency(const std::shared_ptr<QMBaseOperation> &operation)
{
    QMParameterAssert(operation != nullptr, "operation");
    QMParameterAssert(operation.get() != this, "operation != this");
    {
        // Registered under the dependency's lock, so that its release either sees this
        // dependent or happened before and is seen here.
        std::lock_guard lock(operation->d->mutex);
        if (!operation->d->dependentsReleased) {
            d->unfinishedDependencies.fetch_add(1);
            operation->d->dependents.push_back(d);
        }
    }
    std::lock_guard lock(d->mutex);
    d->dependencies.append(operation);
}

void QMBaseOperation::addDependencies(const OperationList &dependencies)
{
    QMParameterAssert(std::all_of(dependencies.begin(), dependencies.end(),
                                  [](const auto &operation) { return operation != nullptr; }),
                      "dependencies");
    for (const std::shared_ptr<QMBaseOperation> &operation : dependencies)
        addDependency(operation);
}

QMBaseOperation::OperationList QMBaseOperation::dependencies() const
{
    std::lock_guard lock(d->mutex);
    return d->dependencies;
}

void QMBaseOperation::waitUntilFinished() const
{
    std::unique_lock lock(d->mutex);
    d->finishedCondition.wait(lock, [this] { return d->finished; });
}

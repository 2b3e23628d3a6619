#include <QMFoundation/operations/QMBaseOperation.h>

#include "QMFoundation/operations/QMBaseOperation_p.h"
#include "QMFoundation/operations/QMRecycledMemory_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>

#include <algorithm>

namespace {

constexpr const char *FinishedSlot = "a slot connected to an operation's finished()";

} // namespace

QMOperationScheduler::~QMOperationScheduler() = default;

QMBaseOperation::QMBaseOperation()
    : d(std::allocate_shared<Private>(QMRecycledAllocator<Private>()))
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
    // The caller's own call: what the work throws reaches it (see runAndFinish()).
    const CompletionBlock completion = d->runAndFinish(*this, nullptr);
    try {
        if (completion)
            completion();
    } catch (...) {
        d->announce(&QMOperationNotifier::finished, FinishedSlot);
        throw;
    }
    d->announce(&QMOperationNotifier::finished, FinishedSlot);
}

void QMBaseOperation::main() { }

namespace {

// Hands what a piece of the host's code threw on, as runAndFinish() says. Called with no lock
// held.
void passOn(std::exception_ptr caught, const char *what, const QMOperationScheduler *queue,
            std::exception_ptr &thrown)
{
    if (!queue) {
        if (!thrown)
            thrown = std::move(caught);
        return;
    }
    try {
        std::rethrow_exception(std::move(caught));
    } catch (...) {
        QMUncaughtExceptions::handleCurrentException(QString::fromUtf8(what) + u" on "
                                                     + queue->label());
    }
}

template<typename Work>
std::exception_ptr exceptionOf(Work &&work)
{
    try {
        std::forward<Work>(work)();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

} // namespace

QMBaseOperation::CompletionBlock
QMBaseOperation::Private::runAndFinish(QMBaseOperation &operation,
                                       const QMOperationScheduler *queue)
{
    if (cancelled.load())
        return markFinished();
    std::exception_ptr thrown;
    executing.store(true);
    notifyExecuting(true, queue, thrown);
    announce(&QMOperationNotifier::started, "a slot connected to an operation's started()");
    // An observer that threw does not stop the work: it only failed to hear of it.
    if (std::exception_ptr caught = exceptionOf([&] { operation.main(); }))
        passOn(std::move(caught), "an operation", queue, thrown);
    executing.store(false);
    notifyExecuting(false, queue, thrown);
    CompletionBlock completion = markFinished();
    if (!thrown)
        return completion;
    // The caller of start() gets the exception, but only once the operation is whole:
    // finished, its waiters woken, its completion block run and its finished() emitted.
    try {
        if (completion)
            completion();
    } catch (...) {
        announce(&QMOperationNotifier::finished, FinishedSlot);
        throw;
    }
    announce(&QMOperationNotifier::finished, FinishedSlot);
    std::rethrow_exception(thrown);
}

void QMBaseOperation::Private::announce(void (QMOperationNotifier::*signal)(),
                                        const char *where) const
{
    if (QMOperationNotifier *target = notifier.load(std::memory_order_acquire))
        QMUncaughtExceptions::invokeGuarded(where, [&] { (target->*signal)(); });
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
        scheduler = nullptr;
        released = takeDependentsLocked();
    }
    finishedCondition.notify_all();
    notifyDependents(released);
    return completion;
}

void QMBaseOperation::Private::notifyExecuting(bool value, const QMOperationScheduler *queue,
                                               std::exception_ptr &thrown)
{
    if (observerCount.load() == 0)
        return;
    std::vector<std::shared_ptr<Observer>> snapshot;
    {
        std::lock_guard lock(mutex);
        snapshot = observers;
    }
    for (const std::shared_ptr<Observer> &observer : snapshot) {
        {
            std::lock_guard lock(observer->mutex);
            if (observer->removed)
                continue;
            observer->running = true;
            observer->runner = std::this_thread::get_id();
        }
        std::exception_ptr caught = exceptionOf([&] { observer->function(value); });
        {
            std::lock_guard lock(observer->mutex);
            observer->running = false;
        }
        observer->idle.notify_all();
        if (caught)
            passOn(std::move(caught), "an executing observer of an operation", queue, thrown);
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
        if (scheduler)
            queue = scheduler->reference();
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
        if (d->cancelled.exchange(true))
            return;
        if (!d->started) {
            if (d->scheduler)
                queue = d->scheduler->reference();
            position = d->sequence;
            released = d->takeDependentsLocked();
        }
    }
    d->announce(&QMOperationNotifier::cancelled, "a slot connected to an operation's cancelled()");
    d->notifyDependents(released);
    if (queue)
        queue->operationMayHaveBecomeReady(position);
}

QMOperationNotifier *QMBaseOperation::notifier() const
{
    if (QMOperationNotifier *made = d->notifier.load(std::memory_order_acquire))
        return made;
    std::lock_guard lock(d->mutex);
    if (!d->notifierObject) {
        d->notifierObject = std::make_unique<QMOperationNotifier>();
        d->notifier.store(d->notifierObject.get(), std::memory_order_release);
    }
    return d->notifierObject.get();
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
    // Waits for a call in progress on another thread, not for one further up this thread.
    std::unique_lock lock(removed->mutex);
    removed->removed = true;
    removed->idle.wait(lock, [&] {
        return !removed->running || removed->runner == std::this_thread::get_id();
    });
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

#include <QMFoundation/operations/QMAsync.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QHash>
#include <QPointer>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>

namespace QMAsync {

struct Cancellation::State
{
    std::mutex mutex;
    bool canceled = false;
    bool finished = false;
    std::function<void()> handler;
    // The future of the work, if there is one (a default QFuture reads as cancelled).
    std::optional<QFuture<void>> future;
};

Cancellation::Cancellation()
    : d(std::make_shared<State>())
{ }

Cancellation::Cancellation(const QFuture<void> &future)
    : d(std::make_shared<State>())
{
    d->future = future;
}

bool Cancellation::isCanceled() const
{
    std::lock_guard lock(d->mutex);
    // A failed future reads as cancelled too, but it fails only once the work has finished.
    return d->canceled || (!d->finished && d->future && d->future->isCanceled());
}

void Cancellation::setHandler(std::function<void()> handler) const
{
    std::unique_lock lock(d->mutex);
    if (d->finished)
        return;
    if (!d->canceled) {
        d->handler = std::move(handler);
        return;
    }
    lock.unlock();
    if (handler)
        QMUncaughtExceptions::invokeGuarded("the cancellation handler of a future", handler);
}

void Cancellation::cancel() const
{
    std::function<void()> handler;
    {
        std::lock_guard lock(d->mutex);
        if (d->finished || d->canceled)
            return;
        d->canceled = true;
        handler = std::move(d->handler);
        d->handler = nullptr;
    }
    if (handler)
        QMUncaughtExceptions::invokeGuarded("the cancellation handler of a future", handler);
}

void Cancellation::finish() const
{
    std::function<void()> handler;
    {
        std::lock_guard lock(d->mutex);
        d->finished = true;
        // Destroyed outside the lock: the handler may hold the last reference to its work.
        handler = std::move(d->handler);
        d->handler = nullptr;
    }
}

// Work reaches the threads below by method name: a posted functor would be written by the
// posting thread and read by the receiving one in the library's own code, synchronised only
// inside Qt's event queue, which race detectors cannot see. By name, the event is made and read
// inside Qt alone, and the slots take a lock of ours before they touch anything.

// Starts `thread` and returns once its event dispatcher exists. Posting to a thread wakes its
// dispatcher through a descriptor the thread makes itself; waiting here orders that making
// before the first post in a way race detectors see (QThread::start() alone does not).
void startAndWaitForLoop(QThread *thread)
{
    struct Start
    {
        std::mutex mutex;
        std::condition_variable condition;
        bool started = false;
    };
    // Shared with the slot, which the disconnection below may race with on the new thread.
    const auto start = std::make_shared<Start>();
    const QMetaObject::Connection connection = QObject::connect(
            thread, &QThread::started, thread,
            [start] {
                std::lock_guard lock(start->mutex);
                start->started = true;
                start->condition.notify_all();
            },
            Qt::DirectConnection);
    thread->start();
    std::unique_lock lock(start->mutex);
    start->condition.wait(lock, [&start] { return start->started; });
    lock.unlock();
    QObject::disconnect(connection);
}

// Lives on the thread whose event loop the future watchers live in. QFutureWatcher reports a
// cancellation as an event to its own thread, and neither a pool thread (busy with the work)
// nor the caller's thread (which may not run a loop, or may be the one waiting) can take it.
// Started on first use and never stopped: it holds nothing but watchers, and it must outlive
// every future the process still has.
class QMAsyncWatcherHub : public QObject
{
    Q_OBJECT

public:
    static QMAsyncWatcherHub *instance()
    {
        static QMAsyncWatcherHub *const hub = [] {
            auto *thread = new QThread; // never destroyed, see above
            thread->setObjectName(QStringLiteral("QMAsync.Watcher"));
            auto *made = new QMAsyncWatcherHub;
            made->moveToThread(thread);
            startAndWaitForLoop(thread);
            return made;
        }();
        return hub;
    }

    void add(const QFuture<void> &future, const Cancellation &cancellation)
    {
        {
            std::lock_guard lock(m_mutex);
            m_pending.emplace_back(future, cancellation);
        }
        QMetaObject::invokeMethod(this, "watchNext", Qt::QueuedConnection);
    }

    Q_INVOKABLE void watchNext()
    {
        std::unique_lock lock(m_mutex);
        if (m_pending.empty())
            return;
        auto [future, cancellation] = std::move(m_pending.front());
        m_pending.pop_front();
        lock.unlock();
        auto *watcher = new QFutureWatcher<void>(this);
        connect(watcher, &QFutureWatcherBase::canceled, watcher,
                [cancellation = cancellation] { cancellation.cancel(); });
        connect(watcher, &QFutureWatcherBase::finished, watcher, &QObject::deleteLater);
        watcher->setFuture(future);
        // A future cancelled (or finished) before the watcher was set: the watcher replays the
        // state, but make sure either way.
        if (future.isCanceled())
            cancellation.cancel();
    }

private:
    std::mutex m_mutex;
    std::deque<std::pair<QFuture<void>, Cancellation>> m_pending;
};

// Delivers blocks to the contexts that live on one thread, one event per block, in the order
// they were handed over. A context's destruction drops (and frees) its pending blocks at once,
// as Qt drops the events posted to a destroyed object; one whose context moved to another
// thread meanwhile follows it.
class QMContextRelay : public QObject
{
    Q_OBJECT

public:
    struct Delivery
    {
        QPointer<QObject> context;
        QObject *key; // the context's address, to find its deliveries once it is gone
        std::function<void()> block;
        const char *where;
    };

    // Hands `delivery` to the relay of `thread`, made on first use and destroyed when the
    // thread finishes; dropped for a thread that has finished.
    static void post(QThread *thread, Delivery delivery)
    {
        if (!thread)
            return;
        std::lock_guard lock(registryMutex());
        QMContextRelay *&relay = registry()[thread];
        if (!relay) {
            if (thread->isFinished()) {
                registry().remove(thread);
                return;
            }
            relay = new QMContextRelay;
            relay->moveToThread(thread);
            // Direct: emitted on the finishing thread itself, where the relay lives.
            connect(
                    thread, &QThread::finished, relay,
                    [thread] {
                        QMContextRelay *gone = nullptr;
                        {
                            std::lock_guard registryLock(registryMutex());
                            gone = registry().take(thread);
                        }
                        delete gone;
                    },
                    Qt::DirectConnection);
        }
        relay->m_queue->push(std::move(delivery));
        QMetaObject::invokeMethod(relay, "deliverNext", Qt::QueuedConnection);
    }

    // Frees at once what waits for `context` on `thread`'s relay: a block handed over while the
    // context's destroyed() was already being emitted missed the handler that frees it.
    static void dropFor(QThread *thread, QObject *context)
    {
        std::shared_ptr<Queue> queue;
        {
            std::lock_guard lock(registryMutex());
            if (QMContextRelay *relay = registry().value(thread))
                queue = relay->m_queue;
        }
        if (queue)
            queue->drop(context);
    }

    Q_INVOKABLE void deliverNext()
    {
        std::optional<Delivery> next = m_queue->pop();
        if (!next)
            return;
        QObject *context = next->context.data();
        if (!context)
            return;
        if (context->thread() != thread()) {
            invokeOnContext(context, std::move(next->block), next->where);
            return;
        }
        QMUncaughtExceptions::invokeGuarded(next->where, next->block);
    }

private:
    // The pending deliveries, shared with the destroyed() handlers of their contexts (which
    // may outlive the relay). Each context with pending deliveries has one such handler.
    class Queue : public std::enable_shared_from_this<Queue>
    {
    public:
        void push(Delivery delivery)
        {
            QObject *const key = delivery.key;
            std::unique_lock lock(m_mutex);
            m_deliveries.push_back(std::move(delivery));
            if (m_pending[key]++ > 0)
                return;
            // Direct and without a receiver: it runs on the destroying thread, before the
            // object's memory goes. The caller keeps the context alive during this call.
            const std::weak_ptr<Queue> weak = weak_from_this();
            m_watches[key] = QObject::connect( // clazy:exclude=connect-3arg-lambda
                    key, &QObject::destroyed, [weak, key] {
                        if (const std::shared_ptr<Queue> queue = weak.lock())
                            queue->drop(key);
                    });
        }

        std::optional<Delivery> pop()
        {
            QMetaObject::Connection finished;
            std::optional<Delivery> next;
            {
                std::lock_guard lock(m_mutex);
                if (m_deliveries.empty())
                    return std::nullopt;
                next = std::move(m_deliveries.front());
                m_deliveries.pop_front();
                if (--m_pending[next->key] == 0) {
                    m_pending.remove(next->key);
                    finished = m_watches.take(next->key);
                }
            }
            QObject::disconnect(finished);
            return next;
        }

        // The context `key` is being destroyed: its blocks go now, freed outside the lock.
        void drop(QObject *key)
        {
            std::deque<Delivery> dropped;
            {
                std::lock_guard lock(m_mutex);
                for (auto it = m_deliveries.begin(); it != m_deliveries.end();) {
                    if (it->key == key) {
                        dropped.push_back(std::move(*it));
                        it = m_deliveries.erase(it);
                    } else {
                        ++it;
                    }
                }
                m_pending.remove(key);
                m_watches.remove(key);
            }
        }

    private:
        std::mutex m_mutex;
        std::deque<Delivery> m_deliveries;
        QHash<QObject *, int> m_pending;
        QHash<QObject *, QMetaObject::Connection> m_watches;
    };

    static std::mutex &registryMutex()
    {
        static auto *const instance = new std::mutex;
        return *instance;
    }
    // Never destroyed: threads may still finish (and unregister) while the process exits.
    static QHash<QThread *, QMContextRelay *> &registry()
    {
        static auto *const instance = new QHash<QThread *, QMContextRelay *>;
        return *instance;
    }

    const std::shared_ptr<Queue> m_queue = std::make_shared<Queue>();
};

void cancelWhenCanceled(const QFuture<void> &future, const Cancellation &cancellation)
{
    QMAsyncWatcherHub::instance()->add(future, cancellation);
}

std::shared_ptr<QMOperationQueue> queue()
{
    static const std::shared_ptr<QMOperationQueue> instance = [] {
        auto made = QMOperationQueue::queueWithMaxConcurrentOperationCount(8);
        made->setName(QStringLiteral("QMAsync"));
        return made;
    }();
    return instance;
}

void addToQueue(std::function<void()> job)
{
    queue()->addOperationWithBlock(std::move(job));
}

void invokeOnContext(QObject *context, std::function<void()> block, const char *where)
{
    QMParameterAssert(context != nullptr, "context");
    if (!block)
        return;
    if (context->thread() == QThread::currentThread()) {
        QMUncaughtExceptions::invokeGuarded(where, block);
        return;
    }
    QMContextRelay::post(context->thread(),
                         {QPointer<QObject>(context), context, std::move(block), where});
}

void dropDeliveries(QObject *context)
{
    QMContextRelay::dropFor(context->thread(), context);
}

void postToContext(QObject *context, std::function<void()> block, const char *where)
{
    QMParameterAssert(context != nullptr, "context");
    if (block)
        QMContextRelay::post(context->thread(),
                             {QPointer<QObject>(context), context, std::move(block), where});
}

QMError errorOfException(const std::exception_ptr &exception)
{
    try {
        std::rethrow_exception(exception);
    } catch (const QMError &error) {
        return error;
    } catch (const std::exception &other) {
        return QMError(QStringLiteral("QMFoundation.Async"), 1,
                       {{QMLocalizedDescriptionKey, QString::fromUtf8(other.what())}});
    } catch (...) {
        return QMError(QStringLiteral("QMFoundation.Async"), 1,
                       {{QMLocalizedDescriptionKey,
                         QCoreApplication::translate("QMAsync", "The work failed.")}});
    }
}

} // namespace QMAsync

#include "QMAsync.moc"

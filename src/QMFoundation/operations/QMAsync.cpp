#include <QMFoundation/operations/QMAsync.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QThread>

#include <atomic>
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

namespace {

// Carries a value to the thread that runs a posted functor. Qt hands the functor over under its
// own locks, which ThreadSanitizer cannot see inside the distribution's Qt; every copy and move
// of a HandOff (the last one is made on the posting thread, before the post) publishes through
// an atomic that value() and the destructor (on the receiving thread) acquire, so the hand-over
// is visible as what it is.
template<typename T>
class HandOff
{
public:
    explicit HandOff(T value)
        : m_value(std::move(value))
    {
        publish();
    }
    HandOff(const HandOff &other)
        : m_value(other.m_value)
    {
        publish();
    }
    HandOff(HandOff &&other) noexcept
        : m_value(std::move(other.m_value))
    {
        publish();
    }
    HandOff &operator=(const HandOff &) = delete;
    HandOff &operator=(HandOff &&) = delete;
    ~HandOff() { receive(); }

    T &value()
    {
        receive();
        return m_value;
    }

private:
    static std::atomic<unsigned> &clock()
    {
        static std::atomic<unsigned> instance {0};
        return instance;
    }
    static void publish() { clock().fetch_add(1, std::memory_order_release); }
    static void receive() { (void)clock().load(std::memory_order_acquire); }

    T m_value;
};

// The thread whose event loop the future watchers live in. QFutureWatcher reports a
// cancellation as an event to its own thread, and neither a pool thread (busy with the work)
// nor the caller's thread (which may not run a loop, or may be the one waiting) can take it.
// Started on first use and never stopped: it holds nothing but watchers, and it must outlive
// every future the process still has.
class WatcherThread
{
public:
    static QObject *hub()
    {
        static WatcherThread *instance = new WatcherThread; // never destroyed, see above
        return instance->m_hub;
    }

private:
    WatcherThread()
        : m_thread(new QThread)
        , m_hub(new QObject)
    {
        m_thread->setObjectName(QStringLiteral("QMAsync.Watcher"));
        m_hub->moveToThread(m_thread);
        m_thread->start();
    }

    QThread *m_thread;
    QObject *m_hub;
};

} // namespace

void cancelWhenCanceled(const QFuture<void> &future, const Cancellation &cancellation)
{
    struct Watch
    {
        QObject *hub;
        QFuture<void> future;
        Cancellation cancellation;
    };
    HandOff<Watch> handOff(Watch {WatcherThread::hub(), future, cancellation});
    QMetaObject::invokeMethod(
            handOff.value().hub,
            [handOff = std::move(handOff)]() mutable {
                auto &[hub, watched, cancel] = handOff.value();
                auto *watcher = new QFutureWatcher<void>(hub);
                QObject::connect(watcher, &QFutureWatcherBase::canceled, watcher,
                                 [cancel = cancel] { cancel.cancel(); });
                QObject::connect(watcher, &QFutureWatcherBase::finished, watcher,
                                 &QObject::deleteLater);
                watcher->setFuture(watched);
                // A future cancelled (or finished) before the watcher was set: the watcher
                // replays the state, but make sure either way.
                if (watched.isCanceled())
                    cancel.cancel();
            },
            Qt::QueuedConnection);
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
    // The event belongs to the context: destroying the context deletes it undelivered.
    QMetaObject::invokeMethod(
            context,
            [handOff = HandOff<std::function<void()>>(std::move(block)), where]() mutable {
                QMUncaughtExceptions::invokeGuarded(where, handOff.value());
            },
            Qt::QueuedConnection);
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

#include <QMFoundation/operations/QMAsyncContext.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMAsync.h>

#include <QObject>
#include <QPointer>
#include <QThread>

#include <mutex>

namespace QMAsync {

// Frees the blocks waiting on the relay of `context`'s thread for it (QMAsync.cpp).
void dropDeliveries(QObject *context);

struct ContextBinding::State
{
    std::mutex mutex;
    QObject *context = nullptr; // valid while `alive`; guarded by mutex
    // Made while the context lives: a guarded pointer that the relay makes for a block handed
    // over while destroyed() is being emitted then shares this one's record (Qt's destructor
    // already let go of its own, so a record first made then would never be freed).
    QPointer<QObject> guard;
    bool alive = true;
    std::function<void()> onDestroyed;
    QMetaObject::Connection connection;

    ~State() { QObject::disconnect(connection); }

    bool send(std::function<void()> block, const char *where, bool inlineOnContextThread)
    {
        std::unique_lock lock(mutex);
        if (!alive)
            return false;
        QObject *const target = context;
        if (target->thread() == QThread::currentThread()) {
            // The context can only be destroyed on its own thread, this one: no need to hold
            // the lock, and the block may come back to the binding.
            lock.unlock();
            if (inlineOnContextThread)
                invokeOnContext(target, std::move(block), where);
            else
                postToContext(target, std::move(block), where);
            return true;
        }
        // Only hands over (no block runs here), under the lock that the destruction waits for.
        invokeOnContext(target, std::move(block), where);
        return true;
    }

    void contextDestroyed()
    {
        std::function<void()> notify;
        QObject *gone = nullptr;
        {
            std::lock_guard lock(mutex);
            if (!alive)
                return;
            alive = false;
            gone = context;
            notify = std::move(onDestroyed);
            onDestroyed = nullptr;
            connection = {};
        }
        // A block another thread handed over while this destroyed() was being emitted (it
        // waited for the lock above) was queued after the relay's own handler for it could run.
        dropDeliveries(gone);
        if (notify)
            QMUncaughtExceptions::invokeGuarded("ending a binding with its context", notify);
    }
};

ContextBinding::ContextBinding(QObject *context, std::function<void()> onDestroyed)
    : d(std::make_shared<State>())
{
    QMParameterAssert(context != nullptr, "context");
    d->context = context;
    d->guard = context;
    d->onDestroyed = std::move(onDestroyed);
    const std::weak_ptr<State> weak = d;
    // A direct connection without a receiver, on purpose: it runs on the destroying thread,
    // before ~QObject drops what was posted to the context, and waits there for a delivery that
    // another thread is handing over.
    QMetaObject::Connection connection = QObject::connect( // clazy:exclude=connect-3arg-lambda
            context, &QObject::destroyed, [weak] {
                if (const std::shared_ptr<State> state = weak.lock())
                    state->contextDestroyed();
            });
    std::lock_guard lock(d->mutex);
    d->connection = std::move(connection);
}

bool ContextBinding::isAlive() const
{
    std::lock_guard lock(d->mutex);
    return d->alive;
}

bool ContextBinding::isOnContextThread() const
{
    std::lock_guard lock(d->mutex);
    return d->alive && d->context->thread() == QThread::currentThread();
}

bool ContextBinding::invoke(std::function<void()> block, const char *where) const
{
    return d->send(std::move(block), where, true);
}

bool ContextBinding::post(std::function<void()> block, const char *where) const
{
    return d->send(std::move(block), where, false);
}

void ContextBinding::detach() const
{
    std::function<void()> dropped;
    QMetaObject::Connection cut;
    {
        std::lock_guard lock(d->mutex);
        d->alive = false;
        dropped = std::move(d->onDestroyed);
        d->onDestroyed = nullptr;
        cut = std::exchange(d->connection, {});
    }
    if (cut)
        QObject::disconnect(cut);
}

} // namespace QMAsync

#include <QMFoundation/operations/QMAsyncContext.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/operations/QMAsync.h>

#include <QObject>
#include <QThread>

#include <mutex>

namespace QMAsync {

struct ContextBinding::State
{
    std::mutex mutex;
    QObject *context = nullptr; // null once destroyed; guarded by mutex
    QMetaObject::Connection destroyed;

    ~State() { QObject::disconnect(destroyed); }
};

ContextBinding::ContextBinding(QObject *context)
    : d(std::make_shared<State>())
{
    QMParameterAssert(context != nullptr, "context");
    d->context = context;
    const std::weak_ptr<State> weak = d;
    // A direct connection without a receiver, on purpose: it runs on the destroying thread,
    // before ~QObject drops the events posted to the context, and waits there for a delivery
    // that invoke() is posting.
    d->destroyed = QObject::connect( // clazy:exclude=connect-3arg-lambda
            context, &QObject::destroyed, [weak] {
                if (const std::shared_ptr<State> state = weak.lock()) {
                    std::lock_guard lock(state->mutex);
                    state->context = nullptr;
                }
            });
}

bool ContextBinding::isAlive() const
{
    std::lock_guard lock(d->mutex);
    return d->context != nullptr;
}

void ContextBinding::invoke(std::function<void()> block, const char *where) const
{
    std::unique_lock lock(d->mutex);
    QObject *const context = d->context;
    if (!context)
        return;
    if (context->thread() == QThread::currentThread()) {
        // The context cannot go away meanwhile on its own thread; the block runs unlocked.
        lock.unlock();
        invokeOnContext(context, std::move(block), where);
        return;
    }
    // Only posts the event (no block runs here), under the lock that the destruction waits for.
    invokeOnContext(context, std::move(block), where);
}

} // namespace QMAsync

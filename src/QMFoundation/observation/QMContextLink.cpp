#include "QMFoundation/observation/QMContextLink_p.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMAsync.h>

#include <QThread>

std::shared_ptr<QMContextLink> QMContextLink::make(QObject *context,
                                                   std::function<void()> onDestroyed)
{
    QMParameterAssert(context != nullptr, "context");
    std::shared_ptr<QMContextLink> link(new QMContextLink);
    link->context = context;
    link->onDestroyed = std::move(onDestroyed);
    // Direct: destroyed() comes from the context's destructor, whose thread must wait here
    // for a delivery that is posting to it (see the class comment).
    std::weak_ptr<QMContextLink> weak = link;
    QMetaObject::Connection connection = QObject::connect( // clazy:exclude=connect-3arg-lambda
            context, &QObject::destroyed, [weak] {
                if (const std::shared_ptr<QMContextLink> self = weak.lock())
                    self->contextDestroyed();
            });
    std::lock_guard lock(link->mutex);
    link->connection = std::move(connection);
    return link;
}

QMContextLink::~QMContextLink()
{
    detach();
}

bool QMContextLink::invoke(std::function<void()> block, const char *where)
{
    return send(std::move(block), where, true);
}

bool QMContextLink::post(std::function<void()> block, const char *where)
{
    return send(std::move(block), where, false);
}

bool QMContextLink::send(std::function<void()> block, const char *where, bool inlineOnContextThread)
{
    std::unique_lock lock(mutex);
    if (!alive)
        return false;
    if (context->thread() == QThread::currentThread()) {
        // The context can only be destroyed on its own thread, this one: no need to hold the
        // lock, and the block may come back to the link.
        QObject *const target = context;
        lock.unlock();
        if (inlineOnContextThread)
            QMUncaughtExceptions::invokeGuarded(where, block);
        else
            postTo(target, std::move(block), where);
        return true;
    }
    // Posting only (another thread): no block runs under the lock.
    QMAsync::invokeOnContext(context, std::move(block), where);
    return true;
}

bool QMContextLink::isOnContextThread()
{
    std::lock_guard lock(mutex);
    return alive && context->thread() == QThread::currentThread();
}

void QMContextLink::postTo(QObject *context, std::function<void()> block, const char *where)
{
    if (context->thread() != QThread::currentThread()) {
        // Queued there, with a hand-over that race detectors can follow.
        QMAsync::invokeOnContext(context, std::move(block), where);
        return;
    }
    QMetaObject::invokeMethod(
            context,
            [block = std::move(block), where] {
                QMUncaughtExceptions::invokeGuarded(where, block);
            },
            Qt::QueuedConnection);
}

void QMContextLink::detach()
{
    std::function<void()> dropped;
    QMetaObject::Connection cut;
    {
        std::lock_guard lock(mutex);
        alive = false;
        dropped = std::move(onDestroyed);
        onDestroyed = nullptr;
        cut = std::exchange(connection, {});
    }
    if (cut)
        QObject::disconnect(cut);
}

void QMContextLink::contextDestroyed()
{
    std::function<void()> notify;
    {
        std::lock_guard lock(mutex);
        if (!alive)
            return;
        alive = false;
        notify = std::move(onDestroyed);
        onDestroyed = nullptr;
        connection = {};
    }
    if (notify)
        QMUncaughtExceptions::invokeGuarded("ending a registration with its context", notify);
}

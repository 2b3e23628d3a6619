#include <QMFoundation/observation/QMNotificationCenter.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMAsyncContext.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QPointer>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

namespace {

// The center's registrations, shared with its tokens so that a token can end its registration
// in the center that made it, whichever center it is handed to.
struct Registry
{
    void remove(const QMNotificationToken *token)
    {
        std::lock_guard lock(mutex);
        const auto found = std::find_if(
                registrations.begin(), registrations.end(),
                [token](const QMNotificationCenter::Token &t) { return t.get() == token; });
        if (found != registrations.end())
            registrations.erase(found);
    }

    std::mutex mutex;
    std::vector<QMNotificationCenter::Token> registrations; // in order of registration
};

} // namespace

struct QMNotificationToken::Private
{
    QString name;
    // A destroyed sender reads as null through the QPointer, which must then match nothing
    // rather than everything: whether any sender matches is kept apart.
    bool anySender = true;
    QPointer<QObject> sender;
    std::shared_ptr<QMOperationQueue> queue;
    // Set for a registration with a context, which delivers through it instead of a queue.
    std::optional<QMAsync::ContextBinding> context;
    QMNotificationCenter::Block block;
    // Set by removeObserver() before it returns and read by every delivery right before the
    // block runs, so that a delivery already queued when the registration ends does nothing.
    std::atomic<bool> removed {false};
    std::weak_ptr<Registry> center;

    bool matches(const QMNotification &notification) const
    {
        if (!name.isNull() && name != notification.name())
            return false;
        // Identity only: the sender is never dereferenced here, so a relaxed look at the
        // QPointer is enough even while its object is being destroyed on another thread.
        return anySender || (sender && sender.data() == notification.sender());
    }

    void deliver(const QMNotification &notification) const
    {
        if (!removed.load())
            block(notification);
    }
};

QMNotificationToken::QMNotificationToken(std::unique_ptr<Private> dd)
    : d(std::move(dd))
{ }

QMNotificationToken::~QMNotificationToken() = default;

class QMNotificationCenter::Private : public Registry
{ };

QMNotificationCenter::QMNotificationCenter()
    : d(std::make_shared<Private>())
{ }

QMNotificationCenter::~QMNotificationCenter() = default;

std::shared_ptr<QMNotificationCenter> QMNotificationCenter::defaultCenter()
{
    static const std::shared_ptr<QMNotificationCenter> center
            = std::make_shared<QMNotificationCenter>();
    return center;
}

QMNotificationCenter::Token
QMNotificationCenter::addObserverForName(const QString &name, QObject *sender,
                                         const std::shared_ptr<QMOperationQueue> &queue,
                                         Block block)
{
    QMParameterAssert(bool(block), "block");
    return add(name, sender, queue, nullptr, std::move(block));
}

QMNotificationCenter::Token QMNotificationCenter::addObserverForName(const QString &name,
                                                                     QObject *sender,
                                                                     std::nullptr_t, Block block)
{
    return addObserverForName(name, sender, std::shared_ptr<QMOperationQueue>(), std::move(block));
}

QMNotificationCenter::Token QMNotificationCenter::addObserverForName(const QString &name,
                                                                     QObject *sender,
                                                                     QObject *context, Block block)
{
    QMParameterAssert(context != nullptr, "context");
    QMParameterAssert(bool(block), "block");
    return add(name, sender, nullptr, context, std::move(block));
}

QMNotificationCenter::Token
QMNotificationCenter::add(const QString &name, QObject *sender,
                          const std::shared_ptr<QMOperationQueue> &queue, QObject *context,
                          Block block)
{
    auto registration = std::make_unique<QMNotificationToken::Private>();
    registration->name = name;
    registration->anySender = sender == nullptr;
    registration->sender = sender;
    registration->queue = queue;
    registration->block = std::move(block);
    registration->center = std::static_pointer_cast<Registry>(d);
    QMNotificationToken::Private *const raw = registration.get();
    Token token(new QMNotificationToken(std::move(registration)));
    if (context) {
        // Ends the registration as removeObserver() does; weakly, so that a token dropped
        // by everyone else does not live on in the context.
        std::weak_ptr<QMNotificationToken> weak = token;
        raw->context = QMAsync::ContextBinding(context, [weak] {
            if (const Token ended = weak.lock())
                end(ended);
        });
    }
    std::lock_guard lock(d->mutex);
    d->registrations.push_back(token);
    return token;
}

void QMNotificationCenter::removeObserver(const Token &token)
{
    end(token);
}

void QMNotificationCenter::end(const Token &token)
{
    if (!token)
        return;
    token->d->removed.store(true);
    if (token->d->context)
        token->d->context->detach();
    if (const std::shared_ptr<Registry> owner = token->d->center.lock())
        owner->remove(token.get());
}

void QMNotificationCenter::postNotificationName(const QString &name, QObject *sender,
                                                const QVariantMap &userInfo)
{
    postNotification(QMNotification(name, sender, userInfo));
}

void QMNotificationCenter::postNotification(const QMNotification &notification)
{
    std::vector<Token> matching;
    {
        std::lock_guard lock(d->mutex);
        for (const Token &token : d->registrations) {
            if (token->d->matches(notification))
                matching.push_back(token);
        }
    }
    // Outside the lock: blocks may come back to the center, and queues take locks of their own.
    for (const Token &token : matching) {
        if (token->d->context) {
            // Inside this call on the context's thread (what it throws reaches the poster, as
            // for a synchronous registration), else queued to the context and dropped with it.
            if (token->d->context->isOnContextThread()) {
                token->d->deliver(notification);
                continue;
            }
            token->d->context->invoke([token, notification] { token->d->deliver(notification); },
                                      "a block observing a notification on its context's thread");
            continue;
        }
        if (!token->d->queue) {
            token->d->deliver(notification);
            continue;
        }
        // The operation holds the registration, so it stays whole until the operation has run
        // even when it is removed from the center meanwhile.
        token->d->queue->addOperationWithBlock([token, notification] {
            try {
                token->d->deliver(notification);
            } catch (...) {
                QMUncaughtExceptions::handleCurrentException(u"a block observing notification \""
                                                             + notification.name() + u'"');
            }
        });
    }
}

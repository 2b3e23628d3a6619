#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/observation/QMNotification.h>

#include <QString>
#include <QVariantMap>

#include <cstddef>
#include <functional>
#include <memory>

class QMOperationQueue;
class QMNotificationCenter;

/// The opaque handle of one registration with a QMNotificationCenter, returned by
/// addObserverForName() and handed back to removeObserver().
class QMF_CORE_EXPORT QMNotificationToken
{
public:
    ~QMNotificationToken();
    QMNotificationToken(const QMNotificationToken &) = delete;
    QMNotificationToken &operator=(const QMNotificationToken &) = delete;

private:
    friend class QMNotificationCenter;
    struct Private;
    explicit QMNotificationToken(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

/// Delivers named notifications to the blocks registered for them.
///
/// A registration names the notifications it wants (a null name: every name), the sender it
/// wants them from (null: any sender; otherwise that very object, compared by identity, and
/// never another one once it has been destroyed) and where the block runs: as a block operation
/// on the given QMOperationQueue, or synchronously on the posting thread, inside the post call,
/// when the queue is null.
///
/// A block delivered on a queue runs from that queue's thread or event loop, so an exception
/// that leaves it goes to the uncaught-exception handler (QMUncaughtExceptions) as "a block
/// observing notification \"<name>\"", and the queue goes on.
///
/// Threads: every member may be called from any thread. The center never calls a block while it
/// holds its lock, so a block may post, add and remove registrations itself.
class QMF_CORE_EXPORT QMNotificationCenter
{
public:
    /// A registration, as addObserver() returns it and removeObserver() takes it.
    using Token = std::shared_ptr<QMNotificationToken>;
    /// Receives each matching notification.
    using Block = std::function<void(const QMNotification &)>;

    QMNotificationCenter();
    ~QMNotificationCenter();
    QMNotificationCenter(const QMNotificationCenter &) = delete;
    QMNotificationCenter &operator=(const QMNotificationCenter &) = delete;

    /// The process's shared center, made on first use; it lives for the process.
    static std::shared_ptr<QMNotificationCenter> defaultCenter();

    /// Registers `block` for notifications called `name` from `sender` and returns the
    /// registration's token, which the center holds until removeObserver(). The queue is held
    /// strongly until then, the sender weakly. Throws "Invalid parameter not satisfying: block"
    /// without a block.
    Token addObserverForName(const QString &name, QObject *sender,
                             const std::shared_ptr<QMOperationQueue> &queue, Block block);

    /// The synchronous registration of the form above, spelt with a null queue
    /// (`addObserverForName(name, sender, nullptr, block)`).
    Token addObserverForName(const QString &name, QObject *sender, std::nullptr_t, Block block);

    /// Registers `block` to run on `context`'s thread, as QObject::connect() with a context
    /// delivers: inside the post call when it is made on that thread, else through that
    /// thread's event loop. The registration ends by itself when `context` is destroyed, on the
    /// destroying thread: no delivery runs after that, also not one a post had already queued.
    /// removeObserver() ends it earlier, as for the other registrations. The center holds the
    /// context weakly. Call it while `context` lives; any thread.
    ///
    ///     center->addObserverForName(u"Saved"_s, document, window,
    ///                                [window](const QMNotification &) { window->markSaved(); });
    ///
    /// An exception that leaves a queued block goes to QMUncaughtExceptions as "a block observing
    /// a notification on its context's thread"; one that leaves a block run inside the post
    /// call propagates to the poster, as for synchronous registrations. Throws "Invalid
    /// parameter not satisfying: context" without a context and "Invalid parameter not
    /// satisfying: block" without a block.
    Token addObserverForName(const QString &name, QObject *sender, QObject *context, Block block);

    /// Ends a registration. Once this returns, no delivery of it starts, also not one that a
    /// post had already put on the registration's queue: the queued operation checks at run
    /// time and does nothing. A delivery whose block is already running on another thread is not
    /// waited for. Idempotent: a null token, a token removed before, or one removed through
    /// another center (it always ends the registration in the center that made it) is harmless.
    void removeObserver(const Token &token);

    /// Delivers a notification made of `name`, `sender` and `userInfo` to every matching
    /// registration, in order of registration. Synchronous registrations run before this
    /// returns; an exception from one of their blocks propagates to the caller and skips the
    /// registrations after it. Delivering on the main queue without a QCoreApplication throws
    /// "The main queue needs a QCoreApplication", as adding to that queue does.
    void postNotificationName(const QString &name, QObject *sender = nullptr,
                              const QVariantMap &userInfo = {});
    /// Delivers `notification` as postNotificationName() does.
    void postNotification(const QMNotification &notification);

private:
    Token add(const QString &name, QObject *sender, const std::shared_ptr<QMOperationQueue> &queue,
              QObject *context, Block block);
    static void end(const Token &token);

    class Private;
    // Shared with the tokens, which find their center through it while it lives.
    std::shared_ptr<Private> d;
};

#pragma once

#include <QMetaObject>
#include <QObject>

#include <functional>
#include <memory>
#include <mutex>

/// A stored block's tie to a context object, as the observation area's context overloads use
/// it: it runs blocks on the context's thread from any thread, and calls `onDestroyed` once when
/// the context is destroyed.
///
/// Delivering to a context from another thread while that context is being destroyed on its
/// own thread is where a plain QPointer falls short: the pointer can read non-null and the
/// object go before the event is posted. Here a delivery from another thread posts under the
/// link's mutex, and the context's destroyed() handler takes the same mutex before the object's
/// destructor goes on to drop its pending events: a delivery either posted before (and its event
/// is dropped with the context) or finds the link dead.
class QMContextLink
{
public:
    /// Ties to `context`, which must be alive during this call. `onDestroyed` runs on the
    /// destroying thread, from the context's destroyed() signal, with no lock held.
    static std::shared_ptr<QMContextLink> make(QObject *context,
                                               std::function<void()> onDestroyed = {});

    QMContextLink(const QMContextLink &) = delete;
    QMContextLink &operator=(const QMContextLink &) = delete;
    ~QMContextLink();

    /// Runs `block` on the context's thread: at once when called there (the block's exceptions
    /// go to QMUncaughtExceptions as `where`), else queued to the context (dropped with it).
    /// False, and nothing runs, once the context was destroyed or the link detached.
    bool invoke(std::function<void()> block, const char *where);
    /// As invoke(), but queued even on the context's thread: the block never runs inside this
    /// call.
    bool post(std::function<void()> block, const char *where);

    /// True while the context lives and the calling thread is its thread.
    bool isOnContextThread();

    /// Runs `block` on `context`'s thread through its event loop, never inside this call, and
    /// never once `context` is destroyed (the event belongs to it); exceptions go to
    /// QMUncaughtExceptions as `where`. The caller keeps `context` alive during the call.
    static void postTo(QObject *context, std::function<void()> block, const char *where);

    /// Ends the tie: no onDestroyed call starts after this returns, and later invoke()s do
    /// nothing. Harmless when repeated or after the context's destruction.
    void detach();

private:
    QMContextLink() = default;
    bool send(std::function<void()> block, const char *where, bool inlineOnContextThread);
    void contextDestroyed();

    std::mutex mutex;
    QObject *context = nullptr; // valid while `alive`
    bool alive = true;
    std::function<void()> onDestroyed;
    QMetaObject::Connection connection;
};

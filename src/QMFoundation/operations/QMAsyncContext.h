#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <functional>
#include <memory>

class QObject;

namespace QMAsync {

/// A context object held for later deliveries from any thread: a stored block that must run on
/// the context's thread, and never once the context is gone, as a QObject::connect() with a
/// context delivers.
///
/// A plain QPointer falls short when a delivery from another thread meets the context's
/// destruction on its own thread: the pointer can read non-null and the object go before the
/// block is handed over. Here a delivery from another thread hands over under the binding's
/// mutex, and the context's destroyed() handler takes the same mutex before the destructor goes
/// on: a delivery either was handed over before (and is dropped with the context) or finds the
/// binding dead. No block runs under the mutex.
///
/// Copies share one binding. Any thread.
class QMF_CORE_EXPORT ContextBinding
{
public:
    /// Binds `context`, which must be alive during this call. `onDestroyed`, if given, runs once
    /// on the destroying thread when the context is destroyed (not after detach()), with no lock
    /// held. Throws "Invalid parameter not satisfying: context" for a null context.
    explicit ContextBinding(QObject *context, std::function<void()> onDestroyed = {});

    /// True while the context lives and the binding was not detached.
    bool isAlive() const;
    /// True while the context lives and the calling thread is its thread.
    bool isOnContextThread() const;

    /// Runs `block` on the context's thread: at once when called there, else queued (and
    /// dropped with the context). An exception that leaves the block goes to
    /// QMUncaughtExceptions as `where`. False, and nothing runs, once the context is gone or the
    /// binding detached.
    bool invoke(std::function<void()> block, const char *where) const;
    /// As invoke(), but queued also on the context's thread: the block never runs inside this
    /// call.
    bool post(std::function<void()> block, const char *where) const;

    /// Ends the binding: later invoke()s and post()s do nothing, and no onDestroyed call starts
    /// after this returns. Harmless when repeated or after the context's destruction.
    void detach() const;

private:
    struct State;
    std::shared_ptr<State> d;
};

} // namespace QMAsync

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
/// invoke() runs the block through invokeOnContext() while the context lives, and drops it once
/// the context has been destroyed, also when the destruction runs on another thread at the same
/// moment: the context's destruction waits for a delivery being posted, and then deletes it
/// undelivered. Copies share one binding; the last copy to go lets go of the context. Any
/// thread.
class QMF_CORE_EXPORT ContextBinding
{
public:
    /// Binds `context`, which must be alive now. Throws "Invalid parameter not satisfying:
    /// context" for a null context.
    explicit ContextBinding(QObject *context);

    /// True while the context has not been destroyed.
    bool isAlive() const;
    /// Runs `block` on the context's thread (at once when called there, else queued), or drops
    /// it when the context is gone. An exception that leaves the block goes to
    /// QMUncaughtExceptions as `where`.
    void invoke(std::function<void()> block, const char *where) const;

private:
    struct State;
    std::shared_ptr<State> d;
};

} // namespace QMAsync

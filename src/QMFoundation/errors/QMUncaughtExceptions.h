#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

#include <exception>
#include <functional>

/// Exceptions stop at the library's edges.
///
/// Whatever the library runs from Qt's event loop (deferred blocks, timers, queued deliveries,
/// network and process callbacks) or from its own threads (operation queues, worker threads)
/// runs inside a guard: an exception that leaves a block, a delegate or an override there does
/// not unwind through Qt or off the top of a thread (which Qt does not support and the standard
/// library turns into std::terminate with no message). It is handed to the uncaught-exception
/// handler instead.
///
/// The default handler writes "Terminating app due to uncaught exception" with the exception's
/// full description (QMCommon::fullDescription(): the call stack for the library's own
/// exceptions) and where it was caught to standard error, then aborts. A host may install its
/// own handler, for example to log and carry on; the work that threw is then abandoned, and the
/// library goes on as if it had returned (an operation finishes, a timer keeps its schedule).
namespace QMUncaughtExceptions {

/// Receives the exception and a short text naming where the library caught it (for example
/// "a block on the main queue"). Called on the thread where it was caught, with no library lock
/// held. A handler that itself throws is not called again: the process aborts.
using Handler = std::function<void(std::exception_ptr exception, const QString &where)>;

/// Installs `handler` for every thread; an empty handler restores the default. Thread-safe.
QMF_CORE_EXPORT void setHandler(Handler handler);

/// The text the default handler writes for `exception`, without its first line.
QMF_CORE_EXPORT QString describe(std::exception_ptr exception);

/// Passes the exception being handled (call only inside a catch block) to the handler.
QMF_CORE_EXPORT void handleCurrentException(const char *where) noexcept;
/// The same, for a `where` text made at the catch (one that names a queue or a key path): build
/// it inside the catch block, so that work that does not throw pays nothing for it.
QMF_CORE_EXPORT void handleCurrentException(const QString &where) noexcept;

/// Runs `work`, passing anything it throws to the handler. Returns true when `work` returned.
template<typename Work>
bool invokeGuarded(const char *where, Work &&work) noexcept
{
    try {
        std::forward<Work>(work)();
        return true;
    } catch (...) {
        handleCurrentException(where);
        return false;
    }
}

} // namespace QMUncaughtExceptions

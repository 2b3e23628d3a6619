#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

/// Timers that call a block (extensions of QTimer).
///
/// The interval is in seconds. One that is not greater than 0.0001 s (NaN included) becomes
/// 0.0001 s. QTimer counts whole milliseconds, so the interval is rounded up to the next
/// millisecond (0.0001 s becomes 1 ms, 0.0015 s 2 ms) and the timer is a Qt::PreciseTimer:
/// it never fires before the interval has passed, and a timer at the lower bound fires about
/// every millisecond rather than spinning the event loop. Intervals beyond QTimer's range
/// (about 24.8 days) are cut to it. Both functions throw "Invalid parameter not satisfying:
/// block" without a block.
///
/// The block receives the timer and runs on the thread whose event loop the timer runs in. A
/// repeating timer fires until stopped; a one-shot timer fires once per start(). An exception
/// that leaves the block goes to the uncaught-exception handler (QMUncaughtExceptions) as "a
/// timer's block"; when a host's handler returns, the timer keeps its schedule.
namespace Blocks {

/// A timer's block; it receives the timer that fired.
using Block = std::function<void(QTimer *)>;

/// A new timer that is not running yet and belongs to the caller. It lives on the calling
/// thread: start() it there, or moveToThread() it first (Qt's timers count from start(), not
/// from creation). Destroying it stops it.
QMF_CORE_EXPORT std::unique_ptr<QTimer> timerWithTimeInterval(double interval, bool repeats,
                                                              Block block);

/// The same timer, already started in the calling thread's event loop, which then owns it: a
/// one-shot timer deletes itself (deleteLater()) once it has fired, and on a QThread every
/// timer left is deleted when that thread finishes. A repeating timer runs until someone
/// deletes it on its thread (the block may call `timer->deleteLater()`). The returned pointer
/// reads null once the timer is gone. On a thread without an event dispatcher (a plain
/// std::thread, or the main thread before the QCoreApplication exists) it throws "Timers can only
/// be scheduled on a thread with an event loop".
QMF_CORE_EXPORT QPointer<QTimer> scheduleTimerWithTimeInterval(double interval, bool repeats,
                                                               Block block);

/// A new timer that is not running yet, a child of `context`: it lives on the context's thread,
/// fires there, and is stopped and deleted with the context. Call it on the context's thread
/// (where a QObject's children are made) and start() it there. The returned pointer reads null
/// once the timer is gone. Throws "Invalid parameter not satisfying: context" without a context,
/// "Invalid parameter not satisfying: block" without a block and "A timer with a context is made
/// on the context's thread" from another thread.
QMF_CORE_EXPORT QPointer<QTimer> timerWithTimeInterval(double interval, bool repeats,
                                                       QObject *context, Block block);

/// A timer started on `context`'s thread, a child of the context: it fires there, a one-shot
/// timer deletes itself once it has fired, and every such timer is stopped and deleted with the
/// context. May be called from any thread while the context lives: from the context's own
/// thread the timer starts at once; from another one it is started through the context's event
/// loop (the interval counts from then), and nothing is ever started, nor fires, once the context
/// is destroyed. The returned pointer reads null once the timer is gone.
///
///     Blocks::scheduleTimerWithTimeInterval(1.0, true, view, [view](QTimer *) { view->tick(); });
///
/// Throws "Invalid parameter not satisfying: context" without a context and "Invalid parameter
/// not satisfying: block" without a block.
QMF_CORE_EXPORT QPointer<QTimer> scheduleTimerWithTimeInterval(double interval, bool repeats,
                                                               QObject *context, Block block);

} // namespace Blocks

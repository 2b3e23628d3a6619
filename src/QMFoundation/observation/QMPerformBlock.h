#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <functional>

class QObject;

/// Running a block later on the application's thread.
namespace QMPerformBlock {

/// Runs `block` on the QCoreApplication's thread, through its event loop, `delay` seconds after
/// this call, and returns at once: the block never runs inside this call, not even for a delay
/// of 0 on that thread. The delay is made whole nanoseconds by multiplying by 1e9 and cutting
/// towards zero, then waited with a Qt::PreciseTimer in whole milliseconds, rounded up, so the
/// block never runs early. A negative or NaN delay counts as 0; a delay too long for the
/// clock waits as long as the clock can count. May be called from any thread. An exception that
/// leaves the block goes to the uncaught-exception handler (QMUncaughtExceptions) as "a block
/// performed on the main thread".
///
/// Throws "Invalid parameter not satisfying: block" without a block and "The main queue needs a
/// QCoreApplication" without an application object; blocks still waiting when the application
/// object is destroyed never run.
QMF_CORE_EXPORT void performBlockOnMainThread(std::function<void()> block, double delay);

/// Runs `block` on `context`'s thread, through that thread's event loop, `delay` seconds after
/// this call, as the form above does on the application's thread (same delay rules, never
/// inside this call), and drops it when `context` is destroyed first: a block whose context is
/// gone never runs. The context's thread needs a running event loop; no QCoreApplication is
/// needed otherwise. May be called from any thread while `context` lives. An exception that
/// leaves the block goes to QMUncaughtExceptions as "a block performed on a context's thread".
///
///     QMPerformBlock::performBlockOnMainThread(label, [label] { label->clear(); }, 2.0);
///
/// Throws "Invalid parameter not satisfying: context" without a context and "Invalid parameter
/// not satisfying: block" without a block.
QMF_CORE_EXPORT void performBlockOnMainThread(QObject *context, std::function<void()> block,
                                              double delay);

} // namespace QMPerformBlock

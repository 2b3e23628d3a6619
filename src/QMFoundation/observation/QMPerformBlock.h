#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <functional>

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

} // namespace QMPerformBlock

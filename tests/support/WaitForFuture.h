#pragma once

// Waiting for a library future in a test without attaching a continuation to it (Qt 6.4 can run a
// continuation twice when it is attached at the instant another thread finishes the future).

#include <QCoreApplication>
#include <QEventLoop>
#include <QFuture>
#include <QFutureWatcher>
#include <QTimer>

namespace TestSupport {

/// Runs this thread's event loop until `future` has finished (continuations with a context on
/// this thread run meanwhile); false after 20 s, so that the test fails rather than hangs.
template<typename T>
bool waitFor(const QFuture<T> &future)
{
    QEventLoop loop;
    QFutureWatcher<T> watcher;
    QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    watcher.setFuture(future);
    if (!future.isFinished())
        loop.exec();
    // Deliver what the finish posted to this thread (context continuations).
    QCoreApplication::processEvents();
    return future.isFinished();
}

} // namespace TestSupport

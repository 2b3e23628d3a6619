#pragma once

// Waiting for a future in a test without attaching a continuation to it: Qt 6.4 can run a
// continuation twice when it is attached at the instant another thread finishes the future.

#include <QMFoundation/operations/QMAsync.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFuture>
#include <QFutureWatcher>
#include <QThread>
#include <QTimer>

namespace TestSupport {

/// Runs this thread's event loop until `future` has finished (continuations with a context on
/// this thread run meanwhile), a minute at most; then delivers what the finish posted to
/// this thread. True when the future has finished.
template<typename T>
bool waitFor(const QFuture<T> &future)
{
    QEventLoop loop;
    QFutureWatcher<T> watcher;
    QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    watcher.setFuture(future);
    if (!future.isFinished())
        loop.exec();
    QCoreApplication::processEvents();
    return future.isFinished();
}

/// Ends `thread`'s event loop from inside, through the library's relay, and waits for the thread:
/// the relay's lock orders this thread's last post to it before the thread closes its wake-up
/// descriptor, an order that QThread::quit() from here would not show race detectors.
inline void quitFromInside(QThread &thread)
{
    auto *marker = new QObject;
    marker->moveToThread(&thread);
    QMAsync::postToContext(
            marker,
            [marker] {
                delete marker;
                QThread::currentThread()->quit();
            },
            "ending a test's thread");
    thread.wait();
}

} // namespace TestSupport

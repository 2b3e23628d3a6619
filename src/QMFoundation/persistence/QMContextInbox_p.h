#pragma once

// Results of the library's threads on their way to an object of the store that lives on one
// thread (a context, a store's set-up), through that thread's event loop.

#include <QMFoundation/operations/QMAsync.h>

#include <QObject>
#include <QThread>

#include <functional>
#include <mutex>

/// Where the library's threads post blocks for a receiver QObject while it lives: the receiver
/// closes the inbox in its destructor, so that a post racing with its destruction is dropped
/// rather than sent to a destroyed object. Posted blocks pending when the receiver goes are
/// dropped with it (as QMAsync::invokeOnContext() drops them).
class QMContextInbox
{
public:
    explicit QMContextInbox(QObject *receiver)
        : m_receiver(receiver)
    { }

    /// Runs `block` on the receiver's thread (queued from another thread, at once on it); false,
    /// and `block` dropped, once the receiver has gone. Any thread.
    bool post(std::function<void()> block, const char *where)
    {
        std::unique_lock lock(m_mutex);
        if (!m_receiver)
            return false;
        QObject *receiver = m_receiver;
        // From another thread invokeOnContext() only posts, under the lock that keeps the
        // receiver alive; on the receiver's thread it runs the block, unlocked (only this thread
        // destroys the receiver).
        if (receiver->thread() == QThread::currentThread())
            lock.unlock();
        QMAsync::invokeOnContext(receiver, std::move(block), where);
        return true;
    }

    /// Drops every later post; called by the receiver's destructor, on its thread.
    void close()
    {
        std::lock_guard lock(m_mutex);
        m_receiver = nullptr;
    }

private:
    std::mutex m_mutex;
    QObject *m_receiver;
};

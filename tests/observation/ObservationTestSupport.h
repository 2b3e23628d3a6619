#pragma once

#include "observation/QMNotification.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

namespace ObservationTestSupport {

/// Runs the calling thread's event loop until `condition` holds or `timeout` has passed;
/// returns the condition's last value. Waits for events rather than spinning, but wakes every
/// few milliseconds for conditions that other threads fulfil.
inline bool runEventsUntil(const std::function<bool()> &condition,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTimer wake;
        wake.start(5);
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

/// Runs the event loop for `duration`, for checks that something does not happen.
inline void runEventsFor(std::chrono::milliseconds duration)
{
    runEventsUntil([] { return false; }, duration);
}

/// An action target: records each call of its actions (which one, the notification, the thread).
class Recorder : public QObject
{
    Q_OBJECT

public:
    struct Call
    {
        QString action;
        QMNotification notification;
        QThread *thread;
    };

    Q_INVOKABLE void handle(const QMNotification &notification)
    {
        record(QStringLiteral("handle"), notification);
    }

    std::vector<Call> calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    int count() const
    {
        std::lock_guard lock(m_mutex);
        return int(m_calls.size());
    }

public Q_SLOTS:
    void other(QMNotification notification) { record(QStringLiteral("other"), notification); }

private:
    void record(const QString &action, const QMNotification &notification)
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back({action, notification, QThread::currentThread()});
    }

    mutable std::mutex m_mutex;
    std::vector<Call> m_calls;
};

} // namespace ObservationTestSupport

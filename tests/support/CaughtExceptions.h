#pragma once

// Shared by the tests of the library's edges: a recording uncaught-exception handler, and a
// deadline for calls that could deadlock.

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>

#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace TestSupport {

/// Texts appended from any thread, and waited for.
class Record
{
public:
    void append(const QString &entry)
    {
        std::lock_guard lock(m_mutex);
        m_entries.append(entry);
        m_changed.notify_all();
    }

    QStringList entries() const
    {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }

    /// Waits (at most 10 s, so that a fault fails rather than hangs) for `count` entries.
    QStringList waitFor(qsizetype count) const
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(10),
                           [&] { return m_entries.size() >= count; });
        return m_entries;
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    QStringList m_entries;
};

/// Installs an uncaught-exception handler that records "<where>: <reason>" for each exception
/// it receives, on any thread, and restores the default handler when destroyed.
class CaughtExceptions : public Record
{
public:
    CaughtExceptions()
    {
        QMUncaughtExceptions::setHandler([this](std::exception_ptr caught, const QString &where) {
            append(where + u": " + reasonOf(caught));
        });
    }
    ~CaughtExceptions() { QMUncaughtExceptions::setHandler({}); }
    CaughtExceptions(const CaughtExceptions &) = delete;
    CaughtExceptions &operator=(const CaughtExceptions &) = delete;

    static QString reasonOf(std::exception_ptr caught)
    {
        try {
            std::rethrow_exception(caught);
        } catch (const QMInternalInconsistencyException &exception) {
            return exception.reason();
        } catch (const std::exception &exception) {
            return QString::fromUtf8(exception.what());
        } catch (...) {
            return QStringLiteral("(not a std::exception)");
        }
    }
};

/// Runs `work` on a thread of its own and says whether it returned within `deadline`. A call
/// that did not (a deadlock) is left behind, detached, with whatever it uses: the test fails
/// instead of hanging.
inline bool returnsWithin(std::function<void()> work,
                          std::chrono::milliseconds deadline = std::chrono::seconds(10))
{
    std::packaged_task<void()> task(std::move(work));
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(deadline) != std::future_status::ready) {
        runner.detach();
        return false;
    }
    runner.join();
    done.get();
    return true;
}

} // namespace TestSupport

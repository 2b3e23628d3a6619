#pragma once

#include <QStringList>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace OperationsTestSupport {

/// A flag that threads wait for until another opens it; it stays open.
class Gate
{
public:
    // Notifies under the lock: a waiter may destroy the gate as soon as it can take the lock.
    void open()
    {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_condition.notify_all();
    }
    void wait()
    {
        std::unique_lock lock(m_mutex);
        m_condition.wait(lock, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_open = false;
};

/// A list of texts appended to from any thread.
class Log
{
public:
    void append(const QString &entry)
    {
        std::lock_guard lock(m_mutex);
        m_entries.append(entry);
    }
    QStringList entries() const
    {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_entries;
};

/// The threads of this process, as the kernel lists them.
inline int threadCount()
{
    int count = 0;
    for ([[maybe_unused]] const auto &entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

} // namespace OperationsTestSupport

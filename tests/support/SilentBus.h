#pragma once

// A session bus that accepts connections and never answers: a peer that stalls every call, for
// the tests of deadlines and cancellation.

#include <QFile>
#include <QString>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace TestSupport {

/// Listens on the Unix socket `path` (the address "unix:path=PATH"), takes every connection and
/// never reads from it.
class SilentBus
{
public:
    explicit SilentBus(const QString &path)
    {
        m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::copy_n(name.constData(), std::min<size_t>(name.size(), sizeof address.sun_path - 1),
                    address.sun_path);
        m_ok = m_socket >= 0
                && ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                && ::listen(m_socket, 16) == 0;
        m_accepting = std::thread([this] {
            for (int connection; (connection = ::accept(m_socket, nullptr, nullptr)) >= 0;) {
                {
                    std::lock_guard lock(m_mutex);
                    m_connections.push_back(connection);
                }
                m_connected.notify_all();
            }
        });
    }
    ~SilentBus()
    {
        // Wakes the accept() above with an error.
        ::shutdown(m_socket, SHUT_RDWR);
        m_accepting.join();
        for (const int connection : m_connections)
            ::close(connection);
        ::close(m_socket);
    }
    SilentBus(const SilentBus &) = delete;
    SilentBus &operator=(const SilentBus &) = delete;

    bool isListening() const { return m_ok; }
    /// How many connections were taken so far.
    size_t connections()
    {
        std::lock_guard lock(m_mutex);
        return m_connections.size();
    }
    /// Waits until `count` connections were taken; false when that took more than 20 s.
    bool waitForConnections(size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_connected.wait_for(lock, std::chrono::seconds(20),
                                    [&] { return m_connections.size() >= count; });
    }

private:
    int m_socket = -1;
    bool m_ok = false;
    std::mutex m_mutex;
    std::condition_variable m_connected;
    std::vector<int> m_connections;
    std::thread m_accepting; // last: it uses the fields above
};

} // namespace TestSupport

#pragma once

// A name server that does not answer, for the tests of deadlines on name resolution: run inside a
// network namespace of the test's own, whose resolv.conf names 127.0.0.1.

#include <QByteArray>

#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSupport {

// A name server on 127.0.0.1:53 that reads queries and keeps silent until answer() is called;
// from then on it answers every query, held ones first, with "no such name".
class SilentNameServer
{
public:
    SilentNameServer()
    {
        m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bound = m_socket >= 0
                && ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                && ::pipe2(m_wake, O_CLOEXEC) == 0;
        if (m_bound)
            m_thread = std::thread([this] { serve(); });
    }
    ~SilentNameServer()
    {
        if (m_thread.joinable()) {
            command('q');
            m_thread.join();
        }
        for (int descriptor : {m_socket, m_wake[0], m_wake[1]})
            if (descriptor >= 0)
                ::close(descriptor);
    }
    bool isBound() const { return m_bound; }
    void answer() { command('a'); }

private:
    void command(char which) { [[maybe_unused]] auto written = ::write(m_wake[1], &which, 1); }

    void serve()
    {
        struct Query
        {
            sockaddr_in from;
            QByteArray bytes;
        };
        std::vector<Query> held;
        bool answering = false;
        const auto reply = [this](const Query &query) {
            QByteArray response = query.bytes;
            if (response.size() < 12)
                return;
            response[2] = char(response[2] | 0x80); // a response
            response[3] = char(0x80 | 3); // recursion available, no such name
            ::sendto(m_socket, response.constData(), size_t(response.size()), 0,
                     reinterpret_cast<const sockaddr *>(&query.from), sizeof query.from);
        };
        for (;;) {
            pollfd descriptors[] = {{m_socket, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(descriptors, 2, -1) < 0)
                continue;
            if (descriptors[1].revents & POLLIN) {
                char which = 0;
                if (::read(m_wake[0], &which, 1) == 1 && which == 'q')
                    return;
                answering = true;
                for (const Query &query : held)
                    reply(query);
                held.clear();
            }
            if (descriptors[0].revents & POLLIN) {
                Query query {};
                char buffer[1500];
                socklen_t length = sizeof query.from;
                const ssize_t size = ::recvfrom(m_socket, buffer, sizeof buffer, 0,
                                                reinterpret_cast<sockaddr *>(&query.from), &length);
                if (size <= 0)
                    continue;
                query.bytes = QByteArray(buffer, size);
                if (answering)
                    reply(query);
                else
                    held.push_back(query);
            }
        }
    }

    int m_socket = -1;
    int m_wake[2] = {-1, -1};
    bool m_bound = false;
    std::thread m_thread;
};

} // namespace TestSupport

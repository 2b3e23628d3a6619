// The asynchronous one-off check: flags of addresses and names as a future, and the deadline on
// a name server that does not answer, in a network and mount namespace of the test's own (see
// ReachabilityTestMain.cpp) whose resolv.conf points at a name server of the test.

#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/platform/QMNetworkReachability.h>

#include "support/Futures.h"

#include <gtest/gtest.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using TestSupport::waitFor;
using namespace std::chrono_literals;

namespace {

constexpr QMNetworkReachabilityFlags R = QMNetworkReachabilityFlagReachable;
constexpr QMNetworkReachabilityFlags L = QMNetworkReachabilityFlagIsLocalAddress;
constexpr QMNetworkReachabilityFlags D = QMNetworkReachabilityFlagIsDirect;

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

} // namespace

TEST(ReachabilityAsyncTest, ContractViolationsAreThrownAtOnce)
{
    EXPECT_THROW(QMNetworkReachability::flagsForHostAsync(QString()),
                 QMInternalInconsistencyException);
    EXPECT_EQ(QMNetworkReachability::defaultResolutionTimeout(), 10s);
    EXPECT_EQ(QMNetworkReachability::maximumPendingResolutions(), 4);
}

TEST(ReachabilityKernelTest, AsynchronousChecksAndTheirDeadline)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {u"--in-network-namespace"_s,
                 u"--gtest_filter=ReachabilityInNamespace.AsynchronousChecksAndTheirDeadline"_s});
    ASSERT_TRUE(child.waitForFinished(120000)) << qPrintable(child.errorString());
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << qPrintable(output);
    EXPECT_TRUE(output.contains(u"[  PASSED  ] 1 test."_s)) << qPrintable(output);
}

// Run only inside a network and mount namespace of the test's own: only the loopback link, and
// a resolv.conf (bound over the machine's, in this namespace only) naming the silent server.
TEST(ReachabilityInNamespace, AsynchronousChecksAndTheirDeadline)
{
    QProcess ip;
    ip.start(u"ip"_s, {u"link"_s, u"set"_s, u"lo"_s, u"up"_s});
    ASSERT_TRUE(ip.waitForFinished(10000) && ip.exitCode() == 0);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    QFile configuration(directory.filePath(u"resolv.conf"_s));
    ASSERT_TRUE(configuration.open(QIODevice::WriteOnly));
    configuration.write("nameserver 127.0.0.1\nsearch invalid\noptions timeout:30 attempts:1\n");
    configuration.close();
    ASSERT_EQ(::mount(qPrintable(configuration.fileName()), "/etc/resolv.conf", nullptr, MS_BIND,
                      nullptr),
              0);
    SilentNameServer server;
    ASSERT_TRUE(server.isBound());

    // Addresses and names from the hosts file resolve without the name server.
    const struct
    {
        QString host;
        QMNetworkReachabilityFlags flags;
    } answered[] = {
            {u"127.0.0.1"_s, R | L | D},
            {u"::1"_s, R | L | D},
            {u"localhost"_s, R | L | D},
            {u"192.0.2.1"_s, 0}, // no route
    };
    for (const auto &row : answered) {
        SCOPED_TRACE(row.host.toStdString());
        const QFuture<QMNetworkReachabilityFlags> future
                = QMNetworkReachability::flagsForHostAsync(row.host);
        ASSERT_TRUE(waitFor(future));
        ASSERT_TRUE(QMAsync::errorOf(future).isNull())
                << qPrintable(QMAsync::errorOf(future).localizedDescription());
        EXPECT_EQ(future.result(), row.flags);
    }

    // A name the server never answers: the deadline's error, while the resolutions go on.
    const int bound = QMNetworkReachability::maximumPendingResolutions();
    std::vector<QFuture<QMNetworkReachabilityFlags>> stuck;
    for (int i = 0; i < bound; ++i)
        stuck.push_back(QMNetworkReachability::flagsForHostAsync(u"silent%1.example"_s.arg(i),
                                                                 std::chrono::milliseconds(200)));
    for (const auto &future : stuck) {
        ASSERT_TRUE(waitFor(future));
        const QMError error = QMAsync::errorOf(future);
        EXPECT_EQ(error.domain(), QMNetworkReachabilityErrorDomain);
        EXPECT_EQ(error.code(), QMNetworkReachabilityErrorResolutionTimedOut);
        EXPECT_TRUE(error.localizedDescription().contains(u".example"_s))
                << qPrintable(error.localizedDescription());
    }
    // Every resolution thread is still stuck: even an address waits for one, past its deadline.
    const QFuture<QMNetworkReachabilityFlags> waiting = QMNetworkReachability::flagsForHostAsync(
            u"127.0.0.1"_s, std::chrono::milliseconds(200));
    ASSERT_TRUE(waitFor(waiting));
    EXPECT_EQ(QMAsync::errorOf(waiting).code(), QMNetworkReachabilityErrorResolutionTimedOut);

    // A cancelled check ends at once and reads as cancelled.
    QFuture<QMNetworkReachabilityFlags> cancelled
            = QMNetworkReachability::flagsForHostAsync(u"127.0.0.1"_s, 60s);
    cancelled.cancel();
    ASSERT_TRUE(waitFor(cancelled));
    EXPECT_TRUE(cancelled.isCanceled());
    EXPECT_TRUE(QMAsync::errorOf(cancelled).isNull());

    // Once the server answers, the stuck resolutions end and free their threads.
    server.answer();
    const QFuture<QMNetworkReachabilityFlags> freed
            = QMNetworkReachability::flagsForHostAsync(u"127.0.0.1"_s, 20s);
    ASSERT_TRUE(waitFor(freed));
    ASSERT_TRUE(QMAsync::errorOf(freed).isNull())
            << qPrintable(QMAsync::errorOf(freed).localizedDescription());
    EXPECT_EQ(freed.result(), R | L | D);
    const QFuture<QMNetworkReachabilityFlags> unknown
            = QMNetworkReachability::flagsForHostAsync(u"unknown.example"_s, 20s);
    ASSERT_TRUE(waitFor(unknown));
    ASSERT_TRUE(QMAsync::errorOf(unknown).isNull());
    EXPECT_EQ(unknown.result(), 0u);
}

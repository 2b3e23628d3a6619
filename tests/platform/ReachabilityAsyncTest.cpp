// The asynchronous one-off check: flags of addresses and names as a future, and the deadline on
// a name server that does not answer, in a network and mount namespace of the test's own (see
// ReachabilityTestMain.cpp) whose resolv.conf points at a name server of the test.

#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/platform/QMNetworkReachability.h>

#include "support/Futures.h"
#include "support/SilentNameServer.h"

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
#include <vector>

#include <sys/mount.h>

using namespace Qt::StringLiterals;
using TestSupport::SilentNameServer;
using TestSupport::waitFor;
using namespace std::chrono_literals;

namespace {

constexpr QMNetworkReachabilityFlags R = QMNetworkReachabilityFlagReachable;
constexpr QMNetworkReachabilityFlags L = QMNetworkReachabilityFlagIsLocalAddress;
constexpr QMNetworkReachabilityFlags D = QMNetworkReachabilityFlagIsDirect;

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

#include "support/Failures.h"

#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/observation/QMNotificationCenter.h>
#include <QMFoundation/platform/QMNetworkReachability.h>
#include <QMFoundation/platform/QMNetworkReachabilityObserver.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

namespace {

constexpr QMNetworkReachabilityFlags R = QMNetworkReachabilityFlagReachable;
constexpr QMNetworkReachabilityFlags L = QMNetworkReachabilityFlagIsLocalAddress;
constexpr QMNetworkReachabilityFlags D = QMNetworkReachabilityFlagIsDirect;
constexpr auto boundedWait = std::chrono::seconds(10);

std::shared_ptr<QMNetworkReachability> forAddress(const QString &text)
{
    return text.isNull() ? QMNetworkReachability::networkReachabilityForInternetConnection()
                         : QMNetworkReachability::networkReachabilityWithIP4AddressString(text);
}

QMNetworkReachabilityFlags flagsOf(const std::shared_ptr<QMNetworkReachability> &reachability)
{
    QMNetworkReachabilityFlags flags = 0xdead;
    EXPECT_TRUE(reachability->networkReachability()->getFlags(&flags));
    return flags;
}

qsizetype entries(const char *directory)
{
    return QDir(QString::fromLatin1(directory))
            .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
            .size();
}

// What the process has open, for the message of a failed count.
std::string openDescriptors()
{
    const QDir directory(u"/proc/self/fd"_s);
    QStringList links;
    for (const QString &name : directory.entryList(QDir::NoDotAndDotDot | QDir::AllEntries))
        links.append(name + u" -> "_s + QFile::symLinkTarget(directory.filePath(name)));
    return links.join(u", "_s).toStdString();
}

// Runs the test ReachabilityInNamespace.<name> in a child process of this program that has moved
// into a network namespace of its own (see ReachabilityTestMain.cpp).
void runInNamespace(const QString &name)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {u"--in-network-namespace"_s, u"--gtest_filter=ReachabilityInNamespace."_s + name});
    ASSERT_TRUE(child.waitForFinished(120000)) << qPrintable(child.errorString());
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << qPrintable(output);
    EXPECT_TRUE(output.contains(u"[  PASSED  ] 1 test."_s)) << qPrintable(output);
}

testing::AssertionResult ip(const char *arguments)
{
    QProcess process;
    process.start(u"ip"_s, QString::fromLatin1(arguments).split(u' '));
    if (process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
            << "ip " << arguments << ": " << qPrintable(process.errorString()) << " "
            << process.readAllStandardError().toStdString();
}

// What monitoring told one object, in order: filled on its queue, read by the test.
class Changes : public QMNetworkReachabilityDelegate
{
public:
    void networkReachabilityDidChange(QMNetworkReachability *reachability) override
    {
        record(u"delegate %1"_s.arg(reachability->lastFlags()));
    }
    void record(const QString &event)
    {
        std::lock_guard lock(mutex);
        events.append(event);
        changed.notify_all();
    }
    QStringList waitFor(qsizetype count)
    {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, boundedWait, [&] { return events.size() >= count; });
        return events;
    }

    std::mutex mutex;
    std::condition_variable changed;
    QStringList events;
};

class Listener : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void networkReachabilityDidChange(const QMNotification &notification)
    {
        senders.append(notification.sender());
    }
    QObjectList senders;
};

} // namespace

TEST(ReachabilityTest, FlagWordsAndBadInput)
{
    const struct
    {
        QMNetworkReachabilityFlags flags;
        bool reachable;
        QStringList names;
    } rows[] = {
            {0, false, {}},
            {R, true, {u"kSCNetworkReachabilityFlagsReachable"_s}},
            // Connection-required wins over reachable.
            {R | 4,
             false,
             {u"kSCNetworkReachabilityFlagsReachable"_s,
              u"kSCNetworkReachabilityFlagsConnectionRequired"_s}},
            {R | L | D,
             true,
             {u"kSCNetworkReachabilityFlagsReachable"_s,
              u"kSCNetworkReachabilityFlagsIsLocalAddress"_s,
              u"kSCNetworkReachabilityFlagsIsDirect"_s}},
            // Every bit, Reachable first; unknown bits have no name.
            {0x3003f | 0x40000000,
             false,
             {u"kSCNetworkReachabilityFlagsReachable"_s,
              u"kSCNetworkReachabilityFlagsTransientConnection"_s,
              u"kSCNetworkReachabilityFlagsConnectionRequired"_s,
              u"kSCNetworkReachabilityFlagsConnectionOnTraffic"_s,
              u"kSCNetworkReachabilityFlagsInterventionRequired"_s,
              u"kSCNetworkReachabilityFlagsConnectionOnDemand"_s,
              u"kSCNetworkReachabilityFlagsIsLocalAddress"_s,
              u"kSCNetworkReachabilityFlagsIsDirect"_s}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.flags);
        EXPECT_EQ(QMNetworkReachability::isReachableWithFlags(row.flags), row.reachable);
        EXPECT_EQ(QMNetworkReachability::stringValuesForFlags(row.flags), row.names);
    }

    const auto anyHandler = [](const QString &, bool) {
    };
    Listener delegate;
    const std::pair<std::function<void()>, const char *> preconditions[] = {
            {[] { QMNetworkReachability::isHostAvailable(QString()); }, "hostname"},
            {[] { QMNetworkReachability::networkReachabilityWithHostName(QString()); }, "hostname"},
            {[] { QMNetworkReachability::networkReachabilityWithIP4AddressString(QString()); },
             "internetAddress"},
            {[] { QMNetworkReachability reachability(nullptr); }, "reachability"},
            {[&] { forAddress(u"127.0.0.1"_s)->checkNetworkReachabilityForHost({}, anyHandler); },
             "hostname"},
            {[] { forAddress(u"127.0.0.1"_s)->checkNetworkReachabilityForHost(u"a"_s, {}); },
             "completionHandler"},
            {[&] { QMNetworkReachabilityObserver observer(nullptr, &delegate); },
             "networkReachability"},
            {[] { QMNetworkReachabilityObserver observer(forAddress(u"127.0.0.1"_s), nullptr); },
             "delegate"},
    };
    for (const auto &[action, condition] : preconditions)
        EXPECT_EQ(failureOf(action),
                  u"Invalid parameter not satisfying: "_s + QString::fromLatin1(condition));

    // Only four decimal parts make an IPv4 address.
    for (const QString &text : {u""_s, u"1.2.3"_s, u"256.1.1.1"_s, u"1.2.3.4.5"_s, u" 1.2.3.4"_s,
                                u"1.2.3.4x"_s, u"::1"_s, u"1.2.3.\u0664"_s, u"1.2.3.4\0"_s}) {
        SCOPED_TRACE(text.toStdString());
        QMError error;
        EXPECT_EQ(QMNetworkReachability::networkReachabilityWithIP4AddressString(text, &error),
                  nullptr);
        EXPECT_EQ(error.localizedDescription(), u"\"%1\" is not an IPv4 address."_s.arg(text));
    }
    EXPECT_EQ(forAddress(u"127.0.0.1"_s)->host(), u"127.0.0.1"_s);
    EXPECT_TRUE(forAddress(QString())->host().isNull());
}

TEST(ReachabilityTest, ChangesAreAnnouncedInOrderAndObservedOnTheMainQueue)
{
    const auto watched = forAddress(u"127.0.0.1"_s);
    const auto other = forAddress(u"127.0.0.2"_s);
    auto changes = std::make_shared<Changes>();
    watched->setDelegate(changes);
    watched->setNotificationBlock([&](const QString &host, bool reachable) {
        changes->record(u"block %1 %2"_s.arg(host).arg(reachable));
    });
    const auto center = QMNotificationCenter::defaultCenter();
    const auto token = center->addObserverForName(
            QMNetworkReachabilityDidChangeNotification, watched.get(), nullptr,
            [&](const QMNotification &) { changes->record(u"notification"_s); });
    QObject::connect(
            watched.get(), &QMNetworkReachability::flagsChanged,
            [&](QMNetworkReachabilityFlags flags) { changes->record(u"signal %1"_s.arg(flags)); });

    Listener listener;
    QMNetworkReachabilityObserver observer(watched, &listener);
    observer.startObserving();
    observer.startObserving(); // again: still one registration
    EXPECT_EQ(observer.observers().keys(),
              QStringList {QMNetworkReachabilityDidChangeNotification});
    other->networkReachabilityDidChange(R); // another sender: not delivered
    watched->networkReachabilityDidChange(R | D);
    EXPECT_EQ(changes->events,
              (QStringList {u"notification"_s, u"delegate %1"_s.arg(R | D), u"block 127.0.0.1 1"_s,
                            u"signal %1"_s.arg(R | D)}));
    EXPECT_TRUE(listener.senders.isEmpty()); // the main queue delivers later
    QElapsedTimer timer;
    timer.start();
    while (listener.senders.isEmpty() && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QCoreApplication::processEvents();
    EXPECT_EQ(listener.senders, QObjectList {watched.get()});

    observer.stopObserving();
    watched->networkReachabilityDidChange(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(listener.senders.size(), 1);
    center->removeObserver(token);

    // Nothing to call, or nothing to listen to: nothing is registered.
    QObject mute;
    QMNetworkReachabilityObserver silent(watched, &mute);
    silent.startObserving();
    EXPECT_FALSE(silent.isObserving());
    auto gone = forAddress(u"127.0.0.3"_s);
    QMNetworkReachabilityObserver orphan(gone, &listener);
    gone.reset();
    orphan.startObserving();
    EXPECT_FALSE(orphan.isObserving());
}

// A delegate, a block or a handler of the host that throws on the library's queues: the
// exception goes to the uncaught-exception handler, and the others still hear of the change.
TEST(ReachabilityTest, ExceptionsOfHostCodeStopAtTheLibrary)
{
    class ThrowingDelegate : public Changes
    {
    public:
        void networkReachabilityDidChange(QMNetworkReachability *reachability) override
        {
            Changes::networkReachabilityDidChange(reachability);
            throw std::runtime_error("delegate");
        }
    };
    const auto changes = std::make_shared<ThrowingDelegate>();
    QMUncaughtExceptions::setHandler([&](std::exception_ptr, const QString &where) {
        changes->record(u"caught in "_s + where);
    });
    const auto reset = qScopeGuard([] { QMUncaughtExceptions::setHandler({}); });

    const auto reachability = forAddress(u"127.0.0.1"_s);
    reachability->setDelegate(changes);
    reachability->setNotificationBlock([&](const QString &, bool reachable) {
        changes->record(u"block %1"_s.arg(reachable));
        throw std::runtime_error("block");
    });
    reachability->networkReachabilityDidChange(R | L | D);
    EXPECT_EQ(changes->waitFor(4),
              (QStringList {u"delegate %1"_s.arg(R | L | D), u"caught in a reachability delegate"_s,
                            u"block 1"_s, u"caught in a reachability notification block"_s}));

    // The background queue goes on after a handler that threw.
    changes->events.clear();
    reachability->checkNetworkReachabilityForHost(
            u"localhost"_s, [](const QString &, bool) { throw std::runtime_error("handler"); });
    reachability->checkNetworkReachabilityForHost(
            u"localhost"_s, [&](const QString &host, bool) { changes->record(host); });
    EXPECT_EQ(changes->waitFor(2),
              (QStringList {u"caught in a reachability completion handler"_s, u"localhost"_s}));
}

TEST(ReachabilityKernelTest, MonitoringStartsOnceAndDestructionLeavesNothing)
{
    runInNamespace(u"MonitoringStartsOnceAndDestructionLeavesNothing"_s);
}

TEST(ReachabilityKernelTest, FlagsFollowTheRoutingTable)
{
    runInNamespace(u"FlagsFollowTheRoutingTable"_s);
}

TEST(ReachabilityKernelTest, MonitoringReportsEachChangeOnce)
{
    runInNamespace(u"MonitoringReportsEachChangeOnce"_s);
}

TEST(ReachabilityKernelTest, InternetConnectionOverIPv6Only)
{
    runInNamespace(u"InternetConnectionOverIPv6Only"_s);
}

// Run only inside a network namespace of the test's own: a veth pair whose near end has
// 2001:db8:1::1/64 and no IPv4 address or route at all, with a default route of IPv6 alone that
// comes and goes. The internet connection follows it, read afresh and monitored.
TEST(ReachabilityInNamespace, InternetConnectionOverIPv6Only)
{
    for (const char *command :
         {"link set lo up", "link add veth0 type veth peer name veth1",
          "addr add 2001:db8:1::1/64 dev veth0 nodad", "link set veth0 up", "link set veth1 up"})
        ASSERT_TRUE(ip(command));
    const auto internet = forAddress(QString());
    const auto monitored = forAddress(QString());
    const auto changes = std::make_shared<Changes>();
    monitored->setDelegate(changes);
    monitored->startMonitoringNetworkReachability();
    ASSERT_TRUE(monitored->isMonitoring());

    const struct
    {
        const char *command;
        QMNetworkReachabilityFlags flags;
    } stages[] = {
            {nullptr, 0},
            {"-6 route add default via 2001:db8:1::fe dev veth0", R},
            {"link set veth1 down", 0}, // no carrier: the route stays, its interface is not running
            {"link set veth1 up", R},
            {"-6 route del default", 0},
            {"-6 route add default dev veth0", R | D},
            {"link set veth0 down", 0},
    };
    QStringList expected;
    for (const auto &stage : stages) {
        SCOPED_TRACE(stage.command ? stage.command : "no default route");
        if (stage.command) {
            ASSERT_TRUE(ip(stage.command));
            expected << u"delegate %1"_s.arg(stage.flags);
        }
        EXPECT_EQ(flagsOf(internet), stage.flags);
        EXPECT_EQ(internet->isReachable(), bool(stage.flags & R));
        EXPECT_EQ(changes->waitFor(expected.size()), expected);
    }
}

// Run only inside a network namespace of the test's own (see ReachabilityTestMain.cpp): a veth
// pair whose near end has 10.1.0.1/24, with 10.1.0.254 as the gateway of a default route that
// comes and goes. Nothing here sends a packet.
TEST(ReachabilityInNamespace, FlagsFollowTheRoutingTable)
{
    for (const char *command : {"link set lo up", "link add veth0 type veth peer name veth1",
                                "addr add 10.1.0.1/24 dev veth0", "link set veth0 up",
                                "link set veth1 up", "route add unreachable 198.51.100.0/24"})
        ASSERT_TRUE(ip(command));

    // A local address, the directly connected peer, an address behind the gateway, an
    // unroutable one and the internet connection.
    const QString targets[]
            = {u"10.1.0.1"_s, u"10.1.0.2"_s, u"203.0.113.5"_s, u"198.51.100.7"_s, QString()};
    const struct
    {
        const char *stage;
        const char *command;
        QMNetworkReachabilityFlags flags[5];
    } stages[] = {
            {"no default route", nullptr, {R | L | D, R | D, 0, 0, 0}},
            {"default route", "route add default via 10.1.0.254", {R | L | D, R | D, R, 0, R}},
            // The far end down: the near end loses its carrier, its routes stay.
            {"no carrier", "link set veth1 down", {R | L | D, D, 0, 0, 0}},
            {"carrier back", "link set veth1 up", {R | L | D, R | D, R, 0, R}},
            {"default route removed", "route del default", {R | L | D, R | D, 0, 0, 0}},
            {"near end down", "link set veth0 down", {R | L | D, 0, 0, 0, 0}},
    };
    // The same objects throughout: without monitoring, every question reads the table afresh.
    std::shared_ptr<QMNetworkReachability> objects[5];
    for (int i = 0; i < 5; ++i)
        objects[i] = forAddress(targets[i]);
    for (const auto &stage : stages) {
        SCOPED_TRACE(stage.stage);
        if (stage.command) {
            ASSERT_TRUE(ip(stage.command));
        }
        for (int i = 0; i < 5; ++i) {
            SCOPED_TRACE(targets[i].toStdString());
            EXPECT_EQ(flagsOf(objects[i]), stage.flags[i]);
            EXPECT_EQ(objects[i]->isReachable(), bool(stage.flags[i] & R));
        }
    }

    const struct
    {
        QString name;
        QMNetworkReachabilityFlags flags;
    } names[] = {
            {u"localhost"_s, R | L | D},
            {u"::1"_s, R | L | D}, // asked as IPv6
            {u"10.1.0.1"_s, R | L | D},
            {u"host.invalid"_s, 0}, // does not resolve
            {u""_s, 0},
            {QString(254, u'a'), 0},
            {u"a b"_s, 0},
    };
    for (const auto &row : names) {
        SCOPED_TRACE(row.name.toStdString());
        EXPECT_EQ(flagsOf(QMNetworkReachability::networkReachabilityWithHostName(row.name)),
                  row.flags);
        EXPECT_EQ(QMNetworkReachability::isHostAvailable(row.name), bool(row.flags & R));
    }

    // A one-off check answers on the background queue, not on the calling thread.
    Changes answers;
    const auto reachability = forAddress(QString());
    const std::thread::id caller = std::this_thread::get_id();
    reachability->checkNetworkReachabilityForHost(
            u"localhost"_s, [&](const QString &host, bool reachable) {
                const bool here = std::this_thread::get_id() == caller;
                answers.record(u"%1 %2 %3"_s.arg(host).arg(reachable).arg(here ? u"caller"_s
                                                                               : u"queue"_s));
            });
    EXPECT_EQ(answers.waitFor(1), QStringList {u"localhost 1 queue"_s});
}

TEST(ReachabilityInNamespace, MonitoringReportsEachChangeOnce)
{
    for (const char *command :
         {"link set lo up", "link add veth0 type veth peer name veth1",
          "addr add 10.1.0.1/24 dev veth0", "link set veth0 up", "link set veth1 up"})
        ASSERT_TRUE(ip(command));
    // The internet connection, the peer and an address behind the gateway.
    const QString targets[] = {QString(), u"10.1.0.2"_s, u"203.0.113.5"_s};
    std::shared_ptr<QMNetworkReachability> monitored[3];
    std::shared_ptr<Changes> changes[3];
    QStringList expected[3];
    bool reachable[3] = {false, true, false};
    for (int i = 0; i < 3; ++i) {
        monitored[i] = forAddress(targets[i]);
        changes[i] = std::make_shared<Changes>();
        monitored[i]->setDelegate(changes[i]);
        monitored[i]->setNotificationBlock([log = changes[i]](const QString &, bool isReachable) {
            log->record(u"block %1"_s.arg(isReachable));
        });
        QObject::connect(monitored[i].get(), &QMNetworkReachability::flagsChanged,
                         [log = changes[i]](QMNetworkReachabilityFlags flags) {
                             log->record(u"signal %1"_s.arg(flags));
                         });
        monitored[i]->startMonitoringNetworkReachability();
        monitored[i]->startMonitoringNetworkReachability(); // registers once
    }
    // One more object, whose block lets go of the last reference to it: it is destroyed on its
    // own queue, inside its change handling.
    std::mutex mutex;
    std::condition_variable destroyed;
    bool gone = false;
    auto doomed = forAddress(u"10.1.0.2"_s);
    QObject::connect(doomed.get(), &QObject::destroyed, [&] {
        std::lock_guard lock(mutex);
        gone = true;
        destroyed.notify_all();
    });
    std::shared_ptr<QMNetworkReachability> holder = doomed;
    doomed->setNotificationBlock([&](const QString &, bool) {
        std::lock_guard lock(mutex);
        holder.reset();
    });
    doomed->startMonitoringNetworkReachability();
    doomed.reset();

    const struct
    {
        const char *command;
        std::optional<QMNetworkReachabilityFlags> flags[3]; // none: no change
    } steps[] = {
            {"route add default via 10.1.0.254", {R, std::nullopt, R}},
            {"link set veth1 down", {0, D, 0}},
            {"link set veth1 up", {R, R | D, R}},
            {"route del default", {0, std::nullopt, 0}},
            {"link set veth0 down", {std::nullopt, 0, std::nullopt}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.command);
        ASSERT_TRUE(ip(step.command));
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(targets[i].toStdString());
            if (step.flags[i]) {
                reachable[i] = *step.flags[i] & R;
                expected[i] << u"delegate %1"_s.arg(*step.flags[i])
                            << u"block %1"_s.arg(reachable[i])
                            << u"signal %1"_s.arg(*step.flags[i]);
            }
            EXPECT_EQ(changes[i]->waitFor(expected[i].size()), expected[i]);
            EXPECT_TRUE(monitored[i]->isMonitoring());
            EXPECT_EQ(monitored[i]->isReachable(), reachable[i]);
        }
    }
    std::unique_lock lock(mutex);
    EXPECT_TRUE(destroyed.wait_for(lock, boundedWait, [&] { return gone; }));
}

// Run only inside a network namespace of the test's own (see ReachabilityTestMain.cpp): the
// descriptors and threads counted are the whole process's, and a change of the machine's links or
// addresses (a router's periodic announcement will do) makes a monitor read the flags through a
// socket of its own for a moment, or end its object on its own thread.
TEST(ReachabilityInNamespace, MonitoringStartsOnceAndDestructionLeavesNothing)
{
    ASSERT_TRUE(ip("link set lo up"));
    // ThreadSanitizer starts a thread of its own with the first thread the program makes.
    std::thread([] {}).join();
    const qsizetype descriptors = entries("/proc/self/fd");
    const qsizetype threads = entries("/proc/self/task");
    {
        const auto loopback = forAddress(u"127.0.0.1"_s);
        loopback->stopMonitoringNetworkReachability(); // not monitoring: nothing to do
        EXPECT_FALSE(loopback->isMonitoring());
        EXPECT_FALSE(loopback->isReachableFlagInitialized());
        EXPECT_TRUE(loopback->isReachable());
        EXPECT_TRUE(loopback->isReachableFlagInitialized());
        loopback->startMonitoringNetworkReachability();
        loopback->startMonitoringNetworkReachability();
        EXPECT_TRUE(loopback->isMonitoring());
        // One socket for the whole object, however often it was started, and its wake-up.
        EXPECT_EQ(entries("/proc/self/fd"), descriptors + 2) << openDescriptors();
        loopback->stopMonitoringNetworkReachability();
        EXPECT_FALSE(loopback->isMonitoring());
        EXPECT_EQ(entries("/proc/self/fd"), descriptors) << openDescriptors();
        loopback->startMonitoringNetworkReachability();
        EXPECT_TRUE(loopback->isMonitoring());
    } // destroyed while monitoring
    EXPECT_EQ(entries("/proc/self/fd"), descriptors) << openDescriptors();
    EXPECT_EQ(entries("/proc/self/task"), threads);
}

#include "NetworkReachabilityTest.moc"

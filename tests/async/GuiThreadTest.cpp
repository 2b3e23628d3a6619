// The GUI thread keeps turning: a QGuiApplication (the offscreen platform) runs a 10 ms timer on
// its main thread and records the longest wait between two of its ticks while the main thread
// issues work that waits (key derivation, file locks, a keyring that never answers, a store, a
// server, a name server that never answers, a child process) through the futures, then the same
// work through the synchronous calls. Every future must end with the right value or error; the
// waits are printed, one line per scenario, and never asserted on.
//
// --quick (the default, the CTest entry) runs a reduced workload, --full the whole one
// (scripts/gui-gaps.sh). The program moves into network and mount namespaces of its own first
// (and a user namespace when it is not root), where its resolv.conf names a silent name server.

#include <QMFoundation/keychain/QMKeychain.h>
#include <QMFoundation/network/QMRESTAPIClient.h>
#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMCommandOperation.h>
#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>
#include <QMFoundation/platform/QMNetworkReachability.h>

#include "LoopbackHTTPServer.h"
#include "support/SilentBus.h"
#include "support/SilentNameServer.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// Failures show texts as text.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

// How much of each kind of work a run issues.
struct Workload
{
    int keychainFiles;
    int keychainAdds;
    int objects;
    int requests;
    QString commandSeconds;
    std::chrono::milliseconds deadline; // of the keyring calls and of the name resolution
};

const Workload quickWorkload {1, 5, 1000, 20, u"0.5"_s, 300ms};
const Workload fullWorkload {5, 50, 10000, 200, u"2"_s, 1000ms};
Workload workload = quickWorkload;

// The CPU time this thread has used.
Clock::duration threadTime()
{
    timespec now {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

double milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

// The longest gap of a measured window, and how much of it the main thread ran (the rest it
// waited: in a call, or for a core).
struct Gap
{
    double wall = -1;
    double busy = -1;
};

// The scenarios in the order they ran, with the longest gap of each form (negative: not run).
struct Gaps
{
    std::string scenario;
    Gap async;
    Gap sync;
};
std::vector<Gaps> measured;

void record(const std::string &scenario, bool async, Gap gap)
{
    auto it = std::find_if(measured.begin(), measured.end(),
                           [&](const Gaps &gaps) { return gaps.scenario == scenario; });
    if (it == measured.end())
        it = measured.insert(measured.end(), Gaps {scenario, {}, {}});
    (async ? it->async : it->sync) = gap;
}

// A 10 ms timer on the main thread, and the longest time between two of its ticks (the start and
// the end of the measured window counting as ticks).
class GapMeter
{
public:
    GapMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { tick(); });
        m_timer.start(10);
    }

    // Runs `work` on this thread and returns the longest gap between ticks meanwhile.
    Gap measure(const std::function<void()> &work)
    {
        m_longest = {};
        m_last = Clock::now();
        m_lastBusy = threadTime();
        m_measuring = true;
        work();
        tick();
        m_measuring = false;
        return {milliseconds(m_longest), milliseconds(m_longestBusy)};
    }

private:
    void tick()
    {
        if (!m_measuring)
            return;
        const Clock::time_point now = Clock::now();
        const Clock::duration busy = threadTime();
        if (now - m_last > m_longest) {
            m_longest = now - m_last;
            m_longestBusy = busy - m_lastBusy;
        }
        m_last = now;
        m_lastBusy = busy;
    }

    QTimer m_timer;
    bool m_measuring = false;
    Clock::time_point m_last;
    Clock::duration m_lastBusy {};
    Clock::duration m_longest {};
    Clock::duration m_longestBusy {};
};
GapMeter *meter = nullptr;

// Measures `work` as the `async` or synchronous form of `scenario`.
void measure(const std::string &scenario, bool async, const std::function<void()> &work)
{
    record(scenario, async, meter->measure(work));
}

// Runs the event loop until every future has finished; false after two minutes. Nothing is
// attached to the futures (see support/Futures.h): results are read afterwards.
template<typename T>
bool waitForAll(const QList<QFuture<T>> &futures)
{
    const auto allFinished = [&] {
        return std::all_of(futures.cbegin(), futures.cend(),
                           [](const QFuture<T> &future) { return future.isFinished(); });
    };
    QEventLoop loop;
    std::vector<std::unique_ptr<QFutureWatcher<T>>> watchers;
    for (const QFuture<T> &future : futures) {
        auto &watcher = watchers.emplace_back(std::make_unique<QFutureWatcher<T>>());
        QObject::connect(watcher.get(), &QFutureWatcherBase::finished, &loop, [&] {
            if (allFinished())
                loop.quit();
        });
        watcher->setFuture(future);
    }
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    if (!allFinished())
        loop.exec();
    return allFinished();
}

template<typename T>
bool waitFor(const QFuture<T> &future)
{
    return waitForAll(QList<QFuture<T>> {future});
}

template<typename T>
std::string failureOf(const QFuture<T> &future)
{
    const QMError error = QMAsync::errorOf(future);
    if (error.isNull())
        return {};
    const QString text = error.domain() + u' ' + QString::number(error.code()) + u' '
            + error.localizedFailureReason();
    return text.toStdString();
}

const QString keychainPassword = u"correct horse"_s;

} // namespace

// Keychain files: opened (the key derived with Argon2id), then items added. The files are made
// before the measured window; each form opens them anew.
TEST(GuiThread, KeychainFiles)
{
    bool finished = false;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QStringList paths;
    for (int i = 0; i < workload.keychainFiles; ++i) {
        paths.append(dir.filePath(u"%1.keychain"_s.arg(i)));
        QMError error;
        ASSERT_TRUE(QMKeychain::keychainWithPath(paths.last(), keychainPassword, &error))
                << qPrintable(error.localizedFailureReason());
    }
    const auto account = [](const QString &form, int i) {
        return u"%1-%2"_s.arg(form).arg(i);
    };

    // Through the futures.
    QList<QFuture<QMKeychain::Ptr>> opened;
    measure("keychain-open", true, [&] {
        for (const QString &path : std::as_const(paths))
            opened.append(QMKeychain::openKeychainWithPathAsync(path, keychainPassword));
        finished = waitForAll(opened);
    });
    ASSERT_TRUE(finished);
    QList<QMKeychain::Ptr> keychains;
    for (const auto &future : std::as_const(opened)) {
        ASSERT_EQ(failureOf(future), "");
        ASSERT_TRUE(future.result());
        keychains.append(future.result());
    }
    QList<QFuture<QMGenericPasswordKeychainItem::Ptr>> added;
    measure("keychain-add", true, [&] {
        for (int i = 0; i < workload.keychainAdds; ++i)
            added.append(keychains.at(i % keychains.size())
                                 ->addGenericPasswordWithAccountAsync(account(u"async"_s, i),
                                                                      u"gaps"_s, u"pw"_s));
        finished = waitForAll(added);
    });
    ASSERT_TRUE(finished);
    for (int i = 0; i < added.size(); ++i) {
        ASSERT_EQ(failureOf(added.at(i)), "");
        ASSERT_TRUE(added.at(i).result());
        EXPECT_EQ(added.at(i).result()->account(), account(u"async"_s, i));
    }

    // Through the synchronous calls.
    keychains.clear();
    measure("keychain-open", false, [&] {
        for (const QString &path : std::as_const(paths))
            keychains.append(QMKeychain::openKeychainWithPath(path, keychainPassword));
    });
    ASSERT_EQ(std::count(keychains.cbegin(), keychains.cend(), nullptr), 0);
    int addedSynchronously = 0;
    measure("keychain-add", false, [&] {
        for (int i = 0; i < workload.keychainAdds; ++i)
            addedSynchronously += keychains.at(i % keychains.size())
                                          ->addGenericPasswordWithAccount(account(u"sync"_s, i),
                                                                          u"gaps"_s, u"pw"_s)
                    != nullptr;
    });
    EXPECT_EQ(addedSynchronously, workload.keychainAdds);

    // Each file holds both forms' items.
    int stored = 0;
    for (const QString &path : std::as_const(paths)) {
        QMError error;
        const auto items = QMKeychain::openKeychainWithPath(path, keychainPassword)
                                   ->findAllGenericPasswords(&error);
        ASSERT_TRUE(items) << qPrintable(error.localizedFailureReason());
        stored += int(items->size());
    }
    EXPECT_EQ(stored, 2 * workload.keychainAdds);
}

// The desktop keyring on a session bus that takes the connection and never answers: the call ends
// at the keychain's deadline, with its error.
TEST(GuiThread, KeyringThatNeverAnswers)
{
    bool finished = false;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    TestSupport::SilentBus bus(dir.filePath(u"bus"_s));
    ASSERT_TRUE(bus.isListening());
    ::setenv("DBUS_SESSION_BUS_ADDRESS",
             QFile::encodeName(u"unix:path="_s + dir.filePath(u"bus"_s)).constData(), 1);
    const std::chrono::milliseconds timeout = QMKeychain::timeout();
    QMKeychain::setTimeout(workload.deadline);
    // "... within 300 ms (timed out).", "... within 1 s (timed out).".
    const auto timedOut = [](const QMError &error) {
        const QString reason = error.localizedFailureReason();
        return reason.startsWith(u"The desktop keyring did not answer within "_s)
                && reason.endsWith(u" (timed out)."_s);
    };

    QFuture<QMGenericPasswordKeychainItem::Ptr> found;
    measure("keyring-silent", true, [&] {
        found = QMKeychain::defaultKeychain()->findGenericPasswordItemForAccountAsync(u"joe"_s,
                                                                                      u"gaps"_s);
        finished = waitFor(found);
    });
    ASSERT_TRUE(finished);
    const QMError asyncError = QMAsync::errorOf(found);
    EXPECT_EQ(asyncError.domain(), QMKeychainErrorDomain);
    EXPECT_EQ(asyncError.code(), errSecNotAvailable);
    EXPECT_TRUE(timedOut(asyncError)) << qPrintable(asyncError.localizedFailureReason());

    QMError syncError;
    QMGenericPasswordKeychainItem::Ptr item;
    measure("keyring-silent", false, [&] {
        item = QMKeychain::defaultKeychain()->findGenericPasswordItemForAccount(u"joe"_s, u"gaps"_s,
                                                                                &syncError);
    });
    EXPECT_FALSE(item);
    EXPECT_EQ(syncError.domain(), QMKeychainErrorDomain);
    EXPECT_EQ(syncError.code(), errSecNotAvailable);
    EXPECT_TRUE(timedOut(syncError)) << qPrintable(syncError.localizedFailureReason());
    EXPECT_GE(bus.connections(), 1u);

    QMKeychain::setTimeout(timeout);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

// A save of many new objects to an SQLite store, then a fetch and a count of them in a new
// context. The objects are made before the measured window; each form has a store of its own.
TEST(GuiThread, ObjectStore)
{
    bool finished = false;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto model = QMManagedObjectModel::modelWithJSON(QByteArrayLiteral(R"({
        "name": "Gaps", "version": 1, "entities": [{"name": "Item", "attributes": [
            {"name": "name", "type": "string", "optional": false},
            {"name": "number", "type": "integer", "default": 0}]}]})"));
    ASSERT_TRUE(model);
    const auto coordinator = [&](const QString &name) {
        auto result = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
        QMError error;
        EXPECT_TRUE(result->addPersistentStoreWithType(
                QMSQLiteStoreType, QString(), QUrl::fromLocalFile(dir.filePath(name)), {}, &error))
                << qPrintable(error.localizedDescription());
        return result;
    };
    const auto filled = [&](const std::shared_ptr<QMPersistentStoreCoordinator> &store) {
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(store);
        for (int i = 0; i < workload.objects; ++i) {
            const auto object = context->insertNewObjectForEntityForName(u"Item"_s);
            object->setValue(u"name"_s, u"item %1"_s.arg(i));
            object->setValue(u"number"_s, i);
        }
        return context;
    };
    QMFetchRequest all(u"Item"_s);
    all.setSortDescriptors({QMFetchSortDescriptor::sortDescriptorWithKey(u"number"_s)});
    const auto expectAll = [&](const QList<std::shared_ptr<QMManagedObject>> &objects) {
        ASSERT_EQ(objects.size(), workload.objects);
        for (int i = 0; i < workload.objects; ++i) {
            ASSERT_EQ(objects.at(i)->value(u"number"_s).toInt(), i);
            ASSERT_EQ(objects.at(i)->value(u"name"_s).toString(), u"item %1"_s.arg(i));
        }
    };

    // Through the futures.
    const auto asyncStore = coordinator(u"async.sqlite"_s);
    const auto asyncContext = filled(asyncStore);
    QFuture<bool> saved;
    measure("store-save", true, [&] {
        saved = asyncContext->saveAsync();
        finished = waitFor(saved);
    });
    ASSERT_TRUE(finished);
    ASSERT_EQ(failureOf(saved), "");
    EXPECT_TRUE(saved.result());
    EXPECT_FALSE(asyncContext->hasChanges());
    const auto asyncReader
            = QMManagedObjectContext::contextWithPersistentStoreCoordinator(asyncStore);
    QFuture<QList<std::shared_ptr<QMManagedObject>>> fetched;
    QFuture<qsizetype> counted;
    measure("store-fetch", true, [&] {
        fetched = asyncReader->executeFetchRequestAsync(all);
        counted = asyncReader->countForFetchRequestAsync(all);
        finished = waitFor(fetched) && waitFor(counted);
    });
    ASSERT_TRUE(finished);
    ASSERT_EQ(failureOf(fetched), "");
    ASSERT_EQ(failureOf(counted), "");
    expectAll(fetched.result());
    EXPECT_EQ(counted.result(), workload.objects);

    // Through the synchronous calls.
    const auto syncStore = coordinator(u"sync.sqlite"_s);
    const auto syncContext = filled(syncStore);
    QMError error;
    bool syncSaved = false;
    measure("store-save", false, [&] { syncSaved = syncContext->save(&error); });
    ASSERT_TRUE(syncSaved) << qPrintable(error.localizedDescription());
    const auto syncReader
            = QMManagedObjectContext::contextWithPersistentStoreCoordinator(syncStore);
    QList<std::shared_ptr<QMManagedObject>> objects;
    qsizetype count = -1;
    measure("store-fetch", false, [&] {
        objects = syncReader->executeFetchRequest(all, &error);
        count = syncReader->countForFetchRequest(all, &error);
    });
    ASSERT_TRUE(error.isNull()) << qPrintable(error.localizedDescription());
    expectAll(objects);
    EXPECT_EQ(count, workload.objects);
}

// Requests to a loopback server that answers each after 50 ms (its own timer sends the body).
TEST(GuiThread, RESTRequests)
{
    bool finished = false;
    LoopbackHTTPServer server;
    QString reason;
    ASSERT_TRUE(server.start(&reason)) << qPrintable(reason);
    const QUrl url = server.url(u"/slow?bytes=36&chunk=36&interval=50"_s);
    const QString body = u"0123456789abcdefghijklmnopqrstuvwxyz"_s;
    const auto expectAnswered = [&](const QMRESTAPIResponse &response) {
        EXPECT_FALSE(response.hasError()) << qPrintable(response.error->localizedDescription());
        EXPECT_EQ(response.statusCode, 200);
        EXPECT_EQ(response.body, body);
    };
    QMRESTAPIClient client;

    QList<QFuture<QMRESTAPIResponse>> responses;
    measure("rest", true, [&] {
        for (int i = 0; i < workload.requests; ++i)
            responses.append(client.performGETRequestAsync(url, std::nullopt));
        finished = waitForAll(responses);
    });
    ASSERT_TRUE(finished);
    for (const auto &future : std::as_const(responses)) {
        ASSERT_EQ(failureOf(future), "");
        expectAnswered(future.result());
    }
    EXPECT_EQ(server.requestCount(), workload.requests);

    // The synchronous form: every request made, then waited for in turn, and then for the
    // handlers, which run after each request has finished.
    std::mutex mutex;
    std::condition_variable handlerRan;
    QList<QMRESTAPIResponse> handled;
    bool allHandled = false;
    measure("rest", false, [&] {
        std::vector<std::shared_ptr<QMRESTAPIRequest>> requests;
        for (int i = 0; i < workload.requests; ++i)
            requests.push_back(client.performGETRequestWithURL(
                    url, std::nullopt, [&](const QMRESTAPIResponse &response) {
                        // Notified under the lock: once the test sees the last response it
                        // destroys the condition variable, which must not still be in use.
                        std::lock_guard lock(mutex);
                        handled.append(response);
                        handlerRan.notify_all();
                    }));
        for (const auto &request : requests)
            request->waitUntilFinished();
        std::unique_lock lock(mutex);
        allHandled = handlerRan.wait_for(lock, 20s,
                                         [&] { return handled.size() == workload.requests; });
    });
    ASSERT_TRUE(allHandled);
    std::lock_guard lock(mutex);
    for (const QMRESTAPIResponse &response : std::as_const(handled))
        expectAnswered(response);
    EXPECT_EQ(server.requestCount(), 2 * workload.requests);
}

// A host name whose name server never answers (see main()): the check ends at its deadline.
TEST(GuiThread, ReachabilityOfASilentName)
{
    bool finished = false;
    TestSupport::SilentNameServer server;
    ASSERT_TRUE(server.isBound());
    QFuture<QMNetworkReachabilityFlags> flags;
    measure("reachability", true, [&] {
        flags = QMNetworkReachability::flagsForHostAsync(u"silent.example"_s, workload.deadline);
        finished = waitFor(flags);
    });
    ASSERT_TRUE(finished);
    const QMError error = QMAsync::errorOf(flags);
    EXPECT_EQ(error.domain(), QMNetworkReachabilityErrorDomain);
    EXPECT_EQ(error.code(), QMNetworkReachabilityErrorResolutionTimedOut);

    // The synchronous check waits for the resolver to give up (its resolv.conf time-out).
    bool available = true;
    measure("reachability", false,
            [&] { available = QMNetworkReachability::isHostAvailable(u"silent.example"_s); });
    EXPECT_FALSE(available);
}

// A child process that runs for a while.
TEST(GuiThread, Command)
{
    bool finished = false;
    const auto sleeper = [] {
        return QMCommandOperation::commandWithLaunchPath(
                u"/bin/sh"_s, {u"-c"_s, u"sleep \"$0\" && echo slept"_s, workload.commandSeconds});
    };
    QFuture<QMCommandResult> ran;
    measure("command", true, [&] {
        ran = sleeper()->runAsync();
        finished = waitFor(ran);
    });
    ASSERT_TRUE(finished);
    ASSERT_EQ(failureOf(ran), "");
    EXPECT_EQ(ran.result().exitCode, 0);
    EXPECT_EQ(ran.result().terminationReason, QMCommandOperation::TerminationReason::Exit);
    EXPECT_EQ(ran.result().standardOutput, "slept\n");

    const auto command = sleeper();
    measure("command", false, [&] { command->start(); });
    EXPECT_EQ(command->exitCode(), 0);
    EXPECT_EQ(command->terminationReason(), QMCommandOperation::TerminationReason::Exit);
    EXPECT_EQ(command->standardOutputData(), QByteArray("slept\n"));
}

namespace {

// Moves the process into network and mount namespaces of its own: as root, as the reachability
// tests do; otherwise inside a user namespace of its own, where it is root. Must run while the
// process has a single thread, so that every thread made later is in them too. The reason in
// `reason` when it cannot.
bool enterNamespaces(std::string &reason)
{
    if (::geteuid() == 0 && ::unshare(CLONE_NEWNET | CLONE_NEWNS) == 0)
        return true;
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0) {
        reason = std::string("unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS): ")
                + std::strerror(errno);
        return false;
    }
    const auto write = [&](const char *path, const std::string &text) {
        QFile file(QString::fromLatin1(path));
        if (file.open(QIODevice::WriteOnly)
            && file.write(text.data(), qint64(text.size())) == qint64(text.size()))
            return true;
        reason = std::string("cannot write ") + path + ": " + file.errorString().toStdString();
        return false;
    };
    return write("/proc/self/setgroups", "deny")
            && write("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1")
            && write("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

// In those namespaces: the loopback link up, and a resolv.conf (in `dir`, bound over the
// machine's in this mount namespace only) naming a name server on 127.0.0.1, which
// SilentNameServer is while it lives. The resolver gives up after a second.
bool configureNamespaces(const QTemporaryDir &dir, std::string &reason)
{
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = socket >= 0 && ::ioctl(socket, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = short(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(socket, SIOCSIFFLAGS, &request) == 0;
    if (socket >= 0)
        ::close(socket);
    if (!up) {
        reason = std::string("cannot bring the loopback link up: ") + std::strerror(errno);
        return false;
    }
    QFile configuration(dir.filePath(u"resolv.conf"_s));
    if (!configuration.open(QIODevice::WriteOnly)
        || configuration.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n") < 0) {
        reason = "cannot write resolv.conf: " + configuration.errorString().toStdString();
        return false;
    }
    configuration.close();
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || ::mount(QFile::encodeName(configuration.fileName()).constData(), "/etc/resolv.conf",
                   nullptr, MS_BIND, nullptr)
                != 0) {
        reason = std::string("cannot bind a resolv.conf over /etc/resolv.conf: ")
                + std::strerror(errno);
        return false;
    }
    return true;
}

void printGaps()
{
    Gap longestAsync;
    Gap longestSync;
    const auto line = [](const std::string &scenario, Gap async, Gap sync) {
        std::printf("gap %-15s async %7.1f ms (main thread ran %5.1f ms)   "
                    "sync %7.1f ms (ran %5.1f ms)\n",
                    scenario.c_str(), async.wall, async.busy, sync.wall, sync.busy);
    };
    for (const Gaps &gaps : measured) {
        line(gaps.scenario, gaps.async, gaps.sync);
        if (gaps.async.wall > longestAsync.wall)
            longestAsync = gaps.async;
        if (gaps.sync.wall > longestSync.wall)
            longestSync = gaps.sync;
    }
    line("(longest)", longestAsync, longestSync);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<char *> arguments(argv, argv + argc);
    for (auto it = arguments.begin() + 1; it != arguments.end();) {
        if (std::strcmp(*it, "--full") == 0 || std::strcmp(*it, "--quick") == 0) {
            workload = std::strcmp(*it, "--full") == 0 ? fullWorkload : quickWorkload;
            it = arguments.erase(it);
        } else {
            ++it;
        }
    }
    argc = int(arguments.size());
    arguments.push_back(nullptr);
    argv = arguments.data();

    std::string reason;
    if (!enterNamespaces(reason)) {
        std::fprintf(stderr,
                     "FAILED: cannot make the private namespaces that the name-resolution "
                     "scenario needs (%s). It needs root, or unprivileged user namespaces "
                     "(sysctl kernel.unprivileged_userns_clone=1, user.max_user_namespaces > 0).\n",
                     reason.c_str());
        return 3;
    }
    const QTemporaryDir resolverDir;
    if (!resolverDir.isValid() || !configureNamespaces(resolverDir, reason)) {
        std::fprintf(stderr, "FAILED: %s\n", reason.c_str());
        return 3;
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    GapMeter gapMeter;
    meter = &gapMeter;
    const int result = RUN_ALL_TESTS();
    printGaps();
    return result;
}

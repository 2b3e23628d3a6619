#include <QMFoundation/platform/QMNetworkReachability.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/observation/QMNotificationCenter.h>
#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMOperationQueue.h>
#include <QMFoundation/operations/QMQueueManager.h>

#include "QMFoundation/platform/QMDeadline_p.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;

const QString QMNetworkReachabilityDidChangeNotification
        = u"QMNetworkReachabilityDidChangeNotification"_s;
const QString QMNetworkReachabilityErrorDomain = u"QMNetworkReachabilityErrorDomain"_s;

namespace {

// One reading of a handle: false when the flags cannot be read.
bool readReachable(const QMNetworkReachabilityHandle &handle)
{
    QMNetworkReachabilityFlags flags = 0;
    return handle.getFlags(&flags) && QMNetworkReachability::isReachableWithFlags(flags);
}

// The resolution threads of flagsForHostAsync(), process-wide. Never destroyed: a thread left
// resolving may end after the statics are gone.
struct Resolutions
{
    std::mutex mutex;
    std::condition_variable changed; // a resolution ended, or a check was cancelled
    int running = 0;
};

Resolutions &resolutions()
{
    static Resolutions *const shared = new Resolutions;
    return *shared;
}

// One check's resolution; guarded by Resolutions::mutex.
struct Lookup
{
    bool done = false;
    bool read = false;
    bool canceled = false;
    QMNetworkReachabilityFlags flags = 0;
};

QMError reachabilityError(QMNetworkReachabilityErrorCode code, const QString &description)
{
    return QMError(QMNetworkReachabilityErrorDomain, code,
                   {{QMLocalizedDescriptionKey, description}});
}

} // namespace

QMNetworkReachabilityDelegate::~QMNetworkReachabilityDelegate() = default;

void QMNetworkReachabilityDelegate::networkReachabilityDidChange(QMNetworkReachability *) { }

class QMNetworkReachability::Private
{
public:
    std::unique_ptr<QMNetworkReachabilityHandle> handle;
    std::shared_ptr<QMOperationQueue> reachabilityQueue
            = QMMakeFoundationSerialQueue(u"NetworkReachability.SCNetworkReachabilityQueue"_s);
    std::shared_ptr<QMOperationQueue> backgroundQueue
            = QMMakeFoundationSerialQueue(u"NetworkReachability.BackgroundQueue"_s);
    QString host;
    // The change handling writes the answer on the reachability queue while any thread reads
    // it; the block and the delegate are set from any thread.
    std::atomic<bool> monitoring {false};
    mutable std::atomic<bool> reachable {false};
    mutable std::atomic<bool> initialized {false};
    std::atomic<QMNetworkReachabilityFlags> lastFlags {0};
    mutable std::mutex mutex;
    NotificationBlock block;
    std::weak_ptr<QMNetworkReachabilityDelegate> delegate;
};

bool QMNetworkReachability::isReachableWithFlags(QMNetworkReachabilityFlags flags)
{
    return (flags & QMNetworkReachabilityFlagReachable)
            && !(flags & QMNetworkReachabilityFlagConnectionRequired);
}

QStringList QMNetworkReachability::stringValuesForFlags(QMNetworkReachabilityFlags flags)
{
    static const std::pair<QMNetworkReachabilityFlag, const char *> names[] = {
            {QMNetworkReachabilityFlagReachable, "kSCNetworkReachabilityFlagsReachable"},
            {QMNetworkReachabilityFlagTransientConnection,
             "kSCNetworkReachabilityFlagsTransientConnection"},
            {QMNetworkReachabilityFlagConnectionRequired,
             "kSCNetworkReachabilityFlagsConnectionRequired"},
            {QMNetworkReachabilityFlagConnectionOnTraffic,
             "kSCNetworkReachabilityFlagsConnectionOnTraffic"},
            {QMNetworkReachabilityFlagInterventionRequired,
             "kSCNetworkReachabilityFlagsInterventionRequired"},
            {QMNetworkReachabilityFlagConnectionOnDemand,
             "kSCNetworkReachabilityFlagsConnectionOnDemand"},
            {QMNetworkReachabilityFlagIsLocalAddress, "kSCNetworkReachabilityFlagsIsLocalAddress"},
            {QMNetworkReachabilityFlagIsDirect, "kSCNetworkReachabilityFlagsIsDirect"},
    };
    QStringList result;
    for (const auto &[bit, name] : names) {
        if (flags & bit)
            result.append(QString::fromLatin1(name));
    }
    return result;
}

bool QMNetworkReachability::isHostAvailable(const QString &hostName)
{
    QMParameterAssert(!hostName.isNull(), "hostname");
    return readReachable(*QMNetworkReachabilityHandle::createWithName(hostName));
}

std::chrono::milliseconds QMNetworkReachability::defaultResolutionTimeout()
{
    return std::chrono::seconds(10);
}

int QMNetworkReachability::maximumPendingResolutions()
{
    return 4;
}

QFuture<QMNetworkReachabilityFlags>
QMNetworkReachability::flagsForHostAsync(const QString &hostName,
                                         std::chrono::milliseconds resolutionTimeout)
{
    QMParameterAssert(!hostName.isNull(), "hostname");
    const auto deadline = QMDeadlineAfter(resolutionTimeout);
    return QMAsync::run([hostName, deadline](QMError *error,
                                             const QMAsync::Cancellation &cancellation) {
        Resolutions &shared = resolutions();
        const auto lookup = std::make_shared<Lookup>();
        cancellation.setHandler([lookup] {
            Resolutions &all = resolutions();
            {
                std::lock_guard guard(all.mutex);
                lookup->canceled = true;
            }
            all.changed.notify_all();
        });
        const QMError timedOut = reachabilityError(
                QMNetworkReachabilityErrorResolutionTimedOut,
                QCoreApplication::translate("QMNetworkReachability",
                                            "The name %1 was not resolved in time.")
                        .arg(hostName));
        std::unique_lock lock(shared.mutex);
        // A free resolution thread first: the stuck ones count against the bound.
        if (!shared.changed.wait_until(lock, deadline, [&] {
                return lookup->canceled || shared.running < maximumPendingResolutions();
            })) {
            *error = timedOut;
            return QMNetworkReachabilityFlags(0);
        }
        if (lookup->canceled)
            return QMNetworkReachabilityFlags(0);
        ++shared.running;
        lock.unlock();
        try {
            std::thread([hostName, lookup] {
                QMNetworkReachabilityFlags flags = 0;
                bool read = false;
                QMUncaughtExceptions::invokeGuarded("a reachability resolution", [&] {
                    read = QMNetworkReachabilityHandle::createWithName(hostName)->getFlags(&flags);
                });
                Resolutions &all = resolutions();
                {
                    std::lock_guard guard(all.mutex);
                    lookup->done = true;
                    lookup->read = read;
                    lookup->flags = flags;
                    --all.running;
                }
                all.changed.notify_all();
            }).detach();
        } catch (...) { // no thread could be made
            lock.lock();
            --shared.running;
            throw;
        }
        lock.lock();
        if (!shared.changed.wait_until(lock, deadline,
                                       [&] { return lookup->done || lookup->canceled; })) {
            *error = timedOut; // the thread goes on and ends by itself
            return QMNetworkReachabilityFlags(0);
        }
        if (!lookup->done)
            return QMNetworkReachabilityFlags(0); // cancelled: the future reads so
        if (!lookup->read) {
            *error = reachabilityError(
                    QMNetworkReachabilityErrorUnavailable,
                    QCoreApplication::translate("QMNetworkReachability",
                                                "The routing table cannot be read."));
        }
        return lookup->flags;
    });
}

std::shared_ptr<QMNetworkReachability>
QMNetworkReachability::networkReachabilityWithHostName(const QString &hostName)
{
    QMParameterAssert(!hostName.isNull(), "hostname");
    auto reachability = std::make_shared<QMNetworkReachability>(
            QMNetworkReachabilityHandle::createWithName(hostName));
    reachability->d->host = hostName;
    return reachability;
}

std::shared_ptr<QMNetworkReachability>
QMNetworkReachability::networkReachabilityWithIP4AddressString(const QString &internetAddress,
                                                               QMError *error)
{
    QMParameterAssert(!internetAddress.isNull(), "internetAddress");
    sockaddr_in address {};
    address.sin_family = AF_INET;
    // inet_pton() takes only four decimal parts; QString::toLatin1() would turn what is not
    // Latin-1 into "?", which it refuses as well.
    if (internetAddress.contains(QChar(0))
        || ::inet_pton(AF_INET, internetAddress.toLatin1().constData(), &address.sin_addr) != 1) {
        if (error)
            *error = QMError(QMNetworkReachabilityErrorDomain,
                             QMNetworkReachabilityErrorInvalidAddress,
                             {{QMLocalizedDescriptionKey,
                               QCoreApplication::translate("QMNetworkReachability",
                                                           "\"%1\" is not an IPv4 address.")
                                       .arg(internetAddress)}});
        return nullptr;
    }
    auto reachability = std::make_shared<QMNetworkReachability>(
            QMNetworkReachabilityHandle::createWithAddress(
                    reinterpret_cast<const sockaddr *>(&address)));
    reachability->d->host = internetAddress;
    return reachability;
}

std::shared_ptr<QMNetworkReachability>
QMNetworkReachability::networkReachabilityForInternetConnection()
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    return std::make_shared<QMNetworkReachability>(QMNetworkReachabilityHandle::createWithAddress(
            reinterpret_cast<const sockaddr *>(&address)));
}

std::shared_ptr<QMNetworkReachability> QMNetworkReachability::sharedNetworkReachability()
{
    // C++'s thread-safe static initialisation makes it once, also under concurrent first calls.
    static const std::shared_ptr<QMNetworkReachability> shared
            = networkReachabilityForInternetConnection();
    return shared;
}

void QMNetworkReachability::checkSharedNetworkReachabilityForHost(
        const QString &hostName, CompletionHandler completionHandler)
{
    sharedNetworkReachability()->checkNetworkReachabilityForHost(hostName,
                                                                 std::move(completionHandler));
}

QMNetworkReachability::QMNetworkReachability(
        std::unique_ptr<QMNetworkReachabilityHandle> reachability, QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
    QMParameterAssert(reachability != nullptr, "reachability");
    d->handle = std::move(reachability);
}

QMNetworkReachability::~QMNetworkReachability()
{
    stopMonitoringNetworkReachability();
    // The handle goes before the queues: its monitoring has ended (or, when this runs inside
    // the change handling, ends once it returns), so the reachability queue has nothing left
    // to wait for.
    d->handle.reset();
}

std::shared_ptr<QMNetworkReachabilityDelegate> QMNetworkReachability::delegate() const
{
    std::lock_guard lock(d->mutex);
    return d->delegate.lock();
}

void QMNetworkReachability::setDelegate(
        const std::shared_ptr<QMNetworkReachabilityDelegate> &delegate)
{
    std::lock_guard lock(d->mutex);
    d->delegate = delegate;
}

QString QMNetworkReachability::host() const
{
    return d->host;
}

bool QMNetworkReachability::isMonitoring() const
{
    return d->monitoring.load();
}

bool QMNetworkReachability::isReachable() const
{
    if (d->monitoring.load() && d->initialized.load())
        return d->reachable.load();
    QMNetworkReachabilityFlags flags = 0;
    if (!d->handle->getFlags(&flags))
        return false;
    const bool reachable = isReachableWithFlags(flags);
    d->reachable.store(reachable);
    d->initialized.store(true);
    return reachable;
}

bool QMNetworkReachability::isReachableFlagInitialized() const
{
    return d->initialized.load();
}

QMNetworkReachabilityFlags QMNetworkReachability::lastFlags() const
{
    return d->lastFlags.load();
}

QMNetworkReachability::NotificationBlock QMNetworkReachability::notificationBlock() const
{
    std::lock_guard lock(d->mutex);
    return d->block;
}

void QMNetworkReachability::setNotificationBlock(NotificationBlock block)
{
    std::lock_guard lock(d->mutex);
    d->block = std::move(block);
}

QMNetworkReachabilityHandle *QMNetworkReachability::networkReachability() const
{
    return d->handle.get();
}

std::shared_ptr<QMOperationQueue> QMNetworkReachability::networkReachabilityQueue() const
{
    return d->reachabilityQueue;
}

std::shared_ptr<QMOperationQueue> QMNetworkReachability::backgroundQueue() const
{
    return d->backgroundQueue;
}

void QMNetworkReachability::startMonitoringNetworkReachability()
{
    if (d->monitoring.load())
        return;
    if (!d->handle->setDispatchQueue(d->reachabilityQueue)) {
        d->handle->setDispatchQueue(nullptr);
        return;
    }
    // Weakly held: a change that arrives while the object is being destroyed does nothing.
    const bool installed
            = d->handle->setCallback([weak = weak_from_this()](QMNetworkReachabilityFlags flags) {
                  if (const auto self = weak.lock())
                      self->networkReachabilityDidChange(flags);
              });
    if (!installed) {
        d->handle->setDispatchQueue(nullptr);
        d->handle->setCallback(nullptr);
        return;
    }
    d->monitoring.store(true);
}

void QMNetworkReachability::stopMonitoringNetworkReachability()
{
    if (!d->monitoring.load())
        return;
    d->handle->setDispatchQueue(nullptr);
    d->handle->setCallback(nullptr);
    d->monitoring.store(false);
}

void QMNetworkReachability::checkNetworkReachabilityForHost(const QString &hostName,
                                                            CompletionHandler completionHandler)
{
    QMParameterAssert(!hostName.isNull(), "hostname");
    QMParameterAssert(bool(completionHandler), "completionHandler");
    d->backgroundQueue->addOperationWithBlock([hostName, handler = std::move(completionHandler)] {
        const bool reachable
                = readReachable(*QMNetworkReachabilityHandle::createWithName(hostName));
        QMUncaughtExceptions::invokeGuarded("a reachability completion handler",
                                            [&] { handler(hostName, reachable); });
    });
}

void QMNetworkReachability::networkReachabilityDidChange(QMNetworkReachabilityFlags flags)
{
    d->lastFlags.store(flags);
    d->reachable.store(isReachableWithFlags(flags));
    d->initialized.store(true);
    // Each of the three on its own: one that throws keeps neither of the others from hearing of
    // the change.
    QMUncaughtExceptions::invokeGuarded("a reachability notification", [&] {
        QMNotificationCenter::defaultCenter()->postNotificationName(
                QMNetworkReachabilityDidChangeNotification, this);
    });
    if (const std::shared_ptr<QMNetworkReachabilityDelegate> target = delegate())
        QMUncaughtExceptions::invokeGuarded("a reachability delegate",
                                            [&] { target->networkReachabilityDidChange(this); });
    if (const NotificationBlock block = notificationBlock())
        QMUncaughtExceptions::invokeGuarded("a reachability notification block",
                                            [&] { block(d->host, isReachable()); });
    QMUncaughtExceptions::invokeGuarded("a reachability signal",
                                        [&] { Q_EMIT flagsChanged(flags); });
}

#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/platform/QMNetworkReachabilityHandle.h>

#include <QFuture>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

class QMNetworkReachability;
class QMOperationQueue;

/// The notification posted on the default QMNotificationCenter after each change of a monitored
/// QMNetworkReachability, with that object as the sender and no user information.
QMF_CORE_EXPORT extern const QString QMNetworkReachabilityDidChangeNotification;

/// The delegate of a QMNetworkReachability, told of each change.
class QMF_CORE_EXPORT QMNetworkReachabilityDelegate
{
public:
    virtual ~QMNetworkReachabilityDelegate();
    /// Called on the object's networkReachabilityQueue() after the notification; does nothing
    /// here.
    virtual void networkReachabilityDidChange(QMNetworkReachability *reachability);
};

/// Whether a host, an IPv4 address or the internet connection can be reached: once, on the
/// calling thread, on a background queue or as a future (flagsForHostAsync()), or continuously,
/// announcing each change by a notification, a delegate call, a block and the flagsChanged()
/// signal, in that order.
///
/// The answers come from the kernel's routing table through QMNetworkReachabilityHandle (see
/// there for what each flag means on Linux). Reachable means a route exists over an interface
/// that is up; nothing is sent to the host.
///
/// Threads: changes arrive on networkReachabilityQueue(), one-off checks run their handler on
/// backgroundQueue(). The notification block and the delegate may be set from any thread; the
/// answers are atomics. Start and stop monitoring from one thread at a time (the change
/// handling's own thread included). Monitoring holds the object weakly, so it needs the object
/// to be owned by a std::shared_ptr (as every factory here makes it); destroying the object
/// stops monitoring, waits for a change being delivered on another thread, and closes the
/// netlink socket. An exception that leaves the notification's observers, the delegate, the block
/// or a one-off check's handler goes to QMUncaughtExceptions (which aborts unless the host
/// installed a handler of its own); the other two still hear of the change, and monitoring and
/// the background queue go on.
class QMF_CORE_EXPORT QMNetworkReachability
    : public QObject,
      public std::enable_shared_from_this<QMNetworkReachability>
{
    Q_OBJECT

public:
    /// Receives host() and the reachability after each change; see notificationBlock().
    using NotificationBlock = std::function<void(const QString &host, bool reachable)>;
    /// Receives the host and its reachability once, for a one-off check.
    using CompletionHandler = std::function<void(const QString &host, bool reachable)>;

    /// True exactly when `flags` has Reachable and not ConnectionRequired.
    static bool isReachableWithFlags(QMNetworkReachabilityFlags flags);
    /// The names of the set bits ("kSCNetworkReachabilityFlagsReachable", ...), Reachable first,
    /// then TransientConnection, ConnectionRequired, ConnectionOnTraffic, InterventionRequired,
    /// ConnectionOnDemand, IsLocalAddress, IsDirect.
    static QStringList stringValuesForFlags(QMNetworkReachabilityFlags flags);

    /// Reads the flags for `hostName` once, on the calling thread (resolving the name there):
    /// false when they cannot be read, else isReachableWithFlags(). An empty or unresolvable
    /// name is not available. Throws "Invalid parameter not satisfying: hostname" for a null
    /// QString.
    static bool isHostAvailable(const QString &hostName);

    /// The flags for `hostName` (a host name or an address in text), read once on a thread of
    /// the library, as a future: it resolves with the flags (0 for a name that does not
    /// resolve; isReachableWithFlags() turns them into an answer), or fails with a
    /// QMNetworkReachabilityErrorDomain error: QMNetworkReachabilityErrorResolutionTimedOut
    /// when no answer came within `resolutionTimeout`, QMNetworkReachabilityErrorUnavailable
    /// when the kernel cannot be asked. Cancelling the future ends the wait; the future reads
    /// as cancelled.
    ///
    /// Name resolution (getaddrinfo()) cannot be interrupted: it runs on a thread of its own,
    /// and a resolution that outlasts its deadline is left to end by itself, its answer
    /// dropped. At most maximumPendingResolutions() such threads exist at once in the process;
    /// a check that finds them all busy (resolvers stuck on a name server that does not answer,
    /// for one) waits for one of them to end, within its own deadline. The deadline counts from
    /// the call and covers that wait too. Throws "Invalid parameter not satisfying: hostname"
    /// for a null QString; any thread; needs no event loop.
    static QFuture<QMNetworkReachabilityFlags>
    flagsForHostAsync(const QString &hostName,
                      std::chrono::milliseconds resolutionTimeout = defaultResolutionTimeout());
    /// The deadline of flagsForHostAsync() unless given: 10 seconds.
    static std::chrono::milliseconds defaultResolutionTimeout();
    /// How many name resolutions flagsForHostAsync() runs at once in the process, stuck ones
    /// included: 4.
    static int maximumPendingResolutions();

    /// An object for `hostName`, whose host() it is. Throws "... hostname" for a null QString.
    static std::shared_ptr<QMNetworkReachability>
    networkReachabilityWithHostName(const QString &hostName);
    /// An object for the IPv4 address in dotted text ("192.0.2.1": four decimal numbers, as
    /// inet_pton() reads them); host() is the text. Throws "... internetAddress" for a null
    /// QString; returns null with a QMNetworkReachabilityErrorDomain error for text that is no
    /// such address.
    static std::shared_ptr<QMNetworkReachability>
    networkReachabilityWithIP4AddressString(const QString &internetAddress,
                                            QMError *error = nullptr);
    /// An object for 0.0.0.0, the internet connection (a default route of IPv4 or IPv6); host() is
    /// null.
    static std::shared_ptr<QMNetworkReachability> networkReachabilityForInternetConnection();
    /// The process's one internet-connection object, made on first use.
    static std::shared_ptr<QMNetworkReachability> sharedNetworkReachability();
    /// checkNetworkReachabilityForHost() on sharedNetworkReachability() (a class-level function
    /// cannot share the member's name and parameters in C++).
    static void checkSharedNetworkReachabilityForHost(const QString &hostName,
                                                      CompletionHandler completionHandler);

    /// Takes ownership of `reachability` and makes the two queues. Throws "Invalid parameter not
    /// satisfying: reachability" for a null handle.
    explicit QMNetworkReachability(std::unique_ptr<QMNetworkReachabilityHandle> reachability,
                                   QObject *parent = nullptr);
    /// Stops monitoring, then releases the handle and the queues.
    ~QMNetworkReachability() override;

    /// Weakly held.
    std::shared_ptr<QMNetworkReachabilityDelegate> delegate() const;
    /// Sets the delegate, held weakly; null removes it.
    void setDelegate(const std::shared_ptr<QMNetworkReachabilityDelegate> &delegate);

    /// The host name or address text the object was made for; null for the internet connection.
    QString host() const;
    /// True between startMonitoringNetworkReachability() and the stop of monitoring.
    bool isMonitoring() const;
    /// While monitoring and once a change has been handled, the answer of that change; otherwise
    /// the flags are read now (false when they cannot be), and the answer is kept.
    bool isReachable() const;
    /// True once isReachable() holds an answer.
    bool isReachableFlagInitialized() const;
    /// The flags of the last change handled; 0 before the first.
    QMNetworkReachabilityFlags lastFlags() const;

    /// Called with host() and isReachable() after each change, on networkReachabilityQueue().
    NotificationBlock notificationBlock() const;
    /// Sets the notification block; an empty block removes it.
    void setNotificationBlock(NotificationBlock block);

    /// The kernel-backed handle that reads the flags and watches for changes; owned by this object.
    QMNetworkReachabilityHandle *networkReachability() const;
    /// A serial queue named QMMakeFoundationQueueName("NetworkReachability.
    /// SCNetworkReachabilityQueue"); changes are delivered there.
    std::shared_ptr<QMOperationQueue> networkReachabilityQueue() const;
    /// A serial queue named QMMakeFoundationQueueName("NetworkReachability.BackgroundQueue");
    /// one-off checks run there.
    std::shared_ptr<QMOperationQueue> backgroundQueue() const;

    /// Starts delivering changes (only when not monitoring). Stays off, silently, when the
    /// handle refuses the queue or the callback (no netlink socket).
    void startMonitoringNetworkReachability();
    /// Stops delivering changes (only when monitoring).
    void stopMonitoringNetworkReachability();

    /// On backgroundQueue(): reads the flags for `hostName` once and calls `completionHandler`
    /// there with the name and the answer (false when the flags cannot be read). Throws
    /// "... hostname" for a null QString and "... completionHandler" without a handler.
    void checkNetworkReachabilityForHost(const QString &hostName,
                                         CompletionHandler completionHandler);

    /// The change handling: keeps the answer of `flags`, posts
    /// QMNetworkReachabilityDidChangeNotification, tells the delegate, calls the notification
    /// block. Called by monitoring on networkReachabilityQueue().
    void networkReachabilityDidChange(QMNetworkReachabilityFlags flags);

Q_SIGNALS:
    /// Emitted with the new flags after each change, after the notification, the delegate and
    /// the block have heard of it, on networkReachabilityQueue()'s thread: connect with a
    /// context object to receive it on that object's thread. An exception that leaves a
    /// directly connected slot goes to QMUncaughtExceptions.
    void flagsChanged(QMNetworkReachabilityFlags flags);

private:
    class Private;
    std::unique_ptr<Private> d;
};

/// The error domain of networkReachabilityWithIP4AddressString().
QMF_CORE_EXPORT extern const QString QMNetworkReachabilityErrorDomain;

/// Codes of QMNetworkReachabilityErrorDomain.
enum QMNetworkReachabilityErrorCode : qint64 {
    /// The text is not an IPv4 address in dotted decimal form.
    QMNetworkReachabilityErrorInvalidAddress = 1,
    /// flagsForHostAsync(): no answer within the deadline (a name server that does not answer,
    /// or every resolution thread still busy).
    QMNetworkReachabilityErrorResolutionTimedOut = 2,
    /// flagsForHostAsync(): the kernel cannot be asked (no netlink socket).
    QMNetworkReachabilityErrorUnavailable = 3,
};

#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

struct sockaddr;
class QMOperationQueue;

/// The reachability flag word: a combination of QMNetworkReachabilityFlag bits.
using QMNetworkReachabilityFlags = quint32;

/// The bits of QMNetworkReachabilityFlags. On Linux only Reachable, IsLocalAddress and IsDirect
/// are ever set (see QMNetworkReachabilityHandle); the others keep their values so that flag
/// words from elsewhere read the same.
enum QMNetworkReachabilityFlag : quint32 {
    QMNetworkReachabilityFlagTransientConnection = 1,
    QMNetworkReachabilityFlagReachable = 2,
    QMNetworkReachabilityFlagConnectionRequired = 4,
    QMNetworkReachabilityFlagConnectionOnTraffic = 8,
    QMNetworkReachabilityFlagInterventionRequired = 16,
    QMNetworkReachabilityFlagConnectionOnDemand = 32,
    QMNetworkReachabilityFlagIsLocalAddress = 65536,
    QMNetworkReachabilityFlagIsDirect = 131072,
};

/// The reachability service: what the kernel's routing table says about a host name, an address
/// or the internet connection, once or whenever it changes.
///
/// Flags, from the route the kernel would use (rtnetlink's RTM_GETROUTE; nothing is sent on the
/// network):
/// - an address: Reachable when a route exists and its output interface is up and running;
///   IsLocalAddress when the route is a local one (an address of this machine); IsDirect when
///   the route has no gateway. Routes of the unreachable, prohibit and blackhole kinds count as
///   none, so they give no flags at all.
/// - the all-zero IPv4 address (the internet connection): Reachable when a default route (IPv4,
///   or else IPv6, so that an IPv6-only network counts) exists whose interface is up and
///   running, IsDirect when that route has no gateway.
/// - a host name: resolved with getaddrinfo() (IPv4 and IPv6) at each reading; the flags of its
///   first reachable address, else none. A name that is empty, longer than 253 characters once
///   in ASCII form, or that does not resolve is not reachable.
///
/// ConnectionRequired, TransientConnection and the on-demand and intervention bits are never set
/// here: Linux connects no link on demand.
///
/// Monitoring: with both a queue and a callback set, one netlink socket subscribed to link,
/// address and route changes is read by one long-running operation on the queue; after each
/// batch of kernel messages the flags are read again and, when they differ from the last ones,
/// the callback is called there with them. The flags at the start are the first "last ones":
/// starting calls nothing. An exception that leaves the callback goes to QMUncaughtExceptions;
/// monitoring goes on.
///
/// Threads: getFlags() may be called from any thread at any time. setDispatchQueue() and
/// setCallback() belong to one thread at a time; they may be called from the callback itself.
class QMF_CORE_EXPORT QMNetworkReachabilityHandle
{
public:
    /// Receives the new flags after a change.
    using Callback = std::function<void(QMNetworkReachabilityFlags)>;

    /// A handle for `name` (a host name, or an address in text). Never null.
    static std::unique_ptr<QMNetworkReachabilityHandle> createWithName(const QString &name);
    /// A handle for an IPv4 or IPv6 socket address (only the address is used); null for any other
    /// family or a null pointer.
    static std::unique_ptr<QMNetworkReachabilityHandle> createWithAddress(const sockaddr *address);

    /// Stops monitoring (waiting for a callback running on another thread) and closes the socket.
    ~QMNetworkReachabilityHandle();
    QMNetworkReachabilityHandle(const QMNetworkReachabilityHandle &) = delete;
    QMNetworkReachabilityHandle &operator=(const QMNetworkReachabilityHandle &) = delete;

    /// Reads the flags now into `*flags`. False, leaving `*flags` alone, when the kernel cannot be
    /// asked (no netlink socket); a name that does not resolve reads as 0.
    bool getFlags(QMNetworkReachabilityFlags *flags) const;

    /// Where the callback runs; null stops monitoring. Refused (false) for the main queue, whose
    /// thread the monitoring loop would take.
    bool setDispatchQueue(const std::shared_ptr<QMOperationQueue> &queue);
    /// The block called with the new flags; null stops monitoring. With a queue set this starts
    /// monitoring, and returns false (monitoring nothing) when the netlink socket cannot be made.
    bool setCallback(Callback callback);

private:
    class Private;
    explicit QMNetworkReachabilityHandle(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

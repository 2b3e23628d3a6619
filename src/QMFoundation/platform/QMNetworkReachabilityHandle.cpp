#include <QMFoundation/platform/QMNetworkReachabilityHandle.h>

#include "QMFoundation/platform/QMNetlink_p.h"
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QUrl>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Flags = QMNetworkReachabilityFlags;

// What a handle asks about.
struct Target
{
    int family = AF_UNSPEC; // AF_UNSPEC: a name
    unsigned char address[16] = {};
    QByteArray name; // in ASCII (punycode) form
};

// The longest name DNS can carry in text form.
constexpr qsizetype maximumNameLength = 253;

bool interfaceIsUp(QMNetlink::Socket &socket, std::uint32_t index)
{
    const std::optional<std::uint32_t> flags = QMNetlink::interfaceFlags(socket, index);
    return flags && (*flags & IFF_UP) && (*flags & IFF_RUNNING);
}

bool leadsSomewhere(std::uint8_t type)
{
    return type == RTN_UNICAST || type == RTN_LOCAL || type == RTN_BROADCAST || type == RTN_ANYCAST
            || type == RTN_MULTICAST;
}

// A default route of either family leads to the internet: a machine on an IPv6-only network
// is as connected as one with IPv4. IPv4 is asked first, IPv6 when IPv4 has no usable one.
std::optional<Flags> internetFlags(QMNetlink::Socket &socket)
{
    bool asked = false;
    for (const int family : {AF_INET, AF_INET6}) {
        const std::optional<QMNetlink::Reply> reply = QMNetlink::allRoutes(socket, family);
        if (!reply)
            continue;
        asked = true;
        for (const QMNetlink::Route &route : reply->routes) {
            if (route.family == family && route.destinationLength == 0 && route.type == RTN_UNICAST
                && route.table != RT_TABLE_LOCAL && interfaceIsUp(socket, route.outputInterface))
                return QMNetworkReachabilityFlagReachable
                        | (route.hasGateway ? Flags(0) : Flags(QMNetworkReachabilityFlagIsDirect));
        }
    }
    if (!asked)
        return std::nullopt;
    return 0;
}

std::optional<Flags> addressFlags(QMNetlink::Socket &socket, int family, const void *address)
{
    static const unsigned char zero[4] = {};
    if (family == AF_INET && std::memcmp(address, zero, 4) == 0)
        return internetFlags(socket);
    const std::optional<QMNetlink::Reply> reply = QMNetlink::routeTo(socket, family, address);
    if (!reply)
        return std::nullopt;
    // The kernel answers "no route" with an error (ENETUNREACH, EHOSTUNREACH, EACCES...).
    if (reply->routes.empty() || !leadsSomewhere(reply->routes.front().type))
        return 0;
    const QMNetlink::Route &route = reply->routes.front();
    Flags flags = 0;
    if (route.type == RTN_LOCAL)
        flags |= QMNetworkReachabilityFlagIsLocalAddress;
    if (!route.hasGateway)
        flags |= QMNetworkReachabilityFlagIsDirect;
    if (interfaceIsUp(socket, route.outputInterface))
        flags |= QMNetworkReachabilityFlagReachable;
    return flags;
}

std::optional<Flags> nameFlags(QMNetlink::Socket &socket, const QByteArray &name)
{
    if (name.isEmpty() || name.size() > maximumNameLength || name.contains('\0'))
        return 0;
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM; // one entry per address
    addrinfo *addresses = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &addresses) != 0)
        return 0;
    std::optional<Flags> result;
    for (const addrinfo *entry = addresses; entry; entry = entry->ai_next) {
        std::optional<Flags> flags;
        if (entry->ai_family == AF_INET)
            flags = addressFlags(socket, AF_INET,
                                 &reinterpret_cast<const sockaddr_in *>(entry->ai_addr)->sin_addr);
        else if (entry->ai_family == AF_INET6)
            flags = addressFlags(
                    socket, AF_INET6,
                    &reinterpret_cast<const sockaddr_in6 *>(entry->ai_addr)->sin6_addr);
        if (flags && (*flags & QMNetworkReachabilityFlagReachable)) {
            result = flags;
            break;
        }
        if (flags)
            result = 0;
    }
    ::freeaddrinfo(addresses);
    return result;
}

std::optional<Flags> readFlags(const Target &target)
{
    QMNetlink::Socket socket;
    if (!socket.isValid())
        return std::nullopt;
    return target.family == AF_UNSPEC ? nameFlags(socket, target.name)
                                      : addressFlags(socket, target.family, target.address);
}

// One monitoring run: its socket, and the hand-over between its loop and stop().
struct Monitor
{
    Monitor()
        : wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        socket.emplace(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE
                       | RTMGRP_IPV6_ROUTE);
    }
    ~Monitor()
    {
        if (wake >= 0)
            ::close(wake);
    }
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;

    // Runs on the queue until stop(): waits for kernel messages, reads them all (their content
    // does not matter, only that something changed), and reads the flags once the messages have
    // stopped for settleTime. One change of the system comes as a burst of messages (a link going
    // down takes its routes out one by one, each announced just before it leaves the table), and
    // a reading in the middle of the burst sees a state that was never meant to be one, which
    // would be reported as a change of its own. Messages that never stop for settleTime are read
    // through at least every longestDelay.
    void loop(const Target &target, const QMNetworkReachabilityHandle::Callback &callback,
              Flags last)
    {
        using Clock = std::chrono::steady_clock;
        constexpr auto settleTime = std::chrono::milliseconds(20);
        constexpr auto longestDelay = std::chrono::milliseconds(200);
        loopThread.store(std::this_thread::get_id());
        pollfd fds[2] = {{socket->descriptor(), POLLIN, 0}, {wake, POLLIN, 0}};
        std::optional<Clock::time_point> unreadSince; // the first message not yet read through
        while (!stopping.load()) {
            int timeout = -1;
            if (unreadSince) {
                const auto left
                        = std::max(Clock::duration::zero(),
                                   std::min<Clock::duration>(
                                           settleTime, *unreadSince + longestDelay - Clock::now()));
                timeout = int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
            }
            const int ready = ::poll(fds, 2, timeout);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (stopping.load())
                break;
            if (ready > 0) {
                char buffer[8192];
                for (;;) {
                    const ssize_t received
                            = ::recv(socket->descriptor(), buffer, sizeof buffer, MSG_DONTWAIT);
                    // ENOBUFS: the kernel dropped messages; the fresh reading covers them.
                    if (received > 0 || (received < 0 && (errno == ENOBUFS || errno == EINTR)))
                        continue;
                    break;
                }
                if (!unreadSince)
                    unreadSince = Clock::now();
                if (Clock::now() - *unreadSince < longestDelay)
                    continue;
            }
            if (!unreadSince)
                continue;
            unreadSince.reset();
            const std::optional<Flags> flags = readFlags(target);
            if (flags && *flags != last) {
                last = *flags;
                // The loop goes on whatever the callback does.
                QMUncaughtExceptions::invokeGuarded("a reachability change callback",
                                                    [&] { callback(*flags); });
            }
        }
        // The descriptors close here, before stop() returns: the queue may drop its reference to
        // this run only later, and a stopped monitor must leave nothing open behind it.
        std::lock_guard lock(mutex);
        socket.reset();
        ::close(std::exchange(wake, -1));
        finished = true;
        ended.notify_all();
    }

    void stop()
    {
        stopping.store(true);
        {
            // Under the lock, so that the loop cannot have closed the descriptor (and the number
            // gone to another file) in between.
            std::lock_guard lock(mutex);
            if (wake >= 0) {
                const std::uint64_t one = 1;
                [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
            }
        }
        // Stopped from the callback: the loop ends as soon as the callback returns.
        if (loopThread.load() == std::this_thread::get_id())
            return;
        std::unique_lock lock(mutex);
        ended.wait(lock, [this] { return finished; });
    }

    std::optional<QMNetlink::Socket> socket;
    int wake;
    std::atomic<bool> stopping {false};
    std::atomic<std::thread::id> loopThread {};
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
};

} // namespace

class QMNetworkReachabilityHandle::Private
{
public:
    bool restart()
    {
        if (monitor)
            std::exchange(monitor, nullptr)->stop();
        if (!queue || !callback)
            return true;
        auto started = std::make_shared<Monitor>();
        if (!started->socket->isValid() || started->wake < 0)
            return false;
        // Read after subscribing, so that no change between the two goes unnoticed.
        const Flags baseline = readFlags(target).value_or(0);
        monitor = started;
        queue->addOperationWithBlock([started, target = target, callback = callback, baseline] {
            started->loop(target, callback, baseline);
        });
        return true;
    }

    Target target;
    std::shared_ptr<QMOperationQueue> queue;
    Callback callback;
    std::shared_ptr<Monitor> monitor;
};

QMNetworkReachabilityHandle::QMNetworkReachabilityHandle(std::unique_ptr<Private> dd)
    : d(std::move(dd))
{ }

QMNetworkReachabilityHandle::~QMNetworkReachabilityHandle()
{
    if (d->monitor)
        d->monitor->stop();
}

std::unique_ptr<QMNetworkReachabilityHandle>
QMNetworkReachabilityHandle::createWithName(const QString &name)
{
    auto d = std::make_unique<Private>();
    // ASCII goes to the resolver as it is (address texts included); other names in their
    // punycode form, which toAce() refuses to make of what is no host name at all: such a name
    // stays empty, so not reachable.
    bool ascii = true;
    for (const QChar c : name)
        ascii = ascii && c.unicode() < 0x80;
    d->target.name = ascii ? name.toLatin1() : QUrl::toAce(name);
    return std::unique_ptr<QMNetworkReachabilityHandle>(
            new QMNetworkReachabilityHandle(std::move(d)));
}

std::unique_ptr<QMNetworkReachabilityHandle>
QMNetworkReachabilityHandle::createWithAddress(const sockaddr *address)
{
    if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6))
        return nullptr;
    auto d = std::make_unique<Private>();
    d->target.family = address->sa_family;
    if (address->sa_family == AF_INET)
        std::memcpy(d->target.address, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr,
                    4);
    else
        std::memcpy(d->target.address, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr,
                    16);
    return std::unique_ptr<QMNetworkReachabilityHandle>(
            new QMNetworkReachabilityHandle(std::move(d)));
}

bool QMNetworkReachabilityHandle::getFlags(QMNetworkReachabilityFlags *flags) const
{
    const std::optional<Flags> read = readFlags(d->target);
    if (!read)
        return false;
    *flags = *read;
    return true;
}

bool QMNetworkReachabilityHandle::setDispatchQueue(const std::shared_ptr<QMOperationQueue> &queue)
{
    // The loop occupies its queue's thread: the main thread must never be that.
    if (queue && queue->isMainQueue())
        return false;
    d->queue = queue;
    return d->restart();
}

bool QMNetworkReachabilityHandle::setCallback(Callback callback)
{
    d->callback = std::move(callback);
    return d->restart();
}

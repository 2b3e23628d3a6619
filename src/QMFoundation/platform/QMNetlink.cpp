#include "QMFoundation/platform/QMNetlink_p.h"

#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace QMNetlink {

namespace {

// Attributes are read by copying: the kernel aligns them to 4 bytes, a fuzzer does not.
template<typename T>
T readValue(const unsigned char *at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Walks the attributes in [data, data + size) and calls `visit(type, payload, length)` for
// each; false when one runs past the end.
template<typename Visit>
bool walkAttributes(const unsigned char *data, std::size_t size, Visit visit)
{
    while (size >= sizeof(rtattr)) {
        const auto header = readValue<rtattr>(data);
        if (header.rta_len < sizeof(rtattr) || header.rta_len > size)
            return false;
        visit(header.rta_type, data + RTA_LENGTH(0), std::size_t(header.rta_len) - RTA_LENGTH(0));
        const std::size_t step = RTA_ALIGN(header.rta_len);
        if (step >= size)
            break;
        data += step;
        size -= step;
    }
    return true;
}

bool readRoute(const unsigned char *data, std::size_t size, Route &route)
{
    if (size < sizeof(rtmsg))
        return false;
    const auto header = readValue<rtmsg>(data);
    route.family = header.rtm_family;
    route.destinationLength = header.rtm_dst_len;
    route.type = header.rtm_type;
    route.table = header.rtm_table;
    const std::size_t offset = NLMSG_ALIGN(sizeof(rtmsg));
    if (size <= offset)
        return true;
    bool nested = true;
    const bool walked = walkAttributes(
            data + offset, size - offset,
            [&](unsigned type, const unsigned char *payload, std::size_t length) {
                if ((type == RTA_OIF || type == RTA_TABLE) && length >= 4) {
                    (type == RTA_OIF ? route.outputInterface : route.table)
                            = readValue<std::uint32_t>(payload);
                } else if (type == RTA_GATEWAY || type == RTA_VIA) {
                    route.hasGateway = true;
                } else if (type == RTA_MULTIPATH && length >= sizeof(rtnexthop)) {
                    // Several next hops: the first one stands for the route.
                    const auto hop = readValue<rtnexthop>(payload);
                    if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > length) {
                        nested = false;
                        return;
                    }
                    route.outputInterface = std::uint32_t(hop.rtnh_ifindex);
                    nested = walkAttributes(
                            payload + RTNH_LENGTH(0), hop.rtnh_len - RTNH_LENGTH(0),
                            [&](unsigned hopType, const unsigned char *, std::size_t) {
                                if (hopType == RTA_GATEWAY || hopType == RTA_VIA)
                                    route.hasGateway = true;
                            });
                }
            });
    return walked && nested;
}

} // namespace

bool parseMessages(const void *data, std::size_t size, Reply &reply)
{
    auto at = static_cast<const unsigned char *>(data);
    while (size >= sizeof(nlmsghdr)) {
        const auto header = readValue<nlmsghdr>(at);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size)
            return false;
        const unsigned char *payload = at + NLMSG_HDRLEN;
        const std::size_t length = header.nlmsg_len - NLMSG_HDRLEN;
        switch (header.nlmsg_type) {
        case NLMSG_DONE:
            reply.done = true;
            break;
        case NLMSG_ERROR: {
            if (length < sizeof(nlmsgerr))
                return false;
            const int error = readValue<nlmsgerr>(payload).error;
            // 0 acknowledges a request; the kernel sends errors negated.
            if (error != 0)
                reply.error = error == INT32_MIN ? EINVAL : (error < 0 ? -error : error);
            reply.done = true;
            break;
        }
        case RTM_NEWROUTE: {
            Route route;
            if (!readRoute(payload, length, route))
                return false;
            reply.routes.push_back(route);
            break;
        }
        case RTM_NEWLINK:
            if (length < sizeof(ifinfomsg))
                return false;
            reply.links.push_back({readValue<ifinfomsg>(payload).ifi_index,
                                   readValue<ifinfomsg>(payload).ifi_flags});
            break;
        default:
            break;
        }
        const std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
        if (step >= size)
            break;
        at += step;
        size -= step;
    }
    return true;
}

Socket::Socket(std::uint32_t groups)
    : m_fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE))
{
    if (m_fd < 0)
        return;
    sockaddr_nl local {};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    // A question is answered at once; the time-out only keeps a wedged kernel from hanging the
    // caller. A subscribed socket is polled and never waits in recv().
    const timeval timeout {2, 0};
    if ((groups == 0 && ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        || ::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

Socket::~Socket()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<Reply> Socket::ask(void *request, std::size_t size)
{
    if (m_fd < 0)
        return std::nullopt;
    auto *header = static_cast<nlmsghdr *>(request);
    header->nlmsg_seq = ++m_sequence;
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(m_fd, request, size, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel)
        != ssize_t(size))
        return std::nullopt;
    Reply reply;
    // 32 KiB holds any single message the kernel sends for these questions.
    alignas(nlmsghdr) static thread_local unsigned char buffer[32768];
    const bool dump = header->nlmsg_flags & NLM_F_DUMP;
    while (!reply.done) {
        sockaddr_nl sender {};
        socklen_t senderSize = sizeof sender;
        const ssize_t received = ::recvfrom(m_fd, buffer, sizeof buffer, 0,
                                            reinterpret_cast<sockaddr *>(&sender), &senderSize);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        // Only the kernel (port 0) answers; anything else sent to this socket is ignored.
        if (sender.nl_pid != 0)
            continue;
        // Answers to an earlier question that timed out are not ours; the socket is not
        // subscribed to anything here, so only sequence numbers tell them apart.
        if (std::size_t(received) >= sizeof(nlmsghdr)
            && readValue<nlmsghdr>(buffer).nlmsg_seq != m_sequence)
            continue;
        if (!parseMessages(buffer, std::size_t(received), reply))
            return std::nullopt;
        // A plain question gets one message back, which ends the answer.
        if (!dump && (!reply.routes.empty() || !reply.links.empty()))
            break;
    }
    return reply;
}

std::optional<Reply> routeTo(Socket &socket, int family, const void *address)
{
    const std::size_t addressSize = family == AF_INET6 ? 16 : 4;
    struct
    {
        nlmsghdr header;
        rtmsg route;
        alignas(4) unsigned char attributes[RTA_SPACE(16)];
    } request {};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg)) + RTA_SPACE(addressSize);
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.route.rtm_family = std::uint8_t(family);
    request.route.rtm_dst_len = std::uint8_t(addressSize * 8);
    rtattr destination {};
    destination.rta_len = std::uint16_t(RTA_LENGTH(addressSize));
    destination.rta_type = RTA_DST;
    std::memcpy(request.attributes, &destination, sizeof destination);
    std::memcpy(request.attributes + RTA_LENGTH(0), address, addressSize);
    return socket.ask(&request, request.header.nlmsg_len);
}

std::optional<Reply> allRoutes(Socket &socket, int family)
{
    struct
    {
        nlmsghdr header;
        rtmsg route;
    } request {};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.route.rtm_family = std::uint8_t(family);
    return socket.ask(&request, request.header.nlmsg_len);
}

std::optional<std::uint32_t> interfaceFlags(Socket &socket, std::uint32_t index)
{
    struct
    {
        nlmsghdr header;
        ifinfomsg link;
    } request {};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = std::int32_t(index);
    const std::optional<Reply> reply = socket.ask(&request, request.header.nlmsg_len);
    if (!reply || reply->links.empty())
        return std::nullopt;
    return reply->links.front().flags;
}

} // namespace QMNetlink

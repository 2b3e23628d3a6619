#pragma once

// Internal: not installed. The routing-table questions behind QMNetworkReachabilityHandle, asked
// of the kernel over rtnetlink, and the reader of its answers (kept apart from the sockets so
// that fuzz_netlink can feed it arbitrary bytes).

#include <QMFoundation/QMFoundationCoreExport.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace QMNetlink {

/// One route from an RTM_NEWROUTE message.
struct Route
{
    std::uint8_t family = 0;
    std::uint8_t destinationLength = 0;
    std::uint8_t type = 0; // RTN_UNICAST, RTN_LOCAL, ...
    std::uint32_t table = 0;
    std::uint32_t outputInterface = 0; // 0 when the message names none
    bool hasGateway = false;
};

/// One interface from an RTM_NEWLINK message.
struct Link
{
    std::int32_t index = 0;
    std::uint32_t flags = 0; // IFF_UP, IFF_RUNNING, ...
};

/// What a buffer of netlink messages said.
struct Reply
{
    std::vector<Route> routes;
    std::vector<Link> links;
    int error = 0; // the (positive) errno of an NLMSG_ERROR that is not an acknowledgement
    bool done = false; // an NLMSG_DONE, or an NLMSG_ERROR, ended the answer
};

/// Reads the messages in `data` (as one recv() returned them) into `reply`, adding to what it
/// holds. Messages of other types are skipped. Returns false, keeping what was read before,
/// when a message or attribute runs past the buffer or is shorter than its header: the kernel
/// never sends such bytes, so they end the reading rather than being guessed at.
QMF_CORE_EXPORT bool parseMessages(const void *data, std::size_t size, Reply &reply);

/// A netlink route socket. Move-only; closes its descriptor.
class Socket
{
public:
    /// Opens a socket subscribed to `groups` (RTMGRP_* bits; 0 for questions only). Check
    /// isValid().
    explicit Socket(std::uint32_t groups = 0);
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    bool isValid() const { return m_fd >= 0; }
    int descriptor() const { return m_fd; }

    /// Sends `request` (a complete netlink message whose sequence number is set here) and reads
    /// the answer until it ends. std::nullopt when the socket fails or the answer is malformed.
    std::optional<Reply> ask(void *request, std::size_t size);

private:
    int m_fd = -1;
    std::uint32_t m_sequence = 0;
};

/// The route the kernel would use towards `address` (4 bytes for AF_INET, 16 for AF_INET6):
/// std::nullopt when the kernel could not be asked; a Reply without routes when it has none.
std::optional<Reply> routeTo(Socket &socket, int family, const void *address);
/// Every route of `family` (a dump of the routing tables).
std::optional<Reply> allRoutes(Socket &socket, int family);
/// The flags of interface `index`, std::nullopt when it cannot be read.
std::optional<std::uint32_t> interfaceFlags(Socket &socket, std::uint32_t index);

} // namespace QMNetlink

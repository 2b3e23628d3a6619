// The reader of rtnetlink messages behind network reachability, on raw bytes and on route
// messages built from the input whose reading is predicted.

#include "QMFoundation/platform/QMNetlink_p.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

namespace {

void appendAttribute(std::vector<unsigned char> &message, unsigned short type, const void *payload,
                     std::size_t length)
{
    rtattr header {};
    header.rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
    header.rta_type = type;
    const std::size_t at = message.size();
    message.resize(at + RTA_SPACE(length));
    std::memcpy(message.data() + at, &header, sizeof header);
    std::memcpy(message.data() + at + RTA_LENGTH(0), payload, length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QMNetlink::Reply reply;
    QMNetlink::parseMessages(data, size, reply);
    // Every message read took at least a header's worth of the input.
    if ((reply.routes.size() + reply.links.size()) * sizeof(nlmsghdr) > size)
        std::abort();

    if (size < 9)
        return 0;
    // A route with the input's family, length, table, type, interface and, on an odd first
    // byte, a gateway; followed by the rest of the input as further messages.
    std::vector<unsigned char> message(NLMSG_LENGTH(sizeof(rtmsg)));
    rtmsg route {};
    route.rtm_family = data[0];
    route.rtm_dst_len = data[1];
    route.rtm_table = data[2];
    route.rtm_type = data[3];
    std::memcpy(message.data() + NLMSG_HDRLEN, &route, sizeof route);
    message.resize(NLMSG_ALIGN(message.size()));
    appendAttribute(message, RTA_OIF, data + 4, 4);
    if (data[0] & 1)
        appendAttribute(message, RTA_GATEWAY, data + 4, 4);
    nlmsghdr header {};
    header.nlmsg_len = static_cast<std::uint32_t>(message.size());
    header.nlmsg_type = RTM_NEWROUTE;
    std::memcpy(message.data(), &header, sizeof header);
    message.insert(message.end(), data + 8, data + size);

    QMNetlink::Reply built;
    QMNetlink::parseMessages(message.data(), message.size(), built);
    std::uint32_t interface;
    std::memcpy(&interface, data + 4, 4);
    if (built.routes.empty())
        std::abort();
    const QMNetlink::Route &first = built.routes.front();
    if (first.family != data[0] || first.destinationLength != data[1] || first.table != data[2]
        || first.type != data[3]
        || first.outputInterface != interface || first.hasGateway != bool(data[0] & 1))
        std::abort();
    return 0;
}

// Network reachability: the cost of one flag reading beside one bare RTM_GETROUTE round trip on
// an open socket (the least any reading from the routing table costs), and the time from a route
// change to the notification block of a monitored object.
//
// The program moves into a network namespace of its own first (it needs root for that) with lo
// and a veth pair bench0 (10.2.0.1/24) and bench1 up, so that its route changes touch nothing else.

#include <QMFoundation/platform/QMNetworkReachability.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool inNamespace = false;

// A netlink route socket for the peer and for changing routes.
class RouteSocket
{
public:
    RouteSocket()
        : m_fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE))
    { }
    ~RouteSocket() { ::close(m_fd); }

    // Sends a route message for `address`/`length` (RTA_DST, left out for length 0) and, with
    // `interface`, RTA_OIF; reads the one answer. True unless the kernel answered with an error.
    bool send(unsigned short type, unsigned short flags, unsigned char length, in_addr address,
              int interface = 0)
    {
        struct
        {
            nlmsghdr header;
            rtmsg route;
            unsigned char attributes[2 * RTA_SPACE(4)];
        } request {};
        std::size_t size = NLMSG_LENGTH(sizeof(rtmsg));
        const auto add = [&](unsigned short attribute, const void *value) {
            auto *at = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(&request) + size);
            at->rta_type = attribute;
            at->rta_len = RTA_LENGTH(4);
            std::memcpy(RTA_DATA(at), value, 4);
            size += RTA_SPACE(4);
        };
        request.route.rtm_family = AF_INET;
        request.route.rtm_dst_len = length;
        request.route.rtm_table = RT_TABLE_MAIN;
        request.route.rtm_protocol = RTPROT_BOOT;
        request.route.rtm_scope = RT_SCOPE_LINK;
        request.route.rtm_type = RTN_UNICAST;
        if (length)
            add(RTA_DST, &address);
        if (interface)
            add(RTA_OIF, &interface);
        request.header.nlmsg_len = std::uint32_t(size);
        request.header.nlmsg_type = type;
        request.header.nlmsg_flags = NLM_F_REQUEST | flags;
        request.header.nlmsg_seq = ++m_sequence;
        if (::send(m_fd, &request, size, 0) != ssize_t(size))
            return false;
        alignas(nlmsghdr) char buffer[8192];
        const ssize_t received = ::recv(m_fd, buffer, sizeof buffer, 0);
        const auto *answer = reinterpret_cast<const nlmsghdr *>(buffer);
        return received >= ssize_t(sizeof(nlmsghdr))
                && (answer->nlmsg_type != NLMSG_ERROR
                    || static_cast<const nlmsgerr *>(NLMSG_DATA(answer))->error == 0);
    }

private:
    int m_fd;
    std::uint32_t m_sequence = 0;
};

in_addr address(const char *text)
{
    in_addr result {};
    ::inet_pton(AF_INET, text, &result);
    return result;
}

// The peer address is on bench0's subnet: a route with an interface to look at.
const char *const targets[] = {"127.0.0.1", "10.2.0.2", "0.0.0.0"};

void BM_ReachabilityFlags(benchmark::State &state)
{
    const auto reachability = QMNetworkReachability::networkReachabilityWithIP4AddressString(
            QString::fromLatin1(targets[state.range(0)]));
    state.SetLabel(targets[state.range(0)]);
    for (auto _ : state) {
        QMNetworkReachabilityFlags flags = 0;
        if (!reachability->networkReachability()->getFlags(&flags))
            state.SkipWithError("the routing table cannot be read");
        benchmark::DoNotOptimize(flags);
    }
}
BENCHMARK(BM_ReachabilityFlags)->DenseRange(0, 2);

void BM_BareRouteQuestion(benchmark::State &state)
{
    RouteSocket socket;
    const in_addr target = address(targets[state.range(0)]);
    state.SetLabel(targets[state.range(0)]);
    for (auto _ : state)
        benchmark::DoNotOptimize(socket.send(RTM_GETROUTE, 0, 32, target));
}
BENCHMARK(BM_BareRouteQuestion)->DenseRange(0, 1);

// Each iteration adds a default route through bench0 and removes it again, and times both
// changes from the request to the block call that reports them (the average of the two). The
// "late" counter tells how many changes were reported only by the reading that follows the
// monitor's settle time (20 ms).
void BM_RouteChangeToBlock(benchmark::State &state)
{
    if (!inNamespace) {
        state.SkipWithError("needs root and ip, to change routes in a network namespace of "
                            "its own");
        return;
    }
    const int interface = int(::if_nametoindex("bench0"));
    std::mutex mutex;
    std::condition_variable called;
    bool reachable = false;
    std::chrono::steady_clock::time_point calledAt;
    const auto reachability = QMNetworkReachability::networkReachabilityForInternetConnection();
    reachability->setNotificationBlock([&](const QString &, bool now) {
        const auto at = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex);
        reachable = now;
        calledAt = at;
        called.notify_all();
    });
    reachability->startMonitoringNetworkReachability();
    RouteSocket socket;
    const auto change = [&](unsigned short type, unsigned short flags, bool expected) {
        const auto start = std::chrono::steady_clock::now();
        if (!socket.send(type, NLM_F_ACK | flags, 0, in_addr {}, interface))
            return -2.0;
        std::unique_lock lock(mutex);
        if (!called.wait_for(lock, std::chrono::seconds(5), [&] { return reachable == expected; }))
            return -1.0;
        return std::chrono::duration<double>(calledAt - start).count();
    };
    qint64 late = 0;
    for (auto _ : state) {
        const double added = change(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, true);
        const double removed = change(RTM_DELROUTE, 0, false);
        if (added < 0 || removed < 0) {
            state.SkipWithError(added == -2 || removed == -2
                                        ? "the kernel refused a route change"
                                        : "a route change was not reported within 5 seconds");
            break;
        }
        state.SetIterationTime((added + removed) / 2);
        // Reported by the reading after the settle time rather than at once.
        late += (added > 0.01) + (removed > 0.01);
    }
    state.counters["late"] = double(late);
}
BENCHMARK(BM_RouteChangeToBlock)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    // Before any thread exists, so that every thread made later is in the namespace too.
    inNamespace = ::unshare(CLONE_NEWNET) == 0
            && std::system("ip link set lo up && ip link add bench0 type veth peer name bench1 && "
                           "ip addr add 10.2.0.1/24 dev bench0 && ip link set bench0 up && "
                           "ip link set bench1 up")
                    == 0;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#include "ReachCommand.h"

#include <QMFoundation/platform/QMNetworkReachability.h>

#include <condition_variable>
#include <mutex>

#include <arpa/inet.h>

using namespace Qt::StringLiterals;

namespace {

// "reachable (name, name)" or "not reachable (no flags)".
QString reachabilityLine(QMNetworkReachabilityFlags flags)
{
    const QStringList names = QMNetworkReachability::stringValuesForFlags(flags);
    return u"%1 (%2)"_s.arg(QMNetworkReachability::isReachableWithFlags(flags) ? u"reachable"_s
                                                                               : u"not reachable"_s,
                            names.isEmpty() ? u"no flags"_s : names.join(u", "));
}

// Prints a line per change, on the reachability queue, and tells the waiting command how many
// it printed.
class Printer : public QMNetworkReachabilityDelegate
{
public:
    explicit Printer(QTextStream &out)
        : m_out(out)
    { }

    void networkReachabilityDidChange(QMNetworkReachability *reachability) override
    {
        std::lock_guard lock(m_mutex);
        m_out << reachabilityLine(reachability->lastFlags()) << Qt::endl;
        ++m_printed;
        m_failed = !Invocation::delivered(m_out);
        m_changed.notify_all();
    }

    /// Waits until `count` changes were printed (forever for -1) or the output failed.
    void waitFor(qint64 count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_failed || (count >= 0 && m_printed >= count); });
    }

private:
    QTextStream &m_out;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_printed = 0;
    bool m_failed = false;
};

std::shared_ptr<QMNetworkReachability> reachabilityFor(const QString &target)
{
    if (target.isNull())
        return QMNetworkReachability::networkReachabilityForInternetConnection();
    // Dotted IPv4 text is asked as an address, anything else as a host name.
    in_addr address {};
    if (::inet_pton(AF_INET, target.toLatin1().constData(), &address) == 1)
        return QMNetworkReachability::networkReachabilityWithIP4AddressString(target);
    return QMNetworkReachability::networkReachabilityWithHostName(target);
}

} // namespace

ToolCommand ReachCommand::command()
{
    const QMOptionPtr watch = QMOption::optionWithFlag(
            u"w"_s, u"watch"_s,
            u"After the current answer, print a line per change until interrupted"_s, QString(),
            QMOptionTypeNone, false);
    const QMOptionPtr count = QMOption::optionWithFlag(QString(), u"count"_s,
                                                       u"With --watch, stop after N changes"_s,
                                                       u"N"_s, QMOptionTypeString, false);
    return ToolCommand::make(
            u"reach"_s, {watch, count}, {u"HOST|ADDRESS"_s},
            u"Tell whether a host or the internet can be reached: reach [HOST|ADDRESS]\n\n"
            u"Usage: qmf reach [HOST|ADDRESS] [--watch [--count N]]\n\n"
            "Prints whether HOST (a name, resolved here) or ADDRESS (dotted IPv4) can be\n"
            "reached, from the kernel's routing table, and the reachability flags; without\n"
            "an argument, whether the internet connection can (an IPv4 default route on an\n"
            "interface that is up). Nothing is sent to the host. The exit status is 0 when\n"
            "reachable, 1 when not. With --watch, prints a line per change of the flags\n"
            "until interrupted (Ctrl-C) or, with --count, until N changes were printed."_s,
            [watch, count](Invocation &invocation) {
                if (invocation.arguments().size() > 1)
                    return invocation.usageError(u"reach takes at most one HOST or ADDRESS"_s);
                qint64 changes = -1;
                if (invocation.has(count)
                    && (!invocation.has(watch) || !invocation.countValue(count, &changes)))
                    return invocation.usageError(
                            u"--count needs --watch and a number of changes (0 or more)"_s);
                const auto reachability = reachabilityFor(invocation.arguments().value(0));
                QMNetworkReachabilityFlags flags = 0;
                if (!reachability->networkReachability()->getFlags(&flags)) {
                    invocation.err << "qmf: cannot ask the kernel's routing table (no netlink "
                                      "socket)"
                                   << Qt::endl;
                    return 1;
                }
                invocation.out << reachabilityLine(flags) << Qt::endl;
                if (!invocation.has(watch))
                    return QMNetworkReachability::isReachableWithFlags(flags) ? 0 : 1;
                if (changes == 0)
                    return 0;
                // Watching for lines that cannot be printed would never end (qmf reports
                // the failure on its way out).
                if (!Invocation::delivered(invocation.out))
                    return 1;
                auto printer = std::make_shared<Printer>(invocation.out);
                reachability->setDelegate(printer);
                reachability->startMonitoringNetworkReachability();
                if (!reachability->isMonitoring()) {
                    invocation.err << "qmf: cannot watch the routing table (no netlink socket)"
                                   << Qt::endl;
                    return 1;
                }
                printer->waitFor(changes);
                reachability->stopMonitoringNetworkReachability();
                return 0;
            });
}

void ReachCommand::tourSection(QTextStream &out)
{
    QMNetworkReachabilityFlags flags = 0;
    const auto loopback = reachabilityFor(u"127.0.0.1"_s);
    const bool read = loopback->networkReachability()->getFlags(&flags);
    out << "Whether an address can be reached, from the kernel's routing table; nothing is\n"
           "sent (qmf reach 127.0.0.1):\n\n    "
        << (read ? reachabilityLine(flags) : u"the routing table cannot be read"_s) << "\n";
}

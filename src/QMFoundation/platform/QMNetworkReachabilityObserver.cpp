#include <QMFoundation/platform/QMNetworkReachabilityObserver.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/platform/QMNetworkReachability.h>

QMNetworkReachabilityObserver::QMNetworkReachabilityObserver(
        const std::shared_ptr<QMNetworkReachability> &networkReachability, QObject *delegate,
        QObject *parent)
    : QMObserver(parent)
    , m_networkReachability(networkReachability)
    , m_delegate(delegate)
{
    QMParameterAssert(networkReachability != nullptr, "networkReachability");
    QMParameterAssert(delegate != nullptr, "delegate");
}

QMNetworkReachabilityObserver::~QMNetworkReachabilityObserver() = default;

std::shared_ptr<QMNetworkReachability> QMNetworkReachabilityObserver::networkReachability() const
{
    return m_networkReachability.lock();
}

QObject *QMNetworkReachabilityObserver::delegate() const
{
    return m_delegate.data();
}

QObject *QMNetworkReachabilityObserver::notificationObject() const
{
    return m_networkReachability.lock().get();
}

QObject *QMNetworkReachabilityObserver::invocationTarget() const
{
    return m_delegate.data();
}

void QMNetworkReachabilityObserver::registerObservers()
{
    // A gone object would read as "any sender": register for nothing instead. Held for the
    // registration, so that notificationObject() cannot lose it halfway.
    const std::shared_ptr<QMNetworkReachability> sender = m_networkReachability.lock();
    if (!sender)
        return;
    registerNotificationWithName(QMNetworkReachabilityDidChangeNotification,
                                 QByteArrayLiteral("networkReachabilityDidChange"));
}

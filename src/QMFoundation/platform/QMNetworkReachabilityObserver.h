#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/observation/QMObserver.h>

#include <QPointer>

#include <memory>

class QMNetworkReachability;

/// Tells a delegate object of the changes of one QMNetworkReachability without it handling the
/// registration: after startObserving(), each QMNetworkReachabilityDidChangeNotification of that
/// object calls the delegate's `networkReachabilityDidChange(const QMNotification &)`
/// (a Q_INVOKABLE method or slot) on queue(), the main queue. A delegate without that method is
/// not registered for at all.
///
/// Both the reachability object and the delegate are held weakly: once either is gone nothing is
/// registered or delivered. Destroying the observer unregisters. Threads: as QMObserver.
class QMF_CORE_EXPORT QMNetworkReachabilityObserver : public QMObserver
{
    Q_OBJECT

public:
    /// Throws "Invalid parameter not satisfying: networkReachability" or "... delegate" for a
    /// null argument.
    QMNetworkReachabilityObserver(const std::shared_ptr<QMNetworkReachability> &networkReachability,
                                  QObject *delegate, QObject *parent = nullptr);
    ~QMNetworkReachabilityObserver() override;

    /// The observed reachability object, or null once it is gone.
    std::shared_ptr<QMNetworkReachability> networkReachability() const;
    /// The delegate, or null once it is gone.
    QObject *delegate() const;

    /// The reachability object: only its notifications are delivered.
    QObject *notificationObject() const override;
    /// The delegate.
    QObject *invocationTarget() const override;

protected:
    /// Registers for QMNetworkReachabilityDidChangeNotification with the action
    /// "networkReachabilityDidChange", while the reachability object lives.
    void registerObservers() override;

private:
    std::weak_ptr<QMNetworkReachability> m_networkReachability;
    QPointer<QObject> m_delegate;
};

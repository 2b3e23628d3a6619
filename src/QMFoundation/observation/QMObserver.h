#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/observation/QMNotificationCenter.h>

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <memory>

class QMOperationQueue;

/// A base class for objects that turn named notifications into calls of a target's methods.
///
/// A subclass overrides invocationTarget() (who is called), notificationObject() (which sender
/// to listen to, null for any) and registerObservers(), which calls
/// registerNotificationWithName(name, action) once per notification name. An action is the
/// bare name of a Q_INVOKABLE method or slot of the target that takes one QMNotification
/// (`void userDidLogIn(const QMNotification &)`); a target without such a method is silently
/// skipped. The target is asked for again at every delivery, so later notifications follow
/// whatever invocationTarget() returns by then.
///
/// Registering stops after the table of observers() is emptied: unregisterObservers() (and so
/// stopObserving()) removes every registration from the center and empties the table, so
/// isObserving() reads false afterwards and a second stop finds nothing to remove.
///
/// Threads: the properties are not synchronised. Create, configure, start, stop and destroy an
/// observer on one thread. Actions run on queue(), by default the main queue (the application's
/// thread); with a null queue they run on the posting thread, inside the post. The delivery
/// holds the observer weakly and does nothing once it is gone, which is safe when deliveries run
/// on the observer's own thread. With a queue of other threads, call stopObserving() and wait
/// for the queue's running operations before destroying the observer: stopping prevents every
/// later delivery but does not wait for one already running.
class QMF_CORE_EXPORT QMObserver : public QObject
{
    Q_OBJECT

public:
    /// The registrations, by the name each was registered under.
    using Observers = QHash<QString, QMNotificationCenter::Token>;

    /// Not observing, with the main queue and the default center.
    explicit QMObserver(QObject *parent = nullptr);
    /// Runs unregisterObservers().
    ~QMObserver() override;

    /// Where actions run. Change it only while not observing: registrations keep the queue they
    /// were made with.
    std::shared_ptr<QMOperationQueue> queue() const;
    /// Sets the queue actions run on; null runs them on the posting thread.
    void setQueue(const std::shared_ptr<QMOperationQueue> &queue);

    /// Where registrations are made. Change it only while not observing; a registration is
    /// always removed from the center that made it. With a null center nothing is registered.
    std::shared_ptr<QMNotificationCenter> notificationCenter() const;
    /// Sets the center registrations are made with.
    void setNotificationCenter(const std::shared_ptr<QMNotificationCenter> &center);

    /// The registrations made through registerNotificationWithName(), by notification name.
    Observers observers() const;

    /// The sender to listen to; null (the default) means every sender. Read at registration.
    virtual QObject *notificationObject() const;
    /// The object whose action methods are called; null by default. While it is null nothing
    /// is registered and nothing is delivered.
    virtual QObject *invocationTarget() const;

    /// True while observers() holds at least one registration.
    bool isObserving() const;

    /// Unregisters what observers() holds, then calls registerObservers(). Starting twice leaves
    /// one registration per name.
    void startObserving();
    /// Calls unregisterObservers().
    void stopObserving();

    /// Registers for notifications called `name` from notificationObject(), delivered on queue()
    /// to invocationTarget()'s method `action`. Does nothing when there is no target, or when
    /// the target has no Q_INVOKABLE method or slot `action` taking one QMNotification. A name
    /// registered before gets the new registration in observers(); the earlier one stays in the
    /// center and keeps delivering until unregisterObservers(), which removes it too.
    void registerNotificationWithName(const QString &name, const QByteArray &action);
    /// Removes every registration made through registerNotificationWithName() from its center
    /// and empties observers(). Does nothing when there is none.
    void unregisterObservers();

protected:
    /// The hook where a subclass calls registerNotificationWithName(); does nothing here.
    virtual void registerObservers();

private:
    class Private;
    std::unique_ptr<Private> d;
};

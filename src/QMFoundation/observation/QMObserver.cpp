#include <QMFoundation/observation/QMObserver.h>

#include <QMFoundation/operations/QMOperationQueue.h>

#include <QMetaMethod>
#include <QPointer>

#include <vector>

namespace {

// The target's method `action` taking one QMNotification, invalid when it has none.
QMetaMethod actionMethod(const QObject *target, const QByteArray &action)
{
    const QMetaObject *meta = target->metaObject();
    const QByteArray signature
            = QMetaObject::normalizedSignature(QByteArray(action + "(QMNotification)").constData());
    const int index = meta->indexOfMethod(signature.constData());
    return index < 0 ? QMetaMethod() : meta->method(index);
}

} // namespace

class QMObserver::Private
{
public:
    std::shared_ptr<QMOperationQueue> queue = QMOperationQueue::mainQueue();
    std::shared_ptr<QMNotificationCenter> center = QMNotificationCenter::defaultCenter();
    Observers observers;
    // Registrations whose name was registered again: no longer in `observers`, but still in
    // their center until unregisterObservers(), so none is ever left behind.
    std::vector<QMNotificationCenter::Token> replaced;
};

QMObserver::QMObserver(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{ }

QMObserver::~QMObserver()
{
    unregisterObservers();
}

std::shared_ptr<QMOperationQueue> QMObserver::queue() const
{
    return d->queue;
}

void QMObserver::setQueue(const std::shared_ptr<QMOperationQueue> &queue)
{
    d->queue = queue;
}

std::shared_ptr<QMNotificationCenter> QMObserver::notificationCenter() const
{
    return d->center;
}

void QMObserver::setNotificationCenter(const std::shared_ptr<QMNotificationCenter> &center)
{
    d->center = center;
}

QMObserver::Observers QMObserver::observers() const
{
    return d->observers;
}

QObject *QMObserver::notificationObject() const
{
    return nullptr;
}

QObject *QMObserver::invocationTarget() const
{
    return nullptr;
}

bool QMObserver::isObserving() const
{
    return !d->observers.isEmpty();
}

void QMObserver::startObserving()
{
    if (!d->observers.isEmpty())
        unregisterObservers();
    registerObservers();
}

void QMObserver::stopObserving()
{
    unregisterObservers();
}

void QMObserver::registerObservers() { }

void QMObserver::registerNotificationWithName(const QString &name, const QByteArray &action)
{
    const QObject *target = invocationTarget();
    if (!target || !actionMethod(target, action).isValid() || !d->center)
        return;
    // Weakly held: a delivery that outlives the observer finds it gone and does nothing. The
    // target is looked up again each time, as it may have changed since registration.
    auto deliver = [observer = QPointer<QMObserver>(this), action](const QMNotification &note) {
        const QMObserver *self = observer.data();
        QObject *current = self ? self->invocationTarget() : nullptr;
        if (!current)
            return;
        const QMetaMethod method = actionMethod(current, action);
        if (method.isValid())
            method.invoke(current, Qt::DirectConnection, Q_ARG(QMNotification, note));
    };
    QMNotificationCenter::Token token = d->center->addObserverForName(name, notificationObject(),
                                                                      d->queue, std::move(deliver));
    QMNotificationCenter::Token &slot = d->observers[name];
    if (slot)
        d->replaced.push_back(std::move(slot));
    slot = std::move(token);
}

void QMObserver::unregisterObservers()
{
    if (d->observers.isEmpty() && d->replaced.empty())
        return;
    const Observers observers = std::exchange(d->observers, {});
    const std::vector<QMNotificationCenter::Token> replaced = std::exchange(d->replaced, {});
    // A token ends its registration in the center that made it, so this is right even if
    // notificationCenter() was changed (or cleared) meanwhile.
    const std::shared_ptr<QMNotificationCenter> center
            = d->center ? d->center : QMNotificationCenter::defaultCenter();
    for (const QMNotificationCenter::Token &token : observers)
        center->removeObserver(token);
    for (const QMNotificationCenter::Token &token : replaced)
        center->removeObserver(token);
}

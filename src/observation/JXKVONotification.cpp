#include "observation/JXKVONotification.h"

#include "observation/QMKeyValueObserving.h"

JXKVONotification::JXKVONotification(QObject *observer, QObject *target, const QString &keyPath,
                                     const QVariantMap &change)
    : m_change(change)
    , m_keyPath(keyPath)
    , m_observer(observer)
    , m_target(target)
{ }

quint64 JXKVONotification::kind() const
{
    return m_change.value(QMKeyValueChangeKindKey).toULongLong();
}

QVariant JXKVONotification::oldValue() const
{
    return m_change.value(QMKeyValueChangeOldKey);
}

QVariant JXKVONotification::newValue() const
{
    return m_change.value(QMKeyValueChangeNewKey);
}

QMIndexSet JXKVONotification::indexes() const
{
    return m_change.value(QMKeyValueChangeIndexesKey).value<QMIndexSet>();
}

bool JXKVONotification::isPrior() const
{
    return m_change.value(QMKeyValueChangeNotificationIsPriorKey).toBool();
}

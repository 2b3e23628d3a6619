#include <QMFoundation/observation/JXKVONotification.h>

#include <QMFoundation/observation/QMChangeRecord_p.h>
#include <QMFoundation/observation/QMKeyValueObserving.h>

namespace {

QVariant entry(const QVariantMap &change, const QString &key)
{
    const QVariant *value = QMChangeRecordEntry(change, key);
    return value ? *value : QVariant();
}

} // namespace

JXKVONotification::JXKVONotification(QObject *observer, QObject *target, const QString &keyPath,
                                     const QVariantMap &change)
    : m_change(change)
    , m_keyPath(keyPath)
    , m_observer(observer)
    , m_target(target)
{ }

JXKVONotification::JXKVONotification(const JXKVONotification &other)
    : m_change(other.change())
    , m_keyPath(other.keyPath())
    , m_observer(other.m_observer)
    , m_target(other.m_target)
{ }

JXKVONotification &JXKVONotification::operator=(const JXKVONotification &other)
{
    if (this != &other) {
        m_change = other.change();
        m_keyPath = other.keyPath();
        m_changeRef = &m_change;
        m_keyPathRef = &m_keyPath;
        m_observer = other.m_observer;
        m_target = other.m_target;
    }
    return *this;
}

quint64 JXKVONotification::kind() const
{
    return entry(change(), QMKeyValueChangeKindKey).toULongLong();
}

QVariant JXKVONotification::oldValue() const
{
    return entry(change(), QMKeyValueChangeOldKey);
}

QVariant JXKVONotification::newValue() const
{
    return entry(change(), QMKeyValueChangeNewKey);
}

QMIndexSet JXKVONotification::indexes() const
{
    return entry(change(), QMKeyValueChangeIndexesKey).value<QMIndexSet>();
}

bool JXKVONotification::isPrior() const
{
    return entry(change(), QMKeyValueChangeNotificationIsPriorKey).toBool();
}

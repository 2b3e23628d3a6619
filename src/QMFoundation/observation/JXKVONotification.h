#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/lists/QMIndexSet.h>

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

/// What a block observation receives for one change: the change record as the observation
/// layer made it (see observation/QMKeyValueObserving.h), the key path, the observation's
/// observer (null when it has none) and the object whose property changed (the element, for an
/// observation of a list).
///
/// A record is made for one delivery and not changed afterwards, so it may be read from any
/// thread. The derived getters read `change()` at each call; an entry the change lacks reads as
/// 0, an invalid QVariant, an empty index set or false.
///
/// The record a block receives refers to the key path and change of the delivery rather than
/// copying them (a delivery then costs no copies); a copy of it holds its own.
class QMF_CORE_EXPORT JXKVONotification
{
public:
    /// A record that holds its own copies of `keyPath` and `change`.
    JXKVONotification(QObject *observer, QObject *target, const QString &keyPath,
                      const QVariantMap &change);
    /// A record that refers to `keyPath` and `change`, which must outlive it.
    static JXKVONotification referringTo(QObject *observer, QObject *target, const QString &keyPath,
                                         const QVariantMap &change)
    {
        return JXKVONotification(Referring(), observer, target, keyPath, change);
    }
    /// A copy that holds its own key path and change.
    JXKVONotification(const JXKVONotification &other);
    /// Assigns a copy that holds its own key path and change.
    JXKVONotification &operator=(const JXKVONotification &other);
    ~JXKVONotification() = default;

    /// The change record.
    const QVariantMap &change() const { return *m_changeRef; }
    /// The observed key path that changed.
    const QString &keyPath() const { return *m_keyPathRef; }
    /// The observation's observer, or null when it has none.
    QObject *observer() const { return m_observer; }
    /// The object whose property changed.
    QObject *target() const { return m_target; }

    /// QMKeyValueChangeSetting, Insertion, Removal or Replacement; 0 when absent.
    quint64 kind() const;
    /// The change's QMKeyValueChangeOldKey entry.
    QVariant oldValue() const;
    /// The change's QMKeyValueChangeNewKey entry.
    QVariant newValue() const;
    /// The changed positions of an ordered to-many change; empty when absent.
    QMIndexSet indexes() const;
    /// The change's QMKeyValueChangeNotificationIsPriorKey entry; never true for changes from Qt
    /// signals.
    bool isPrior() const;

private:
    struct Referring
    { };
    JXKVONotification(Referring, QObject *observer, QObject *target, const QString &keyPath,
                      const QVariantMap &change)
        : m_changeRef(&change)
        , m_keyPathRef(&keyPath)
        , m_observer(observer)
        , m_target(target)
    { }

    QVariantMap m_change;
    QString m_keyPath;
    const QVariantMap *m_changeRef = &m_change;
    const QString *m_keyPathRef = &m_keyPath;
    QObject *m_observer = nullptr;
    QObject *m_target = nullptr;
};

#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

/// A named notification as posted to a QMNotificationCenter: a name, the object that sent it
/// (optional) and a dictionary of details.
///
/// The sender is held weakly: sender() reads null once that object has been destroyed, so a
/// notification queued for later delivery never points at a destroyed object. The type is
/// registered with Qt's meta-type system, so a Q_INVOKABLE method or slot may take one.
class QMF_CORE_EXPORT QMNotification
{
public:
    QMNotification() = default;
    /// A notification named `name`, sent by `sender` (held weakly), with the details `userInfo`.
    explicit QMNotification(const QString &name, QObject *sender = nullptr,
                            const QVariantMap &userInfo = {});

    /// The notification's name.
    QString name() const { return m_name; }
    /// The sender, or null when there was none or it has been destroyed since.
    QObject *sender() const { return m_sender.data(); }
    /// The details; empty when there are none.
    QVariantMap userInfo() const { return m_userInfo; }

private:
    QString m_name;
    QPointer<QObject> m_sender;
    QVariantMap m_userInfo;
};

Q_DECLARE_METATYPE(QMNotification)

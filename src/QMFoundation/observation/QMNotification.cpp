#include <QMFoundation/observation/QMNotification.h>

QMNotification::QMNotification(const QString &name, QObject *sender, const QVariantMap &userInfo)
    : m_name(name)
    , m_sender(sender)
    , m_userInfo(userInfo)
{ }

// Registered when the library is loaded, so that a method taking a QMNotification can be found
// and called by name (QMObserver's actions) before anything else has mentioned the type.
[[maybe_unused]] static const int qmNotificationMetaTypeId = qRegisterMetaType<QMNotification>();

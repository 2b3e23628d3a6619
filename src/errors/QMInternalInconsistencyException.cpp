#include "errors/QMInternalInconsistencyException.h"

QMInternalInconsistencyException::QMInternalInconsistencyException(const QString &reason,
                                                                   const QVariantMap &userInfo)
    : m_reason(reason)
    , m_userInfo(userInfo)
    , m_what(reason.toStdString())
{ }

QMInternalInconsistencyException::~QMInternalInconsistencyException() = default;

QString QMInternalInconsistencyException::name() const
{
    return QStringLiteral("NSInternalInconsistencyException");
}

const char *QMInternalInconsistencyException::what() const noexcept
{
    return m_what.c_str();
}

void QMParameterAssert(bool satisfied, const char *condition)
{
    if (!satisfied)
        throw QMInternalInconsistencyException(
                QStringLiteral("Invalid parameter not satisfying: %1")
                        .arg(QString::fromUtf8(condition)));
}

void QMAssert(bool satisfied, const QString &message)
{
    if (!satisfied)
        throw QMInternalInconsistencyException(message);
}

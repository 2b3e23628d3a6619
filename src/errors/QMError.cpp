#include "errors/QMError.h"

#include <QCoreApplication>

const QString QMLocalizedDescriptionKey = QStringLiteral("NSLocalizedDescription");
const QString QMLocalizedFailureReasonErrorKey = QStringLiteral("NSLocalizedFailureReason");
const QString QMLocalizedRecoverySuggestionErrorKey
        = QStringLiteral("NSLocalizedRecoverySuggestion");

QMError::QMError(const QString &domain, qint64 code, const QVariantMap &userInfo)
    : m_domain(domain)
    , m_code(code)
    , m_userInfo(userInfo)
{ }

QString QMError::localizedDescription() const
{
    const QVariant description = m_userInfo.value(QMLocalizedDescriptionKey);
    if (description.isValid() && !description.isNull())
        return description.toString();
    return QCoreApplication::translate("QMError",
                                       "The operation could not be completed. (%1 error %2.)")
            // One multi-argument arg(): chained calls would substitute into the domain's own text
            // when it contains "%1".
            .arg(m_domain, QString::number(m_code));
}

QString QMError::localizedFailureReason() const
{
    return m_userInfo.value(QMLocalizedFailureReasonErrorKey).toString();
}

QString QMError::localizedRecoverySuggestion() const
{
    return m_userInfo.value(QMLocalizedRecoverySuggestionErrorKey).toString();
}

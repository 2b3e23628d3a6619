#include <QMFoundation/errors/QMError.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMObjectDescribing.h>

#include <QCoreApplication>

const QString QMLocalizedDescriptionKey = QStringLiteral("NSLocalizedDescription");
const QString QMLocalizedFailureReasonErrorKey = QStringLiteral("NSLocalizedFailureReason");
const QString QMLocalizedRecoverySuggestionErrorKey
        = QStringLiteral("NSLocalizedRecoverySuggestion");
const QString QMCocoaErrorDomain = QStringLiteral("NSCocoaErrorDomain");
const QString QMValidationKeyErrorKey = QStringLiteral("NSValidationErrorKey");
const QString QMValidationValueErrorKey = QStringLiteral("NSValidationErrorValue");
const QString QMDetailedErrorsKey = QStringLiteral("NSDetailedErrors");

namespace {

// The entries of `extra` on top of `base`: the caller's entries win.
QVariantMap merged(QVariantMap base, const QVariantMap &extra)
{
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        base.insert(it.key(), it.value());
    return base;
}

} // namespace

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

QString QMError::fullDescription() const
{
    const QString reason = localizedFailureReason();
    return QStringLiteral("<NSError ") + QMObjectDescribing::identity(this)
            + QStringLiteral("> {\n\tDomain: ") + m_domain + QStringLiteral("\n\tCode: ")
            + QString::number(m_code) + QStringLiteral("\n\tDescription: ") + localizedDescription()
            + QStringLiteral("\n\tReason: ") + (reason.isNull() ? QStringLiteral("(null)") : reason)
            + QStringLiteral("\n\tUserInfo: ")
            + QMObjectDescribing::prettyDescriptionForObject(m_userInfo) + QStringLiteral("\n}");
}

QMError QMError::validationErrorWithKey(const QString &key, const QVariant &value,
                                        const QVariantMap &userInfo)
{
    QMParameterAssert(!key.isNull(), "key");
    QMParameterAssert(value.isValid(), "value");
    return QMError(
            QMCocoaErrorDomain, QMValidationErrorCode,
            merged({{QMValidationKeyErrorKey, key}, {QMValidationValueErrorKey, value}}, userInfo));
}

QMError QMError::multipleValidationErrorsErrorWithValidationErrors(const QList<QMError> &errors,
                                                                   const QVariantMap &userInfo)
{
    QVariantList list;
    list.reserve(errors.size());
    for (const QMError &error : errors)
        list.append(QVariant::fromValue(error));
    return QMError(QMCocoaErrorDomain, QMValidationMultipleErrorsErrorCode,
                   merged({{QMDetailedErrorsKey, list}}, userInfo));
}

#pragma once

#include "QMFoundationCoreExport.h"

#include <QString>
#include <QVariantMap>

/// User-information key of an error's localized description.
QMF_CORE_EXPORT extern const QString QMLocalizedDescriptionKey;
/// User-information key of an error's localized failure reason.
QMF_CORE_EXPORT extern const QString QMLocalizedFailureReasonErrorKey;
/// User-information key of an error's localized recovery suggestion.
QMF_CORE_EXPORT extern const QString QMLocalizedRecoverySuggestionErrorKey;

/// An error record: a domain, a signed code and a user-information dictionary.
///
/// Functions that can fail take an optional `QMError *error = nullptr` out-parameter, return a
/// false, null or empty result and fill the error when the caller passed one.
class QMF_CORE_EXPORT QMError
{
public:
    /// A null error: empty domain, code 0, no user information.
    QMError() = default;
    QMError(const QString &domain, qint64 code, const QVariantMap &userInfo = {});

    QString domain() const { return m_domain; }
    qint64 code() const { return m_code; }
    QVariantMap userInfo() const { return m_userInfo; }

    /// True for an error made with the default constructor.
    bool isNull() const { return m_domain.isNull() && m_code == 0 && m_userInfo.isEmpty(); }

    /// The description from the user information, or a generic sentence naming domain and code.
    QString localizedDescription() const;
    /// The failure reason from the user information, or a null string.
    QString localizedFailureReason() const;
    /// The recovery suggestion from the user information, or a null string.
    QString localizedRecoverySuggestion() const;

    friend bool operator==(const QMError &, const QMError &) = default;

private:
    QString m_domain;
    qint64 m_code = 0;
    QVariantMap m_userInfo;
};

/// Stores `value` in `*error` when the caller asked for errors (`error` is not null).
inline void QMSetError(QMError *error, const QMError &value)
{
    if (error)
        *error = value;
}

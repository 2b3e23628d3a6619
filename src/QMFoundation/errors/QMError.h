#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>
#include <QVariantMap>

/// User-information key of an error's localized description.
QMF_CORE_EXPORT extern const QString QMLocalizedDescriptionKey;
/// User-information key of an error's localized failure reason.
QMF_CORE_EXPORT extern const QString QMLocalizedFailureReasonErrorKey;
/// User-information key of an error's localized recovery suggestion.
QMF_CORE_EXPORT extern const QString QMLocalizedRecoverySuggestionErrorKey;

/// The error domain of validation errors, "NSCocoaErrorDomain".
QMF_CORE_EXPORT extern const QString QMCocoaErrorDomain;
/// User-information key of a validation error: the key (QString) whose value failed.
QMF_CORE_EXPORT extern const QString QMValidationKeyErrorKey;
/// User-information key of a validation error: the value that failed.
QMF_CORE_EXPORT extern const QString QMValidationValueErrorKey;
/// User-information key of a multiple-validation error: the errors (a QVariantList of QMError).
QMF_CORE_EXPORT extern const QString QMDetailedErrorsKey;
/// The code of a single validation error in QMCocoaErrorDomain.
inline constexpr qint64 QMValidationErrorCode = 1550;
/// The code of an error that collects several validation errors in QMCocoaErrorDomain.
inline constexpr qint64 QMValidationMultipleErrorsErrorCode = 1560;

/// An error record: a domain, a signed code and a user-information dictionary.
///
/// Functions that can fail take an optional `QMError *error = nullptr` out-parameter, return a
/// false, null or empty result and fill the error when the caller passed one.
class QMF_CORE_EXPORT QMError
{
public:
    /// A null error: empty domain, code 0, no user information.
    QMError() = default;
    /// An error of `domain` with `code` and the user information `userInfo`.
    QMError(const QString &domain, qint64 code, const QVariantMap &userInfo = {});

    /// The error domain, a text that names the catalog or subsystem the code belongs to.
    QString domain() const { return m_domain; }
    /// The error code, unique within the domain.
    qint64 code() const { return m_code; }
    /// The user information: localized texts under the QMLocalized...Key keys and any other values.
    QVariantMap userInfo() const { return m_userInfo; }

    /// True for an error made with the default constructor.
    bool isNull() const { return m_domain.isNull() && m_code == 0 && m_userInfo.isEmpty(); }

    /// The description from the user information, or a generic sentence naming domain and code.
    QString localizedDescription() const;
    /// The failure reason from the user information, or a null string.
    QString localizedFailureReason() const;
    /// The recovery suggestion from the user information, or a null string.
    QString localizedRecoverySuggestion() const;

    /// True when the code is greater than 0: codes 0 and below stand for "no error" by the
    /// convention that catalogs follow.
    bool containsError() const { return m_code > 0; }

    /// A multi-line diagnostic text, one field a line:
    /// "<NSError 0x...> {\n\tDomain: ...\n\tCode: ...\n\tDescription: ...\n\tReason: ...\n
    /// \tUserInfo: ...\n}". The address is this object's; the description is
    /// localizedDescription() (so a generic sentence when there is none), an absent reason reads
    /// "(null)" and the user information is written as QMObjectDescribing writes a map.
    QString fullDescription() const;

    /// A validation error: QMCocoaErrorDomain, QMValidationErrorCode, with `key` under
    /// QMValidationKeyErrorKey and `value` under QMValidationValueErrorKey, then the entries of
    /// `userInfo` on top (they win). Throws "Invalid parameter not satisfying: key" for a null
    /// key and "... value" for an invalid QVariant (QMNull() is a value).
    [[nodiscard]] static QMError validationErrorWithKey(const QString &key, const QVariant &value,
                                                        const QVariantMap &userInfo = {});
    /// An error that collects `errors`: QMCocoaErrorDomain, QMValidationMultipleErrorsErrorCode,
    /// the errors as a QVariantList of QMError under QMDetailedErrorsKey, then the entries of
    /// `userInfo` on top.
    [[nodiscard]] static QMError
    multipleValidationErrorsErrorWithValidationErrors(const QList<QMError> &errors,
                                                      const QVariantMap &userInfo = {});

    friend bool operator==(const QMError &, const QMError &) = default;

private:
    QString m_domain;
    qint64 m_code = 0;
    QVariantMap m_userInfo;
};

Q_DECLARE_METATYPE(QMError)

/// Stores `value` in `*error` when the caller asked for errors (`error` is not null).
inline void QMSetError(QMError *error, const QMError &value)
{
    if (error)
        *error = value;
}

#pragma once

#include "QMFoundationCoreExport.h"

#include <QString>
#include <QVariantMap>

#include <exception>
#include <string>

/// Thrown when a caller breaks a documented contract (a programming error, not bad input).
///
/// `reason()` holds the exact message; `what()` returns the same text in UTF-8.
class QMF_CORE_EXPORT QMInternalInconsistencyException : public std::exception
{
public:
    explicit QMInternalInconsistencyException(const QString &reason,
                                              const QVariantMap &userInfo = {});
    ~QMInternalInconsistencyException() override;

    /// The exception's name, "NSInternalInconsistencyException" as in the platform it models.
    QString name() const;
    QString reason() const { return m_reason; }
    QVariantMap userInfo() const { return m_userInfo; }
    const char *what() const noexcept override;

private:
    QString m_reason;
    QVariantMap m_userInfo;
    std::string m_what;
};

/// Throws QMInternalInconsistencyException with "Invalid parameter not satisfying: <condition>"
/// when `satisfied` is false. `condition` is the text of the broken condition, for example
/// "launchPath != nil".
QMF_CORE_EXPORT void QMParameterAssert(bool satisfied, const char *condition);

/// Throws QMInternalInconsistencyException with `message` when `satisfied` is false.
QMF_CORE_EXPORT void QMAssert(bool satisfied, const QString &message);

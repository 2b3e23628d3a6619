#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <exception>
#include <memory>
#include <string>
#include <vector>

/// Thrown when a caller breaks a documented contract (a programming error, not bad input).
///
/// `reason()` holds the exact message; `what()` returns the same text in UTF-8. Construction
/// records the return addresses of the calling thread's stack (cheaply, without symbols, through
/// the C library's backtrace()); callStackSymbols() turns them into text only when asked, since
/// most exceptions are caught and never shown.
class QMF_CORE_EXPORT QMInternalInconsistencyException : public std::exception
{
public:
    /// An exception with the message `reason` and the extra information `userInfo`.
    explicit QMInternalInconsistencyException(const QString &reason,
                                              const QVariantMap &userInfo = {});
    ~QMInternalInconsistencyException() override;

    /// The exception's name, "NSInternalInconsistencyException": the same for every broken
    /// contract, so that logs and handlers tell these exceptions from any other.
    QString name() const;
    /// The message given at construction.
    QString reason() const { return m_reason; }
    /// The extra information given at construction.
    QVariantMap userInfo() const { return m_userInfo; }
    /// reason() in UTF-8; valid as long as the exception.
    const char *what() const noexcept override;

    /// One text per frame of the stack at construction, innermost first, starting with the
    /// function that constructed the exception: the binary, the (demangled) symbol and offset
    /// where the binary exports one, and the address ("lib.so(QMAssert(bool, QString const&)
    /// +0x4f) [0x7f...]"). Functions with hidden symbols show only their offset in the binary.
    /// Empty when backtrace() found no frames.
    QStringList callStackSymbols() const;

    /// A multi-line diagnostic text:
    /// "QMInternalInconsistencyException <0x...> {\n\t\tname: ...\n\t\treason: ...\n\t\tuserInfo:
    /// ...\n\t\tcallStack: (\n    ...\n)\n\t}", the class name being the dynamic type's and the
    /// user information and call stack written as QMObjectDescribing writes a map and a list.
    /// The callStack line is left out when callStackSymbols() is empty.
    QString fullDescription() const;

private:
    QString m_reason;
    QVariantMap m_userInfo;
    std::string m_what;
    // Shared between copies: exceptions are copied as they are thrown and caught.
    std::shared_ptr<const std::vector<void *>> m_returnAddresses;
};

namespace QMCommon {

/// The diagnostic text of any exception: QMInternalInconsistencyException::fullDescription()
/// for the library's own, and for others the same layout with the dynamic type's name as class
/// and name, what() as reason, "(null)" as user information and no callStack line.
QMF_CORE_EXPORT QString fullDescription(const std::exception &exception);

} // namespace QMCommon

/// Throws QMInternalInconsistencyException with "Invalid parameter not satisfying: <condition>"
/// when `satisfied` is false. `condition` is the text of the broken condition, for example
/// "launchPath != nil".
QMF_CORE_EXPORT void QMParameterAssert(bool satisfied, const char *condition);

/// Throws QMInternalInconsistencyException with `message` when `satisfied` is false.
QMF_CORE_EXPORT void QMAssert(bool satisfied, const QString &message);

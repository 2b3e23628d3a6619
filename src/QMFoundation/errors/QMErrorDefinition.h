#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>

// The keys of a definition dictionary, one entry of an error catalog.

/// "code": the error's code, a number or a text holding an integer.
QMF_CORE_EXPORT extern const QString kDefinitionCode;
/// "name": the error's symbolic name.
QMF_CORE_EXPORT extern const QString kDefinitionName;
/// "description": the format text of the localized description ("%@" placeholders).
QMF_CORE_EXPORT extern const QString kDefinitionDescription;
/// "failure_reason": the format text of the localized failure reason.
QMF_CORE_EXPORT extern const QString kDefinitionFailureReason;
/// "description_keys": the user-information keys whose values fill the description's
/// placeholders, in order.
QMF_CORE_EXPORT extern const QString kDefinitionDescriptionKeys;
/// "failure_reason_keys": the same for the failure reason.
QMF_CORE_EXPORT extern const QString kDefinitionFailureReasonKeys;

class QMErrorDefinition;
/// A shared error definition, as catalogs hold them.
using QMErrorDefinitionPtr = std::shared_ptr<QMErrorDefinition>;
/// The definitions of a catalog, in their order.
using QMErrorDefinitionList = QList<QMErrorDefinitionPtr>;

/// One error of a catalog: a definition dictionary (keys above) and the texts it makes from a
/// user-information dictionary.
///
/// The properties read the dictionary on every access, so setDefinition() changes them all at
/// once. Safe to use from several threads at a time, setDefinition() included.
class QMF_CORE_EXPORT QMErrorDefinition
{
public:
    /// A definition of `errorDefinition`; unknown keys are kept and ignored.
    explicit QMErrorDefinition(const QVariantMap &errorDefinition);
    /// A definition needs its dictionary.
    QMErrorDefinition() = delete;
    ~QMErrorDefinition();
    QMErrorDefinition(const QMErrorDefinition &) = delete;
    QMErrorDefinition &operator=(const QMErrorDefinition &) = delete;

    /// A new shared definition of `errorDefinition`.
    static QMErrorDefinitionPtr errorDefinitionWithDefinition(const QVariantMap &errorDefinition);

    /// The definition dictionary as it stands (a copy).
    QVariantMap definition() const;
    /// Replaces the whole definition dictionary; readers see the old or the new one, never a mix.
    void setDefinition(const QVariantMap &errorDefinition);

    /// The "code" entry as a signed 64-bit integer: an integer as it is, a floating-point number
    /// cut towards zero, a text holding a decimal integer (surrounding white space allowed) read
    /// as one. Anything else, a missing entry and a number outside the 64-bit range read 0.
    qint64 code() const;
    /// The "name" entry, or a null QString.
    QString name() const;
    /// The "description" entry, or a null QString.
    QString descriptionFormat() const;
    /// The "failure_reason" entry, or a null QString.
    QString failureReasonFormat() const;
    /// The "description_keys" entry (a list of texts), or an empty list.
    QStringList descriptionKeys() const;
    /// The "failure_reason_keys" entry, or an empty list.
    QStringList failureReasonKeys() const;

    /// localizeMessage() of the description format and keys.
    QString localizedDescription(const QVariantMap &userInfo) const;
    /// localizeMessage() of the failure reason format and keys.
    QString localizedFailureReason(const QVariantMap &userInfo) const;

    /// `message` with each "%@", in order, replaced by the description of the value of the next
    /// key (as QMFormat::stringWithFormat() does). The message comes back unchanged, placeholders
    /// and all, when `expectedKeys` is empty or when `userInfo` lacks any of the keys: there is no
    /// partial substitution. More than ten keys, all present, throw
    /// QMInternalInconsistencyException("Only 10 string format arguments supported.").
    static QString localizeMessage(const QString &message, const QStringList &expectedKeys,
                                   const QVariantMap &userInfo);

private:
    class Private;
    std::unique_ptr<Private> d;
};

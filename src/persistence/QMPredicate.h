#pragma once

#include "QMFoundationStorageExport.h"

#include "errors/QMError.h"

#include <QExplicitlySharedDataPointer>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <functional>

class QMEntityDescription;

/// A condition on an object's attribute values, read from a small format language:
///
///     name BEGINSWITH[c] %@ AND (age >= 18 OR NOT retired = YES)
///     %K IN %@        age IN {18, 21, 65}        note = nil
///
/// - Comparisons: `=` (also `==`), `!=` (also `<>`), `<`, `<=` (`=<`), `>`, `>=` (`=>`),
///   `BEGINSWITH`, `CONTAINS`, `ENDSWITH`, `LIKE` (`*` any run of characters, `?` one character)
///   and `IN` (a list of values); the text operators and `=`/`!=` take the option `[c]`
///   (case-insensitive, by Unicode case folding). An attribute name is on the left, a value on
///   the right (`5 < age` is also accepted and turned round).
/// - Logic: `AND` (`&&`), `OR` (`||`), `NOT` (`!`), parentheses; `TRUEPREDICATE`,
///   `FALSEPREDICATE`. Keywords are case-insensitive.
/// - Values: `%@` takes the next argument, `%K` the next argument as an attribute name;
///   numbers (`42`, `-1.5`, `1e3`), texts in single or double quotes (with `\` escapes), `YES`,
///   `NO`, `TRUE`, `FALSE`, `nil`/`NULL`, and `{...}` lists for IN.
///
/// Absent values: `= nil` and `!= nil` test for no value; every other comparison with an absent
/// attribute value is false, and so is `NOT` of nothing: a predicate is two-valued, and reads the
/// same in SQL and in memory. Texts compare by Unicode code point; dates, numbers and booleans by
/// value.
///
/// A predicate is an immutable, implicitly shared value; it may be used from any thread.
class QMF_STORAGE_EXPORT QMPredicate
{
public:
    /// The null predicate (isNull()), which a fetch takes as "every object".
    QMPredicate();
    ~QMPredicate();
    QMPredicate(const QMPredicate &);
    QMPredicate &operator=(const QMPredicate &);

    /// The predicate the format and arguments describe, or a null predicate with a
    /// QMPredicateFormatError whose description says what was expected, and whose
    /// QMPredicateErrorPositionKey is the UTF-16 offset where reading failed (also too few or
    /// too many arguments, and a %K argument that is not a text).
    static QMPredicate predicateWithFormat(const QString &format,
                                           const QVariantList &arguments = {},
                                           QMError *error = nullptr);
    /// "%K = %@" with `key` and `value`.
    static QMPredicate predicateWithKeyValue(const QString &key, const QVariant &value);
    static QMPredicate andPredicateWithSubpredicates(const QList<QMPredicate> &subpredicates);
    static QMPredicate orPredicateWithSubpredicates(const QList<QMPredicate> &subpredicates);
    static QMPredicate notPredicateWithSubpredicate(const QMPredicate &subpredicate);

    bool isNull() const;
    /// The predicate as format text with its values written in (texts quoted, lists in braces),
    /// which predicateWithFormat() reads back to the same predicate.
    QString predicateFormat() const;
    /// Every attribute name the predicate mentions.
    QStringList keys() const;

    /// The same predicate with its values converted to the types of `entity`'s attributes
    /// (QMAttributeDescription::convertedValue()), so that `age > %@` with the text "30" compares
    /// numbers. A null predicate with QMPredicateInvalidKeyError when an attribute is not the
    /// entity's or a value does not convert, or when a text operator is used on an attribute that
    /// is not a string. Stores bind predicates this way before using them.
    QMPredicate boundToEntity(const QMEntityDescription &entity, QMError *error = nullptr) const;

    /// Evaluates the predicate; `valueForKey` gives an attribute's value (of the attribute's
    /// type, or an invalid QVariant for none). A null predicate is true.
    bool evaluateWithValues(const std::function<QVariant(const QString &key)> &valueForKey) const;

    friend QMF_STORAGE_EXPORT bool operator==(const QMPredicate &a, const QMPredicate &b);

    class Node;

private:
    friend class QMPredicateAccess;
    explicit QMPredicate(QExplicitlySharedDataPointer<const Node> root);
    QExplicitlySharedDataPointer<const Node> m_root;
};

#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>

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
/// - Values: `%@` (also `%d`, `%i`, `%f`, `%s`) takes the next argument, `%K` the next argument
///   as an attribute name; numbers (`42`, `-1.5`, `1e3`), texts in single or double quotes (with
///   the escapes `\n`, `\t`, `\r`, `\\`, `\uXXXX`, `\'` and `\"`; any other backslash stays, so
///   LIKE patterns keep `\*` and `\?`), `YES`, `NO`, `TRUE`, `FALSE`, `nil`/`NULL`, `{...}` lists
///   for IN, `DATE("2024-05-01T12:00:00.000Z")` or `DATE(<milliseconds since 1970>)`, and
///   `BINARY("<Base64>")`. Arguments may be booleans, numbers, texts, QDateTime, QByteArray, nil
///   (an invalid QVariant or QMNull()), and for IN a QVariantList or QStringList of those.
/// - An attribute name is an identifier (`[A-Za-z_][A-Za-z0-9_]*`); one that is also a keyword
///   is written `#name`.
/// - Nesting is limited to 32 parentheses and NOTs; deeper formats are a format error.
///
/// Absent values: `= nil` and `!= nil` test for no value; every other comparison with an absent
/// attribute value is false (`!=` included; only `=` and `!=` take nil), and `NOT p` is simply the
/// opposite of `p`: a predicate is two-valued, and selects the same objects in SQL and in memory.
/// Texts compare by Unicode code point; dates, numbers and booleans by value; `[c]` compares
/// case-folded texts.
///
/// A predicate is an immutable, implicitly shared value; it may be used from any thread.
class QMF_STORAGE_EXPORT QMPredicate
{
public:
    /// The null predicate (isNull()), which a fetch takes as "every object".
    QMPredicate();
    ~QMPredicate();
    /// A copy; predicates are shared, so copying is cheap.
    QMPredicate(const QMPredicate &);
    /// Assigns a copy; predicates are shared, so copying is cheap.
    QMPredicate &operator=(const QMPredicate &);

    /// The predicate the format and arguments describe, or a null predicate with a
    /// QMPredicateFormatError whose description says what was expected, and whose
    /// QMPredicateErrorPositionKey is the UTF-16 offset where reading failed (also too few or
    /// too many arguments, and a %K argument that is not a text).
    [[nodiscard]] static QMPredicate predicateWithFormat(const QString &format,
                                                         const QVariantList &arguments = {},
                                                         QMError *error = nullptr);
    /// "%K = %@" with `key` and `value`; a null predicate when `key` is not an attribute name or
    /// `value` is not a value a predicate can hold.
    static QMPredicate predicateWithKeyValue(const QString &key, const QVariant &value);
    /// AND of the subpredicates (TRUEPREDICATE when there are none, the subpredicate itself when
    /// there is one; a null subpredicate counts as TRUEPREDICATE); OR likewise with
    /// FALSEPREDICATE. A tree deeper than 1000 levels throws QMInternalInconsistencyException
    /// "Invalid parameter not satisfying: depth <= 1000".
    static QMPredicate andPredicateWithSubpredicates(const QList<QMPredicate> &subpredicates);
    /// OR of the subpredicates, as andPredicateWithSubpredicates() describes.
    static QMPredicate orPredicateWithSubpredicates(const QList<QMPredicate> &subpredicates);
    /// NOT of `subpredicate`; throws for a tree too deep, as andPredicateWithSubpredicates() does.
    static QMPredicate notPredicateWithSubpredicate(const QMPredicate &subpredicate);

    /// True for the null predicate, which matches every object.
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

#pragma once

// The tree behind QMPredicate, shared by the format reader, evaluation in memory and the SQL
// compiler.

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QCoreApplication>
#include <QSharedData>
#include <QStringView>

#include <optional>

/// The comparison operators, in the form they are kept in (`5 < age` is kept as `age > 5`).
enum class QMPredicateOperator {
    Equal,
    NotEqual,
    Less,
    LessOrEqual,
    Greater,
    GreaterOrEqual,
    BeginsWith,
    Contains,
    EndsWith,
    Like,
    In,
};

using QMPredicateNodePtr = QExplicitlySharedDataPointer<const QMPredicate::Node>;

/// One node of a predicate; immutable once it is shared. And and Or have at least two children,
/// Not one, a comparison none.
class QMPredicate::Node : public QSharedData
{
public:
    enum class Kind { True, False, And, Or, Not, Comparison };

    Kind kind = Kind::True;
    QList<QMPredicateNodePtr> children;

    // Comparisons: the attribute, the operator and the value (an invalid QVariant for nil, a
    // QVariantList for IN). Values hold only bool, qint64, double, QString, QDateTime (UTC) and
    // QByteArray, so that two equal predicates hold equal QVariants.
    QMPredicateOperator op = QMPredicateOperator::Equal;
    bool caseInsensitive = false;
    QString key;
    QVariant value;
    /// Set once bound: the attribute's type, which the value already has.
    std::optional<QMAttributeType> type;

    /// 1 for a leaf; bounds recursion everywhere a tree is walked.
    int depth = 1;
};

/// The way in to a predicate's tree for the library's own code.
class QMPredicateAccess
{
public:
    static const QMPredicate::Node *root(const QMPredicate &predicate)
    {
        return predicate.m_root.data();
    }
    static QMPredicate make(QMPredicateNodePtr root) { return QMPredicate(std::move(root)); }
};

namespace QMPredicateRules {

/// The deepest tree a predicate may have. The format reader allows far less nesting than this
/// (each parenthesis or NOT is a level), so every predicate it reads also compiles to SQL that
/// SQLite accepts.
constexpr int MaximumDepth = 1000;

/// True when `text` matches the LIKE `pattern`: `*` any run of characters, `?` one character
/// (a code point), `\` takes the next character literally. With `caseInsensitive` both are
/// folded first. Memory and SQL both call this, so both match alike.
QMF_STORAGE_EXPORT bool likeMatches(QStringView text, QStringView pattern, bool caseInsensitive);

/// The operator as the format writes it ("=", "BEGINSWITH", ...).
QString operatorName(QMPredicateOperator op);

/// True for the operators that compare text: BEGINSWITH, CONTAINS, ENDSWITH and LIKE.
inline bool isTextOperator(QMPredicateOperator op)
{
    return op == QMPredicateOperator::BeginsWith || op == QMPredicateOperator::Contains
            || op == QMPredicateOperator::EndsWith || op == QMPredicateOperator::Like;
}

/// A message of the format reader or the binder in the user's language.
inline QString tr(const char *text)
{
    return QCoreApplication::translate("QMPredicate", text);
}

/// A node without children: True or False.
QMPredicateNodePtr makeLeaf(QMPredicate::Node::Kind kind);

/// A node over `children` with its depth set. An AND inside an AND (an OR inside an OR) gives
/// its children to its parent, so the tree stays flat.
QMPredicateNodePtr makeParent(QMPredicate::Node::Kind kind, QList<QMPredicateNodePtr> children);

} // namespace QMPredicateRules

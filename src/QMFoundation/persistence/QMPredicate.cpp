#include <QMFoundation/persistence/QMPredicate.h>

#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMPredicate_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/persistence/QMPersistenceError.h>

using namespace Qt::StringLiterals;

using Node = QMPredicate::Node;
using Kind = QMPredicate::Node::Kind;
using Op = QMPredicateOperator;
using QMPredicateRules::makeLeaf;
using QMPredicateRules::makeParent;

namespace {

// QVariant's own equality converts between types ("1" == 1); a predicate's values are equal
// only when they are the same value of the same type.
bool sameValue(const QVariant &a, const QVariant &b)
{
    if (!a.isValid() || !b.isValid())
        return a.isValid() == b.isValid();
    if (a.typeId() != b.typeId())
        return false;
    if (a.typeId() == QMetaType::QVariantList) {
        const QVariantList x = a.toList();
        const QVariantList y = b.toList();
        if (x.size() != y.size())
            return false;
        for (qsizetype i = 0; i < x.size(); ++i) {
            if (!sameValue(x.at(i), y.at(i)))
                return false;
        }
        return true;
    }
    return a == b;
}

bool sameNode(const Node *a, const Node *b)
{
    if (a == b)
        return true;
    if (!a || !b || a->kind != b->kind || a->children.size() != b->children.size())
        return false;
    if (a->kind == Kind::Comparison
        && (a->op != b->op || a->caseInsensitive != b->caseInsensitive || a->key != b->key
            || !sameValue(a->value, b->value)))
        return false;
    for (qsizetype i = 0; i < a->children.size(); ++i) {
        if (!sameNode(a->children.at(i).data(), b->children.at(i).data()))
            return false;
    }
    return true;
}

} // namespace

// ---- Building the tree ------------------------------------------------------------------

QMPredicateNodePtr QMPredicateRules::makeLeaf(Kind kind)
{
    auto *node = new Node;
    node->kind = kind;
    return QMPredicateNodePtr(node);
}

QMPredicateNodePtr QMPredicateRules::makeParent(Kind kind, QList<QMPredicateNodePtr> children)
{
    // AND and OR are associative: an AND inside an AND joins its parent's list, so that a
    // predicate grown one term at a time stays flat (and shallow enough for SQLite's parser), and
    // "(a AND b) AND c" is the same predicate as "a AND b AND c".
    if (kind == Kind::And || kind == Kind::Or) {
        QList<QMPredicateNodePtr> flat;
        flat.reserve(children.size());
        for (const QMPredicateNodePtr &child : children) {
            if (child->kind == kind)
                flat.append(child->children);
            else
                flat.append(child);
        }
        children = std::move(flat);
    }
    auto *node = new Node;
    node->kind = kind;
    int depth = 0;
    for (const QMPredicateNodePtr &child : children)
        depth = std::max(depth, child->depth);
    node->depth = depth + 1;
    node->children = std::move(children);
    return QMPredicateNodePtr(node);
}

// ---- Shared rules ------------------------------------------------------------------------

bool QMPredicateRules::likeMatches(QStringView text, QStringView pattern, bool caseInsensitive)
{
    QString foldedText;
    QString foldedPattern;
    if (caseInsensitive) {
        // Folding leaves "*", "?" and "\" alone, so the pattern can be folded whole.
        foldedText = QMPersistenceValue::folded(text.toString());
        foldedPattern = QMPersistenceValue::folded(pattern.toString());
        text = foldedText;
        pattern = foldedPattern;
    }
    // "?" is one character, so both sides go by code point, as SQLite's texts do.
    const QList<uint> t = text.toUcs4();
    const QList<uint> raw = pattern.toUcs4();
    enum : uint { Any = 0xFFFFFFFFu, One = 0xFFFFFFFEu };
    QList<uint> p;
    p.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw.at(i) == u'\\' && i + 1 < raw.size())
            p.append(raw.at(++i));
        else if (raw.at(i) == u'*')
            p.append(Any);
        else if (raw.at(i) == u'?')
            p.append(One);
        else
            p.append(raw.at(i));
    }
    // Greedy matching that returns to the last "*": linear in the text for each "*", never
    // exponential.
    qsizetype ti = 0;
    qsizetype pi = 0;
    qsizetype starP = -1;
    qsizetype starT = 0;
    while (ti < t.size()) {
        if (pi < p.size() && p.at(pi) == Any) {
            starP = pi++;
            starT = ti;
        } else if (pi < p.size() && (p.at(pi) == One || p.at(pi) == t.at(ti))) {
            ++pi;
            ++ti;
        } else if (starP >= 0) {
            pi = starP + 1;
            ti = ++starT;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p.at(pi) == Any)
        ++pi;
    return pi == p.size();
}

QString QMPredicateRules::operatorName(QMPredicateOperator op)
{
    switch (op) {
    case Op::Equal:
        return u"="_s;
    case Op::NotEqual:
        return u"!="_s;
    case Op::Less:
        return u"<"_s;
    case Op::LessOrEqual:
        return u"<="_s;
    case Op::Greater:
        return u">"_s;
    case Op::GreaterOrEqual:
        return u">="_s;
    case Op::BeginsWith:
        return u"BEGINSWITH"_s;
    case Op::Contains:
        return u"CONTAINS"_s;
    case Op::EndsWith:
        return u"ENDSWITH"_s;
    case Op::Like:
        return u"LIKE"_s;
    case Op::In:
        return u"IN"_s;
    }
    return QString();
}

// ---- QMPredicate -------------------------------------------------------------------------

const QString QMPredicateErrorPositionKey = u"QMPredicateErrorPosition"_s;

QMPredicate::QMPredicate() = default;
QMPredicate::~QMPredicate() = default;
QMPredicate::QMPredicate(const QMPredicate &) = default;
QMPredicate &QMPredicate::operator=(const QMPredicate &) = default;

QMPredicate::QMPredicate(QExplicitlySharedDataPointer<const Node> root)
    : m_root(std::move(root))
{ }

QMPredicate QMPredicate::predicateWithKeyValue(const QString &key, const QVariant &value)
{
    return predicateWithFormat(u"%K = %@"_s, {key, value});
}

namespace {

QMPredicateNodePtr nodeOf(const QMPredicate &predicate)
{
    // The null predicate matches everything, so among others it stands for TRUEPREDICATE.
    const Node *root = QMPredicateAccess::root(predicate);
    return root ? QMPredicateNodePtr(root) : makeLeaf(Kind::True);
}

QMPredicate combined(Kind kind, const QList<QMPredicate> &subpredicates)
{
    if (subpredicates.isEmpty())
        return QMPredicateAccess::make(makeLeaf(kind == Kind::And ? Kind::True : Kind::False));
    if (subpredicates.size() == 1)
        return subpredicates.first();
    QList<QMPredicateNodePtr> children;
    for (const QMPredicate &p : subpredicates)
        children.append(nodeOf(p));
    QMPredicateNodePtr node = makeParent(kind, std::move(children));
    if (node->depth > QMPredicateRules::MaximumDepth)
        throw QMInternalInconsistencyException(
                u"Invalid parameter not satisfying: depth <= 1000"_s);
    return QMPredicateAccess::make(node);
}

} // namespace

QMPredicate QMPredicate::andPredicateWithSubpredicates(const QList<QMPredicate> &subpredicates)
{
    return combined(Kind::And, subpredicates);
}

QMPredicate QMPredicate::orPredicateWithSubpredicates(const QList<QMPredicate> &subpredicates)
{
    return combined(Kind::Or, subpredicates);
}

QMPredicate QMPredicate::notPredicateWithSubpredicate(const QMPredicate &subpredicate)
{
    QMPredicateNodePtr node = makeParent(Kind::Not, {nodeOf(subpredicate)});
    if (node->depth > QMPredicateRules::MaximumDepth)
        throw QMInternalInconsistencyException(
                u"Invalid parameter not satisfying: depth <= 1000"_s);
    return QMPredicate(node);
}

bool QMPredicate::isNull() const
{
    return !m_root;
}

QStringList QMPredicate::keys() const
{
    QStringList keys;
    const std::function<void(const Node *)> collect = [&](const Node *node) {
        if (node->kind == Kind::Comparison && !keys.contains(node->key))
            keys.append(node->key);
        for (const QMPredicateNodePtr &child : node->children)
            collect(child.data());
    };
    if (m_root)
        collect(m_root.data());
    return keys;
}

bool operator==(const QMPredicate &a, const QMPredicate &b)
{
    return sameNode(a.m_root.data(), b.m_root.data());
}

#include <QMFoundation/persistence/QMPredicate.h>

#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMPredicate_p.h"

using namespace Qt::StringLiterals;

using Node = QMPredicate::Node;
using Kind = QMPredicate::Node::Kind;
using Op = QMPredicateOperator;

namespace {

std::optional<QMAttributeType> typeOfValue(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return QMAttributeType::String;
    case QMetaType::LongLong:
        return QMAttributeType::Integer;
    case QMetaType::Double:
        return QMAttributeType::Double;
    case QMetaType::Bool:
        return QMAttributeType::Boolean;
    case QMetaType::QDateTime:
        return QMAttributeType::Date;
    case QMetaType::QByteArray:
        return QMAttributeType::Binary;
    default:
        return std::nullopt;
    }
}

QVariant converted(const QVariant &value, QMAttributeType type)
{
    QMAttributeDescription attribute;
    attribute.type = type;
    return attribute.convertedValue(value);
}

// The comparison of a present attribute value with one literal. std::nullopt when the two
// cannot be compared: only an unbound predicate meets values of another type.
std::optional<int> compared(const Node &node, const QVariant &actual, const QVariant &literal)
{
    std::optional<QMAttributeType> type = node.type;
    if (!type) {
        type = typeOfValue(literal);
        // An integer literal against a fractional value compares as numbers, not by rounding.
        if (type == QMAttributeType::Integer
            && (actual.typeId() == QMetaType::Double || actual.typeId() == QMetaType::Float))
            type = QMAttributeType::Double;
        if (!type)
            return std::nullopt;
    }
    const QVariant a = converted(actual, *type);
    const QVariant b = node.type ? literal : converted(literal, *type);
    if (QMPersistenceValue::isAbsent(a) || QMPersistenceValue::isAbsent(b))
        return std::nullopt;
    if (node.caseInsensitive) {
        if (*type != QMAttributeType::String)
            return std::nullopt;
        return QMPersistenceValue::compareCodePoints(QMPersistenceValue::folded(a.toString()),
                                                     QMPersistenceValue::folded(b.toString()));
    }
    return QMPersistenceValue::compare(a, b, *type);
}

bool matchesText(const Node &node, const QVariant &actual)
{
    if (actual.typeId() != QMetaType::QString)
        return false;
    if (node.op == Op::Like)
        return QMPredicateRules::likeMatches(actual.toString(), node.value.toString(),
                                             node.caseInsensitive);
    QString text = actual.toString();
    QString needle = node.value.toString();
    if (node.caseInsensitive) {
        text = QMPersistenceValue::folded(text);
        needle = QMPersistenceValue::folded(needle);
    }
    // Every text starts with, holds and ends with the empty text; Qt says otherwise for a null
    // QString, which is no less a text here.
    if (needle.isEmpty())
        return true;
    switch (node.op) {
    case Op::BeginsWith:
        return text.startsWith(needle);
    case Op::Contains:
        return text.contains(needle);
    default:
        return text.endsWith(needle);
    }
}

bool evaluateComparison(const Node &node, const QVariant &actual)
{
    const bool absent = QMPersistenceValue::isAbsent(actual);
    if (!node.value.isValid())
        return (node.op == Op::Equal) == absent;
    if (absent)
        return false;
    switch (node.op) {
    case Op::Equal:
    case Op::NotEqual: {
        const std::optional<int> c = compared(node, actual, node.value);
        return (c && *c == 0) == (node.op == Op::Equal);
    }
    case Op::Less:
    case Op::LessOrEqual:
    case Op::Greater:
    case Op::GreaterOrEqual: {
        const std::optional<int> c = compared(node, actual, node.value);
        if (!c)
            return false;
        return node.op == Op::Less           ? *c < 0
                : node.op == Op::LessOrEqual ? *c <= 0
                : node.op == Op::Greater     ? *c > 0
                                             : *c >= 0;
    }
    case Op::In:
        for (const QVariant &element : node.value.toList()) {
            if (!element.isValid())
                continue;
            const std::optional<int> c = compared(node, actual, element);
            if (c && *c == 0)
                return true;
        }
        return false;
    default:
        return matchesText(node, actual);
    }
}

bool evaluate(const Node &node, const std::function<QVariant(const QString &)> &valueForKey)
{
    switch (node.kind) {
    case Kind::True:
        return true;
    case Kind::False:
        return false;
    case Kind::Not:
        return !evaluate(*node.children.first(), valueForKey);
    case Kind::And:
        for (const QMPredicateNodePtr &child : node.children) {
            if (!evaluate(*child, valueForKey))
                return false;
        }
        return true;
    case Kind::Or:
        for (const QMPredicateNodePtr &child : node.children) {
            if (evaluate(*child, valueForKey))
                return true;
        }
        return false;
    case Kind::Comparison:
        return evaluateComparison(node, valueForKey(node.key));
    }
    return false;
}

} // namespace

bool QMPredicate::evaluateWithValues(
        const std::function<QVariant(const QString &key)> &valueForKey) const
{
    return !m_root || evaluate(*m_root, valueForKey);
}

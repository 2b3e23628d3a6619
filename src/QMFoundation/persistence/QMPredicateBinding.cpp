#include <QMFoundation/persistence/QMPredicate.h>

#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMPredicate_p.h"
#include <QMFoundation/persistence/QMPersistenceError.h>

using namespace Qt::StringLiterals;

using Node = QMPredicate::Node;
using Kind = QMPredicate::Node::Kind;
using Op = QMPredicateOperator;
using QMPredicateRules::isTextOperator;
using QMPredicateRules::makeParent;
using QMPredicateRules::tr;

namespace {

struct BindFailure
{
    QString message;
};

QMPredicateNodePtr bound(const QMPredicateNodePtr &node, const QMEntityDescription &entity)
{
    if (node->kind != Kind::Comparison) {
        if (node->children.isEmpty())
            return node;
        QList<QMPredicateNodePtr> children;
        children.reserve(node->children.size());
        for (const QMPredicateNodePtr &child : node->children)
            children.append(bound(child, entity));
        return makeParent(node->kind, std::move(children));
    }
    const QMAttributeDescription *attribute = entity.attributeNamed(node->key);
    if (!attribute)
        throw BindFailure {
                tr("The entity %1 has no attribute \"%2\".").arg(entity.name(), node->key)};
    if ((isTextOperator(node->op) || node->caseInsensitive)
        && attribute->type != QMAttributeType::String)
        throw BindFailure {tr("The operator %1 needs a string attribute; \"%2\" is of type %3.")
                                   .arg(QMPredicateRules::operatorName(node->op)
                                                + (node->caseInsensitive ? u"[c]"_s : QString()),
                                        node->key, QMAttributeTypeName(attribute->type))};
    const auto convert = [attribute](const QVariant &value) {
        QMError error;
        const QVariant v = attribute->convertedValue(value, &error);
        if (!QMPersistenceValue::isAbsent(value) && !v.isValid())
            throw BindFailure {error.localizedDescription()};
        return v;
    };
    QVariant value;
    if (node->op == Op::In) {
        QVariantList list;
        for (const QVariant &element : node->value.toList())
            list.append(convert(element));
        value = QVariant(list);
    } else {
        value = convert(node->value);
    }
    // Made only now that nothing can throw; QSharedData's copy starts with no references.
    auto *copy = new Node(*node);
    copy->type = attribute->type;
    copy->value = value;
    return QMPredicateNodePtr(copy);
}

} // namespace

QMPredicate QMPredicate::boundToEntity(const QMEntityDescription &entity, QMError *error) const
{
    if (!m_root)
        return QMPredicate();
    try {
        return QMPredicate(bound(m_root, entity));
    } catch (const BindFailure &failure) {
        if (error)
            *error = QMError(QMPersistenceErrorDomain, QMPredicateInvalidKeyError,
                             {{QMLocalizedDescriptionKey, failure.message}});
        return QMPredicate();
    }
}

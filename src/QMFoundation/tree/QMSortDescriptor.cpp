#include <QMFoundation/tree/QMSortDescriptor.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/tree/QMTreeNode.h>

#include <QObject>
#include <QPartialOrdering>
#include <QVariantHash>
#include <QVariantMap>

namespace {

constexpr QStringView RepresentedObjectPrefix = u"representedObject.";

QVariant valueOf(const QVariant &object, const QString &name)
{
    if (object.typeId() == QMetaType::QVariantMap)
        return object.toMap().value(name);
    if (object.typeId() == QMetaType::QVariantHash)
        return object.toHash().value(name);
    if (object.metaType().flags() & QMetaType::PointerToQObject) {
        if (const QObject *target = object.value<QObject *>())
            return target->property(name.toUtf8().constData());
    }
    return {};
}

int compareValues(const QVariant &a, const QVariant &b)
{
    const QPartialOrdering order = QVariant::compare(a, b);
    if (order == QPartialOrdering::Less)
        return -1;
    if (order == QPartialOrdering::Greater)
        return 1;
    if (order == QPartialOrdering::Equivalent)
        return 0;
    // Values that do not order come first, equal among themselves.
    const bool aOrders = QVariant::compare(a, a) == QPartialOrdering::Equivalent;
    const bool bOrders = QVariant::compare(b, b) == QPartialOrdering::Equivalent;
    return int(aOrders) - int(bOrders);
}

template<typename Number>
int compareNumbers(Number a, Number b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

} // namespace

QMSortDescriptor::QMSortDescriptor(const QString &key, bool ascending)
    : m_key(key)
    , m_ascending(ascending)
{
    if (key == u"title")
        m_kind = Kind::Title;
    else if (key == u"identifier")
        m_kind = Kind::Identifier;
    else if (key == u"numericIdentifier")
        m_kind = Kind::NumericIdentifier;
    else if (key == u"numberOfChildren")
        m_kind = Kind::NumberOfChildren;
    else if (key == u"representedObject")
        m_kind = Kind::RepresentedObject;
    else if (key.startsWith(RepresentedObjectPrefix) && key.size() > RepresentedObjectPrefix.size())
        m_kind = Kind::RepresentedObjectValue;
    m_valueName = m_kind == Kind::RepresentedObjectValue ? key.mid(RepresentedObjectPrefix.size())
                                                         : QString();
    QMAssert(m_kind != Kind::Comparator,
             QStringLiteral("Expected a sort key of identifier, title, numericIdentifier, "
                            "numberOfChildren, representedObject or representedObject.NAME, but "
                            "got %1")
                     .arg(key));
}

QMSortDescriptor::QMSortDescriptor(const QString &key, bool ascending, Comparator comparator)
    : m_key(key)
    , m_ascending(ascending)
    , m_comparator(std::move(comparator))
{
    QMParameterAssert(bool(m_comparator), "comparator");
}

QMSortDescriptor QMSortDescriptor::sortDescriptorWithKey(const QString &key, bool ascending)
{
    return QMSortDescriptor(key, ascending);
}

QMSortDescriptor QMSortDescriptor::reversedSortDescriptor() const
{
    QMSortDescriptor reversed = *this;
    reversed.m_ascending = !m_ascending;
    return reversed;
}

int QMSortDescriptor::compareObject(const QMTreeNode &a, const QMTreeNode &b) const
{
    int result = 0;
    switch (m_kind) {
    case Kind::Comparator:
        result = m_comparator(a, b);
        break;
    case Kind::Title:
        // A null title sorts before every other, the empty one included.
        result = a.title().isNull() || b.title().isNull()
                ? int(!a.title().isNull()) - int(!b.title().isNull())
                : a.title().compare(b.title());
        break;
    case Kind::Identifier:
        result = a.identifier().compare(b.identifier());
        break;
    case Kind::NumericIdentifier:
        result = compareNumbers(a.numericIdentifier(), b.numericIdentifier());
        break;
    case Kind::NumberOfChildren:
        result = compareNumbers(a.numberOfChildren(), b.numberOfChildren());
        break;
    case Kind::RepresentedObject:
        result = compareValues(a.representedObject(), b.representedObject());
        break;
    case Kind::RepresentedObjectValue:
        result = compareValues(valueOf(a.representedObject(), m_valueName),
                               valueOf(b.representedObject(), m_valueName));
        break;
    }
    const int sign = result < 0 ? -1 : (result > 0 ? 1 : 0);
    return m_ascending ? sign : -sign;
}

int QMCompareNodes(const QMTreeNode &a, const QMTreeNode &b,
                   const QMSortDescriptorList &descriptors)
{
    for (const QMSortDescriptor &descriptor : descriptors) {
        if (const int result = descriptor.compareObject(a, b))
            return result;
    }
    return 0;
}

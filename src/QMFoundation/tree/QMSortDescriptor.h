#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QList>
#include <QString>

#include <functional>

class QMTreeNode;

/// One ordering of tree nodes, by a key or by a comparator function, ascending or descending.
///
/// Keys:
/// - "identifier", "title": the strings, compared code unit by code unit (QString::compare with
///   case sensitivity), a null title before every other;
/// - "numericIdentifier", "numberOfChildren": the numbers;
/// - "representedObject": the represented object itself, and "representedObject.NAME": its value
///   NAME, read from a QVariantMap or QVariantHash by key and from a QObject by property. Values
///   compare by QVariant::compare(); values it cannot order (a missing value, or types that do not
///   compare) come before every value it can, and are equal to each other.
/// Any other key throws QMInternalInconsistencyException "Expected a sort key of identifier, title,
/// numericIdentifier, numberOfChildren, representedObject or representedObject.NAME, but got KEY".
///
/// A comparator function returns a negative number, zero or a positive number as QString::compare
/// does; its key is only a label. Descending reverses the result.
class QMF_CORE_EXPORT QMSortDescriptor
{
public:
    /// (a, b) -> a negative number, zero or a positive number, as QString::compare gives.
    using Comparator = std::function<int(const QMTreeNode &a, const QMTreeNode &b)>;

    /// A descriptor of one of the keys listed above; throws for any other.
    QMSortDescriptor(const QString &key, bool ascending = true);
    /// A descriptor that orders by `comparator`, labelled `key`; throws "Invalid parameter not
    /// satisfying: comparator" without one.
    QMSortDescriptor(const QString &key, bool ascending, Comparator comparator);
    /// QMSortDescriptor(key, ascending).
    static QMSortDescriptor sortDescriptorWithKey(const QString &key, bool ascending = true);

    /// The key, or the label of a comparator.
    const QString &key() const { return m_key; }
    /// False when the order is reversed.
    bool ascending() const { return m_ascending; }
    /// The comparator, or an empty function for a key.
    const Comparator &comparator() const { return m_comparator; }
    /// The same ordering, the other way round.
    QMSortDescriptor reversedSortDescriptor() const;

    /// <0, 0 or >0 as `a` comes before, with or after `b`.
    int compareObject(const QMTreeNode &a, const QMTreeNode &b) const;

private:
    // The key, read once, so that comparing does not compare key strings.
    enum class Kind : quint8 {
        Comparator,
        Title,
        Identifier,
        NumericIdentifier,
        NumberOfChildren,
        RepresentedObject,
        RepresentedObjectValue,
    };

    QString m_key;
    QString m_valueName;
    Kind m_kind = Kind::Comparator;
    bool m_ascending = true;
    Comparator m_comparator;
};

/// A list of sort descriptors, the first deciding.
using QMSortDescriptorList = QList<QMSortDescriptor>;

/// Sorts `list` by `descriptors` (the first decides, later ones break its ties); nodes that every
/// descriptor finds equal keep their order. No descriptors leave the order as it is.
template<typename NodePointerList>
void QMSortNodes(NodePointerList &list, const QMSortDescriptorList &descriptors);

/// The order of `a` and `b` by `descriptors` (see QMSortNodes()): negative, zero or positive.
QMF_CORE_EXPORT int QMCompareNodes(const QMTreeNode &a, const QMTreeNode &b,
                                   const QMSortDescriptorList &descriptors);

#include <algorithm>

template<typename NodePointerList>
void QMSortNodes(NodePointerList &list, const QMSortDescriptorList &descriptors)
{
    if (descriptors.isEmpty() || list.size() < 2)
        return;
    std::stable_sort(list.begin(), list.end(), [&descriptors](const auto &a, const auto &b) {
        return QMCompareNodes(*a, *b, descriptors) < 0;
    });
}

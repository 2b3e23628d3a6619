#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/lists/QMIndexSet.h>

#include <QList>
#include <QPair>
#include <QString>

/// One move of the array comparison: [from, to], positions in the working list at the moment
/// of the move.
using QMMovePair = QPair<quint64, quint64>;
/// The moves of a comparison, in the order performed.
using QMMovePairList = QList<QMMovePair>;

/// The compiled engine behind QMArrayComparator<T>. Callers use QMArrayComparator (or the
/// `Comparing` functions); this interface lets one compiled engine serve every element type.
namespace QMArrayComparison {

/// What the engine needs to know about elements beyond their identity keys. Elements are
/// addressed by a combined position: 0 .. leftCount - 1 for the left list, leftCount + j for
/// position j of the right list.
class QMF_CORE_EXPORT Elements
{
public:
    virtual ~Elements();
    /// Value equality of two elements.
    virtual bool isEqual(quint64 a, quint64 b) const = 0;
    /// The element comparator's verdict "the same" for (element of the searched list, sought
    /// object). Called only when the comparison has an element comparator.
    virtual bool isSame(quint64 element, quint64 object) const = 0;
    /// The element's identifier for messages.
    virtual QString identifier(quint64 element) const = 0;
};

/// The distance of a moved-object record: the two positions' difference taken as a signed
/// 32-bit number, then made absolute (so a not-found position counts as -1).
inline quint64 recordDistance(quint64 a, quint64 b)
{
    const auto difference = static_cast<qint32>(static_cast<quint32>(a) - static_cast<quint32>(b));
    return quint64(difference < 0 ? -qint64(difference) : qint64(difference));
}

/// The result of compare().
struct Result
{
    /// The positions removed from the left list.
    QMIndexSet removedIndexes;
    /// The positions inserted into the right list.
    QMIndexSet insertedIndexes;
    /// The moves [from, to], in the order performed.
    QMMovePairList movedIndexes;
};

/// Compares two lists given as identity keys (equal keys = the same element) and returns the
/// removed positions, the inserted positions and the moves, exactly as the array comparator
/// defines them. Throws QMInternalInconsistencyException on the failures QMArrayComparator
/// documents.
QMF_CORE_EXPORT Result compare(const quintptr *leftKeys, qsizetype leftCount,
                               const quintptr *rightKeys, qsizetype rightCount, bool hasComparator,
                               const Elements &elements);

} // namespace QMArrayComparison

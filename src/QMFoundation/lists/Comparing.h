#pragma once

#include <QMFoundation/lists/QMArrayComparator.h>

#include <QList>

/// Array comparison with a list as the left (old) list; see QMArrayComparator.
namespace Comparing {

/// Compares `list` (left) with `other` (right) by identity and hands (removed indexes, inserted
/// indexes, moves) to `result` before returning.
template<typename T>
void compareIndexesOfObjectsWithIndexesOfObjectsInArray(
        const QList<T> &list, const QList<T> &other,
        const typename QMArrayComparator<T>::CompletionHandler &result)
{
    QMArrayComparator<T>(list, other).compareWithCompletionHandler(result);
}

/// The same with an element comparator (or none) deciding which elements are the same for
/// move detection.
template<typename T>
void compareIndexesOfObjectsWithIndexesOfObjectsInArray(
        const QList<T> &list, const QList<T> &other,
        typename QMArrayComparator<T>::Comparator comparator,
        const typename QMArrayComparator<T>::CompletionHandler &result)
{
    QMArrayComparator<T>(list, other, std::move(comparator)).compareWithCompletionHandler(result);
}

} // namespace Comparing

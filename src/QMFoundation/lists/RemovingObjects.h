#pragma once

#include <QMFoundation/lists/QMListElementTraits.h>

#include <QList>
#include <QMultiHash>

#include <stdexcept>
#include <string>

/// Lists without some of their elements.
namespace RemovingObjects {

/// A new list of the elements of `list` that are not equal to any element of `other`, in order:
/// every occurrence of such an element is removed, so removing [a] from [a, b, a, c] gives
/// [b, c]. An empty `other` gives a copy of `list`.
///
/// Equality is value equality, QMListElementTraits<T>::isEqual() (isEqual() of the target for
/// pointers to types that have one, such as QMListItem; identity for other pointers; `==` for
/// values). The elements of `other` are looked up by QMListElementTraits<T>::hash(), so the cost
/// is O(n + m) as long as equal elements have equal hashes, which the traits require.
///
/// `other` is a reference, so there is no missing list to check for.
template<typename T>
QList<T> arrayByRemovingObjectsFromArray(const QList<T> &list, const QList<T> &other)
{
    using Traits = QMListElementTraits<T>;
    if (other.isEmpty() || list.isEmpty())
        return list;
    // Candidates by hash; only elements that share a hash are compared for equality.
    QMultiHash<size_t, qsizetype> candidates;
    candidates.reserve(other.size());
    for (qsizetype i = 0; i < other.size(); ++i)
        candidates.insert(Traits::hash(other[i]), i);

    QList<T> kept;
    kept.reserve(list.size());
    for (const T &element : list) {
        const size_t hash = Traits::hash(element);
        bool found = false;
        for (auto it = candidates.constFind(hash); it != candidates.cend() && it.key() == hash;
             ++it) {
            if (Traits::isEqual(element, other[it.value()])) {
                found = true;
                break;
            }
        }
        if (!found)
            kept.append(element);
    }
    // An empty result holds no storage: Qt 6.4's QList::operator== passes a null pointer to
    // memcmp when it compares an empty list that has storage with one that has none, which
    // UBSan reports in the caller's code.
    return kept.isEmpty() ? QList<T>() : kept;
}

/// A new list without the `length` elements from `location`. The range must lie inside the list
/// (location >= 0, length >= 0, location + length <= size, so an empty range at the end is
/// allowed); otherwise it throws std::out_of_range with the message
/// "RemovingObjects::arrayByRemovingObjectsInRange: range {location, length} outside the list
/// of size elements" (numbers filled in), so that the caller sees both the range and the size.
template<typename T>
QList<T> arrayByRemovingObjectsInRange(const QList<T> &list, qsizetype location, qsizetype length)
{
    // Written so that no sum can overflow, whatever the arguments.
    if (location < 0 || length < 0 || location > list.size() || length > list.size() - location)
        throw std::out_of_range("RemovingObjects::arrayByRemovingObjectsInRange: range {"
                                + std::to_string(location) + ", " + std::to_string(length)
                                + "} outside the list of " + std::to_string(list.size())
                                + " elements");
    QList<T> kept;
    kept.reserve(list.size() - length);
    kept.append(list.sliced(0, location));
    kept.append(list.sliced(location + length));
    // No storage for an empty result, as above.
    return kept.isEmpty() ? QList<T>() : kept;
}

} // namespace RemovingObjects

#pragma once

#include <QMFoundation/lists/QMListElementTraits.h>

#include <QHash>
#include <QList>
#include <QSet>

#include <memory>
#include <utility>

/// QSet<QList<std::shared_ptr<U>>> needs a hash for the lists, and Qt has none for
/// std::shared_ptr elements. This one hashes the targets' addresses, agreeing with QList's `==`
/// (the same targets in the same order). It is an overload for the list rather than for
/// std::shared_ptr itself so that it is found by argument-dependent lookup whatever namespace `U`
/// lives in, and so that no QHash keyed by std::shared_ptr changes its hash with this header.
template<typename U>
size_t qHash(const QList<std::shared_ptr<U>> &list, size_t seed = 0) noexcept
{
    size_t hash = seed;
    for (const std::shared_ptr<U> &pointer : list) {
        // The combination step of boost::hash_combine (and of Qt's qHashRange).
        hash ^= qHash(static_cast<const void *>(pointer.get())) + 0x9e3779b9 + (hash << 6)
                + (hash >> 2);
    }
    return hash;
}

/// Ordered subsets of a list.
namespace Subsets {

/// Every non-empty ordered list of elements of `list` in which no element occurs twice, in every
/// order: for [a, b] the set {[a], [b], [a, b], [b, a]}; for n distinct elements, the sum over
/// k = 1 to n of n! / (n - k)! lists (15 for three), so this is for very short lists only. An
/// empty list gives an empty set.
///
/// Built by passes: pass 1 makes [x] for each element x in order; pass k (2 to n) makes s + [x]
/// for each element x in order and each list s of pass k - 1 in order that does not already
/// contain x. "Contains" is value equality (QMListElementTraits<T>::isEqual()), so [a, a] gives
/// only [a]. The set itself tells lists apart by QList's `==` (the elements' own `==`, identity
/// for pointers), so two distinct pointers that are isEqual() still make two one-element lists.
template<typename T>
QSet<QList<T>> allPossibleUniqueSubsets(const QList<T> &list)
{
    using Traits = QMListElementTraits<T>;
    const auto contains = [](const QList<T> &subset, const T &element) {
        for (const T &member : subset) {
            if (Traits::isEqual(member, element))
                return true;
        }
        return false;
    };

    QSet<QList<T>> result;
    QList<QList<T>> previousPass;
    for (const T &element : list) {
        const QList<T> single {element};
        result.insert(single);
        previousPass.append(single);
    }
    // A pass that made nothing ends the construction early: every later pass would be empty too.
    for (qsizetype pass = 2; pass <= list.size() && !previousPass.isEmpty(); ++pass) {
        QList<QList<T>> thisPass;
        for (const T &element : list) {
            for (const QList<T> &subset : std::as_const(previousPass)) {
                if (contains(subset, element))
                    continue;
                QList<T> longer = subset;
                longer.append(element);
                result.insert(longer);
                thisPass.append(std::move(longer));
            }
        }
        previousPass = std::move(thisPass);
    }
    return result;
}

} // namespace Subsets

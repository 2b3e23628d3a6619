#pragma once

#include <QList>

#include <algorithm>
#include <iterator>

/// Reversing an ordered list.
namespace ReversedArray {

/// A new list with the elements of `list` in reverse order; an empty list gives an empty list.
template<typename T>
QList<T> reversedArray(const QList<T> &list)
{
    QList<T> reversed;
    reversed.reserve(list.size());
    std::copy(list.crbegin(), list.crend(), std::back_inserter(reversed));
    return reversed;
}

} // namespace ReversedArray

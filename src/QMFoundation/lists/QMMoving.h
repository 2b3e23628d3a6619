#pragma once

#include <QList>

#include <stdexcept>

/// Moving one element of a list.
namespace QMMoving {

/// Takes the element at `from`, removes it there and inserts it at `to` (counted after the
/// removal): on [a, b, c], 0 -> 2 gives [b, c, a] and 2 -> 0 gives [c, a, b]. Throws
/// std::out_of_range when either position is outside the list.
template<typename T>
void moveObjectAtIndex(QList<T> &list, qsizetype from, qsizetype to)
{
    if (from < 0 || from >= list.size() || to < 0 || to >= list.size())
        throw std::out_of_range("QMMoving::moveObjectAtIndex: position outside the list");
    list.move(from, to);
}

} // namespace QMMoving

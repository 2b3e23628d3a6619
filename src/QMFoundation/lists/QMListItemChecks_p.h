#pragma once

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/QMListItem.h>

#include <QLatin1String>

#include <algorithm>
#include <utility>

/// Throws "Expected an item at every position of the <name>, but position <i> holds none" when
/// `list` holds a null item. The manager and the model share it so their messages agree.
inline void QMRequireListItems(const QMListItemList &list, const char *name)
{
    const qsizetype empty = list.indexOf(nullptr);
    if (empty >= 0) {
        throw QMInternalInconsistencyException(
                QStringLiteral("Expected an item at every position of the %1, but position %2 "
                               "holds none")
                        .arg(QLatin1String(name))
                        .arg(empty));
    }
}

/// Moves the element at `from` to `to` (the target counted after removing it) and puts `item`
/// there. The elements between shift by one place through element-wise moves: std::rotate (what
/// QList::move uses) swaps a shared pointer with its neighbour, each swap waiting for the one
/// before, which made a long move about three times slower.
inline void QMMoveListItem(QMListItemList &list, qsizetype from, qsizetype to,
                           QMListItemPointer item)
{
    QMListItemPointer *const data = list.data();
    if (from < to)
        std::move(data + from + 1, data + to + 1, data + from);
    else if (to < from)
        std::move_backward(data + to, data + from, data + from + 1);
    data[to] = std::move(item);
}

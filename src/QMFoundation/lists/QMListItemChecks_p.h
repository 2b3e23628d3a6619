#pragma once

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/QMListItem.h>

#include <QLatin1String>

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

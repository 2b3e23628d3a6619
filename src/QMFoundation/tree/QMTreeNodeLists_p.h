#pragma once

#include <QMFoundation/lists/QMIndexSet.h>
#include <QMFoundation/tree/QMTreeNode.h>

/// The positions of `longer` that a walk matching the nodes of `shorter` in order passes over,
/// and in `matched` (when given) how many nodes of `shorter` it matched. When all of them
/// match, `shorter` is `longer` with the nodes at those positions left out. The tree manager
/// and the tree model both tell a list that only lost or only gained nodes this way.
inline QMIndexSet QMPositionsPassedOver(const QMTreeNodeList &longer, const QMTreeNodeList &shorter,
                                        qsizetype *matched = nullptr)
{
    QMIndexSet passedOver;
    qsizetype next = 0;
    for (qsizetype i = 0; i < longer.size(); ++i) {
        if (next < shorter.size() && longer[i] == shorter[next])
            ++next;
        else
            passedOver.addIndex(quint64(i));
    }
    if (matched)
        *matched = next;
    return passedOver;
}

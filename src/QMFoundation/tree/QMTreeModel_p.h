#pragma once

// The tree model's private state: where each shown node stands, and the reporting of the
// manager's changes as the rows a view sees. Internal to the tree model.

#include "QMFoundation/lists/QMItemModelSupport_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/tree/QMTreeModel.h>

#include <QHash>
#include <QList>

#include <memory>
#include <optional>

class QMTreeModel::Private
{
public:
    static QString reportingMessage()
    {
        return QStringLiteral("Expected no change of the tree model while it reports one");
    }

    // Where a shown node stands: its parent as the model shows it (null for the root list) and its
    // row there. The model keeps this for every node it shows, because the tree's links cannot tell
    // it: a root node's parentNode() may name another node, and a node that the manager has just
    // removed has lost its link while the view is still being told of the removal.
    struct Location
    {
        QMTreeNode *parent = nullptr;
        qsizetype row = 0;
    };

    // The one child list whose change the model is reporting. The manager has already changed the
    // list when the model hears of it, so for the length of the report the rows are read from here.
    struct Transition
    {
        enum Kind { None, Removal, Insertion, Move };
        Kind kind = None;
        QMTreeNode *parent = nullptr;

        // Removal and insertion: the shown rows are head[0, split) followed by tail[tailStart,
        // end). A removal starts with the old list as head and the new one as tail and takes its
        // ranges from the highest; an insertion starts the other way round and takes them from the
        // lowest. Each range moves the split, so a step with many ranges costs no more than one
        // with one.
        QMTreeNodeList head {};
        QMTreeNodeList tail {};
        qsizetype split = 0;
        qsizetype tailStart = 0;
        // Positions in head and tail, made on the first row query of the step.
        QHash<const QMTreeNode *, qsizetype> headRows {};
        QHash<const QMTreeNode *, qsizetype> tailRows {};

        // Move: the manager has moved the child at `from` to `to`; the rows show the order before.
        qsizetype from = 0;
        qsizetype to = 0;

        qsizetype count(const QMTreeNodeList &current) const
        {
            return kind == Move ? current.size() : split + tail.size() - tailStart;
        }

        QMTreeNode *at(qsizetype row, const QMTreeNodeList &current) const
        {
            if (kind != Move)
                return (row < split ? head[row] : tail[tailStart + row - split]).get();
            if (row == from)
                return current[to].get();
            if (from < to && row > from && row <= to)
                return current[row - 1].get();
            if (to < from && row >= to && row < from)
                return current[row + 1].get();
            return current[row].get();
        }

        // The row of a node of the list; `locationRow` is its row before the step.
        qsizetype rowOf(const QMTreeNode *node, qsizetype locationRow)
        {
            if (kind == Move)
                return locationRow;
            if (headRows.isEmpty() && tailRows.isEmpty()) {
                for (qsizetype k = 0; k < head.size(); ++k)
                    headRows.insert(head[k].get(), k);
                for (qsizetype k = 0; k < tail.size(); ++k)
                    tailRows.insert(tail[k].get(), k);
            }
            const qsizetype inHead = headRows.value(node, -1);
            if (inHead >= 0 && inHead < split)
                return inHead;
            const qsizetype inTail = tailRows.value(node, -1);
            return inTail >= tailStart ? inTail - tailStart + split : -1;
        }
    };

    // A will call of the manager whose did call has not come yet.
    struct PendingStep
    {
        Transition::Kind kind = Transition::None;
        QMTreeNodePointer parent {};
        QMTreeNodeList before {};
        qsizetype from = 0;
        qsizetype to = 0;
        QMTreeNodePointer moved {};
    };

    // Marks the model as reporting a change, after checking that it reports none.
    class ChangeGuard : public QMChangingScope
    {
    public:
        explicit ChangeGuard(Private *model)
            : QMChangingScope(quiet(model)->changing)
        { }

    private:
        static Private *quiet(Private *d)
        {
            QMAssert(!d->changing, reportingMessage());
            return d;
        }
    };

    // The manager's delegate: each call is first turned into the model's notifications and then
    // handed on to the host's delegate.
    class Adapter : public QMTreeManagerDelegate
    {
    public:
        explicit Adapter(Private *model)
            : d(model)
        { }

        std::optional<bool> treeManagerUpdateItem(QMTreeManager &treeManager,
                                                  const QMTreeNodePointer &existingNode,
                                                  const QMTreeNodePointer &newNode) override
        {
            if (const auto hostDelegate = d->host.lock())
                return hostDelegate->treeManagerUpdateItem(treeManager, existingNode, newNode);
            return std::nullopt;
        }
        void treeManagerDidUpdateItems(QMTreeManager &treeManager,
                                       const QMTreeNodeList &nodes) override
        {
            if (!d->silent)
                d->updated.append(nodes);
            forward(&QMTreeManagerDelegate::treeManagerDidUpdateItems, treeManager, nodes);
        }
        void treeManagerWillDeleteItemsAtIndexPaths(QMTreeManager &treeManager,
                                                    const QMIndexSet &indexes,
                                                    const QMTreeNodePointer &parent) override
        {
            if (!d->silent && d->isShown(parent.get()))
                d->pending = PendingStep {.kind = Transition::Removal,
                                          .parent = parent,
                                          .before = d->childList(parent.get())};
            forward(&QMTreeManagerDelegate::treeManagerWillDeleteItemsAtIndexPaths, treeManager,
                    indexes, parent);
        }
        void treeManagerDidDeleteItemsAtIndexPaths(QMTreeManager &treeManager,
                                                   const QMIndexSet &indexes,
                                                   const QMTreeNodePointer &parent) override
        {
            if (const std::optional<PendingStep> step = d->takePending(parent))
                d->removeRows(parent.get(), indexes, step->before);
            forward(&QMTreeManagerDelegate::treeManagerDidDeleteItemsAtIndexPaths, treeManager,
                    indexes, parent);
        }
        void treeManagerWillInsertItemsAtIndexPaths(QMTreeManager &treeManager,
                                                    const QMIndexSet &indexes,
                                                    const QMTreeNodePointer &parent) override
        {
            // Also for a parent the model does not show: the nodes inserted there may be shown
            // elsewhere now.
            if (!d->silent)
                d->pending = PendingStep {.kind = Transition::Insertion,
                                          .parent = parent,
                                          .before = d->childList(parent.get())};
            forward(&QMTreeManagerDelegate::treeManagerWillInsertItemsAtIndexPaths, treeManager,
                    indexes, parent);
        }
        void treeManagerDidInsertItemsAtIndexPaths(QMTreeManager &treeManager,
                                                   const QMIndexSet &indexes,
                                                   const QMTreeNodePointer &parent) override
        {
            if (const std::optional<PendingStep> step = d->takePending(parent))
                d->insertRows(parent.get(), indexes, step->before);
            forward(&QMTreeManagerDelegate::treeManagerDidInsertItemsAtIndexPaths, treeManager,
                    indexes, parent);
        }
        void treeManagerWillMoveItemAtIndex(QMTreeManager &treeManager, qint64 fromIndex,
                                            const QMTreeNodePointer &fromParent, qint64 toIndex,
                                            const QMTreeNodePointer &toParent) override
        {
            if (!d->silent && d->isShown(fromParent.get())) {
                const QMTreeNodeList &list = d->childList(fromParent.get());
                d->pending = PendingStep {.kind = Transition::Move,
                                          .parent = fromParent,
                                          .from = qsizetype(fromIndex),
                                          .to = qsizetype(toIndex),
                                          .moved = list.value(qsizetype(fromIndex))};
            }
            forward(&QMTreeManagerDelegate::treeManagerWillMoveItemAtIndex, treeManager, fromIndex,
                    fromParent, toIndex, toParent);
        }
        void treeManagerDidMoveItemAtIndex(QMTreeManager &treeManager, qint64 fromIndex,
                                           const QMTreeNodePointer &fromParent, qint64 toIndex,
                                           const QMTreeNodePointer &toParent) override
        {
            if (const std::optional<PendingStep> step = d->takePending(fromParent))
                d->moveRow(fromParent.get(), step->from, step->to);
            forward(&QMTreeManagerDelegate::treeManagerDidMoveItemAtIndex, treeManager, fromIndex,
                    fromParent, toIndex, toParent);
        }

    private:
        template<typename Function, typename... Arguments>
        void forward(Function function, Arguments &&...arguments)
        {
            if (const std::shared_ptr<QMTreeManagerDelegate> hostDelegate = d->host.lock())
                (hostDelegate.get()->*function)(std::forward<Arguments>(arguments)...);
        }

        Private *d;
    };

    explicit Private(QMTreeModel *model)
        : q(model)
    {
        manager.setUsesIncrementalUpdates(true);
        manager.setDelegate(adapter);
    }

    // The list itself, as the manager keeps it.
    QMTreeNodeList &childList(QMTreeNode *parent);

    bool isShown(const QMTreeNode *node) const { return !node || locations.contains(node); }

    Transition *transitionOf(const QMTreeNode *parent);

    qsizetype shownCount(QMTreeNode *parent);

    QMTreeNode *shownChild(QMTreeNode *parent, qsizetype row);

    QModelIndex indexOf(const QMTreeNode *node);

    // The node of an index that stands for a shown node, or null.
    QMTreeNode *shownNode(const QModelIndex &index) const;

    std::optional<PendingStep> takePending(const QMTreeNodePointer &parent);

    // Enters `node` and everything below it as shown, `node` at `row` of `parent`.
    void addSubtree(const QMTreeNodePointer &node, QMTreeNode *parent, qsizetype row);

    void eraseSubtree(QMTreeNode *node);

    void renumber(QMTreeNode *parent, qsizetype first, qsizetype last = -1);

    // Calls `visit(parent, list)` for the root list and the child list of every shown node.
    template<typename Visit>
    void forEachShownList(Visit visit)
    {
        QList<QMTreeNode *> stack {nullptr};
        while (!stack.isEmpty()) {
            QMTreeNode *parent = stack.takeLast();
            const QMTreeNodeList &list = childList(parent);
            visit(parent, list);
            for (const QMTreeNodePointer &child : list) {
                // A null entry would stand for the root list here.
                if (child)
                    stack.append(child.get());
            }
        }
    }

    void rebuildLocations();

    void removeRows(QMTreeNode *parent, const QMIndexSet &rows, const QMTreeNodeList &before);

    void insertRows(QMTreeNode *parent, const QMIndexSet &rows, const QMTreeNodeList &before);

    // The manager reports a node that a merge takes to another parent as a delete from its old
    // list, found through the node's parent link. Where that link does not name the list that
    // shows the node (a root given to setRootNodes() as some other node's child, a list built
    // without linking), the insertion would leave the node shown in two places, or take it out
    // of its old list unreported (insertChild() unlinks it). The model then reports the node's
    // removal from its old place itself, before the insertion.
    void takeFromOldPlaces(const QMTreeNodeList &nodes);

    void moveRow(QMTreeNode *parent, qsizetype from, qsizetype to);

    // After a failure between a will call and its did call: reports what the manager had
    // already done to the list (removals run from the highest position and insertions from the
    // lowest, so the list before and the list now differ by a subsequence).
    void finishPendingStep();

    // dataChanged() for the shown nodes that the merge reported as changed, one signal per run
    // of adjacent rows.
    void reportUpdatedNodes();

    // Runs a merge of the manager and reports it; on failure, what was done is still reported.
    template<typename Merge>
    void merge(Merge run)
    {
        const ChangeGuard guard(this);
        updated.clear();
        try {
            run();
        } catch (...) {
            finishPendingStep();
            reportUpdatedNodes();
            throw;
        }
        reportUpdatedNodes();
    }

    QVariant roleValue(const QMTreeNode &node, int role) const;

    QMTreeModel *q;
    QMTreeManager manager;
    std::shared_ptr<Adapter> adapter = std::make_shared<Adapter>(this);
    std::weak_ptr<QMTreeManagerDelegate> host;
    QHash<const QMTreeNode *, Location> locations;
    // The lists whose change is being reported: at most the list of an insertion and the old
    // list of a node it takes away.
    QList<Transition> transitions;
    std::optional<PendingStep> pending;
    QMTreeNodeList updated;
    bool changing = false;
    // While the model resets, the manager's calls describe no change a view could follow.
    bool silent = false;
    DisplayFunction displayFunction;
    QMModelRoles<QMTreeNode, RoleFunction> hostRoles;
};

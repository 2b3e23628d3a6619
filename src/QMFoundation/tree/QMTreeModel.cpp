#include <QMFoundation/tree/QMTreeModel.h>

#include "QMFoundation/lists/QMItemModelSupport_p.h"
#include "QMFoundation/tree/QMTreeModel_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>

#include <QList>
#include <QMap>
#include <QScopeGuard>
#include <QSet>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

QString standsInTwoMessage(const QMTreeNode &node)
{
    return QStringLiteral("Expected each node in one place of the tree, but %1 stands in two")
            .arg(node.identifier());
}

// A new child list that names one identifier twice makes the manager place one node twice in a
// list, and the model cannot show one node in two rows: such a tree is refused before anything
// changes. (The same identifier under two parents is fine: the node goes to the list merged
// last.) Null nodes are left to the manager, which refuses them itself.
void checkOneIdentifierOncePerList(const QMTreeNodeList &nodes)
{
    QList<const QMTreeNodeList *> lists {&nodes};
    QSet<quint64> identifiers;
    while (!lists.isEmpty()) {
        const QMTreeNodeList &list = *lists.takeLast();
        identifiers.clear();
        for (const QMTreeNodePointer &node : list) {
            if (!node)
                continue;
            const qsizetype before = identifiers.size();
            identifiers.insert(node->numericIdentifier());
            if (identifiers.size() == before)
                QMAssert(false, standsInTwoMessage(*node));
            lists.append(&node->mutableChildNodes());
        }
    }
}

} // namespace

QMTreeModel::QMTreeModel(QObject *parent)
    : QAbstractItemModel(parent)
    , d(std::make_unique<Private>(this))
{ }

QMTreeModel::~QMTreeModel() = default;

QMTreeNodeList QMTreeModel::rootNodes() const
{
    return d->manager.rootNodes();
}

void QMTreeModel::setRootNodes(const QMTreeNodeList &nodes)
{
    const Private::ChangeGuard guard(d.get());
    // Checked before anything changes: the model's locations need each node in one place.
    QSet<const QMTreeNode *> seen;
    QList<const QMTreeNodeList *> lists {&nodes};
    while (!lists.isEmpty()) {
        for (const QMTreeNodePointer &node : *lists.takeLast()) {
            QMAssert(node != nullptr,
                     QStringLiteral("Expected a node at every position of the tree"));
            if (seen.contains(node.get()))
                QMAssert(false, standsInTwoMessage(*node));
            seen.insert(node.get());
            lists.append(&node->mutableChildNodes());
        }
    }

    beginResetModel();
    d->silent = true;
    const auto done = qScopeGuard([this] {
        d->silent = false;
        d->pending.reset();
        d->rebuildLocations();
        endResetModel();
    });
    QMTreeManager &manager = d->manager;
    manager.setMutableRootNodes(nodes);
    manager.setNodesByIdentifierMap({});
    manager.updateNodesByIdentifierMapRecursivelyWithChildNodes(nodes);
    manager.setUnfilteredRootNodesCopy(std::nullopt);
    manager.setUnfilteredNodesByIdentifierMap({});
    manager.setFiltering(false);
    manager.applySortDescriptorsToParentNode(nullptr);
    manager.applyFilterPredicate();
}

void QMTreeModel::updateRootNodes(const QMTreeNodeList &nodes)
{
    checkOneIdentifierOncePerList(nodes);
    d->merge([&] { d->manager.updateRootNodesWithNodes(nodes); });
}

void QMTreeModel::updateChildNodes(const QMTreeNodePointer &parent, const QMTreeNodeList &nodes)
{
    QMAssert(parent && d->isShown(parent.get()),
             QStringLiteral("Expected a node of the tree as the parent of the merge"));
    checkOneIdentifierOncePerList(nodes);
    d->merge([&] { d->manager.updateParentNode(parent, nodes); });
}

const QMSortDescriptorList &QMTreeModel::sortDescriptors() const
{
    return d->manager.sortDescriptors();
}

void QMTreeModel::setSortDescriptors(const QMSortDescriptorList &descriptors)
{
    const Private::ChangeGuard guard(d.get());
    Q_EMIT layoutAboutToBeChanged();
    const QModelIndexList before = persistentIndexList();
    // Sorting keeps every node under its parent, so each persistent index finds its node's new
    // row; this holds even when a sort descriptor throws halfway.
    const auto done = qScopeGuard([&] {
        d->forEachShownList(
                [this](QMTreeNode *parent, const QMTreeNodeList &) { d->renumber(parent, 0); });
        QModelIndexList after;
        after.reserve(before.size());
        for (const QModelIndex &index : before)
            after.append(d->indexOf(static_cast<QMTreeNode *>(index.internalPointer())));
        changePersistentIndexList(before, after);
        Q_EMIT layoutChanged();
    });
    d->manager.setSortDescriptors(descriptors);
}

const QMTreeNodePredicate &QMTreeModel::filterPredicate() const
{
    return d->manager.filterPredicate();
}

void QMTreeModel::setFilterPredicate(const QMTreeNodePredicate &predicate)
{
    d->merge([&] { d->manager.setFilterPredicate(predicate); });
}

bool QMTreeModel::isFiltering() const
{
    return d->manager.isFiltering();
}

void QMTreeModel::setUpdateHandler(const QMTreeManager::UpdateHandler &handler)
{
    // The manager may be running the handler that this would destroy.
    QMAssert(!d->changing, Private::reportingMessage());
    d->manager.setUpdateHandler(handler);
}

void QMTreeModel::setDelegate(const std::shared_ptr<QMTreeManagerDelegate> &delegate)
{
    d->host = delegate;
}

const QMTreeManager &QMTreeModel::manager() const
{
    return d->manager;
}

QMTreeNodePointer QMTreeModel::nodeForIndex(const QModelIndex &index) const
{
    QMTreeNode *node = d->shownNode(index);
    return node ? node->shared_from_this() : nullptr;
}

QModelIndex QMTreeModel::indexForNode(const QMTreeNodePointer &node) const
{
    return node ? d->indexOf(node.get()) : QModelIndex();
}

void QMTreeModel::setDisplayFunction(DisplayFunction function)
{
    const Private::ChangeGuard guard(d.get());
    d->displayFunction = std::move(function);
    d->forEachShownList([this](QMTreeNode *parent, const QMTreeNodeList &list) {
        if (list.isEmpty())
            return;
        const QModelIndex parentIndex = d->indexOf(parent);
        Q_EMIT dataChanged(index(0, 0, parentIndex), index(int(list.size() - 1), 0, parentIndex),
                           {Qt::DisplayRole});
    });
}

void QMTreeModel::setRoleProvider(const QHash<int, QByteArray> &roleNames, RoleFunction function)
{
    QMModelRoles<QMTreeNode, RoleFunction> roles;
    roles.set(roleNames, std::move(function), IdentifierRole);
    const Private::ChangeGuard guard(d.get());
    beginResetModel();
    d->hostRoles = std::move(roles);
    endResetModel();
}

QModelIndex QMTreeModel::index(int row, int column, const QModelIndex &parent) const
{
    QMTreeNode *parentNode = d->shownNode(parent);
    if (column != 0 || row < 0 || (parent.isValid() && !parentNode)
        || row >= d->shownCount(parentNode))
        return {};
    return createIndex(row, 0, d->shownChild(parentNode, row));
}

QModelIndex QMTreeModel::parent(const QModelIndex &child) const
{
    const QMTreeNode *node = d->shownNode(child);
    if (!node)
        return {};
    return d->indexOf(d->locations.value(node).parent);
}

int QMTreeModel::rowCount(const QModelIndex &parent) const
{
    QMTreeNode *parentNode = d->shownNode(parent);
    if (parent.column() > 0 || (parent.isValid() && !parentNode))
        return 0;
    return int(d->shownCount(parentNode));
}

int QMTreeModel::columnCount(const QModelIndex &parent) const
{
    return parent.column() > 0 ? 0 : 1;
}

bool QMTreeModel::hasChildren(const QModelIndex &parent) const
{
    return rowCount(parent) > 0;
}

QVariant QMTreeModel::data(const QModelIndex &index, int role) const
{
    const QMTreeNode *node = d->shownNode(index);
    if (!node || index.column() != 0)
        return {};
    // Views ask from Qt's event loop (painting, layout): the host's display and role functions
    // must not throw through it.
    try {
        return d->roleValue(*node, role);
    } catch (...) {
        QMUncaughtExceptions::handleCurrentException("a role function of a tree model");
        return {};
    }
}

QHash<int, QByteArray> QMTreeModel::roleNames() const
{
    return d->hostRoles.names(IdentifierRole);
}

void QMTreeModel::sort(int column, Qt::SortOrder order)
{
    QMSortDescriptorList descriptors;
    if (column == 0)
        descriptors.append(QMSortDescriptor(QStringLiteral("title"), order == Qt::AscendingOrder));
    setSortDescriptors(descriptors);
}

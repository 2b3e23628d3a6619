#include <QMFoundation/lists/QMListModel.h>

#include "QMFoundation/lists/QMItemModelSupport_p.h"
#include "QMFoundation/lists/QMListItemChecks_p.h"

#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>

#include <QSet>

#include <algorithm>
#include <utility>

namespace {

// The model's rows. Between steps the items stand in row order in `items`. While a step
// removes or inserts several ranges, the rows that the step has not reached yet wait behind a
// gap (a run of empty slots inside `items`), and each range moves the gap instead of shifting
// every row after it: a row is moved at most twice per step, however many ranges the step has.
struct Rows
{
    QMListItemList items;
    qsizetype gapStart = 0;
    qsizetype gapLength = 0;

    qsizetype count() const { return items.size() - gapLength; }
    const QMListItemPointer &at(qsizetype row) const
    {
        return items[row < gapStart ? row : row + gapLength];
    }

    void assign(const QMListItemList &list)
    {
        items = list;
        gapStart = list.size();
        gapLength = 0;
    }

    QMListItemList toList() const
    {
        if (gapLength == 0)
            return items;
        QMListItemList list;
        list.reserve(count());
        for (qsizetype row = 0; row < count(); ++row)
            list.append(at(row));
        return list;
    }

    // Moves the gap so that it starts before `row`.
    void moveGap(qsizetype row)
    {
        QMListItemPointer *data = items.data();
        if (row < gapStart)
            std::move_backward(data + row, data + gapStart, data + gapStart + gapLength);
        else
            std::move(data + gapStart + gapLength, data + row + gapLength, data + gapStart);
        gapStart = row;
    }

    // Makes room for `length` more rows at the end.
    void openGap(qsizetype length)
    {
        moveGap(count());
        items.resize(items.size() + length);
        gapLength += length;
    }

    void closeGap()
    {
        moveGap(count());
        items.resize(count());
        gapLength = 0;
    }

    void remove(qsizetype row, qsizetype length)
    {
        moveGap(row + length);
        std::fill(items.begin() + row, items.begin() + row + length, nullptr);
        gapStart = row;
        gapLength += length;
    }

    // Inserts `length` items of `source` from `from` at `row`; the gap must have room for them.
    void insert(qsizetype row, const QMListItemList &source, qsizetype from, qsizetype length)
    {
        moveGap(row);
        std::copy(source.cbegin() + from, source.cbegin() + from + length, items.begin() + row);
        gapStart += length;
        gapLength -= length;
    }
};

// One step of the list manager, as the model applies it.
struct Step
{
    enum Kind { Deletion, Insertion, Move };
    Kind kind = Deletion;
    QMIndexSet indexes;
    // The inserted items in ascending order of position, or the item that ends up at `to`.
    QMListItemList items;
    qsizetype from = 0;
    qsizetype to = 0;

    qsizetype rowCountAfter(qsizetype rows) const
    {
        switch (kind) {
        case Deletion:
            return rows - qsizetype(indexes.count());
        case Insertion:
            return rows + qsizetype(indexes.count());
        case Move:
            break;
        }
        return rows;
    }
};

QMInternalInconsistencyException mismatch(qsizetype rows, const QString &step)
{
    return QMInternalInconsistencyException(
            QStringLiteral("Expected a step of the list the model shows (%1 rows), but the list "
                           "manager reported %2")
                    .arg(rows)
                    .arg(step));
}

// The steps that the delegate calls describe, checked against the rows they are meant for.
// Only counts and positions are checked, so that a check costs O(1) beside the step itself.
Step deletionStep(const QMIndexSet &indexes, const QMListItemList &list, qsizetype rows)
{
    if ((!indexes.isEmpty() && indexes.lastIndex() >= quint64(rows))
        || list.size() != rows - qsizetype(indexes.count())) {
        throw mismatch(rows,
                       QStringLiteral("a deletion of %1 leaving %2 items")
                               .arg(indexes.description())
                               .arg(list.size()));
    }
    return Step {Step::Deletion, indexes, {}, 0, 0};
}

Step insertionStep(const QMIndexSet &indexes, const QMListItemList &list, qsizetype rows)
{
    if ((!indexes.isEmpty() && indexes.lastIndex() >= quint64(list.size()))
        || list.size() != rows + qsizetype(indexes.count())) {
        throw mismatch(rows,
                       QStringLiteral("an insertion of %1 giving %2 items")
                               .arg(indexes.description())
                               .arg(list.size()));
    }
    Step step {Step::Insertion, indexes, {}, 0, 0};
    step.items.reserve(qsizetype(indexes.count()));
    for (quint64 index : indexes) {
        if (!list[qsizetype(index)])
            throw mismatch(rows, QStringLiteral("an insertion of no item at %1").arg(index));
        step.items.append(list[qsizetype(index)]);
    }
    return step;
}

Step moveStep(qint64 from, qint64 to, const QMListItemList &list, qsizetype rows)
{
    if (from < 0 || from >= rows || to < 0 || to >= rows || list.size() != rows
        || !list[qsizetype(to)]) {
        throw mismatch(rows,
                       QStringLiteral("a move from %1 to %2 giving %3 items")
                               .arg(from)
                               .arg(to)
                               .arg(list.size()));
    }
    return Step {Step::Move, {}, {list[qsizetype(to)]}, qsizetype(from), qsizetype(to)};
}

} // namespace

class QMListModel::Private
{
public:
    // Receives the list manager's calls. The model's own manager records the steps and the
    // model applies them once the manager has finished, so that a failing update changes
    // nothing; the delegate handed to hosts applies each step as it comes.
    class Adapter : public QMListManagerDelegate
    {
    public:
        Adapter(Private *model, bool records)
            : d(model)
            , recording(records)
        { }
        void listManagerDidDeleteItemsAtIndexPaths(const QMIndexSet &indexes,
                                                   const QMListItemList &list) override
        {
            if (d)
                take(deletionStep(indexes, list, expectedRows()));
        }
        void listManagerDidInsertItemsAtIndexPaths(const QMIndexSet &indexes,
                                                   const QMListItemList &list) override
        {
            if (d)
                take(insertionStep(indexes, list, expectedRows()));
        }
        void listManagerDidMoveItemAtIndex(qint64 fromIndex, qint64 toIndex,
                                           const QMListItemList &list) override
        {
            if (d)
                take(moveStep(fromIndex, toIndex, list, expectedRows()));
        }

        Private *d;
        const bool recording;

    private:
        qsizetype expectedRows() const
        {
            if (recording)
                return d->recordedRows;
            d->requireQuiet();
            return d->rows.count();
        }
        void take(Step step)
        {
            if (recording) {
                d->recordedRows = step.rowCountAfter(d->recordedRows);
                d->recorded.append(std::move(step));
            } else {
                const QMChangingScope guard(d->changing);
                d->apply(step);
            }
        }
    };

    explicit Private(QMListModel *model)
        : q(model)
    {
        manager.setDelegate(recorder);
    }
    ~Private()
    {
        recorder->d = nullptr;
        follower->d = nullptr;
    }

    void requireQuiet() const
    {
        QMAssert(!changing,
                 QStringLiteral("Expected no change to the list model while it reports a change"));
    }

    QVariant roleValue(const QMListItemPointer &item, int role) const
    {
        if (role == Qt::DisplayRole)
            return displayFunction ? displayFunction(item) : item->description();
        if (role == IdentifierRole)
            return item->identifier();
        return hostRoles.value(item, role);
    }

    QList<int> snapshotRoles() const
    {
        QList<int> roles {Qt::DisplayRole, IdentifierRole};
        QList<int> provided = hostRoles.provided().keys();
        std::sort(provided.begin(), provided.end());
        return roles + provided;
    }

    void apply(const Step &step)
    {
        switch (step.kind) {
        case Step::Deletion:
            applyDeletion(step.indexes);
            break;
        case Step::Insertion:
            applyInsertion(step.indexes, step.items);
            break;
        case Step::Move:
            applyMove(step.from, step.to, step.items.first());
            break;
        }
    }

    void applyDeletion(const QMIndexSet &indexes)
    {
        const QList<QMIndexSet::Range> &ranges = indexes.ranges();
        for (auto range = ranges.crbegin(); range != ranges.crend(); ++range) {
            const auto first = qsizetype(range->location);
            const auto length = qsizetype(range->length);
            q->beginRemoveRows(QModelIndex(), int(first), int(first + length - 1));
            rows.remove(first, length);
            q->endRemoveRows();
        }
        rows.closeGap();
    }

    void applyInsertion(const QMIndexSet &indexes, const QMListItemList &items)
    {
        rows.openGap(items.size());
        qsizetype from = 0;
        for (const QMIndexSet::Range &range : indexes.ranges()) {
            const auto first = qsizetype(range.location);
            const auto length = qsizetype(range.length);
            // Bring the gap to the range before announcing it: the rows the view sees stay the
            // same until the items are in.
            rows.moveGap(first);
            q->beginInsertRows(QModelIndex(), int(first), int(first + length - 1));
            rows.insert(first, items, from, length);
            q->endInsertRows();
            from += length;
        }
        rows.closeGap();
    }

    void applyMove(qsizetype from, qsizetype to, const QMListItemPointer &item)
    {
        const bool sameItem = rows.items[from] == item;
        if (from != to) {
            // Qt counts a downward destination before the move, the list manager after it.
            const bool moving = q->beginMoveRows(QModelIndex(), int(from), int(from), QModelIndex(),
                                                 int(to > from ? to + 1 : to));
            Q_ASSERT(moving);
            QMMoveListItem(rows.items, from, to, item);
            q->endMoveRows();
        } else {
            rows.items[to] = item;
        }
        // A comparator may move an equal item of the old list in place of the one it found.
        if (!sameItem)
            Q_EMIT q->dataChanged(q->index(int(to)), q->index(int(to)));
    }

    // Reports dataChanged() for the rows whose items' role data differ from the snapshots,
    // one signal per run of adjacent rows, with the roles that changed in the run.
    void reportChangedData(const QList<std::pair<QMListItemPointer, QVariantList>> &snapshots,
                           const QList<int> &roles)
    {
        QHash<const QMListItem *, QSet<int>> changedRoles;
        for (const auto &[item, values] : snapshots) {
            for (qsizetype k = 0; k < roles.size(); ++k) {
                if (!QMEqualValues(values[k], roleValue(item, roles[k])))
                    changedRoles[item.get()].insert(roles[k]);
            }
        }
        if (changedRoles.isEmpty())
            return;
        const qsizetype count = rows.count();
        for (qsizetype row = 0; row < count; ++row) {
            const auto found = changedRoles.constFind(rows.at(row).get());
            if (found == changedRoles.cend())
                continue;
            const qsizetype first = row;
            QSet<int> runRoles = *found;
            while (row + 1 < count) {
                const auto next = changedRoles.constFind(rows.at(row + 1).get());
                if (next == changedRoles.cend())
                    break;
                runRoles.unite(*next);
                ++row;
            }
            QList<int> sortedRoles = runRoles.values();
            std::sort(sortedRoles.begin(), sortedRoles.end());
            Q_EMIT q->dataChanged(q->index(int(first)), q->index(int(row)), sortedRoles);
        }
    }

    QMListModel *q;
    Rows rows;
    QMListManager manager;
    std::shared_ptr<Adapter> recorder = std::make_shared<Adapter>(this, true);
    std::shared_ptr<Adapter> follower = std::make_shared<Adapter>(this, false);
    QList<Step> recorded;
    qsizetype recordedRows = 0;
    bool changing = false;
    DisplayFunction displayFunction;
    QMModelRoles<QMListItemPointer, RoleFunction> hostRoles;
};

QMListModel::QMListModel(QObject *parent)
    : QAbstractListModel(parent)
    , d(std::make_unique<Private>(this))
{ }

QMListModel::~QMListModel() = default;

QMListItemList QMListModel::items() const
{
    return d->rows.toList();
}

QMListItemPointer QMListModel::itemAt(int row) const
{
    return row >= 0 && row < d->rows.count() ? d->rows.at(row) : nullptr;
}

void QMListModel::setItems(const QMListItemList &items)
{
    d->requireQuiet();
    QMRequireListItems(items, "list");
    const QMChangingScope guard(d->changing);
    beginResetModel();
    d->rows.assign(items);
    endResetModel();
}

void QMListModel::updateItems(const QMListItemList &newItems,
                              const QMListManager::UpdateHandler &updateHandler)
{
    d->requireQuiet();
    const QMChangingScope guard(d->changing);
    const QList<int> roles = d->snapshotRoles();
    QList<std::pair<QMListItemPointer, QVariantList>> snapshots;
    QMListManager::UpdateHandler handler;
    if (updateHandler) {
        handler = [&](const QMListItemPointer &existingItem, const QMListItemPointer &newItem) {
            QVariantList values;
            values.reserve(roles.size());
            for (int role : roles)
                values.append(d->roleValue(existingItem, role));
            snapshots.append({existingItem, std::move(values)});
            updateHandler(existingItem, newItem);
        };
    }

    d->recorded.clear();
    d->recordedRows = d->rows.count();
    QMListItemList updated;
    try {
        updated = d->manager.updateList(d->rows.items, newItems, handler);
    } catch (...) {
        d->recorded.clear();
        // The handler may have changed some items before the failure; they are still shown.
        d->reportChangedData(snapshots, roles);
        throw;
    }
    const QList<Step> steps = std::exchange(d->recorded, {});
    for (const Step &step : steps)
        d->apply(step);
    Q_ASSERT(d->rows.items == updated);
    d->reportChangedData(snapshots, roles);
}

std::shared_ptr<QMOrderedCollectionComparator> QMListModel::comparator() const
{
    return d->manager.comparator();
}

void QMListModel::setComparator(std::shared_ptr<QMOrderedCollectionComparator> comparator)
{
    d->manager.setComparator(std::move(comparator));
}

std::shared_ptr<QMListManagerDelegate> QMListModel::managerDelegate() const
{
    return d->follower;
}

void QMListModel::setDisplayFunction(DisplayFunction function)
{
    d->requireQuiet();
    const QMChangingScope guard(d->changing);
    d->displayFunction = std::move(function);
    if (d->rows.count() > 0)
        Q_EMIT dataChanged(index(0), index(int(d->rows.count() - 1)), {Qt::DisplayRole});
}

void QMListModel::setRoleProvider(const QHash<int, QByteArray> &roleNames, RoleFunction function)
{
    QMModelRoles<QMListItemPointer, RoleFunction> roles;
    roles.set(roleNames, std::move(function), IdentifierRole);
    d->requireQuiet();
    const QMChangingScope guard(d->changing);
    beginResetModel();
    d->hostRoles = std::move(roles);
    endResetModel();
}

int QMListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(d->rows.count());
}

QVariant QMListModel::data(const QModelIndex &index, int role) const
{
    // An index of another model or a stale row reads as no data, as in Qt's own models.
    if (index.model() != this || index.row() >= d->rows.count() || index.column() != 0)
        return {};
    // Views ask from Qt's event loop (painting, layout): the host's display and role functions
    // must not throw through it.
    try {
        return d->roleValue(d->rows.at(index.row()), role);
    } catch (...) {
        QMUncaughtExceptions::handleCurrentException("a role function of a list model");
        return {};
    }
}

QHash<int, QByteArray> QMListModel::roleNames() const
{
    return d->hostRoles.names(IdentifierRole);
}

#include <QMFoundation/tree/QMTreeModel.h>

#include "TreeTestSupport.h"
#include "lists/ListTestSupport.h"
#include "support/CaughtExceptions.h"

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace {

bool refresh(const QMTreeNodePointer &existingNode, const QMTreeNodePointer &newNode)
{
    const bool changed = existingNode->title() != newNode->title();
    existingNode->setTitle(newNode->title());
    return changed;
}

// A tree as (depth, node) in depth-first order, read through `children`.
using Shape = QList<std::pair<int, QMTreeNode *>>;
template<typename Children>
Shape shapeOf(Children children, QMTreeNode *parent = nullptr, int depth = 0)
{
    Shape shape;
    for (QMTreeNode *node : children(parent)) {
        shape.append({depth, node});
        shape.append(shapeOf(children, node, depth + 1));
    }
    return shape;
}

Shape managerShape(const QMTreeModel &model)
{
    return shapeOf([&](QMTreeNode *parent) {
        QList<QMTreeNode *> nodes;
        for (const QMTreeNodePointer &node : parent ? parent->childNodes() : model.rootNodes())
            nodes.append(node.get());
        return nodes;
    });
}

// The model's tree, read through index() and checked against data() on the way.
Shape modelShape(const QMTreeModel &model)
{
    return shapeOf([&](QMTreeNode *parent) {
        QList<QMTreeNode *> nodes;
        const QModelIndex index = model.indexForNode(parent ? parent->shared_from_this() : nullptr);
        for (int row = 0; row < model.rowCount(index); ++row) {
            QMTreeNode *node = model.nodeForIndex(model.index(row, 0, index)).get();
            EXPECT_EQ(model.index(row, 0, index).data().toString(),
                      node->title().isNull() ? node->identifier() : node->title());
            nodes.append(node);
        }
        return nodes;
    });
}

// The tree in TreeTestSupport's notation, once the model is found to show it node for node.
QString shown(const QMTreeModel &model)
{
    EXPECT_EQ(modelShape(model), managerShape(model));
    return TreeTestSupport::shape(model.rootNodes());
}

// Logs the model's signals and replays the row signals on a copy of the shape that the model
// had when the recording started.
class Recording : public QObject
{
public:
    explicit Recording(QMTreeModel &recordedModel)
        : model(recordedModel)
    {
        copy({});
        const auto on = [this](auto signal, auto slot) {
            connect(&this->model, signal, this, slot);
        };
        on(&QAbstractItemModel::rowsRemoved,
           [this](const QModelIndex &parent, int first, int last) {
               note(u"remove"_s, parent, first, last);
               mirror[node(parent)].remove(first, last - first + 1);
           });
        on(&QAbstractItemModel::rowsInserted,
           [this](const QModelIndex &parent, int first, int last) {
               note(u"insert"_s, parent, first, last);
               for (int row = first; row <= last; ++row) {
                   mirror[node(parent)].insert(row, node(this->model.index(row, 0, parent)));
                   copy(this->model.index(row, 0, parent));
               }
           });
        on(&QAbstractItemModel::rowsMoved,
           [this](const QModelIndex &parent, int first, int, const QModelIndex &, int to) {
               note(u"move"_s, parent, first, to);
               mirror[node(parent)].move(first, to > first ? to - 1 : to);
           });
        on(&QAbstractItemModel::dataChanged,
           [this](const QModelIndex &from, const QModelIndex &to) {
               note(u"changed"_s, from.parent(), from.row(), to.row());
           });
        on(&QAbstractItemModel::layoutChanged, [this] {
            log.append(u"layout"_s);
            copy({});
        });
    }

    Shape replayed() const
    {
        return shapeOf([this](QMTreeNode *parent) { return mirror.value(parent); });
    }

    QMTreeModel &model;
    QStringList log;

private:
    QMTreeNode *node(const QModelIndex &index) const { return model.nodeForIndex(index).get(); }
    void note(const QString &what, const QModelIndex &parent, int first, int last)
    {
        const QString name = parent.isValid() ? node(parent)->identifier() : u"root"_s;
        log.append(u"%1 %2 %3-%4"_s.arg(what, name).arg(first).arg(last));
    }
    void copy(const QModelIndex &parent)
    {
        QList<QMTreeNode *> &list = mirror[node(parent)];
        list.clear();
        for (int row = 0; row < model.rowCount(parent); ++row) {
            list.append(node(model.index(row, 0, parent)));
            copy(model.index(row, 0, parent));
        }
    }

    QHash<QMTreeNode *, QList<QMTreeNode *>> mirror;
};

// A host's delegate that runs an action after each insertion the model has reported.
struct Host : QMTreeManagerDelegate
{
    void treeManagerDidInsertItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &,
                                               const QMTreeNodePointer &) override
    {
        if (action)
            action();
    }
    std::function<void()> action;
};

// A model with every change checked by Qt's model tester; a broken invariant ends the program.
struct Fixture
{
    explicit Fixture(QStringView tree = {})
    {
        model.setUpdateHandler(refresh);
        model.setDelegate(host);
        model.setRootNodes(TreeTestSupport::parse(tree.toString()));
    }
    QMTreeModel model;
    QAbstractItemModelTester tester {&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
    std::shared_ptr<Host> host = std::make_shared<Host>();
};

} // namespace

TEST(QMTreeModelTest, TurnsMergesIntoQtsNotifications)
{
    const struct
    {
        const char16_t *oldTree;
        const char16_t *newTree;
        const char *expected; // the signals, separated by '|'
    } rows[] = {
            // One pair per contiguous range: removals highest first, insertions lowest first.
            {u"a b c d e f g", u"a d g", "remove root 4-5|remove root 1-2"},
            {u"a(b c)", u"a(x b y c z)", "insert a 0-0|insert a 2-2|insert a 4-4"},
            // Moves within a list: a move down to row t has Qt's destination t + 1.
            {u"x(a b c)", u"x(c a b)", "move x 2-0"},
            {u"a b c", u"c b a", "move root 0-3|move root 1-0"},
            // Across parents, whichever list is merged first; the node keeps its instance.
            {u"a(b) c", u"a c(b)", "remove a 0-0|insert c 0-0"},
            {u"a c(b)", u"a(b) c", "remove c 0-0|insert a 0-0"},
            {u"b a", u"a(b)", "remove root 0-0|insert a 0-0"},
            {u"a(b(c))", u"a(x(c) b)", "remove b 0-0|insert a 0-0"},
            // A new tree that names a node twice shows it once, in the place merged last.
            {u"a(b)", u"a(b) b", "remove a 0-0|insert root 1-1"},
            // Refreshed nodes, after the merge, one signal per run of adjacent rows.
            {u"a b(c) d", u"a=A b=B(c=C) d", "changed b 0-0|changed root 0-1"},
    };
    for (const auto &row : rows) {
        const QString oldTree = QString::fromUtf16(row.oldTree);
        const QString newTree = QString::fromUtf16(row.newTree);
        SCOPED_TRACE(oldTree.toStdString() + " -> " + newTree.toStdString());
        Fixture fixture(oldTree);
        Recording recording(fixture.model);

        fixture.model.updateRootNodes(TreeTestSupport::parse(newTree));

        EXPECT_EQ(recording.log.join(u'|'), QString::fromUtf8(row.expected));
        EXPECT_EQ(modelShape(fixture.model), managerShape(fixture.model));
        EXPECT_EQ(recording.replayed(), managerShape(fixture.model));
    }

    // A root that another node still lists as its child, so that the manager does not look for
    // it in the root list: the model takes it out of there before showing it elsewhere.
    const QMTreeNodeList other = TreeTestSupport::parse(u"p(b)"_s);
    Fixture fixture(u"a");
    fixture.model.setRootNodes(other.first()->childNodes() + fixture.model.rootNodes());
    Recording recording(fixture.model);
    fixture.model.updateRootNodes(TreeTestSupport::parse(u"a(b)"_s));
    EXPECT_EQ(recording.log.join(u'|'), u"remove root 0-0|insert a 0-0"_s);
    EXPECT_EQ(shown(fixture.model), u"a(b)"_s);
}

// Random merges of trees named from a small pool, so that nodes persist, move within and across
// parents, appear and vanish; sorting and filtering switch on and off in between. After each
// step the model shows the manager's tree, the row signals replayed on the shape before give the
// shape after, and a persistent index stays on its node exactly when the node and its ancestors
// kept their parents.
TEST(QMTreeModelTest, FollowsRandomMerges)
{
    std::mt19937 random(20240612);
    std::uniform_int_distribution<int> percent(0, 99);
    Fixture fixture;
    QMTreeModel &model = fixture.model;
    const QStringList titles {u"x1"_s, u"y2"_s, u"x3"_s, u"z4"_s};
    const std::function<QMTreeNodeList(QStringList &, int)> forest = [&](QStringList &pool,
                                                                         int depth) {
        QMTreeNodeList nodes;
        for (int k = percent(random) % (5 - depth); k > 0 && !pool.isEmpty(); --k) {
            nodes.append(std::make_shared<QMTreeNode>(pool.takeAt(percent(random) % pool.size())));
            nodes.last()->setTitle(titles[percent(random) % titles.size()]);
            nodes.last()->addChildrenFromArray(depth < 3 ? forest(pool, depth + 1)
                                                         : QMTreeNodeList());
        }
        return nodes;
    };
    QStringList names;
    for (int k = 0; k < 14; ++k)
        names.append(u"n%1"_s.arg(k));

    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Each shown node's persistent index and its chain of ancestors, held weakly.
        QList<std::pair<QPersistentModelIndex, QList<std::weak_ptr<QMTreeNode>>>> taken;
        const Shape before = modelShape(model);
        for (const auto &[depth, node] : before) {
            taken.append({model.indexForNode(node->shared_from_this()), {}});
            for (QModelIndex up = taken.last().first; up.isValid(); up = up.parent())
                taken.last().second.append(model.nodeForIndex(up));
        }
        Recording recording(model);

        QStringList pool = names;
        const int choice = percent(random);
        if (choice < 60) {
            model.updateRootNodes(forest(pool, 0));
        } else if (choice < 75 && !before.isEmpty() && !model.isFiltering()) {
            // Not naming the parent or its ancestors, which would make a cycle. (While
            // filtering, such a merge leaves the unfiltered copy naming the moved nodes twice,
            // so that removing the filter moves them there and back.)
            const auto parent = before[percent(random) % before.size()].second->shared_from_this();
            for (QMTreeNodePointer up = parent; up; up = up->parentNode())
                pool.removeAll(up->identifier());
            model.updateChildNodes(parent, forest(pool, 0));
        } else if (choice < 88) {
            model.setSortDescriptors(model.sortDescriptors().isEmpty()
                                             ? QMSortDescriptorList {QMSortDescriptor(u"title"_s)}
                                             : QMSortDescriptorList {});
        } else if (model.isFiltering()) {
            model.setFilterPredicate({});
        } else {
            model.setFilterPredicate([](const QMTreeNode &node) { return node.title() < u"y"_s; });
        }

        const Shape shape = managerShape(model);
        ASSERT_EQ(modelShape(model), shape)
                << TreeTestSupport::shape(model.rootNodes()).toStdString();
        ASSERT_EQ(recording.replayed(), shape);
        for (const auto &[index, chain] : std::as_const(taken)) {
            QModelIndex up = model.indexForNode(chain.first().lock());
            const QModelIndex now = up;
            bool kept = true;
            for (const std::weak_ptr<QMTreeNode> &link : chain) {
                kept = kept && up.isValid() && model.nodeForIndex(up) == link.lock();
                up = up.parent();
            }
            ASSERT_EQ(index.isValid(), kept && !up.isValid());
            ASSERT_TRUE(!index.isValid() || index == now);
        }
    }
}

TEST(QMTreeModelTest, SortsAndFiltersWithoutLosingNodes)
{
    Fixture fixture(u"c=3(f=6 e=5 d=4) b=2 a=1");
    QMTreeModel &model = fixture.model;
    const QPersistentModelIndex c = model.index(0, 0);
    const QPersistentModelIndex e = model.index(1, 0, c);
    Recording recording(model);

    // Sorting is one layout change; the persistent indexes move with their nodes.
    model.sort(0, Qt::AscendingOrder);
    EXPECT_EQ(shown(model), u"a b c(d e f)"_s);
    EXPECT_EQ(c.row(), 2);
    EXPECT_EQ(e.row(), 1);
    EXPECT_EQ(e.data().toString(), u"5"_s);

    // Filtering hides leaves as removals; removing the filter brings them back as insertions,
    // in sorted places.
    model.setFilterPredicate([](const QMTreeNode &node) {
        return node.identifier() != u"b"_s && node.identifier() != u"e"_s;
    });
    EXPECT_TRUE(model.isFiltering());
    EXPECT_EQ(shown(model), u"a c(d f)"_s);
    model.setFilterPredicate({});
    EXPECT_FALSE(model.isFiltering());
    EXPECT_EQ(shown(model), u"a b c(d e f)"_s);
    EXPECT_EQ(recording.log.join(u'|'),
              u"layout|remove c 1-1|remove root 1-1|insert c 1-1|insert root 1-1"_s);
    EXPECT_EQ(c.row(), 2);
}

// Refused calls change nothing; a merge that fails halfway keeps and shows what it did.
TEST(QMTreeModelTest, RefusesChangesWhileItReports)
{
    Fixture fixture(u"a(b)");
    QMTreeModel &model = fixture.model;
    const auto failure = [&](const std::function<void()> &action) {
        const QString reason = ListTestSupport::failureOf(action);
        EXPECT_EQ(modelShape(model), managerShape(model));
        return reason;
    };
    const QString reporting = u"Expected no change of the tree model while it reports one"_s;
    model.setUpdateHandler([&](const auto &, const auto &) {
        model.updateRootNodes({});
        return false;
    });
    EXPECT_EQ(failure([&] { model.updateRootNodes(TreeTestSupport::parse(u"a x"_s)); }), reporting);
    model.setUpdateHandler(refresh);
    fixture.host->action = [&] {
        model.sort(0);
    };
    EXPECT_EQ(failure([&] { model.updateRootNodes(TreeTestSupport::parse(u"a(b) x"_s)); }),
              reporting);
    EXPECT_EQ(shown(model), u"a(b) x"_s);
    fixture.host->action = nullptr;

    EXPECT_EQ(failure([&] { model.updateChildNodes(TreeTestSupport::parse(u"a"_s).first(), {}); }),
              u"Expected a node of the tree as the parent of the merge"_s);
    const QMTreeNodeList twice = TreeTestSupport::parse(u"a(b)"_s);
    EXPECT_EQ(failure([&] { model.setRootNodes(twice + twice.first()->childNodes()); }),
              u"Expected each node in one place of the tree, but b stands in two"_s);
    // A row shows one node: a new list naming one identifier twice (which the manager would
    // place twice) is refused before anything changes, at any depth and under any parent.
    const QString standsInTwo
            = u"Expected each node in one place of the tree, but n stands in two"_s;
    EXPECT_EQ(failure([&] { model.updateRootNodes(TreeTestSupport::parse(u"n n"_s)); }),
              standsInTwo);
    EXPECT_EQ(failure([&] { model.updateRootNodes(TreeTestSupport::parse(u"a(x n n)"_s)); }),
              standsInTwo);
    EXPECT_EQ(failure([&] {
                  model.updateChildNodes(model.nodeForIndex(model.index(0, 0)),
                                         TreeTestSupport::parse(u"n b n"_s));
              }),
              standsInTwo);
    EXPECT_EQ(shown(model), u"a(b) x"_s);
    // The inner a goes under b first, after its removal from the root list is reported; then b
    // cannot go under a.
    EXPECT_EQ(failure([&] { model.updateRootNodes(TreeTestSupport::parse(u"a(b(a))"_s)); }),
              u"Expected a node that is not the receiver or one of its ancestors"_s);
    model.updateRootNodes(TreeTestSupport::parse(u"c(d)"_s));
    EXPECT_EQ(shown(model), u"c(d)"_s);
}

TEST(QMTreeModelTest, ShowsNodesThroughItsRoles)
{
    constexpr int ObjectRole = QMTreeModel::IdentifierRole + 1;
    Fixture fixture(u"a");
    QMTreeModel &model = fixture.model;
    const QMTreeNodePointer a = model.nodeForIndex(model.index(0, 0));
    a->setRepresentedObject(42);
    EXPECT_EQ(model.index(0, 0).data(), QVariant(u"a"_s));
    model.setDisplayFunction(
            [](const QMTreeNode &node) { return QVariant(node.identifier() + u'!'); });
    model.setRoleProvider({{ObjectRole, "object"}},
                          [](const QMTreeNode &node, int) { return node.representedObject(); });
    EXPECT_EQ(model.index(0, 0).data(), QVariant(u"a!"_s));
    EXPECT_EQ(model.index(0, 0).data(ObjectRole), QVariant(42));
    EXPECT_EQ(model.roleNames().value(ObjectRole), QByteArray("object"));

    // Views ask for data from the event loop: a role function that throws gives no data, and
    // the uncaught-exception handler has the exception.
    TestSupport::CaughtExceptions caught;
    model.setRoleProvider({{ObjectRole, "object"}}, [](const QMTreeNode &, int) -> QVariant {
        throw std::runtime_error("no object");
    });
    EXPECT_FALSE(model.index(0, 0).data(ObjectRole).isValid());
    EXPECT_EQ(caught.entries(), QStringList {u"a role function of a tree model: no object"_s});
}

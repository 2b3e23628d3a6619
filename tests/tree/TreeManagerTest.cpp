#include "TreeTestSupport.h"

#include "lists/ListTestSupport.h"
#include "text/TextTestSupport.h"
#include <QMFoundation/tree/QMTreeManager.h>

#include <QHash>
#include <QStringList>

#include <gtest/gtest.h>

#include <functional>
#include <random>

using namespace Qt::StringLiterals;
using ListTestSupport::failureOf;
using TreeTestSupport::parse;
using TreeTestSupport::shape;

namespace {

QString nameOf(const QMTreeNodePointer &parent)
{
    return parent ? parent->identifier() : u"(root)"_s;
}

// Records every call as a line, and keeps a mirror of the displayed tree that follows the calls
// alone: at the end of a merge the mirror must equal the tree, or a step went unreported.
class RecordingDelegate : public QMTreeManagerDelegate
{
public:
    std::optional<bool> treeManagerUpdateItem(QMTreeManager &, const QMTreeNodePointer &existing,
                                              const QMTreeNodePointer &newNode) override
    {
        calls.append(u"update "_s + existing->identifier());
        if (!answer)
            return std::nullopt;
        return answer(*existing, *newNode);
    }
    void treeManagerDidUpdateItems(QMTreeManager &, const QMTreeNodeList &nodes) override
    {
        QStringList names;
        for (const QMTreeNodePointer &node : nodes)
            names.append(node->identifier());
        calls.append(u"updated ["_s + names.join(u", "_s) + u']');
    }
    void treeManagerWillDeleteItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                                const QMTreeNodePointer &parent) override
    {
        note(u"will delete "_s, indexes, parent);
    }
    void treeManagerDidDeleteItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                               const QMTreeNodePointer &parent) override
    {
        note(u"did delete "_s, indexes, parent);
        if (QStringList *list = mirrored(parent)) {
            const QList<quint64> positions = indexes.toList();
            for (auto p = positions.crbegin(); p != positions.crend(); ++p)
                list->removeAt(qsizetype(*p));
        }
    }
    void treeManagerWillInsertItemsAtIndexPaths(QMTreeManager &, const QMIndexSet &indexes,
                                                const QMTreeNodePointer &parent) override
    {
        note(u"will insert "_s, indexes, parent);
    }
    void treeManagerDidInsertItemsAtIndexPaths(QMTreeManager &manager, const QMIndexSet &indexes,
                                               const QMTreeNodePointer &parent) override
    {
        note(u"did insert "_s, indexes, parent);
        if (QStringList *list = mirrored(parent)) {
            const QMTreeNodeList now = parent ? parent->childNodes() : manager.rootNodes();
            for (const quint64 position : indexes) {
                // An inserted node arrives with its subtree, which is merged already.
                list->insert(qsizetype(position), now[qsizetype(position)]->identifier());
                snapshot(now[qsizetype(position)]);
            }
        }
    }
    void treeManagerWillMoveItemAtIndex(QMTreeManager &, qint64 from,
                                        const QMTreeNodePointer &parent, qint64 to,
                                        const QMTreeNodePointer &toParent) override
    {
        EXPECT_EQ(parent, toParent);
        calls.append(u"will move %1 -> %2 in "_s.arg(from).arg(to) + nameOf(parent));
    }
    void treeManagerDidMoveItemAtIndex(QMTreeManager &, qint64 from,
                                       const QMTreeNodePointer &parent, qint64 to,
                                       const QMTreeNodePointer &) override
    {
        calls.append(u"did move %1 -> %2 in "_s.arg(from).arg(to) + nameOf(parent));
        if (QStringList *list = mirrored(parent))
            list->move(qsizetype(from), qsizetype(to));
    }

    // Mirror: the child identifiers of every shown node, keyed by identifier ("" = root list).
    void snapshotAll(const QMTreeNodeList &roots)
    {
        mirror.clear();
        mirror.insert(QString(), {});
        for (const QMTreeNodePointer &root : roots) {
            mirror[QString()].append(root->identifier());
            snapshot(root);
        }
    }
    void snapshot(const QMTreeNodePointer &node)
    {
        QStringList &children = mirror[node->identifier()];
        children.clear();
        for (const QMTreeNodePointer &child : node->mutableChildNodes()) {
            children.append(child->identifier());
            snapshot(child);
        }
    }
    // The shape that the mirror shows, in the notation of TreeTestSupport::shape().
    QString mirroredShape(const QString &key = QString()) const
    {
        QStringList words;
        for (const QString &child : mirror.value(key)) {
            const QString below = mirroredShape(child);
            words.append(below.isEmpty() ? child : child + u'(' + below + u')');
        }
        return words.join(u' ');
    }

    QStringList calls;
    std::function<bool(const QMTreeNode &, const QMTreeNode &)> answer;
    QHash<QString, QStringList> mirror;

private:
    void note(const QString &what, const QMIndexSet &indexes, const QMTreeNodePointer &parent)
    {
        calls.append(what + indexes.description() + u" in "_s + nameOf(parent));
    }
    QStringList *mirrored(const QMTreeNodePointer &parent)
    {
        const auto found = mirror.find(parent ? parent->identifier() : QString());
        return found == mirror.end() ? nullptr : &found.value();
    }
};

bool copyTitle(const QMTreeNodePointer &existing, const QMTreeNodePointer &newNode)
{
    const bool changed = existing->title() != newNode->title();
    existing->setTitle(newNode->title());
    return changed;
}

bool titleStartsWithX(const QMTreeNode &node)
{
    return node.title().startsWith(u'x');
}

} // namespace

TEST(TreeManagerTest, MergeKeepsExistingInstancesAtAnyDepth)
{
    QMTreeManager manager(parse(u"r(a(g) b)"_s));
    const QMTreeNodePointer g = manager.nodeForIdentifier(u"g"_s);
    ASSERT_TRUE(g);
    const QMTreeNodePointer b = manager.nodeForIdentifier(u"b"_s);

    QList<QPair<QMTreeNodePointer, QMTreeNodePointer>> handled;
    manager.setUpdateHandler(
            [&handled](const QMTreeNodePointer &existing, const QMTreeNodePointer &newNode) {
                handled.append({existing, newNode});
                return copyTitle(existing, newNode);
            });
    const QMTreeNodeList fresh = parse(u"r(b=B a(h g=G))"_s);
    manager.updateRootNodesWithNodes(fresh);

    EXPECT_EQ(shape(manager.rootNodes()), u"r(b a(h g))"_s);
    EXPECT_EQ(manager.nodeForIdentifier(u"g"_s), g);
    EXPECT_EQ(g->title(), u"G"_s);
    EXPECT_EQ(manager.rootNodes()[0]->mutableChildNodes()[0], b);
    // Depth first: a node's subtree is merged before the node's list goes on.
    QStringList order;
    for (const auto &[existing, newNode] : handled) {
        EXPECT_NE(existing, newNode);
        EXPECT_EQ(existing->identifier(), newNode->identifier());
        order.append(existing->identifier());
    }
    EXPECT_EQ(order, (QStringList {u"r"_s, u"b"_s, u"a"_s, u"g"_s}));
    // A new node enters the tree and the map; its links follow the tree.
    const QMTreeNodePointer h = manager.nodeForIdentifier(u"h"_s);
    EXPECT_EQ(h, fresh[0]->mutableChildNodes()[1]->mutableChildNodes()[0]);
    EXPECT_EQ(h->parentNode(), manager.nodeForIdentifier(u"a"_s));

    // updateTree on one-node trees with equal identifiers returns the old instance.
    const QMTreeNodePointer old = QMTreeNode::nodeWithIdentifier(u"t"_s);
    EXPECT_EQ(QMTreeManager::updateTree(old, QMTreeNode::nodeWithIdentifier(u"t"_s)), old);
}

TEST(TreeManagerTest, IncrementalMergeReportsEachGroupOfSteps)
{
    const struct
    {
        const char *name;
        const char16_t *oldTree;
        const char16_t *newTree;
        const char *calls; // separated by '|'
    } rows[] = {
            {"delete at the root", u"a b c", u"a c",
             "update a|update c|updated []|will delete 1 in (root)|did delete 1 in (root)"},
            {"insert and move below a parent", u"p(a b c)", u"p(c x a b)",
             "update p|update c|update a|update b|updated []|will insert 1 in p|did insert 1 in p|"
             "will move 3 -> 0 in p|did move 3 -> 0 in p|will move 1 -> 2 in p|"
             "did move 1 -> 2 in p|updated []"},
            // a keeps its instance although p, merged first, lets it go.
            {"a node moves to another parent", u"p(a b) q", u"p(b) q(a)",
             "update p|update b|updated []|will delete 0 in p|did delete 0 in p|update q|"
             "update a|updated []|will insert 0 in q|did insert 0 in q|updated []"},
            // q comes first: a leaves p as a delete reported in p, before q's insert.
            {"a node moves to a parent merged earlier", u"q p(a b)", u"q(a) p(b)",
             "update q|update a|updated []|will delete 0 in p|did delete 0 in p|"
             "will insert 0 in q|did insert 0 in q|update p|update b|updated []|updated []"},
            {"a root goes below another root", u"a b", u"b(a)",
             "update b|update a|updated []|will delete 0 in (root)|did delete 0 in (root)|"
             "will insert 0 in b|did insert 0 in b|updated []"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QString newTree = QString::fromUtf16(row.newTree);
        QMTreeManager manager(parse(QString::fromUtf16(row.oldTree)));
        manager.setUsesIncrementalUpdates(true);
        const auto delegate = std::make_shared<RecordingDelegate>();
        delegate->snapshotAll(manager.rootNodes());
        manager.setDelegate(delegate);
        manager.updateRootNodesWithNodes(parse(newTree));
        EXPECT_EQ(delegate->calls.join(u'|'), QString::fromUtf8(row.calls));
        EXPECT_EQ(shape(manager.rootNodes()), newTree);
        EXPECT_EQ(delegate->mirroredShape(), shape(manager.rootNodes()));
    }
}

TEST(TreeManagerTest, UpdatedNodesAndNonIncrementalMode)
{
    const auto delegate = std::make_shared<RecordingDelegate>();
    QMTreeManager manager(parse(u"a=1 b=1 c=1"_s));
    manager.setUpdateHandler(copyTitle);
    manager.setDelegate(delegate);

    // Non-incremental: the list is replaced; only the per-node question is asked.
    manager.updateRootNodesWithNodes(parse(u"a=2 c=1"_s));
    EXPECT_EQ(shape(manager.rootNodes()), u"a c"_s);
    EXPECT_EQ(delegate->calls.join(u'|'), u"update a|update c"_s);

    // The delegate's answer alone decides, once it gives one.
    manager.setUsesIncrementalUpdates(true);
    delegate->calls.clear();
    delegate->answer = [](const QMTreeNode &existing, const QMTreeNode &) {
        return existing.identifier() == u"c";
    };
    manager.updateRootNodesWithNodes(parse(u"a=3 c=1"_s));
    EXPECT_EQ(delegate->calls.join(u'|'), u"update a|update c|updated [c]"_s);
    EXPECT_EQ(manager.rootNodes()[0]->title(), u"3"_s); // the handler still ran

    EXPECT_EQ(failureOf([&] { manager.updateRootNodesWithNodes({nullptr}); }),
              u"Expected a node at every position of the list, but position 0 holds none"_s);
}

// A new list that names one identifier twice places one instance twice. The manager has no
// message of its own for that: in incremental mode the array comparison either fails, and its
// message passes through as it is, or it does not, and the node is inserted at both positions,
// as wholesale mode places it.
TEST(TreeManagerTest, OneIdentifierTwiceInANewList)
{
    const struct
    {
        const char *name;
        const char16_t *oldTree;
        const char16_t *newTree;
        const char *failure; // the comparison's message, or null
        const char *calls; // without a failure
    } rows[] = {
            {"fewer positions than the list needs", u"a b", u"a a",
             "Expected same size of current array (a) and final array (a, a)", nullptr},
            {"more positions than the list has", u"a c", u"a c a",
             "Expected same size of current array (a, c) and final array (a, c, a)", nullptr},
            {"moves needed", u"a b", u"b n a n",
             "Expected every element once in each array, but n occurs more than once", nullptr},
            {"insertions only, root list", u"late", u"n n", nullptr,
             "update n|updated []|will delete 0 in (root)|did delete 0 in (root)"
             "|will insert 0-1 in (root)|did insert 0-1 in (root)"},
            {"insertions only, under a parent", u"p(late)", u"p(n n)", nullptr,
             "update p|update n|updated []|will delete 0 in p|did delete 0 in p"
             "|will insert 0-1 in p|did insert 0-1 in p|updated []"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QMTreeManager manager(parse(QString::fromUtf16(row.oldTree)));
        manager.setUsesIncrementalUpdates(true);
        const auto delegate = std::make_shared<RecordingDelegate>();
        manager.setDelegate(delegate);
        const QString failure = failureOf(
                [&] { manager.updateRootNodesWithNodes(parse(QString::fromUtf16(row.newTree))); });
        if (row.failure) {
            EXPECT_EQ(failure, QString::fromUtf8(row.failure));
            continue;
        }
        EXPECT_EQ(failure, u"(no exception)"_s);
        EXPECT_EQ(delegate->calls.join(u'|'), QString::fromUtf8(row.calls));
        EXPECT_EQ(shape(manager.rootNodes()), QString::fromUtf16(row.newTree));
        // One instance at both positions, linked to the list's parent.
        const QMTreeNodePointer parent = manager.nodeForIdentifier(u"p"_s);
        const QMTreeNodeList list = parent ? parent->childNodes() : manager.rootNodes();
        ASSERT_EQ(list.size(), 2);
        EXPECT_EQ(list[0], list[1]);
        EXPECT_EQ(list[0], manager.nodeForIdentifier(u"n"_s));
        EXPECT_EQ(list[0]->parentNode(), parent);

        // Wholesale mode places it the same way.
        QMTreeManager wholesale(parse(QString::fromUtf16(row.oldTree)));
        wholesale.updateRootNodesWithNodes(parse(QString::fromUtf16(row.newTree)));
        EXPECT_EQ(shape(wholesale.rootNodes()), QString::fromUtf16(row.newTree));
    }
}

TEST(TreeManagerTest, SortingAndFiltering)
{
    QMTreeManager manager(parse(u"r(c=c b=b(e=e d=d) a=a) q=q"_s));
    manager.setUsesIncrementalUpdates(true);
    manager.setUpdateHandler(copyTitle);
    const auto delegate = std::make_shared<RecordingDelegate>();
    manager.setDelegate(delegate);
    const QMTreeNodePointer e = manager.nodeForIdentifier(u"e"_s);

    // Assigning sort descriptors re-sorts every level at once, silently; a null title sorts first.
    manager.setSortDescriptors({QMSortDescriptor(u"title"_s)});
    EXPECT_EQ(shape(manager.rootNodes()), u"r(a b(d e) c) q"_s);
    EXPECT_TRUE(delegate->calls.isEmpty());

    // Leaves whose title does not start with x go; a parent left without children is tested
    // itself; one matching leaf keeps its parent.
    manager.nodeForIdentifier(u"e"_s)->setTitle(u"xe"_s);
    delegate->snapshotAll(manager.rootNodes());
    manager.setFilterPredicate(titleStartsWithX);
    EXPECT_TRUE(manager.isFiltering());
    EXPECT_EQ(shape(manager.rootNodes()), u"r(b(e))"_s);
    EXPECT_EQ(delegate->mirroredShape(), shape(manager.rootNodes()));
    EXPECT_EQ(manager.nodeForIdentifier(u"e"_s), e);

    // A merge while filtering keeps the hidden part for later, whole subtrees included.
    manager.updateParentNode(manager.nodeForIdentifier(u"b"_s), parse(u"e=xe f=f(h=h) g=xg"_s));
    EXPECT_EQ(shape(manager.rootNodes()), u"r(b(e g))"_s);
    EXPECT_EQ(delegate->mirroredShape(), shape(manager.rootNodes()));

    // Removing the filter brings everything back, the known nodes as the same instances.
    manager.setFilterPredicate({});
    EXPECT_FALSE(manager.isFiltering());
    EXPECT_FALSE(manager.unfilteredRootNodesCopy().has_value());
    EXPECT_TRUE(manager.unfilteredNodesByIdentifierMap().isEmpty());
    EXPECT_EQ(shape(manager.rootNodes()), u"r(a b(f(h) e g) c) q"_s);
    EXPECT_EQ(delegate->mirroredShape(), shape(manager.rootNodes()));
    EXPECT_EQ(manager.nodeForIdentifier(u"e"_s), e);
    EXPECT_EQ(e->title(), u"xe"_s);
}

// Random merges against a reference: the result has the new tree's shape, filtered and sorted the
// same way; every node the tree showed before keeps its instance; parent links agree with the
// lists; and the delegate calls alone rebuild the tree.
TEST(TreeManagerTest, RandomMergesMatchTheNewTree)
{
    std::mt19937 random(20261206);
    const QStringList titles {u"xa"_s, u"b"_s, u"xc"_s, u"a"_s, u"c"_s};
    const auto pick = [&random](qsizetype n) {
        return qsizetype(std::uniform_int_distribution<qsizetype>(0, n - 1)(random));
    };
    // A random tree over the identifiers n0 ... n39, each used at most once.
    const auto randomTree = [&] {
        QStringList pool;
        for (int i = 0; i < 40; ++i)
            pool.append(u"n"_s + QString::number(i));
        std::shuffle(pool.begin(), pool.end(), random);
        pool.resize(pick(40));
        std::function<QMTreeNodeList(int)> level = [&](int depth) {
            QMTreeNodeList list;
            const qsizetype count = depth > 3 ? 0 : pick(6);
            for (qsizetype i = 0; i < count && !pool.isEmpty(); ++i) {
                auto node = std::make_shared<QMTreeNode>(pool.takeLast());
                node->setTitle(titles[pick(titles.size())]);
                node->addChildrenFromArray(level(depth + 1));
                list.append(node);
            }
            return list;
        };
        return level(0);
    };
    // The reference: filter leaves (after their children), then sort by title, stably.
    std::function<QString(const QMTreeNodeList &, bool, bool)> expected
            = [&expected](const QMTreeNodeList &nodes, bool sorted, bool filtered) {
                  QList<QPair<QString, QString>> kept; // (title, shape)
                  for (const QMTreeNodePointer &node : nodes) {
                      const QString below = expected(node->mutableChildNodes(), sorted, filtered);
                      if (below.isEmpty() && filtered && !titleStartsWithX(*node))
                          continue;
                      kept.append({node->title(),
                                   below.isEmpty() ? node->identifier()
                                                   : node->identifier() + u'(' + below + u')'});
                  }
                  if (sorted)
                      std::stable_sort(kept.begin(), kept.end(), [](const auto &a, const auto &b) {
                          return a.first < b.first;
                      });
                  QStringList words;
                  for (const auto &[title, word] : kept)
                      words.append(word);
                  return words.join(u' ');
              };
    std::function<void(const QMTreeNodeList &, QHash<QString, QMTreeNodePointer> &)> collect
            = [&collect](const QMTreeNodeList &nodes, QHash<QString, QMTreeNodePointer> &into) {
                  for (const QMTreeNodePointer &node : nodes) {
                      into.insert(node->identifier(), node);
                      collect(node->mutableChildNodes(), into);
                  }
              };

    for (int trial = 0; trial < 40; ++trial) {
        QMTreeNodeList last = randomTree();
        QMTreeManager manager(QMTreeManager::makeDeepCopyOfNodes(last));
        manager.setUsesIncrementalUpdates(trial % 4 != 0);
        manager.setUpdateHandler(copyTitle);
        const auto delegate = std::make_shared<RecordingDelegate>();
        manager.setDelegate(delegate);
        // Sorting is on from the start or never: unsorting keeps the sorted order, which the
        // reference cannot know.
        const bool sorted = trial % 2 == 1;
        if (sorted)
            manager.setSortDescriptors({QMSortDescriptor(u"title"_s)});
        bool filtered = false;
        for (int step = 0; step < 12; ++step) {
            SCOPED_TRACE(QStringLiteral("trial %1 step %2").arg(trial).arg(step).toStdString());
            QHash<QString, QMTreeNodePointer> before;
            collect(manager.rootNodes(), before);
            delegate->snapshotAll(manager.rootNodes());
            if (pick(4) == 0) {
                filtered = !filtered;
                manager.setFilterPredicate(filtered ? QMTreeNodePredicate(titleStartsWithX)
                                                    : QMTreeNodePredicate());
            } else {
                // The merge takes the new nodes into the tree, so the reference keeps a copy.
                const QMTreeNodeList fresh = randomTree();
                last = QMTreeManager::makeDeepCopyOfNodes(fresh);
                manager.updateRootNodesWithNodes(fresh);
            }
            EXPECT_EQ(shape(manager.rootNodes()), expected(last, sorted, filtered));
            QHash<QString, QMTreeNodePointer> after;
            collect(manager.rootNodes(), after);
            for (auto node = after.cbegin(); node != after.cend(); ++node) {
                if (before.contains(node.key())) {
                    EXPECT_EQ(before.value(node.key()), node.value()) << node.key().toStdString();
                }
                for (const QMTreeNodePointer &child : node.value()->mutableChildNodes())
                    EXPECT_EQ(child->parentNode(), node.value());
            }
            if (manager.usesIncrementalUpdates()) {
                EXPECT_EQ(delegate->mirroredShape(), shape(manager.rootNodes()));
            }
        }
    }
}

#include "ListTestSupport.h"
#include "text/TextTestSupport.h"

#include <QMFoundation/lists/QMListManager.h>

#include <gtest/gtest.h>

using namespace ListTestSupport;
using namespace Qt::StringLiterals;

namespace {

// Records every delegate call as a line: "delete 0 2-3 | a, b", "insert 1 | a, x, b",
// "move 2 -> 0 | c, a, b".
class RecordingDelegate : public QMListManagerDelegate
{
public:
    void listManagerDidDeleteItemsAtIndexPaths(const QMIndexSet &indexes,
                                               const QMListItemList &list) override
    {
        calls.append(u"delete "_s + indexes.description() + u" | "_s
                     + identifiers(list).join(u", "_s));
        lists.append(list);
    }
    void listManagerDidInsertItemsAtIndexPaths(const QMIndexSet &indexes,
                                               const QMListItemList &list) override
    {
        calls.append(u"insert "_s + indexes.description() + u" | "_s
                     + identifiers(list).join(u", "_s));
        lists.append(list);
    }
    void listManagerDidMoveItemAtIndex(qint64 from, qint64 to, const QMListItemList &list) override
    {
        calls.append(u"move %1 -> %2 | "_s.arg(from).arg(to) + identifiers(list).join(u", "_s));
        lists.append(list);
    }
    QStringList calls;
    QList<QMListItemList> lists;
};

struct Update
{
    QMListItemList result;
    QStringList calls;
    QStringList handled; // "old/new" content pairs given to the update handler
};

// Runs an update of items named `oldNames` to fresh items named `newNames` whose contents are
// "new", through a handler that copies contents into the old instances.
Update update(const QMListItemList &oldList, const QStringList &newNames)
{
    QMListItemList newList;
    for (const QString &name : newNames)
        newList.append(std::make_shared<Item>(name, u"new"_s));
    QMListManager manager;
    const auto delegate = std::make_shared<RecordingDelegate>();
    manager.setDelegate(delegate);
    Update outcome;
    outcome.result = manager.updateList(
            oldList, newList,
            [&](const QMListItemPointer &existing, const QMListItemPointer &fresh) {
                auto &target = static_cast<Item &>(*existing);
                outcome.handled.append(target.identifier() + u'/' + fresh->identifier());
                target.setContent(static_cast<const Item &>(*fresh).content());
            });
    outcome.calls = delegate->calls;
    return outcome;
}

} // namespace

TEST(ListManagerTest, UpdatesReportEachStepWithTheListAfterIt)
{
    struct Row
    {
        const char *name;
        const char *oldNames;
        const char *newNames;
        QStringList calls;
    };
    const QList<Row> rows {
            {"same identifiers in the same order", "ab", "ab", {}},
            {"a reversal", "abc", "cba", {u"move 0 -> 2 | b, c, a"_s, u"move 1 -> 0 | c, b, a"_s}},
            {"every kind of step",
             "abcd",
             "dxac",
             {u"delete 1 | a, c, d"_s, u"insert 1 | a, x, c, d"_s, u"move 3 -> 0 | d, a, x, c"_s,
              u"move 1 -> 2 | d, x, a, c"_s}},
            {"everything replaced", "ab", "x", {u"delete 0-1 | "_s, u"insert 0 | x"_s}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QMListItemList oldList = items(letters(row.oldNames));
        const Update outcome = update(oldList, letters(row.newNames));
        EXPECT_EQ(outcome.calls, row.calls);
        EXPECT_EQ(identifiers(outcome.result), letters(row.newNames));
        // Persisting items are the old instances, refreshed by the handler.
        for (const QMListItemPointer &x : outcome.result) {
            const auto old = std::find(oldList.cbegin(), oldList.cend(), x);
            if (QString::fromLatin1(row.oldNames).contains(x->identifier())) {
                EXPECT_NE(old, oldList.cend()) << x->identifier().toStdString();
            }
            EXPECT_EQ(static_cast<const Item &>(*x).content(), u"new"_s);
        }
    }
}

TEST(ListManagerTest, IdentifiersDecideWhichOldItemIsKept)
{
    // The handler runs once per matched item, in new-list order.
    const QMListItemList abc = items(letters("abc"));
    const Update kept = update(abc, {u"b"_s, u"c"_s});
    EXPECT_EQ(kept.handled, (QStringList {u"b/b"_s, u"c/c"_s}));
    EXPECT_EQ(kept.result, (QMListItemList {abc[1], abc[2]}));

    // Two old items share an identifier: the later one is matched, the earlier one deleted.
    const QMListItemList twins = items(letters("aa"));
    const Update matched = update(twins, {u"a"_s});
    EXPECT_EQ(matched.result, QMListItemList {twins[1]});
    EXPECT_EQ(matched.calls, QStringList {u"delete 0 | a"_s});
}

TEST(ListManagerTest, LongListsMatchEveryIdentifierToItsLastOldItem)
{
    // Lists far longer than the lookups read ahead, with repeated identifiers on both sides.
    std::mt19937_64 random(7);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        QStringList oldNames;
        for (int i = 0; i < 300; ++i)
            oldNames.append(QString::number(random() % 250));
        QStringList newNames;
        for (int i = 0; i < 200; ++i)
            newNames.append(QString::number(random() % 400));
        newNames.removeDuplicates();
        const QMListItemList oldList = items(oldNames);
        const Update outcome = update(oldList, newNames);

        QStringList handled;
        for (qsizetype i = 0; i < newNames.size(); ++i) {
            const qsizetype last = oldNames.lastIndexOf(newNames[i]);
            if (last < 0) {
                EXPECT_EQ(std::find(oldList.cbegin(), oldList.cend(), outcome.result[i]),
                          oldList.cend());
            } else {
                EXPECT_EQ(outcome.result[i], oldList[last]) << newNames[i].toStdString();
                handled.append(newNames[i] + u'/' + newNames[i]);
            }
        }
        EXPECT_EQ(identifiers(outcome.result), newNames);
        EXPECT_EQ(outcome.handled, handled);
    }
}

TEST(ListManagerTest, FailingHandlerStopsBeforeAnyStepAndTheDelegateIsHeldWeakly)
{
    QMListManager manager;
    auto delegate = std::make_shared<RecordingDelegate>();
    manager.setDelegate(delegate);
    const QMListItemList oldList = items(letters("ab"));
    // An update handler that throws: the exception passes through before any step.
    EXPECT_THROW(manager.updateList(oldList, items(letters("ba")),
                                    [](const QMListItemPointer &, const QMListItemPointer &) {
                                        throw std::runtime_error("refresh failed");
                                    }),
                 std::runtime_error);
    EXPECT_TRUE(delegate->calls.isEmpty());

    EXPECT_EQ(manager.delegate(), delegate);
    delegate.reset();
    EXPECT_EQ(manager.delegate(), nullptr);
    // Without a delegate the update still returns the new list.
    EXPECT_EQ(manager.updateList(oldList, items(letters("ba"))),
              (QMListItemList {oldList[1], oldList[0]}));
}

#include "ListTestSupport.h"
#include "text/TextTestSupport.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/QMListChangeset.h>
#include <QMFoundation/lists/QMListComparator.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace ListTestSupport;
using namespace Qt::StringLiterals;

namespace {

QMListChangePointer change(QMListChangeType type, const QString &identifier, qint64 index,
                           qint64 oldIndex)
{
    return std::make_shared<QMListChange>(type, item(identifier), index, oldIndex);
}

QStringList descriptions(const QMListChangeList &changes)
{
    QStringList texts;
    for (const QMListChangePointer &c : changes)
        texts.append(c->description());
    return texts;
}

} // namespace

TEST(ListChangesetTest, ChangesGoIntoTheirListsAndMaps)
{
    QMListChangeset changeset;
    EXPECT_EQ(changeset.description(), u"(\n)"_s);

    const QMListChangePointer insert = change(QMListChangeTypeInsert, u"a"_s, 0, QMNotFound);
    const QMListChangePointer firstMove = change(QMListChangeTypeMove, u"a"_s, 1, 0);
    const QMListChangePointer secondMove = change(QMListChangeTypeMove, u"a"_s, 2, 1);
    const QMListChangePointer unknown = change(QMListChangeType(9), u"a"_s, 0, 0);
    changeset.addChange(insert);
    const QMListChangeList insertedBefore = changeset.insertedItems();
    changeset.addChange(firstMove);
    changeset.addChange(secondMove);
    changeset.addChange(unknown);
    changeset.addChange(change(QMListChangeTypeInsert, u"b"_s, 1, QMNotFound));

    EXPECT_EQ(changeset.changes(),
              (QMListChangeList {insert, firstMove, secondMove, unknown, changeset.changes()[4]}));
    EXPECT_EQ(changeset.moves(), (QMListChangeList {firstMove, secondMove}));
    EXPECT_EQ(changeset.inserts().size(), 2);
    EXPECT_TRUE(changeset.deletes().isEmpty());
    // The map holds the later change for an identifier; an unknown kind enters no map.
    EXPECT_EQ(changeset.moveMap().value(u"a"_s), secondMove);
    EXPECT_EQ(changeset.insertMap().value(u"a"_s), insert);
    EXPECT_TRUE(changeset.hasMoveForKey(u"a"_s));
    EXPECT_FALSE(changeset.hasDeleteForKey(u"a"_s));
    // Copies do not grow with later changes.
    EXPECT_EQ(insertedBefore, QMListChangeList {insert});

    EXPECT_EQ(changeset.description(),
              u"(\n"
              "    INS: a | OLD: (i: 9223372036854775807) ==> NEW: (i: 0),\n"
              "    MOV: a | OLD: (i: 0) ==> NEW: (i: 1),\n"
              "    MOV: a | OLD: (i: 1) ==> NEW: (i: 2),\n"
              "    (null): a | OLD: (i: 0) ==> NEW: (i: 0),\n"
              "    INS: b | OLD: (i: 9223372036854775807) ==> NEW: (i: 1)\n"
              ")"_s);

    EXPECT_EQ(failureOf([&] { changeset.addChange(nullptr); }),
              u"Invalid parameter not satisfying: insertedItem"_s);
    EXPECT_EQ(failureOf([&] { changeset.hasMoveForKey(QString()); }),
              u"Invalid parameter not satisfying: key"_s);
    EXPECT_EQ(failureOf([&] { changeset.hasDeleteForKey(QString()); }),
              u"Invalid parameter not satisfying: key"_s);
}

// The maps are filled when first read; they must hold what adding each change at once would.
TEST(ListChangesetTest, MapsHoldEveryChangeHoweverTheyAreReached)
{
    const QMListChangePointer a = change(QMListChangeTypeMove, u"a"_s, 1, 0);
    const QMListChangePointer b = change(QMListChangeTypeMove, u"b"_s, 2, 1);
    const QMListChangePointer c = change(QMListChangeTypeDelete, u"c"_s, QMNotFound, 3);

    // A copy made before the maps were read has them; so does a moved-to changeset.
    QMListChangeset changeset;
    changeset.reserve(0, 1, 2);
    changeset.addChange(a);
    const QMListChangeset copy = changeset;
    QMListChangeset moved = QMListChangeset(changeset);
    EXPECT_EQ(copy.moveMap().keys(), QStringList {u"a"_s});
    EXPECT_TRUE(moved.hasMoveForKey(u"a"_s));

    // Changes added after a map was read reach it; a replaced map keeps what was added before
    // it was replaced only if the new map has it, and takes what is added later.
    EXPECT_TRUE(changeset.hasMoveForKey(u"a"_s));
    changeset.addChange(b);
    EXPECT_TRUE(changeset.hasMoveForKey(u"b"_s));
    changeset.addChange(c);
    changeset.setMoveMap({});
    EXPECT_TRUE(changeset.hasDeleteForKey(u"c"_s));
    changeset.addChange(a);
    EXPECT_EQ(changeset.moveMap().keys(), QStringList {u"a"_s});

    // A replaced list is not mapped: the map keeps what it had.
    changeset.setDeletes({change(QMListChangeTypeDelete, u"d"_s, QMNotFound, 0),
                          change(QMListChangeTypeDelete, u"f"_s, QMNotFound, 1)});
    EXPECT_FALSE(changeset.hasDeleteForKey(u"d"_s));
    EXPECT_FALSE(changeset.hasDeleteForKey(u"f"_s));
    EXPECT_TRUE(changeset.hasDeleteForKey(u"c"_s));
    changeset.addChange(change(QMListChangeTypeDelete, u"e"_s, QMNotFound, 1));
    EXPECT_TRUE(changeset.hasDeleteForKey(u"e"_s));
    EXPECT_FALSE(changeset.hasDeleteForKey(u"d"_s));
    EXPECT_EQ(changeset.deletes().size(), 3);

    // Moving leaves the source empty, and both usable.
    moved = std::move(changeset);
    EXPECT_TRUE(moved.hasDeleteForKey(u"e"_s));
    EXPECT_TRUE(changeset.changes().isEmpty()); // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(changeset.hasMoveForKey(u"a"_s));
    changeset.addChange(b);
    EXPECT_TRUE(changeset.hasMoveForKey(u"b"_s));
}

// Readers on several threads at once may be the first to read the maps (run under TSan too).
TEST(ListChangesetTest, ReadersOnSeveralThreadsShareTheMapping)
{
    for (int round = 0; round < 20; ++round) {
        QMListChangeset changeset;
        for (int k = 0; k < 200; ++k)
            changeset.addChange(change(QMListChangeTypeMove, QString::number(k), k, k + 1));
        std::vector<std::thread> readers;
        std::vector<int> found(4, 0);
        for (size_t t = 0; t < found.size(); ++t) {
            readers.emplace_back([&, t] {
                for (int k = 0; k < 200; ++k)
                    found[t] += changeset.hasMoveForKey(QString::number(k)) ? 1 : 0;
            });
        }
        for (std::thread &reader : readers)
            reader.join();
        EXPECT_EQ(found, std::vector<int>(4, 200));
    }
}

TEST(ListComparatorTest, ChangesetsListDeletesThenInsertsThenMoves)
{
    const QMListItemList oldList = items(letters("abcd"));
    const QMListChangeset changeset
            = QMListComparator().compareList(oldList, pick(oldList, letters("dxac")));
    EXPECT_EQ(descriptions(changeset.changes()),
              (QStringList {u"DEL: b | OLD: (i: 1) ==> NEW: (i: 9223372036854775807)"_s,
                            u"INS: x | OLD: (i: 9223372036854775807) ==> NEW: (i: 1)"_s,
                            u"MOV: d | OLD: (i: 3) ==> NEW: (i: 0)"_s,
                            u"MOV: a | OLD: (i: 1) ==> NEW: (i: 2)"_s}));
}

TEST(ListComparatorTest, MovesCarryTheLowestOldItemEqualByValue)
{
    // y stands at 0 and x at 1; y is equal by value to x (same content), so the move of x
    // reports the old item y, the lowest old position equal to it.
    const auto y = std::make_shared<ContentItem>(u"y"_s, u"shared"_s);
    const auto x = std::make_shared<ContentItem>(u"x"_s, u"shared"_s);
    const auto z = std::make_shared<ContentItem>(u"z"_s, u"other"_s);
    const QMListChangeset changeset = QMListComparator().compareList({y, x, z}, {z, y, x});
    ASSERT_EQ(changeset.moves().size(), 1);
    const QMListChangePointer &move = changeset.moves().first();
    EXPECT_EQ(move->item(), z);
    EXPECT_EQ(move->index(), 0);

    const auto w = std::make_shared<ContentItem>(u"w"_s, u"other"_s);
    const QMListChangeset second = QMListComparator().compareList({w, y, x, z}, {w, z, y, x});
    ASSERT_EQ(second.moves().size(), 1);
    // z is equal by value to w, which stands lower in the old list.
    EXPECT_EQ(second.moves().first()->item(), w);

    // Items equal only to themselves among them, moved in the same comparison: each move
    // carries its own item, or the lowest equal one, in the order of the moves.
    const QMListItemPointer a = item(u"a"_s);
    const QMListItemPointer b = item(u"b"_s);
    const QMListItemList newList {a, b, w, z, y, x};
    const QMListChangeset third = QMListComparator().compareList({w, a, y, b, x, z}, newList);
    QMListItemList expected;
    QMListItemList carried;
    for (const QMListChangePointer &record : third.moves()) {
        const QMListItemPointer &moved = newList[record->index()];
        expected.append(moved == x || moved == y ? y : moved == z ? w : moved);
        carried.append(record->item());
    }
    ASSERT_EQ(third.moves().size(), 5);
    EXPECT_EQ(carried, expected);
    EXPECT_TRUE(carried.contains(a) || carried.contains(b));
    EXPECT_TRUE(carried.contains(y) || carried.contains(w));
}

#include "QMFoundation/lists/QMArrayComparisonStructures_p.h"

#include "ListDiffOracle.h"
#include "ListTestSupport.h"
#include "text/TextTestSupport.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/Comparing.h>
#include <QMFoundation/lists/QMArrayComparator.h>

#include <gtest/gtest.h>

#include <random>

using namespace ListTestSupport;
using namespace Qt::StringLiterals;

namespace {

using Comparator = QMArrayComparator<QMListItemPointer>::Comparator;

// Calls elements with the same identifier the same element, whatever their instances.
const Comparator byIdentifier = [](const QMListItemPointer &x, const QMListItemPointer &y) {
    return x->identifier() == y->identifier() ? QMOrderedSame : QMOrderedAscending;
};

// Items named "0" to "length - 1".
QMListItemList numbered(int length)
{
    QStringList names;
    for (int i = 0; i < length; ++i)
        names.append(QString::number(i));
    return items(names);
}

struct Outcome
{
    QMIndexSet removed;
    QMIndexSet inserted;
    QMMovePairList moves;
};

template<typename T>
Outcome compare(const QList<T> &left, const QList<T> &right,
                typename QMArrayComparator<T>::Comparator comparator = {})
{
    Outcome outcome;
    int calls = 0;
    QMArrayComparator<T>(left, right, std::move(comparator))
            .compareWithCompletionHandler([&](const QMIndexSet &removed, const QMIndexSet &inserted,
                                              const QMMovePairList &moves) {
                ++calls;
                outcome = Outcome {removed, inserted, moves};
            });
    EXPECT_EQ(calls, 1);
    return outcome;
}

// "removed / inserted / moves", as in "0 / 1-2 / 0>3 2>0".
QString describe(const Outcome &outcome)
{
    QStringList moves;
    for (const QMMovePair &move : outcome.moves)
        moves.append(u"%1>%2"_s.arg(move.first).arg(move.second));
    return outcome.removed.description() + u" / "_s + outcome.inserted.description() + u" / "_s
            + moves.join(u' ');
}

// Applies a comparison's results the way they are defined: remove all removed positions, insert
// the right list's elements at the inserted positions (ascending), then each move in order.
// Checks on the way that every move takes the element at `from` to its position in the right
// list, which is what a pass does.
::testing::AssertionResult rebuilds(const QMListItemList &left, const QMListItemList &right,
                                    const Outcome &outcome)
{
    QMListItemList working;
    for (qsizetype i = 0; i < left.size(); ++i) {
        if (!outcome.removed.containsIndex(quint64(i)))
            working.append(left[i]);
    }
    for (quint64 j : outcome.inserted)
        working.insert(qsizetype(j), right[qsizetype(j)]);
    for (const QMMovePair &move : outcome.moves) {
        if (move.first >= quint64(working.size()) || move.second >= quint64(working.size()))
            return ::testing::AssertionFailure() << "move outside the list";
        if (working[qsizetype(move.first)] != right[qsizetype(move.second)])
            return ::testing::AssertionFailure()
                    << "move " << move.first << " -> " << move.second
                    << " does not take an element to its place in the right list";
        working.move(qsizetype(move.first), qsizetype(move.second));
    }
    if (working != right)
        return ::testing::AssertionFailure()
                << "rebuilt " << identifiers(working).join(u',').toStdString() << " instead of "
                << identifiers(right).join(u',').toStdString();
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(ArrayComparatorTest, SmallListsGiveTheDefinedResults)
{
    const struct
    {
        const char *left;
        const char *right;
        const char *expected;
    } rows[] = {
            // Insertions past the kept elements.
            {"a", "xayz", "(empty) / 0 2-3 / "},
            // The farthest element moves first; a and d tie at 3, b and c at 1, and ties go in
            // the order of the working list.
            {"abcd", "dcba", "(empty) / (empty) / 0>3 2>0 1>2"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.right);
        const QMListItemList left = items(letters(row.left));
        const QMListItemList right = pick(left, letters(row.right));
        const Outcome outcome = compare(left, right);
        EXPECT_EQ(describe(outcome), QString::fromLatin1(row.expected));
        EXPECT_TRUE(rebuilds(left, right, outcome));
    }
}

// Property: every third round names elements alike through an element comparator, which
// decides only the moves.
TEST(ArrayComparatorTest, RandomListsAreRebuiltAndMatchTheStepByStepDefinition)
{
    std::mt19937_64 random(20261206);
    int serial = 0;
    const ListDiffOracle::Oracle<QMListItemPointer> oracle;
    const ListDiffOracle::Oracle<QMListItemPointer> oracleByIdentifier(byIdentifier);
    for (int round = 0; round < 1500; ++round) {
        const RandomPair pair = randomPair(random, round < 1250 ? 24 : 160, serial);
        const bool withComparator = round % 3 == 0;
        SCOPED_TRACE(round);
        const Outcome outcome
                = compare(pair.oldList, pair.newList, withComparator ? byIdentifier : Comparator());
        ASSERT_TRUE(rebuilds(pair.oldList, pair.newList, outcome));
        const ListDiffOracle::Result expected = (withComparator ? oracleByIdentifier : oracle)
                                                        .compare(pair.oldList, pair.newList);
        ASSERT_EQ(outcome.removed, expected.removedIndexes);
        ASSERT_EQ(outcome.inserted, expected.insertedIndexes);
        ASSERT_EQ(outcome.moves, expected.movedIndexes);
    }
}

TEST(ArrayComparatorTest, LongListsAreRebuiltAndSearchedOnEveryCore)
{
    // Long lists exercise the block list's splits and rebuilds; the step-by-step definition is
    // too slow to follow a shuffle, so those moves are checked by replaying them.
    std::mt19937_64 random(7);
    const QMListItemList left = numbered(1000);
    QMListItemList right = left;
    std::shuffle(right.begin(), right.end(), random);
    EXPECT_TRUE(rebuilds(left, right, compare(left, right)));
    // Everything moving one way: one element far to the front.
    right = left;
    right.move(999, 0);
    EXPECT_EQ(compare(left, right).moves, (QMMovePairList {{999, 0}}));

    // Many elements a little out of place and some far away, in a list of several groups of
    // blocks; and a run of 100 elements moving to the front, which fills the first block past
    // its capacity so that the block list rebuilds itself. The moves are the definition's,
    // position for position.
    const QMListItemList longList = numbered(2000);
    QMListItemList farMoves = longList;
    for (int k = 0; k < 30; ++k)
        farMoves.move(qsizetype(random() % 2000), qsizetype(random() % 2000));
    const QMListItemList rotated = longList.mid(1900) + longList.mid(0, 1900);
    for (const QMListItemList &moved : {farMoves, rotated}) {
        EXPECT_EQ(
                compare(longList, moved).moves,
                ListDiffOracle::Oracle<QMListItemPointer>().compare(longList, moved).movedIndexes);
    }

    // Long enough for the position searches to be shared out among threads.
    const QMListItemList searched = numbered(800);
    QMListItemList searchedMoved = searched;
    for (int k = 0; k < 40; ++k)
        searchedMoved.move(qsizetype(random() % 800), qsizetype(random() % 800));
    const Outcome outcome = compare(searched, searchedMoved, byIdentifier);
    EXPECT_EQ(outcome.moves,
              ListDiffOracle::Oracle<QMListItemPointer>(byIdentifier)
                      .compare(searched, searchedMoved)
                      .movedIndexes);
    EXPECT_TRUE(rebuilds(searched, searchedMoved, outcome));

    // A comparator that fails on one of the threads: the failure reaches the caller.
    const Comparator failing = [&](const QMListItemPointer &x, const QMListItemPointer &y) {
        if (y == searched[500] && x != y)
            throw std::runtime_error("comparator failed");
        return x == y ? QMOrderedSame : QMOrderedAscending;
    };
    EXPECT_THROW(compare(searched, searchedMoved, failing), std::runtime_error);
}

TEST(ArrayComparatorTest, IdentityDecidesMembershipAndValueEqualityEndsThePasses)
{
    // Distinct instances with equal contents: the working list equals the right list by value
    // from the start, so no pass is made although identity says the order differs.
    const auto a = std::make_shared<ContentItem>(u"a"_s, QStringLiteral("same"));
    const auto b = std::make_shared<ContentItem>(u"b"_s, QStringLiteral("same"));
    EXPECT_EQ(describe(compare(QMListItemList {a, b}, QMListItemList {b, a})),
              u"(empty) / (empty) / "_s);
    // Equal by value but not the same instance: a removal and an insertion, never a move.
    const auto c = std::make_shared<ContentItem>(u"c"_s, QStringLiteral("same"));
    EXPECT_EQ(describe(compare(QMListItemList {a}, QMListItemList {c})), u"0 / 0 / "_s);

    // Texts have no identity apart from their value.
    Outcome texts;
    Comparing::compareIndexesOfObjectsWithIndexesOfObjectsInArray<QString>(
            {u"a"_s, u"b"_s, u"c"_s}, {u"c"_s, u"a"_s, u"x"_s},
            [&](const QMIndexSet &removed, const QMIndexSet &inserted,
                const QMMovePairList &moves) {
                texts = Outcome {removed, inserted, moves};
            });
    EXPECT_EQ(describe(texts), u"1 / 2 / 0>1"_s);

    // Under an element comparator, two instances named alike are still a removal and an
    // insertion; the comparator decides only the moves.
    const QMListItemList abc = items(letters("abc"));
    const QMListItemList named {abc[2], item(u"a"_s), abc[1]};
    const Outcome outcome = compare(abc, named, byIdentifier);
    EXPECT_EQ(outcome.removed, QMIndexSet {0});
    EXPECT_EQ(outcome.inserted, QMIndexSet {1});
    EXPECT_EQ(outcome.moves,
              ListDiffOracle::Oracle<QMListItemPointer>(byIdentifier)
                      .compare(abc, named)
                      .movedIndexes);
}

TEST(ArrayComparatorTest, InconsistentInputFailsWithAClearMessage)
{
    const QMListItemList abc = items(letters("abc"));
    const QMListItemPointer a = abc[0];
    const Comparator everythingSame = [](const QMListItemPointer &, const QMListItemPointer &) {
        return QMOrderedSame;
    };
    struct Row
    {
        const char *name;
        QMListItemList left;
        QMListItemList right;
        Comparator comparator;
        QString message;
    };
    const QList<Row> rows {
            {"one instance twice against once",
             {a, a},
             {a},
             {},
             QStringLiteral("Expected same size of current array (a, a) and final array (a)")},
            {"an instance twice on both sides, moves needed",
             {a, abc[1], a},
             {abc[1], a, a},
             {},
             QStringLiteral(
                     "Expected every element once in each array, but a occurs more than once")},
            {"a comparator that calls everything the same",
             abc,
             {abc[2], abc[1], abc[0]},
             everythingSame,
             QStringLiteral(
                     "Expected a comparison pass to move an element, but the current array "
                     "(a, b, c) differs from the final array (c, b, a) by value and no element "
                     "is out of place")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        bool called = false;
        const QString message = failureOf([&] {
            QMArrayComparator<QMListItemPointer>(row.left, row.right, row.comparator)
                    .compareWithCompletionHandler([&](const QMIndexSet &, const QMIndexSet &,
                                                      const QMMovePairList &) { called = true; });
        });
        EXPECT_EQ(message, row.message);
        EXPECT_FALSE(called);
    }

    // Duplicates that need no move are harmless: the lists already agree.
    EXPECT_TRUE(compare(QMListItemList {a, a}, QMListItemList {a, a}).moves.isEmpty());

    EXPECT_EQ(failureOf([&] {
                  QMArrayComparator<QMListItemPointer>(abc, abc).compareWithCompletionHandler({});
              }),
              QStringLiteral("Invalid parameter not satisfying: completionHandler"));
}

TEST(ArrayComparatorTest, KeyFiltersAnswerExactlyForPointersOfAnyStride)
{
    // Items made one after another lie at a fixed distance from each other, and some of those
    // distances once put a third of the keys on shared bits, so that the filter gave up and the
    // comparison took its slower path. Every stride gets an exact answer now, and the filter
    // holds every key it was built from.
    for (const quintptr stride : {8, 16, 48, 96, 112, 4096, 8208}) {
        for (const size_t count : {1000, 100000}) {
            SCOPED_TRACE(testing::Message() << "stride " << stride << ", " << count << " keys");
            std::vector<quintptr> keys(count);
            for (size_t k = 0; k < count; ++k)
                keys[k] = 0x5566e376bdf0 + stride * k;
            QMArrayComparison::KeyFilter filter;
            EXPECT_EQ(filter.build(keys.data(), count), std::optional<bool>(false));
            for (size_t k = 0; k < count; ++k)
                ASSERT_TRUE(filter.mayHold(keys[k]));
            keys[count / 3] = keys[count * 2 / 3];
            EXPECT_EQ(filter.build(keys.data(), count), std::optional<bool>(true));
        }
    }
    // Any value is a key, the one a table may keep for its free slots too.
    for (const size_t count : {3, 1000, 100000}) {
        SCOPED_TRACE(testing::Message() << count << " keys with ~0");
        std::vector<quintptr> keys(count);
        for (size_t k = 0; k < count; ++k)
            keys[k] = quintptr(k);
        keys[1] = ~quintptr(0);
        QMArrayComparison::KeyFilter filter;
        EXPECT_EQ(filter.build(keys.data(), count), std::optional<bool>(false));
        EXPECT_TRUE(filter.mayHold(~quintptr(0)));
        EXPECT_TRUE(filter.mayHold(0));
        keys[count - 1] = ~quintptr(0);
        EXPECT_EQ(filter.build(keys.data(), count), std::optional<bool>(true));
    }
    QMArrayComparison::KeyFilter withoutIt;
    const quintptr few[] = {1, 2, 3};
    EXPECT_EQ(withoutIt.build(few, 3), std::optional<bool>(false));
    EXPECT_FALSE(withoutIt.mayHold(~quintptr(0)));
    EXPECT_FALSE(withoutIt.mayHold(4));
}

TEST(ArrayComparatorTest, RepeatedInstancesAreFoundWhereverTheyStand)
{
    // An instance repeated in one list or both, in step with the other list or not, unpaired or
    // among moved elements: membership follows the definition, and a comparison that needs a
    // move fails on the repeat instead of moving a guess.
    std::mt19937_64 random(61206);
    int serial = 0;
    const ListDiffOracle::Oracle<QMListItemPointer> oracle;
    for (int round = 0; round < 1000; ++round) {
        SCOPED_TRACE(round);
        RandomPair pair = randomPair(random, 120, serial);
        // Repeated in the new list: one of its own elements, so that it really stands twice.
        const QMListItemList &source = round % 4 == 1 ? pair.newList : pair.oldList;
        if (source.isEmpty())
            continue;
        const QMListItemPointer repeated = source[qsizetype(random() % quint64(source.size()))];
        const auto insertCopy = [&](QMListItemList &list) {
            list.insert(qsizetype(random() % quint64(list.size() + 1)), repeated);
        };
        switch (round % 4) {
        case 0:
            insertCopy(pair.oldList);
            break;
        case 1:
            insertCopy(pair.newList);
            break;
        case 2: // the same place in both lists when they agree in order
            insertCopy(pair.oldList);
            pair.newList = pair.oldList;
            if (random() % 2)
                pair.newList.removeAt(qsizetype(random() % quint64(pair.newList.size())));
            break;
        default:
            insertCopy(pair.oldList);
            insertCopy(pair.newList);
            break;
        }
        Outcome outcome;
        const QString failure = failureOf([&] { outcome = compare(pair.oldList, pair.newList); });
        ListDiffOracle::Result expected;
        bool definitionEnds = true;
        const QString expectedFailure = failureOf([&] {
            try {
                expected = oracle.compare(pair.oldList, pair.newList, 200);
            } catch (const std::runtime_error &) {
                definitionEnds = false;
            }
        });
        const bool needsMoves = !definitionEnds || !expected.movedIndexes.isEmpty();
        const QString none = u"(no exception)"_s;
        if (expectedFailure != none) {
            ASSERT_EQ(failure, expectedFailure);
        } else if (failure != none) {
            ASSERT_TRUE(failure.startsWith(u"Expected every element once in each array"_s))
                    << qPrintable(failure);
            ASSERT_TRUE(needsMoves);
        } else {
            ASSERT_FALSE(needsMoves);
            ASSERT_TRUE(outcome.moves.isEmpty());
            ASSERT_EQ(outcome.removed, expected.removedIndexes);
            ASSERT_EQ(outcome.inserted, expected.insertedIndexes);
        }
    }
}

TEST(ArrayComparatorTest, SearchesAndRecordsFollowTheirDefinitions)
{
    const QMListItemList abcd = items(letters("abcd"));
    const QMListItemList dcba {abcd[3], abcd[2], abcd[1], abcd[0]};
    const QMArrayComparator<QMListItemPointer> comparator(abcd, dcba);
    EXPECT_EQ(comparator.indexOfObject(abcd[2], abcd), 2);
    EXPECT_EQ(comparator.indexOfObject(item(u"a"_s), abcd), QMNotFound);

    // Largest distance first; ties in the order of the first list; elements missing from the
    // second list count with the signed 32-bit distance to the not-found marker: 3 - (-1).
    const auto describe = [](const auto &records) {
        QStringList texts;
        for (const auto &record : records)
            texts.append(record.object->identifier() + QString::number(record.distance));
        return texts.join(u' ');
    };
    EXPECT_EQ(describe(comparator.movedObjectInfosSortedByDistanceForArray(abcd, dcba)),
              u"a3 d3 b1 c1"_s);
    EXPECT_EQ(describe(comparator.movedObjectInfosSortedByDistanceForArray(abcd, {abcd[0]})),
              u"d4 c3 b2"_s);
}

TEST(ArrayComparatorTest, ResultsAccumulateAcrossComparisons)
{
    const QMListItemList left = items(letters("ab"));
    QMArrayComparator<QMListItemPointer> comparator(left, {left[1]});
    const auto ignore = [](const QMIndexSet &, const QMIndexSet &, const QMMovePairList &) {
    };
    comparator.compareWithCompletionHandler(ignore);
    comparator.setLeftArray(items(letters("xyz")));
    comparator.setRightArray(QMListItemList {comparator.leftArray()[0]});
    comparator.compareWithCompletionHandler(ignore);
    EXPECT_EQ(comparator.removedIndexes(), (QMIndexSet {0, 1, 2}));
}

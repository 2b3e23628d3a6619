#include <QMFoundation/lists/QMIndexSet.h>
#include <QMFoundation/lists/QMListItem.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>
#include <string>

namespace {

constexpr quint64 Top = std::numeric_limits<quint64>::max();

// The model of a QMIndexSet: the same positions in a std::set. Ranges are clamped at the top as
// the set documents: [location, min(location + length, 2^64 - 1)).
struct Model
{
    std::set<quint64> indexes;

    static quint64 clampedEnd(quint64 location, quint64 length)
    {
        return location + std::min(length, Top - location);
    }
    void add(quint64 location, quint64 length)
    {
        for (quint64 i = location; i < clampedEnd(location, length); ++i)
            indexes.insert(i);
    }
    void remove(quint64 location, quint64 length)
    {
        indexes.erase(indexes.lower_bound(location),
                      indexes.lower_bound(clampedEnd(location, length)));
    }
};

// Checks every observation of `set` against `model`, and the invariants of the ranges.
void expectMatches(const QMIndexSet &set, const Model &model, const std::set<quint64> &probes)
{
    const QList<QMIndexSet::Range> &ranges = set.ranges();
    for (qsizetype i = 0; i < ranges.size(); ++i) {
        ASSERT_GT(ranges[i].length, 0u) << "range " << i;
        if (i > 0) {
            ASSERT_LT(ranges[i - 1].end(), ranges[i].location) << "ranges " << i - 1 << ", " << i;
        }
    }
    ASSERT_EQ(set.count(), model.indexes.size());
    EXPECT_EQ(set.isEmpty(), model.indexes.empty());

    const QList<quint64> expected(model.indexes.cbegin(), model.indexes.cend());
    EXPECT_EQ(set.toList(), expected);
    QList<quint64> iterated;
    for (quint64 index : set)
        iterated.append(index);
    EXPECT_EQ(iterated, expected);

    EXPECT_EQ(set.firstIndex(),
              model.indexes.empty() ? quint64(QMNotFound) : *model.indexes.cbegin());
    EXPECT_EQ(set.lastIndex(),
              model.indexes.empty() ? quint64(QMNotFound) : *model.indexes.crbegin());
    for (quint64 probe : probes) {
        EXPECT_EQ(set.containsIndex(probe), model.indexes.count(probe) == 1) << probe;
        const auto below = std::distance(model.indexes.cbegin(), model.indexes.lower_bound(probe));
        EXPECT_EQ(set.countOfIndexesBelow(probe), quint64(below)) << probe;
    }
}

} // namespace

TEST(QMIndexSetTest, KeepsRangesMerged)
{
    const struct
    {
        const char *name;
        QMIndexSet set;
        const char *description;
    } rows[] = {
            {"nothing", QMIndexSet(), "(empty)"},
            {"gaps stay, runs merge", QMIndexSet {0, 2, 9, 10, 5}, "0 2 5 9-10"},
            {"repeats count once", QMIndexSet::indexSetWithIndexes(QList<int> {4, 4, 3, 4}), "3-4"},
            {"a removal splitting one",
             [] {
                 QMIndexSet set = QMIndexSet::indexSetWithIndexesInRange(0, 10);
                 set.removeIndexesInRange(3, 2);
                 set.removeIndex(9);
                 return set;
             }(),
             "0-2 5-8"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.set.description(), QString::fromLatin1(row.description));
    }
}

// Property: random additions and removals of single positions and ranges, near zero and near the
// top of the unsigned space, observed after every step against a std::set.
TEST(QMIndexSetTest, MatchesASetModel)
{
    std::mt19937_64 random(0x51DE5E7);
    // Positions come from two windows, so that operations collide, merge and split often.
    const auto position = [&] {
        const quint64 offset = random() % 96;
        return random() % 4 == 0 ? Top - offset : offset;
    };
    std::set<quint64> probes;
    for (quint64 i = 0; i <= 100; ++i) {
        probes.insert(i);
        probes.insert(Top - i);
    }

    for (int round = 0; round < 60; ++round) {
        QMIndexSet set;
        Model model;
        for (int step = 0; step < 80; ++step) {
            const quint64 location = position();
            const quint64 length = random() % 3 == 0 ? random() % 20 : 1;
            const int kind = int(random() % 6);
            switch (kind) {
            case 0:
                set.addIndex(location);
                model.add(location, 1);
                break;
            case 1:
                set.addIndexesInRange(location, length);
                model.add(location, length);
                break;
            case 2:
                set.removeIndex(location);
                model.remove(location, 1);
                break;
            case 3:
                set.removeIndexesInRange(location, length);
                model.remove(location, length);
                break;
            case 4: {
                QMIndexSet other;
                for (int i = int(random() % 4); i > 0; --i) {
                    const quint64 at = position();
                    const quint64 count = random() % 6;
                    other.addIndexesInRange(at, count);
                    model.add(at, count);
                }
                set.addIndexes(other);
                EXPECT_TRUE(set.containsIndexes(other));
                break;
            }
            default:
                if (random() % 8 == 0) {
                    set.removeAllIndexes();
                    model.indexes.clear();
                } else {
                    set = QMIndexSet(set);
                }
                break;
            }
            // Kinds: add, add range, remove, remove range, add a set, copy or remove all.
            SCOPED_TRACE("round " + std::to_string(round) + ", step " + std::to_string(step)
                         + ": kind " + std::to_string(kind) + "(" + std::to_string(location) + ", "
                         + std::to_string(length) + ") -> " + set.description().toStdString());
            expectMatches(set, model, probes);
            if (testing::Test::HasFatalFailure() || testing::Test::HasFailure())
                return;
        }
    }
}

#include <QMFoundation/lists/QMIndexPath.h>
#include <QMFoundation/lists/QMListItem.h>

#include <gtest/gtest.h>

#include <QSet>

TEST(QMIndexPathTest, BuildsAndWalksPaths)
{
    EXPECT_EQ(QMIndexPath::indexPathWithArray(QList<int> {1, 0, 2}).description(),
              QStringLiteral("1.0.2"));
    const QMIndexPath empty = QMIndexPath::indexPathWithArray(QList<qint64> {});
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_EQ(empty.length(), 0);
    EXPECT_EQ(empty.description(), QStringLiteral(""));
    EXPECT_FALSE(empty.description().isNull());

    // Any integral type; large unsigned values survive, negative ones wrap as documented.
    EXPECT_EQ(QMIndexPath::indexPathWithArray(QList<quint64> {~quint64(0), 7}).indexes(),
              (QList<quint64> {~quint64(0), 7}));
    EXPECT_EQ(QMIndexPath::indexPathWithArray(QList<short> {-1}).indexAtPosition(0), ~quint64(0));

    const QMIndexPath path {4, 2};
    EXPECT_EQ(path.indexAtPosition(1), 2u);
    // Positions past the end (or before the start) answer the not-found marker.
    EXPECT_EQ(path.indexAtPosition(2), quint64(QMNotFound));
    EXPECT_EQ(path.indexAtPosition(-1), quint64(QMNotFound));
    EXPECT_EQ(QMIndexPath().indexAtPosition(0), quint64(QMNotFound));

    const QMIndexPath child = path.indexPathByAddingIndex(9);
    EXPECT_EQ(child, (QMIndexPath {4, 2, 9}));
    EXPECT_EQ(path, (QMIndexPath {4, 2})); // unchanged
    EXPECT_EQ(child.indexPathByRemovingLastIndex(), path);
    EXPECT_EQ(QMIndexPath().indexPathByRemovingLastIndex(), QMIndexPath());
}

TEST(QMIndexPathTest, OrdersLikeATreeWalk)
{
    const struct
    {
        QMIndexPath lower;
        QMIndexPath higher;
    } rows[] = {
            // The root before everything, a parent before its children.
            {{}, {0}},
            {{1}, {1, 0}},
            {{1, 0}, {1, 0, 5}},
            // Then by position, whatever follows.
            {{1, 0, 5}, {1, 1}},
            {{1, 9, 9}, {2}},
            {{3}, {10}}, // numbers, not texts
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.lower.description().toStdString() + " < "
                     + row.higher.description().toStdString());
        EXPECT_TRUE(row.lower < row.higher);
        EXPECT_FALSE(row.higher < row.lower);
        EXPECT_FALSE(row.lower < row.lower);
    }

    // Equal paths hash alike, so paths can be set members and hash keys.
    const QList<QMIndexPath> paths {{}, {0}, {0, 1}, {2, 0, 1}, {10}};
    const QSet<QMIndexPath> set(paths.cbegin(), paths.cend());
    EXPECT_EQ(set.size(), paths.size());
    EXPECT_TRUE(set.contains(QMIndexPath::indexPathWithArray(QList<int> {2, 0, 1})));
    EXPECT_FALSE(set.contains(QMIndexPath {2, 1}));
}

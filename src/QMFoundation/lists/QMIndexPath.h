#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <algorithm>
#include <compare>
#include <concepts>
#include <initializer_list>
#include <utility>

/// A sequence of positions that addresses a node in a tree: the empty path is the root, [1, 0, 2]
/// the third child of the first child of the second child of the root.
///
/// A small value type. Paths order like a depth-first walk of a sorted tree: lexicographically
/// by position, a path before every longer path that starts with it (a parent before its
/// children), so [1] < [1, 0] < [1, 0, 5] < [1, 1] < [2].
class QMF_CORE_EXPORT QMIndexPath
{
public:
    QMIndexPath() = default;
    /// The path of the given positions, outermost first.
    QMIndexPath(std::initializer_list<quint64> indexes)
        : m_indexes(indexes)
    { }
    /// The path of the given positions, outermost first.
    explicit QMIndexPath(QList<quint64> indexes)
        : m_indexes(std::move(indexes))
    { }

    /// A path that starts empty and receives each number's value, in order: [1, 0, 2] gives
    /// 1.0.2, an empty list the empty path. A negative number wraps as an unsigned conversion
    /// does, as in QMIndexSet::indexSetWithIndexes().
    template<std::integral Integer>
    static QMIndexPath indexPathWithArray(const QList<Integer> &indexes)
    {
        QMIndexPath path;
        path.m_indexes.reserve(indexes.size());
        for (Integer index : indexes)
            path.m_indexes.append(static_cast<quint64>(index));
        return path;
    }

    /// The positions from first (nearest the root) to last.
    QList<quint64> indexes() const { return m_indexes; }
    /// The number of positions; 0 for the empty path.
    qsizetype length() const { return m_indexes.size(); }
    /// True for the empty path.
    bool isEmpty() const { return m_indexes.isEmpty(); }
    /// The position at `position` (0 is the first), or QMNotFound (as unsigned) when the path is
    /// not that long, so that a caller can read past the end without checking length() first.
    quint64 indexAtPosition(qsizetype position) const;

    /// A new path with `index` appended: the path of a child of this node.
    QMIndexPath indexPathByAddingIndex(quint64 index) const;
    /// A new path without the last position: the path of the parent. The empty path stays
    /// empty.
    QMIndexPath indexPathByRemovingLastIndex() const;

    /// The positions joined by periods, "1.0.2"; "" for the empty path.
    QString description() const;

    friend bool operator==(const QMIndexPath &a, const QMIndexPath &b)
    {
        // Not QList's ==: Qt 6.4 passes memcmp a null pointer when one of two empty lists has
        // storage (a path emptied by indexPathByRemovingLastIndex()) and the other has none.
        return std::equal(a.m_indexes.cbegin(), a.m_indexes.cend(), b.m_indexes.cbegin(),
                          b.m_indexes.cend());
    }
    friend std::strong_ordering operator<=>(const QMIndexPath &a, const QMIndexPath &b)
    {
        return std::lexicographical_compare_three_way(a.m_indexes.cbegin(), a.m_indexes.cend(),
                                                      b.m_indexes.cbegin(), b.m_indexes.cend());
    }
    friend size_t qHash(const QMIndexPath &path, size_t seed = 0) noexcept
    {
        return qHashRange(path.m_indexes.cbegin(), path.m_indexes.cend(), seed);
    }

private:
    QList<quint64> m_indexes;
};

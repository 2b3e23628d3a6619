#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QList>
#include <QString>

#include <concepts>
#include <initializer_list>
#include <iterator>

/// A set of non-negative positions kept in ascending order, stored as ascending, disjoint,
/// non-adjacent ranges, so that long runs cost one entry.
///
/// Positions run from 0 to 2^64 - 2: a range's end must be representable, so ranges reaching
/// past it are cut there and 2^64 - 1 itself is never held (adding it adds nothing).
///
/// Adding positions in ascending order (as the comparators do) costs amortised O(1) per
/// position; adding anywhere else costs O(number of ranges).
class QMF_CORE_EXPORT QMIndexSet
{
public:
    /// A run of consecutive positions [location, location + length).
    struct Range
    {
        /// The first position of the run.
        quint64 location = 0;
        /// The number of positions in the run.
        quint64 length = 0;
        /// One past the last position of the run.
        quint64 end() const { return location + length; }
        friend bool operator==(const Range &, const Range &) = default;
    };

    QMIndexSet() = default;
    /// The set holding `index` alone.
    explicit QMIndexSet(quint64 index);
    /// The set of the given positions; repeated ones count once.
    QMIndexSet(std::initializer_list<quint64> indexes);

    /// The positions of `length` consecutive indexes from `location`.
    static QMIndexSet indexSetWithIndexesInRange(quint64 location, quint64 length);
    /// Each number's unsigned value (a negative number wraps as an unsigned conversion does);
    /// repeated numbers count once.
    template<std::integral Integer>
    static QMIndexSet indexSetWithIndexes(const QList<Integer> &numbers)
    {
        QMIndexSet set;
        for (Integer number : numbers)
            set.addIndex(static_cast<quint64>(number));
        return set;
    }

    /// True when the set holds no position.
    bool isEmpty() const { return m_ranges.isEmpty(); }
    /// The number of positions (not of ranges).
    quint64 count() const { return m_count; }
    /// True when the set holds `index`.
    bool containsIndex(quint64 index) const;
    /// True when every position of the other set is in this one.
    bool containsIndexes(const QMIndexSet &other) const;
    /// The lowest position, or QMNotFound (as unsigned) when empty.
    quint64 firstIndex() const;
    /// The highest position, or QMNotFound (as unsigned) when empty.
    quint64 lastIndex() const;
    /// How many positions of the set lie below `index`.
    quint64 countOfIndexesBelow(quint64 index) const;

    /// Adds `index`; nothing happens when it is already held.
    void addIndex(quint64 index);
    /// Adds the `length` positions from `location`, cut at the largest position (see the class).
    void addIndexesInRange(quint64 location, quint64 length);
    /// Adds every position of `other`.
    void addIndexes(const QMIndexSet &other);
    /// Removes `index`, splitting its range when needed; nothing happens when it is not held.
    void removeIndex(quint64 index);
    /// Removes the `length` positions from `location`, where held.
    void removeIndexesInRange(quint64 location, quint64 length);
    /// Empties the set.
    void removeAllIndexes();

    /// The ranges, ascending, disjoint and never adjacent.
    const QList<Range> &ranges() const { return m_ranges; }
    /// Every position in ascending order.
    QList<quint64> toList() const;
    /// "(empty)" or the ranges as "0-2 5 9-10".
    QString description() const;

    /// Iterates the positions in ascending order.
    class const_iterator
    {
    public:
        /// A forward iterator.
        using iterator_category = std::forward_iterator_tag;
        /// Positions.
        using value_type = quint64;
        /// The distance between two iterators.
        using difference_type = std::ptrdiff_t;
        /// A pointer to a position.
        using pointer = const quint64 *;
        /// Positions are given by value.
        using reference = quint64;

        const_iterator() = default;
        /// The position the iterator stands on.
        quint64 operator*() const { return m_ranges[m_range].location + m_offset; }
        /// Steps to the next position.
        const_iterator &operator++()
        {
            if (++m_offset == m_ranges[m_range].length) {
                ++m_range;
                m_offset = 0;
            }
            return *this;
        }
        /// Steps to the next position, returning the iterator as it was.
        const_iterator operator++(int)
        {
            const_iterator previous = *this;
            ++*this;
            return previous;
        }
        friend bool operator==(const const_iterator &a, const const_iterator &b)
        {
            return a.m_range == b.m_range && a.m_offset == b.m_offset;
        }

    private:
        friend class QMIndexSet;
        const_iterator(const Range *ranges, qsizetype range)
            : m_ranges(ranges)
            , m_range(range)
        { }
        const Range *m_ranges = nullptr;
        qsizetype m_range = 0;
        quint64 m_offset = 0;
    };
    /// An iterator on the lowest position.
    const_iterator begin() const { return const_iterator(m_ranges.constData(), 0); }
    /// The iterator past the highest position.
    const_iterator end() const { return const_iterator(m_ranges.constData(), m_ranges.size()); }

    friend bool operator==(const QMIndexSet &a, const QMIndexSet &b)
    {
        return a.m_count == b.m_count && a.m_ranges == b.m_ranges;
    }

private:
    QList<Range> m_ranges;
    quint64 m_count = 0;
};

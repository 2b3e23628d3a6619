#include <QMFoundation/lists/QMIndexSet.h>

#include <QMFoundation/lists/QMListItem.h>

#include <QStringList>

#include <algorithm>
#include <limits>

namespace {

// The first range that ends after `index` (it may start after it too).
qsizetype firstRangeEndingAfter(const QList<QMIndexSet::Range> &ranges, quint64 index)
{
    auto it = std::partition_point(
            ranges.cbegin(), ranges.cend(),
            [index](const QMIndexSet::Range &r) { return r.end() <= index; });
    return it - ranges.cbegin();
}

} // namespace

QMIndexSet::QMIndexSet(quint64 index)
{
    addIndex(index);
}

QMIndexSet::QMIndexSet(std::initializer_list<quint64> indexes)
{
    for (quint64 index : indexes)
        addIndex(index);
}

QMIndexSet QMIndexSet::indexSetWithIndexesInRange(quint64 location, quint64 length)
{
    QMIndexSet set;
    set.addIndexesInRange(location, length);
    return set;
}

bool QMIndexSet::containsIndex(quint64 index) const
{
    const qsizetype i = firstRangeEndingAfter(m_ranges, index);
    return i < m_ranges.size() && m_ranges[i].location <= index;
}

bool QMIndexSet::containsIndexes(const QMIndexSet &other) const
{
    for (const Range &range : other.m_ranges) {
        const qsizetype i = firstRangeEndingAfter(m_ranges, range.location);
        if (i == m_ranges.size() || m_ranges[i].location > range.location
            || m_ranges[i].end() < range.end())
            return false;
    }
    return true;
}

quint64 QMIndexSet::firstIndex() const
{
    return m_ranges.isEmpty() ? quint64(QMNotFound) : m_ranges.first().location;
}

quint64 QMIndexSet::lastIndex() const
{
    return m_ranges.isEmpty() ? quint64(QMNotFound) : m_ranges.last().end() - 1;
}

quint64 QMIndexSet::countOfIndexesBelow(quint64 index) const
{
    quint64 below = 0;
    for (const Range &range : m_ranges) {
        if (range.location >= index)
            break;
        below += std::min(range.end(), index) - range.location;
    }
    return below;
}

void QMIndexSet::addIndex(quint64 index)
{
    addIndexesInRange(index, 1);
}

void QMIndexSet::addIndexesInRange(quint64 location, quint64 length)
{
    // Keep the range inside the unsigned space rather than wrapping: its end must be
    // representable, so 2^64 - 1 itself is never held. A range that clamps to nothing adds
    // nothing; appending it would leave an empty range, which iteration cannot step over.
    length = std::min(length, std::numeric_limits<quint64>::max() - location);
    if (length == 0)
        return;
    const quint64 end = location + length;
    // The common case: appending at or after the last range.
    if (m_ranges.isEmpty() || m_ranges.last().end() < location) {
        m_ranges.append(Range {location, length});
        m_count += length;
        return;
    }
    if (m_ranges.last().end() == location) {
        m_ranges.last().length += length;
        m_count += length;
        return;
    }
    // Merge with every range that overlaps or touches [location, end).
    qsizetype first = firstRangeEndingAfter(m_ranges, location);
    if (first > 0 && m_ranges[first - 1].end() == location)
        --first;
    qsizetype last = first;
    quint64 mergedStart = location;
    quint64 mergedEnd = end;
    quint64 removedCount = 0;
    while (last < m_ranges.size() && m_ranges[last].location <= end) {
        mergedStart = std::min(mergedStart, m_ranges[last].location);
        mergedEnd = std::max(mergedEnd, m_ranges[last].end());
        removedCount += m_ranges[last].length;
        ++last;
    }
    m_ranges.remove(first, last - first);
    m_ranges.insert(first, Range {mergedStart, mergedEnd - mergedStart});
    m_count += (mergedEnd - mergedStart) - removedCount;
}

void QMIndexSet::addIndexes(const QMIndexSet &other)
{
    if (m_ranges.isEmpty()) {
        // Into an empty set: share the other set's ranges rather than copy them one by one.
        m_ranges = other.m_ranges;
        m_count = other.m_count;
        return;
    }
    for (const Range &range : other.m_ranges)
        addIndexesInRange(range.location, range.length);
}

void QMIndexSet::removeIndex(quint64 index)
{
    removeIndexesInRange(index, 1);
}

void QMIndexSet::removeIndexesInRange(quint64 location, quint64 length)
{
    length = std::min(length, std::numeric_limits<quint64>::max() - location);
    if (length == 0)
        return;
    const quint64 end = location + length;
    QList<Range> kept;
    kept.reserve(m_ranges.size() + 1);
    quint64 count = 0;
    for (const Range &range : std::as_const(m_ranges)) {
        if (range.end() <= location || range.location >= end) {
            kept.append(range);
            count += range.length;
            continue;
        }
        if (range.location < location) {
            kept.append(Range {range.location, location - range.location});
            count += location - range.location;
        }
        if (range.end() > end) {
            kept.append(Range {end, range.end() - end});
            count += range.end() - end;
        }
    }
    m_ranges = kept;
    m_count = count;
}

void QMIndexSet::removeAllIndexes()
{
    m_ranges.clear();
    m_count = 0;
}

QList<quint64> QMIndexSet::toList() const
{
    QList<quint64> list;
    list.reserve(qsizetype(m_count));
    for (quint64 index : *this)
        list.append(index);
    return list;
}

QString QMIndexSet::description() const
{
    if (m_ranges.isEmpty())
        return QStringLiteral("(empty)");
    QStringList parts;
    for (const Range &range : m_ranges) {
        parts.append(range.length == 1 ? QString::number(range.location)
                                       : QString::number(range.location) + QLatin1Char('-')
                                     + QString::number(range.end() - 1));
    }
    return parts.join(QLatin1Char(' '));
}

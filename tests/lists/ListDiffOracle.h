#pragma once

// A literal, slow transcription of the array comparison's step-by-step definition: linear
// searches for every position, records recomputed for every pass. Tests (and the benchmarks,
// as the plain algorithm) hold the fast engine to its results position for position; it is
// not part of the library.

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/QMArrayComparator.h>

#include <QStringList>

#include <algorithm>
#include <functional>

namespace ListDiffOracle {

struct Result
{
    QMIndexSet removedIndexes;
    QMIndexSet insertedIndexes;
    QMMovePairList movedIndexes;
    int passes = 0;
};

template<typename T, typename Traits = QMListElementTraits<T>>
class Oracle
{
public:
    using Comparator = typename QMArrayComparator<T, Traits>::Comparator;

    explicit Oracle(Comparator comparator = {})
        : m_comparator(std::move(comparator))
    { }

    qint64 indexOfObject(const T &object, const QList<T> &list) const
    {
        for (qsizetype p = 0; p < list.size(); ++p) {
            const bool same = m_comparator
                    ? m_comparator(list[p], object) == QMOrderedSame
                    : Traits::identityKey(list[p]) == Traits::identityKey(object);
            if (same)
                return p;
        }
        return QMNotFound;
    }

    Result compare(const QList<T> &left, const QList<T> &right, int maxPasses = 10000) const
    {
        Result result;
        QList<T> working = left;
        const auto identical = [](const T &x, const QList<T> &list) {
            return std::any_of(list.cbegin(), list.cend(), [&](const T &y) {
                return Traits::identityKey(x) == Traits::identityKey(y);
            });
        };
        for (qsizetype i = left.size() - 1; i >= 0; --i) {
            if (!identical(left[i], right)) {
                result.removedIndexes.addIndex(quint64(i));
                working.removeAt(i);
            }
        }
        for (qsizetype j = 0; j < right.size(); ++j) {
            if (!identical(right[j], left)) {
                result.insertedIndexes.addIndex(quint64(j));
                working.insert(std::min(j, working.size()), right[j]);
            }
        }
        if (working.size() != right.size()) {
            throw QMInternalInconsistencyException(
                    QStringLiteral("Expected same size of current array (%1) and final array (%2)")
                            .arg(identifiers(working), identifiers(right)));
        }
        while (!equalByValue(working, right)) {
            if (++result.passes > maxPasses)
                throw std::runtime_error("the oracle made too many passes");
            struct Record
            {
                T object;
                quint64 distance;
            };
            QList<Record> records;
            for (const T &x : std::as_const(working)) {
                const qint64 a = indexOfObject(x, working);
                const qint64 b = indexOfObject(x, right);
                if (a != b) {
                    const auto d = qint32(quint32(a) - quint32(b));
                    records.append(Record {x, quint64(d < 0 ? -qint64(d) : qint64(d))});
                }
            }
            std::stable_sort(records.begin(), records.end(), [](const Record &l, const Record &r) {
                return l.distance > r.distance;
            });
            bool moved = false;
            for (const Record &record : std::as_const(records)) {
                const qint64 from = indexOfObject(record.object, working);
                const qint64 to = indexOfObject(record.object, right);
                if (from == to)
                    continue;
                if (from == QMNotFound || to == QMNotFound)
                    throw std::runtime_error("the oracle found no position to move from or to");
                working.move(from, to);
                result.movedIndexes.append(QMMovePair(quint64(from), quint64(to)));
                moved = true;
            }
            if (!moved)
                throw std::runtime_error("the oracle made a pass without a move");
        }
        return result;
    }

private:
    static bool equalByValue(const QList<T> &a, const QList<T> &b)
    {
        for (qsizetype p = 0; p < a.size(); ++p) {
            if (!Traits::isEqual(a[p], b[p]))
                return false;
        }
        return true;
    }

    static QString identifiers(const QList<T> &list)
    {
        QStringList texts;
        for (const T &x : list)
            texts.append(Traits::identifier(x));
        return texts.join(QStringLiteral(", "));
    }

    Comparator m_comparator;
};

} // namespace ListDiffOracle

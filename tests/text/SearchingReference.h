#pragma once

// The fuzzy test, the similarity score and the edit distance written out step by step as the
// library defines them, with nothing made faster: QTextBoundaryFinder splits the query on
// every call, every step is a QString searched with QString::indexOf(), and the distance fills
// the whole table. Tests, the fuzz target and the benchmarks hold the library's fast paths
// against these.

#include <QString>
#include <QStringList>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <vector>

namespace SearchingReference {

inline QStringList graphemes(const QString &text)
{
    QStringList steps;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype begin = 0;
    for (qsizetype end = finder.toNextBoundary(); end > begin; end = finder.toNextBoundary()) {
        steps.append(text.mid(begin, end - begin));
        begin = end;
    }
    return steps;
}

inline Qt::CaseSensitivity sensitivity(quint64 options)
{
    return (options & 1) ? Qt::CaseInsensitive : Qt::CaseSensitive;
}

inline bool fuzzyMatches(const QString &candidate, const QString &query)
{
    bool matched = false;
    qsizetype previous = 0;
    for (const QString &step : graphemes(query)) {
        qsizetype position;
        if (!matched) {
            position = candidate.indexOf(step, 0, Qt::CaseInsensitive);
        } else {
            if (!(previous + 1 < candidate.size()))
                return false;
            position = candidate.indexOf(step, previous + 1, Qt::CaseInsensitive);
        }
        if (position < 0)
            return false;
        previous = position;
        matched = true;
    }
    return true;
}

inline double similarityScore(const QString &candidate, const QString &query, quint64 maximumScore,
                              quint64 penalty, quint64 options, bool allowsMismatch)
{
    if (query.size() > candidate.size())
        return 0;
    bool matched = false;
    qsizetype previous = 0;
    quint64 gaps = 0;
    double mismatches = 0.0;
    bool mismatchSeen = false;
    bool anyFound = false;
    for (const QString &step : graphemes(query)) {
        const qsizetype position = matched
                ? candidate.indexOf(step, previous + 1, sensitivity(options))
                : candidate.indexOf(step, 0, sensitivity(options));
        if (position >= 0) {
            gaps += matched ? 10 * quint64(position - previous - 1) : 10 * quint64(position);
            previous = position;
            matched = true;
            anyFound = true;
        } else {
            mismatches += double(penalty);
            if (!allowsMismatch) {
                mismatchSeen = true;
                break;
            }
        }
    }
    if (!allowsMismatch && mismatchSeen)
        return 0;
    const double raw = anyFound ? double(maximumScore) - double(gaps) - mismatches : 0.0;
    return std::max(0.0,
                    std::min(double(maximumScore), std::max(raw, 0.0) - double(candidate.size())));
}

/// The full (n + 1) x (m + 1) table, row by row in one vector.
inline quint64 distance(const QString &a, const QString &b)
{
    const size_t n = size_t(a.size());
    const size_t m = size_t(b.size());
    std::vector<quint64> d((n + 1) * (m + 1));
    const auto at = [m, &d](size_t i, size_t j) -> quint64 & {
        return d[i * (m + 1) + j];
    };
    for (size_t i = 0; i <= n; ++i)
        at(i, 0) = i;
    for (size_t j = 0; j <= m; ++j)
        at(0, j) = j;
    for (size_t i = 1; i <= n; ++i) {
        for (size_t j = 1; j <= m; ++j) {
            const quint64 substitution = at(i - 1, j - 1) + (a[i - 1] == b[j - 1] ? 0 : 1);
            at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, substitution});
        }
    }
    return at(n, m);
}

} // namespace SearchingReference

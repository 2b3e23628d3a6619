#pragma once

// The fuzzy test, the similarity score and the edit distance written out step by step as the
// library defines them, with nothing made faster: QTextBoundaryFinder splits the query on
// every call, every step is a QString searched with QString::indexOf(), and the distance fills
// the table cell by cell. Tests, the fuzz target and the benchmarks hold the library's fast paths
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

// The tests fill 100,000 tables; unoptimised, in the sanitizer build, that alone would take a
// minute. GCC can optimise this one function there (clang, which builds the fuzz targets, has
// no such attribute and optimises them anyway).
#if defined(__GNUC__) && !defined(__clang__)
#define SEARCHING_REFERENCE_OPTIMIZED [[gnu::optimize("O2")]]
#else
#define SEARCHING_REFERENCE_OPTIMIZED
#endif

/// The (n + 1) x (m + 1) table, filled row by row; a row needs only the one above it, so only
/// that one is kept.
SEARCHING_REFERENCE_OPTIMIZED inline quint64 distance(const QString &a, const QString &b)
{
    const qsizetype n = a.size();
    const qsizetype m = b.size();
    std::vector<quint64> rows(size_t(2 * (m + 1)));
    quint64 *up = rows.data();
    quint64 *d = up + m + 1;
    for (qsizetype j = 0; j <= m; ++j)
        up[j] = quint64(j); // d[0][j] = j
    const char16_t *x = reinterpret_cast<const char16_t *>(a.utf16());
    const char16_t *y = reinterpret_cast<const char16_t *>(b.utf16());
    for (qsizetype i = 1; i <= n; ++i) {
        d[0] = quint64(i); // d[i][0] = i
        for (qsizetype j = 1; j <= m; ++j) {
            quint64 best = up[j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1);
            if (up[j] + 1 < best)
                best = up[j] + 1;
            if (d[j - 1] + 1 < best)
                best = d[j - 1] + 1;
            d[j] = best;
        }
        quint64 *const filled = d;
        d = up;
        up = filled;
    }
    return up[m];
}

} // namespace SearchingReference

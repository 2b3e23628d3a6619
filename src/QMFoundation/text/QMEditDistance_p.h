#pragma once

// Internal: not installed. The Levenshtein distance behind QMSearching::distanceForString().

#include <QStringView>

namespace QMEditDistance {

/// The Levenshtein distance of `a` and `b` over UTF-16 code units: the last entry of the
/// (|a| + 1) x (|b| + 1) table d with d[i][0] = i, d[0][j] = j and d[i][j] the least of
/// d[i-1][j] + 1, d[i][j-1] + 1 and d[i-1][j-1] + (a[i-1] != b[j-1]); computed 64 rows of
/// that table at a time with bit vectors, in O(|a| |b| / 64) time and O(|a| + |b|) memory.
quint64 levenshtein(QStringView a, QStringView b);

} // namespace QMEditDistance

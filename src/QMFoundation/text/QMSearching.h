#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QAnyStringView>
#include <QString>

/// Filtering and ranking candidate texts against a typed query: substring tests, a fuzzy
/// "all characters in order" test, a similarity score and an edit distance.
///
/// In every function the first argument (the receiver) is the candidate that is searched and
/// the second is the query. Lengths, positions and gaps count UTF-16 code units, as QString
/// does. A null QString behaves as the empty text.
///
/// The query of the fuzzy test and of the score is walked by grapheme clusters
/// (QTextBoundaryFinder::Grapheme: a base character with its combining marks, or a surrogate
/// pair, is one step), and each step is searched in the candidate as a substring with
/// QString::indexOf(). The functions keep the grapheme split of the last query they saw on the
/// calling thread, so filtering or scoring many candidates against one query splits it once.
///
/// Texts are taken as QAnyStringView: a QString, a QStringView (a part of a larger text, say) or
/// a u"" literal is searched in place, without a copy, which matters when one query is run over
/// many candidates; UTF-8 and Latin-1 texts are converted first.
///
/// All functions are re-entrant and may run on any thread.
namespace QMSearching {

/// The search flags taken by the `options` parameters: a set of bits, combined with `|`.
///
/// Only CaseInsensitiveSearch is honoured; any other bit is accepted and ignored.
enum SearchOption : quint64 {
    /// Code unit for code unit (QString::indexOf with Qt::CaseSensitive).
    CaseSensitiveSearch = 0,
    /// Qt::CaseInsensitive: each code unit, or each surrogate pair, is compared after Unicode
    /// simple case folding. Mappings that change the length are not applied, so "ß" does not
    /// match "SS" and "İ" does not match "i".
    CaseInsensitiveSearch = 1,
};

/// True when `query` occurs in `candidate`, case-sensitively. The empty query occurs in
/// every candidate.
[[nodiscard]] QMF_CORE_EXPORT bool containsString(QAnyStringView candidate, QAnyStringView query);
/// containsString() ignoring case (CaseInsensitiveSearch).
[[nodiscard]] QMF_CORE_EXPORT bool containsStringSearchingInsensitive(QAnyStringView candidate,
                                                                      QAnyStringView query);
/// containsString() with the given search `options` (see SearchOption).
[[nodiscard]] QMF_CORE_EXPORT bool containsString(QAnyStringView candidate, QAnyStringView query,
                                                  quint64 options);

/// True when every grapheme of `query` is found in `candidate`, in order and ignoring case.
///
/// The first step is searched in the whole candidate and each further one from one code unit
/// after the start of the previous match (not after its end), so "aa" matches "xa" only if a
/// second "a" follows, while a multi-unit step may overlap the previous match. Once a match
/// sits on the last code unit, a further step fails. The empty query matches every
/// candidate, the empty one included.
[[nodiscard]] QMF_CORE_EXPORT bool fuzzyMatchesString(QAnyStringView candidate,
                                                      QAnyStringView query);

/// The Levenshtein distance between the two texts over UTF-16 code units: the fewest
/// insertions, deletions and substitutions of single code units that turn one into the
/// other (so a character outside the Basic Multilingual Plane counts as two).
[[nodiscard]] QMF_CORE_EXPORT quint64 distanceForString(QAnyStringView string,
                                                        QAnyStringView other);
/// distanceForString(), optionally ignoring case. With `ignoreCase` both texts are first
/// lower-cased with the full Unicode mapping (QString::toLower()), which may change their
/// lengths ("İ" becomes "i" and a combining dot); the distance is that of the converted texts.
[[nodiscard]] QMF_CORE_EXPORT quint64 distanceForString(QAnyStringView string, QAnyStringView other,
                                                        bool ignoreCase);
quint64 distanceForString(QAnyStringView, QAnyStringView, const char *) = delete;

/// similarityScoreForString() with maximum score 1000, penalty 200 and mismatches allowed.
[[nodiscard]] QMF_CORE_EXPORT double
similarityScoreForString(QAnyStringView candidate, QAnyStringView query, quint64 options);
/// similarityScoreForString() with maximum score 1000 and penalty 200.
[[nodiscard]] QMF_CORE_EXPORT double similarityScoreForString(QAnyStringView candidate,
                                                              QAnyStringView query, quint64 options,
                                                              bool allowsMismatch);
// A fourth integer argument would silently become `allowsMismatch`; the maximum score and the
// penalty come together, with the options after them.
double similarityScoreForString(QAnyStringView, QAnyStringView, quint64, int) = delete;
double similarityScoreForString(QAnyStringView, QAnyStringView, quint64, const char *) = delete;
/// similarityScoreForString() with mismatches allowed.
[[nodiscard]] QMF_CORE_EXPORT double similarityScoreForString(QAnyStringView candidate,
                                                              QAnyStringView query,
                                                              quint64 maximumScore, quint64 penalty,
                                                              quint64 options);

/// How well `candidate` answers `query`, from 0 (not at all) to `maximumScore`.
///
/// Each grapheme of the query is searched with `options`, the first in the whole candidate
/// and each further one from one code unit after the previous match. Every code unit skipped
/// before the first match and between consecutive matches costs 10 points; every step that
/// is not found costs `penalty` points (the next step then searches from the same place) or,
/// when `allowsMismatch` is false, makes the score 0. The candidate's length in code units is
/// subtracted last, so of two candidates with the same matches the shorter ranks higher:
///
///     score = max(0, min(maximumScore, max(0, maximumScore - gaps - mismatches) - length))
///
/// The score is 0 when the query is longer than the candidate (in code units), when no step
/// is found and for the empty query. Examples with the defaults (1000, 200): "abc" for "abc"
/// scores 997, "abc" for "ac" 987, "xabc" for "abc" 986, "abc" for "ax" 797.
[[nodiscard]] QMF_CORE_EXPORT double similarityScoreForString(QAnyStringView candidate,
                                                              QAnyStringView query,
                                                              quint64 maximumScore, quint64 penalty,
                                                              quint64 options, bool allowsMismatch);
double similarityScoreForString(QAnyStringView, QAnyStringView, quint64, quint64, quint64,
                                const char *)
        = delete;

} // namespace QMSearching

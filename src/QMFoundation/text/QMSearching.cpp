#include "QMSearching.h"

#include "QMEditDistance_p.h"
#include "QMUtf16Text_p.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr quint64 defaultMaximumScore = 1000;
constexpr quint64 defaultPenalty = 200;
// What each skipped code unit before or between matches costs; fixed by the score's
// definition, not a tuning knob.
constexpr quint64 gapCost = 10;

Qt::CaseSensitivity caseSensitivity(quint64 options)
{
    return (options & QMSearching::CaseInsensitiveSearch) ? Qt::CaseInsensitive : Qt::CaseSensitive;
}

// QChar::toCaseFolded() of every code unit, looked up instead of called (the fuzzy filter folds
// each candidate unit it passes, and a table read is several times cheaper than the call into
// QtCore), and for each folded unit the other units that fold to it, so that a scan can look
// for all of them at once. Surrogates fold to themselves here; steps containing them never use
// the table (see findStep()).
struct FoldTables
{
    std::array<char16_t, 0x10000> fold;
    // (folded unit, unit) for every unit that folds to another one, sorted.
    std::vector<std::pair<char16_t, char16_t>> foldedFrom;
};

const FoldTables &foldTables()
{
    static const auto tables = [] {
        auto made = std::make_unique<FoldTables>();
        for (char32_t unit = 0; unit < 0x10000; ++unit) {
            const char32_t fold = QChar::toCaseFolded(unit);
            // Simple case folding keeps every code point of the Basic Multilingual Plane in
            // it; should a future table not, the unit keeps itself and the differential tests
            // against QString::indexOf() say so.
            made->fold[unit] = fold < 0x10000 ? char16_t(fold) : char16_t(unit);
            if (made->fold[unit] != unit)
                made->foldedFrom.emplace_back(made->fold[unit], char16_t(unit));
        }
        std::sort(made->foldedFrom.begin(), made->foldedFrom.end());
        return made;
    }();
    return *tables;
}

// The code units that fold to one folded unit: two for most letters ("a", "A"), up to four
// (ι, Ι, U+0345, U+1FBE). `count` 0 stands for more than fit, which no table has so far.
struct FoldClass
{
    std::array<char16_t, 4> units {};
    int count = 0;
};

FoldClass foldClass(char16_t folded)
{
    const FoldTables &tables = foldTables();
    FoldClass result;
    const auto add = [&result](char16_t unit) {
        if (result.count >= 0 && result.count < int(result.units.size()))
            result.units[size_t(result.count++)] = unit;
        else
            result.count = -1;
    };
    if (tables.fold[folded] == folded)
        add(folded);
    for (auto it = std::lower_bound(tables.foldedFrom.begin(), tables.foldedFrom.end(),
                                    std::pair<char16_t, char16_t>(folded, 0));
         it != tables.foldedFrom.end() && it->first == folded; ++it)
        add(it->second);
    result.count = std::max(result.count, 0);
    return result;
}

struct Step
{
    qsizetype begin;
    qsizetype length;
    bool hasSurrogate;
    FoldClass first; // the units that fold to the step's first folded unit
};

// A query split into its grapheme clusters, with its code units case-folded once.
struct PreparedQuery
{
    QString query;
    std::vector<Step> steps;
    std::vector<char16_t> folded;
};

void prepare(PreparedQuery &prepared, QStringView query)
{
    // A text of its own: the view's buffer belongs to the caller, who may change or free it once
    // the call returns.
    prepared.query = query.toString();
    prepared.steps.clear();
    prepared.folded.clear();
    if (query.isEmpty())
        return;
    const FoldTables &tables = foldTables();
    prepared.folded.reserve(size_t(query.size()));
    for (const QChar c : query)
        prepared.folded.push_back(tables.fold[c.unicode()]);

    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, prepared.query);
    qsizetype begin = 0;
    for (qsizetype end = finder.toNextBoundary(); end > begin; end = finder.toNextBoundary()) {
        bool hasSurrogate = false;
        for (qsizetype i = begin; i < end; ++i)
            hasSurrogate = hasSurrogate || query.at(i).isSurrogate();
        prepared.steps.push_back({begin, end - begin, hasSurrogate,
                                  hasSurrogate ? FoldClass() : foldClass(prepared.folded[begin])});
        begin = end;
    }
}

// The last query seen on this thread: ranking runs one query over many candidates, and
// splitting it into graphemes costs more than matching one candidate.
const PreparedQuery &preparedQuery(QStringView query)
{
    thread_local PreparedQuery cached;
    thread_local bool valid = false;
    if (!valid || cached.query != query) {
        prepare(cached, query);
        valid = true;
    }
    return cached;
}

// The first position from `from` up to `end` whose code unit is one of `first`, or `end`.
Q_ALWAYS_INLINE qsizetype findUnit(const char16_t *units, qsizetype from, qsizetype end,
                                   const FoldClass &first, const FoldTables &tables,
                                   char16_t folded)
{
    qsizetype i = from;
#if defined(__SSE2__)
    if (first.count > 0) {
        // Eight code units per comparison; a class of fewer than four repeats its first unit.
        __m128i wanted[4];
        for (int k = 0; k < 4; ++k)
            wanted[k] = _mm_set1_epi16(short(first.units[size_t(k < first.count ? k : 0)]));
        for (; i + 8 <= end; i += 8) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + i));
            const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(block, wanted[0]),
                                                           _mm_cmpeq_epi16(block, wanted[1])),
                                              _mm_or_si128(_mm_cmpeq_epi16(block, wanted[2]),
                                                           _mm_cmpeq_epi16(block, wanted[3])));
            if (const int mask = _mm_movemask_epi8(hits))
                return i + qsizetype(std::countr_zero(unsigned(mask))) / 2;
        }
    }
#else
    Q_UNUSED(first);
#endif
    for (; i < end; ++i) {
        if (tables.fold[units[i]] == folded)
            return i;
    }
    return end;
}

// The position of `step` in `candidate` at or after `from`, or -1: exactly what
// QString::indexOf(step, from, caseSensitivity(options)) answers.
//
// Case-sensitive searches go to Qt as they are. Case-insensitive ones compare the folded code
// units of the step with the folded units of the candidate; for a step without surrogates
// that is Qt's comparison too: Qt folds a surrogate pair as one code point, which never
// equals a folded unit of the Basic Multilingual Plane, and a lone surrogate folds to itself,
// so a window holding a surrogate can no more match there than here. Steps with surrogates
// (characters beyond the Basic Multilingual Plane, or broken pairs) are left to Qt, whose
// pairing of surrogates at the window's edges this does not try to reproduce.
Q_ALWAYS_INLINE qsizetype findStep(QStringView candidate, const PreparedQuery &prepared,
                                   const FoldTables &tables, const Step &step, qsizetype from,
                                   quint64 options)
{
    const Qt::CaseSensitivity cs = caseSensitivity(options);
    if (cs == Qt::CaseSensitive || step.hasSurrogate)
        return candidate.indexOf(QStringView(prepared.query).mid(step.begin, step.length), from,
                                 cs);

    const char16_t *units = candidate.utf16();
    const char16_t *needle = prepared.folded.data() + step.begin;
    const qsizetype end = candidate.size() - step.length + 1; // past the last possible start
    for (qsizetype i = from; i < end; ++i) {
        i = findUnit(units, i, end, step.first, tables, needle[0]);
        if (i == end)
            break;
        qsizetype k = 1;
        while (k < step.length && tables.fold[units[i + k]] == needle[k])
            ++k;
        if (k == step.length)
            return i;
    }
    return -1;
}

bool fuzzyMatches(QStringView candidate, const PreparedQuery &prepared)
{
    qsizetype previous = -1;
    const FoldTables &tables = foldTables();
    for (const Step &step : prepared.steps) {
        if (previous >= 0 && previous + 1 >= candidate.size())
            return false;
        previous = findStep(candidate, prepared, tables, step, previous + 1,
                            QMSearching::CaseInsensitiveSearch);
        if (previous < 0)
            return false;
    }
    return true;
}

double similarityScore(QStringView candidate, const PreparedQuery &prepared, quint64 maximumScore,
                       quint64 penalty, quint64 options, bool allowsMismatch)
{
    if (prepared.query.size() > candidate.size())
        return 0;
    qsizetype previous = -1; // the whole candidate is searched before the first match
    quint64 gaps = 0;
    double mismatches = 0;
    bool found = false;
    const FoldTables &tables = foldTables();
    for (const Step &step : prepared.steps) {
        const qsizetype position
                = findStep(candidate, prepared, tables, step, previous + 1, options);
        if (position < 0) {
            if (!allowsMismatch)
                return 0;
            mismatches += double(penalty);
            continue;
        }
        // With no previous match this is the position itself.
        gaps += gapCost * quint64(position - previous - 1);
        previous = position;
        found = true;
    }
    const double raw = found ? double(maximumScore) - double(gaps) - mismatches : 0.0;
    return std::max(0.0,
                    std::min(double(maximumScore), std::max(raw, 0.0) - double(candidate.size())));
}

} // namespace

namespace QMSearching {

bool containsString(QAnyStringView candidate, QAnyStringView query)
{
    return containsString(candidate, query, CaseSensitiveSearch);
}

bool containsStringSearchingInsensitive(QAnyStringView candidate, QAnyStringView query)
{
    return containsString(candidate, query, CaseInsensitiveSearch);
}

bool containsString(QAnyStringView candidate, QAnyStringView query, quint64 options)
{
    // An empty query is found in every candidate, a null or empty one included.
    return QMUtf16Text(candidate).view().contains(QMUtf16Text(query).view(),
                                                  caseSensitivity(options));
}

bool fuzzyMatchesString(QAnyStringView candidate, QAnyStringView query)
{
    return fuzzyMatches(QMUtf16Text(candidate).view(), preparedQuery(QMUtf16Text(query).view()));
}

quint64 distanceForString(QAnyStringView string, QAnyStringView other)
{
    return QMEditDistance::levenshtein(QMUtf16Text(string).view(), QMUtf16Text(other).view());
}

quint64 distanceForString(QAnyStringView string, QAnyStringView other, bool ignoreCase)
{
    if (!ignoreCase)
        return distanceForString(string, other);
    // Lowered from const copies: Qt's in-place lowering of a temporary treats a lone surrogate
    // differently from the copying path, and the distance is defined by the copying one.
    const QString stringCopy = QMUtf16Text(string).view().toString();
    const QString otherCopy = QMUtf16Text(other).view().toString();
    return QMEditDistance::levenshtein(stringCopy.toLower(), otherCopy.toLower());
}

double similarityScoreForString(QAnyStringView candidate, QAnyStringView query, quint64 options)
{
    return similarityScoreForString(candidate, query, defaultMaximumScore, defaultPenalty, options,
                                    true);
}

double similarityScoreForString(QAnyStringView candidate, QAnyStringView query, quint64 options,
                                bool allowsMismatch)
{
    return similarityScoreForString(candidate, query, defaultMaximumScore, defaultPenalty, options,
                                    allowsMismatch);
}

double similarityScoreForString(QAnyStringView candidate, QAnyStringView query,
                                quint64 maximumScore, quint64 penalty, quint64 options)
{
    return similarityScoreForString(candidate, query, maximumScore, penalty, options, true);
}

double similarityScoreForString(QAnyStringView candidate, QAnyStringView query,
                                quint64 maximumScore, quint64 penalty, quint64 options,
                                bool allowsMismatch)
{
    return similarityScore(QMUtf16Text(candidate).view(), preparedQuery(QMUtf16Text(query).view()),
                           maximumScore, penalty, options, allowsMismatch);
}

} // namespace QMSearching

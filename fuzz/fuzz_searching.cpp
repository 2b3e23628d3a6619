// Feeds arbitrary text, including broken surrogate pairs, to the fuzzy test, the similarity
// score and the edit distance, and checks what must hold for any candidate and query:
//  - the fuzzy test and the score equal their step-by-step definition (the library's fast
//    paths never change an answer), and the score lies within [0, maximum];
//  - a query found whole (case-insensitively, in texts without surrogates) also fuzzy-matches;
//  - the distance is symmetric, at least the difference of the lengths, at most the longer
//    length, 0 exactly for equal texts, equal to the full table, and ignoring case it is the
//    distance of the lower-cased texts.
//
// Layout: byte 0 holds the options (bits 0-1), whether mismatches are allowed (bit 2) and how
// the rest is read (bit 7: UTF-8 "query\ncandidate", else raw UTF-16 code units split where
// byte 2 says); byte 1 picks the maximum score and the penalty.

#include <QMFoundation/text/QMSearching.h>

#include "SearchingReference.h"

#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool hasSurrogate(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSurrogate(); });
}

void checkDistance(const QString &a, const QString &b)
{
    using QMSearching::distanceForString;
    const quint64 distance = distanceForString(a, b);
    const quint64 longer = quint64(std::max(a.size(), b.size()));
    const quint64 shorter = quint64(std::min(a.size(), b.size()));
    require(distanceForString(b, a) == distance);
    require(distance <= longer && distance >= longer - shorter);
    require((distance == 0) == (a == b));
    if (a.size() * b.size() <= 250000)
        require(distance == SearchingReference::distance(a, b));
    require(distanceForString(a, b, true) == distanceForString(a.toLower(), b.toLower()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const quint64 options = data[0] & 3;
    const bool allowsMismatch = data[0] & 4;
    const quint64 maxima[] = {1000, 0, 1, 10, 1000, 5000, quint64(1) << 53, ~quint64(0)};
    const quint64 penalties[] = {200, 0, 1, 10, 200, 999, quint64(1) << 60, ~quint64(0)};
    const quint64 maximumScore = maxima[data[1] & 7];
    const quint64 penalty = penalties[(data[1] >> 3) & 7];

    QString query;
    QString candidate;
    if (data[0] & 0x80) {
        const QString text
                = QString::fromUtf8(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3));
        const qsizetype newline = text.indexOf(QLatin1Char('\n'));
        query = newline < 0 ? text : text.left(newline);
        candidate = newline < 0 ? QString() : text.mid(newline + 1);
    } else {
        // Raw code units keep lone surrogates that UTF-8 decoding would replace.
        QString units(qsizetype((size - 3) / 2), Qt::Uninitialized);
        if (!units.isEmpty())
            std::memcpy(units.data(), data + 3, size_t(units.size()) * sizeof(char16_t));
        const qsizetype split = qsizetype(data[2]) % (units.size() + 1);
        query = units.left(split);
        candidate = units.mid(split);
    }

    const bool fuzzy = QMSearching::fuzzyMatchesString(candidate, query);
    require(fuzzy == SearchingReference::fuzzyMatches(candidate, query));
    if (!hasSurrogate(candidate) && !hasSurrogate(query)
        && QMSearching::containsStringSearchingInsensitive(candidate, query))
        require(fuzzy);

    const double score = QMSearching::similarityScoreForString(candidate, query, maximumScore,
                                                               penalty, options, allowsMismatch);
    require(score >= 0 && score <= double(maximumScore));
    require(score
            == SearchingReference::similarityScore(candidate, query, maximumScore, penalty, options,
                                                   allowsMismatch));

    checkDistance(candidate, query);
    return 0;
}

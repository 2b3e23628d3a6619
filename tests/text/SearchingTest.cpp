#include <QMFoundation/text/QMSearching.h>

#include "SearchingReference.h"
#include "TextTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <thread>

using namespace Qt::StringLiterals;
using namespace QMSearching;

namespace {

// A fourth integer argument must not compile into `allowsMismatch`, nor a string literal into
// any of the boolean parameters.
template<typename T>
concept ScoresWith = requires(const QString &s, T t)
{
    similarityScoreForString(s, s, 1u, t);
};
template<typename T>
concept DistanceWith = requires(const QString &s, T t)
{
    distanceForString(s, s, t);
};
static_assert(
        ScoresWith<bool> && !ScoresWith<int> && !ScoresWith<quint64> && !ScoresWith<const char *>);
static_assert(DistanceWith<bool> && !DistanceWith<const char *>);

const QString deseretCapital = u"\U00010400"_s; // its lower case is U+10428
const QString deseretSmall = u"\U00010428"_s;

std::string pair(const QString &a, const QString &b)
{
    return a.toStdString() + " / " + b.toStdString();
}

} // namespace

TEST(SearchingTest, ContainsStringWithOptions)
{
    const struct
    {
        QString candidate;
        QString query;
        quint64 options;
        bool expected;
    } cases[] = {
            // The empty query occurs everywhere, also in the null text.
            {u"abc"_s, u""_s, CaseSensitiveSearch, true},
            {QString(), QString(), CaseSensitiveSearch, true},
            {QString(), u"a"_s, CaseInsensitiveSearch, false},
            {u"OptionParser"_s, u"parser"_s, CaseSensitiveSearch, false},
            {u"OptionParser"_s, u"parser"_s, CaseInsensitiveSearch, true},
            // Bits other than case-insensitivity are ignored.
            {u"OptionParser"_s, u"parser"_s, 2, false},
            {u"OptionParser"_s, u"parser"_s, 3, true},
            // Simple case folding, code unit by code unit or pair by pair.
            {u"\u212a"_s, u"k"_s, CaseInsensitiveSearch, true}, // Kelvin sign
            {u"Stra\u00dfe"_s, u"STRASSE"_s, CaseInsensitiveSearch, false},
            {u"\u1e9e"_s, u"\u00df"_s, CaseInsensitiveSearch, true},
            {u"\u0130"_s, u"i"_s, CaseInsensitiveSearch, false},
            {u"x"_s + deseretCapital, deseretSmall, CaseInsensitiveSearch, true},
            // No canonical equivalence: a precomposed letter is not its decomposition.
            {u"e\u0301"_s, u"\u00e9"_s, CaseInsensitiveSearch, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(pair(c.candidate, c.query) + " / " + std::to_string(c.options));
        EXPECT_EQ(containsString(c.candidate, c.query, c.options), c.expected);
        if (c.options == CaseSensitiveSearch) {
            EXPECT_EQ(containsString(c.candidate, c.query), c.expected);
        }
        if (c.options == CaseInsensitiveSearch) {
            EXPECT_EQ(containsStringSearchingInsensitive(c.candidate, c.query), c.expected);
        }
    }
}

TEST(SearchingTest, FuzzyMatchesFindsEveryGraphemeInOrder)
{
    const std::tuple<QString, QString, bool> cases[] = {
            {u"OptionParser"_s, u"opr"_s, true},
            {u"OptionParser"_s, u"rpo"_s, false},
            // The empty query matches everything; nothing else matches the empty candidate.
            {u""_s, u""_s, true},
            {u""_s, u"a"_s, false},
            // Each step starts one code unit after the previous match.
            {u"xa"_s, u"aa"_s, false},
            // A match on the last code unit ends the walk, whatever comes next.
            {u"ab"_s, u"bb"_s, false},
            // A grapheme is one step: the mark must follow its base in the candidate.
            {u"ab\u0301"_s, u"a\u0301"_s, false},
            // Steps search one unit after the start of the previous match, not after its end,
            // so a later step may find the second half of an earlier one.
            {u"\U0001F600"_s, u"\U0001F600"_s + QChar(0xDE00), true},
            // Case is always ignored, by simple folding.
            {u"path/to/" + deseretCapital, u"p" + deseretSmall, true},
            {u"Stra\u00dfe"_s, u"ss"_s, false},
    };
    for (const auto &[candidate, query, expected] : cases)
        EXPECT_EQ(fuzzyMatchesString(candidate, query), expected) << pair(candidate, query);
}

TEST(SearchingTest, SimilarityScoreRewardsCloseEarlyMatchesInShortCandidates)
{
    const quint64 ci = CaseInsensitiveSearch;
    const struct
    {
        QString candidate;
        QString query;
        quint64 maximumScore;
        quint64 penalty;
        quint64 options;
        bool allowsMismatch;
        double expected;
    } cases[] = {
            // Defaults: maximum 1000, penalty 200.
            {u"abc"_s, u"abc"_s, 1000, 200, 0, true, 997},
            {u"xabc"_s, u"abc"_s, 1000, 200, 0, true, 986},
            {u"abc"_s, u"ax"_s, 1000, 200, 0, true, 797},
            {u"abc"_s, u"ax"_s, 1000, 200, 0, false, 0},
            {u"abc"_s, u"x"_s, 1000, 200, 0, true, 0},
            {u"abc"_s, u""_s, 1000, 200, 0, true, 0},
            {u"ab"_s, u"abc"_s, 1000, 200, 0, true, 0},
            // A mismatch first: the first found step still pays for its position.
            {u"abc"_s, u"xbc"_s, 1000, 200, 0, true, 787},
            // After a mismatch the next step searches from the same place.
            {u"axb"_s, u"azb"_s, 1000, 200, 0, true, 787},
            // Gaps between matches, and a step past the end is a mismatch.
            {u"abcabc"_s, u"cb"_s, 1000, 200, 0, true, 964},
            {u"abc"_s, u"ca"_s, 1000, 200, 0, true, 777},
            // Case only matters without the case-insensitive option.
            {u"ABC"_s, u"abc"_s, 1000, 200, 0, true, 0},
            {u"ABC"_s, u"abc"_s, 1000, 200, ci, true, 997},
            {u"Stra\u00dfe"_s, u"SS"_s, 1000, 200, ci, true, 794},
            // Lengths count code units: a character beyond the Basic Multilingual Plane is two.
            {u"a"_s + deseretCapital, deseretSmall, 1000, 200, ci, true, 987},
            // Other maxima and penalties; the score never goes below 0.
            {u"ab"_s, u"xb"_s, 100, 30, 0, true, 58},
            {u"xxxxxxa"_s, u"a"_s, 50, 200, 0, true, 0},
            {u"abcd"_s, u"xd"_s, 1000, ~quint64(0), 0, true, 0},
            {u"abc"_s, u"abc"_s, ~quint64(0), 0, 0, true, double(~quint64(0)) - 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(pair(c.candidate, c.query) + " / " + std::to_string(c.maximumScore) + " "
                     + std::to_string(c.penalty) + " " + std::to_string(c.options) + " "
                     + std::to_string(c.allowsMismatch));
        const auto score = [&](auto... arguments) {
            return similarityScoreForString(c.candidate, c.query, arguments...);
        };
        EXPECT_EQ(score(c.maximumScore, c.penalty, c.options, c.allowsMismatch), c.expected);
        const bool defaults = c.maximumScore == 1000 && c.penalty == 200;
        if (defaults) {
            EXPECT_EQ(score(c.options, c.allowsMismatch), c.expected);
        }
        if (c.allowsMismatch) {
            EXPECT_EQ(score(c.maximumScore, c.penalty, c.options), c.expected);
        }
        if (c.allowsMismatch && defaults) {
            EXPECT_EQ(score(c.options), c.expected);
        }
    }
}

namespace {

// Random texts: mostly plain letters of both cases, so that queries find something, and now
// and then one of the corners of case-insensitive search: combining marks, folds between
// different code units, mappings that change the length (which simple folding leaves alone),
// characters beyond the Basic Multilingual Plane and broken surrogate pairs.
QString randomText(std::mt19937_64 &random, int maximumPieces)
{
    static const QStringList pieces
            = u"a b c A B C s S k K i I / . _ 1 \u00e9 \u00c9 e\u0301 \u0301 \u0308 \u00df "
              u"\u1e9e \u0130 \u0131 \u212a \u017f \u03c2 \u03c3 \u03a3 \u13a0 \uab70 \uffff "
              u"\U00010400 \U00010428 \U0001F600"_s.split(u' ')
            + QStringList {QString(QChar(0xD801)), QString(QChar(0xDC00)), QString(QChar(0xDC28)),
                           QString(QChar(0xD83D)), u"a\u0301\u0302\u0303\u0304\u0305\u0306"_s};
    QString text;
    const int count = std::uniform_int_distribution<int>(0, maximumPieces)(random);
    for (int i = 0; i < count; ++i)
        text += pieces.at(qsizetype(random() % (random() % 4 == 0 ? pieces.size() : 12)));
    return text;
}

// A random text of at least `length` code units.
QString randomText(std::mt19937_64 &random, int maximumPieces, qsizetype length)
{
    QString text;
    while (text.size() < length)
        text += randomText(random, maximumPieces);
    return text;
}

// A query made of some of the candidate's pieces, in order, their case sometimes changed and
// now and then a piece that is not there.
QString queryFrom(std::mt19937_64 &random, const QString &candidate)
{
    QString query;
    qsizetype position = 0;
    const int steps = int(random() % 6);
    for (int i = 0; i < steps; ++i) {
        position += qsizetype(random() % 4);
        if (position >= candidate.size())
            break;
        const QString piece = candidate.mid(position++, qsizetype(1 + random() % 2));
        const auto change = random() % 5;
        query += change == 0  ? piece.toUpper()
                : change == 1 ? piece.toLower()
                : change == 2 ? randomText(random, 1)
                              : piece;
    }
    return query;
}

// Up to seven single code unit insertions, removals and replacements of `text`.
QString edited(std::mt19937_64 &random, QString text)
{
    const QString source = text + u"z"_s;
    for (int edits = int(random() % 8); edits > 0; --edits) {
        const QChar unit = source.at(qsizetype(random() % source.size()));
        const qsizetype at = text.isEmpty() ? 0 : qsizetype(random() % text.size());
        const auto kind = random() % 3;
        if (kind == 0)
            text.insert(at, unit);
        else if (kind == 1)
            text.remove(at, 1);
        else if (!text.isEmpty())
            text[at] = unit;
    }
    return text;
}

} // namespace

// The fast paths (folding through a table, the query split once per thread) must give what
// the definition gives, step by step with QString::indexOf(), on every kind of text.
TEST(SearchingTest, MatchesAndScoresAgreeWithTheDefinition)
{
    std::mt19937_64 random(7103);
    const quint64 maxima[] = {1000, 1000, 100, 0, 5000};
    const quint64 penalties[] = {200, 200, 7, 0, 100000};
    int matched = 0;
    int scored = 0;
    for (int round = 0; round < 15000; ++round) {
        // Long candidates with long graphemes take other roads through QString::indexOf().
        const QString candidate
                = round % 100 == 0 ? randomText(random, 24, 600) : randomText(random, 24);
        // One query against several candidates and several queries against one candidate, so
        // that the kept split of the last query is both reused and replaced.
        const QString queries[] = {queryFrom(random, candidate), queryFrom(random, candidate),
                                   randomText(random, 3)};
        for (const QString &query : queries) {
            for (const QString &text : {candidate, candidate.mid(1)}) {
                const size_t form = random() % std::size(maxima);
                const quint64 options = random() % 4;
                const bool allowsMismatch = random() % 3 != 0;
                // Described only on failure: building it for every pair costs more than the
                // checks.
                const auto failed = [&] {
                    return pair(text, query) + " / form " + std::to_string(form) + " options "
                            + std::to_string(options) + " " + std::to_string(allowsMismatch);
                };
                const bool fuzzy = fuzzyMatchesString(text, query);
                ASSERT_EQ(fuzzy, SearchingReference::fuzzyMatches(text, query)) << failed();
                const double score = similarityScoreForString(
                        text, query, maxima[form], penalties[form], options, allowsMismatch);
                ASSERT_EQ(score,
                          SearchingReference::similarityScore(text, query, maxima[form],
                                                              penalties[form], options,
                                                              allowsMismatch))
                        << failed();
                matched += fuzzy ? 1 : 0;
                scored += score > 0 ? 1 : 0;
            }
        }
    }
    // The random texts must exercise both answers.
    EXPECT_GT(matched, 20000);
    EXPECT_GT(scored, 20000);
}

// Filtering runs the same query from many threads at once; each keeps its own split.
TEST(SearchingTest, ThreadsKeepTheirOwnQuery)
{
    const auto work = [](const QString &query, bool expected, int *failures) {
        const QString candidate = u"src/QMFoundation/text/QMSearching.cpp"_s;
        for (int i = 0; i < 2000; ++i) {
            *failures += fuzzyMatchesString(candidate, query) != expected;
            *failures += (similarityScoreForString(candidate, query, 1) > 0) != expected;
        }
    };
    int failures[2] = {0, 0};
    std::thread first(work, u"qms"_s, true, &failures[0]);
    std::thread second(work, u"zzz"_s, false, &failures[1]);
    first.join();
    second.join();
    EXPECT_EQ(failures[0] + failures[1], 0);
}

// The split of the last query outlives the call; it must not rely on the caller's buffer.
TEST(SearchingTest, KeptQueryDoesNotShareTheCallersBuffer)
{
    char16_t buffer[] = u"abc";
    const auto query = [&buffer] {
        return QString::fromRawData(reinterpret_cast<const QChar *>(buffer), 3);
    };
    EXPECT_TRUE(fuzzyMatchesString(u"xabc"_s, query()));
    std::fill(std::begin(buffer), std::end(buffer) - 1, u'z');
    EXPECT_FALSE(fuzzyMatchesString(u"xabc"_s, query()));
    EXPECT_EQ(similarityScoreForString(u"xzzz"_s, query(), CaseSensitiveSearch), 986);
}

TEST(SearchingTest, DistanceCountsCodeUnitEdits)
{
    const std::tuple<QString, QString, bool, quint64> cases[] = {
            {u"flaw"_s, u"lawn"_s, false, 2},
            {u"ABC"_s, u"abd"_s, true, 1},
            {u"ABC"_s, u"abd"_s, false, 3},
            {QString(), u""_s, false, 0},
            {u""_s, u"abc"_s, false, 3},
            // Characters beyond the Basic Multilingual Plane are two code units.
            {deseretCapital, deseretSmall, false, 1},
            {deseretCapital, deseretSmall, true, 0},
            // Full lower-casing may change the length: "İ" becomes "i" and a combining dot.
            {u"\u0130"_s, u"i"_s, true, 1},
            // Longer than one 64-unit strip, and the prefix and suffix shared.
            {QString(100, u'a'), QString(99, u'a'), false, 1},
            {QString(70, u'x') + u"a" + QString(70, u'y'),
             QString(70, u'x') + u"b" + QString(70, u'y'), false, 1},
            {QString(200, u'a'), u"b"_s, false, 200},
    };
    for (const auto &[a, b, ignoreCase, expected] : cases) {
        SCOPED_TRACE(pair(a, b) + (ignoreCase ? " ignoring case" : ""));
        EXPECT_EQ(distanceForString(a, b, ignoreCase), expected);
        EXPECT_EQ(distanceForString(b, a, ignoreCase), expected);
        if (!ignoreCase) {
            EXPECT_EQ(distanceForString(a, b), expected);
        }
    }
}

// The bit-parallel distance against the table that defines it. Most pairs are short (one block
// and its edge at 64 code units), some reach five blocks, a few span two bands of up to eight
// blocks (512 code units each); half are edits of each other.
TEST(SearchingTest, DistanceAgreesWithTheFullTable)
{
    std::mt19937_64 random(90210);
    for (int round = 0; round < 100000; ++round) {
        const qsizetype limit = round % 2000 == 0 ? 1100 : round % 50 == 0 ? 300 : 70;
        const auto units = [&] {
            const auto length = qsizetype(random() % (limit + 1));
            return randomText(random, 8, length).left(length);
        };
        const QString a = units();
        const QString b = random() % 2 ? edited(random, a) : units();
        const quint64 distance = distanceForString(a, b);
        ASSERT_EQ(distance, SearchingReference::distance(a, b)) << pair(a, b);
        ASSERT_EQ(distanceForString(b, a), distance) << pair(a, b);
        if (round % 4 == 1) {
            ASSERT_EQ(distanceForString(a, b, true),
                      SearchingReference::distance(a.toLower(), b.toLower()))
                    << pair(a, b);
        }
    }
}

// Candidates and queries arrive as any kind of string; a view of a larger text is searched in
// its bounds only, and UTF-8 text as the characters it encodes.
TEST(SearchingTest, TakesAnyKindOfText)
{
    const QString row = u"OptionParser.cpp:12"_s;
    const QStringView name = QStringView(row).first(12); // "OptionParser"
    EXPECT_TRUE(fuzzyMatchesString(name, u"opp"));
    EXPECT_FALSE(fuzzyMatchesString(name, "cpp")); // only after the view's end
    EXPECT_TRUE(containsString(name, "Parser"));
    EXPECT_FALSE(containsString(name, ".cpp"));
    EXPECT_EQ(similarityScoreForString(name, "opp", CaseInsensitiveSearch),
              similarityScoreForString(u"OptionParser"_s, u"opp"_s, CaseInsensitiveSearch));
    EXPECT_EQ(distanceForString("Straße", u"Strasse"), 2u);
    EXPECT_EQ(distanceForString(QLatin1StringView("abc"), name.first(3)), 3u);
}

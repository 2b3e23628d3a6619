#include "SearchCommands.h"
#include "QmfTestSupport.h"

#include "text/TextTestSupport.h"
#include <QMFoundation/text/QMSearching.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace Qt::StringLiterals;

using namespace QmfTestSupport;

// fuzzy prints matching lines best first, distance the edit distance of its two texts; usage
// errors end with status 2.
TEST(QmfSearchCommandsTest, PrintTheirResults)
{
    const QByteArray paths = "xabc\nabc\r\nABC\nacb\nab\n";
    const QByteArray cases = "aBc\nABC\nabc\n";
    const QString parserWords; // null: the option parser's message
    expectRuns({
            // Ties keep their input order; "acb" and "ab" do not have a, b, c in order.
            {words("fuzzy abc --scores"), paths, 0, "997\tabc\n997\tABC\n986\txabc\n"},
            {words("fuzzy abc"), paths, 0, "abc\nABC\nxabc\n"},
            {words("fuzzy --limit 2 --scores abc"), paths, 0, "997\tabc\n997\tABC\n"},
            {words("fuzzy abc --limit 0"), paths, 0, ""},
            {words("fuzzy abc --limit 99999999999999999999999"), paths, 0, "abc\nABC\nxabc\n"},
            // The filter ignores case; the score follows --case-sensitive and --no-mismatch.
            {words("fuzzy abc --scores --case-sensitive"), cases, 0,
             "997\tabc\n787\taBc\n0\tABC\n"},
            {words("fuzzy abc --scores --case-sensitive --no-mismatch"), cases, 0,
             "997\tabc\n0\taBc\n0\tABC\n"},
            // Lines: the piece after the last "\n" only counts when it is not empty, and only
            // one final "\r" is removed.
            {QStringList {u"fuzzy"_s, u""_s, u"--scores"_s}, "\n\nabc", 0, "0\t\n0\t\n0\tabc\n"},
            {QStringList {u"fuzzy"_s, u""_s}, "abc\n\n", 0, "abc\n\n"},
            {QStringList {u"fuzzy"_s, u""_s}, "", 0, ""},
            {words("fuzzy b --scores"), "ab\r\r\n", 0, "987\tab\r\n"},
            // A query that begins with "-" comes after "--".
            {words("fuzzy --scores -- -v"), "a-v\n-x\n", 0, "987\ta-v\n"},
            // UTF-8 in and out; a character beyond the Basic Multilingual Plane is two units.
            {words("fuzzy \xf0\x90\x90\xa8 --scores"), "\xf0\x90\x90\x80x\n", 0,
             "997\t\xf0\x90\x90\x80x\n"},
            // A line that is not UTF-8 is matched with U+FFFD for its bad bytes, and printed
            // with its bytes as they came.
            {words("fuzzy ab"), "a\xff\xfe b\r\nab\x80\n\xc3(\n", 0, "ab\x80\na\xff\xfe b\n"},
            {words("distance ABC abd"), {}, 0, "3\n"},
            {words("distance ABC abd --ignore-case"), {}, 0, "1\n"},
            failing(words("fuzzy"), 2, u"qmf: fuzzy takes a QUERY and at most one FILE\n"_s, "a\n"),
            failing(words("fuzzy a --limit x"), 2,
                    u"qmf: --limit needs a non-negative integer, not \"x\"\n"_s, "a\n"),
            failing(words("fuzzy a --limit 1e3"), 2,
                    u"qmf: --limit needs a non-negative integer, not \"1e3\"\n"_s, "a\n"),
            failing(words("fuzzy a --limit -1"), 2, QString(), "a\n"),
            failing(words("distance a"), 2, u"qmf: distance takes two texts, A and B\n"_s),
            failing(words("distance a b --scores"), 2),
    });
}

TEST(QmfFuzzyTest, ReadsAFileAfterTheQuery)
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, u"paths.txt"_s, "src/check.cpp\nchecks/x\nREADME\n");
    // qmf's parser takes a word that names one of its commands for that command, so such a
    // query comes after "--", like one that begins with "-".
    const Outcome outcome = runQmf({u"fuzzy"_s, u"--scores"_s, u"--"_s, u"check"_s, path});
    EXPECT_EQ(outcome.status, 0) << outcome.err.toStdString();
    EXPECT_EQ(outcome.out, u"992\tchecks/x\n947\tsrc/check.cpp\n"_s);

    const Outcome missing = runQmf({u"fuzzy"_s, u"x"_s, dir.filePath(u"none.txt"_s)});
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(missing.err.startsWith(u"qmf: "_s + dir.filePath(u"none.txt"_s) + u": "_s))
            << missing.err.toStdString();
}

// --limit N keeps only the best N while ranking: the result must be the first N of the full
// ranking, ties in input order included, for any N.
TEST(QmfFuzzyTest, ALimitedRankingIsThePrefixOfTheFullOne)
{
    std::mt19937 random(29);
    std::uniform_int_distribution<int> letter(0, 3);
    std::uniform_int_distribution<int> length(0, 6);
    QStringList candidates;
    for (int i = 0; i < 300; ++i) {
        QString line;
        for (int k = length(random); k > 0; --k)
            line.append(QChar(u'a' + letter(random)));
        candidates.append(line); // short lines over four letters: many matches, many ties
    }
    for (const QString &query : {u"ab"_s, u"a"_s, u"dcb"_s, u""_s}) {
        // The definition: every match, stably sorted by score, highest first.
        QList<SearchCommands::RankedLine> full;
        for (qsizetype i = 0; i < candidates.size(); ++i) {
            const QString &candidate = candidates.at(i);
            if (QMSearching::fuzzyMatchesString(candidate, query))
                full.append({candidate,
                             QMSearching::similarityScoreForString(
                                     candidate, query, QMSearching::CaseInsensitiveSearch, true),
                             i});
        }
        std::stable_sort(full.begin(), full.end(),
                         [](const auto &a, const auto &b) { return a.score > b.score; });
        ASSERT_EQ(SearchCommands::rank(candidates, query, false, true).size(), full.size());
        for (const qsizetype limit : {qsizetype(0), qsizetype(1), qsizetype(7), qsizetype(100),
                                      full.size(), full.size() + 1}) {
            SCOPED_TRACE(query.toStdString() + " limit " + std::to_string(limit));
            const QList<SearchCommands::RankedLine> limited
                    = SearchCommands::rank(candidates, query, false, true, limit);
            ASSERT_EQ(limited.size(), std::min(limit, full.size()));
            for (qsizetype i = 0; i < limited.size(); ++i) {
                EXPECT_EQ(limited[i].line, full[i].line) << i;
                EXPECT_EQ(limited[i].score, full[i].score) << i;
                EXPECT_EQ(limited[i].position, full[i].position) << i;
            }
        }
    }
}

#include "QmfTestSupport.h"

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

using namespace QmfTestSupport;

// fuzzy prints matching lines best first, distance the edit distance of its two texts.
TEST(QmfSearchCommandsTest, PrintTheirResults)
{
    const QByteArray paths = "xabc\nabc\r\nABC\nacb\nab\n";
    const QByteArray cases = "aBc\nABC\nabc\n";
    const struct
    {
        QStringList arguments;
        QByteArray input;
        const char *expected;
    } rows[] = {
            // Ties keep their input order; "acb" and "ab" do not have a, b, c in order.
            {words("fuzzy abc --scores"), paths, "997\tabc\n997\tABC\n986\txabc\n"},
            {words("fuzzy abc"), paths, "abc\nABC\nxabc\n"},
            {words("fuzzy --limit 2 --scores abc"), paths, "997\tabc\n997\tABC\n"},
            {words("fuzzy abc --limit 0"), paths, ""},
            {words("fuzzy abc --limit 99999999999999999999999"), paths, "abc\nABC\nxabc\n"},
            // The filter ignores case; the score follows --case-sensitive and --no-mismatch.
            {words("fuzzy abc --scores --case-sensitive"), cases, "997\tabc\n787\taBc\n0\tABC\n"},
            {words("fuzzy abc --scores --case-sensitive --no-mismatch"), cases,
             "997\tabc\n0\taBc\n0\tABC\n"},
            // Lines: the piece after the last "\n" only counts when it is not empty, and only
            // one final "\r" is removed.
            {QStringList {u"fuzzy"_s, u""_s, u"--scores"_s}, "\n\nabc", "0\t\n0\t\n0\tabc\n"},
            {QStringList {u"fuzzy"_s, u""_s}, "abc\n\n", "abc\n\n"},
            {QStringList {u"fuzzy"_s, u""_s}, "", ""},
            {words("fuzzy b --scores"), "ab\r\r\n", "987\tab\r\n"},
            // A query that begins with "-" comes after "--".
            {words("fuzzy --scores -- -v"), "a-v\n-x\n", "987\ta-v\n"},
            // UTF-8 in and out; a character beyond the Basic Multilingual Plane is two units.
            {words("fuzzy \xf0\x90\x90\xa8 --scores"), "\xf0\x90\x90\x80x\n",
             "997\t\xf0\x90\x90\x80x\n"},
            {words("distance ABC abd"), "", "3\n"},
            {words("distance ABC abd --ignore-case"), "", "1\n"},
            {QStringList {u"distance"_s, u""_s, u"abc"_s}, "", "3\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString() + " < " + row.input.toStdString());
        const Outcome outcome = runQmf(row.arguments, row.input);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, QString::fromUtf8(row.expected));
        EXPECT_EQ(outcome.err, QString());
    }
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

TEST(QmfSearchCommandsTest, UsageErrorsEndWithStatus2)
{
    const struct
    {
        QStringList arguments;
        const char *error; // the whole error text, or null where the option parser reports
    } rows[] = {
            {words("fuzzy"), "qmf: fuzzy takes a QUERY and at most one FILE\n"},
            {words("fuzzy a --limit x"), "qmf: --limit needs a non-negative integer, not \"x\"\n"},
            {words("fuzzy a --limit 1e3"),
             "qmf: --limit needs a non-negative integer, not \"1e3\"\n"},
            {words("fuzzy a --limit -1"), nullptr},
            {words("fuzzy a --ignore-case"), nullptr},
            {words("distance a"), "qmf: distance takes two texts, A and B\n"},
            {words("distance a b --scores"), nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString());
        expectUsageError(row.arguments, row.error, "a\n");
    }
}

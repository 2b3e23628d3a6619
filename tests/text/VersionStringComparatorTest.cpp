#include <QMFoundation/text/QMVersionStringComparator.h>

#include "TextTestSupport.h"
#include "VersionReference.h"
#include "support/Failures.h"

#include <gtest/gtest.h>

#include <string>

using namespace Qt::StringLiterals;
using Comparator = QMVersionStringComparator;
using TestSupport::failureOf;

namespace {

std::string show(const QString &text)
{
    return '"' + text.toStdString() + '"';
}

} // namespace

TEST(VersionStringComparatorTest, ComparesVersionsPartByPart)
{
    const struct
    {
        QString a;
        QString b;
        qint64 expected;
    } rows[] = {
            // Numbers compare as numbers; leading zeros do not count.
            {u"1.10"_s, u"1.9"_s, 1},
            {u"1.01"_s, u"1.1"_s, 0},
            // A trailing pre-release label lowers a version; a trailing number or period raises it.
            {u"1.0"_s, u"1.0b"_s, 1},
            {u"1.0.1"_s, u"1.0"_s, 1},
            {u"1.0."_s, u"1.0"_s, 1},
            {u"2.0b3"_s, u"2.0b10"_s, -1},
            // Text parts compare by code units, case-sensitively and without locale.
            {u"1.0B"_s, u"1.0b"_s, -1},
            {u"1.0rc"_s, u"1.0rc1"_s, -1}, // "rc1" is "rc" then 1, and a further number raises
            {u"1.0beta"_s, u"1.0b"_s, 1}, // "b" is a prefix of "beta"
            {u"1.0\u00e9"_s, u"1.0z"_s, 1},
            // Between classes: a number beats a period, and both beat text.
            {u"1.a"_s, u"1.0"_s, -1},
            {u"1.."_s, u"1.0"_s, -1},
            {u"1-2"_s, u"1.2"_s, -1},
            {u"a"_s, u"."_s, -1},
            // Empty versions.
            {u""_s, u"1"_s, -1},
            {u""_s, u"a"_s, 1},
            {u""_s, u"."_s, -1},
            {QString(), u""_s, 0},
            // Numbers saturate at 2147483647 instead of wrapping around.
            {u"2147483648"_s, u"2147483647"_s, 0},
            {u"4294967297"_s, u"2"_s, 1}, // 2^32 + 1 would wrap to 1
            {u"1."_s + QString(5000, u'9'), u"1.2147483647"_s, 0},
            // Other decimal digits read as numbers; a digit beyond the BMP is text.
            {u"\u0661\u0662"_s, u"12"_s, 0}, // Arabic-Indic 1 2
            {u"\uff11\uff10"_s, u"9"_s, 1}, // full-width 1 0
            {u"\U0001D7D9"_s, u"1"_s, -1}, // mathematical 1 is text, and text loses to numbers
            {u"\U0001D7D9"_s, u"a"_s, 1}, // its surrogates sort above "a"
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(show(row.a) + " vs " + show(row.b));
        EXPECT_EQ(Comparator::compareVersion(row.a, row.b), row.expected);
        EXPECT_EQ(Comparator::compareVersion(row.b, row.a), -row.expected);
        // The fuzz target holds the comparator to this reading of the rules on any text.
        EXPECT_EQ(VersionReference::referenceCompare(row.a, row.b), row.expected);
        EXPECT_EQ(Comparator::compareToVersion(row.a, row.b), row.expected);
        EXPECT_EQ(Comparator::isGreaterThanVersion(row.a, row.b), row.expected == 1);
        EXPECT_EQ(Comparator::isGreaterThanOrEqualToVersion(row.a, row.b), row.expected >= 0);
        EXPECT_EQ(Comparator::isLessThanVersion(row.a, row.b), row.expected == -1);
        EXPECT_EQ(Comparator::isLessThanOrEqualToVersion(row.a, row.b), row.expected <= 0);
    }
}

TEST(VersionStringComparatorTest, SplitsIntoRunsAndClassifiesThem)
{
    const struct
    {
        QString version;
        QStringList parts;
    } rows[] = {
            {QString(), {}},
            {u"1.10"_s, {u"1"_s, u"."_s, u"10"_s}},
            {u"1..2"_s, {u"1"_s, u"."_s, u"."_s, u"2"_s}},
            {u"2.0b3"_s, {u"2"_s, u"."_s, u"0"_s, u"b"_s, u"3"_s}},
            {u"v1.0-rc 2"_s, {u"v"_s, u"1"_s, u"."_s, u"0"_s, u"-rc "_s, u"2"_s}},
            {u"12\u0663x"_s, {u"12\u0663"_s, u"x"_s}}, // digits of any script form one run
            {u"1\U0001F600b"_s, {u"1"_s, u"\U0001F600b"_s}}, // surrogates stay with the text
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(show(row.version));
        EXPECT_EQ(Comparator::splitVersionString(row.version), row.parts);
    }

    // A part's class is that of its first code unit: 0 digit, 1 text, 2 period.
    const std::pair<QString, qint32> classes[] = {
            {u"0"_s, 0},          {u"\u0660"_s, 0}, {u"."_s, 2}, {u"5."_s, 0},
            {u"a"_s, 1},          {u"\u00b2"_s, 1}, // superscript two is no decimal digit
            {u"\u2167"_s, 1}, // Roman numeral eight neither
            {u"\U0001D7CE"_s, 1}, // a digit outside the BMP starts with a surrogate
            {u"\uff0e"_s, 1}, // the full-width full stop is not a period
    };
    for (const auto &[character, type] : classes) {
        SCOPED_TRACE(show(character));
        EXPECT_EQ(Comparator::typeOfCharacter(character), type);
    }
    for (const QString &empty : {QString(), u""_s})
        EXPECT_EQ(failureOf([&] { (void)Comparator::typeOfCharacter(empty); }),
                  u"Invalid parameter not satisfying: !character.isEmpty()"_s);
}

// Versions arrive as any kind of string: a part of a larger text, UTF-8 and Latin-1 text compare
// as the same characters in a QString do (a conversion that dropped the view's bounds or
// mis-decoded the bytes would show here).
TEST(VersionStringComparatorTest, TakesAnyKindOfText)
{
    const QString line = u"app 1.10b2 (build ٢)"_s;
    const QStringView inLine = QStringView(line).sliced(4, 6); // "1.10b2"
    EXPECT_EQ(Comparator::compareVersion(inLine, u"1.10b2"_s), 0);
    EXPECT_EQ(Comparator::compareVersion(inLine, u"1.9"), 1);
    EXPECT_EQ(Comparator::compareVersion("1.10b2", inLine), 0);
    EXPECT_EQ(Comparator::compareVersion(QLatin1StringView("1.2"), "1.10"), -1);
    EXPECT_EQ(Comparator::splitVersionString(inLine),
              QStringList({u"1"_s, u"."_s, u"10"_s, u"b"_s, u"2"_s}));
    // The same non-ASCII digit through UTF-8 and UTF-16.
    EXPECT_EQ(Comparator::compareVersion("\xd9\xa2", u"\u0662"), 0);
    EXPECT_EQ(Comparator::typeOfCharacter("\xd9\xa2"), 0);
}

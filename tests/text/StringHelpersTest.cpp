#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/text/QMCamelize.h>
#include <QMFoundation/text/QMCommon.h>
#include <QMFoundation/text/QMCounting.h>
#include <QMFoundation/text/QMFormat.h>
#include <QMFoundation/text/QMInitials.h>
#include <QMFoundation/text/QMRegularExpression.h>
#include <QMFoundation/text/QMRepetition.h>
#include <QMFoundation/text/QMStringRepresentations.h>
#include <QMFoundation/text/QMUniqueIdentifier.h>
#include <QMFoundation/text/Titleize.h>
#include <QMFoundation/text/Trimming.h>

#include "TextTestSupport.h"
#include "support/Failures.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

TEST(FormatTest, FillsPlaceholdersWithDescriptionsInOrder)
{
    const struct
    {
        QString format;
        QVariantList arguments;
        QString expected;
    } cases[] = {{u"100%"_s, {}, u"100%"_s}, // no values: not a format at all
                 {u"%@ and %@"_s, {1, u"two"_s}, u"1 and two"_s},
                 {u"%@%% done%"_s, {50}, u"50% done%"_s},
                 {u"%@ %@"_s, {u"a"_s}, u"a (null)"_s},
                 {u"%d %@"_s, {3}, u"%d 3"_s},
                 {u"%@|%@|%@|%@"_s, {QMNull(), 0.1, true, QStringList()}, u"<null>|0.1|1|(\n)"_s}};
    for (const auto &c : cases)
        EXPECT_EQ(QMFormat::stringWithFormat(c.format, c.arguments), c.expected);

    QVariantList values {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(QMFormat::stringWithFormat(u"%@%@%@%@%@%@%@%@%@%@"_s, values), u"0123456789"_s);
    values.append(10);
    EXPECT_EQ(failureOf([&] { QMFormat::stringWithFormat(u"%@"_s, values); }),
              u"Only 10 string format arguments supported."_s);
}

TEST(InitialsTest, TakesFirstAndLastNameInitials)
{
    // A null expected text stands for none.
    const std::pair<QString, QString> cases[] = {{u"Anna Maria Berg Lund"_s, u"AL"_s},
                                                 {u"Berg, Anna"_s, u"B"_s},
                                                 {u"anna-lena berg"_s, u"AB"_s},
                                                 {u""_s, QString()},
                                                 {QString(), QString()},
                                                 {u",Anna"_s, QString()},
                                                 {u"  Anna  Berg\t"_s, u"AB"_s},
                                                 {u"anna\tberg"_s, u"A"_s},
                                                 {u"O'Brien R2 d2"_s, u"OD"_s},
                                                 {u"\u00e9lodie \u00fcnal"_s, u"\u00c9\u00dc"_s},
                                                 {u"\U00010428lla b"_s, u"\U00010400B"_s}};
    for (const auto &[name, expected] : cases) {
        const QString initials = QMInitials::initials(name);
        EXPECT_EQ(initials, expected) << name.toStdString();
        EXPECT_EQ(initials.isNull(), expected.isNull()) << name.toStdString();
    }
}

TEST(CaseHelpersTest, TitleizeAndCamelize)
{
    const std::pair<QString, QString> titles[]
            = {{u"helloWorld"_s, u"Hello World"_s},         {u"XMLParser"_s, u"Xmlparser"_s},
               {u"HELLO wORLD"_s, u"Hello W Orld"_s},       {u"a1B"_s, u"A1b"_s},
               {u"\u00e9lanVital"_s, u"\u00c9lan Vital"_s}, {u""_s, u""_s}};
    for (const auto &[input, expected] : titles)
        EXPECT_EQ(Titleize::titleize(input), expected);

    EXPECT_EQ(QMCamelize::camelizedString(u"hELLO world"_s), u"HELLO world"_s);
    EXPECT_EQ(QMCamelize::camelizedString(u"\U00010428x"_s), u"\U00010400x"_s);
    EXPECT_EQ(QMCamelize::camelizedString(u""_s), u""_s);
}

TEST(TrimmingTest, TrimsEndsAndShortensInTheMiddle)
{
    EXPECT_EQ(Trimming::stringByTrimmingWhitespaceAndNewline(u" \t\r\n a b\u2028\u0085"_s),
              u"a b"_s);

    const QString alphabet = u"abcdefghijklmnop"_s; // 16 characters
    const std::pair<quint64, QString> cases[] = {{9, u"abc...klmnop"_s},
                                                 {10, u"abc...klmnop"_s},
                                                 {15, u"abcdef...hijklmnop"_s},
                                                 {3, u"...nop"_s},
                                                 {16, alphabet},
                                                 {std::numeric_limits<quint64>::max(), alphabet}};
    for (const auto &[maximum, expected] : cases)
        EXPECT_EQ(Trimming::trimInTheMiddleWithMaxLength(alphabet, maximum), expected) << maximum;

    // A cut never splits a surrogate pair; it moves one code unit inward instead.
    const QString faces = u"\U0001F600"_s.repeated(10); // 20 code units
    const QString smile = u"\U0001F600"_s;
    const struct
    {
        QString text;
        quint64 maximum;
        QString expected;
    } pairCases[] = {{faces, 9, smile + u"..."_s + smile.repeated(3)}, // head 3 -> 2
                     {faces, 12, smile.repeated(2) + u"..."_s + smile.repeated(3)}, // tail 7 -> 6
                     {u"a"_s + faces, 7, u"a..."_s + smile.repeated(2)}}; // both cuts move
    for (const auto &c : pairCases) {
        SCOPED_TRACE(c.maximum);
        EXPECT_EQ(Trimming::trimInTheMiddleWithMaxLength(c.text, c.maximum), c.expected);
    }

    EXPECT_EQ(failureOf([] { Trimming::trimInTheMiddleWithMaxLength(u"ab"_s, 2); }),
              u"Invalid parameter not satisfying: maxLength >= 3"_s);
}

// Texts mixing ASCII, other BMP letters, white space and letters outside the BMP (surrogate
// pairs, upper- and lower-case): no helper that maps case or cuts may leave half a pair.
TEST(CodePointTest, HelpersNeverSplitSurrogatePairs)
{
    const QString pieces[]
            = {u"a"_s,          u"B"_s,          u" "_s, u"\u00e9"_s, u"\U00010428"_s,
               u"\U00010400"_s, u"\U0001F600"_s, u","_s, u"-"_s};
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        QString text;
        const int length = int(random() % 12);
        for (int i = 0; i < length; ++i)
            text += pieces[random() % std::size(pieces)];
        SCOPED_TRACE(text.toStdString());
        ASSERT_TRUE(Titleize::titleize(text).isValidUtf16());
        ASSERT_TRUE(QMCamelize::camelizedString(text).isValidUtf16());
        ASSERT_TRUE(QMInitials::initials(text).isValidUtf16());
        for (quint64 maximum = 3; maximum <= quint64(text.size()) + 1; ++maximum) {
            const QString shortened = Trimming::trimInTheMiddleWithMaxLength(text, maximum);
            ASSERT_TRUE(shortened.isValidUtf16()) << maximum;
            // Each cut moves by at most one code unit: 2h + 4 to 2h + 6 units, or unchanged.
            const qsizetype half = qsizetype((maximum - 3) / 2);
            if (quint64(text.size()) > maximum) {
                ASSERT_GE(shortened.size(), 2 * half + 4) << maximum;
                ASSERT_LE(shortened.size(), 2 * half + 6) << maximum;
            } else {
                ASSERT_EQ(shortened, text);
            }
        }
    }
}

TEST(CountingAndRepetitionTest, CountsLinesAndRepeats)
{
    const std::pair<QString, quint64> lines[]
            = {{u""_s, 0},       {u"a"_s, 1},    {u"a\nb"_s, 2},
               {u"a\n"_s, 1},    {u"\n\n"_s, 2}, {u"a\r\nb\r\n"_s, 2},
               {u"a\rb\r"_s, 2}, {u"\n\r"_s, 2}, {u"a\u0085b\u2028c\u2029d"_s, 4}};
    for (const auto &[text, count] : lines)
        EXPECT_EQ(QMCounting::lineCount(text), count) << text.toStdString();

    using QMRepetition::stringByRepeatingStringNumberOfTimes;
    EXPECT_EQ(stringByRepeatingStringNumberOfTimes(u"ab"_s, 3), u"ababab"_s);
    for (const QString &none : {stringByRepeatingStringNumberOfTimes(u"ab"_s, 0),
                                stringByRepeatingStringNumberOfTimes(QString(), 5)})
        EXPECT_TRUE(!none.isNull() && none.isEmpty());
    EXPECT_THROW(stringByRepeatingStringNumberOfTimes(u"ab"_s, std::numeric_limits<quint64>::max()),
                 QMInternalInconsistencyException);
    EXPECT_TRUE(QMCommon::isEmpty(QString()) && QMCommon::isNotEmpty(u" "_s));
}

TEST(RegularExpressionTest, MatchesAndReportsEveryGroup)
{
    using namespace QMRegularExpression;
    const QRegularExpression pair(u"(\\w+)=(\\w*)"_s);
    EXPECT_TRUE(isMatchedByRegularExpression(u"x key=value"_s, pair));
    EXPECT_FALSE(isMatchedByRegularExpression(u"key value"_s, pair));
    EXPECT_EQ(componentsMatchedByRegularExpression(u"key=value"_s, pair),
              (QVariantList {u"key=value"_s, u"key"_s, u"value"_s}));
    EXPECT_EQ(componentsMatchedByRegularExpression(u"nothing"_s, pair), std::nullopt);

    // An empty group took part in the match; a group that did not, even the last one, is the
    // null marker.
    const std::optional<QVariantList> empty = componentsMatchedByRegularExpression(u"k="_s, pair);
    ASSERT_TRUE(empty && empty->size() == 3);
    EXPECT_TRUE(empty->at(2).metaType() == QMetaType::fromType<QString>()
                && empty->at(2).toString().isEmpty());
    const std::optional<QVariantList> optional
            = componentsMatchedByRegularExpression(u"ac"_s, QRegularExpression(u"a(x)?(c)|(y)"_s));
    ASSERT_TRUE(optional && optional->size() == 4);
    EXPECT_TRUE(QMIsNull(optional->at(1)) && QMIsNull(optional->at(3)));
    EXPECT_EQ(optional->at(2), QVariant(u"c"_s));

    const QRegularExpression broken(u"("_s);
    EXPECT_THROW(isMatchedByRegularExpression(u"("_s, broken), QMInternalInconsistencyException);
    EXPECT_THROW(componentsMatchedByRegularExpression(u"("_s, broken),
                 QMInternalInconsistencyException);

    const QRegularExpression uuidShape(
            u"^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"_s);
    const QString uuid = QMUniqueIdentifier::UUID();
    EXPECT_TRUE(isMatchedByRegularExpression(uuid, uuidShape)) << uuid.toStdString();
    EXPECT_NE(uuid, QMUniqueIdentifier::UUID());
}

TEST(StringRepresentationsTest, WritesShortestRoundTripNumbers)
{
    using namespace QMStringRepresentations;
    EXPECT_EQ(stringForBoolean(true) + stringForBoolean(false), u"YESNO"_s);
    EXPECT_EQ(stringForInteger(std::numeric_limits<qint64>::min()) + u' '
                      + stringForUnsignedInteger(std::numeric_limits<quint64>::max()),
              u"-9223372036854775808 18446744073709551615"_s);

    const double infinity = std::numeric_limits<double>::infinity();
    const std::pair<double, QString> doubles[]
            = {{0.1, u"0.1"_s},          {3.0, u"3"_s},
               {-0.0, u"-0"_s},          {1e16, u"10000000000000000"_s},
               {1e17, u"1e+17"_s},       {0.0001, u"0.0001"_s},
               {1.25e-5, u"1.25e-05"_s}, {5e-324, u"5e-324"_s},
               {infinity, u"inf"_s},     {-infinity, u"-inf"_s},
               {std::nan(""), u"nan"_s}};
    for (const auto &[value, text] : doubles)
        EXPECT_EQ(stringForDouble(value), text);
    EXPECT_EQ(stringForFloat(0.1f) + u' ' + stringForFloat(16777216.0f) + u' '
                      + stringForFloat(1e9f),
              u"0.1 16777216 1e+09"_s);

    // Whatever the layout, the text reads back as exactly the same value.
    const auto readsBack = [](const QString &text, auto value) {
        const std::string latin1 = text.toStdString();
        decltype(value) back = 0;
        std::from_chars(latin1.data(), latin1.data() + latin1.size(), back);
        return std::memcmp(&back, &value, sizeof value) == 0;
    };
    std::mt19937_64 random(20240611);
    for (int i = 0; i < 20000; ++i) {
        const quint64 bits = random();
        double value;
        float single;
        std::memcpy(&value, &bits, sizeof value);
        std::memcpy(&single, &bits, sizeof single);
        ASSERT_TRUE(!std::isfinite(value) || readsBack(stringForDouble(value), value)) << bits;
        ASSERT_TRUE(!std::isfinite(single) || readsBack(stringForFloat(single), single)) << bits;
    }
}

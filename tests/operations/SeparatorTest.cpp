#include "support/Failures.h"
#include <QMFoundation/operations/QMSeparator.h>

#include "SeparatorReference.h"

#include <gtest/gtest.h>

#include <random>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

// A few splits written out, so that the byte-by-byte definition below is pinned as well.
TEST(SeparatorTest, SplitsAtEachLeftmostOccurrenceOfATextSeparator)
{
    const QString replacement(QChar::ReplacementCharacter);
    const struct
    {
        QByteArray data;
        QString separator;
        QStringList expected;
    } cases[] = {
            {"a\n\nb\n", u"\n"_s, {u"a"_s, u""_s, u"b"_s}},
            {"", u"\n"_s, {}},
            // Occurrences do not overlap: each search starts after the last cut.
            {"aaa", u"aa"_s, {u""_s, u"a"_s}},
            // Bytes as they are: no case folding, the separator matched in UTF-8.
            {"aAa", u"A"_s, {u"a"_s, u"a"_s}},
            {"1\u00b72\u00b7", u"\u00b7"_s, {u"1"_s, u"2"_s}},
            // An empty separator: every byte alone, a cut multi-byte character as replacements.
            {"\xc3\xa9", u""_s, {replacement, replacement}},
            {"a\xff|\xc3|b", u"|"_s, {u"a"_s + replacement, replacement, u"b"_s}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data.toStdString() + " / " + c.separator.toStdString());
        EXPECT_EQ(QMSeparator::componentsSeparatedByStringSequence(c.data, c.separator),
                  c.expected);
    }
    EXPECT_EQ(QMSeparator::componentsSeparatedByChar(",,a,,b,,", ','),
              (QList<QByteArray> {"a", "b"}));
    EXPECT_EQ(failureOf([] { QMSeparator::componentsSeparatedByStringSequence("a", QString()); }),
              u"Invalid parameter not satisfying: stringSequence"_s);
}

TEST(SeparatorTest, AgreesWithTheByteByByteDefinition)
{
    // A small alphabet with a multi-byte character, a NUL, an upper-case letter and a byte that
    // is never UTF-8 makes separators, repeats, partial matches and cut characters frequent.
    const QByteArray alphabet("aAb\n\r\0\xff\xc3\xa9", 9);
    const QString separators[]
            = {u""_s,    u"a"_s,      u"\n"_s,       u"\r\n"_s,   u"aa"_s,
               u"aba"_s, u"\u00e9"_s, u"a\u00e9a"_s, u"\n\n\n"_s, QString(QChar(0))};
    std::mt19937 random(20240611);
    for (int round = 0; round < 4000; ++round) {
        QByteArray data;
        const int length = int(random() % 24);
        for (int i = 0; i < length; ++i)
            data.append(alphabet.at(random() % alphabet.size()));
        SCOPED_TRACE(data.toHex().toStdString());
        for (const QString &separator : separators) {
            const QStringList pieces
                    = QMSeparator::componentsSeparatedByStringSequence(data, separator);
            ASSERT_EQ(pieces,
                      SeparatorReference::componentsSeparatedByStringSequence(data, separator))
                    << separator.toStdString();
            // Empty pieces are empty texts, never null ones.
            for (const QString &piece : pieces)
                ASSERT_FALSE(piece.isNull());
        }
        for (char separator : {'a', '\n', '\xc3', '\xff'})
            ASSERT_EQ(QMSeparator::componentsSeparatedByChar(data, separator),
                      SeparatorReference::componentsSeparatedByChar(data, separator));
        ASSERT_EQ(QMSeparator::componentsSeparatedByNULByte(data),
                  SeparatorReference::componentsSeparatedByChar(data, '\0'));
    }
}

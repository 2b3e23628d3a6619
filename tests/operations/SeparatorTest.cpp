#include "operations/QMSeparator.h"
#include "support/Failures.h"

#include "SeparatorReference.h"

#include <gtest/gtest.h>

#include <random>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

namespace {

QByteArray bytes(const char *text, qsizetype size)
{
    return QByteArray(text, size);
}

} // namespace

TEST(SeparatorTest, SplitsAtEachLeftmostOccurrenceOfATextSeparator)
{
    const QString replacement(QChar::ReplacementCharacter);
    const struct
    {
        QByteArray data;
        QString separator;
        QStringList expected;
    } cases[] = {
            // Separators at the start, side by side and at the end.
            {"a\n\nb\n", u"\n"_s, {u"a"_s, u""_s, u"b"_s}},
            {"\na", u"\n"_s, {u""_s, u"a"_s}},
            {"\n", u"\n"_s, {u""_s}},
            {"abc", u"\n"_s, {u"abc"_s}},
            {"", u"\n"_s, {}},
            // Occurrences do not overlap: each search starts after the last cut.
            {"aaa", u"aa"_s, {u""_s, u"a"_s}},
            // A multi-byte separator needs all its bytes, in order.
            {"a\r\nb\nc\r\n", u"\r\n"_s, {u"a"_s, u"b\nc"_s}},
            {"x\r", u"\r\n"_s, {u"x\r"_s}},
            // Bytes as they are: no case folding, the separator is matched in UTF-8.
            {"aAa", u"A"_s, {u"a"_s, u"a"_s}},
            {"1\u00b72\u00b7", u"\u00b7"_s, {u"1"_s, u"2"_s}},
            {"caf\xc3\xa9\n\xf0\x9f\x90\x9f", u"\n"_s, {u"caf\u00e9"_s, u"\U0001F41F"_s}},
            // An empty separator: every byte alone, a cut multi-byte character as replacements.
            {"ab", u""_s, {u"a"_s, u"b"_s}},
            {"\xc3\xa9", u""_s, {replacement, replacement}},
            // Invalid UTF-8 inside a piece becomes replacement characters; the pieces stay.
            {"a\xff|\xc3|b", u"|"_s, {u"a"_s + replacement, replacement, u"b"_s}},
            // NUL bytes are bytes like any other.
            {bytes("a\0b\0", 4), QString(QChar(0)), {u"a"_s, u"b"_s}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data.toStdString() + " / " + c.separator.toStdString());
        const QStringList pieces
                = QMSeparator::componentsSeparatedByStringSequence(c.data, c.separator);
        EXPECT_EQ(pieces, c.expected);
        for (const QString &piece : pieces)
            EXPECT_FALSE(piece.isNull());
    }
}

TEST(SeparatorTest, RefusesANullTextSeparator)
{
    EXPECT_EQ(failureOf([] { QMSeparator::componentsSeparatedByStringSequence("a", QString()); }),
              u"Invalid parameter not satisfying: stringSequence"_s);
}

TEST(SeparatorTest, SplitsAtEachSeparatorByteDroppingEmptyPieces)
{
    const struct
    {
        QByteArray data;
        char separator;
        QList<QByteArray> expected;
    } cases[] = {
            {bytes("\0x\0\0y", 5), '\0', {"x", "y"}},
            {"", '\0', {}},
            {"abc", ',', {"abc"}},
            {",,a,,b,,", ',', {"a", "b"}},
            {"a", 'a', {}},
            {"\xff\xfe\xff", '\xff', {"\xfe"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data.toHex().toStdString());
        EXPECT_EQ(QMSeparator::componentsSeparatedByChar(c.data, c.separator), c.expected);
        if (c.separator == '\0') {
            EXPECT_EQ(QMSeparator::componentsSeparatedByNULByte(c.data), c.expected);
        }
    }
}

TEST(SeparatorTest, AgreesWithTheByteByByteDefinition)
{
    // A small alphabet with a multi-byte character makes separators, repeats, partial matches
    // and cut characters frequent.
    const QByteArray alphabet("ab\n\r\xc3\xa9", 6);
    const QString separators[] = {u""_s,    u"a"_s,      u"\n"_s,       u"\r\n"_s,  u"aa"_s,
                                  u"aba"_s, u"\u00e9"_s, u"a\u00e9a"_s, u"\n\n\n"_s};
    std::mt19937 random(20240611);
    for (int round = 0; round < 4000; ++round) {
        QByteArray data;
        const int length = int(random() % 24);
        for (int i = 0; i < length; ++i)
            data.append(alphabet.at(random() % alphabet.size()));
        SCOPED_TRACE(data.toHex().toStdString());
        for (const QString &separator : separators)
            ASSERT_EQ(QMSeparator::componentsSeparatedByStringSequence(data, separator),
                      SeparatorReference::componentsSeparatedByStringSequence(data, separator))
                    << separator.toStdString();
        for (char separator : {'a', '\n', '\xc3'})
            ASSERT_EQ(QMSeparator::componentsSeparatedByChar(data, separator),
                      SeparatorReference::componentsSeparatedByChar(data, separator));
    }
}

#include <QMFoundation/text/QMBinaryDetection.h>
#include <QMFoundation/text/QMRandom.h>
#include <QMFoundation/text/QMRandomNumber.h>
#include <QMFoundation/text/QMStringDecoding.h>

#include "TextTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSet>

#include <limits>
#include <new>

using namespace Qt::StringLiterals;

namespace {

QByteArray bytes(std::initializer_list<unsigned char> values)
{
    QByteArray data;
    for (unsigned char value : values)
        data.append(char(value));
    return data;
}

std::string hex(const QByteArray &data)
{
    return data.left(24).toHex(' ').toStdString() + (data.size() > 24 ? " ..." : "");
}

// The standard Mac OS Roman mapping as text, byte by byte, from tests/text/data/mac-roman.txt
// (lines "byte code-point" in hex after a comment line).
QString macRomanFixture()
{
    QFile file(QStringLiteral(QMF_TEXT_TEST_DATA_DIR "/mac-roman.txt"));
    QString table;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.size() == 7 && line.left(2).toInt(nullptr, 16) == table.size())
                table.append(QChar(char16_t(line.mid(3).toUInt(nullptr, 16))));
        }
    }
    return table;
}

} // namespace

TEST(BinaryDetectionTest, LooksForThreeZerosInTheFirst2048Bytes)
{
    const auto zerosAt = [](qsizetype size, qsizetype offset, qsizetype count = 3) {
        QByteArray data(size, 'x');
        for (qsizetype i = offset; i < offset + count; ++i)
            data[i] = '\0';
        return data;
    };
    const struct
    {
        const char *name;
        QByteArray data;
        bool binary;
    } rows[] = {
            {"empty", QByteArray(), false},
            {"00 00 41 00 00", bytes({0, 0, 0x41, 0, 0}), false},
            {"zeros at 2045..2047", zerosAt(4096, 2045), true},
            {"zeros at 2046..2048", zerosAt(4096, 2046), false},
            {"zeros from 2048", zerosAt(4096, 2048, 100), false},
            {"zeros at 2045..2047 of exactly 2048", zerosAt(2048, 2045), true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(QMBinaryDetection::isBinaryData(row.data), row.binary);
    }
}

TEST(StringDecodingTest, AcceptsOnlyWellFormedUTF8)
{
    const struct
    {
        QByteArray data;
        QString text; // null: not UTF-8
    } rows[] = {
            {QByteArray(), u""_s},
            {QByteArray("a\0b", 3), u"a\0b"_s},
            {bytes({0xF4, 0x8F, 0xBF, 0xBF}), u"\U0010FFFF"_s}, // the last code point
            {bytes({0xEF, 0xBF, 0xBE}), u"\ufffe"_s}, // a noncharacter is still well-formed
            {bytes({0xEF, 0xBB, 0xBF, 0x61}), u"\ufeffa"_s}, // the byte-order mark is kept
            // Malformed.
            {bytes({0x80}), QString()}, // a stray continuation byte
            {bytes({0xC3}), QString()}, // cut short at the end
            {bytes({0xC0, 0x80}), QString()}, // overlong U+0000
            {bytes({0xED, 0xA0, 0x80}), QString()}, // the surrogate U+D800
            {bytes({0xF4, 0x90, 0x80, 0x80}), QString()}, // U+110000
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(hex(row.data));
        const QString text = QMStringDecoding::stringUsingUTF8Encoding(row.data);
        EXPECT_EQ(text, row.text);
        EXPECT_EQ(text.isNull(), row.text.isNull());
        const QString best = QMStringDecoding::stringUsingBestEncoding(row.data);
        EXPECT_FALSE(best.isNull());
        // The lenient decoding agrees on well-formed UTF-8 (the mark included) and puts U+FFFD
        // where a sequence is malformed, as QString::fromUtf8() does.
        const QString lenient = QMStringDecoding::stringByDecodingUTF8(row.data);
        EXPECT_FALSE(lenient.isNull());
        if (!row.text.isNull()) {
            EXPECT_EQ(best, row.text);
            EXPECT_EQ(lenient, row.text);
        } else {
            EXPECT_EQ(best.size(), row.data.size()); // one character per byte
            EXPECT_EQ(lenient, QString::fromUtf8(row.data));
            EXPECT_TRUE(lenient.contains(QChar(0xFFFD)));
        }
    }
}

TEST(StringDecodingTest, FallsBackToTheStandardMacOSRomanMapping)
{
    const QString fixture = macRomanFixture();
    ASSERT_EQ(fixture.size(), 256) << "tests/text/data/mac-roman.txt is missing or malformed";
    QByteArray all;
    for (int byte = 0; byte < 256; ++byte) {
        // A byte of its own is ASCII (valid UTF-8) below 0x80 and invalid UTF-8 above.
        EXPECT_EQ(QMStringDecoding::stringUsingBestEncoding(QByteArray(1, char(byte))),
                  QString(fixture.at(byte)))
                << byte;
        all.append(char(byte));
    }
    // All 256 bytes at once are invalid UTF-8, so the low half goes through the table too.
    EXPECT_EQ(QMStringDecoding::stringUsingBestEncoding(all), fixture);
}

TEST(RandomTest, MakesDataFromTheAlphabetOnly)
{
    const QByteArray alphabet = QMRandom::alphabet();
    EXPECT_EQ(alphabet, QByteArray("abcdefghijklmnopqrstuvwxyz1234567890"));

    EXPECT_TRUE(QMRandom::randomDataWithSizeInBytes(0).isEmpty());
    // Crosses the size of the blocks the system source is read in.
    const QByteArray data = QMRandom::randomDataWithSizeInBytes(36 * 300 + 1);
    ASSERT_EQ(data.size(), 36 * 300 + 1);
    QSet<char> seen;
    for (char byte : data) {
        ASSERT_TRUE(alphabet.contains(byte)) << int(byte);
        seen.insert(byte);
    }
    // 10,801 independent draws miss a given character with probability (35/36)^10801 < 1e-130.
    EXPECT_EQ(seen.size(), 36);
    // Two draws of 64 characters are the same only with probability 36^-64.
    EXPECT_NE(QMRandom::randomDataWithSizeInBytes(64), QMRandom::randomDataWithSizeInBytes(64));

    EXPECT_THROW(QMRandom::randomDataWithSizeInBytes(std::numeric_limits<quint64>::max()),
                 std::bad_alloc);
}

TEST(RandomTest, NumbersStayBelowTheLowWordOfTheLimit)
{
    const struct
    {
        quint64 limit;
        quint32 bound; // what results must stay below; 1 means always 0
    } rows[] = {
            {0, 1},
            {7, 7},
            {0x100000000ULL, 1}, // low word 0
            {0x100000005ULL, 5},
            {0xFFFFFFFF00000003ULL, 3},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.limit);
        QSet<quint32> seen;
        for (int i = 0; i < 2000; ++i) {
            const quint32 value = QMRandomNumber::randomNumberWithLimit(row.limit);
            ASSERT_LT(value, row.bound);
            seen.insert(value);
        }
        // 2000 uniform draws below 7 miss a value with probability under 7 * (6/7)^2000.
        EXPECT_EQ(seen.size(), qsizetype(row.bound));
    }
    // Every draw has the sign bit set with probability 1/2: 200 draws of one sign only happen
    // with probability 2^-199.
    bool negative = false;
    bool nonNegative = false;
    for (int i = 0; i < 200; ++i)
        (QMRandomNumber::randomNumber() < 0 ? negative : nonNegative) = true;
    EXPECT_TRUE(negative);
    EXPECT_TRUE(nonNegative);
}

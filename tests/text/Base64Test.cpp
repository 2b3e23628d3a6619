#include <QMFoundation/text/QMBase64.h>
#include <QMFoundation/text/QMBase64Transcoding.h>

#include "Base64Reference.h"
#include "CodecFixtures.h"
#include "TextTestSupport.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>

#include <string>

using namespace QMBase64Transcoding;
using namespace Qt::StringLiterals;

namespace {

// Encodes through the C function into a buffer of exactly the estimated size.
std::string encodeC(const QByteArray &data)
{
    uint64_t size = EstimateBas64EncodedDataSize(uint64_t(data.size()));
    std::string text(size, '\0');
    EXPECT_TRUE(Base64EncodeData(data.constData(), uint64_t(data.size()), text.data(), &size));
    EXPECT_EQ(size, text.size());
    return text;
}

// Decodes through the C function into a buffer of exactly the estimated size.
QByteArray decodeC(const std::string &text)
{
    uint64_t size = EstimateBas64DecodedDataSize(text.size());
    QByteArray data(qsizetype(size), Qt::Uninitialized);
    EXPECT_TRUE(Base64DecodeData(text.data(), text.size(), data.data(), &size));
    data.truncate(qsizetype(size));
    return data;
}

} // namespace

TEST(Base64Test, ExportedTablesMatchTheAlphabet)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    EXPECT_EQ(std::string(kBase64EncodeTable, 64), alphabet);
    for (int c = 0; c < 128; ++c) {
        const std::size_t value = alphabet.find(char(c));
        const bool space = c == ' ' || (c >= 9 && c <= 13);
        const int expected = c == 0          ? 251
                : space                      ? 254
                : c == '='                   ? 255
                : value != std::string::npos ? int(value)
                                             : 253;
        EXPECT_EQ(kBase64DecodeTable[c], expected) << c;
    }
}

TEST(Base64Test, EstimatesFollowTheDocumentedArithmetic)
{
    const uint64_t rows[][3] = {
            // size, encoded, decoded
            {0, 0, 0},
            {1, 4, 3},
            {4, 8, 3},
            {5, 8, 6},
            // A text that ends exactly at a line end carries its "\r\n".
            {52, 74, 39},
            {55, 78, 42},
            // The largest sizes whose 32-bit product fits, and the first ones past them.
            {1610612733, 2147483644ull / 72 * 74 + 2147483644ull % 72, 1207959552},
            {1610612734, UINT64_MAX, 1207959552},
            {2863311528, UINT64_MAX, 2147483646},
            {2863311529, UINT64_MAX, UINT64_MAX},
            {uint64_t(1) << 32, UINT64_MAX, UINT64_MAX}, // would wrap to a small size
            {UINT64_MAX, UINT64_MAX, UINT64_MAX},
    };
    for (const auto &[size, encoded, decoded] : rows) {
        EXPECT_EQ(EstimateBas64EncodedDataSize(size), encoded) << size;
        EXPECT_EQ(EstimateBas64DecodedDataSize(size), decoded) << size;
    }
}

// Large rows give the length and SHA-256 of the text instead of the text itself.
TEST(Base64Test, MatchesPythonsBase64InLinesOf72)
{
    for (const char *group : {"bytes", "large"}) {
        for (const QJsonValue &row : CodecFixtures::group(group)) {
            const QByteArray data = CodecFixtures::pattern(row[QLatin1String("length")].toInt());
            SCOPED_TRACE(data.size());
            const std::string text = encodeC(data);
            if (row[QLatin1String("base64")].isString()) {
                EXPECT_EQ(QString::fromStdString(text), CodecFixtures::field(row, "base64"));
            } else {
                EXPECT_EQ(text.size(), uint64_t(row[QLatin1String("base64Length")].toInteger()));
                EXPECT_EQ(QCryptographicHash::hash(QByteArray::fromStdString(text),
                                                   QCryptographicHash::Sha256)
                                  .toHex(),
                          CodecFixtures::field(row, "base64Sha256").toLatin1());
            }
            EXPECT_EQ(stringWithDataUsingBase64Encoding(data), QString::fromStdString(text));
            EXPECT_EQ(decodeC(text), data);
            EXPECT_EQ(dataWithBase64EncodedString(QString::fromStdString(text)), data);
        }
    }
    for (const QJsonValue &row : CodecFixtures::group("texts")) {
        const QString text = CodecFixtures::field(row, "text");
        EXPECT_EQ(encodeBase64(text.toUtf8()), CodecFixtures::field(row, "base64"))
                << text.toStdString();
    }
}

TEST(Base64Test, DecodingSkipsWhatIsNotInTheAlphabet)
{
    using namespace std::string_literals;
    const std::pair<std::string, std::string> rows[] = {
            {"YWJj", "abc"},
            {"YWI=", "ab"},
            {"YWI", "ab"}, // padding is not needed
            {"Y", ""}, // one trailing character makes no byte
            // White space and characters outside the alphabet are skipped.
            {"YW Jj", "abc"},
            {"Y!W@J#j$", "abc"},
            {"Y\x80W\xff\xc3\xa9Jj", "abc"}, // bytes above 127 are outside the alphabet too
            // An "=" that begins a step ends the text, wherever it stands.
            {"YWJj=YWJj", "abc"},
            {"YW=Jj", "a"},
            {"=YWJj", ""},
            // NUL, and "=" or white space reached by skipping, stand for six zero bits.
            {"YW\0j"s, "a`#"},
            {"Y!=Jj", "`"},
            {"Y! W", "`"},
            {"YW \t!", "a"}, // a run that reaches the end ends decoding
    };
    for (const auto &[text, data] : rows) {
        SCOPED_TRACE(QByteArray::fromStdString(text).toHex().toStdString());
        EXPECT_EQ(decodeC(text).toStdString(), data);
        EXPECT_EQ(Base64Reference::referenceDecode(text.data(), text.size()).toStdString(), data);
    }
}

// How decoding fills its capacity is the fuzz target's to check, on every input: it fills the
// whole capacity first, fails exactly below the estimate and writes nothing past it.
TEST(Base64Test, EncodingChecksTheCapacityAndBothDirectionsRefuseMissingPointers)
{
    const QByteArray data = CodecFixtures::pattern(57); // 78 characters
    for (const uint64_t capacity : {uint64_t(77), uint64_t(78), uint64_t(100)}) {
        SCOPED_TRACE(capacity);
        std::string buffer(120, '#');
        uint64_t size = capacity;
        const bool encoded = Base64EncodeData(data.constData(), 57, buffer.data(), &size);
        EXPECT_EQ(encoded, capacity >= 78);
        EXPECT_EQ(size, encoded ? 78 : capacity);
        // Nothing is written on failure, and nothing past the text on success (no NUL).
        const std::size_t written = encoded ? 78 : 0;
        EXPECT_EQ(buffer.substr(written), std::string(120 - written, '#'));
    }

    // Missing pointers are refused without touching anything.
    uint64_t size = 8;
    char buffer[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
    EXPECT_FALSE(Base64EncodeData(data.constData(), 3, buffer, nullptr));
    EXPECT_FALSE(Base64EncodeData(nullptr, 3, buffer, &size));
    EXPECT_FALSE(Base64EncodeData(data.constData(), 3, nullptr, &size));
    EXPECT_FALSE(Base64DecodeData("YWJj", 4, buffer, nullptr));
    EXPECT_FALSE(Base64DecodeData(nullptr, 4, buffer, &size));
    EXPECT_FALSE(Base64DecodeData("YWJj", 4, nullptr, &size));
    EXPECT_EQ(std::string(buffer, 8), "########");
    EXPECT_EQ(size, 8u);
    size = 0;
    EXPECT_TRUE(Base64EncodeData(nullptr, 0, nullptr, &size));
    EXPECT_EQ(size, 0u);
}

TEST(Base64Test, WrappersKeepAbsentEmptyAndNonAsciiApart)
{
    // Absent or empty data encodes to the empty (not null) text, and text that is absent, empty,
    // not 7-bit ASCII or without a single alphabet character to empty (not null) data.
    for (const QByteArray &data : {QByteArray(), QByteArray("")}) {
        EXPECT_FALSE(stringUsingBase64Encoding(data).isNull());
        EXPECT_TRUE(stringUsingBase64Encoding(data).isEmpty());
    }
    for (const QString &text : {QString(), u""_s, u"YWJj\u00e9"_s, u"YWJj\u0080"_s, u"  "_s}) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_FALSE(dataUsingBase64Encoding(text).isNull());
        EXPECT_TRUE(dataUsingBase64Encoding(text).isEmpty());
    }
    // One character outside ASCII anywhere refuses the text: inside runs of whole blocks, in a
    // partial group, after a line break, after the padding where decoding stops.
    QByteArray bytes;
    for (int k = 0; k < 130; ++k)
        bytes.append(char(k * 37));
    const QString encoded = stringUsingBase64Encoding(bytes) + u"=="_s;
    ASSERT_EQ(dataWithBase64EncodedString(encoded), bytes);
    for (qsizetype position = 0; position <= encoded.size(); ++position) {
        for (const char16_t wide : {u'\u00e9', u'\u0080', u'\u4e00'}) {
            QString text = encoded;
            text.insert(position, QChar(wide));
            EXPECT_TRUE(dataWithBase64EncodedString(text).isEmpty()) << position;
        }
    }
    // ASCII control characters are 7-bit: they are decoded (skipped or zero bits), not refused.
    EXPECT_EQ(dataWithBase64EncodedString(u"\x7fYW\u0001Jj\u007f"_s), QByteArray("abc"));
    EXPECT_EQ(dataWithBase64EncodedString(QString::fromUtf16(u"YW\0j", 4)), QByteArray("a`#"));
}

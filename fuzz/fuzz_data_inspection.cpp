// Feeds arbitrary bytes to the data inspection functions and checks what must hold for any
// input:
//  - stringUsingUTF8Encoding() accepts exactly the well-formed UTF-8 of the Unicode standard
//    (checked against an independent validator), and what it accepts encodes back to the same
//    bytes;
//  - stringUsingBestEncoding() is that text when there is one, else one character per byte,
//    ASCII staying ASCII;
//  - isBinaryData() is true exactly when three zeros in a row start within the first 2048 bytes;
//  - JSON that parses writes back, reads back equal, and writes the same bytes again; the
//    three readers agree; a parse failure reports an offset inside the data.

#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/text/JSONTranscoding.h>
#include <QMFoundation/text/QMBinaryDetection.h>
#include <QMFoundation/text/QMStringDecoding.h>

#include <QByteArray>
#include <QVariant>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Table 3-7 of the Unicode standard: the well-formed byte sequences.
bool isWellFormedUTF8(const uint8_t *data, size_t size)
{
    size_t i = 0;
    while (i < size) {
        const uint8_t lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0;
            else if (lead == 0xED)
                high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90;
            else if (lead == 0xF4)
                high = 0x8F;
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        if (data[i + 1] < low || data[i + 1] > high)
            return false;
        for (size_t k = 2; k < length; ++k) {
            if (data[i + k] < 0x80 || data[i + k] > 0xBF)
                return false;
        }
        i += length;
    }
    return true;
}

bool hasThreeZerosEarly(const uint8_t *data, size_t size)
{
    const size_t end = std::min<size_t>(size, 2048);
    for (size_t i = 0; i + 2 < end; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0)
            return true;
    }
    return false;
}

void checkDecoding(const QByteArray &bytes, const uint8_t *data, size_t size)
{
    const QString text = QMStringDecoding::stringUsingUTF8Encoding(bytes);
    require(text.isNull() != isWellFormedUTF8(data, size));
    const QString best = QMStringDecoding::stringUsingBestEncoding(bytes);
    require(!best.isNull());
    if (!text.isNull()) {
        require(text.toUtf8() == bytes);
        require(best == text);
        return;
    }
    require(best.size() == bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes.at(i));
        const char16_t unit = best.at(i).unicode();
        require(byte < 0x80 ? unit == byte : unit >= 0xA0);
    }
}

void checkJSON(const QByteArray &bytes)
{
    using namespace JSONTranscoding;
    QMError error;
    const QVariant value = JSONObject(bytes, &error);
    if (!value.isValid()) {
        require(error.domain() == QMJSONTranscodingErrorDomain);
        require(error.code() == QMJSONTranscodingErrorInvalidData);
        const qint64 offset = error.userInfo().value(QMJSONErrorOffsetKey).toLongLong();
        require(offset >= 0 && offset <= bytes.size());
        require(!arrayWithDataUsingJSONEncoding(bytes).isValid());
        require(!dictionaryWithDataUsingJSONEncoding(bytes).has_value());
        return;
    }
    const bool isMap = value.metaType() == QMetaType::fromType<QVariantMap>();
    require(isMap || value.metaType() == QMetaType::fromType<QVariantList>());
    require(dictionaryWithDataUsingJSONEncoding(bytes).has_value() == isMap);
    require(QMEqualValues(arrayWithDataUsingJSONEncoding(bytes), value));

    // Everything a parse produces can be written.
    const QByteArray written = dataWithJSONObject(value, &error);
    require(!written.isNull());
    const QVariant back = JSONObject(written);
    require(QMEqualValues(back, value));
    require(dataWithJSONObject(back) == written);
    if (isMap)
        require(stringUsingJSONEncoding(value.toMap()) == QString::fromUtf8(written));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    require(QMBinaryDetection::isBinaryData(bytes) == hasThreeZerosEarly(data, size));
    checkDecoding(bytes, data, size);
    checkJSON(bytes);
    return 0;
}

#include <QMFoundation/text/QMBase64Transcoding.h>

#include "QMFoundation/text/QMBase64Codec_p.h"

namespace QMBase64Transcoding {

namespace {

bool isAscii(QStringView string)
{
    // One pass without early exit: the compiler turns it into a vector loop.
    char16_t bits = 0;
    for (const QChar c : string)
        bits |= c.unicode();
    return bits < 0x80;
}

} // namespace

QByteArray dataWithBase64EncodedString(const QString &string)
{
    if (string.isEmpty())
        return QByteArray("", 0);
    const std::uint64_t capacity = QMBase64Codec::decodedSize(std::uint64_t(string.size()));
    if (capacity == QMBase64Codec::OutOfRange)
        return isAscii(string) ? QByteArray() : QByteArray("", 0);
    // A string with any character outside ASCII decodes to nothing. Rather than a pass of its
    // own over the string (as long as the decoding itself, on a string too large for the
    // cache), the decoder notes such characters among those it reads, and only the rest of the
    // string, after where it stopped, is checked here.
    QByteArray data(qsizetype(capacity), Qt::Uninitialized);
    QMBase64Codec::DecodeStop stop;
    const std::size_t size = QMBase64Codec::decode(
            reinterpret_cast<const char16_t *>(string.constData()), std::size_t(string.size()),
            reinterpret_cast<std::uint8_t *>(data.data()), std::size_t(capacity), &stop);
    if (stop.sawNonAscii || !isAscii(QStringView(string).sliced(qsizetype(stop.position))))
        return QByteArray("", 0);
    data.truncate(qsizetype(size));
    return data;
}

QString stringWithDataUsingBase64Encoding(const QByteArray &data)
{
    if (data.isEmpty())
        return QStringLiteral("");
    const std::uint64_t size = QMBase64Codec::encodedSize(std::uint64_t(data.size()));
    if (size == QMBase64Codec::OutOfRange)
        return QString();
    QString string(qsizetype(size), Qt::Uninitialized);
    QMBase64Codec::encode(reinterpret_cast<const std::uint8_t *>(data.constData()),
                          std::size_t(data.size()), reinterpret_cast<char16_t *>(string.data()));
    return string;
}

QString encodeBase64(const QByteArray &data)
{
    return stringWithDataUsingBase64Encoding(data);
}

QString stringUsingBase64Encoding(const QByteArray &data)
{
    return stringWithDataUsingBase64Encoding(data);
}

QByteArray dataUsingBase64Encoding(const QString &string)
{
    return dataWithBase64EncodedString(string);
}

} // namespace QMBase64Transcoding

// Feeds arbitrary bytes to the Base64 codec and checks what must hold for any input:
//  - Base64DecodeData, with every byte value as input and a capacity taken from the input
//    (around the estimate, or anywhere up to twice it), in a heap buffer of exactly that
//    capacity so that ASan catches any write past it: it fills the whole capacity with ".",
//    fails exactly when the capacity is below the estimate (size unchanged), otherwise decodes
//    at most the estimate, leaves the rest ".", and agrees with a step-by-step model of its
//    six-step cycle;
//  - Base64EncodeData into a buffer of exactly the estimate, then decoding, gives the bytes
//    back; one byte less capacity is refused;
//  - dataWithBase64EncodedString on the raw bytes read as UTF-16 code units: empty data when
//    any unit is not 7-bit ASCII, otherwise the same bytes as the C decoder.

#include <QMFoundation/text/QMBase64.h>

#include "Base64Reference.h"
#include <QMFoundation/text/QMBase64Transcoding.h>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Decodes with a capacity chosen by `selector` and returns the decoded bytes.
QByteArray checkDecode(const char *text, std::size_t size, uint8_t selector)
{
    const uint64_t estimate = EstimateBas64DecodedDataSize(size);
    uint64_t capacity = selector & 0x80 ? estimate * (selector & 0x7F) / 64
                                        : estimate + (selector & 0x0F) - 8;
    if (int64_t(capacity) < 0)
        capacity = 0;
    // Exactly `capacity` bytes on the heap: ASan reports a write past them.
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    std::memset(buffer.get(), 0x5A, capacity);
    uint64_t written = capacity;
    const bool decoded = Base64DecodeData(text, size, buffer.get(), &written);
    require(decoded == (capacity >= estimate));
    if (!decoded) {
        require(written == capacity);
        written = 0;
    }
    require(written <= estimate);
    for (uint64_t k = written; k < capacity; ++k)
        require(buffer[k] == '.');
    QByteArray bytes(reinterpret_cast<const char *>(buffer.get()), qsizetype(written));
    if (decoded)
        require(bytes == Base64Reference::referenceDecode(text, size));
    return bytes;
}

void checkRoundTrip(const uint8_t *data, std::size_t size)
{
    const uint64_t estimate = EstimateBas64EncodedDataSize(size);
    const std::unique_ptr<char[]> text(new char[estimate]);
    uint64_t written = estimate - 1;
    if (estimate > 0)
        require(!Base64EncodeData(data, size, text.get(), &written) && written == estimate - 1);
    written = estimate;
    require(Base64EncodeData(data, size, text.get(), &written) && written == estimate);
    uint64_t decodedSize = EstimateBas64DecodedDataSize(estimate);
    const std::unique_ptr<uint8_t[]> decoded(new uint8_t[decodedSize]);
    require(Base64DecodeData(text.get(), estimate, decoded.get(), &decodedSize));
    require(decodedSize == size && (size == 0 || std::memcmp(decoded.get(), data, size) == 0));
}

void checkWrapper(const uint8_t *data, std::size_t size)
{
    QString units(qsizetype(size / 2), Qt::Uninitialized);
    if (!units.isEmpty())
        std::memcpy(units.data(), data, std::size_t(units.size()) * sizeof(char16_t));
    const QByteArray decoded = QMBase64Transcoding::dataWithBase64EncodedString(units);
    require(!decoded.isNull());
    bool ascii = true;
    for (const QChar c : units)
        ascii = ascii && c.unicode() < 128;
    if (!ascii) {
        require(decoded.isEmpty());
        return;
    }
    const QByteArray latin1 = units.toLatin1();
    require(decoded
            == Base64Reference::referenceDecode(latin1.constData(), std::size_t(latin1.size())));
    require(QMBase64Transcoding::dataWithBase64EncodedString(
                    QMBase64Transcoding::encodeBase64(latin1))
            == latin1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t selector = data[0];
    const char *text = reinterpret_cast<const char *>(data + 1);
    const QByteArray decoded = checkDecode(text, size - 1, selector);
    checkRoundTrip(data + 1, size - 1);
    checkRoundTrip(reinterpret_cast<const uint8_t *>(decoded.constData()),
                   std::size_t(decoded.size()));
    checkWrapper(data + 1, size - 1);
    return 0;
}

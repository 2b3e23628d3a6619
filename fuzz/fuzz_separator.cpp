// Splits arbitrary bytes with the library's searching splits and with their byte-by-byte
// definitions kept with the tests, and requires the same pieces in the same order:
//  - by a text separator made of 0 to 7 input bytes read as UTF-8 (an empty separator
//    included, which makes each byte a piece and cuts multi-byte characters);
//  - by one byte, and by the NUL byte.
//
// The first byte gives the separator's length (its low three bits) and the separator byte; the
// separator's bytes follow, the rest is the data.

#include <QMFoundation/operations/QMSeparator.h>

#include "SeparatorReference.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const auto *bytes = reinterpret_cast<const char *>(data);
    const char separatorByte = bytes[0];
    const size_t separatorLength = std::min<size_t>(size_t(data[0] & 7), size - 1);
    // fromUtf8 of no bytes is a null QString, which the split refuses; an empty one is allowed.
    QString separator = QString::fromUtf8(bytes + 1, qsizetype(separatorLength));
    if (separator.isNull())
        separator = QStringLiteral("");
    const QByteArray input(bytes + 1 + separatorLength, qsizetype(size - 1 - separatorLength));

    require(QMSeparator::componentsSeparatedByStringSequence(input, separator)
            == SeparatorReference::componentsSeparatedByStringSequence(input, separator));
    require(QMSeparator::componentsSeparatedByChar(input, separatorByte)
            == SeparatorReference::componentsSeparatedByChar(input, separatorByte));
    require(QMSeparator::componentsSeparatedByNULByte(input)
            == SeparatorReference::componentsSeparatedByChar(input, '\0'));
    return 0;
}

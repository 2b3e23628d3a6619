#include "text/QMBase64.h"

#include "text/QMBase64Codec_p.h"

#include <cmath>
#include <cstring>

namespace QMBase64Codec {

namespace {

// ceil(n / divisor) in double precision, times `factor` in 32-bit arithmetic, widened; or
// OutOfRange when the 32-bit product would overflow (or the ceiling not even fit 32 bits).
std::uint64_t scaledCeiling(std::uint64_t n, double divisor, std::int32_t factor)
{
    const double ceiling = std::ceil(double(n) / divisor);
    if (ceiling > double(INT32_MAX / factor))
        return OutOfRange;
    return std::uint64_t(std::int32_t(ceiling) * factor);
}

} // namespace

std::uint64_t encodedSize(std::uint64_t inputSize)
{
    const std::uint64_t characters = scaledCeiling(inputSize, 3.0, 4);
    if (characters == OutOfRange)
        return OutOfRange;
    return characters / LineLength * (LineLength + 2) + characters % LineLength;
}

std::uint64_t decodedSize(std::uint64_t inputSize)
{
    return scaledCeiling(inputSize, 4.0, 3);
}

} // namespace QMBase64Codec

extern "C" {

const char kBase64EncodeTable[64]
        = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
           'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
           'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
           'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

const uint8_t kBase64DecodeTable[128]
        = {251, 253, 253, 253, 253, 253, 253, 253, 253, 254, 254, 254, 254, 254, 253, 253, //
           253, 253, 253, 253, 253, 253, 253, 253, 253, 253, 253, 253, 253, 253, 253, 253, //
           254, 253, 253, 253, 253, 253, 253, 253, 253, 253, 253, 62,  253, 253, 253, 63, //
           52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  253, 253, 253, 255, 253, 253, //
           253, 0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,  13,  14, //
           15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  253, 253, 253, 253, 253, //
           253, 26,  27,  28,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,  39,  40, //
           41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51,  253, 253, 253, 253, 253};

const uint8_t kBits_00000011 = 0x03;
const uint8_t kBits_00001111 = 0x0F;
const uint8_t kBits_00110000 = 0x30;
const uint8_t kBits_00111100 = 0x3C;
const uint8_t kBits_00111111 = 0x3F;
const uint8_t kBits_11000000 = 0xC0;
const uint8_t kBits_11110000 = 0xF0;
const uint8_t kBits_11111100 = 0xFC;

uint64_t EstimateBas64EncodedDataSize(uint64_t inDataSize)
{
    return QMBase64Codec::encodedSize(inDataSize);
}

uint64_t EstimateBas64DecodedDataSize(uint64_t inDataSize)
{
    return QMBase64Codec::decodedSize(inDataSize);
}

bool Base64EncodeData(const void *inInputData, uint64_t inInputDataSize, char *outOutputData,
                      uint64_t *ioOutputDataSize)
{
    if (!ioOutputDataSize || (!inInputData && inInputDataSize != 0)
        || (!outOutputData && *ioOutputDataSize != 0))
        return false;
    const uint64_t needed = QMBase64Codec::encodedSize(inInputDataSize);
    if (*ioOutputDataSize < needed)
        return false;
    *ioOutputDataSize = needed;
    if (inInputDataSize != 0)
        QMBase64Codec::encode(static_cast<const std::uint8_t *>(inInputData),
                              std::size_t(inInputDataSize), outOutputData);
    return true;
}

bool Base64DecodeData(const char *inInputData, uint64_t inInputDataSize, void *ioOutputData,
                      uint64_t *ioOutputDataSize)
{
    if (!ioOutputDataSize || (!inInputData && inInputDataSize != 0)
        || (!ioOutputData && *ioOutputDataSize != 0))
        return false;
    const uint64_t capacity = *ioOutputDataSize;
    if (capacity != 0)
        std::memset(ioOutputData, '.', std::size_t(capacity));
    if (capacity < QMBase64Codec::decodedSize(inInputDataSize))
        return false;
    *ioOutputDataSize = inInputDataSize == 0
            ? 0
            : QMBase64Codec::decode(inInputData, std::size_t(inInputDataSize),
                                    static_cast<std::uint8_t *>(ioOutputData),
                                    std::size_t(capacity));
    return true;
}

} // extern "C"

#include <QMFoundation/text/QMBase64.h>

#include "QMFoundation/text/QMBase64Codec_p.h"

#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QMF_BASE64_AVX2 1

// The classification, translation and packing of 32 Base64 characters at once with AVX2, after
// W. Mula and D. Lemire, "Faster Base64 Encoding and Decoding Using AVX2 Instructions" (2018).
// A character is in the alphabet when the table entries of its low and high nibbles share no
// bit; bytes of 128 and above have a high nibble of 8 to 15, whose entry is never accepted.
// Returns false, writing nothing, when a character is outside the alphabet.
__attribute__((target("avx2"))) inline bool decodeBlockAvx2(__m256i input, std::uint8_t *out)
{
    const __m256i lowNibbleClasses
            = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                               0x1A, 0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11,
                               0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i highNibbleClasses
            = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                               0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08,
                               0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // What to add to a character to get its value, by high nibble ("/" uses entry 1).
    const __m256i offsets
            = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19,
                               4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    // Three bytes from each 32-bit lane, in order, then the lanes' 12 bytes side by side.
    const __m256i byteOrder
            = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6,
                               5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);

    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(input, 4), nibble);
    const __m256i low = _mm256_and_si256(input, nibble);
    if (!_mm256_testz_si256(_mm256_shuffle_epi8(lowNibbleClasses, low),
                            _mm256_shuffle_epi8(highNibbleClasses, high)))
        return false;
    const __m256i slashes = _mm256_cmpeq_epi8(input, _mm256_set1_epi8('/'));
    const __m256i values
            = _mm256_add_epi8(input, _mm256_shuffle_epi8(offsets, _mm256_add_epi8(slashes, high)));
    // Pairs of six bits into twelve, pairs of twelve into the 24 bits of three bytes.
    const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(groups, byteOrder),
                                                       _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
    // The last eight bytes are the fill byte, so a buffer filled with "." stays so.
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out),
                        _mm256_blend_epi32(packed, _mm256_set1_epi8('.'), 0xC0));
    return true;
}

__attribute__((target("avx2"))) std::size_t decodeBlocksAvx2(const char *in, std::size_t size,
                                                             std::uint8_t *out, std::size_t room)
{
    std::size_t blocks = 0;
    for (; size >= 32 && room >= 32; in += 32, out += 24, size -= 32, room -= 24, ++blocks) {
        if (!decodeBlockAvx2(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(in)), out))
            break;
    }
    return blocks;
}

// UTF-16 units are first narrowed to bytes; units above 255 saturate to 255, which is outside
// the alphabet like them.
__attribute__((target("avx2"))) std::size_t decodeBlocksAvx2(const char16_t *in, std::size_t size,
                                                             std::uint8_t *out, std::size_t room)
{
    std::size_t blocks = 0;
    for (; size >= 32 && room >= 32; in += 32, out += 24, size -= 32, room -= 24, ++blocks) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 16));
        // packus interleaves the 128-bit halves of its operands; put them back in order.
        const __m256i narrowed = _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
        if (!decodeBlockAvx2(narrowed, out))
            break;
    }
    return blocks;
}
#endif

} // namespace

namespace {

bool hasAvx2()
{
#ifdef QMF_BASE64_AVX2
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

} // namespace

template<>
BlockDecoder<char> blockDecoder<char>()
{
#ifdef QMF_BASE64_AVX2
    if (hasAvx2())
        return static_cast<BlockDecoder<char>>(decodeBlocksAvx2);
#endif
    return nullptr;
}

template<>
BlockDecoder<char16_t> blockDecoder<char16_t>()
{
#ifdef QMF_BASE64_AVX2
    if (hasAvx2())
        return static_cast<BlockDecoder<char16_t>>(decodeBlocksAvx2);
#endif
    return nullptr;
}

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

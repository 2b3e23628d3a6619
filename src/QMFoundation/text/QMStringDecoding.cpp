#include <QMFoundation/text/QMStringDecoding.h>

#include <QStringDecoder>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Mac OS Roman above ASCII: the character of each byte 0x80 to 0xFF. Qt has no codec for it.
// tests/text/data/mac-roman.txt holds the standard mapping of all 256 bytes to check this against.
constexpr char16_t macRomanHighHalf[128] = {
        0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, // 0x80
        0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8, // 0x88
        0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, // 0x90
        0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, // 0x98
        0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF, // 0xA0
        0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, // 0xA8
        0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, // 0xB0
        0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, // 0xB8
        0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, // 0xC0
        0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153, // 0xC8
        0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, // 0xD0
        0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, // 0xD8
        0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, // 0xE0
        0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, // 0xE8
        0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC, // 0xF0
        0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7, // 0xF8
};

QString macRomanString(const QByteArray &data)
{
    QString text(data.size(), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    for (const char byte : data) {
        const auto unit = static_cast<unsigned char>(byte);
        *out++ = unit < 0x80 ? char16_t(unit) : macRomanHighHalf[unit - 0x80];
    }
    return text;
}

bool isContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Decodes `size` bytes of well-formed UTF-8 (as the Unicode standard defines it, table 3-7) into
// `out`, which has room for `size` code units; the code units written, or -1 at the first
// ill-formed or cut-short sequence. Runs of ASCII go 16 bytes at a time.
qsizetype decodeWellFormedUTF8(const unsigned char *in, qsizetype size, char16_t *out)
{
    const unsigned char *const end = in + size;
    char16_t *const start = out;
    while (in < end) {
        // Where the next run of ASCII may start: until there, bytes go one at a time.
        const unsigned char *scalarEnd = end;
#if defined(__SSE2__)
        // Sixteen bytes are widened and stored at once, and the position moves past the ASCII
        // ones among them. The stores stay inside `out`: a code unit is never written ahead of
        // the byte it comes from, so 16 bytes left in the input leave room for 16 units.
        while (end - in >= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
            const __m128i zero = _mm_setzero_si128();
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8), _mm_unpackhi_epi8(bytes, zero));
            const unsigned mask = unsigned(_mm_movemask_epi8(bytes));
            if (mask == 0) {
                in += 16;
                out += 16;
                continue;
            }
            // The bytes from the first non-ASCII one to the last one in the block are decoded
            // one at a time before the next block.
            scalarEnd = in + (32 - __builtin_clz(mask));
            const int ascii = __builtin_ctz(mask);
            in += ascii;
            out += ascii;
            break;
        }
        if (in == end)
            break;
#endif
        do {
            const unsigned char lead = *in;
            if (lead < 0x80) {
                *out++ = lead;
                ++in;
                continue;
            }
            const qsizetype left = end - in;
            if (lead < 0xE0) {
                // C0 and C1 would only start overlong forms; 80-BF cannot start a character.
                if (lead < 0xC2 || left < 2 || !isContinuation(in[1]))
                    return -1;
                *out++ = char16_t(((lead & 0x1F) << 6) | (in[1] & 0x3F));
                in += 2;
            } else if (lead < 0xF0) {
                // E0 needs A0-BF next (no overlong form); ED needs 80-9F (no surrogate).
                const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
                const unsigned high = lead == 0xED ? 0x9F : 0xBF;
                if (left < 3 || unsigned(in[1]) - low > high - low || !isContinuation(in[2]))
                    return -1;
                *out++ = char16_t(((lead & 0x0F) << 12) | ((in[1] & 0x3F) << 6) | (in[2] & 0x3F));
                in += 3;
            } else if (lead < 0xF5) {
                // F0 needs 90-BF next (no overlong form); F4 needs 80-8F (nothing past U+10FFFF).
                const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
                const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
                if (left < 4 || unsigned(in[1]) - low > high - low || !isContinuation(in[2])
                    || !isContinuation(in[3]))
                    return -1;
                const char32_t point = (char32_t(lead & 0x07) << 18)
                        | (char32_t(in[1] & 0x3F) << 12) | (char32_t(in[2] & 0x3F) << 6)
                        | char32_t(in[3] & 0x3F);
                *out++ = char16_t(0xD7C0 + (point >> 10));
                *out++ = char16_t(0xDC00 | (point & 0x3FF));
                in += 4;
            } else {
                // F5-FF start nothing.
                return -1;
            }
        } while (in < scalarEnd);
    }
    return out - start;
}

} // namespace

QString QMStringDecoding::stringUsingUTF8Encoding(const QByteArray &data)
{
    // UTF-16 never takes more code units than UTF-8 takes bytes.
    QString text(data.size(), Qt::Uninitialized);
    const qsizetype length
            = decodeWellFormedUTF8(reinterpret_cast<const unsigned char *>(data.constData()),
                                   data.size(), reinterpret_cast<char16_t *>(text.data()));
    if (length < 0)
        return QString();
    if (length == 0)
        return QStringLiteral("");
    text.truncate(length);
    return text;
}

QString QMStringDecoding::stringByDecodingUTF8(QByteArrayView data)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless
                                   | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(data);
    return text.isNull() ? QStringLiteral("") : text;
}

QString QMStringDecoding::stringUsingBestEncoding(const QByteArray &data)
{
    QString text = stringUsingUTF8Encoding(data);
    if (text.isNull())
        return macRomanString(data);
    return text;
}

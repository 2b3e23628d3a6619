#pragma once

// The Base64 encoder and decoder behind both the C functions (text/QMBase64.h) and the Qt
// wrappers (text/QMBase64Transcoding.h). They are templates on the character type so that the
// wrappers read and write QString's UTF-16 directly instead of going through a byte buffer.
//
// Both are exact implementations of the documented behaviour; the speed comes from handling the
// common case (a whole group of four alphabet characters, a whole line of 54 input bytes) in one
// go, and falling back to the character-by-character rules for everything else.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace QMBase64Codec {

inline constexpr char Alphabet[]
        = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr std::size_t LineLength = 72; // characters before each "\r\n"
inline constexpr std::size_t LineInput = LineLength / 4 * 3; // input bytes per full line: 54

// The decode classes of the documented table, extended to every byte value.
inline constexpr std::uint8_t WhiteSpace = 254;
inline constexpr std::uint8_t Padding = 255;
inline constexpr std::uint8_t Nul = 251;
inline constexpr std::uint8_t Other = 253;

inline constexpr std::array<std::uint8_t, 256> DecodeClasses = [] {
    std::array<std::uint8_t, 256> table {};
    for (std::uint8_t &entry : table)
        entry = Other;
    for (std::uint8_t value = 0; value < 64; ++value)
        table[static_cast<unsigned char>(Alphabet[value])] = value;
    for (unsigned char c : {9, 10, 11, 12, 13, 32})
        table[c] = WhiteSpace;
    table['='] = Padding;
    table[0] = Nul;
    return table;
}();

// Two output characters per 12 input bits, in memory order, so that the encoder writes a pair
// with one load and one store.
inline constexpr std::array<std::uint16_t, 4096> EncodePairs = [] {
    std::array<std::uint16_t, 4096> table {};
    for (std::size_t bits = 0; bits < table.size(); ++bits) {
        const auto first = static_cast<std::uint8_t>(Alphabet[bits >> 6]);
        const auto second = static_cast<std::uint8_t>(Alphabet[bits & 63]);
        table[bits] = std::endian::native == std::endian::little
                ? static_cast<std::uint16_t>(first | second << 8)
                : static_cast<std::uint16_t>(first << 8 | second);
    }
    return table;
}();

// The same for UTF-16 output: two char16_t in memory order.
inline constexpr std::array<std::uint32_t, 4096> EncodePairs16 = [] {
    std::array<std::uint32_t, 4096> table {};
    for (std::size_t bits = 0; bits < table.size(); ++bits) {
        const auto first = static_cast<std::uint32_t>(Alphabet[bits >> 6]);
        const auto second = static_cast<std::uint32_t>(Alphabet[bits & 63]);
        table[bits] = std::endian::native == std::endian::little ? first | second << 16
                                                                 : first << 16 | second;
    }
    return table;
}();

// For the decoder's fast path: the six bits of character k of a group of four, already shifted
// into place in a 24-bit value, or Invalid for anything outside the alphabet.
inline constexpr std::uint32_t Invalid = 0x01000000;
using GroupTable = std::array<std::uint32_t, 256>;
inline constexpr std::array<GroupTable, 4> GroupTables = [] {
    std::array<GroupTable, 4> tables {};
    for (int k = 0; k < 4; ++k) {
        for (std::size_t c = 0; c < 256; ++c) {
            const std::uint8_t value = DecodeClasses[c];
            tables[k][c] = value < 64 ? std::uint32_t(value) << (18 - 6 * k) : Invalid;
        }
    }
    return tables;
}();

// The documented size arithmetic: a double-precision ceiling taken as a signed 32-bit integer
// and multiplied in 32 bits. Where that product would not fit, the true size is unknown to the
// arithmetic, so report a size no buffer can have rather than a wrapped-around one.
inline constexpr std::uint64_t OutOfRange = UINT64_MAX;

std::uint64_t encodedSize(std::uint64_t inputSize);
std::uint64_t decodedSize(std::uint64_t inputSize);

// Decodes whole blocks of 32 alphabet characters with vector instructions, as long as at least
// 32 characters remain and `room` leaves 32 bytes to write (24 decoded and 8 of the fill byte
// "."). Returns the number of blocks decoded; stops at the first block holding anything else.
// Null where the processor has no such instructions. Defined for char and char16_t.
template<typename Char>
using BlockDecoder
        = std::size_t (*)(const Char *in, std::size_t size, std::uint8_t *out, std::size_t room);
template<typename Char>
BlockDecoder<Char> blockDecoder();

template<typename Char>
inline void writePair(Char *out, unsigned bits)
{
    static_assert(sizeof(Char) == 1 || sizeof(Char) == 2);
    if constexpr (sizeof(Char) == 1)
        std::memcpy(out, &EncodePairs[bits], 2);
    else
        std::memcpy(out, &EncodePairs16[bits], 4);
}

template<typename Char>
inline void encodeGroup(const std::uint8_t *in, Char *out)
{
    const unsigned bits = unsigned(in[0]) << 16 | unsigned(in[1]) << 8 | in[2];
    writePair(out, bits >> 12);
    writePair(out + 2, bits & 0xFFF);
}

// Encodes `size` bytes into `out`, which has room for exactly encodedSize(size) characters.
template<typename Char>
void encode(const std::uint8_t *in, std::size_t size, Char *out)
{
    const std::uint8_t *const end = in + size;
    // Whole lines: 54 bytes, 72 characters and "\r\n". While at least 8 bytes can be read, six
    // input bytes at a time come from one big-endian 64-bit load.
    while (std::size_t(end - in) >= LineInput) {
        if (std::size_t(end - in) >= LineInput + 2) {
            for (int block = 0; block < 9; ++block, in += 6, out += 8) {
                std::uint64_t word;
                std::memcpy(&word, in, 8);
                if constexpr (std::endian::native == std::endian::little)
                    word = __builtin_bswap64(word);
                writePair(out, unsigned(word >> 52) & 0xFFF);
                writePair(out + 2, unsigned(word >> 40) & 0xFFF);
                writePair(out + 4, unsigned(word >> 28) & 0xFFF);
                writePair(out + 6, unsigned(word >> 16) & 0xFFF);
            }
        } else {
            for (int group = 0; group < 18; ++group, in += 3, out += 4)
                encodeGroup(in, out);
        }
        *out++ = Char('\r');
        *out++ = Char('\n');
    }
    // The last, shorter line: whole groups, then one or two bytes with padding.
    std::size_t written = 0;
    for (; end - in >= 3; in += 3, out += 4, written += 4)
        encodeGroup(in, out);
    if (end - in == 2) {
        const unsigned bits = unsigned(in[0]) << 16 | unsigned(in[1]) << 8;
        writePair(out, bits >> 12);
        out[2] = Char(Alphabet[(bits >> 6) & 63]);
        out[3] = Char('=');
        out += 4;
        written += 4;
    } else if (end - in == 1) {
        writePair(out, unsigned(in[0]) << 4);
        out[2] = Char('=');
        out[3] = Char('=');
        out += 4;
        written += 4;
    }
    // 52 or 53 remaining bytes make 18 groups: a full line, which also ends with a break.
    if (written == LineLength) {
        out[0] = Char('\r');
        out[1] = Char('\n');
    }
}

template<typename Char>
inline std::uint8_t decodeClass(Char c)
{
    using Unit = std::make_unsigned_t<Char>;
    const auto unit = static_cast<Unit>(c);
    return unit < 256 ? DecodeClasses[unit] : Other;
}

// Where decode() stopped: the position of the "=" or the end it stopped at (the characters
// from there on were not read), and whether a character it read lies outside ASCII.
struct DecodeStop
{
    std::size_t position = 0;
    bool sawNonAscii = false;
};

// Decodes `size` characters into `out`, which has room for at least decodedSize(size) bytes,
// and returns the number of bytes written; fills `stop` when it is given. Bytes of `out` past that
// number are left alone except by the fast paths, which may write the fill byte "." into up to
// eight bytes past their last group (only where `capacity` has room for them).
//
// The decoder is a cycle of six steps over the input; an accumulator carries the bits of the
// byte being built from one step to the next:
//   step 0: a = v << 2                       (next character)
//   step 1: a |= (v >> 4) & 0x03, output a   (same character serves step 2)
//   step 2: a = (v << 4) & 0xFF              (next character)
//   step 3: a |= (v >> 2) & 0x0F, output a   (same character serves step 4)
//   step 4: a = (v << 6) & 0xFF              (next character)
//   step 5: a |= v & 0x3F, output a          (next character)
// Each step first stops at an "=", then skips white space and, after it, characters outside the
// alphabet; the character reached supplies v (its value, or 0 for anything but the alphabet).
template<typename Char>
std::size_t decode(const Char *in, std::size_t size, std::uint8_t *out, std::size_t capacity,
                   DecodeStop *stop = nullptr)
{
    using Unit = std::make_unsigned_t<Char>;
    const GroupTable &t0 = GroupTables[0];
    const GroupTable &t1 = GroupTables[1];
    const GroupTable &t2 = GroupTables[2];
    const GroupTable &t3 = GroupTables[3];
    const auto groupAt = [&](std::size_t k) {
        // Only called on characters below 256 (checked by the caller for wide characters).
        return t0[static_cast<Unit>(in[k]) & 0xFF] | t1[static_cast<Unit>(in[k + 1]) & 0xFF]
                | t2[static_cast<Unit>(in[k + 2]) & 0xFF] | t3[static_cast<Unit>(in[k + 3]) & 0xFF];
    };
    const auto isWide = [&](std::size_t k) {
        if constexpr (sizeof(Char) == 1)
            return false;
        else
            return (static_cast<Unit>(in[k]) | static_cast<Unit>(in[k + 1])
                    | static_cast<Unit>(in[k + 2]) | static_cast<Unit>(in[k + 3]))
                    > 0xFF;
    };

    static const BlockDecoder<Char> blocks = blockDecoder<Char>();

    std::size_t i = 0;
    std::size_t count = 0;
    int step = 0;
    std::uint8_t a = 0;
    for (;;) {
        if (step == 0) {
            // A whole group of four alphabet characters at the start of a cycle runs the six
            // steps at once. White space in front of it is skipped as step 0 would skip it.
            // Blocks of eight groups go to the vector decoder first, at the start and after
            // each skip (a line break), where a run of them begins.
            bool tryBlocks = blocks != nullptr;
            for (;;) {
                if (tryBlocks) {
                    tryBlocks = false;
                    const std::size_t decoded
                            = blocks(in + i, size - i, out + count, capacity - count);
                    i += decoded * 32;
                    count += decoded * 24;
                }
                std::size_t start = i;
                std::uint32_t bits = Invalid;
                if (size - start >= 4 && !isWide(start))
                    bits = groupAt(start);
                if (bits & Invalid) {
                    while (start < size && decodeClass(in[start]) == WhiteSpace)
                        ++start;
                    if (start == i || size - start < 4 || isWide(start))
                        break;
                    bits = groupAt(start);
                    if (bits & Invalid)
                        break;
                    tryBlocks = blocks != nullptr;
                }
                if (capacity - count >= 4) {
                    // The fourth byte is the fill byte, so a buffer filled with "." stays so.
                    std::uint32_t word = bits << 8 | '.';
                    if constexpr (std::endian::native == std::endian::little)
                        word = __builtin_bswap32(word);
                    std::memcpy(out + count, &word, 4);
                } else {
                    out[count] = std::uint8_t(bits >> 16);
                    out[count + 1] = std::uint8_t(bits >> 8);
                    out[count + 2] = std::uint8_t(bits);
                }
                count += 3;
                i = start + 4;
            }
        }
        const auto stopAt = [&](std::size_t position) {
            if (stop)
                stop->position = position;
            return count;
        };
        if (i >= size || in[i] == Char('='))
            return stopAt(i);
        std::uint8_t entry = decodeClass(in[i]);
        while (entry == WhiteSpace) {
            if (++i >= size)
                return stopAt(i);
            entry = decodeClass(in[i]);
        }
        // Every character outside ASCII is of this class, and the fast paths above take none:
        // this is the one place that needs to look for them.
        while (entry == Other) {
            if (stop && static_cast<Unit>(in[i]) > 0x7F)
                stop->sawNonAscii = true;
            if (++i >= size)
                return stopAt(i);
            entry = decodeClass(in[i]);
        }
        const std::uint8_t v = entry < 64 ? entry : 0;
        switch (step) {
        case 0:
            a = std::uint8_t(v << 2);
            ++i;
            break;
        case 1:
            out[count++] = std::uint8_t(a | ((v >> 4) & 0x03));
            break;
        case 2:
            a = std::uint8_t(v << 4);
            ++i;
            break;
        case 3:
            out[count++] = std::uint8_t(a | ((v >> 2) & 0x0F));
            break;
        case 4:
            a = std::uint8_t(v << 6);
            ++i;
            break;
        case 5:
            out[count++] = std::uint8_t(a | (v & 0x3F));
            ++i;
            break;
        }
        step = step == 5 ? 0 : step + 1;
    }
}

} // namespace QMBase64Codec

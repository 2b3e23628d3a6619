#pragma once

// Test-only: not part of the library. Shared by the Base64 tests and the fuzz target.

#include <QMFoundation/text/QMBase64.h>

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace Base64Reference {

// The decoder's six-step cycle as the documentation states it, one character at a time, for
// comparison with the library's decoder (which handles whole groups at once where it can).
inline QByteArray referenceDecode(const char *text, std::size_t size)
{
    const auto entry = [&](std::size_t i) -> uint8_t {
        const auto c = static_cast<unsigned char>(text[i]);
        return c < 128 ? kBase64DecodeTable[c] : 253;
    };
    QByteArray out;
    std::size_t i = 0;
    uint8_t a = 0;
    for (int step = 0; i < size && text[i] != '='; step = (step + 1) % 6) {
        uint8_t e = entry(i);
        while (e == 254 && ++i < size)
            e = entry(i);
        while (e == 253 && ++i < size)
            e = entry(i);
        if (i >= size)
            break;
        const uint8_t v = e < 64 ? e : 0;
        switch (step) {
        case 0:
            a = uint8_t(v << 2), ++i;
            break;
        case 1:
            out.append(char(a | ((v >> 4) & kBits_00000011)));
            break;
        case 2:
            a = uint8_t(v << 4), ++i;
            break;
        case 3:
            out.append(char(a | ((v >> 2) & kBits_00001111)));
            break;
        case 4:
            a = uint8_t(v << 6), ++i;
            break;
        case 5:
            out.append(char(a | (v & kBits_00111111))), ++i;
            break;
        }
    }
    return out;
}

} // namespace Base64Reference

#include <QMFoundation/rest/QMURLTranscoding.h>

#include "QMFoundation/text/QMHexDigit_p.h"

#include <QVarLengthArray>

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace QMURLTranscoding {

namespace {

using AsciiSet = std::array<bool, 128>;

// The ASCII characters RFC 2396 lets a URL hold: letters, digits, the marks and the reserved
// characters. Everything outside ASCII is escaped unless the caller leaves it.
constexpr AsciiSet legalURLCharacters()
{
    AsciiSet set {};
    for (char c = '0'; c <= '9'; ++c)
        set[size_t(c)] = true;
    for (char c = 'a'; c <= 'z'; ++c) {
        set[size_t(c)] = true;
        set[size_t(c - 'a' + 'A')] = true;
    }
    for (char c : std::string_view("-_.!~*'();/?:@&=+$,"))
        set[size_t(c)] = true;
    return set;
}

constexpr std::string_view criticalLegalCharacters = "~:/?#[]@!$&'()*+,;=";

constexpr AsciiSet withoutCriticalCharacters()
{
    AsciiSet set = legalURLCharacters();
    for (char c : criticalLegalCharacters)
        set[size_t(c)] = false;
    return set;
}

// What stringByURLEncodingString() copies, computed once: the case every query key and value
// goes through needs no per-call set-up.
constexpr AsciiSet queryCopiedCharacters = withoutCriticalCharacters();

// Code points of `text`, a surrogate pair counting as one and a lone surrogate as itself.
template<typename Function>
void forEachCodePoint(QStringView text, Function &&function)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < text.size()
            && QChar::isLowSurrogate(text[i + 1].unicode())) {
            function(QChar::surrogateToUcs4(unit, text[i + 1].unicode()));
            ++i;
        } else {
            function(char32_t(unit));
        }
    }
}

void appendEscapes(QString &out, char32_t character)
{
    unsigned char bytes[4];
    int count = 0;
    if (character < 0x80) {
        bytes[count++] = static_cast<unsigned char>(character);
    } else if (character < 0x800) {
        bytes[count++] = static_cast<unsigned char>(0xC0 | (character >> 6));
        bytes[count++] = static_cast<unsigned char>(0x80 | (character & 0x3F));
    } else if (character < 0x10000) {
        bytes[count++] = static_cast<unsigned char>(0xE0 | (character >> 12));
        bytes[count++] = static_cast<unsigned char>(0x80 | ((character >> 6) & 0x3F));
        bytes[count++] = static_cast<unsigned char>(0x80 | (character & 0x3F));
    } else {
        bytes[count++] = static_cast<unsigned char>(0xF0 | (character >> 18));
        bytes[count++] = static_cast<unsigned char>(0x80 | ((character >> 12) & 0x3F));
        bytes[count++] = static_cast<unsigned char>(0x80 | ((character >> 6) & 0x3F));
        bytes[count++] = static_cast<unsigned char>(0x80 | (character & 0x3F));
    }
    constexpr char16_t hexDigits[] = u"0123456789ABCDEF";
    char16_t escapes[12];
    for (int i = 0; i < count; ++i) {
        escapes[3 * i] = u'%';
        escapes[3 * i + 1] = hexDigits[bytes[i] >> 4];
        escapes[3 * i + 2] = hexDigits[bytes[i] & 0xF];
    }
    out.append(reinterpret_cast<const QChar *>(escapes), 3 * count);
}

// `ascii` says which ASCII characters are copied; of the others only those in the sorted
// `leftOutsideASCII` are.
QString encode(const QString &string, const AsciiSet &ascii,
               const std::vector<char32_t> &leftOutsideASCII = {})
{
    const qsizetype size = string.size();
    const char16_t *data = reinterpret_cast<const char16_t *>(string.constData());
    QString result;
    bool escaped = false;
    // Text from `copyFrom` on is copied in runs, and only once something needs escaping: most
    // keys and values need none and come back as the same shared string.
    qsizetype copyFrom = 0;
    for (qsizetype i = 0; i < size;) {
        char32_t character = data[i];
        qsizetype length = 1;
        if (character < 0x80) {
            if (ascii[character]) {
                ++i;
                continue;
            }
        } else {
            if (QChar::isHighSurrogate(character) && i + 1 < size
                && QChar::isLowSurrogate(data[i + 1])) {
                character = QChar::surrogateToUcs4(data[i], data[i + 1]);
                length = 2;
            }
            if (std::binary_search(leftOutsideASCII.begin(), leftOutsideASCII.end(), character)) {
                i += length;
                continue;
            }
            if (QChar::isSurrogate(character))
                return QString();
        }
        if (!escaped) {
            result.reserve(size + size / 2 + 8);
            escaped = true;
        }
        result.append(reinterpret_cast<const QChar *>(data + copyFrom), i - copyFrom);
        appendEscapes(result, character);
        i += length;
        copyFrom = i;
    }
    if (!escaped)
        return string;
    result.append(reinterpret_cast<const QChar *>(data + copyFrom), size - copyFrom);
    return result;
}

// Appends what `bytes` spell in UTF-8; false for anything that is not well-formed UTF-8
// (stray continuation bytes, truncated or overlong sequences, surrogates, values past U+10FFFF).
bool appendUTF8(QString &out, const unsigned char *bytes, qsizetype count)
{
    for (qsizetype i = 0; i < count;) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            out.append(QChar(char16_t(lead)));
            ++i;
            continue;
        }
        int length;
        char32_t character;
        char32_t smallest;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            character = lead & 0x1F;
            smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            character = lead & 0x0F;
            smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            character = lead & 0x07;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (count - i < length)
            return false;
        for (int k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            character = (character << 6) | (bytes[i + k] & 0x3F);
        }
        if (character < smallest || character > 0x10FFFF || QChar::isSurrogate(character))
            return false;
        if (QChar::requiresSurrogates(character)) {
            const QChar pair[] = {QChar(QChar::highSurrogate(character)),
                                  QChar(QChar::lowSurrogate(character))};
            out.append(pair, 2);
        } else {
            out.append(QChar(char16_t(character)));
        }
        i += length;
    }
    return true;
}

} // namespace

QString stringByURLEncodingStringLeavingCharactersInStringUntoched(const QString &string,
                                                                   const QString &leave,
                                                                   const QString &escape)
{
    AsciiSet ascii = legalURLCharacters();
    forEachCodePoint(escape, [&](char32_t c) {
        if (c < 0x80)
            ascii[c] = false;
    });
    std::vector<char32_t> leftOutsideASCII;
    forEachCodePoint(leave, [&](char32_t c) {
        if (c < 0x80)
            ascii[c] = true;
        else
            leftOutsideASCII.push_back(c);
    });
    std::sort(leftOutsideASCII.begin(), leftOutsideASCII.end());
    return encode(string, ascii, leftOutsideASCII);
}

QString stringByURLEncodingIllegalAndCriticalLegalURLCharactersInString(const QString &string)
{
    return encode(string, queryCopiedCharacters);
}

QString stringByURLEncodingString(const QString &string)
{
    return encode(string, queryCopiedCharacters);
}

QString stringByURLDecodingString(const QString &string)
{
    if (!string.contains(u'%'))
        return string;
    const qsizetype size = string.size();
    const char16_t *data = reinterpret_cast<const char16_t *>(string.constData());
    QString result;
    result.reserve(size);
    QVarLengthArray<unsigned char, 64> bytes;
    auto isEscapeAt = [&](qsizetype i) {
        return data[i] == u'%' && i + 2 < size && QMHexDigitValue(data[i + 1]) >= 0
                && QMHexDigitValue(data[i + 2]) >= 0;
    };
    for (qsizetype i = 0; i < size;) {
        if (!isEscapeAt(i)) {
            result.append(QChar(data[i++]));
            continue;
        }
        // A character's bytes may be spread over several escapes, so a whole run is decoded.
        bytes.clear();
        for (; i < size && isEscapeAt(i); i += 3)
            bytes.append(static_cast<unsigned char>(QMHexDigitValue(data[i + 1]) * 16
                                                    + QMHexDigitValue(data[i + 2])));
        if (!appendUTF8(result, bytes.constData(), bytes.size()))
            return QString();
    }
    return result;
}

} // namespace QMURLTranscoding

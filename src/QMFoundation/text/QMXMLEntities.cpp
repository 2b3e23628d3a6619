#include <QMFoundation/text/QMXMLEntities.h>

#include <QStringView>

#include <optional>

namespace QMXMLEntities {

namespace {

constexpr char32_t LastCodePoint = 0x10FFFF;

// The characters a reference may name: XML 1.0's Char production. Everything else (NUL and
// most C0 controls, surrogates, U+FFFE, U+FFFF, values past U+10FFFF) is not a character.
bool isXMLCharacter(char32_t value)
{
    return value == 0x9 || value == 0xA || value == 0xD || (value >= 0x20 && value <= 0xD7FF)
            || (value >= 0xE000 && value <= 0xFFFD) || (value >= 0x10000 && value <= LastCodePoint);
}

int digitValue(char16_t c, int base)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (base == 16 && c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (base == 16 && c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

struct Reference
{
    char32_t character;
    qsizetype length; // of the whole reference, from "&" to ";" inclusive
};

// Reads "&#123;" or "&#x7B;" starting at `start` (which holds "&"). The value saturates just past
// U+10FFFF, so arbitrarily long digit runs neither overflow nor stop being recognised as too big.
std::optional<Reference> numericReferenceAt(QStringView text, qsizetype start)
{
    qsizetype i = start + 2; // past "&#"
    int base = 10;
    if (i < text.size() && text.at(i) == u'x') {
        base = 16;
        ++i;
    }
    const qsizetype firstDigit = i;
    char32_t value = 0;
    for (int digit; i < text.size() && (digit = digitValue(text.at(i).unicode(), base)) >= 0; ++i)
        value = value > LastCodePoint ? LastCodePoint + 1
                                      : value * char32_t(base) + char32_t(digit);
    if (i == firstDigit || i >= text.size() || text.at(i) != u';' || !isXMLCharacter(value))
        return std::nullopt;
    return Reference {value, i + 1 - start};
}

std::optional<Reference> referenceAt(QStringView text, qsizetype start)
{
    static constexpr struct
    {
        QStringView name;
        char16_t character;
    } predefined[] = {
            {u"&amp;", u'&'},  {u"&lt;", u'<'},    {u"&gt;", u'>'},
            {u"&quot;", u'"'}, {u"&apos;", u'\''},
    };
    const QStringView rest = text.mid(start);
    if (rest.startsWith(u"&#"))
        return numericReferenceAt(text, start);
    for (const auto &entity : predefined) {
        if (rest.startsWith(entity.name))
            return Reference {entity.character, entity.name.size()};
    }
    return std::nullopt;
}

} // namespace

QString stringByEscapingXMLEntities(const QString &string)
{
    QString result;
    result.reserve(string.size());
    for (const QChar c : string) {
        switch (c.unicode()) {
        case u'&':
            result += QStringLiteral("&amp;");
            break;
        case u'<':
            result += QStringLiteral("&lt;");
            break;
        case u'>':
            result += QStringLiteral("&gt;");
            break;
        case u'"':
            result += QStringLiteral("&quot;");
            break;
        case u'\'':
            result += QStringLiteral("&apos;");
            break;
        default:
            result += c;
            break;
        }
    }
    return string.isNull() ? QString() : result;
}

QString stringByEscapingEntities(const QString &string)
{
    return stringByEscapingXMLEntities(string);
}

QString stringByUnescapingXMLEntities(const QString &string)
{
    if (!string.contains(u'&'))
        return string;
    QString result;
    result.reserve(string.size());
    const QStringView text(string);
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype ampersand = text.indexOf(u'&', i);
        if (ampersand < 0) {
            result += text.mid(i);
            break;
        }
        result += text.mid(i, ampersand - i);
        // Text after an unrecognised "&" is scanned again, so "&&amp;" still yields "&&". A
        // decoded character is never scanned again: "&amp;lt;" gives "&lt;", not "<".
        if (const std::optional<Reference> reference = referenceAt(text, ampersand)) {
            if (QChar::requiresSurrogates(reference->character)) {
                result += QChar(QChar::highSurrogate(reference->character));
                result += QChar(QChar::lowSurrogate(reference->character));
            } else {
                result += QChar(char16_t(reference->character));
            }
            i = ampersand + reference->length;
        } else {
            result += u'&';
            i = ampersand + 1;
        }
    }
    return result;
}

QString stringByUnescapingEntities(const QString &string)
{
    return stringByUnescapingXMLEntities(string);
}

} // namespace QMXMLEntities

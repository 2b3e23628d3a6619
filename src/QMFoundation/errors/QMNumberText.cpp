#include "QMFoundation/errors/QMNumberText_p.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

namespace QMNumberText {

namespace {

// Lays out the shortest digits that read back as `value` (std::to_chars guarantees the round
// trip) the way printf's "%g" would: positional notation for decimal exponents from -4 up to
// `positionalLimit` - 1, scientific notation with a signed two-digit exponent otherwise, and
// never a trailing ".0". Unlike QString::number(), the sign of -0 is kept so the text reads back
// as the same value.
template<typename Real>
QString shortestText(Real value, int positionalLimit)
{
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");

    char buffer[64];
    const std::to_chars_result written
            = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view scientific(buffer, std::size_t(written.ptr - buffer));

    // scientific is "[-]d[.ddd]e(+|-)dd".
    const std::size_t e = scientific.find('e');
    const bool negative = scientific.front() == '-';
    std::string digits;
    for (const char c : scientific.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
        if (c != '.')
            digits += c;
    }
    const int exponent = std::atoi(std::string(scientific.substr(e + 1)).c_str());

    std::string text = negative ? "-" : "";
    if (exponent < -4 || exponent >= positionalLimit) {
        text += digits.front();
        if (digits.size() > 1)
            text += '.' + digits.substr(1);
        text += exponent < 0 ? "e-" : "e+";
        const int magnitude = std::abs(exponent);
        if (magnitude < 10)
            text += '0';
        text += std::to_string(magnitude);
    } else if (exponent < 0) {
        text += "0." + std::string(std::size_t(-exponent - 1), '0') + digits;
    } else if (digits.size() <= std::size_t(exponent) + 1) {
        text += digits + std::string(std::size_t(exponent) + 1 - digits.size(), '0');
    } else {
        text += digits.substr(0, std::size_t(exponent) + 1) + '.'
                + digits.substr(std::size_t(exponent) + 1);
    }
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

} // namespace

QString forDouble(double value)
{
    // 17 significant digits always suffice for a double, so every integral value below 1e17
    // is written out in full ("1000000", not "1e+06").
    return shortestText(value, 17);
}

QString forFloat(float value)
{
    return shortestText(value, 9);
}

} // namespace QMNumberText

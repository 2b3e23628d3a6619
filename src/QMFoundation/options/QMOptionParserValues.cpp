#include "QMFoundation/options/QMOptionParser_p.h"
#include <QMFoundation/options/QMOptionParser.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

namespace {

bool isDecimalDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

// The white space strtod() skips in the C locale.
bool isCSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// QMOptionParser::numberForArgument() over a view, so that values are read without a copy.
double readNumber(QStringView argument)
{
    // Reads the longest leading decimal literal the way strtod() does in the C locale, but
    // only the decimal form: hexadecimal numbers, "inf" and "nan" read as 0 like any other
    // text. std::from_chars does the conversion, so the process locale cannot interfere.
    const qsizetype size = argument.size();
    const auto at = [&](qsizetype i) -> char16_t {
        return i < size ? argument.at(i).unicode() : 0;
    };

    qsizetype i = 0;
    while (isCSpace(at(i)))
        ++i;

    bool negative = false;
    if (at(i) == u'+' || at(i) == u'-') {
        negative = at(i) == u'-';
        ++i;
    }

    std::string literal;
    qsizetype integerDigits = 0;
    while (isDecimalDigit(at(i))) {
        literal += char(at(i++));
        ++integerDigits;
    }
    qsizetype fractionDigits = 0;
    if (at(i) == u'.') {
        qsizetype j = i + 1;
        while (isDecimalDigit(at(j)))
            ++j;
        fractionDigits = j - i - 1;
        if (integerDigits + fractionDigits > 0) {
            literal += '.';
            for (qsizetype k = i + 1; k < j; ++k)
                literal += char(at(k));
            i = j;
        }
    }
    if (integerDigits + fractionDigits == 0)
        return 0.0;

    // The exponent counts only when at least one digit follows "e" and its sign: "1e" and
    // "1e+" read as 1.
    long long exponent = 0;
    if (at(i) == u'e' || at(i) == u'E') {
        qsizetype j = i + 1;
        bool negativeExponent = false;
        if (at(j) == u'+' || at(j) == u'-') {
            negativeExponent = at(j) == u'-';
            ++j;
        }
        if (isDecimalDigit(at(j))) {
            literal += 'e';
            if (negativeExponent)
                literal += '-';
            while (isDecimalDigit(at(j))) {
                // Saturate: only the order of magnitude matters once it is this large.
                if (exponent < 1'000'000'000)
                    exponent = exponent * 10 + (at(j) - u'0');
                literal += char(at(j++));
            }
            if (negativeExponent)
                exponent = -exponent;
        }
    }

    double value = 0.0;
    const auto [end, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), value,
                                           std::chars_format::general);
    Q_UNUSED(end);
    if (ec == std::errc::result_out_of_range) {
        // Like strtod(): overflow gives infinity, underflow zero. The decimal magnitude of the
        // first significant digit tells the two apart.
        long long magnitude = 0;
        const qsizetype firstNonZero = qsizetype(literal.find_first_not_of("0."));
        if (firstNonZero < integerDigits)
            magnitude = integerDigits - firstNonZero - 1;
        else
            magnitude = -(firstNonZero - integerDigits);
        value = magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc()) {
        value = 0.0;
    }
    return negative ? -value : value;
}

// QMOptionParser::booleanForArgument() of a number already read.
QVariant booleanForNumber(double number)
{
    const double integerPart = std::trunc(number);
    if (integerPart == 0.0 || integerPart == 1.0)
        return QVariant(number);
    return QVariant();
}

// Calls `function` with each piece of `text` between occurrences of `separator`, empty pieces
// included, like QString::split() with Qt::KeepEmptyParts but without making a list of copies.
// An empty separator occurs nowhere in the text: the whole text is the one piece.
template<typename Function>
void forEachPiece(QStringView text, QStringView separator, Function function)
{
    if (separator.isEmpty()) {
        function(text);
        return;
    }
    // Like split(), which makes an empty piece, not a null one, of a null text.
    if (text.isNull())
        text = QStringView(u"");
    qsizetype start = 0;
    qsizetype end = 0;
    while ((end = text.indexOf(separator, start)) != -1) {
        function(text.sliced(start, end - start));
        start = end + separator.size();
    }
    function(text.sliced(start));
}

} // namespace

QVariant QMOptionParser::valueForArgument(const QString &argument, const QMOption &option) const
{
    const quint64 type = option.type();
    if (option.hasListValue()) {
        const QStringView separator
                = d->listSeparator.isNull() ? QStringView(u",") : QStringView(d->listSeparator);
        if (type == QMOptionTypeStringList) {
            QStringList values;
            if (!separator.isEmpty())
                values.reserve(QStringView(argument).count(separator) + 1);
            forEachPiece(argument, separator,
                         [&](QStringView piece) { values.append(piece.trimmed().toString()); });
            return QVariant(values);
        }
        QList<double> values;
        forEachPiece(argument, separator,
                     [&](QStringView piece) { values.append(readNumber(piece.trimmed())); });
        return QVariant::fromValue(values);
    }

    switch (type) {
    case QMOptionTypeString:
        return QVariant(trimString(argument)); // shares the argument when there is nothing to trim
    case QMOptionTypeNumber:
        return QVariant(readNumber(QStringView(argument).trimmed()));
    case QMOptionTypeBoolean:
        return booleanForNumber(readNumber(QStringView(argument).trimmed()));
    default:
        return QVariant();
    }
}

double QMOptionParser::numberForArgument(const QString &argument)
{
    return readNumber(argument);
}

QVariant QMOptionParser::booleanForArgument(const QString &argument)
{
    return booleanForNumber(readNumber(argument));
}

QString QMOptionParser::trimString(const QString &string)
{
    // QString::trimmed() removes exactly the Unicode white-space and line-break characters.
    return string.trimmed();
}

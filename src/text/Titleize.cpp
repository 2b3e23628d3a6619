#include "text/Titleize.h"

#include <QStringView>

namespace Titleize {

namespace {

// Case tests and mappings work on whole code points so that letters outside the Basic
// Multilingual Plane (which take a surrogate pair) are treated like any other letter.
struct CodePoint
{
    char32_t value;
    qsizetype length;
};

CodePoint codePointAt(const QString &text, qsizetype index)
{
    const QChar c = text.at(index);
    if (c.isHighSurrogate() && index + 1 < text.size() && text.at(index + 1).isLowSurrogate())
        return {QChar::surrogateToUcs4(c, text.at(index + 1)), 2};
    return {c.unicode(), 1};
}

void appendCodePoint(QString &text, char32_t value)
{
    if (QChar::requiresSurrogates(value)) {
        text += QChar(QChar::highSurrogate(value));
        text += QChar(QChar::lowSurrogate(value));
    } else {
        text += QChar(char16_t(value));
    }
}

} // namespace

QString titleize(const QString &string)
{
    if (string.isEmpty())
        return string;

    // Pass 1: a space before every upper-case letter that follows a lower-case one.
    QString spaced;
    spaced.reserve(string.size() + string.size() / 4);
    bool previousIsLower = false;
    for (qsizetype i = 0; i < string.size();) {
        const CodePoint point = codePointAt(string, i);
        if (previousIsLower && QChar::isUpper(point.value))
            spaced += u' ';
        spaced += QStringView(string).mid(i, point.length);
        previousIsLower = QChar::isLower(point.value);
        i += point.length;
    }

    // Pass 2: capitalise word by word, words being separated by white space.
    QString result;
    result.reserve(spaced.size());
    bool atWordStart = true;
    for (qsizetype i = 0; i < spaced.size();) {
        const CodePoint point = codePointAt(spaced, i);
        if (QChar::isSpace(point.value)) {
            atWordStart = true;
            appendCodePoint(result, point.value);
        } else {
            // Simple one-to-one case mappings: a word's length never changes ("ß" stays "ß").
            appendCodePoint(result,
                            atWordStart ? QChar::toUpper(point.value)
                                        : QChar::toLower(point.value));
            atWordStart = false;
        }
        i += point.length;
    }
    return result;
}

} // namespace Titleize

#include <QMFoundation/text/Titleize.h>

#include "QMFoundation/text/QMCodePoint_p.h"

#include <QStringView>

namespace Titleize {

using QMCodePoint::append;
using QMCodePoint::at;

QString titleize(const QString &string)
{
    if (string.isEmpty())
        return string;

    // Pass 1: a space before every upper-case letter that follows a lower-case one.
    QString spaced;
    spaced.reserve(string.size() + string.size() / 4);
    bool previousIsLower = false;
    for (qsizetype i = 0; i < string.size();) {
        const QMCodePoint::CodePoint point = at(string, i);
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
        const QMCodePoint::CodePoint point = at(spaced, i);
        if (QChar::isSpace(point.value)) {
            atWordStart = true;
            append(result, point.value);
        } else {
            // Simple one-to-one case mappings: a word's length never changes ("ß" stays "ß").
            append(result, atWordStart ? QChar::toUpper(point.value) : QChar::toLower(point.value));
            atWordStart = false;
        }
        i += point.length;
    }
    return result;
}

} // namespace Titleize

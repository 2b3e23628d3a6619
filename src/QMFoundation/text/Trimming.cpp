#include <QMFoundation/text/Trimming.h>

#include "QMFoundation/text/QMCodePoint_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QStringBuilder>

namespace Trimming {

QString stringByTrimmingWhitespaceAndNewline(const QString &string)
{
    // QChar::isSpace() covers the Unicode white space and line break characters, including
    // U+0085, U+2028 and U+2029.
    return string.trimmed();
}

QString trimInTheMiddleWithMaxLength(const QString &string, quint64 maxLength)
{
    QMParameterAssert(maxLength >= 3, "maxLength >= 3");
    if (quint64(string.size()) <= maxLength)
        return string;
    // The tail keeps three more characters than the head, so the result is 2h + 6 characters:
    // two or three more than maxLength. Lengths count UTF-16 code units; a cut that would split
    // a surrogate pair moves one unit inward, so that the result is always valid UTF-16.
    const qsizetype half = qsizetype((maxLength - 3) / 2);
    qsizetype headEnd = half;
    if (QMCodePoint::cutSplitsPair(string, headEnd))
        --headEnd;
    qsizetype tailStart = string.size() - (half + 3);
    if (QMCodePoint::cutSplitsPair(string, tailStart))
        ++tailStart;
    return QStringView(string).left(headEnd) % QLatin1String("...")
            % QStringView(string).mid(tailStart);
}

} // namespace Trimming

#include "text/Trimming.h"

#include "errors/QMInternalInconsistencyException.h"

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
    // two or three more than maxLength. Lengths count UTF-16 code units.
    const qsizetype head = qsizetype((maxLength - 3) / 2);
    return string.left(head) + QStringLiteral("...") + string.right(head + 3);
}

} // namespace Trimming

#include "QMFoundation/errors/QMStringFormat_p.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMObjectDescribing.h>

namespace {

constexpr qsizetype MaximumArgumentCount = 10;

} // namespace

QString QMStringWithFormat(const QString &format, const QVariantList &arguments)
{
    QMAssert(arguments.size() <= MaximumArgumentCount,
             QStringLiteral("Only 10 string format arguments supported."));
    // Without values the format is not a format at all: "100%" must come back as it is.
    if (arguments.isEmpty())
        return format;

    QString result;
    result.reserve(format.size());
    qsizetype nextArgument = 0;
    const qsizetype length = format.size();
    for (qsizetype i = 0; i < length; ++i) {
        const QChar c = format.at(i);
        if (c != u'%' || i + 1 >= length) {
            result += c;
            continue;
        }
        const QChar directive = format.at(i + 1);
        if (directive == u'@') {
            result += nextArgument < arguments.size()
                    ? QMObjectDescribing::prettyDescriptionForObject(arguments.at(nextArgument++))
                    : QStringLiteral("(null)");
            ++i;
        } else if (directive == u'%') {
            result += u'%';
            ++i;
        } else {
            // Other conversions are not supported and stay in the text as written.
            result += c;
        }
    }
    return result;
}

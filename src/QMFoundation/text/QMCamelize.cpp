#include <QMFoundation/text/QMCamelize.h>

#include "QMFoundation/text/QMCodePoint_p.h"

namespace QMCamelize {

QString camelizedString(const QString &string)
{
    if (string.isEmpty())
        return string;
    // The whole first code point, so that a letter outside the Basic Multilingual Plane is
    // mapped as one and its surrogate pair is never split.
    return QMCodePoint::upperCasedFirst(string)
            + QStringView(string).mid(QMCodePoint::at(string, 0).length);
}

} // namespace QMCamelize

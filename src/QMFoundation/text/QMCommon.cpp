#include <QMFoundation/text/QMCommon.h>

namespace QMCommon {

bool isEmpty(const QString &string)
{
    return string.isEmpty();
}

bool isNotEmpty(const QString &string)
{
    return !string.isEmpty();
}

} // namespace QMCommon

#include <QMFoundation/text/QMStringRepresentations.h>

#include "QMFoundation/errors/QMNumberText_p.h"

namespace QMStringRepresentations {

QString stringForBoolean(bool value)
{
    return value ? QStringLiteral("YES") : QStringLiteral("NO");
}

QString stringForInteger(qint64 value)
{
    return QString::number(value);
}

QString stringForUnsignedInteger(quint64 value)
{
    return QString::number(value);
}

QString stringForDouble(double value)
{
    return QMNumberText::forDouble(value);
}

QString stringForFloat(float value)
{
    return QMNumberText::forFloat(value);
}

} // namespace QMStringRepresentations

#include <QMFoundation/text/QMFormat.h>

#include "QMFoundation/errors/QMStringFormat_p.h"

namespace QMFormat {

QString stringWithFormat(const QString &format, const QVariantList &arguments)
{
    return QMStringWithFormat(format, arguments);
}

} // namespace QMFormat

#include <QMFoundation/errors/QMNull.h>

QVariant QMNull()
{
    return QVariant::fromValue(nullptr);
}

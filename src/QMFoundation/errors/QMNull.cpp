#include <QMFoundation/errors/QMNull.h>

QVariant QMNull()
{
    return QVariant::fromValue(nullptr);
}

bool QMIsNull(const QVariant &value)
{
    return value.metaType() == QMetaType::fromType<std::nullptr_t>();
}

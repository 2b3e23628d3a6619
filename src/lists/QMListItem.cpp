#include "lists/QMListItem.h"

#include <QHash>

QMListItem::~QMListItem() = default;

bool QMListItem::isEqual(const QMListItem &other) const
{
    return this == &other;
}

size_t QMListItem::hash() const
{
    return qHash(static_cast<const void *>(this));
}

QString QMListItem::description() const
{
    return identifier();
}

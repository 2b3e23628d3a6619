#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/persistence/QMManagedObjectModel.h>

/// An entity made from its parts, for the model reader and for tests. Names are taken as they
/// are; the model reader checks them before.
QMF_STORAGE_EXPORT QMEntityDescription
QMMakeEntityDescription(const QString &name, const QList<QMAttributeDescription> &attributes);

/// An optional attribute of that name and type, without default or index.
inline QMAttributeDescription QMMakeAttributeDescription(const QString &name, QMAttributeType type)
{
    QMAttributeDescription attribute;
    attribute.name = name;
    attribute.type = type;
    return attribute;
}

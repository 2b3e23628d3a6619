#include <QMFoundation/persistence/QMManagedObject.h>

#include "QMFoundation/persistence/QMManagedObjectContext_p.h"
#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

using namespace Qt::StringLiterals;

QMManagedObject::QMManagedObject()
    : d(std::make_unique<Private>())
{ }

QMManagedObject::~QMManagedObject() = default;

const QMEntityDescription *QMManagedObject::entity() const
{
    return d->entity;
}

QMManagedObjectID QMManagedObject::objectID() const
{
    return d->id;
}

std::shared_ptr<QMManagedObjectContext> QMManagedObject::managedObjectContext() const
{
    return d->context.lock();
}

namespace {

qsizetype attributeIndex(const QMEntityDescription *entity, const QString &key)
{
    const qsizetype i = entity ? entity->indexOfAttribute(key) : -1;
    if (i < 0)
        throw QMInternalInconsistencyException(u"the entity %1 has no attribute %2"_s.arg(
                entity ? entity->name() : QString(), key));
    return i;
}

} // namespace

QVariant QMManagedObject::value(const QString &key) const
{
    const qsizetype i = attributeIndex(d->entity, key);
    if (d->fault)
        QMManagedObjectAccess::fireFault(*this);
    return d->values.value(i);
}

void QMManagedObject::setValue(const QString &key, const QVariant &value)
{
    const qsizetype i = attributeIndex(d->entity, key);
    QMError error;
    QVariant converted = d->entity->attributes().at(i).convertedValue(value, &error);
    if (!error.isNull())
        throw QMInternalInconsistencyException(error.localizedDescription());
    if (d->fault)
        QMManagedObjectAccess::fireFault(*this);
    QMManagedObjectAccess::setValueAt(*this, i, std::move(converted));
}

QVariantMap QMManagedObject::values() const
{
    QVariantMap map;
    if (!d->entity)
        return map;
    if (d->fault)
        QMManagedObjectAccess::fireFault(*this);
    for (qsizetype i = 0; i < d->entity->attributes().size(); ++i) {
        if (!QMPersistenceValue::isAbsent(QMPersistenceValue::valueAt(d->values, i)))
            map.insert(d->entity->attributes().at(i).name, d->values.at(i));
    }
    return map;
}

void QMManagedObject::setValues(const QVariantMap &values)
{
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        setValue(it.key(), it.value());
}

bool QMManagedObject::isFault() const
{
    return d->fault;
}

bool QMManagedObject::isInserted() const
{
    return d->inserted;
}

bool QMManagedObject::isUpdated() const
{
    return !d->inserted && !d->deleted && d->hasChangedValues();
}

bool QMManagedObject::isDeleted() const
{
    return d->deleted;
}

bool QMManagedObject::hasChanges() const
{
    return d->inserted || d->deleted || d->hasChangedValues();
}

QVariantMap QMManagedObject::changedValues() const
{
    QVariantMap map;
    if (!d->entity)
        return map;
    for (qsizetype i = 0; i < d->entity->attributes().size(); ++i) {
        if (d->isChanged(i))
            map.insert(d->entity->attributes().at(i).name, d->saved.value(i));
    }
    return map;
}

void QMManagedObject::refreshMergingChanges(bool mergeChanges)
{
    if (const auto context = d->context.lock())
        context->refreshObject(context->objectRegisteredForID(d->id), mergeChanges);
}

void QMManagedObject::destroy()
{
    if (const auto context = d->context.lock())
        context->deleteObject(context->objectRegisteredForID(d->id));
}

bool QMManagedObject::isDestroyed() const
{
    const auto context = d->context.lock();
    if (d->id.isNull() || !context)
        return true;
    if (!d->fault)
        return false;
    QMError error;
    QVariantList values;
    if (QMManagedObjectAccess::readParentRow(*context, *d->entity, d->id.number(), &values, &error))
        return false;
    return error.isNull();
}

bool QMManagedObject::save(QMError *error)
{
    const auto context = d->context.lock();
    if (!context) {
        if (error)
            *error = QMStoreBackends::makeError(QMPersistentStoreSaveError,
                                                u"The object is in no context."_s);
        return false;
    }
    return context->save(error);
}

std::shared_ptr<QMManagedObject> QMManagedObject::createInMemoryForEntityName(
        const QString &entityName, const std::shared_ptr<const QMManagedObjectModel> &model)
{
    const QMEntityDescription *entity = model ? model->entityForName(entityName) : nullptr;
    if (!entity)
        throw QMInternalInconsistencyException(u"the model has no entity %1"_s.arg(entityName));
    return QMManagedObjectAccess::instantiateNew(model, *entity);
}

std::shared_ptr<QMManagedObject>
QMManagedObjectAccess::instantiateNew(const std::shared_ptr<const QMManagedObjectModel> &model,
                                      const QMEntityDescription &entity)
{
    auto object = instantiate(model, entity);
    QMManagedObject::Private &s = *object->d;
    s.values = entity.m_defaultValues;
    s.saved = entity.m_absentValues;
    return object;
}

std::shared_ptr<QMManagedObject>
QMManagedObjectAccess::instantiate(const std::shared_ptr<const QMManagedObjectModel> &model,
                                   const QMEntityDescription &entity)
{
    return instantiate(model, entity, QMManagedObjectClassForEntityName(entity.name()));
}

std::shared_ptr<QMManagedObject>
QMManagedObjectAccess::instantiate(const std::shared_ptr<const QMManagedObjectModel> &model,
                                   const QMEntityDescription &entity, const QMetaObject *metaObject)
{
    QMManagedObject *object = nullptr;
    if (metaObject) {
        QObject *made = metaObject->newInstance();
        if (!made)
            // The formatting writes "QObject *"; Qt normalises the type's name when invoking.
            made = metaObject->newInstance(
                    Q_ARG(QObject *, nullptr)); // clazy:exclude=connect-not-normalized
        object = qobject_cast<QMManagedObject *>(made);
        if (!object)
            delete made;
    }
    // A plain object shares one allocation with its reference count.
    std::shared_ptr<QMManagedObject> shared = object ? std::shared_ptr<QMManagedObject>(object)
                                                     : std::make_shared<QMManagedObject>();
    shared->d->model = model;
    shared->d->entity = &entity;
    return shared;
}

void QMManagedObjectAccess::fireFault(const QMManagedObject &o)
{
    QMManagedObject::Private &s = *o.d;
    s.fault = false;
    const auto context = s.context.lock();
    if (!context)
        return;
    QVariantList values;
    QMError error;
    if (readParentRow(*context, *s.entity, s.id.number(), &values, &error)) {
        s.values = values;
        s.saved = values;
        s.changed.clear();
    }
}

void QMManagedObjectAccess::setValueAt(QMManagedObject &o, qsizetype index, QVariant converted)
{
    QMManagedObject::Private &s = *o.d;
    const QMAttributeType type = s.entity->attributes().at(index).type;
    if (!QMPersistenceValue::differs(s.values.at(index), converted, type))
        return;
    QVariant &value = s.values[index];
    value = std::move(converted);
    const bool differs
            = QMPersistenceValue::differs(QMPersistenceValue::valueAt(s.saved, index), value, type);
    const bool wasChanged = s.hasChangedValues();
    s.setChanged(index, differs);
    if (wasChanged != s.hasChangedValues()) {
        if (const auto context = s.context.lock())
            noteChange(*context, o);
    }
    Q_EMIT o.valueChanged(s.entity->attributes().at(index).name);
}

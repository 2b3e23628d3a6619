#pragma once

// The templates of QMManagedObject.h; included at its end.

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <QMetaObject>

namespace QMManagedObjectDetail {

/// T's entity name, registering T as its class on first use.
template<typename T>
QString entityName()
{
    static const bool registered = (QMRegisterManagedObjectClass(&T::staticMetaObject), true);
    Q_UNUSED(registered);
    return QString::fromLatin1(T::staticMetaObject.className());
}

template<typename T>
QList<std::shared_ptr<T>> cast(const QList<std::shared_ptr<QMManagedObject>> &objects)
{
    QList<std::shared_ptr<T>> list;
    list.reserve(objects.size());
    for (const auto &object : objects) {
        // Objects fetched before T was registered are plain QMManagedObjects; they are not Ts.
        if (auto typed = std::dynamic_pointer_cast<T>(object))
            list.append(std::move(typed));
    }
    return list;
}

template<typename T>
std::shared_ptr<T> cast(const std::shared_ptr<QMManagedObject> &object)
{
    return std::dynamic_pointer_cast<T>(object);
}

/// The main context of the default store; throws when there is none.
inline std::shared_ptr<QMManagedObjectContext> requireMainContext()
{
    auto context = QMManagedObjectContext::mainContext();
    if (!context)
        throw QMInternalInconsistencyException(QStringLiteral(
                "No main context: set up the default store and register its main context first"));
    return context;
}

} // namespace QMManagedObjectDetail

template<typename T>
qsizetype QMManagedObject::countAll(const std::shared_ptr<QMManagedObjectContext> &context,
                                    QMError *error)
{
    return context->countForFetchRequest(QMFetchRequest(QMManagedObjectDetail::entityName<T>()),
                                         error);
}

template<typename T>
qsizetype
QMManagedObject::countAllWithPredicate(const QMPredicate &predicate,
                                       const std::shared_ptr<QMManagedObjectContext> &context,
                                       QMError *error)
{
    QMFetchRequest request(QMManagedObjectDetail::entityName<T>());
    request.setPredicate(predicate);
    return context->countForFetchRequest(request, error);
}

template<typename T>
QList<std::shared_ptr<T>>
QMManagedObject::fetchAll(const std::shared_ptr<QMManagedObjectContext> &context, QMError *error)
{
    return fetchAllWithPredicate<T>(QMPredicate(), {}, 0, true, context, error);
}

template<typename T>
QList<std::shared_ptr<T>>
QMManagedObject::fetchAllWithSortDescriptors(const QList<QMFetchSortDescriptor> &sortDescriptors,
                                             const std::shared_ptr<QMManagedObjectContext> &context,
                                             QMError *error)
{
    return fetchAllWithPredicate<T>(QMPredicate(), sortDescriptors, 0, true, context, error);
}

template<typename T>
QList<std::shared_ptr<T>> QMManagedObject::fetchAllWithPredicate(
        const QMPredicate &predicate, const QList<QMFetchSortDescriptor> &sortDescriptors,
        qsizetype limit, bool includesPropertyValues,
        const std::shared_ptr<QMManagedObjectContext> &context, QMError *error)
{
    QMFetchRequest request(QMManagedObjectDetail::entityName<T>());
    request.setPredicate(predicate);
    request.setSortDescriptors(sortDescriptors);
    request.setFetchLimit(limit);
    request.setIncludesPropertyValues(includesPropertyValues);
    return QMManagedObjectDetail::cast<T>(context->executeFetchRequest(request, error));
}

template<typename T>
QList<std::shared_ptr<T>> QMManagedObject::fetchAllWithPredicate(
        const QMPredicate &predicate, const QList<QMFetchSortDescriptor> &sortDescriptors,
        qsizetype limit, const std::shared_ptr<QMManagedObjectContext> &context, QMError *error)
{
    return fetchAllWithPredicate<T>(predicate, sortDescriptors, limit, true, context, error);
}

template<typename T>
QList<std::shared_ptr<T>> QMManagedObject::fetchAllWithPredicate(
        const QMPredicate &predicate, const QList<QMFetchSortDescriptor> &sortDescriptors,
        const std::shared_ptr<QMManagedObjectContext> &context, QMError *error)
{
    return fetchAllWithPredicate<T>(predicate, sortDescriptors, 0, true, context, error);
}

template<typename T>
std::shared_ptr<T>
QMManagedObject::fetchFirstWithPredicate(const QMPredicate &predicate,
                                         const std::shared_ptr<QMManagedObjectContext> &context,
                                         QMError *error)
{
    const auto list = fetchAllWithPredicate<T>(predicate, {}, 1, true, context, error);
    return list.isEmpty() ? nullptr : list.first();
}

template<typename T>
std::shared_ptr<T>
QMManagedObject::fetchFirstByAttribute(const QString &attribute, const QVariant &value,
                                       const std::shared_ptr<QMManagedObjectContext> &context,
                                       QMError *error)
{
    return fetchFirstWithPredicate<T>(QMPredicate::predicateWithKeyValue(attribute, value), context,
                                      error);
}

template<typename T>
std::shared_ptr<T>
QMManagedObject::managedObjectWithObjectID(const QMManagedObjectID &objectID,
                                           const std::shared_ptr<QMManagedObjectContext> &context)
{
    QMManagedObjectDetail::entityName<T>();
    return QMManagedObjectDetail::cast<T>(context->existingObjectWithID(objectID));
}

template<typename T>
std::shared_ptr<T> QMManagedObject::createWithManagedObjectContext(
        const std::shared_ptr<QMManagedObjectContext> &context)
{
    return QMManagedObjectDetail::cast<T>(
            context->insertNewObjectForEntityForName(QMManagedObjectDetail::entityName<T>()));
}

template<typename T>
std::shared_ptr<T> QMManagedObject::createWithManagedObjectContext(
        const std::shared_ptr<QMManagedObjectContext> &context, const QVariantMap &attributes)
{
    auto object = createWithManagedObjectContext<T>(context);
    if (object)
        object->setValues(attributes);
    return object;
}

template<typename T>
qsizetype QMManagedObject::countAll(QMError *error)
{
    return countAll<T>(QMManagedObjectDetail::requireMainContext(), error);
}

template<typename T>
qsizetype QMManagedObject::countAllWithPredicate(const QMPredicate &predicate, QMError *error)
{
    return countAllWithPredicate<T>(predicate, QMManagedObjectDetail::requireMainContext(), error);
}

template<typename T>
QList<std::shared_ptr<T>> QMManagedObject::fetchAll(QMError *error)
{
    return fetchAll<T>(QMManagedObjectDetail::requireMainContext(), error);
}

template<typename T>
QList<std::shared_ptr<T>>
QMManagedObject::fetchAllWithSortDescriptors(const QList<QMFetchSortDescriptor> &sortDescriptors,
                                             QMError *error)
{
    return fetchAllWithSortDescriptors<T>(sortDescriptors,
                                          QMManagedObjectDetail::requireMainContext(), error);
}

template<typename T>
QList<std::shared_ptr<T>>
QMManagedObject::fetchAllWithPredicate(const QMPredicate &predicate,
                                       const QList<QMFetchSortDescriptor> &sortDescriptors,
                                       QMError *error)
{
    return fetchAllWithPredicate<T>(predicate, sortDescriptors,
                                    QMManagedObjectDetail::requireMainContext(), error);
}

template<typename T>
std::shared_ptr<T> QMManagedObject::fetchFirstWithPredicate(const QMPredicate &predicate,
                                                            QMError *error)
{
    return fetchFirstWithPredicate<T>(predicate, QMManagedObjectDetail::requireMainContext(),
                                      error);
}

template<typename T>
std::shared_ptr<T> QMManagedObject::fetchFirstByAttribute(const QString &attribute,
                                                          const QVariant &value, QMError *error)
{
    return fetchFirstByAttribute<T>(attribute, value, QMManagedObjectDetail::requireMainContext(),
                                    error);
}

template<typename T>
std::shared_ptr<T> QMManagedObject::managedObjectWithObjectID(const QMManagedObjectID &objectID)
{
    return managedObjectWithObjectID<T>(objectID, QMManagedObjectDetail::requireMainContext());
}

template<typename T>
std::shared_ptr<T> QMManagedObject::create()
{
    return createWithManagedObjectContext<T>(QMManagedObjectDetail::requireMainContext());
}

template<typename T>
std::shared_ptr<T> QMManagedObject::createWithAttributes(const QVariantMap &attributes)
{
    return createWithManagedObjectContext<T>(QMManagedObjectDetail::requireMainContext(),
                                             attributes);
}

template<typename T>
std::shared_ptr<T> QMManagedObject::createInMemory()
{
    const auto context = QMManagedObjectDetail::requireMainContext();
    return QMManagedObjectDetail::cast<T>(createInMemoryForEntityName(
            QMManagedObjectDetail::entityName<T>(),
            context->persistentStoreCoordinator()->managedObjectModel()));
}

template<typename T>
std::shared_ptr<T> QMManagedObject::createInMemoryWithAttributes(const QVariantMap &attributes)
{
    auto object = createInMemory<T>();
    if (object)
        object->setValues(attributes);
    return object;
}

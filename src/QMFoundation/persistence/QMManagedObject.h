#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/persistence/QMFetchRequest.h>
#include <QMFoundation/persistence/QMManagedObjectID.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>

#include <QList>
#include <QObject>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <optional>

class QMManagedObjectContext;

/// An object of the store: an entity's attribute values, an identifier and the context it lives
/// in.
///
/// Model classes derive from it; the class name is the entity name and the attributes are
/// Q_PROPERTYs whose accessors go through value() and setValue():
///
///     class Person : public QMManagedObject {
///         Q_OBJECT
///         Q_PROPERTY(QString name READ name WRITE setName)
///     public:
///         Q_INVOKABLE Person() = default;
///         QString name() const { return value(u"name"_s).toString(); }
///         void setName(const QString &name) { setValue(u"name"_s, name); }
///     };
///
/// Objects of entities without a registered class are plain QMManagedObjects, read and written
/// with value() and setValue() alone. Objects are owned through std::shared_ptr (they have no
/// QObject parent); their context keeps those registered in it alive until they are deleted and
/// saved, or the context is reset. An object is used on its context's thread.
class QMF_STORAGE_EXPORT QMManagedObject : public QObject
{
    Q_OBJECT

public:
    /// An object of no entity, in no context; the context gives it its entity when it makes or
    /// fetches it. Model classes call this from their Q_INVOKABLE constructor.
    Q_INVOKABLE QMManagedObject();
    ~QMManagedObject() override;

    /// The entity, or nullptr for an object not made by a context or createInMemory().
    const QMEntityDescription *entity() const;
    /// Null until the object is inserted into a context.
    QMManagedObjectID objectID() const;
    /// The context, or nullptr when it is gone or the object was never inserted.
    std::shared_ptr<QMManagedObjectContext> managedObjectContext() const;

    /// The attribute's value (of its type, or an invalid QVariant for none); reading a fault
    /// first loads its values from the store. Throws QMInternalInconsistencyException
    /// "the entity ENTITY has no attribute KEY" for a name that is not the entity's.
    QVariant value(const QString &key) const;
    /// Sets the attribute's value, converted to its type (QMAttributeDescription::
    /// convertedValue()); a value that does not convert throws QMInternalInconsistencyException
    /// with the conversion's message, and so does a key that is not the entity's. Emits
    /// valueChanged(key) when the value changed.
    void setValue(const QString &key, const QVariant &value);
    /// Every attribute's value by name (absent ones left out).
    QVariantMap values() const;
    /// setValue() for each entry.
    void setValues(const QVariantMap &values);

    /// True for an object whose values have not been read yet (fetched without property values,
    /// or turned back into a fault by a refresh).
    bool isFault() const;
    /// True for an object inserted into its context and not yet saved.
    bool isInserted() const;
    /// True for an object whose values changed since it was last saved or fetched.
    bool isUpdated() const;
    /// True for an object deleted in its context and not yet saved.
    bool isDeleted() const;
    /// True when the object is inserted, updated or deleted.
    bool hasChanges() const;
    /// The values as last saved or fetched, for the attributes that changed since.
    QVariantMap changedValues() const;

    // The store's class-level helpers. The entity of T is T's class name; T is registered as
    // its class (QMRegisterManagedObjectClass()) on first use. The forms without a context use
    // the main context of the default store (QMManagedObjectContext::mainContext()) and fail
    // with QMInternalInconsistencyException when there is none. Fetches and counts return -1 /
    // an empty list / nullptr with the error on failure. An object keeps the class it was made
    // with: one a context made as a plain QMManagedObject before T was registered is not a T,
    // and the fetches leave it out; register model classes at start-up when contexts are also
    // used without the templates.

    /// The number of T objects in `context`.
    template<typename T>
    static qsizetype countAll(const std::shared_ptr<QMManagedObjectContext> &context,
                              QMError *error = nullptr);
    /// The number of T objects in `context` that match `predicate`.
    template<typename T>
    static qsizetype countAllWithPredicate(const QMPredicate &predicate,
                                           const std::shared_ptr<QMManagedObjectContext> &context,
                                           QMError *error = nullptr);
    /// Every T object in `context`, in the store's order.
    template<typename T>
    static QList<std::shared_ptr<T>>
    fetchAll(const std::shared_ptr<QMManagedObjectContext> &context, QMError *error = nullptr);
    /// Every T object in `context`, in the order of `sortDescriptors`.
    template<typename T>
    static QList<std::shared_ptr<T>>
    fetchAllWithSortDescriptors(const QList<QMFetchSortDescriptor> &sortDescriptors,
                                const std::shared_ptr<QMManagedObjectContext> &context,
                                QMError *error = nullptr);
    /// A limit of 0 is no limit.
    template<typename T>
    static QList<std::shared_ptr<T>> fetchAllWithPredicate(
            const QMPredicate &predicate, const QList<QMFetchSortDescriptor> &sortDescriptors,
            qsizetype limit, bool includesPropertyValues,
            const std::shared_ptr<QMManagedObjectContext> &context, QMError *error = nullptr);
    /// fetchAllWithPredicate() with property values.
    template<typename T>
    static QList<std::shared_ptr<T>>
    fetchAllWithPredicate(const QMPredicate &predicate,
                          const QList<QMFetchSortDescriptor> &sortDescriptors, qsizetype limit,
                          const std::shared_ptr<QMManagedObjectContext> &context,
                          QMError *error = nullptr);
    /// fetchAllWithPredicate() without a limit, with property values.
    template<typename T>
    static QList<std::shared_ptr<T>> fetchAllWithPredicate(
            const QMPredicate &predicate, const QList<QMFetchSortDescriptor> &sortDescriptors,
            const std::shared_ptr<QMManagedObjectContext> &context, QMError *error = nullptr);
    /// The first T object in `context` that matches `predicate`, or nullptr.
    template<typename T>
    static std::shared_ptr<T>
    fetchFirstWithPredicate(const QMPredicate &predicate,
                            const std::shared_ptr<QMManagedObjectContext> &context,
                            QMError *error = nullptr);
    /// The first object whose `attribute` equals `value` ("%K = %@").
    template<typename T>
    static std::shared_ptr<T>
    fetchFirstByAttribute(const QString &attribute, const QVariant &value,
                          const std::shared_ptr<QMManagedObjectContext> &context,
                          QMError *error = nullptr);
    /// The object of that identifier in the context (existingObjectWithID()), or nullptr.
    template<typename T>
    static std::shared_ptr<T>
    managedObjectWithObjectID(const QMManagedObjectID &objectID,
                              const std::shared_ptr<QMManagedObjectContext> &context);
    /// A new object of T's entity inserted into `context`.
    template<typename T>
    static std::shared_ptr<T>
    createWithManagedObjectContext(const std::shared_ptr<QMManagedObjectContext> &context);
    /// A new object with its values set from `attributes` (setValues()).
    template<typename T>
    static std::shared_ptr<T>
    createWithManagedObjectContext(const std::shared_ptr<QMManagedObjectContext> &context,
                                   const QVariantMap &attributes);

    // The same on the main context of the default store.
    /// countAll() on the main context.
    template<typename T>
    static qsizetype countAll(QMError *error = nullptr);
    /// countAllWithPredicate() on the main context.
    template<typename T>
    static qsizetype countAllWithPredicate(const QMPredicate &predicate, QMError *error = nullptr);
    /// fetchAll() on the main context.
    template<typename T>
    static QList<std::shared_ptr<T>> fetchAll(QMError *error = nullptr);
    /// fetchAllWithSortDescriptors() on the main context.
    template<typename T>
    static QList<std::shared_ptr<T>>
    fetchAllWithSortDescriptors(const QList<QMFetchSortDescriptor> &sortDescriptors,
                                QMError *error = nullptr);
    /// fetchAllWithPredicate() without a limit, on the main context.
    template<typename T>
    static QList<std::shared_ptr<T>>
    fetchAllWithPredicate(const QMPredicate &predicate,
                          const QList<QMFetchSortDescriptor> &sortDescriptors,
                          QMError *error = nullptr);
    /// fetchFirstWithPredicate() on the main context.
    template<typename T>
    static std::shared_ptr<T> fetchFirstWithPredicate(const QMPredicate &predicate,
                                                      QMError *error = nullptr);
    /// fetchFirstByAttribute() on the main context.
    template<typename T>
    static std::shared_ptr<T> fetchFirstByAttribute(const QString &attribute, const QVariant &value,
                                                    QMError *error = nullptr);
    /// managedObjectWithObjectID() on the main context.
    template<typename T>
    static std::shared_ptr<T> managedObjectWithObjectID(const QMManagedObjectID &objectID);
    /// createWithManagedObjectContext() on the main context.
    template<typename T>
    static std::shared_ptr<T> create();
    /// createWithManagedObjectContext() with attributes, on the main context.
    template<typename T>
    static std::shared_ptr<T> createWithAttributes(const QVariantMap &attributes);
    /// A new object of T's entity (looked up in the main context's model) in no context.
    template<typename T>
    static std::shared_ptr<T> createInMemory();
    /// createInMemory() with its values set from `attributes` (setValues()).
    template<typename T>
    static std::shared_ptr<T> createInMemoryWithAttributes(const QVariantMap &attributes);

    /// A new object of the entity `entityName` of `model`, with the attributes' default values,
    /// in no context (QMManagedObjectContext::insertObject() adds it to one). Of the entity's
    /// registered class, else a plain QMManagedObject. Throws QMInternalInconsistencyException
    /// "the model has no entity NAME" for an unknown entity. The templates build on it.
    static std::shared_ptr<QMManagedObject>
    createInMemoryForEntityName(const QString &entityName,
                                const std::shared_ptr<const QMManagedObjectModel> &model);

    /// Re-reads the object's values from the store (refreshObject()).
    void refreshMergingChanges(bool mergeChanges);
    /// Deletes the object from its context (deleteObject()); nothing happens without a context.
    void destroy();
    /// True when the object has no identifier or no context; for a fault, true only when its
    /// context cannot find it (existingObjectWithID() fails with
    /// QMManagedObjectReferentialIntegrityError); false otherwise.
    bool isDestroyed() const;
    /// Saves the object's context; false with an error when there is none or the save fails.
    bool save(QMError *error = nullptr);

Q_SIGNALS:
    /// Emitted by setValue() when the value of the attribute `key` changed.
    void valueChanged(const QString &key);

private:
    friend class QMManagedObjectContext;
    friend class QMManagedObjectAccess;
    class Private;
    std::unique_ptr<Private> d;
};

#include <QMFoundation/persistence/QMManagedObject_impl.h>

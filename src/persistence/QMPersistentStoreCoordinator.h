#pragma once

#include "QMFoundationStorageExport.h"

#include "errors/QMError.h"
#include "persistence/QMManagedObjectID.h"

#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <memory>

class QMManagedObjectModel;

/// The store types: a SQLite database, one XML file, or memory only.
QMF_STORAGE_EXPORT extern const QString QMSQLiteStoreType; // "SQLite"
QMF_STORAGE_EXPORT extern const QString QMXMLStoreType; // "XML"
QMF_STORAGE_EXPORT extern const QString QMInMemoryStoreType; // "InMemory"

/// A store added to a coordinator: its type, URL and options. The store itself is reached
/// through contexts.
class QMF_STORAGE_EXPORT QMPersistentStore
{
public:
    virtual ~QMPersistentStore();
    QString type() const;
    /// The store's file URL; an empty QUrl for an in-memory store.
    QUrl URL() const;
    QVariantMap options() const;
    /// The UUID text kept in the store, which object identifiers carry.
    QString identifier() const;

protected:
    QMPersistentStore(const QString &type, const QUrl &url, const QVariantMap &options);

private:
    QString m_type;
    QUrl m_url;
    QVariantMap m_options;

protected:
    QString m_identifier;
};

/// Joins a model to its store: contexts on the coordinator fetch from and save to the store.
///
/// SQLite stores keep one table per entity (a column per attribute, an index per indexed
/// attribute) in WAL journal mode, so the "-wal" and "-shm" files sit beside the database while
/// it is open; every value is a bound parameter. The schema is made on first use and checked at
/// every opening: a store made for another model is QMPersistentStoreIncompatibleSchemaError.
/// XML stores read the whole file when added and write it whole through QSaveFile at each save.
/// In-memory stores keep their objects until the coordinator goes.
///
/// A coordinator may be shared by contexts on several threads: it serialises their access to
/// the store. One coordinator holds one store.
class QMF_STORAGE_EXPORT QMPersistentStoreCoordinator
{
public:
    /// A coordinator for `model` without a store yet; nullptr for a null model.
    static std::shared_ptr<QMPersistentStoreCoordinator>
    coordinatorWithManagedObjectModel(const std::shared_ptr<const QMManagedObjectModel> &model);
    ~QMPersistentStoreCoordinator();
    QMPersistentStoreCoordinator(const QMPersistentStoreCoordinator &) = delete;
    QMPersistentStoreCoordinator &operator=(const QMPersistentStoreCoordinator &) = delete;

    std::shared_ptr<const QMManagedObjectModel> managedObjectModel() const;

    /// Opens (or makes) the store of `storeType` at `storeURL` (a file URL; ignored for the
    /// in-memory type) and adds it. `configuration` must be null or empty (models have one
    /// configuration). nullptr with an error: an unknown type or a second store
    /// (QMPersistentStoreInvalidTypeError), a missing file URL, a file that cannot be read or
    /// made (QMFileReadUnknownError), a damaged file (QMFileReadCorruptFileError), another
    /// model's store (QMPersistentStoreIncompatibleSchemaError).
    std::shared_ptr<QMPersistentStore> addPersistentStoreWithType(const QString &storeType,
                                                                  const QString &configuration,
                                                                  const QUrl &storeURL,
                                                                  const QVariantMap &options,
                                                                  QMError *error = nullptr);
    /// The store, or nullptr before one is added.
    std::shared_ptr<QMPersistentStore> persistentStore() const;
    /// Closes the store (the SQLite file's "-wal" and "-shm" files go with the last
    /// connection). Contexts on the coordinator then fail to fetch and save.
    bool removePersistentStore(const std::shared_ptr<QMPersistentStore> &store,
                               QMError *error = nullptr);
    /// The identifier a URIRepresentation() names, when it is of this coordinator's store.
    QMManagedObjectID managedObjectIDForURIRepresentation(const QUrl &url) const;

    // The store's helpers.

    /// A coordinator for `model` with a store of `storeType` at `storeURL` (made after its
    /// directory, createDirectoryIfNeededForStoreAtURL(), except for the in-memory type), or
    /// nullptr with the error. Throws QMInternalInconsistencyException for a null model or
    /// type, for a missing URL of a type that needs one, and "Could not create persistent store
    /// coordinator" when no coordinator can be made.
    static std::shared_ptr<QMPersistentStoreCoordinator>
    persistentStoreCoordinatorWithManagedObjectModel(
            const std::shared_ptr<const QMManagedObjectModel> &model, const QString &storeType,
            const QUrl &storeURL, const QVariantMap &options, QMError *error = nullptr);
    /// Makes the directory of the store file, with every missing parent, unless something
    /// exists at that path; false with the error when it cannot be made.
    static bool createDirectoryIfNeededForStoreAtURL(const QUrl &storeURL,
                                                     QMError *error = nullptr);

private:
    class Private;
    friend class QMPersistentStoreAccess;
    QMPersistentStoreCoordinator();
    std::unique_ptr<Private> d;
};

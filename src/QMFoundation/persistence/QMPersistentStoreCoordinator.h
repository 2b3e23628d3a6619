#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/persistence/QMManagedObjectID.h>

#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <memory>

class QMManagedObjectModel;

/// The store types: a SQLite database, one XML file, or memory only.
QMF_STORAGE_EXPORT extern const QString QMSQLiteStoreType; // "SQLite"
/// "XML": the objects in one XML file.
QMF_STORAGE_EXPORT extern const QString QMXMLStoreType; // "XML"
/// "InMemory": the objects in memory only, never written to a file.
QMF_STORAGE_EXPORT extern const QString QMInMemoryStoreType; // "InMemory"

/// Store option: how long, in seconds (a number; 5 when not given), a store waits for another
/// process that holds it (a SQLite write transaction, an XML store file's lock) before the
/// operation fails with QMPersistentStoreTimeoutError.
QMF_STORAGE_EXPORT extern const QString
        QMPersistentStoreTimeoutOption; // "QMPersistentStoreTimeout"

/// The largest XML store file: a save that would write a larger one fails before anything is
/// written, and a larger file is not read (QMFileReadTooLargeError).
inline constexpr qint64 QMXMLStoreMaximumFileSize = 256 * 1024 * 1024;

/// A store added to a coordinator: its type, URL and options. The store itself is reached
/// through contexts.
class QMF_STORAGE_EXPORT QMPersistentStore
{
public:
    virtual ~QMPersistentStore();
    /// The store type, such as QMSQLiteStoreType.
    QString type() const;
    /// The store's file URL; an empty QUrl for an in-memory store.
    QUrl URL() const;
    /// The options the store was added with.
    QVariantMap options() const;
    /// The UUID text kept in the store, which object identifiers carry.
    QString identifier() const;

protected:
    /// A store of `type` at `url` with `options`; made by the coordinator.
    QMPersistentStore(const QString &type, const QUrl &url, const QVariantMap &options);

private:
    QString m_type;
    QUrl m_url;
    QVariantMap m_options;

protected:
    /// The UUID text identifier() returns, set by the store when it opens.
    QString m_identifier;
};

/// Joins a model to its store: contexts on the coordinator fetch from and save to the store.
///
/// SQLite stores keep one table per entity (a column per attribute, an index per indexed
/// attribute) in WAL journal mode, so the "-wal" and "-shm" files sit beside the database while
/// it is open; every value is a bound parameter. The schema is made on first use and checked at
/// every opening: a store made for another model is QMPersistentStoreIncompatibleSchemaError.
/// XML stores read the whole file when added (and again when another process replaced it) and
/// write it whole at each save, as a new file renamed over the old one. In-memory stores keep
/// their objects until the coordinator goes.
///
/// A coordinator may be shared by contexts on several threads: it serialises their access to
/// the store. One coordinator holds one store.
///
/// Several coordinators, in one process or several, may share a SQLite or XML store file:
/// - Every save is whole or absent, for every reader, also when its process is killed.
/// - Object numbers are taken inside the save (the SQLite write transaction; the XML file's
///   exclusive lock), so concurrent inserts never collide.
/// - A save never overwrites another's: an object that another coordinator saved or deleted
///   since this context read it fails the save with QMManagedObjectMergeError, and nothing of
///   the save is written (refresh the objects and save again). An XML store merges everything
///   else: a save that finds the file replaced by another process reads it again and applies
///   its changes to what is there now.
/// - A store held by another process's save is waited for up to QMPersistentStoreTimeoutOption;
///   then the operation fails with QMPersistentStoreTimeoutError and can be tried again.
/// - Readers see other processes' saves: SQLite at each fetch, an XML store at the next fetch,
///   count or read after the file was replaced.
/// Locks are the kernel's (SQLite's own; flock(2) on the XML file), so a killed process leaves
/// none behind, and reading an XML store needs no write access to its directory.
class QMF_STORAGE_EXPORT QMPersistentStoreCoordinator
{
public:
    /// A coordinator for `model` without a store yet; nullptr for a null model.
    static std::shared_ptr<QMPersistentStoreCoordinator>
    coordinatorWithManagedObjectModel(const std::shared_ptr<const QMManagedObjectModel> &model);
    ~QMPersistentStoreCoordinator();
    QMPersistentStoreCoordinator(const QMPersistentStoreCoordinator &) = delete;
    QMPersistentStoreCoordinator &operator=(const QMPersistentStoreCoordinator &) = delete;

    /// The model the coordinator's store holds objects of.
    std::shared_ptr<const QMManagedObjectModel> managedObjectModel() const;

    /// Opens (or makes) the store of `storeType` at `storeURL` (a file URL; ignored for the
    /// in-memory type) and adds it. `configuration` must be null or empty (models have one
    /// configuration). nullptr with an error: an unknown type or a second store
    /// (QMPersistentStoreInvalidTypeError), a missing file URL, a file that cannot be read or
    /// made (QMFileReadUnknownError; QMFileReadNoPermissionError and
    /// QMFileWriteNoPermissionError for want of permission; QMFileReadTooLargeError for an XML
    /// file over QMXMLStoreMaximumFileSize), a damaged file (QMFileReadCorruptFileError),
    /// another model's store (QMPersistentStoreIncompatibleSchemaError), a store another process
    /// kept locked (QMPersistentStoreTimeoutError). Errors about files name the path under
    /// QMFilePathErrorKey.
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
    /// The identifier a URIRepresentation() names, when it is a permanent identifier of this
    /// coordinator's store; a null one otherwise (temporary identifiers included).
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

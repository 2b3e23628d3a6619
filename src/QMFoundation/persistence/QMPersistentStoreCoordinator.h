#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/persistence/QMManagedObjectID.h>

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>

class QMKeychain;
class QMManagedObjectModel;

/// The store types: a SQLite database, one XML file, or memory only.
QMF_STORAGE_EXPORT extern const QString QMSQLiteStoreType; // "SQLite"
/// "XML": the objects in one XML file.
QMF_STORAGE_EXPORT extern const QString QMXMLStoreType; // "XML"
/// "InMemory": the objects in memory only, never written to a file.
QMF_STORAGE_EXPORT extern const QString QMInMemoryStoreType; // "InMemory"
/// "PostgreSQL": the objects in a schema of a PostgreSQL database, which many processes and
/// machines may share. The store URL is `postgresql://USER@HOST:PORT/DATABASE?schema=NAME`
/// (`host=DIRECTORY` as a query item names a Unix socket's directory instead of a host).
QMF_STORAGE_EXPORT extern const QString QMPostgreSQLStoreType; // "PostgreSQL"

/// Gives the password for a PostgreSQL server: called with the store URL's server part
/// (`postgresql://USER@HOST:PORT/DATABASE`, or with `?host=DIRECTORY` for a Unix socket; never
/// the schema), so a provider can tell which server and user it answers for. A null QString
/// means no password.
using QMPostgreSQLPasswordProvider = std::function<QString(const QUrl &server)>;
Q_DECLARE_METATYPE(QMPostgreSQLPasswordProvider)

/// Store option of PostgreSQL stores: a QMPostgreSQLPasswordProvider (in a QVariant, by
/// QVariant::fromValue()) that gives the server's password. It is called once each time the store
/// is added, before the coordinator takes its lock, and the password is kept by the store only
/// to connect again: it is not among the store's options and no description or error shows it.
/// A store URL holding a password is refused.
QMF_STORAGE_EXPORT extern const QString
        QMPostgreSQLPasswordProviderOption; // "QMPostgreSQLPasswordProvider"

/// A QMPostgreSQLPasswordProvider that reads the password from `keychain` (null: the user's
/// default keychain): the generic password whose account is the server URL's user and whose
/// service is the server URL the provider is given, as text
/// (`postgresql://USER@HOST:PORT/DATABASE`), so a password is only ever given to the server it
/// was filed for. It gives no password when there is no such item or the keychain cannot be
/// read; it waits for the keychain as long as QMKeychain::timeout() allows. File one with
/// `keychain->createOrUpdateGenericPasswordWithAccount(user, serverURL.toString(), password)`.
QMF_STORAGE_EXPORT QMPostgreSQLPasswordProvider
QMPostgreSQLKeychainPasswordProvider(const std::shared_ptr<QMKeychain> &keychain = nullptr);

/// Store option: how long, in seconds (a number; 5 when not given), a store waits for another
/// process that holds it (a SQLite write transaction, an XML store file's lock, a PostgreSQL
/// row lock) before the operation fails with QMPersistentStoreTimeoutError.
///
/// A PostgreSQL store bounds every statement by it too (at least one second): the server ends
/// a statement that runs longer, and a server that has not answered one second after the time-out
/// (a stopped process, a dead link) is given up: the call fails with QMPersistentStoreTimeoutError,
/// the connection is dropped and the next call connects again (a commit left unanswered fails with
/// QMPersistentStoreSaveError: whether it was kept cannot be told). Connecting gives up after the
/// time-out plus one second, in whole seconds and at least 2. Statements slow by nature (the
/// migration of a large store) need a larger time-out.
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

    /// The version of the model the store was migrated from when it was added; empty when it
    /// was written under the model's version.
    QString migratedFromVersionName() const;
    /// The changes that migration made, one line each (QMMigrationPlan::descriptions()).
    QStringList migrationChanges() const;
    /// The copy of the store kept before that migration (QMMigrationBackupOption); empty when
    /// none was kept (always for a PostgreSQL store) or it was removed.
    QUrl migrationBackupURL() const;
    /// Removes the copy kept before the migration, once the host is content with the migrated
    /// store; true when there is none. Until then the copy stays, and a host that finds the
    /// migrated store wanting can put it back in the store's place.
    bool removeMigrationBackup(QMError *error = nullptr);

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
    /// The version migratedFromVersionName() returns, set by the store when it opens.
    QString m_migratedFrom;
    /// The changes migrationChanges() returns, set by the store when it opens.
    QStringList m_migrationChanges;
    /// The copy migrationBackupURL() returns, set by the store when it opens.
    QUrl m_migrationBackup;
};

/// Joins a model to its store: contexts on the coordinator fetch from and save to the store.
///
/// SQLite stores keep one table per entity (a column per attribute, an index per indexed
/// attribute) in WAL journal mode, so the "-wal" and "-shm" files sit beside the database while
/// it is open; every value is a bound parameter. The schema is made on first use and checked at
/// every opening: a store made for another model is QMPersistentStoreIncompatibleSchemaError,
/// and a store written under an earlier version of the model is migrated to the model's version
/// first (QMMigrationPlan; options QMMigratePersistentStoresAutomaticallyOption,
/// QMMigrationBackupOption, QMModelMigrationsOption).
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
///
/// PostgreSQL stores keep the SQLite store's tables in a schema of a database, shared by any
/// number of coordinators on any number of machines: object numbers come from the server, a
/// save locks the rows it changes before comparing them (QMManagedObjectMergeError as above),
/// and a lost connection fails the call with QMPersistentStoreOperationError, the next call
/// connecting again (a save whose COMMIT lost its connection is reported as the server decided).
/// Another process may migrate a shared store to a later version of the model (by opening it
/// with that version): a save of a coordinator that opened it under the earlier version then
/// fails with QMPersistentStoreSaveError, writing nothing, and so does a fetch or count that the
/// migration broke, with QMPersistentStoreOperationError; a coordinator with the later version
/// is needed from then on.
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

    /// Opens (or makes) the store of `storeType` at `storeURL` (a file URL; a `postgresql:` URL
    /// for QMPostgreSQLStoreType; ignored for the in-memory type) and adds it. `configuration` must
    /// be null or empty (models have one configuration). nullptr with an error: an unknown type or
    /// a second store (QMPersistentStoreInvalidTypeError), a missing file URL, a file that cannot
    /// be read or made (QMFileReadUnknownError; QMFileReadNoPermissionError and
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
    /// Moves `store` to a new coordinator for `model`, a later version of this coordinator's
    /// model file, migrating its objects as opening a store does (QMMigrationPlan; `options` as
    /// for addPersistentStoreWithType(), merged over the store's own). A file store is opened by
    /// the new coordinator, which migrates the file; an in-memory store's objects are migrated
    /// in memory and keep their numbers and the store its identifier. Once the new coordinator
    /// has the store, this one has none (its contexts fail to fetch and save); on failure,
    /// nullptr with the error and the store stays here as it was.
    std::shared_ptr<QMPersistentStoreCoordinator>
    migratePersistentStore(const std::shared_ptr<QMPersistentStore> &store,
                           const std::shared_ptr<const QMManagedObjectModel> &model,
                           const QVariantMap &options = {}, QMError *error = nullptr);
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

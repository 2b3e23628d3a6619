#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/errors/QMObjectDescribing.h>

#include <QFuture>
#include <QHash>
#include <QList>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <memory>

class QMCoreDataStoreContextManager;
class QMCoreDataStoreDefaults;
class QMManagedObjectContext;
class QMManagedObjectModel;
class QMPersistentStoreCoordinator;

/// The name under which a store's main context is registered, "mainContext".
QMF_STORAGE_EXPORT extern const QString QMCoreDataStoreContextMainContextName;
/// The name under which a store's background context is registered, "backgroundContext".
QMF_STORAGE_EXPORT extern const QString QMCoreDataStoreContextBackgroundContextName;

/// An object store as an application sets it up: the compiled model's URL, the store type, the
/// store file's URL and the coordinator options; once initialize()d, the loaded model and the
/// coordinator; and the contexts the host registered by name.
///
///     auto store = QMCoreDataStore::defaultStoreWithSqliteStoreType();
///     store->initialize(&error);
///     auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(
///         store->persistentStoreCoordinator());
///     store->setManagedObjectContext(context, QMCoreDataStoreContextMainContextName);
///     QMCoreDataStoreManager::sharedManager().setDefaultStore(store);
///     auto people = QMManagedObject::fetchAll<Person>(&error); // on the main context
///
/// Broken preconditions throw QMInternalInconsistencyException with the message given at each
/// function; store and file failures come back as QMError with a false or null result, and the
/// store stays uninitialized. A store's set-up (initialize(), uninitialize(), rebuild(),
/// deleteStoreFile() and the setters) is used from one thread at a time; its context registry
/// may be used from any thread, so that worker threads can ask for their context
/// (backgroundManagedObjectContext()).
class QMF_STORAGE_EXPORT QMCoreDataStore : public QMObjectDescribing
{
public:
    /// QMCoreDataStoreDefaults::sharedDefaults().
    static QMCoreDataStoreDefaults &defaults();
    /// The shared store manager's default store, or nullptr.
    static std::shared_ptr<QMCoreDataStore> defaultStore();
    /// The shared store manager's store of that name, or nullptr.
    static std::shared_ptr<QMCoreDataStore> sharedStoreForName(const QString &name);

    /// Keeps the four values; nothing is loaded yet. Checks, in order, throwing
    /// QMInternalInconsistencyException: a model URL is given ("Invalid parameter not
    /// satisfying: managedObjectModelURL != nil"); it is a file URL (a "qrc:" URL of a Qt
    /// resource counts as one: "Invalid parameter not satisfying: [managedObjectModelURL
    /// isFileURL]"); a store type is given ("Invalid parameter not satisfying: storeType !=
    /// nil"); unless the type is QMInMemoryStoreType, the store URL is a file URL ("Store URL
    /// must be a valid file protocol URL.").
    QMCoreDataStore(const QUrl &managedObjectModelURL, const QString &storeType,
                    const QUrl &storeURL, const QVariantMap &storeOptions);
    /// A new shared store; see the constructor.
    static std::shared_ptr<QMCoreDataStore>
    storeWithManagedObjectModelURL(const QUrl &managedObjectModelURL, const QString &storeType,
                                   const QUrl &storeURL, const QVariantMap &storeOptions);
    QMCoreDataStore() = delete;
    ~QMCoreDataStore() override;
    QMCoreDataStore(const QMCoreDataStore &) = delete;
    QMCoreDataStore &operator=(const QMCoreDataStore &) = delete;

    /// A store (not yet initialized) from the shared defaults: the model is the resource
    /// defaultManagedObjectModelName() with extension "momd" in defaultBundle() (else "Could not
    /// find resource NAME.momd in default bundle"); the store file is defaultStoreDirectoryURL()
    /// + defaultStoreName() + "." + the type's extension ("Could not create store URL" when
    /// that gives no file URL), none for the in-memory type; the options are the type's.
    static std::shared_ptr<QMCoreDataStore> defaultStoreWithInMemoryStoreType();
    /// As defaultStoreWithInMemoryStoreType(), of QMXMLStoreType.
    static std::shared_ptr<QMCoreDataStore> defaultStoreWithXMLStoreType();
    /// As defaultStoreWithInMemoryStoreType(), of QMSQLiteStoreType.
    static std::shared_ptr<QMCoreDataStore> defaultStoreWithSqliteStoreType();

    /// A name for the host's own use, shown in description(); a null QString unless set.
    QString name() const;
    /// Sets the name.
    void setName(const QString &name);
    /// The URL of the compiled model.
    QUrl managedObjectModelURL() const;
    /// Sets the model URL, read by the next initialize(); not checked here.
    void setManagedObjectModelURL(const QUrl &url);
    /// The store type, such as QMSQLiteStoreType.
    QString storeType() const;
    /// Sets the store type, read by the next initialize(); not checked here.
    void setStoreType(const QString &storeType);
    /// The URL of the store file; empty for the in-memory type.
    QUrl storeURL() const;
    /// Sets the store URL, read by the next initialize(); not checked here.
    void setStoreURL(const QUrl &url);
    /// The coordinator options the store is added with.
    QVariantMap storeOptions() const;
    /// Sets the options, read by the next initialize().
    void setStoreOptions(const QVariantMap &options);
    /// Set by initialize(); nullptr before.
    std::shared_ptr<const QMManagedObjectModel> managedObjectModel() const;
    /// Set by initialize(); nullptr before.
    std::shared_ptr<QMPersistentStoreCoordinator> persistentStoreCoordinator() const;
    /// True between a successful initialize() and uninitialize().
    bool isInitialized() const;
    /// The context registry, made on first use.
    QMCoreDataStoreContextManager &managedObjectContextManager() const;

    /// Loads the model (throws "Could not create ManagedObjectModel from URL: URL" when it does
    /// not load; the reason is the user information's QMUnderlyingErrorKey) and makes the
    /// coordinator with its store
    /// (QMPersistentStoreCoordinator::persistentStoreCoordinatorWithManagedObjectModel());
    /// false with that error when no coordinator results. The model URL and the store type must
    /// be set ("Invalid parameter not satisfying: ..."). A store written under an earlier version
    /// of the model is migrated as it opens (QMMigrationPlan; the store options say how).
    bool initialize(QMError *error = nullptr);
    /// initialize() without waiting: the model is loaded and the store opened (its schema
    /// checked) on the library's threads; the store takes the model and the coordinator on the
    /// calling thread, through its event loop, and then the future resolves with true. Fails
    /// with initialize()'s error, or with the model's error when the model does not load (which
    /// initialize() throws). The URL and type checks throw at the call. The calling thread must
    /// run an event loop; a store destroyed first drops the result (the future ends cancelled).
    /// The store's set-up is not changed meanwhile.
    QFuture<bool> initializeAsync();
    /// When initialized: removes every registered context and marks the store not initialized.
    void uninitialize();
    /// Removes the store file and then its "-shm" and "-wal" companions where they exist; true
    /// at once for the in-memory type. The coordinator's store is closed first, so no open
    /// connection writes into the removed files. False with the error when a removal fails
    /// (also when the store file is missing).
    bool deleteStoreFile(QMError *error = nullptr);
    /// uninitialize(), deleteStoreFile() (false on failure), initialize().
    bool rebuild(QMError *error = nullptr);

    /// The contexts registered as QMCoreDataStoreContextMainContextName and
    /// QMCoreDataStoreContextBackgroundContextName, or nullptr.
    std::shared_ptr<QMManagedObjectContext> mainManagedObjectContext() const;
    /// See mainManagedObjectContext().
    std::shared_ptr<QMManagedObjectContext> backgroundManagedObjectContext() const;
    // The context registry (managedObjectContextManager()).
    /// QMCoreDataStoreContextManager::managedObjectContextForName() of
    /// managedObjectContextManager().
    std::shared_ptr<QMManagedObjectContext> managedObjectContextForName(const QString &name) const;
    /// QMCoreDataStoreContextManager::setManagedObjectContext() of managedObjectContextManager().
    /// A context whose merge policy was never set takes
    /// QMCoreDataStoreDefaults::defaultMergePolicy() here when that holds a QMMergePolicy
    /// (register the context before it is used on another thread).
    void setManagedObjectContext(const std::shared_ptr<QMManagedObjectContext> &context,
                                 const QString &name);
    /// QMCoreDataStoreContextManager::removeManagedObjectContextForName() of
    /// managedObjectContextManager().
    void removeManagedObjectContextForName(const QString &name);
    /// QMCoreDataStoreContextManager::allManagedObjectContextsByName() of
    /// managedObjectContextManager().
    QHash<QString, std::shared_ptr<QMManagedObjectContext>> allManagedObjectContextsByName() const;
    /// QMCoreDataStoreContextManager::allManagedObjectContexts() of managedObjectContextManager().
    QList<std::shared_ptr<QMManagedObjectContext>> allManagedObjectContexts() const;

    /// prettyDescriptionWithDictionary() of name, managedObjectModelURL and storeURL (as text),
    /// storeType and storeOptions, each null when absent.
    QString description() const;

    // QMObjectDescribing
    QString className() const override;
    std::optional<QStringList> attributeKeys() const override;
    QVariant valueForKey(const QString &key) const override;

private:
    class Private;
    std::unique_ptr<Private> d;
};

/// User-information key of the error a failure was caused by (a QMError), "NSUnderlyingError".
QMF_STORAGE_EXPORT extern const QString QMUnderlyingErrorKey;

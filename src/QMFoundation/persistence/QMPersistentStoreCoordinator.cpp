#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include "QMFoundation/persistence/QMMigration_p.h"
#include "QMFoundation/persistence/QMPersistentStoreAccess_p.h"
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/platform/QMFileManager.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <mutex>

using namespace Qt::StringLiterals;

const QString QMSQLiteStoreType = u"SQLite"_s;
const QString QMXMLStoreType = u"XML"_s;
const QString QMInMemoryStoreType = u"InMemory"_s;
const QString QMPostgreSQLStoreType = u"PostgreSQL"_s;
const QString QMPostgreSQLPasswordProviderOption = u"QMPostgreSQLPasswordProvider"_s;
const QString QMPersistentStoreTimeoutOption = u"QMPersistentStoreTimeout"_s;

QMPersistentStore::QMPersistentStore(const QString &type, const QUrl &url,
                                     const QVariantMap &options)
    : m_type(type)
    , m_url(url)
    , m_options(options)
{ }

QMPersistentStore::~QMPersistentStore() = default;

QString QMPersistentStore::type() const
{
    return m_type;
}

QUrl QMPersistentStore::URL() const
{
    return m_url;
}

QVariantMap QMPersistentStore::options() const
{
    return m_options;
}

QString QMPersistentStore::identifier() const
{
    return m_identifier;
}

QString QMPersistentStore::migratedFromVersionName() const
{
    return m_migratedFrom;
}

QStringList QMPersistentStore::migrationChanges() const
{
    return m_migrationChanges;
}

QUrl QMPersistentStore::migrationBackupURL() const
{
    return m_migrationBackup;
}

bool QMPersistentStore::removeMigrationBackup(QMError *error)
{
    if (m_migrationBackup.isEmpty())
        return true;
    const QString path = m_migrationBackup.toLocalFile();
    QFile file(path);
    if (file.exists() && !file.remove()) {
        QMSetError(error,
                   QMStoreBackends::makeError(
                           QMFileWriteUnknownError,
                           u"The copy of the store kept before its migration could not be "
                           u"removed at %1: %2."_s.arg(path, file.errorString()),
                           {{QMFilePathErrorKey, path}}));
        return false;
    }
    m_migrationBackup.clear();
    return true;
}

namespace {

class Store final : public QMPersistentStore
{
public:
    Store(const QString &type, const QUrl &url, const QVariantMap &options,
          const QString &identifier, const QMStoreMigration &migration)
        : QMPersistentStore(type, url, options)
    {
        m_identifier = identifier;
        const auto from = migration.plan.sourceModel();
        const auto to = migration.plan.destinationModel();
        if (from && to && from->versionIndex() != to->versionIndex()) {
            m_migratedFrom = from->versionName();
            m_migrationChanges = migration.plan.descriptions();
        }
        if (!migration.backupPath.isEmpty())
            m_migrationBackup = QUrl::fromLocalFile(migration.backupPath);
    }
};

QMError noStore()
{
    return QMStoreBackends::makeError(QMPersistentStoreOperationError,
                                      u"The coordinator has no store."_s);
}

} // namespace

class QMPersistentStoreCoordinator::Private
{
public:
    std::shared_ptr<const QMManagedObjectModel> model;
    // Guards the store and every call into it: a store is not thread-safe by itself.
    mutable std::mutex mutex;
    std::shared_ptr<QMPersistentStore> store;
    std::unique_ptr<QMStoreBackend> backend;
    // The last temporary number given to an inserted object (under `mutex`).
    qint64 lastTemporaryNumber = 0;
};

QMPersistentStoreCoordinator::QMPersistentStoreCoordinator()
    : d(std::make_unique<Private>())
{ }

QMPersistentStoreCoordinator::~QMPersistentStoreCoordinator()
{
    if (d->backend)
        d->backend->close();
}

std::shared_ptr<QMPersistentStoreCoordinator>
QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(
        const std::shared_ptr<const QMManagedObjectModel> &model)
{
    if (!model)
        return nullptr;
    std::shared_ptr<QMPersistentStoreCoordinator> c(new QMPersistentStoreCoordinator);
    c->d->model = model;
    return c;
}

std::shared_ptr<const QMManagedObjectModel> QMPersistentStoreCoordinator::managedObjectModel() const
{
    return d->model;
}

std::shared_ptr<QMPersistentStore> QMPersistentStoreCoordinator::addPersistentStoreWithType(
        const QString &storeType, const QString &configuration, const QUrl &storeURL,
        const QVariantMap &options, QMError *error)
{
    QMError failure;
    const auto fail = [&](qint64 code, const QString &message) {
        failure = QMStoreBackends::makeError(code, message);
        if (error)
            *error = failure;
        return nullptr;
    };
    if (storeType != QMSQLiteStoreType && storeType != QMXMLStoreType
        && storeType != QMInMemoryStoreType && storeType != QMPostgreSQLStoreType)
        return fail(QMPersistentStoreInvalidTypeError,
                    u"The store type \"%1\" is unknown."_s.arg(storeType));
    if (!configuration.isEmpty())
        return fail(QMPersistentStoreInvalidTypeError,
                    u"The model has no configuration \"%1\"."_s.arg(configuration));
    const bool inMemory = storeType == QMInMemoryStoreType;
    const bool server = storeType == QMPostgreSQLStoreType;
    if (!inMemory && !server && (!storeURL.isLocalFile() || storeURL.toLocalFile().isEmpty()))
        return fail(
                QMFileReadUnknownError,
                u"A %1 store needs a file URL, not \"%2\"."_s.arg(storeType, storeURL.toString()));
    // The password provider is the host's code: it runs before the lock is taken.
    QVariantMap backendOptions = options;
    if (server
        && !QMStoreBackends::postgreSQLPassword(storeURL, options, &backendOptions, &failure)) {
        if (error)
            *error = failure;
        return nullptr;
    }
    std::lock_guard lock(d->mutex);
    if (d->store)
        return fail(QMPersistentStoreInvalidTypeError, u"The coordinator already has a store."_s);
    std::unique_ptr<QMStoreBackend> backend;
    if (storeType == QMSQLiteStoreType)
        backend = QMStoreBackends::openSQLite(d->model, storeURL, options, &failure);
    else if (server)
        backend = QMStoreBackends::openPostgreSQL(d->model, storeURL, backendOptions, &failure);
    else
        backend = QMStoreBackends::openGraph(d->model, inMemory ? QUrl() : storeURL, options,
                                             &failure);
    if (!backend) {
        if (error)
            *error = failure;
        return nullptr;
    }
    d->store = std::make_shared<Store>(storeType, inMemory ? QUrl() : storeURL, options,
                                       backend->identifier(), backend->migration());
    d->backend = std::move(backend);
    return d->store;
}

std::shared_ptr<QMPersistentStore> QMPersistentStoreCoordinator::persistentStore() const
{
    std::lock_guard lock(d->mutex);
    return d->store;
}

bool QMPersistentStoreCoordinator::removePersistentStore(
        const std::shared_ptr<QMPersistentStore> &store, QMError *error)
{
    std::lock_guard lock(d->mutex);
    if (!store || store != d->store) {
        if (error)
            *error = QMStoreBackends::makeError(QMPersistentStoreInvalidTypeError,
                                                u"The store is not this coordinator's."_s);
        return false;
    }
    d->backend->close();
    d->backend.reset();
    d->store.reset();
    return true;
}

std::shared_ptr<QMPersistentStoreCoordinator> QMPersistentStoreCoordinator::migratePersistentStore(
        const std::shared_ptr<QMPersistentStore> &store,
        const std::shared_ptr<const QMManagedObjectModel> &model, const QVariantMap &options,
        QMError *error)
{
    QMError failure;
    const auto fail = [&]() -> std::shared_ptr<QMPersistentStoreCoordinator> {
        QMSetError(error, failure);
        return nullptr;
    };
    if (!store || store != persistentStore()) {
        failure = QMStoreBackends::makeError(QMPersistentStoreInvalidTypeError,
                                             u"The store is not this coordinator's."_s);
        return fail();
    }
    auto next = coordinatorWithManagedObjectModel(model);
    if (!next) {
        failure = QMStoreBackends::makeError(QMPersistentStoreInvalidTypeError,
                                             u"There is no model to migrate the store to."_s);
        return fail();
    }
    QVariantMap merged = store->options();
    for (auto it = options.cbegin(); it != options.cend(); ++it)
        merged.insert(it.key(), it.value());
    if (store->type() != QMInMemoryStoreType) {
        // The file is migrated by opening it; this coordinator's connection stays idle meanwhile
        // and is closed once the new one has the store.
        if (!next->addPersistentStoreWithType(store->type(), QString(), store->URL(), merged,
                                              &failure))
            return fail();
        removePersistentStore(store);
        return next;
    }
    const std::optional<QMMigrationPlan> plan = QMMigrationPlan::plan(
            d->model, model, QMMigration::settingsOf(merged).migrations, &failure);
    if (!plan)
        return fail();
    std::lock_guard lock(d->mutex);
    if (d->store != store) {
        failure = QMStoreBackends::makeError(QMPersistentStoreInvalidTypeError,
                                             u"The store is not this coordinator's."_s);
        return fail();
    }
    std::unique_ptr<QMStoreBackend> backend
            = QMStoreBackends::migrateInMemory(*d->backend, model, *plan, merged, &failure);
    if (!backend)
        return fail();
    next->d->store = std::make_shared<Store>(QMInMemoryStoreType, QUrl(), merged,
                                             backend->identifier(), backend->migration());
    next->d->backend = std::move(backend);
    d->backend->close();
    d->backend.reset();
    d->store.reset();
    return next;
}

QMManagedObjectID
QMPersistentStoreCoordinator::managedObjectIDForURIRepresentation(const QUrl &url) const
{
    const QMManagedObjectID id = QMManagedObjectID::fromURIRepresentation(url);
    std::lock_guard lock(d->mutex);
    if (id.isNull() || id.isTemporaryID() || !d->store
        || id.storeIdentifier().compare(d->store->identifier(), Qt::CaseInsensitive) != 0
        || !d->model->entityForName(id.entityName()))
        return QMManagedObjectID();
    return QMManagedObjectID(d->store->identifier(), id.entityName(), id.number());
}

bool QMPersistentStoreAccess::fetch(QMPersistentStoreCoordinator &c,
                                    const QMEntityDescription &entity, const QMPredicate &bound,
                                    const QList<QMFetchSortDescriptor> &sort, qsizetype limit,
                                    bool withValues, QList<QMStoreRow> *rows, QMError *error,
                                    const std::function<void()> &thenUnderLock,
                                    const QMRowBatches &batches)
{
    std::lock_guard lock(c.d->mutex);
    if (!c.d->backend) {
        *error = noStore();
        return false;
    }
    if (!c.d->backend->fetch(entity, bound, sort, limit, withValues, rows, error, batches))
        return false;
    if (thenUnderLock)
        thenUnderLock();
    return true;
}

qsizetype QMPersistentStoreAccess::count(QMPersistentStoreCoordinator &c,
                                         const QMEntityDescription &entity,
                                         const QMPredicate &bound, QMError *error)
{
    std::lock_guard lock(c.d->mutex);
    if (!c.d->backend) {
        *error = noStore();
        return -1;
    }
    return c.d->backend->count(entity, bound, error);
}

bool QMPersistentStoreAccess::readRow(QMPersistentStoreCoordinator &c,
                                      const QMEntityDescription &entity, qint64 number,
                                      QVariantList *values, QMError *error)
{
    std::lock_guard lock(c.d->mutex);
    if (!c.d->backend) {
        *error = noStore();
        return false;
    }
    return c.d->backend->readRow(entity, number, values, error);
}

bool QMPersistentStoreAccess::save(QMPersistentStoreCoordinator &c, const QMStoreChanges &changes,
                                   QMStoreNumbers *numbers, QMError *error,
                                   const std::function<void()> &thenUnderLock)
{
    std::lock_guard lock(c.d->mutex);
    if (!c.d->backend) {
        *error = noStore();
        return false;
    }
    if (!c.d->backend->save(changes, numbers, error))
        return false;
    if (thenUnderLock)
        thenUnderLock();
    return true;
}

QMManagedObjectID QMPersistentStoreAccess::temporaryID(QMPersistentStoreCoordinator &c,
                                                       const QString &entityName)
{
    std::lock_guard lock(c.d->mutex);
    if (!c.d->backend)
        throw QMInternalInconsistencyException(
                u"The coordinator has no store to insert objects into"_s);
    // Temporary numbers count down from -1, so that their order is the order of insertion.
    return QMManagedObjectID(c.d->store->identifier(), entityName, --c.d->lastTemporaryNumber);
}

// A coordinator with its store, whose directory is made first.

std::shared_ptr<QMPersistentStoreCoordinator>
QMPersistentStoreCoordinator::persistentStoreCoordinatorWithManagedObjectModel(
        const std::shared_ptr<const QMManagedObjectModel> &model, const QString &storeType,
        const QUrl &storeURL, const QVariantMap &options, QMError *error)
{
    QMParameterAssert(model != nullptr, "model != nil");
    QMParameterAssert(!storeType.isEmpty(), "storeType != nil");
    if (storeType != QMInMemoryStoreType) {
        QMParameterAssert(!storeURL.isEmpty(), "storeURL != nil");
        if (!createDirectoryIfNeededForStoreAtURL(storeURL, error))
            return nullptr;
    }
    const std::shared_ptr<QMPersistentStoreCoordinator> coordinator
            = coordinatorWithManagedObjectModel(model);
    QMAssert(coordinator != nullptr, u"Could not create persistent store coordinator"_s);
    if (!coordinator->addPersistentStoreWithType(storeType, QString(), storeURL, options, error))
        return nullptr;
    return coordinator;
}

bool QMPersistentStoreCoordinator::createDirectoryIfNeededForStoreAtURL(const QUrl &storeURL,
                                                                        QMError *error)
{
    const QString directory = QFileInfo(storeURL.toLocalFile()).absolutePath();
    // Whatever is there (a file included) is left for opening the store to report.
    if (QFileInfo::exists(directory) || QFileInfo(directory).isSymLink())
        return true;
    if (QDir().mkpath(directory))
        return true;
    QMSetError(error,
               QMError(QMFileManagerErrorDomain, QMFileManagerErrorCreateDirectory,
                       {{QMLocalizedDescriptionKey,
                         u"Cannot create the directory %1 for the store."_s.arg(directory)}}));
    return false;
}

#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include "QMFoundation/persistence/QMPersistentStoreAccess_p.h"
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/platform/QMFileManager.h>

#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <mutex>

using namespace Qt::StringLiterals;

const QString QMSQLiteStoreType = u"SQLite"_s;
const QString QMXMLStoreType = u"XML"_s;
const QString QMInMemoryStoreType = u"InMemory"_s;
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

namespace {

class Store final : public QMPersistentStore
{
public:
    Store(const QString &type, const QUrl &url, const QVariantMap &options,
          const QString &identifier)
        : QMPersistentStore(type, url, options)
    {
        m_identifier = identifier;
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
        && storeType != QMInMemoryStoreType)
        return fail(QMPersistentStoreInvalidTypeError,
                    u"The store type \"%1\" is unknown."_s.arg(storeType));
    if (!configuration.isEmpty())
        return fail(QMPersistentStoreInvalidTypeError,
                    u"The model has no configuration \"%1\"."_s.arg(configuration));
    const bool inMemory = storeType == QMInMemoryStoreType;
    if (!inMemory && (!storeURL.isLocalFile() || storeURL.toLocalFile().isEmpty()))
        return fail(
                QMFileReadUnknownError,
                u"A %1 store needs a file URL, not \"%2\"."_s.arg(storeType, storeURL.toString()));
    std::lock_guard lock(d->mutex);
    if (d->store)
        return fail(QMPersistentStoreInvalidTypeError, u"The coordinator already has a store."_s);
    std::unique_ptr<QMStoreBackend> backend;
    if (storeType == QMSQLiteStoreType)
        backend = QMStoreBackends::openSQLite(d->model, storeURL, options, &failure);
    else
        backend = QMStoreBackends::openGraph(d->model, inMemory ? QUrl() : storeURL, options,
                                             &failure);
    if (!backend) {
        if (error)
            *error = failure;
        return nullptr;
    }
    d->store = std::make_shared<Store>(storeType, inMemory ? QUrl() : storeURL, options,
                                       backend->identifier());
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
                                    const std::function<void()> &thenUnderLock)
{
    std::lock_guard lock(c.d->mutex);
    if (!c.d->backend) {
        *error = noStore();
        return false;
    }
    if (!c.d->backend->fetch(entity, bound, sort, limit, withValues, rows, error))
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

#include <QMFoundation/persistence/QMCoreDataStore.h>

#include "QMFoundation/persistence/QMManagedObjectContext_p.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMAsyncContext.h>
#include <QMFoundation/persistence/QMCoreDataStoreContextManager.h>
#include <QMFoundation/persistence/QMCoreDataStoreDefaults.h>
#include <QMFoundation/persistence/QMCoreDataStoreManager.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>
#include <QMFoundation/platform/QMBundle.h>
#include <QMFoundation/platform/QMFileManager.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unistd.h>

using namespace Qt::StringLiterals;

const QString QMCoreDataStoreContextMainContextName = u"mainContext"_s;
const QString QMCoreDataStoreContextBackgroundContextName = u"backgroundContext"_s;
const QString QMUnderlyingErrorKey = u"NSUnderlyingError"_s;

class QMCoreDataStore::Private
{
public:
    QString name;
    QUrl modelURL;
    QString storeType;
    QUrl storeURL;
    QVariantMap storeOptions;
    std::shared_ptr<const QMManagedObjectModel> model;
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;
    bool initialized = false;
    // Made on first use, once, also when worker threads ask for their context first.
    std::once_flag contextsMade;
    std::unique_ptr<QMCoreDataStoreContextManager> contexts;

    // Receives initializeAsync()'s results on the thread that asked, made on first use.
    struct Receiver : QObject
    {
        QMAsync::ContextBinding inbox {this};
        ~Receiver() override { inbox.detach(); }
    };
    std::unique_ptr<Receiver> receiver;
};

namespace {

// Models may also come from Qt resources, which QMBundle gives as "qrc:" URLs; they are files as
// far as loading goes.
bool isFileURL(const QUrl &url)
{
    return url.isLocalFile() || (url.scheme() == u"qrc"_s && !url.path().isEmpty());
}

std::shared_ptr<QMCoreDataStore> makeDefaultStore(const QString &storeType)
{
    QMCoreDataStoreDefaults &defaults = QMCoreDataStore::defaults();
    const QString modelName = defaults.defaultManagedObjectModelName();
    const std::shared_ptr<QMBundle> bundle = defaults.defaultBundle();
    const QUrl modelURL = bundle ? bundle->URLForResource(modelName, u"momd"_s) : QUrl();
    QMAssert(!modelURL.isEmpty(),
             u"Could not find resource %1.momd in default bundle"_s.arg(modelName));

    QUrl storeURL;
    if (storeType != QMInMemoryStoreType) {
        const QUrl directory = defaults.defaultStoreDirectoryURL();
        const QString fileName = defaults.defaultStoreName() + u'.'
                + defaults.defaultExtensionForStoreType(storeType);
        if (directory.isLocalFile() && !fileName.contains(u'/'))
            storeURL = QUrl::fromLocalFile(QDir(directory.toLocalFile()).filePath(fileName));
        QMAssert(storeURL.isLocalFile(), u"Could not create store URL"_s);
    }
    const std::optional<QVariantMap> options = defaults.defaultStoreOptionsForStoreType(storeType);
    return QMCoreDataStore::storeWithManagedObjectModelURL(modelURL, storeType, storeURL,
                                                           options.value_or(QVariantMap()));
}

QMError removeError(const QString &path, int cause)
{
    return QMError(QMFileManagerErrorDomain, QMFileManagerErrorRemoveFile,
                   {{QMLocalizedDescriptionKey,
                     u"Cannot remove the file %1: %2"_s.arg(
                             path, QString::fromLocal8Bit(std::strerror(cause)))}});
}

// unlink() rather than QFile::remove(), so the error names the system's reason.
bool removeFile(const QString &path, QMError *error)
{
    if (::unlink(QFile::encodeName(path).constData()) == 0)
        return true;
    QMSetError(error, removeError(path, errno));
    return false;
}

bool existsAt(const QString &path)
{
    // A dangling link is something there too, and is removed like a file.
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

} // namespace

QMCoreDataStoreDefaults &QMCoreDataStore::defaults()
{
    return QMCoreDataStoreDefaults::sharedDefaults();
}

std::shared_ptr<QMCoreDataStore> QMCoreDataStore::defaultStore()
{
    return QMCoreDataStoreManager::sharedManager().defaultStore();
}

std::shared_ptr<QMCoreDataStore> QMCoreDataStore::sharedStoreForName(const QString &name)
{
    return QMCoreDataStoreManager::sharedManager().storeForName(name);
}

QMCoreDataStore::QMCoreDataStore(const QUrl &managedObjectModelURL, const QString &storeType,
                                 const QUrl &storeURL, const QVariantMap &storeOptions)
    : d(std::make_unique<Private>())
{
    QMParameterAssert(!managedObjectModelURL.isEmpty(), "managedObjectModelURL != nil");
    QMParameterAssert(isFileURL(managedObjectModelURL), "[managedObjectModelURL isFileURL]");
    QMParameterAssert(!storeType.isEmpty(), "storeType != nil");
    if (storeType != QMInMemoryStoreType)
        QMAssert(storeURL.isLocalFile(), u"Store URL must be a valid file protocol URL."_s);
    d->modelURL = managedObjectModelURL;
    d->storeType = storeType;
    d->storeURL = storeURL;
    d->storeOptions = storeOptions;
}

std::shared_ptr<QMCoreDataStore>
QMCoreDataStore::storeWithManagedObjectModelURL(const QUrl &managedObjectModelURL,
                                                const QString &storeType, const QUrl &storeURL,
                                                const QVariantMap &storeOptions)
{
    return std::make_shared<QMCoreDataStore>(managedObjectModelURL, storeType, storeURL,
                                             storeOptions);
}

QMCoreDataStore::~QMCoreDataStore() = default;

std::shared_ptr<QMCoreDataStore> QMCoreDataStore::defaultStoreWithInMemoryStoreType()
{
    return makeDefaultStore(QMInMemoryStoreType);
}

std::shared_ptr<QMCoreDataStore> QMCoreDataStore::defaultStoreWithXMLStoreType()
{
    return makeDefaultStore(QMXMLStoreType);
}

std::shared_ptr<QMCoreDataStore> QMCoreDataStore::defaultStoreWithSqliteStoreType()
{
    return makeDefaultStore(QMSQLiteStoreType);
}

QString QMCoreDataStore::name() const
{
    return d->name;
}

void QMCoreDataStore::setName(const QString &name)
{
    d->name = name;
}

QUrl QMCoreDataStore::managedObjectModelURL() const
{
    return d->modelURL;
}

void QMCoreDataStore::setManagedObjectModelURL(const QUrl &url)
{
    d->modelURL = url;
}

QString QMCoreDataStore::storeType() const
{
    return d->storeType;
}

void QMCoreDataStore::setStoreType(const QString &storeType)
{
    d->storeType = storeType;
}

QUrl QMCoreDataStore::storeURL() const
{
    return d->storeURL;
}

void QMCoreDataStore::setStoreURL(const QUrl &url)
{
    d->storeURL = url;
}

QVariantMap QMCoreDataStore::storeOptions() const
{
    return d->storeOptions;
}

void QMCoreDataStore::setStoreOptions(const QVariantMap &options)
{
    d->storeOptions = options;
}

std::shared_ptr<const QMManagedObjectModel> QMCoreDataStore::managedObjectModel() const
{
    return d->model;
}

std::shared_ptr<QMPersistentStoreCoordinator> QMCoreDataStore::persistentStoreCoordinator() const
{
    return d->coordinator;
}

bool QMCoreDataStore::isInitialized() const
{
    return d->initialized;
}

QMCoreDataStoreContextManager &QMCoreDataStore::managedObjectContextManager() const
{
    std::call_once(d->contextsMade,
                   [this] { d->contexts = std::make_unique<QMCoreDataStoreContextManager>(); });
    return *d->contexts;
}

bool QMCoreDataStore::initialize(QMError *error)
{
    QMParameterAssert(!d->modelURL.isEmpty(), "self.managedObjectModelURL != nil");
    QMParameterAssert(!d->storeType.isEmpty(), "self.storeType != nil");

    QMError modelError;
    const std::shared_ptr<const QMManagedObjectModel> model
            = QMManagedObjectModel::modelWithContentsOfURL(d->modelURL, &modelError);
    if (!model) {
        throw QMInternalInconsistencyException(
                u"Could not create ManagedObjectModel from URL: %1"_s.arg(d->modelURL.toString()),
                {{QMUnderlyingErrorKey, QVariant::fromValue(modelError)}});
    }
    const std::shared_ptr<QMPersistentStoreCoordinator> coordinator
            = QMPersistentStoreCoordinator::persistentStoreCoordinatorWithManagedObjectModel(
                    model, d->storeType, d->storeURL, d->storeOptions, error);
    if (!coordinator)
        return false;
    d->model = model;
    d->coordinator = coordinator;
    d->initialized = true;
    return true;
}

QFuture<bool> QMCoreDataStore::initializeAsync()
{
    QMParameterAssert(!d->modelURL.isEmpty(), "self.managedObjectModelURL != nil");
    QMParameterAssert(!d->storeType.isEmpty(), "self.storeType != nil");
    if (!d->receiver)
        d->receiver = std::make_unique<Private::Receiver>();
    struct Opened
    {
        std::shared_ptr<const QMManagedObjectModel> model;
        std::shared_ptr<QMPersistentStoreCoordinator> coordinator;
    };
    QMAsync::Promise<bool> promise;
    QFuture<bool> future = promise.future();
    QMAsync::addToQueue([promise, inbox = d->receiver->inbox, self = this, modelURL = d->modelURL,
                         storeType = d->storeType, storeURL = d->storeURL,
                         options = d->storeOptions] {
        if (promise.cancellation().isCanceled()) {
            promise.cancel();
            return;
        }
        Opened opened;
        QMError error;
        try {
            opened.model = QMManagedObjectModel::modelWithContentsOfURL(modelURL, &error);
            if (opened.model)
                opened.coordinator = QMPersistentStoreCoordinator::
                        persistentStoreCoordinatorWithManagedObjectModel(opened.model, storeType,
                                                                         storeURL, options, &error);
        } catch (...) {
            promise.failWith(std::current_exception());
            return;
        }
        if (!opened.coordinator) {
            promise.fail(error);
            return;
        }
        // The store is used from the calling thread: it takes the result there. The receiver
        // goes with the store, on that thread, so `self` is alive whenever the block runs.
        inbox.invoke(
                [promise, self, opened] {
                    self->d->model = opened.model;
                    self->d->coordinator = opened.coordinator;
                    self->d->initialized = true;
                    promise.resolve(true);
                },
                "QMCoreDataStore::initializeAsync");
    });
    return future;
}

void QMCoreDataStore::uninitialize()
{
    if (!d->initialized)
        return;
    managedObjectContextManager().removeAllManagedObjectContexts();
    d->initialized = false;
}

bool QMCoreDataStore::deleteStoreFile(QMError *error)
{
    if (d->storeType == QMInMemoryStoreType)
        return true;
    // An open SQLite connection would go on writing into the removed file's "-wal", or make a
    // new one beside the next store; the store is closed before its files go.
    if (d->coordinator) {
        if (const std::shared_ptr<QMPersistentStore> store = d->coordinator->persistentStore())
            d->coordinator->removePersistentStore(store);
    }
    const QString path = d->storeURL.toLocalFile();
    if (!removeFile(path, error))
        return false;
    static const QString companionSuffixes[] = {u"-shm"_s, u"-wal"_s};
    for (const QString &suffix : companionSuffixes) {
        const QString companion = path + suffix;
        if (existsAt(companion) && !removeFile(companion, error))
            return false;
    }
    return true;
}

bool QMCoreDataStore::rebuild(QMError *error)
{
    uninitialize();
    if (!deleteStoreFile(error))
        return false;
    return initialize(error);
}

std::shared_ptr<QMManagedObjectContext> QMCoreDataStore::mainManagedObjectContext() const
{
    return managedObjectContextForName(QMCoreDataStoreContextMainContextName);
}

std::shared_ptr<QMManagedObjectContext> QMCoreDataStore::backgroundManagedObjectContext() const
{
    return managedObjectContextForName(QMCoreDataStoreContextBackgroundContextName);
}

std::shared_ptr<QMManagedObjectContext>
QMCoreDataStore::managedObjectContextForName(const QString &name) const
{
    return managedObjectContextManager().managedObjectContextForName(name);
}

void QMCoreDataStore::setManagedObjectContext(
        const std::shared_ptr<QMManagedObjectContext> &context, const QString &name)
{
    const QVariant policy = defaults().defaultMergePolicy();
    if (context && policy.metaType() == QMetaType::fromType<QMMergePolicy>()
        && !QMManagedObjectAccess::state(*context).mergePolicySet)
        context->setMergePolicy(policy.value<QMMergePolicy>());
    managedObjectContextManager().setManagedObjectContext(context, name);
}

void QMCoreDataStore::removeManagedObjectContextForName(const QString &name)
{
    managedObjectContextManager().removeManagedObjectContextForName(name);
}

QHash<QString, std::shared_ptr<QMManagedObjectContext>>
QMCoreDataStore::allManagedObjectContextsByName() const
{
    return managedObjectContextManager().allManagedObjectContextsByName();
}

QList<std::shared_ptr<QMManagedObjectContext>> QMCoreDataStore::allManagedObjectContexts() const
{
    return managedObjectContextManager().allManagedObjectContexts();
}

QString QMCoreDataStore::className() const
{
    return u"QMCoreDataStore"_s;
}

std::optional<QStringList> QMCoreDataStore::attributeKeys() const
{
    return QStringList {u"name"_s, u"managedObjectModelURL"_s, u"storeURL"_s, u"storeType"_s,
                        u"storeOptions"_s};
}

QVariant QMCoreDataStore::valueForKey(const QString &key) const
{
    const auto orNull = [](const QVariant &value, bool absent) {
        return absent ? QMNull() : value;
    };
    if (key == u"name"_s)
        return orNull(d->name, d->name.isNull());
    if (key == u"managedObjectModelURL"_s)
        return orNull(d->modelURL.toString(), d->modelURL.isEmpty());
    if (key == u"storeURL"_s)
        return orNull(d->storeURL.toString(), d->storeURL.isEmpty());
    if (key == u"storeType"_s)
        return orNull(d->storeType, d->storeType.isNull());
    if (key == u"storeOptions"_s)
        return orNull(d->storeOptions, d->storeOptions.isEmpty());
    return QVariant();
}

QString QMCoreDataStore::description() const
{
    QVariantMap dictionary;
    const QStringList keys = attributeKeys().value();
    for (const QString &key : keys)
        dictionary.insert(key, valueForKey(key));
    return prettyDescriptionWithDictionary(dictionary);
}

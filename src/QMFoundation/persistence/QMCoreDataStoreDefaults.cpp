#include <QMFoundation/persistence/QMCoreDataStoreDefaults.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>
#include <QMFoundation/platform/QMBundle.h>
#include <QMFoundation/platform/QMFileManager.h>

#include <QDir>

#include <mutex>

using namespace Qt::StringLiterals;

class QMCoreDataStoreDefaults::Private
{
public:
    std::mutex mutex;
    std::optional<std::shared_ptr<QMBundle>> bundle;
    std::optional<QString> modelName;
    std::optional<QString> storeName;
    std::optional<QUrl> storeDirectoryURL;
    QVariant mergePolicy;
    QHash<QString, QString> extensions {{QMSQLiteStoreType, u"sqlite3"_s},
                                        {QMXMLStoreType, u"xml"_s}};
    QHash<QString, QVariantMap> options;

    // The kept value of `slot`, made by `make` on first read. `make` asks the bundle, which takes
    // the lock itself, so it runs outside the lock; two threads reading at once may both make
    // the value, and the first to store it wins.
    template<typename T, typename Make>
    T keptOrMade(std::optional<T> &slot, Make make)
    {
        {
            std::lock_guard lock(mutex);
            if (slot)
                return *slot;
        }
        const T made = make();
        std::lock_guard lock(mutex);
        if (!slot)
            slot = made;
        return *slot;
    }
};

QMCoreDataStoreDefaults &QMCoreDataStoreDefaults::sharedDefaults()
{
    // A function-local static is made once, also when threads race to the first call.
    static QMCoreDataStoreDefaults defaults;
    return defaults;
}

QMCoreDataStoreDefaults::QMCoreDataStoreDefaults()
    : d(std::make_unique<Private>())
{ }

QMCoreDataStoreDefaults::~QMCoreDataStoreDefaults() = default;

std::shared_ptr<QMBundle> QMCoreDataStoreDefaults::defaultBundle() const
{
    std::lock_guard lock(d->mutex);
    if (!d->bundle)
        d->bundle = QMBundle::mainBundle();
    return *d->bundle;
}

void QMCoreDataStoreDefaults::setDefaultBundle(const std::shared_ptr<QMBundle> &bundle)
{
    std::lock_guard lock(d->mutex);
    d->bundle = bundle;
}

QString QMCoreDataStoreDefaults::defaultManagedObjectModelName() const
{
    return d->keptOrMade(d->modelName, [this] { return makeDefaultManagedObjectModelName(); });
}

void QMCoreDataStoreDefaults::setDefaultManagedObjectModelName(const QString &name)
{
    std::lock_guard lock(d->mutex);
    d->modelName = name;
}

QString QMCoreDataStoreDefaults::defaultStoreName() const
{
    return d->keptOrMade(d->storeName, [this] { return makeDefaultStoreName(); });
}

void QMCoreDataStoreDefaults::setDefaultStoreName(const QString &name)
{
    std::lock_guard lock(d->mutex);
    d->storeName = name;
}

QUrl QMCoreDataStoreDefaults::defaultStoreDirectoryURL() const
{
    return d->keptOrMade(d->storeDirectoryURL, [this] { return makeDefaultStoreDirectoryURL(); });
}

void QMCoreDataStoreDefaults::setDefaultStoreDirectoryURL(const QUrl &url)
{
    std::lock_guard lock(d->mutex);
    d->storeDirectoryURL = url;
}

QVariant QMCoreDataStoreDefaults::defaultMergePolicy() const
{
    std::lock_guard lock(d->mutex);
    return d->mergePolicy;
}

void QMCoreDataStoreDefaults::setDefaultMergePolicy(const QVariant &policy)
{
    std::lock_guard lock(d->mutex);
    d->mergePolicy = policy;
}

QString QMCoreDataStoreDefaults::defaultExtensionForStoreType(const QString &storeType) const
{
    std::lock_guard lock(d->mutex);
    return d->extensions.value(storeType);
}

void QMCoreDataStoreDefaults::setDefaultExtension(const QString &extension,
                                                  const QString &storeType)
{
    std::lock_guard lock(d->mutex);
    d->extensions.insert(storeType, extension.isNull() ? u""_s : extension);
}

QHash<QString, QString> QMCoreDataStoreDefaults::allDefaultStoreExtensions() const
{
    std::lock_guard lock(d->mutex);
    return d->extensions;
}

std::optional<QVariantMap>
QMCoreDataStoreDefaults::defaultStoreOptionsForStoreType(const QString &storeType) const
{
    std::lock_guard lock(d->mutex);
    const auto it = d->options.constFind(storeType);
    if (it == d->options.constEnd())
        return std::nullopt;
    return *it;
}

void QMCoreDataStoreDefaults::setDefaultStoreOptions(const std::optional<QVariantMap> &options,
                                                     const QString &storeType)
{
    std::lock_guard lock(d->mutex);
    if (options)
        d->options.insert(storeType, *options);
    else
        d->options.remove(storeType);
}

QHash<QString, QVariantMap> QMCoreDataStoreDefaults::allDefaultStoreOptions() const
{
    std::lock_guard lock(d->mutex);
    return d->options;
}

QString QMCoreDataStoreDefaults::bundleName() const
{
    const std::shared_ptr<QMBundle> bundle = defaultBundle();
    QString name = bundle ? bundle->bundleName() : QString();
    if (name.isEmpty() && bundle) {
        const QString identifier = bundle->bundleIdentifier();
        if (!identifier.isEmpty())
            name = identifier.split(u'.').last();
    }
    QMAssert(!name.isEmpty(), u"Unable to determine bundle name"_s);
    return name;
}

QString QMCoreDataStoreDefaults::bundleIdentifier() const
{
    const std::shared_ptr<QMBundle> bundle = defaultBundle();
    const QString identifier = bundle ? bundle->bundleIdentifier() : QString();
    QMAssert(!identifier.isEmpty(), u"Unable to determine bundle identifier"_s);
    return identifier;
}

QString QMCoreDataStoreDefaults::makeDefaultManagedObjectModelName() const
{
    return bundleName();
}

QString QMCoreDataStoreDefaults::makeDefaultStoreName() const
{
    return bundleName();
}

QUrl QMCoreDataStoreDefaults::makeDefaultStoreDirectoryURL() const
{
    const QUrl dataDirectory = QMFileManager::URLForDirectory(QStandardPaths::GenericDataLocation,
                                                              QMFileManager::UserDomainMask);
    QMAssert(dataDirectory.isLocalFile(),
             u"Unable to find any Applicaton Support Directories in User Domain"_s);
    const QString identifier = bundleIdentifier();
    const QUrl url = QUrl::fromLocalFile(QDir(dataDirectory.toLocalFile()).filePath(identifier));
    QMAssert(url.isLocalFile() && !identifier.contains(u'/'),
             u"Unable to create default store directory using the application support "
             u"directory. When running unit tests, you need to invoke "
             u"`setUpCoreDataStackWithStoreType:storeURL:options:error:` with the full store "
             u"URL."_s);
    return url;
}

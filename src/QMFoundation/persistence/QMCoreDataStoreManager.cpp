#include <QMFoundation/persistence/QMCoreDataStoreManager.h>

#include <QMFoundation/persistence/QMCoreDataStore.h>

#include <mutex>

using namespace Qt::StringLiterals;

namespace {
const QString defaultStoreName = u"default"_s;
}

class QMCoreDataStoreManager::Private
{
public:
    mutable std::mutex mutex;
    QHash<QString, std::shared_ptr<QMCoreDataStore>> stores;
};

QMCoreDataStoreManager &QMCoreDataStoreManager::sharedManager()
{
    static QMCoreDataStoreManager manager;
    return manager;
}

QMCoreDataStoreManager::QMCoreDataStoreManager()
    : d(std::make_unique<Private>())
{ }

QMCoreDataStoreManager::~QMCoreDataStoreManager() = default;

std::shared_ptr<QMCoreDataStore> QMCoreDataStoreManager::storeForName(const QString &name) const
{
    std::lock_guard lock(d->mutex);
    return d->stores.value(name);
}

void QMCoreDataStoreManager::setStore(const std::shared_ptr<QMCoreDataStore> &store,
                                      const QString &name)
{
    std::shared_ptr<QMCoreDataStore> previous; // released after the lock
    std::lock_guard lock(d->mutex);
    previous = d->stores.take(name);
    if (store)
        d->stores.insert(name, store);
}

void QMCoreDataStoreManager::removeStoreForName(const QString &name)
{
    setStore(nullptr, name);
}

QHash<QString, std::shared_ptr<QMCoreDataStore>> QMCoreDataStoreManager::allStores() const
{
    std::lock_guard lock(d->mutex);
    return d->stores;
}

std::shared_ptr<QMCoreDataStore> QMCoreDataStoreManager::defaultStore() const
{
    return storeForName(defaultStoreName);
}

void QMCoreDataStoreManager::setDefaultStore(const std::shared_ptr<QMCoreDataStore> &store)
{
    setStore(store, defaultStoreName);
}

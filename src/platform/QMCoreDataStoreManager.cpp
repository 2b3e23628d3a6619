#include "platform/QMCoreDataStoreManager.h"

#include "platform/QMCoreDataStore.h"

using namespace Qt::StringLiterals;

namespace {
const QString defaultStoreName = u"default"_s;
}

QMCoreDataStoreManager &QMCoreDataStoreManager::sharedManager()
{
    static QMCoreDataStoreManager manager;
    return manager;
}

QMCoreDataStoreManager::QMCoreDataStoreManager() = default;

QMCoreDataStoreManager::~QMCoreDataStoreManager() = default;

std::shared_ptr<QMCoreDataStore> QMCoreDataStoreManager::storeForName(const QString &name) const
{
    return m_stores.value(name);
}

void QMCoreDataStoreManager::setStore(const std::shared_ptr<QMCoreDataStore> &store,
                                      const QString &name)
{
    if (store)
        m_stores.insert(name, store);
    else
        m_stores.remove(name);
}

void QMCoreDataStoreManager::removeStoreForName(const QString &name)
{
    m_stores.remove(name);
}

QHash<QString, std::shared_ptr<QMCoreDataStore>> QMCoreDataStoreManager::allStores() const
{
    return m_stores;
}

std::shared_ptr<QMCoreDataStore> QMCoreDataStoreManager::defaultStore() const
{
    return storeForName(defaultStoreName);
}

void QMCoreDataStoreManager::setDefaultStore(const std::shared_ptr<QMCoreDataStore> &store)
{
    setStore(store, defaultStoreName);
}

#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QHash>
#include <QString>

#include <memory>

class QMCoreDataStore;

/// The application's stores, by name; the default store is the one named "default". Every
/// member may be called from any thread at once (a mutex guards the registry). A store that
/// leaves the registry is released after the mutex, so its destruction never runs under it.
class QMF_STORAGE_EXPORT QMCoreDataStoreManager
{
public:
    /// The shared manager, made on the first call (once, also when threads race to it).
    static QMCoreDataStoreManager &sharedManager();

    QMCoreDataStoreManager();
    ~QMCoreDataStoreManager();
    QMCoreDataStoreManager(const QMCoreDataStoreManager &) = delete;
    QMCoreDataStoreManager &operator=(const QMCoreDataStoreManager &) = delete;

    /// The store of that name, or nullptr.
    std::shared_ptr<QMCoreDataStore> storeForName(const QString &name) const;
    /// Registers `store` under `name`, replacing any other; nullptr removes the entry.
    void setStore(const std::shared_ptr<QMCoreDataStore> &store, const QString &name);
    /// Removes the store of that name, if any.
    void removeStoreForName(const QString &name);
    /// A copy of the registry.
    QHash<QString, std::shared_ptr<QMCoreDataStore>> allStores() const;
    /// storeForName("default").
    std::shared_ptr<QMCoreDataStore> defaultStore() const;
    /// setStore(store, "default"); nullptr removes "default".
    void setDefaultStore(const std::shared_ptr<QMCoreDataStore> &store);

private:
    class Private;
    std::unique_ptr<Private> d;
};

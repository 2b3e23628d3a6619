#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QHash>
#include <QList>
#include <QString>

#include <memory>

class QMManagedObjectContext;

/// The object contexts of a store, by name. The host makes the contexts and registers them;
/// the manager only keeps them. Every member may be called from any thread at once (a mutex
/// guards the registry), so that worker threads can ask for their context; a context that
/// leaves the registry is released after the mutex, so its destruction never runs under it.
class QMF_STORAGE_EXPORT QMCoreDataStoreContextManager
{
public:
    QMCoreDataStoreContextManager();
    ~QMCoreDataStoreContextManager();
    QMCoreDataStoreContextManager(const QMCoreDataStoreContextManager &) = delete;
    QMCoreDataStoreContextManager &operator=(const QMCoreDataStoreContextManager &) = delete;

    /// The context of that name, or nullptr.
    std::shared_ptr<QMManagedObjectContext> managedObjectContextForName(const QString &name) const;
    /// Replaces any context of that name by `context` (nullptr just removes it).
    void setManagedObjectContext(const std::shared_ptr<QMManagedObjectContext> &context,
                                 const QString &name);
    /// Removes the context of that name, if any.
    void removeManagedObjectContextForName(const QString &name);
    /// Empties the registry.
    void removeAllManagedObjectContexts();
    /// A copy of the registry.
    QHash<QString, std::shared_ptr<QMManagedObjectContext>> allManagedObjectContextsByName() const;
    /// The registered contexts, in no particular order.
    QList<std::shared_ptr<QMManagedObjectContext>> allManagedObjectContexts() const;

private:
    class Private;
    std::unique_ptr<Private> d;
};

#include <QMFoundation/persistence/QMCoreDataStoreContextManager.h>

#include <QMFoundation/persistence/QMManagedObjectContext.h>

#include <mutex>

class QMCoreDataStoreContextManager::Private
{
public:
    mutable std::mutex mutex;
    QHash<QString, std::shared_ptr<QMManagedObjectContext>> contexts;
};

QMCoreDataStoreContextManager::QMCoreDataStoreContextManager()
    : d(std::make_unique<Private>())
{ }

QMCoreDataStoreContextManager::~QMCoreDataStoreContextManager() = default;

std::shared_ptr<QMManagedObjectContext>
QMCoreDataStoreContextManager::managedObjectContextForName(const QString &name) const
{
    std::lock_guard lock(d->mutex);
    return d->contexts.value(name);
}

void QMCoreDataStoreContextManager::setManagedObjectContext(
        const std::shared_ptr<QMManagedObjectContext> &context, const QString &name)
{
    std::shared_ptr<QMManagedObjectContext> previous; // released after the lock
    std::lock_guard lock(d->mutex);
    previous = d->contexts.take(name);
    if (context)
        d->contexts.insert(name, context);
}

void QMCoreDataStoreContextManager::removeManagedObjectContextForName(const QString &name)
{
    setManagedObjectContext(nullptr, name);
}

void QMCoreDataStoreContextManager::removeAllManagedObjectContexts()
{
    QHash<QString, std::shared_ptr<QMManagedObjectContext>> removed; // released after the lock
    std::lock_guard lock(d->mutex);
    removed.swap(d->contexts);
}

QHash<QString, std::shared_ptr<QMManagedObjectContext>>
QMCoreDataStoreContextManager::allManagedObjectContextsByName() const
{
    std::lock_guard lock(d->mutex);
    return d->contexts;
}

QList<std::shared_ptr<QMManagedObjectContext>>
QMCoreDataStoreContextManager::allManagedObjectContexts() const
{
    std::lock_guard lock(d->mutex);
    return d->contexts.values();
}

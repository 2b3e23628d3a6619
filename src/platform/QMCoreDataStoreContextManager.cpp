#include "platform/QMCoreDataStoreContextManager.h"

#include "persistence/QMManagedObjectContext.h"

QMCoreDataStoreContextManager::QMCoreDataStoreContextManager() = default;

QMCoreDataStoreContextManager::~QMCoreDataStoreContextManager() = default;

std::shared_ptr<QMManagedObjectContext>
QMCoreDataStoreContextManager::managedObjectContextForName(const QString &name) const
{
    return m_contexts.value(name);
}

void QMCoreDataStoreContextManager::setManagedObjectContext(
        const std::shared_ptr<QMManagedObjectContext> &context, const QString &name)
{
    m_contexts.remove(name);
    if (context)
        m_contexts.insert(name, context);
}

void QMCoreDataStoreContextManager::removeManagedObjectContextForName(const QString &name)
{
    m_contexts.remove(name);
}

void QMCoreDataStoreContextManager::removeAllManagedObjectContexts()
{
    m_contexts.clear();
}

QHash<QString, std::shared_ptr<QMManagedObjectContext>>
QMCoreDataStoreContextManager::allManagedObjectContextsByName() const
{
    return m_contexts;
}

QList<std::shared_ptr<QMManagedObjectContext>>
QMCoreDataStoreContextManager::allManagedObjectContexts() const
{
    return m_contexts.values();
}

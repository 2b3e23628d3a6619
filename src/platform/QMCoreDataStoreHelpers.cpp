// The store set-up's additions to the object store's own classes: the default store's contexts,
// context names, the coordinator with its store directory, and models found in bundles.

#include "errors/QMInternalInconsistencyException.h"
#include "persistence/QMManagedObjectContext.h"
#include "persistence/QMManagedObjectModel.h"
#include "persistence/QMPersistenceError.h"
#include "persistence/QMPersistentStoreCoordinator.h"
#include "platform/QMBundle.h"
#include "platform/QMCoreDataStore.h"
#include "platform/QMFileManager.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

std::shared_ptr<QMManagedObjectContext> QMManagedObjectContext::mainContext()
{
    const std::shared_ptr<QMCoreDataStore> store = QMCoreDataStore::defaultStore();
    return store ? store->mainManagedObjectContext() : nullptr;
}

std::shared_ptr<QMManagedObjectContext> QMManagedObjectContext::backgroundContext()
{
    const std::shared_ptr<QMCoreDataStore> store = QMCoreDataStore::defaultStore();
    return store ? store->backgroundManagedObjectContext() : nullptr;
}

QString QMManagedObjectContext::name_() const
{
    if (const QString own = name(); !own.isNull())
        return own;
    if (const QVariant value = userInfo().value(u"name"_s); value.isValid())
        return value.toString();
    if (const std::shared_ptr<QMManagedObjectContext> parent = parentContext())
        return u"Child context of %1"_s.arg(parent->name_());
    return u"Persistent store context"_s;
}

void QMManagedObjectContext::setName_(const QString &name)
{
    // Contexts here always have a name of their own, so the user information is never needed.
    setName(name);
}

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

std::shared_ptr<const QMManagedObjectModel>
QMManagedObjectModel::managedObjectModelWithName(const QString &name, const QMBundle &bundle,
                                                 QMError *error)
{
    const QUrl url = bundle.URLForResource(name, u"momd"_s);
    if (url.isEmpty()) {
        QMSetError(error,
                   QMError(QMPersistenceErrorDomain, QMFileReadUnknownError,
                           {{QMLocalizedDescriptionKey,
                             u"The bundle has no model resource %1.momd."_s.arg(name)}}));
        return nullptr;
    }
    QMError loadError;
    std::shared_ptr<const QMManagedObjectModel> model = modelWithContentsOfURL(url, &loadError);
    if (!model) {
        throw QMInternalInconsistencyException(
                u"Core Data object model not found at URL %1"_s.arg(url.toString()),
                {{QMUnderlyingErrorKey, QVariant::fromValue(loadError)}});
    }
    return model;
}

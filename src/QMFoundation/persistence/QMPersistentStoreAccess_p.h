#pragma once

// What contexts ask of their coordinator. Every call takes the coordinator's mutex, so contexts
// on several threads may share one coordinator.

#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <functional>

class QMPersistentStoreAccess
{
public:
    static bool fetch(QMPersistentStoreCoordinator &c, const QMEntityDescription &entity,
                      const QMPredicate &bound, const QList<QMFetchSortDescriptor> &sort,
                      qsizetype limit, bool withValues, QList<QMStoreRow> *rows, QMError *error,
                      const std::function<void()> &thenUnderLock = {});
    static qsizetype count(QMPersistentStoreCoordinator &c, const QMEntityDescription &entity,
                           const QMPredicate &bound, QMError *error);
    /// False with a null error when the row does not exist.
    static bool readRow(QMPersistentStoreCoordinator &c, const QMEntityDescription &entity,
                        qint64 number, QVariantList *values, QMError *error);
    /// `thenUnderLock` (internal bookkeeping, never a caller's block) runs after a successful
    /// save and `fetch`'s after the rows are read, still under the coordinator's mutex, so that
    /// what it records is seen by the next call together with the store's state.
    static bool save(QMPersistentStoreCoordinator &c, const QMStoreChanges &changes,
                     QMStoreNumbers *numbers, QMError *error,
                     const std::function<void()> &thenUnderLock = {});
    /// A fresh temporary identifier for a new object of the entity, never given before on this
    /// coordinator; throws when there is no store.
    static QMManagedObjectID temporaryID(QMPersistentStoreCoordinator &c,
                                         const QString &entityName);
};

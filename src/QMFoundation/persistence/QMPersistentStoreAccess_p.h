#pragma once

// What contexts ask of their coordinator. Every call takes the coordinator's mutex, so contexts
// on several threads may share one coordinator.

#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include <QMFoundation/persistence/QMMergePolicy.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <functional>

/// A conflicting object of a save, as a merge policy settled it.
struct QMSettledConflict
{
    QString entityName;
    qint64 number = 0;
    QMMergeOutcome outcome = QMMergeOutcome::StoreValuesKept;
    /// The values the store held when the conflict was settled (StoreValuesKept and
    /// DeletionDropped: the object's values from then on).
    QVariantList storeValues;
};

class QMPersistentStoreAccess
{
public:
    static bool fetch(QMPersistentStoreCoordinator &c, const QMEntityDescription &entity,
                      const QMPredicate &bound, const QList<QMFetchSortDescriptor> &sort,
                      qsizetype limit, bool withValues, QList<QMStoreRow> *rows, QMError *error,
                      const std::function<void()> &thenUnderLock = {},
                      const QMRowBatches &batches = {});
    static qsizetype count(QMPersistentStoreCoordinator &c, const QMEntityDescription &entity,
                           const QMPredicate &bound, QMError *error);
    /// False with a null error when the row does not exist.
    static bool readRow(QMPersistentStoreCoordinator &c, const QMEntityDescription &entity,
                        qint64 number, QVariantList *values, QMError *error);
    /// `thenUnderLock` (internal bookkeeping, never a caller's block) runs after a successful
    /// save and `fetch`'s after the rows are read, still under the coordinator's mutex, so that
    /// what it records is seen by the next call together with the store's state. `batches`
    /// (QMStoreBackend::fetch()) runs under that mutex too: it must be the library's own code,
    /// never a caller's, and must not call the coordinator.
    static bool save(QMPersistentStoreCoordinator &c, const QMStoreChanges &changes,
                     QMStoreNumbers *numbers, QMError *error,
                     const std::function<void()> &thenUnderLock = {});
    /// save() that settles conflicts by `policy` (anything but QMMergePolicy::Error) and saves
    /// the adjusted changes again, at most maxMergeRounds saves in all; `settled` gets what was
    /// settled (empty after a failure). Takes the coordinator's mutex for each read and save
    /// and holds nothing in between. Any thread.
    static bool saveMerging(QMPersistentStoreCoordinator &c, QMStoreChanges changes,
                            QMMergePolicy policy, QMStoreNumbers *numbers,
                            QList<QMSettledConflict> *settled, QMError *error,
                            const std::function<void()> &thenUnderLock = {});
    /// How many saves saveMerging() tries before it gives up with the conflict error.
    static constexpr int maxMergeRounds = 3;
    /// A fresh temporary identifier for a new object of the entity, never given before on this
    /// coordinator; throws when there is no store.
    static QMManagedObjectID temporaryID(QMPersistentStoreCoordinator &c,
                                         const QString &entityName);
};

/// Test hook: called between the rounds of saveMerging(), with no lock held (nullptr: none).
/// Tests only.
QMF_STORAGE_EXPORT void QMSetMergeRoundHookForTesting(std::function<void()> hook);

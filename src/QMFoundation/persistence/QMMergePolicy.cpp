// Saves that settle their conflicts with the store by a context's merge policy.

#include <QMFoundation/persistence/QMMergePolicy.h>

#include "QMFoundation/persistence/QMPersistentStoreAccess_p.h"
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <mutex>

namespace {

std::mutex g_hookMutex;

// Made on first use rather than at load time (a function is no constant).
std::function<void()> &roundHook()
{
    static std::function<void()> hook;
    return hook;
}

void runRoundHook()
{
    std::function<void()> hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = roundHook();
    }
    if (hook)
        hook();
}

// The change of the save to the object `number`: its update or its deletion.
struct Change
{
    QList<QMStoreUpdate> *list = nullptr;
    qsizetype index = -1;
    bool deletion = false;
};

Change changeOf(QMStoreChanges &changes, const QString &entityName, qint64 number)
{
    for (const bool deletion : {false, true}) {
        auto &table = deletion ? changes.deleted : changes.updated;
        const auto found = table.find(entityName);
        if (found == table.end())
            continue;
        for (qsizetype i = 0; i < found->size(); ++i) {
            if (found->at(i).number == number)
                return {&*found, i, deletion};
        }
    }
    return {};
}

// Settles one conflicting object by `policy`, adjusting `changes`; false when it cannot be
// settled (an error of reading the store in `*error`, else the conflict stands).
bool settle(QMPersistentStoreCoordinator &c, QMStoreChanges &changes, QMMergePolicy policy,
            const QMManagedObjectID &id, QList<QMSettledConflict> *settled, QMError *error)
{
    const auto model = c.managedObjectModel();
    const QMEntityDescription *entity = model ? model->entityForName(id.entityName()) : nullptr;
    const Change change = entity ? changeOf(changes, id.entityName(), id.number()) : Change();
    if (!change.list)
        return false;
    QVariantList now;
    const bool found = QMPersistentStoreAccess::readRow(c, *entity, id.number(), &now, error);
    if (!error->isNull())
        return false;
    QMStoreUpdate &update = (*change.list)[change.index];
    // Another writer may have put the row back as this save read it meanwhile (or, for a
    // deletion, deleted it): then there is nothing left to settle.
    if (found ? QMStoreBackends::sameValues(*entity, now, update.expected) : change.deletion)
        return true;
    QMSettledConflict result {id.entityName(), id.number(), QMMergeOutcome::StoreValuesKept, now};
    if (policy == QMMergePolicy::StoreWins) {
        result.outcome = change.deletion ? QMMergeOutcome::DeletionDropped
                : found                  ? QMMergeOutcome::StoreValuesKept
                                         : QMMergeOutcome::DeletedInStore;
        change.list->removeAt(change.index);
    } else {
        // Context wins: the row is overwritten as it is now. An update of a row that is gone
        // would make it again; that stays a conflict.
        if (!found)
            return false;
        result.outcome = change.deletion ? QMMergeOutcome::DeletedOverChanges
                                         : QMMergeOutcome::ContextValuesWritten;
        update.expected = now;
    }
    // An object settled again in a later round is reported as it was settled last.
    settled->removeIf([&](const QMSettledConflict &s) {
        return s.number == result.number && s.entityName == result.entityName;
    });
    settled->append(std::move(result));
    return true;
}

} // namespace

void QMSetMergeRoundHookForTesting(std::function<void()> hook)
{
    std::lock_guard lock(g_hookMutex);
    roundHook() = std::move(hook);
}

bool QMPersistentStoreAccess::saveMerging(QMPersistentStoreCoordinator &c, QMStoreChanges changes,
                                          QMMergePolicy policy, QMStoreNumbers *numbers,
                                          QList<QMSettledConflict> *settled, QMError *error,
                                          const std::function<void()> &thenUnderLock)
{
    settled->clear();
    for (int round = 1;; ++round) {
        QMError failure;
        if (save(c, changes, numbers, &failure, thenUnderLock))
            return true;
        const bool conflict = failure.domain() == QMPersistenceErrorDomain
                && failure.code() == QMManagedObjectMergeError;
        const QVariantList conflicts
                = failure.userInfo().value(QMPersistentStoreSaveConflictsErrorKey).toList();
        bool settledAll = conflict && policy != QMMergePolicy::Error && round < maxMergeRounds
                && !conflicts.isEmpty();
        for (qsizetype i = 0; settledAll && i < conflicts.size(); ++i) {
            QMError readError;
            settledAll = settle(c, changes, policy,
                                QMManagedObjectID::fromURIRepresentation(conflicts.at(i).toUrl()),
                                settled, &readError);
            if (!readError.isNull())
                failure = readError;
        }
        if (!settledAll) {
            settled->clear();
            *error = failure;
            return false;
        }
        runRoundHook();
    }
}

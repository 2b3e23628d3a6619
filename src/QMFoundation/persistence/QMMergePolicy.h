#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/persistence/QMManagedObjectID.h>

#include <QMetaType>

/// What a context's save does with objects that another context or process saved since this
/// context read them (QMManagedObjectContext::setMergePolicy()).
///
/// A policy decides per object and for the whole object: either every value of the context's
/// change wins or every value the store holds does, never a mix of attributes. It is applied by
/// the context that saves to the coordinator; a child context's save into its parent never
/// conflicts. Travels in a QVariant (QVariant::fromValue()), as
/// QMCoreDataStoreDefaults::defaultMergePolicy() holds it.
enum class QMMergePolicy {
    /// The save fails as a whole with QMManagedObjectMergeError, listing the conflicting objects
    /// under QMPersistentStoreSaveConflictsErrorKey; nothing is written and the context keeps
    /// its changes. The default.
    Error,
    /// The store's values win: a conflicting object's changes are dropped and it takes the
    /// values the store holds; an object another writer deleted is deleted in the context too;
    /// a deletion of an object another writer changed is dropped (the object stays, with the
    /// store's values). The rest of the save goes through.
    StoreWins,
    /// The context's values win: its values overwrite the store's and its deletions go through.
    /// An update of an object another writer deleted has nothing to overwrite and nothing is
    /// made again: the save still fails with QMManagedObjectMergeError.
    ContextWins,
};
Q_DECLARE_METATYPE(QMMergePolicy)

/// How a merge policy settled one conflicting object of a save.
enum class QMMergeOutcome {
    /// StoreWins: the object's changes were dropped; it holds the store's values.
    StoreValuesKept,
    /// StoreWins: another writer had deleted the object; the context's update was dropped and
    /// the object is deleted in the context (it left the context).
    DeletedInStore,
    /// StoreWins: the context's deletion was dropped since another writer changed the object;
    /// the object stays, with the store's values.
    DeletionDropped,
    /// ContextWins: the context's values overwrote the store's.
    ContextValuesWritten,
    /// ContextWins: the context's deletion went through over another writer's change.
    DeletedOverChanges,
};

/// One object of a save that conflicted with the store, and what the context's merge policy
/// did with it (QMManagedObjectContext::lastMergeResolutions()).
struct QMMergeResolution
{
    /// The object's identifier.
    QMManagedObjectID objectID;
    /// What the policy did with it.
    QMMergeOutcome outcome = QMMergeOutcome::StoreValuesKept;

    /// Two resolutions are equal when they name the same object and outcome.
    friend bool operator==(const QMMergeResolution &a, const QMMergeResolution &b)
    {
        return a.objectID == b.objectID && a.outcome == b.outcome;
    }
};

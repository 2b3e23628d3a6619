#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/operations/QMAsyncContext.h>
#include <QMFoundation/persistence/QMFetchRequest.h>
#include <QMFoundation/persistence/QMManagedObjectID.h>
#include <QMFoundation/persistence/QMMergePolicy.h>

#include <QFuture>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class QMManagedObject;
class QMManagedObjectContextNotifier;
class QMPersistentStoreCoordinator;

/// A scratch pad of objects over a store coordinator or a parent context: objects are fetched
/// into it, inserted, changed and deleted there, and save() hands the changes on in one step.
///
/// Saving a context on a coordinator writes its changes to the store in one transaction (one
/// file replacement for XML): a save that fails leaves the store exactly as it was and the
/// context with all its changes, so it can be saved again. Saving a child context hands its
/// changes to its parent, which saves them further when it is saved itself. A context registers
/// each object once: fetching an object it already holds gives the same object, with the
/// context's unsaved changes. Fetches see the context's inserted and changed objects and not its
/// deleted ones, as the store would after a save.
///
/// An inserted object's identifier is temporary until the save that reaches the store; that
/// save gives it its permanent identifier, in this context and in its child contexts (see
/// QMManagedObjectID).
///
/// A save never overwrites unseen what another context or process saved since this context read
/// the objects: by default it fails with QMManagedObjectMergeError instead (see
/// QMPersistentStoreCoordinator); a merge policy (setMergePolicy()) settles such conflicts, and
/// lastMergeResolutions() tells which objects it settled and how.
///
/// A context is used from one thread at a time (the one that made it, for the objects it makes);
/// contexts of one coordinator may live on different threads. A child context reads its parent,
/// so a parent and its children are used from one thread at a time together.
///
/// The asynchronous forms (saveAsync(), executeFetchRequestAsync(), countForFetchRequestAsync())
/// do the store's work on the library's threads and take the result on the context's thread:
/// registering fetched objects, giving saved objects their permanent identifiers and clearing
/// the saved changes happen there, through that thread's event loop, so the context stays used
/// from one thread. The context's thread is the one its notifier() lives on (the first to ask
/// for it or to call an asynchronous form); it must run an event loop, or the futures never
/// finish. A context destroyed before its result arrives drops it: the future ends cancelled.
class QMF_STORAGE_EXPORT QMManagedObjectContext
    : public std::enable_shared_from_this<QMManagedObjectContext>
{
public:
    /// A context over `coordinator`.
    static std::shared_ptr<QMManagedObjectContext> contextWithPersistentStoreCoordinator(
            const std::shared_ptr<QMPersistentStoreCoordinator> &coordinator);
    /// A child context of `parent`, on the parent's coordinator.
    static std::shared_ptr<QMManagedObjectContext>
    contextWithParentContext(const std::shared_ptr<QMManagedObjectContext> &parent);
    ~QMManagedObjectContext();
    QMManagedObjectContext(const QMManagedObjectContext &) = delete;
    QMManagedObjectContext &operator=(const QMManagedObjectContext &) = delete;

    /// The coordinator whose store the context fetches from and saves to (its parent's, for a child
    /// context).
    std::shared_ptr<QMPersistentStoreCoordinator> persistentStoreCoordinator() const;
    /// The parent context, or nullptr for a context on a coordinator.
    std::shared_ptr<QMManagedObjectContext> parentContext() const;

    /// The context's own name; a null QString until one is set.
    QString name() const;
    /// Sets the name.
    void setName(const QString &name);
    /// Free-form values a host keeps with the context.
    QVariantMap userInfo() const;
    /// Replaces the free-form values.
    void setUserInfo(const QVariantMap &userInfo);

    /// A new object of the entity (of its registered class, else a plain QMManagedObject) with
    /// the attributes' default values and a fresh temporary identifier, inserted into this
    /// context.
    /// Throws QMInternalInconsistencyException "the model has no entity NAME" for an unknown
    /// entity.
    std::shared_ptr<QMManagedObject> insertNewObjectForEntityForName(const QString &entityName);
    /// Inserts an object made by QMManagedObject::createInMemory() (of this context's model).
    void insertObject(const std::shared_ptr<QMManagedObject> &object);
    /// Marks a registered object deleted; it leaves fetches at once and the store at save.
    void deleteObject(const std::shared_ptr<QMManagedObject> &object);

    /// The objects the request selects; an empty list with an error for an unknown entity,
    /// a predicate that does not fit the entity, an unknown sort key or a store failure.
    QList<std::shared_ptr<QMManagedObject>> executeFetchRequest(const QMFetchRequest &request,
                                                                QMError *error = nullptr);
    /// How many objects the request selects (its limit applies); -1 with an error.
    qsizetype countForFetchRequest(const QMFetchRequest &request, QMError *error = nullptr);
    /// executeFetchRequest() without waiting for the store: the store is read on the library's
    /// threads, with the context's unsaved changes as they were at the call, and the objects
    /// are registered on the context's thread, in slices of a few milliseconds across
    /// event-loop turns for large results. Fails with the error executeFetchRequest() would
    /// give.
    QFuture<QList<std::shared_ptr<QMManagedObject>>>
    executeFetchRequestAsync(const QMFetchRequest &request);
    /// countForFetchRequest() without waiting for the store; fails with its error.
    QFuture<qsizetype> countForFetchRequestAsync(const QMFetchRequest &request);
    /// The registered object of that identifier, else the one the parent context or the store
    /// holds (with its values); nullptr with QMManagedObjectReferentialIntegrityError when none
    /// exists or it is deleted in this context.
    std::shared_ptr<QMManagedObject> existingObjectWithID(const QMManagedObjectID &objectID,
                                                          QMError *error = nullptr);
    /// The registered object of that identifier, or nullptr; never reads the store.
    std::shared_ptr<QMManagedObject> objectRegisteredForID(const QMManagedObjectID &objectID) const;

    /// True when objects were inserted, changed or deleted since the last save.
    bool hasChanges() const;
    /// The objects inserted and not yet saved.
    QList<std::shared_ptr<QMManagedObject>> insertedObjects() const;
    /// The registered objects changed and not yet saved.
    QList<std::shared_ptr<QMManagedObject>> updatedObjects() const;
    /// The objects deleted and not yet saved.
    QList<std::shared_ptr<QMManagedObject>> deletedObjects() const;
    /// Every object registered in the context.
    QList<std::shared_ptr<QMManagedObject>> registeredObjects() const;

    /// Checks every inserted and changed object (missing mandatory values) and then writes the
    /// changes on: false with the error and nothing written when anything fails. A context
    /// without changes saves at once. Saved to the store, inserted objects get their permanent
    /// identifiers. Failures include QMManagedObjectMergeError (objects changed elsewhere since
    /// they were read: refresh them and save again) and QMPersistentStoreTimeoutError (another
    /// process held the store: save again).
    /// Also fails (QMPersistentStoreOperationError) while a saveAsync() of this context is in
    /// flight. Announced by notifier()'s didSave().
    bool save(QMError *error = nullptr);
    /// save() without waiting for the store: validation and collecting the changes happen at
    /// the call, on this thread; the store writes them on the library's threads; the context
    /// takes the result on its thread (permanent identifiers, the saved values, didSave()), and
    /// then the future resolves with true or fails with save()'s error (validation failures
    /// included). A child context's save does not reach the store: it is done at the call.
    ///
    /// The context may be used while the save is in flight. Changes made meanwhile stay
    /// pending for the next save: a value set again keeps the object changed against what the
    /// save wrote, an object inserted by the save and deleted meanwhile is deleted by the next
    /// save. Fetches see the context as it is, the flight's objects once each. rollback() and
    /// reset() meanwhile do not stop the save: the store gets what was sent. A second save()
    /// or saveAsync() of this context while one is in flight fails at once with
    /// QMPersistentStoreOperationError; save again after the first future has finished.
    QFuture<bool> saveAsync();
    /// What a save to the store does with objects changed elsewhere since this context read
    /// them; QMMergePolicy::Error (the save fails) unless set.
    QMMergePolicy mergePolicy() const;
    /// Sets the merge policy of the context's saves to the store. With StoreWins or
    /// ContextWins, a save that conflicts settles each conflicting object by the policy (the
    /// whole object, never attribute by attribute) and saves the adjusted changes again; when
    /// another writer conflicts again, again, for at most 3 saves in all, after which it fails
    /// with the conflict error and nothing of it is written. ContextWins overwrites the values
    /// the store held when the conflict was settled. The policy of a child context is not
    /// used: its saves go to its parent and never conflict; the context saving to the store
    /// decides.
    void setMergePolicy(QMMergePolicy policy);
    /// The objects the merge policy settled in the context's last save to the store (save() or
    /// saveAsync(), once its result was taken), in the order they were settled: empty when that
    /// save had no conflicts or failed. Objects whose store values won
    /// (QMMergeOutcome::StoreValuesKept, DeletionDropped, DeletedInStore) were not written by
    /// the save and are not in its didSave() lists; those of ContextWins are.
    QList<QMMergeResolution> lastMergeResolutions() const;

    /// Re-reads a registered object from the parent or the store: with `mergeChanges` the
    /// context's unsaved values stay on top of the fresh ones; without, they are dropped and the
    /// object becomes a fault, its values read again on first access. An object gone from the
    /// store keeps its values.
    void refreshObject(const std::shared_ptr<QMManagedObject> &object, bool mergeChanges);
    /// refreshObject() of every registered object.
    void refreshAllObjects();
    /// Drops every change and unregisters every object; objects held elsewhere lose their context.
    void reset();
    /// Undoes the unsaved changes: inserted objects leave, deleted and changed ones get their
    /// saved values back.
    void rollback();

    /// The QObject that announces this context's saves (didSave()) and receives its
    /// asynchronous results; made on first use, on the calling thread, which becomes the
    /// context's thread for the asynchronous forms. Owned by the context.
    QMManagedObjectContextNotifier *notifier();

    // The store's class-level helpers (defined with the store registry).

    /// The main context of the default store (QMCoreDataStore::defaultStore()), or nullptr.
    static std::shared_ptr<QMManagedObjectContext> mainContext();
    /// The background context of the default store, or nullptr.
    static std::shared_ptr<QMManagedObjectContext> backgroundContext();
    /// name() when set; else the "name" value of userInfo(); else "Child context of NAME" with
    /// the parent's name_(); else "Persistent store context".
    QString name_() const;
    /// Sets name() (this context always has a name of its own).
    void setName_(const QString &name);

private:
    class Private;
    friend class QMManagedObject;
    friend class QMManagedObjectAccess;
    QMManagedObjectContext();
    std::unique_ptr<Private> d;
};

/// The signals of one context (QMManagedObjectContext::notifier()), on the context's thread.
class QMF_STORAGE_EXPORT QMManagedObjectContextNotifier : public QObject
{
    Q_OBJECT
public:
    /// Destroyed with its context; results still on their way to the context are dropped.
    ~QMManagedObjectContextNotifier() override;

Q_SIGNALS:
    /// Emitted on the context's thread after every successful save() and saveAsync() that
    /// saved changes, before an asynchronous save's future resolves: the objects inserted (now
    /// with their permanent identifiers when saved to the store), updated and deleted, each in
    /// key order.
    void didSave(const QList<std::shared_ptr<QMManagedObject>> &inserted,
                 const QList<std::shared_ptr<QMManagedObject>> &updated,
                 const QList<std::shared_ptr<QMManagedObject>> &deleted);

private:
    friend class QMManagedObjectContext;
    friend class QMManagedObjectAccess;
    QMManagedObjectContextNotifier();
    bool announces() const;
    // Where the library's threads post the context's asynchronous results.
    QMAsync::ContextBinding inbox;
};

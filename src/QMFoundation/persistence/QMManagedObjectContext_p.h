#pragma once

// The state behind contexts and objects, shared by QMManagedObject.cpp and
// QMManagedObjectContext.cpp.

#include "QMFoundation/persistence/QMPersistentStoreAccess_p.h"
#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <QHash>
#include <QSet>
#include <QVarLengthArray>

#include <functional>
#include <mutex>
#include <vector>

/// The attributes of an object whose value differs from the saved one. Without allocation for
/// entities of up to 64 attributes, and with the number set kept, since every setValue() asks.
class QMChangedAttributes
{
public:
    bool any() const { return m_count > 0; }
    bool test(qsizetype i) const
    {
        return i / 64 < m_words.size() && (m_words[i / 64] >> (i % 64) & 1) != 0;
    }
    void set(qsizetype i, bool on)
    {
        if (test(i) == on)
            return;
        if (i / 64 >= m_words.size())
            m_words.resize(i / 64 + 1, 0);
        m_words[i / 64] ^= quint64(1) << (i % 64);
        m_count += on ? 1 : -1;
    }
    void clear()
    {
        m_words.clear();
        m_count = 0;
    }

private:
    QVarLengthArray<quint64, 1> m_words;
    qsizetype m_count = 0;
};

class QMManagedObject::Private
{
public:
    std::shared_ptr<const QMManagedObjectModel> model;
    const QMEntityDescription *entity = nullptr;
    QMManagedObjectID id;
    // Weak: the context owns its registered objects, not the other way round.
    std::weak_ptr<QMManagedObjectContext> context;
    /// The current values, in the entity's attribute order.
    QVariantList values;
    /// The values the parent (store or parent context) holds, as last read or saved.
    QVariantList saved;
    /// Attributes whose value differs from `saved`.
    QMChangedAttributes changed;
    bool fault = false;
    bool inserted = false;
    bool deleted = false;

    bool hasChangedValues() const { return changed.any(); }
    bool isChanged(qsizetype i) const { return changed.test(i); }
    void setChanged(qsizetype i, bool on) { changed.set(i, on); }
};

/// The hash of a key that lies in a run of keys used together (`run`, its place in the run
/// `place`): the keys of a run share one block of 128 buckets, filled one after another, and a
/// seeded hash of the run places the block and turns the places within it, so that keys alike
/// in their last bits, whoever chose them, still spread over the whole table.
inline size_t QMRunHash(quint64 run, quint64 place, size_t seed)
{
    const size_t h = qHash(run, seed);
    return (h << 7) | size_t((place + (h >> (sizeof(size_t) * 4))) & 127);
}

/// An object's address as the key of a context's set of changes. Objects made one after another
/// lie one after another in memory, so the objects of each aligned 32 KiB are a run (by their
/// address in 256-byte steps) of QMRunHash().
struct QMObjectAddress
{
    QMObjectAddress(const QMManagedObject *p) // NOLINT(google-explicit-constructor)
        : pointer(p)
    { }
    const QMManagedObject *pointer;
    friend bool operator==(QMObjectAddress a, QMObjectAddress b) { return a.pointer == b.pointer; }
    friend size_t qHash(QMObjectAddress a, size_t seed = 0)
    {
        const auto v = quint64(quintptr(a.pointer));
        return QMRunHash(v >> 15, v >> 8, seed);
    }
};

/// The objects a context holds, by identifier. Saved objects are kept in a table of numbers per
/// store and entity, so that a lookup hashes a number, not the identifier's two texts. Objects
/// not yet saved to the store (temporary identifiers) are kept apart, by their temporary number
/// alone (unique on their coordinator): a save of many new objects moves them over to their
/// permanent numbers, which costs one insertion each, and the cheap key keeps inserting them cheap
/// too.
class QMObjectRegistry
{
public:
    /// An object's number as a key of the registry's tables. Numbers come in runs (a store
    /// numbers new rows one after another, temporary numbers count down), so each aligned 128
    /// numbers are a run of QMRunHash(): numbers a damaged file or another writer chose still
    /// spread over the whole table.
    struct Number
    {
        Number(qint64 n) // NOLINT(google-explicit-constructor): every qint64 is one
            : value(n)
        { }
        qint64 value;
        friend bool operator==(Number a, Number b) { return a.value == b.value; }
        friend size_t qHash(Number n, size_t seed = 0)
        {
            const auto v = quint64(n.value);
            return QMRunHash(v >> 7, v, seed);
        }
    };
    using ObjectPtr = std::shared_ptr<QMManagedObject>;
    using Numbers = QHash<Number, ObjectPtr>;

    ObjectPtr value(const QMManagedObjectID &id) const;
    void insert(const QMManagedObjectID &id, const ObjectPtr &object);
    void remove(const QMManagedObjectID &id) { take(id); }
    ObjectPtr take(const QMManagedObjectID &id);
    /// The entry for `id`, made empty when there is none.
    ObjectPtr &slot(const QMManagedObjectID &id);
    /// Room for `count` more saved objects of `entityName` in the store `storeIdentifier`, and
    /// their table, valid until another entity's or store's table is made. QHash rehashes at
    /// every reserve(), so the table grows only when its room is short.
    Numbers &reserve(const QString &storeIdentifier, const QString &entityName, qsizetype count);
    qsizetype size() const;
    QList<ObjectPtr> values() const;
    void clear()
    {
        m_saved.clear();
        m_unsaved.clear();
    }
    /// Gives the unsaved objects of `entityName` that this registry holds their permanent numbers
    /// in the store `storeIdentifier`: (temporary, permanent) pairs.
    void renumber(const QString &storeIdentifier, const QString &entityName,
                  const QList<std::pair<qint64, qint64>> &pairs);
    /// Moves the unsaved object whose identifier (in its state) is `id` to `permanent` (an
    /// identifier of `table`'s store and entity, the table from reserve()) and sets `id` to it;
    /// false when this registry has no such object. The emptied entry stays until dropMoved().
    bool moveSaved(Numbers &table, QMManagedObjectID &id, const QMManagedObjectID &permanent);
    /// Registers the object of `from` under `to` instead (nothing when there is none).
    void rename(const QMManagedObjectID &from, const QMManagedObjectID &to);
    /// Drops the `moved` entries that moveSaved() emptied: together, since erasing them one by
    /// one moves the entries after each, and a save of every new object empties the table.
    void dropMoved(qsizetype moved);

private:
    void moveEntry(Numbers &table, Numbers::iterator found, QMManagedObjectID &id,
                   const QMManagedObjectID &permanent);

    struct Table
    {
        QString storeIdentifier;
        Numbers objects;
    };
    /// The table of saved objects of `entityName` in `storeIdentifier`, or null.
    const Numbers *table(const QString &storeIdentifier, const QString &entityName) const;
    /// The same, made when there is none; valid until the next table is made.
    Numbers &tableMade(const QString &storeIdentifier, const QString &entityName);

    /// By entity name; almost always one store's table each.
    QHash<QString, QVarLengthArray<Table, 1>> m_saved;
    Numbers m_unsaved;
};

/// An asynchronous save between its start and the step that takes its result on the context's
/// thread. Everything but `landed` and `numbers` is set before the store is called and read-only
/// afterwards.
struct QMSaveFlight
{
    struct Sent
    {
        std::shared_ptr<QMManagedObject> object;
        /// The values written (empty for a deletion).
        QVariantList values;
        bool inserted = false;
        bool deleted = false;
    };
    std::vector<Sent> sent;
    /// The objects the save inserts, so that deleting one meanwhile keeps it for the next save.
    QSet<const QMManagedObject *> inserted;
    /// The temporary numbers of the inserted rows, by entity, in the order of the store's
    /// numbers.
    QHash<QString, QList<qint64>> temporaries;
    // Guarded by the coordinator's mutex: set in the same critical section as the store's save,
    // so that a fetch of the store sees the rows and the numbers together.
    bool landed = false;
    QMStoreNumbers numbers;

    /// temporary number -> permanent number of the entity's rows, once landed (under the
    /// coordinator's mutex).
    QHash<qint64, qint64> landedNumbers(const QString &entityName) const;
};

/// The changes of one context to the rows of one entity, as a fetch lays them over its parent's
/// rows: every changed number, and the rows of those not deleted (their current values).
struct QMFetchOverlay
{
    QSet<qint64> numbers;
    QList<QMStoreRow> rows;
};

/// A fetch or count taken apart on the context's thread so that the rest runs on any thread:
/// the coordinator, the request, and the changes of the context and its ancestors.
struct QMFetchPlan
{
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;
    std::shared_ptr<const QMManagedObjectModel> model;
    const QMEntityDescription *entity = nullptr;
    QMPredicate bound;
    QList<QMFetchSortDescriptor> sort;
    qsizetype limit = 0;
    bool withValues = true;
    /// [0] is the context's own, then its parent's, up to the context on the coordinator.
    QList<QMFetchOverlay> levels;
    /// The save in flight of the context on the coordinator, if any.
    std::shared_ptr<const QMSaveFlight> flight;

    /// The rows; temporary numbers of `flight`'s inserted rows that landed meanwhile go to
    /// `landed` (temporary -> permanent). Any thread. When the answer is the store's own
    /// (readsStoreAsIs()), `batches` takes rows as the store hands them over
    /// (QMStoreBackend::fetch(), under the coordinator's mutex) and `rows` gets the rest.
    bool fetch(QList<QMStoreRow> *rows, QHash<qint64, qint64> *landed, QMError *error,
               const QMRowBatches &batches = {}) const;
    /// Whether the answer is the store's rows as they come: no level has changes of the entity
    /// and no save is in flight.
    bool readsStoreAsIs() const;
    /// How many rows (the limit not applied); -1 with the error. Any thread.
    qsizetype count(QMError *error) const;
};

class QMManagedObjectContextNotifier;

class QMManagedObjectContext::Private
{
public:
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;
    std::shared_ptr<QMManagedObjectContext> parent;
    std::shared_ptr<const QMManagedObjectModel> model;
    QString name;
    QVariantMap userInfo;
    QMObjectRegistry registered;
    /// The child contexts, which take the permanent identifiers of objects this context saves
    /// to its store. Guarded by `childrenMutex`, since a child may be made on another thread.
    std::mutex childrenMutex;
    QList<std::weak_ptr<QMManagedObjectContext>> children;
    /// Objects inserted, deleted or with changed values, by address: a save of 100,000 new
    /// objects goes through this set several times, and hashing identifiers would dominate.
    QHash<QMObjectAddress, std::shared_ptr<QMManagedObject>> changed;
    /// The signals and the receiver of asynchronous results, made on first use on the thread
    /// that asks.
    std::unique_ptr<QMManagedObjectContextNotifier> notifier;
    /// The asynchronous save in flight, if any.
    std::shared_ptr<QMSaveFlight> flight;
    QMMergePolicy mergePolicy = QMMergePolicy::Error;
    /// Whether setMergePolicy() was called (else a store's default may apply).
    bool mergePolicySet = false;
    QList<QMMergeResolution> lastMergeResolutions;
};

/// The order of objects by number within an entity: permanent numbers first, ascending, then
/// temporary ones in the order of insertion (they count down from -1).
inline quint64 QMObjectOrderKey(qint64 number)
{
    return number < 0 ? (quint64(1) << 63) + quint64(-(number + 1)) : quint64(number);
}

/// The numbers a save gave new objects, by entity: (temporary number, permanent number).
using QMRenumbering = QHash<QString, QList<std::pair<qint64, qint64>>>;

/// Asks for the memory at `p` ahead of its use. A save walks many objects, each in memory of its
/// own: its loops ask for the state of an object a few objects before they read it, so that the
/// reads of several objects overlap.
inline void QMPrefetch(const void *p)
{
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    Q_UNUSED(p);
#endif
}

/// The internal operations on objects and contexts that the two classes share.
class QMManagedObjectAccess
{
public:
    using ObjectState = QMManagedObject::Private;
    /// A changed object as a save takes it: its entity and number (the order in which the save
    /// writes), the entry of the context's set of changes that holds it, and its state.
    struct ChangedObject
    {
        const QMEntityDescription *entity;
        qint64 number;
        const std::shared_ptr<QMManagedObject> *object;
        ObjectState *state;
    };
    using ChangedObjects = std::vector<ChangedObject>;
    /// Asks for an object's state (three cache lines) ahead of its use.
    static void prefetchState(const ObjectState *s)
    {
        const char *p = reinterpret_cast<const char *>(s);
        QMPrefetch(p);
        QMPrefetch(p + 64);
        QMPrefetch(p + 128);
    }

    static QMManagedObject::Private &state(const QMManagedObject &o) { return *o.d; }
    static QMManagedObjectContext::Private &state(const QMManagedObjectContext &c) { return *c.d; }
    /// A new object of the entity's registered class (or a plain one), in no context.
    /// `metaObject` is the class when the caller looked it up already (a fetch makes many).
    static std::shared_ptr<QMManagedObject>
    instantiate(const std::shared_ptr<const QMManagedObjectModel> &model,
                const QMEntityDescription &entity);
    static std::shared_ptr<QMManagedObject>
    instantiate(const std::shared_ptr<const QMManagedObjectModel> &model,
                const QMEntityDescription &entity, const QMetaObject *metaObject);
    /// A new object with the entity's default values and nothing saved yet.
    static std::shared_ptr<QMManagedObject>
    instantiateNew(const std::shared_ptr<const QMManagedObjectModel> &model,
                   const QMEntityDescription &entity);
    /// Reads a fault's values from its context's parent; an object gone keeps its values.
    static void fireFault(const QMManagedObject &o);
    /// Brings the context's set of changed objects up to date with the object's flags.
    static void noteChange(QMManagedObjectContext &c, const QMManagedObject &o);
    /// The row of the object in `c`'s parent (a context, or the store).
    static bool readParentRow(QMManagedObjectContext &c, const QMEntityDescription &entity,
                              qint64 number, QVariantList *values, QMError *error);
    /// The row of the object as `c` sees it (its own changes, else its parent's).
    static bool readRow(QMManagedObjectContext &c, const QMEntityDescription &entity, qint64 number,
                        QVariantList *values, QMError *error);
    /// The plan of a fetch or count of `request` in `c`, or false with the error (an unknown
    /// entity or sort key, a predicate that does not fit). Reads the context: its thread.
    static bool planFetch(QMManagedObjectContext &c, const QMFetchRequest &request,
                          QMFetchPlan *plan, QMError *error);
    /// Where fetched rows come from: the identifier of the coordinator's store, and the model
    /// class of the entity (nullptr: none), which makes their objects.
    struct RowOrigin
    {
        QString storeIdentifier;
        const QMetaObject *metaObject = nullptr;
    };
    /// The objects of `rows` (from `plan`) in `c`: registered ones as they are (a fault gets the
    /// values), others made and registered; `made` (when given) gets the positions in `objects`
    /// of those made. The context's thread.
    static void registerRows(QMManagedObjectContext &c, const QMFetchPlan &plan,
                             const RowOrigin &origin, const QHash<qint64, qint64> &landed,
                             QList<QMStoreRow> &rows, qsizetype from, qsizetype to,
                             QList<std::shared_ptr<QMManagedObject>> *objects,
                             QList<qsizetype> *made = nullptr);
    /// The same, asking the coordinator for its store's identifier and the registry for the
    /// entity's class.
    static void registerRows(QMManagedObjectContext &c, const QMFetchPlan &plan,
                             const QHash<qint64, qint64> &landed, QList<QMStoreRow> &rows,
                             qsizetype from, qsizetype to,
                             QList<std::shared_ptr<QMManagedObject>> *objects);
    /// The changed objects of `c` by entity and number, so that a store writes its rows in key
    /// order; they refer to the entries of the context's set of changes.
    static ChangedObjects sortedChanges(const QMManagedObjectContext &c);
    /// Validates the changes of a context on a coordinator and collects them for the store;
    /// `flight` (when given) gets what is sent. False with the error.
    static bool collectChanges(const ChangedObjects &changed, QMStoreChanges *changes,
                               QMSaveFlight *flight, QMError *error);
    /// Takes the result of `flight` on the context's thread: objects changed meanwhile keep
    /// those changes; true after a successful save, whose conflicts the merge policy settled
    /// as `settled` says (see takeSettled()).
    static void finishFlight(QMManagedObjectContext &c, const QMSaveFlight &flight, bool saved,
                             const QList<QMSettledConflict> &settled = {});
    /// The objects of `c` whose changes a save dropped because the store's values won.
    static QSet<const QMManagedObject *> storeWon(const QMManagedObjectContext &c,
                                                  const QList<QMSettledConflict> &settled);
    /// After a save whose conflicts the merge policy settled: sets c's lastMergeResolutions,
    /// and gives the objects whose store values won those values (an object deleted in the
    /// store leaves the context), with the values set since `flight` (when given) was sent
    /// kept on top. Emits valueChanged() of what changed, after all of it.
    static void takeSettled(QMManagedObjectContext &c, const QList<QMSettledConflict> &settled,
                            const QMSaveFlight *flight);
    /// Emits didSave() of the context's notifier, when it has receivers.
    static void announceSave(QMManagedObjectContext &c,
                             const QList<std::shared_ptr<QMManagedObject>> &inserted,
                             const QList<std::shared_ptr<QMManagedObject>> &updated,
                             const QList<std::shared_ptr<QMManagedObject>> &deleted);
    /// Gives objects of `c` and of its descendants their permanent identifiers after a save.
    static void renumber(QMManagedObjectContext &c, const QMRenumbering &permanent);
    /// For a save of `changed` by `c` to the store `storeIdentifier`: gives the new objects among
    /// them (the entries of temporary numbers) the numbers the store gave, in their order, and
    /// their values as saved; adds the (temporary, permanent) pairs to `permanent`. Takes no lock,
    /// so that it may run while the store writes (under the coordinator's mutex).
    static void renumberSaved(QMManagedObjectContext &c, const ChangedObjects &changed,
                              const QMStoreNumbers &numbers, const QString &storeIdentifier,
                              QMRenumbering *permanent);
    /// Undoes renumberSaved() after the save failed: the new objects are new again, under their
    /// temporary numbers.
    static void unrenumberSaved(QMManagedObjectContext &c, const ChangedObjects &changed,
                                const QString &storeIdentifier);
    /// The same as renumber() for the descendants of `c` only.
    static void renumberChildren(QMManagedObjectContext &c, const QMRenumbering &permanent);
    /// Sets one value of an object, updating its change flags and emitting valueChanged.
    static void setValueAt(QMManagedObject &o, qsizetype index, QVariant converted);
};

#pragma once

// The state behind contexts and objects, shared by QMManagedObject.cpp and
// QMManagedObjectContext.cpp.

#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <QHash>
#include <QSet>
#include <QVarLengthArray>

#include <mutex>

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

/// The objects a context holds, by identifier. Objects not yet saved to the store (temporary
/// identifiers) are kept apart, by their temporary number alone (unique on their coordinator):
/// a save of many new objects moves them over to their permanent identifiers, which costs one
/// insertion each, and the cheap key keeps inserting them cheap too.
class QMObjectRegistry
{
public:
    using ObjectPtr = std::shared_ptr<QMManagedObject>;

    ObjectPtr value(const QMManagedObjectID &id) const;
    void insert(const QMManagedObjectID &id, const ObjectPtr &object);
    void remove(const QMManagedObjectID &id) { take(id); }
    ObjectPtr take(const QMManagedObjectID &id);
    /// The entry for `id`, made empty when there is none.
    ObjectPtr &slot(const QMManagedObjectID &id);
    void reserve(qsizetype size) { m_saved.reserve(size); }
    qsizetype size() const { return m_saved.size() + m_unsaved.size(); }
    QList<ObjectPtr> values() const
    {
        QList<ObjectPtr> all;
        all.reserve(size());
        for (const ObjectPtr &object : m_saved)
            all.append(object);
        for (const ObjectPtr &object : m_unsaved)
            all.append(object);
        return all;
    }
    void clear()
    {
        m_saved.clear();
        m_unsaved.clear();
    }
    /// Gives the unsaved object of `temporary`, if this registry holds it, its permanent
    /// identifier `to`.
    void renumber(qint64 temporary, const QMManagedObjectID &to);

private:
    QHash<QMManagedObjectID, ObjectPtr> m_saved;
    QHash<qint64, ObjectPtr> m_unsaved;
};

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
    QHash<const QMManagedObject *, std::shared_ptr<QMManagedObject>> changed;
};

/// The order of objects by number within an entity: permanent numbers first, ascending, then
/// temporary ones in the order of insertion (they count down from -1).
inline quint64 QMObjectOrderKey(qint64 number)
{
    return number < 0 ? (quint64(1) << 63) + quint64(-(number + 1)) : quint64(number);
}

/// The numbers a save gave new objects, by entity: (temporary number, permanent number).
using QMRenumbering = QHash<QString, QList<std::pair<qint64, qint64>>>;

/// The internal operations on objects and contexts that the two classes share.
class QMManagedObjectAccess
{
public:
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
    /// The rows `c` answers a fetch with: its parent's, with its own changes laid over them.
    static bool fetchRows(QMManagedObjectContext &c, const QMEntityDescription &entity,
                          const QMPredicate &bound, const QList<QMFetchSortDescriptor> &sort,
                          qsizetype limit, bool withValues, QList<QMStoreRow> *rows,
                          QMError *error);
    static qsizetype countRows(QMManagedObjectContext &c, const QMEntityDescription &entity,
                               const QMPredicate &bound, QMError *error);
    /// Gives objects of `c` and of its descendants their permanent identifiers after a save.
    static void renumber(QMManagedObjectContext &c, const QMRenumbering &permanent);
    /// Sets one value of an object, updating its change flags and emitting valueChanged.
    static void setValueAt(QMManagedObject &o, qsizetype index, const QVariant &converted);
};

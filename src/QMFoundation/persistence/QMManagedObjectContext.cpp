#include <QMFoundation/persistence/QMManagedObjectContext.h>

#include "QMFoundation/persistence/QMManagedObjectContext_p.h"
#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMPersistentStoreAccess_p.h"
#include <QMFoundation/operations/QMAsyncContext.h>
#include <QMFoundation/persistence/QMCoreDataStore.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QMetaMethod>
#include <QScopeGuard>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

using ObjectPtr = std::shared_ptr<QMManagedObject>;

bool byEntityAndNumber(const ObjectPtr &a, const ObjectPtr &b)
{
    // No copies of the identifiers: this runs n log n times in a large save.
    const auto &x = QMManagedObjectAccess::state(*a);
    const auto &y = QMManagedObjectAccess::state(*b);
    if (x.entity != y.entity)
        return x.entity->name() < y.entity->name();
    return QMObjectOrderKey(x.id.number()) < QMObjectOrderKey(y.id.number());
}

bool matches(const QMPredicate &bound, const QMEntityDescription &entity,
             const QVariantList &values)
{
    if (bound.isNull())
        return true;
    return bound.evaluateWithValues([&](const QString &key) {
        const qsizetype i = entity.indexOfAttribute(key);
        return i < 0 ? QVariant() : values.value(i);
    });
}

void detach(QMManagedObject &o)
{
    QMManagedObjectAccess::state(o).context.reset();
}

} // namespace

const QMObjectRegistry::Numbers *QMObjectRegistry::table(const QString &storeIdentifier,
                                                         const QString &entityName) const
{
    const auto found = m_saved.constFind(entityName);
    if (found == m_saved.cend())
        return nullptr;
    for (const Table &t : *found) {
        if (t.storeIdentifier == storeIdentifier)
            return &t.objects;
    }
    return nullptr;
}

QMObjectRegistry::Numbers &QMObjectRegistry::tableMade(const QString &storeIdentifier,
                                                       const QString &entityName)
{
    auto &tables = m_saved[entityName];
    for (Table &t : tables) {
        if (t.storeIdentifier == storeIdentifier)
            return t.objects;
    }
    tables.append({storeIdentifier, {}});
    return tables.last().objects;
}

QMObjectRegistry::ObjectPtr QMObjectRegistry::value(const QMManagedObjectID &id) const
{
    if (!id.isTemporaryID()) {
        const Numbers *objects = table(id.storeIdentifier(), id.entityName());
        return objects ? objects->value(id.number()) : nullptr;
    }
    ObjectPtr o = m_unsaved.value(id.number());
    // The number alone is the key: the entity and store must match as well.
    return o && QMManagedObjectAccess::state(*o).id == id ? o : nullptr;
}

void QMObjectRegistry::insert(const QMManagedObjectID &id, const ObjectPtr &object)
{
    if (id.isTemporaryID())
        m_unsaved.insert(id.number(), object);
    else
        tableMade(id.storeIdentifier(), id.entityName()).insert(id.number(), object);
}

QMObjectRegistry::ObjectPtr QMObjectRegistry::take(const QMManagedObjectID &id)
{
    if (!id.isTemporaryID()) {
        const auto found = m_saved.find(id.entityName());
        if (found == m_saved.end())
            return nullptr;
        for (Table &t : *found) {
            if (t.storeIdentifier == id.storeIdentifier())
                return t.objects.take(id.number());
        }
        return nullptr;
    }
    if (!value(id))
        return nullptr;
    return m_unsaved.take(id.number());
}

QMObjectRegistry::ObjectPtr &QMObjectRegistry::slot(const QMManagedObjectID &id)
{
    return id.isTemporaryID() ? m_unsaved[id.number()]
                              : tableMade(id.storeIdentifier(), id.entityName())[id.number()];
}

QMObjectRegistry::Numbers &QMObjectRegistry::reserve(const QString &storeIdentifier,
                                                     const QString &entityName, qsizetype count)
{
    Numbers &objects = tableMade(storeIdentifier, entityName);
    if (objects.capacity() < objects.size() + count)
        objects.reserve(objects.size() + count);
    return objects;
}

qsizetype QMObjectRegistry::size() const
{
    qsizetype size = m_unsaved.size();
    for (const auto &tables : m_saved) {
        for (const Table &t : tables)
            size += t.objects.size();
    }
    return size;
}

QList<QMObjectRegistry::ObjectPtr> QMObjectRegistry::values() const
{
    QList<ObjectPtr> all;
    all.reserve(size());
    for (const auto &tables : m_saved) {
        for (const Table &t : tables) {
            for (const ObjectPtr &object : t.objects)
                all.append(object);
        }
    }
    for (const ObjectPtr &object : m_unsaved)
        all.append(object);
    return all;
}

void QMObjectRegistry::renumber(const QString &storeIdentifier, const QString &entityName,
                                const QList<std::pair<qint64, qint64>> &pairs)
{
    Numbers &objects = reserve(storeIdentifier, entityName, pairs.size());
    qsizetype moved = 0;
    for (const auto &[temporary, number] : pairs) {
        const auto found = m_unsaved.find(temporary);
        if (found == m_unsaved.end() || !*found)
            continue;
        QMManagedObjectID &id = QMManagedObjectAccess::state(**found).id;
        if (id.entityName() != entityName)
            continue;
        moveEntry(objects, found, id, QMManagedObjectID(storeIdentifier, entityName, number));
        ++moved;
    }
    dropMoved(moved);
}

bool QMObjectRegistry::moveSaved(Numbers &table, QMManagedObjectID &id,
                                 const QMManagedObjectID &permanent)
{
    const auto found = m_unsaved.find(id.number());
    if (found == m_unsaved.end() || !*found)
        return false;
    moveEntry(table, found, id, permanent);
    return true;
}

void QMObjectRegistry::moveEntry(Numbers &table, Numbers::iterator found, QMManagedObjectID &id,
                                 const QMManagedObjectID &permanent)
{
    id = permanent;
    table.insert(permanent.number(), std::move(*found));
}

void QMObjectRegistry::rename(const QMManagedObjectID &from, const QMManagedObjectID &to)
{
    if (ObjectPtr object = take(from))
        insert(to, object);
}

void QMObjectRegistry::dropMoved(qsizetype moved)
{
    if (moved == m_unsaved.size())
        m_unsaved.clear();
    else if (moved > 0)
        m_unsaved.removeIf([](const auto &entry) { return !entry.value(); });
}

QMManagedObjectContext::QMManagedObjectContext()
    : d(std::make_unique<Private>())
{ }

// Objects hold their context weakly, so they see it gone without being told.
QMManagedObjectContext::~QMManagedObjectContext() = default;

QMManagedObjectContextNotifier::QMManagedObjectContextNotifier()
    : inbox(this)
{ }

QMManagedObjectContextNotifier::~QMManagedObjectContextNotifier()
{
    inbox.detach();
}

bool QMManagedObjectContextNotifier::announces() const
{
    return isSignalConnected(QMetaMethod::fromSignal(&QMManagedObjectContextNotifier::didSave));
}

QMManagedObjectContextNotifier *QMManagedObjectContext::notifier()
{
    if (!d->notifier)
        d->notifier.reset(new QMManagedObjectContextNotifier);
    return d->notifier.get();
}

void QMManagedObjectAccess::announceSave(QMManagedObjectContext &c,
                                         const QList<std::shared_ptr<QMManagedObject>> &inserted,
                                         const QList<std::shared_ptr<QMManagedObject>> &updated,
                                         const QList<std::shared_ptr<QMManagedObject>> &deleted)
{
    if (c.d->notifier)
        Q_EMIT c.d->notifier->didSave(inserted, updated, deleted);
}

std::shared_ptr<QMManagedObjectContext>
QMManagedObjectContext::contextWithPersistentStoreCoordinator(
        const std::shared_ptr<QMPersistentStoreCoordinator> &coordinator)
{
    if (!coordinator)
        throw QMInternalInconsistencyException(
                u"Invalid parameter not satisfying: coordinator != nil"_s);
    std::shared_ptr<QMManagedObjectContext> c(new QMManagedObjectContext);
    c->d->coordinator = coordinator;
    c->d->model = coordinator->managedObjectModel();
    return c;
}

std::shared_ptr<QMManagedObjectContext> QMManagedObjectContext::contextWithParentContext(
        const std::shared_ptr<QMManagedObjectContext> &parent)
{
    if (!parent)
        throw QMInternalInconsistencyException(
                u"Invalid parameter not satisfying: parent != nil"_s);
    std::shared_ptr<QMManagedObjectContext> c(new QMManagedObjectContext);
    c->d->coordinator = parent->d->coordinator;
    c->d->parent = parent;
    c->d->model = parent->d->model;
    std::lock_guard lock(parent->d->childrenMutex);
    parent->d->children.removeIf([](const auto &child) { return child.expired(); });
    parent->d->children.append(c);
    return c;
}

std::shared_ptr<QMPersistentStoreCoordinator>
QMManagedObjectContext::persistentStoreCoordinator() const
{
    return d->coordinator;
}

std::shared_ptr<QMManagedObjectContext> QMManagedObjectContext::parentContext() const
{
    return d->parent;
}

QString QMManagedObjectContext::name() const
{
    return d->name;
}

void QMManagedObjectContext::setName(const QString &name)
{
    d->name = name;
}

QVariantMap QMManagedObjectContext::userInfo() const
{
    return d->userInfo;
}

void QMManagedObjectContext::setUserInfo(const QVariantMap &userInfo)
{
    d->userInfo = userInfo;
}

std::shared_ptr<QMManagedObject>
QMManagedObjectContext::insertNewObjectForEntityForName(const QString &entityName)
{
    const QMEntityDescription *entity = d->model->entityForName(entityName);
    if (!entity)
        throw QMInternalInconsistencyException(u"the model has no entity %1"_s.arg(entityName));
    ObjectPtr object = QMManagedObjectAccess::instantiateNew(d->model, *entity);
    insertObject(object);
    return object;
}

void QMManagedObjectContext::insertObject(const std::shared_ptr<QMManagedObject> &object)
{
    if (!object)
        throw QMInternalInconsistencyException(
                u"Invalid parameter not satisfying: object != nil"_s);
    QMManagedObject::Private &s = QMManagedObjectAccess::state(*object);
    if (s.model != d->model || !s.entity)
        throw QMInternalInconsistencyException(u"the object is not of this context's model"_s);
    if (!s.id.isNull())
        throw QMInternalInconsistencyException(u"the object is already in a context"_s);
    // Temporary until the store gives the object its number, in the save's own transaction.
    s.id = QMPersistentStoreAccess::temporaryID(*d->coordinator, s.entity->name());
    s.context = weak_from_this();
    s.inserted = true;
    d->registered.insert(s.id, object);
    d->changed.insert(object.get(), object);
}

void QMManagedObjectContext::deleteObject(const std::shared_ptr<QMManagedObject> &object)
{
    if (!object || d->registered.value(object->objectID()) != object)
        return;
    QMManagedObject::Private &s = QMManagedObjectAccess::state(*object);
    s.deleted = true;
    // An object that a save in flight inserts stays, for the next save to delete.
    if (s.inserted && !(d->flight && d->flight->inserted.contains(object.get()))) {
        // Never reached the parent: it simply goes.
        d->registered.remove(s.id);
        d->changed.remove(object.get());
        detach(*object);
        return;
    }
    d->changed.insert(object.get(), object);
}

bool QMManagedObjectAccess::readParentRow(QMManagedObjectContext &c,
                                          const QMEntityDescription &entity, qint64 number,
                                          QVariantList *values, QMError *error)
{
    if (c.d->parent)
        return readRow(*c.d->parent, entity, number, values, error);
    return QMPersistentStoreAccess::readRow(*c.d->coordinator, entity, number, values, error);
}

bool QMManagedObjectAccess::readRow(QMManagedObjectContext &c, const QMEntityDescription &entity,
                                    qint64 number, QVariantList *values, QMError *error)
{
    const auto store = c.d->coordinator->persistentStore();
    const QMManagedObjectID id(store ? store->identifier() : QString(), entity.name(), number);
    if (const ObjectPtr o = c.d->registered.value(id)) {
        const QMManagedObject::Private &s = state(*o);
        if (s.deleted)
            return false;
        if (!s.fault) {
            *values = s.values;
            return true;
        }
    }
    return readParentRow(c, entity, number, values, error);
}

void QMManagedObjectAccess::noteChange(QMManagedObjectContext &c, const QMManagedObject &o)
{
    if (!o.hasChanges())
        c.d->changed.remove(&o);
    else if (!c.d->changed.contains(&o))
        c.d->changed.insert(&o, c.d->registered.value(o.objectID()));
}

QHash<qint64, qint64> QMSaveFlight::landedNumbers(const QString &entityName) const
{
    QHash<qint64, qint64> map;
    if (!landed)
        return map;
    const QList<qint64> given = numbers.value(entityName);
    const QList<qint64> temporary = temporaries.value(entityName);
    for (qsizetype i = 0; i < temporary.size() && i < given.size(); ++i)
        map.insert(temporary.at(i), given.at(i));
    return map;
}

bool QMFetchPlan::readsStoreAsIs() const
{
    return !flight && std::all_of(levels.cbegin(), levels.cend(), [](const QMFetchOverlay &o) {
        return o.numbers.isEmpty();
    });
}

bool QMFetchPlan::fetch(QList<QMStoreRow> *rows, QHash<qint64, qint64> *landed, QMError *error,
                        const QMRowBatches &batches) const
{
    // The rows a save in flight inserted, when it landed before the store was read: they are
    // there under their permanent numbers and in the overlay under their temporary ones.
    QSet<qint64> landedRows;
    const std::function<bool(qsizetype, qsizetype, bool)> level = [&](qsizetype i,
                                                                      qsizetype levelLimit,
                                                                      bool levelValues) {
        if (i == levels.size()) {
            return QMPersistentStoreAccess::fetch(
                    *coordinator, *entity, bound, sort, levelLimit, levelValues, rows, error,
                    [&] {
                        if (flight)
                            *landed = flight->landedNumbers(entity->name());
                    },
                    readsStoreAsIs() ? batches : QMRowBatches());
        }
        const QMFetchOverlay &overlay = levels.at(i);
        // Without changes of this entity the parent's answer is this level's answer.
        if (overlay.numbers.isEmpty())
            return level(i + 1, levelLimit, levelValues);
        // The parent's answer, whole: the changes may drop some of its rows or add others
        // before the limit is taken. Values are needed only to sort again.
        if (!level(i + 1, 0, levelValues || !sort.isEmpty()))
            return false;
        if (landedRows.isEmpty() && !landed->isEmpty()) {
            for (const qint64 number : std::as_const(*landed))
                landedRows.insert(number);
        }
        rows->removeIf([&](const QMStoreRow &row) {
            return overlay.numbers.contains(row.number) || landedRows.contains(row.number);
        });
        for (const QMStoreRow &row : overlay.rows) {
            if (matches(bound, *entity, row.values))
                rows->append(row);
        }
        QMStoreBackends::finishRows(*rows, *entity, sort, levelLimit, levelValues);
        return true;
    };
    return level(0, limit, withValues);
}

qsizetype QMFetchPlan::count(QMError *error) const
{
    const bool changes = std::any_of(levels.cbegin(), levels.cend(),
                                     [](const QMFetchOverlay &o) { return !o.numbers.isEmpty(); });
    if (!changes)
        return QMPersistentStoreAccess::count(*coordinator, *entity, bound, error);
    QMFetchPlan whole = *this;
    whole.sort.clear();
    whole.limit = 0;
    whole.withValues = false;
    QList<QMStoreRow> rows;
    QHash<qint64, qint64> landed;
    if (!whole.fetch(&rows, &landed, error))
        return -1;
    return rows.size();
}

namespace {

// The entity and bound predicate of a request, or false with the error.
bool prepareRequest(const QMManagedObjectModel &model, const QMFetchRequest &request,
                    const QMEntityDescription **entity, QMPredicate *bound, QMError *error)
{
    *entity = model.entityForName(request.entityName());
    if (!*entity) {
        *error = QMStoreBackends::makeError(
                QMPersistentStoreOperationError,
                u"The model has no entity \"%1\"."_s.arg(request.entityName()));
        return false;
    }
    for (const QMFetchSortDescriptor &sort : request.sortDescriptors()) {
        if ((*entity)->indexOfAttribute(sort.key) < 0) {
            *error = QMStoreBackends::makeError(
                    QMPredicateInvalidKeyError,
                    u"The entity %1 has no attribute \"%2\" to sort by."_s.arg(request.entityName(),
                                                                               sort.key));
            return false;
        }
    }
    if (request.predicate().isNull()) {
        *bound = QMPredicate();
        return true;
    }
    QMError bindError;
    *bound = request.predicate().boundToEntity(**entity, &bindError);
    if (bound->isNull()) {
        *error = bindError.isNull() ? QMStoreBackends::makeError(
                         QMPredicateInvalidKeyError,
                         u"The predicate does not fit the entity %1."_s.arg(request.entityName()))
                                    : bindError;
        return false;
    }
    return true;
}

} // namespace

bool QMManagedObjectAccess::planFetch(QMManagedObjectContext &c, const QMFetchRequest &request,
                                      QMFetchPlan *plan, QMError *error)
{
    plan->coordinator = c.d->coordinator;
    plan->model = c.d->model;
    if (!prepareRequest(*c.d->model, request, &plan->entity, &plan->bound, error))
        return false;
    plan->sort = request.sortDescriptors();
    plan->limit = request.fetchLimit();
    plan->withValues = request.includesPropertyValues();
    for (QMManagedObjectContext *level = &c; level; level = level->d->parent.get()) {
        QMFetchOverlay overlay;
        for (const ObjectPtr &o : std::as_const(level->d->changed)) {
            const QMManagedObject::Private &s = state(*o);
            if (s.entity->name() != plan->entity->name())
                continue;
            overlay.numbers.insert(s.id.number());
            if (s.deleted)
                continue;
            if (s.fault)
                fireFault(*o);
            overlay.rows.append({s.id.number(), s.values});
        }
        plan->levels.append(std::move(overlay));
        if (!level->d->parent)
            plan->flight = level->d->flight;
    }
    return true;
}

void QMManagedObjectAccess::registerRows(QMManagedObjectContext &c, const QMFetchPlan &plan,
                                         const QHash<qint64, qint64> &landed,
                                         QList<QMStoreRow> &rows, qsizetype from, qsizetype to,
                                         QList<std::shared_ptr<QMManagedObject>> *objects)
{
    const auto store = c.d->coordinator->persistentStore();
    registerRows(c, plan,
                 {store ? store->identifier() : QString(),
                  QMManagedObjectClassForEntityName(plan.entity->name())},
                 landed, rows, from, to, objects);
}

void QMManagedObjectAccess::registerRows(QMManagedObjectContext &c, const QMFetchPlan &plan,
                                         const RowOrigin &origin,
                                         const QHash<qint64, qint64> &landed,
                                         QList<QMStoreRow> &rows, qsizetype from, qsizetype to,
                                         QList<std::shared_ptr<QMManagedObject>> *objects,
                                         QList<qsizetype> *made)
{
    const QString &storeIdentifier = origin.storeIdentifier;
    const QString &entityName = plan.entity->name();
    const auto self = c.weak_from_this();
    const QMetaObject *metaObject = origin.metaObject;
    // Only temporary identifiers are registered apart, so the table stays valid in the loop.
    QMObjectRegistry::Numbers &saved
            = c.d->registered.reserve(storeIdentifier, entityName, to - from);
    for (qsizetype i = from; i < to; ++i) {
        QMStoreRow &row = rows[i];
        QMManagedObjectID id(storeIdentifier, entityName, row.number);
        if (row.number < 0 && !c.d->registered.value(id)) {
            // Inserted by a save that the context took meanwhile: the object has its permanent
            // identifier now.
            if (const auto permanent = landed.constFind(row.number); permanent != landed.cend())
                id = QMManagedObjectID(storeIdentifier, entityName, *permanent);
        }
        ObjectPtr &object = id.isTemporaryID() ? c.d->registered.slot(id) : saved[id.number()];
        if (object) {
            QMManagedObject::Private &s = state(*object);
            if (s.fault && plan.withValues) {
                s.values = row.values;
                s.saved = std::move(row.values);
                s.fault = false;
            }
        } else {
            object = instantiate(c.d->model, *plan.entity, metaObject);
            if (made)
                made->append(objects->size());
            QMManagedObject::Private &s = state(*object);
            s.id = id;
            s.context = self;
            if (plan.withValues) {
                s.values = row.values;
                s.saved = std::move(row.values);
            } else {
                s.fault = true;
                s.values = QVariantList(plan.entity->attributes().size());
                s.saved = s.values;
            }
        }
        objects->append(object);
    }
}

QList<std::shared_ptr<QMManagedObject>>
QMManagedObjectContext::executeFetchRequest(const QMFetchRequest &request, QMError *error)
{
    QMError failure;
    QMFetchPlan plan;
    if (!QMManagedObjectAccess::planFetch(*this, request, &plan, &failure)) {
        if (error)
            *error = failure;
        return {};
    }
    const auto store = d->coordinator->persistentStore();
    // Looked up once: a class registered meanwhile does not change how this fetch makes objects.
    const QMManagedObjectAccess::RowOrigin origin {
            store ? store->identifier() : QString(),
            QMManagedObjectClassForEntityName(plan.entity->name())};
    QList<QMStoreRow> rows;
    QHash<qint64, qint64> landed;
    QList<ObjectPtr> objects;
    // The objects of the rows a store hands over while it reads the rest are made meanwhile, so
    // that both go on at once. That runs under the coordinator's mutex, so only where it runs
    // none of the application's code: the entity has no class of its own (a class's constructor
    // might call the coordinator). The objects it made are taken out again if the fetch fails.
    QList<qsizetype> made;
    QMRowBatches batches;
    if (!origin.metaObject) {
        batches = [&](QList<QMStoreRow> &batch) {
            QMManagedObjectAccess::registerRows(*this, plan, origin, landed, batch, 0, batch.size(),
                                                &objects, &made);
            batch.clear();
        };
    }
    bool fetched = false;
    const auto forget = qScopeGuard([&] {
        if (!fetched) {
            for (const qsizetype i : std::as_const(made))
                d->registered.remove(objects.at(i)->objectID());
        }
    });
    if (!plan.fetch(&rows, &landed, &failure, batches)) {
        if (error)
            *error = failure;
        return {};
    }
    objects.reserve(objects.size() + rows.size());
    QMManagedObjectAccess::registerRows(*this, plan, origin, landed, rows, 0, rows.size(),
                                        &objects);
    fetched = true;
    return objects;
}

qsizetype QMManagedObjectContext::countForFetchRequest(const QMFetchRequest &request,
                                                       QMError *error)
{
    QMError failure;
    QMFetchPlan plan;
    qsizetype n = -1;
    if (QMManagedObjectAccess::planFetch(*this, request, &plan, &failure))
        n = plan.count(&failure);
    if (n < 0) {
        if (error)
            *error = failure;
        return -1;
    }
    return request.fetchLimit() > 0 ? std::min(n, request.fetchLimit()) : n;
}

std::shared_ptr<QMManagedObject>
QMManagedObjectContext::existingObjectWithID(const QMManagedObjectID &objectID, QMError *error)
{
    const auto gone = [&]() -> ObjectPtr {
        if (error)
            *error = QMStoreBackends::makeError(
                    QMManagedObjectReferentialIntegrityError,
                    u"The object %1 does not exist."_s.arg(objectID.URIRepresentation().toString()),
                    {{u"QMAffectedObjectURL"_s, objectID.URIRepresentation()}});
        return nullptr;
    };
    const auto store = d->coordinator->persistentStore();
    const QMEntityDescription *entity = d->model->entityForName(objectID.entityName());
    if (objectID.isNull() || !entity || !store || objectID.storeIdentifier() != store->identifier())
        return gone();
    QVariantList values;
    QMError failure;
    if (const ObjectPtr o = d->registered.value(objectID)) {
        QMManagedObject::Private &s = QMManagedObjectAccess::state(*o);
        if (s.deleted)
            return gone();
        if (!s.fault)
            return o;
        if (!QMManagedObjectAccess::readParentRow(*this, *entity, objectID.number(), &values,
                                                  &failure))
            return failure.isNull() ? gone() : (error ? (*error = failure, nullptr) : nullptr);
        s.values = values;
        s.saved = values;
        s.fault = false;
        return o;
    }
    if (!QMManagedObjectAccess::readParentRow(*this, *entity, objectID.number(), &values,
                                              &failure)) {
        if (!failure.isNull()) {
            if (error)
                *error = failure;
            return nullptr;
        }
        return gone();
    }
    ObjectPtr object = QMManagedObjectAccess::instantiate(d->model, *entity);
    QMManagedObject::Private &s = QMManagedObjectAccess::state(*object);
    s.id = objectID;
    s.context = weak_from_this();
    s.values = values;
    s.saved = values;
    d->registered.insert(objectID, object);
    return object;
}

std::shared_ptr<QMManagedObject>
QMManagedObjectContext::objectRegisteredForID(const QMManagedObjectID &objectID) const
{
    return d->registered.value(objectID);
}

bool QMManagedObjectContext::hasChanges() const
{
    return !d->changed.isEmpty();
}

namespace {

QList<ObjectPtr> collect(const QHash<QMObjectAddress, ObjectPtr> &changed,
                         const std::function<bool(const QMManagedObject &)> &take)
{
    QList<ObjectPtr> list;
    list.reserve(changed.size());
    for (const ObjectPtr &o : changed) {
        if (take(*o))
            list.append(o);
    }
    std::sort(list.begin(), list.end(), byEntityAndNumber);
    return list;
}

} // namespace

QList<std::shared_ptr<QMManagedObject>> QMManagedObjectContext::insertedObjects() const
{
    return collect(d->changed, [](const QMManagedObject &o) { return o.isInserted(); });
}

QList<std::shared_ptr<QMManagedObject>> QMManagedObjectContext::updatedObjects() const
{
    return collect(d->changed, [](const QMManagedObject &o) { return o.isUpdated(); });
}

QList<std::shared_ptr<QMManagedObject>> QMManagedObjectContext::deletedObjects() const
{
    return collect(d->changed, [](const QMManagedObject &o) { return o.isDeleted(); });
}

QList<std::shared_ptr<QMManagedObject>> QMManagedObjectContext::registeredObjects() const
{
    QList<ObjectPtr> list = d->registered.values();
    std::sort(list.begin(), list.end(), byEntityAndNumber);
    return list;
}

namespace {

// Checks an object about to be saved (missing mandatory values).
bool validForSave(const QMManagedObjectAccess::ObjectState &s, QMError *error)
{
    if (s.deleted)
        return true;
    const QList<QMAttributeDescription> &attributes = s.entity->attributes();
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        if (attributes.at(i).optional
            || !QMPersistenceValue::isAbsent(QMPersistenceValue::valueAt(s.values, i)))
            continue;
        if (error)
            *error = QMStoreBackends::makeError(
                    QMValidationMissingMandatoryPropertyError,
                    u"The %1 attribute \"%2\" needs a value."_s.arg(s.entity->name(),
                                                                    attributes.at(i).name),
                    {{QMValidationKeyErrorKey, attributes.at(i).name},
                     {u"QMValidationObject"_s, s.id.URIRepresentation()}});
        return false;
    }
    return true;
}

QMError saveInFlightError()
{
    return QMStoreBackends::makeError(
            QMPersistentStoreOperationError,
            u"A save of this context is still in progress; save again once it has finished."_s);
}

} // namespace

QMManagedObjectAccess::ChangedObjects
QMManagedObjectAccess::sortedChanges(const QMManagedObjectContext &c)
{
    // The objects are referred to where c.d->changed holds them (it is left alone until the save
    // ends), and their sort keys copied out: a save of 100,000 objects sorts 100,000 keys, and
    // chasing pointers or copying shared pointers there costs more than the rest of it.
    ChangedObjects entries;
    entries.reserve(size_t(c.d->changed.size()));
    for (auto it = c.d->changed.cbegin(); it != c.d->changed.cend(); ++it)
        entries.push_back({nullptr, 0, &it.value(), nullptr});
    // Each object's state is two pointers away: the object is asked for `ahead` objects early,
    // its state half as early, so that the reads of several objects overlap.
    constexpr size_t ahead = 16;
    const size_t n = entries.size();
    for (size_t i = 0; i < n; ++i) {
        if (i + ahead < n)
            QMPrefetch(&(*entries[i + ahead].object)->d);
        if (i + ahead / 2 < n)
            QMManagedObjectAccess::prefetchState((*entries[i + ahead / 2].object)->d.get());
        ChangedObject &e = entries[i];
        e.state = (*e.object)->d.get();
        e.entity = e.state->entity;
        e.number = e.state->id.number();
    }
    std::sort(entries.begin(), entries.end(), [](const ChangedObject &a, const ChangedObject &b) {
        return a.entity != b.entity ? std::less<>()(a.entity, b.entity)
                                    : QMObjectOrderKey(a.number) < QMObjectOrderKey(b.number);
    });
    return entries;
}

bool QMManagedObjectAccess::collectChanges(const ChangedObjects &changed, QMStoreChanges *changes,
                                           QMSaveFlight *flight, QMError *error)
{
    const QMEntityDescription *entity = nullptr;
    QList<QMStoreRow> *inserted = nullptr;
    QList<QMStoreUpdate> *updated = nullptr;
    QList<QMStoreUpdate> *deleted = nullptr;
    if (flight)
        flight->sent.reserve(changed.size());
    // One pass validates and collects, since each object's state is a cache miss of its own;
    // the state is asked for a few objects ahead, and the values half as far.
    constexpr size_t ahead = 8;
    const size_t n = changed.size();
    for (size_t i = 0; i < n; ++i) {
        if (i + ahead < n)
            QMManagedObjectAccess::prefetchState(changed[i + ahead].state);
        if (i + ahead / 2 < n)
            QMPrefetch(changed[i + ahead / 2].state->values.constData());
        const ObjectPtr &o = *changed[i].object;
        const QMManagedObject::Private &s = *changed[i].state;
        if (!validForSave(s, error))
            return false;
        if (s.entity != entity) {
            entity = s.entity;
            // The entity's new objects (temporary numbers) end its run: the lists of inserted
            // rows are made once, at their size.
            size_t end = i;
            while (end < n && changed[end].entity == entity)
                ++end;
            size_t firstNew = end;
            while (firstNew > i && changed[firstNew - 1].number < 0)
                --firstNew;
            inserted = &changes->inserted[entity->name()];
            inserted->reserve(inserted->size() + qsizetype(end - firstNew));
            updated = &changes->updated[entity->name()];
            deleted = &changes->deleted[entity->name()];
        }
        // The values last read go with every change, so that the store can refuse to overwrite
        // what was saved since; a fault never read has none to compare.
        if (s.deleted) {
            deleted->append({s.id.number(), {}, s.fault ? QVariantList() : s.saved});
        } else if (s.inserted) {
            inserted->append({s.id.number(), s.values});
        } else {
            updated->append({s.id.number(), s.values, s.saved});
        }
        if (flight) {
            flight->sent.push_back(
                    {o, s.deleted ? QVariantList() : s.values, s.inserted, s.deleted});
            if (s.inserted && !s.deleted) {
                flight->inserted.insert(o.get());
                flight->temporaries[entity->name()].append(s.id.number());
            }
        }
    }
    return true;
}

void QMManagedObjectAccess::renumberSaved(QMManagedObjectContext &c, const ChangedObjects &changed,
                                          const QMStoreNumbers &numbers,
                                          const QString &storeIdentifier, QMRenumbering *permanent)
{
    // The new objects of each entity took the store's numbers in the order of `changed`; they
    // move to their permanent identifiers in this one pass over them, and `permanent` gets the
    // pairs for the descendants' registries.
    const QMEntityDescription *entity = nullptr;
    QMObjectRegistry::Numbers *table = nullptr;
    QList<qint64> given;
    QList<std::pair<qint64, qint64>> *pairs = nullptr;
    qsizetype next = 0;
    qsizetype moved = 0;
    constexpr size_t ahead = 8;
    for (size_t i = 0; i < changed.size(); ++i) {
        if (changed[i].number >= 0)
            continue;
        if (i + ahead < changed.size())
            prefetchState(changed[i + ahead].state);
        ObjectState &s = *changed[i].state;
        if (s.entity != entity) {
            entity = s.entity;
            given = numbers.value(entity->name());
            pairs = &(*permanent)[entity->name()];
            pairs->reserve(given.size());
            table = &c.d->registered.reserve(storeIdentifier, entity->name(), given.size());
            next = 0;
        }
        if (next >= given.size())
            continue;
        const qint64 number = given.at(next++);
        pairs->append({s.id.number(), number});
        if (c.d->registered.moveSaved(*table, s.id,
                                      QMManagedObjectID(storeIdentifier, entity->name(), number)))
            ++moved;
        s.inserted = false;
        s.saved = s.values;
        s.changed.clear();
    }
    c.d->registered.dropMoved(moved);
}

void QMManagedObjectAccess::unrenumberSaved(QMManagedObjectContext &c,
                                            const ChangedObjects &changed,
                                            const QString &storeIdentifier)
{
    for (const ChangedObject &e : changed) {
        ObjectState &s = *e.state;
        if (e.number >= 0 || s.id.number() == e.number)
            continue;
        const QMManagedObjectID temporary(storeIdentifier, s.entity->name(), e.number);
        c.d->registered.rename(s.id, temporary);
        s.id = temporary;
        s.inserted = true;
        s.saved = s.entity->m_absentValues;
        for (qsizetype i = 0; i < s.values.size(); ++i)
            s.setChanged(i, !QMPersistenceValue::isAbsent(s.values.at(i)));
    }
}

bool QMManagedObjectContext::save(QMError *error)
{
    if (d->flight) {
        QMSetError(error, saveInFlightError());
        return false;
    }
    if (d->changed.isEmpty())
        return true;
    const auto changed = QMManagedObjectAccess::sortedChanges(*this);
    // What didSave() announces, taken before the save clears the flags.
    const bool announce = d->notifier && d->notifier->announces();
    const QList<ObjectPtr> announcedInserted = announce ? insertedObjects() : QList<ObjectPtr>();
    const QList<ObjectPtr> announcedUpdated = announce ? updatedObjects() : QList<ObjectPtr>();
    const QList<ObjectPtr> announcedDeleted = announce ? deletedObjects() : QList<ObjectPtr>();

    // The permanent numbers the store gave, by entity: (temporary, permanent).
    QMRenumbering permanent;
    // The conflicts the merge policy settled, and the objects whose store values won.
    QList<QMSettledConflict> settled;
    QSet<const QMManagedObject *> storeWon;
    if (!d->parent) {
        QMStoreChanges changes;
        // Validation first: nothing moves unless every object can be saved.
        if (!QMManagedObjectAccess::collectChanges(changed, &changes, nullptr, error))
            return false;
        const auto store = d->coordinator->persistentStore();
        const QString storeIdentifier = store ? store->identifier() : QString();
        // A store that numbers the new rows before it writes them hands the numbers over: the
        // new objects take them here while it writes, and go back to their temporary numbers
        // if the save fails after all.
        std::optional<QMStoreNumbers> renumbered;
        changes.numbered = [&](const QMStoreNumbers &given) {
            if (renumbered)
                QMManagedObjectAccess::unrenumberSaved(*this, changed, storeIdentifier);
            permanent.clear();
            QMManagedObjectAccess::renumberSaved(*this, changed, given, storeIdentifier,
                                                 &permanent);
            renumbered = given;
        };
        QMError failure;
        QMStoreNumbers numbers;
        d->lastMergeResolutions.clear();
        if (!QMPersistentStoreAccess::saveMerging(*d->coordinator, std::move(changes),
                                                  d->mergePolicy, &numbers, &settled, &failure)) {
            if (renumbered)
                QMManagedObjectAccess::unrenumberSaved(*this, changed, storeIdentifier);
            if (error)
                *error = failure;
            return false;
        }
        storeWon = QMManagedObjectAccess::storeWon(*this, settled);
        if (renumbered != numbers) {
            if (renumbered)
                QMManagedObjectAccess::unrenumberSaved(*this, changed, storeIdentifier);
            permanent.clear();
            QMManagedObjectAccess::renumberSaved(*this, changed, numbers, storeIdentifier,
                                                 &permanent);
        }
    } else {
        // A child's save cannot fail past validation: the parent's objects are made or changed
        // from the child's own values, without reading anything. Faults of the parent are read
        // first so that a changed value lands on loaded values.
        for (const auto &c : changed) {
            if (!validForSave(*c.state, error))
                return false;
        }
        QMManagedObjectContext &parent = *d->parent;
        for (const auto &c : changed) {
            const ObjectPtr p = parent.d->registered.value(c.state->id);
            if (p && QMManagedObjectAccess::state(*p).fault)
                QMManagedObjectAccess::fireFault(*p);
        }
        const auto parentSelf = parent.weak_from_this();
        for (const auto &c : changed) {
            const QMManagedObject::Private &s = *c.state;
            ObjectPtr p = parent.d->registered.value(s.id);
            if (!p) {
                p = QMManagedObjectAccess::instantiate(d->model, *s.entity);
                QMManagedObject::Private &ps = QMManagedObjectAccess::state(*p);
                ps.id = s.id;
                ps.context = parentSelf;
                ps.inserted = s.inserted;
                ps.values = s.inserted ? s.values : s.saved;
                ps.saved = s.inserted ? QVariantList(s.values.size()) : s.saved;
                parent.d->registered.insert(s.id, p);
            }
            QMManagedObject::Private &ps = QMManagedObjectAccess::state(*p);
            if (s.deleted) {
                ps.deleted = true;
                if (ps.inserted
                    && !(parent.d->flight && parent.d->flight->inserted.contains(p.get()))) {
                    parent.d->registered.remove(s.id);
                    parent.d->changed.remove(p.get());
                    detach(*p);
                    continue;
                }
            } else {
                for (qsizetype i = 0; i < s.values.size(); ++i)
                    QMManagedObjectAccess::setValueAt(*p, i, s.values.at(i));
            }
            parent.d->changed.insert(p.get(), p);
        }
    }

    // Committed: the context's values are now its parent's (the store's, for objects whose store
    // values won, which takeSettled() gives them).
    // New objects were taken care of with their numbers (renumberSaved()).
    const auto done = [&](size_t i) {
        return !d->parent && changed[i].number < 0;
    };
    constexpr size_t ahead = 8;
    for (size_t i = 0; i < changed.size(); ++i) {
        if (i + ahead < changed.size() && !done(i + ahead))
            QMManagedObjectAccess::prefetchState(changed[i + ahead].state);
        if (done(i))
            continue;
        const ObjectPtr &o = *changed[i].object;
        QMManagedObject::Private &s = *changed[i].state;
        if (!storeWon.isEmpty() && storeWon.contains(o.get()))
            continue;
        if (s.deleted) {
            d->registered.remove(s.id);
            detach(*o);
            continue;
        }
        s.inserted = false;
        s.saved = s.values;
        s.changed.clear();
    }
    d->changed.clear();
    if (!permanent.isEmpty())
        QMManagedObjectAccess::renumberChildren(*this, permanent);
    if (!settled.isEmpty())
        QMManagedObjectAccess::takeSettled(*this, settled, nullptr);
    if (announce) {
        const auto saved = [&](QList<ObjectPtr> list) {
            list.removeIf([&](const ObjectPtr &o) { return storeWon.contains(o.get()); });
            return list;
        };
        QMManagedObjectAccess::announceSave(*this, announcedInserted, saved(announcedUpdated),
                                            saved(announcedDeleted));
    }
    return true;
}

QMMergePolicy QMManagedObjectContext::mergePolicy() const
{
    return d->mergePolicy;
}

void QMManagedObjectContext::setMergePolicy(QMMergePolicy policy)
{
    d->mergePolicy = policy;
    d->mergePolicySet = true;
}

QList<QMMergeResolution> QMManagedObjectContext::lastMergeResolutions() const
{
    return d->lastMergeResolutions;
}

namespace {

// The identifier of a settled object in `c`'s store.
QMManagedObjectID settledID(const QMManagedObjectContext &c, const QMSettledConflict &conflict)
{
    const auto store = c.persistentStoreCoordinator()->persistentStore();
    return QMManagedObjectID(store ? store->identifier() : QString(), conflict.entityName,
                             conflict.number);
}

bool storeValuesWon(QMMergeOutcome outcome)
{
    return outcome == QMMergeOutcome::StoreValuesKept || outcome == QMMergeOutcome::DeletionDropped
            || outcome == QMMergeOutcome::DeletedInStore;
}

} // namespace

QSet<const QMManagedObject *>
QMManagedObjectAccess::storeWon(const QMManagedObjectContext &c,
                                const QList<QMSettledConflict> &settled)
{
    QSet<const QMManagedObject *> objects;
    for (const QMSettledConflict &conflict : settled) {
        if (!storeValuesWon(conflict.outcome))
            continue;
        if (const ObjectPtr o = c.d->registered.value(settledID(c, conflict)))
            objects.insert(o.get());
    }
    return objects;
}

void QMManagedObjectAccess::takeSettled(QMManagedObjectContext &c,
                                        const QList<QMSettledConflict> &settled,
                                        const QMSaveFlight *flight)
{
    QHash<const QMManagedObject *, const QVariantList *> sent;
    if (flight) {
        for (const QMSaveFlight::Sent &s : flight->sent)
            sent.insert(s.object.get(), &s.values);
    }
    // valueChanged() goes out once the context is settled: (object, attribute names).
    QList<std::pair<ObjectPtr, QStringList>> announcements;
    c.d->lastMergeResolutions.clear();
    for (const QMSettledConflict &conflict : settled) {
        const QMManagedObjectID id = settledID(c, conflict);
        c.d->lastMergeResolutions.append({id, conflict.outcome});
        const ObjectPtr o = storeValuesWon(conflict.outcome) ? c.d->registered.value(id) : nullptr;
        if (!o)
            continue;
        QMManagedObject::Private &s = state(*o);
        if (conflict.outcome == QMMergeOutcome::DeletedInStore) {
            s.deleted = true;
            s.changed.clear();
            c.d->registered.remove(id);
            c.d->changed.remove(o.get());
            detach(*o);
            continue;
        }
        // Values set since the save was sent stay on top of the store's.
        const QVariantList *wrote = flight ? sent.value(o.get()) : nullptr;
        const QVariantList before = s.values;
        const QList<QMAttributeDescription> &attributes = s.entity->attributes();
        for (qsizetype i = 0; i < attributes.size(); ++i) {
            const bool setSince = wrote && !wrote->isEmpty()
                    && QMPersistenceValue::differs(before.value(i), wrote->value(i),
                                                   attributes.at(i).type);
            if (!setSince)
                s.values[i] = conflict.storeValues.value(i);
        }
        s.saved = conflict.storeValues;
        s.deleted = false;
        s.fault = false;
        QStringList names;
        for (qsizetype i = 0; i < attributes.size(); ++i) {
            s.setChanged(i,
                         QMPersistenceValue::differs(s.values.at(i), s.saved.at(i),
                                                     attributes.at(i).type));
            if (QMPersistenceValue::differs(before.value(i), s.values.at(i), attributes.at(i).type))
                names.append(attributes.at(i).name);
        }
        noteChange(c, *o);
        if (!names.isEmpty())
            announcements.append({o, names});
    }
    for (const auto &[object, names] : std::as_const(announcements)) {
        for (const QString &name : names)
            Q_EMIT object->valueChanged(name);
    }
}

void QMManagedObjectAccess::finishFlight(QMManagedObjectContext &c, const QMSaveFlight &flight,
                                         bool saved, const QList<QMSettledConflict> &settled)
{
    QMManagedObjectContext::Private &d = *c.d;
    // Objects that reset() or rollback() took out of the context meanwhile are left alone.
    const auto mine = [&c](const QMManagedObject &o) {
        return state(o).context.lock().get() == &c;
    };
    d.lastMergeResolutions.clear();
    if (!saved) {
        // Objects inserted by the failed save and deleted meanwhile go as deleteObject() would
        // have let them go.
        for (const QMSaveFlight::Sent &sent : flight.sent) {
            QMManagedObject::Private &s = state(*sent.object);
            if (s.inserted && s.deleted && mine(*sent.object)) {
                d.registered.remove(s.id);
                d.changed.remove(sent.object.get());
                detach(*sent.object);
            }
        }
        return;
    }
    const QSet<const QMManagedObject *> won = storeWon(c, settled);
    for (const QMSaveFlight::Sent &sent : flight.sent) {
        QMManagedObject &o = *sent.object;
        QMManagedObject::Private &s = state(o);
        if (!mine(o) || won.contains(&o))
            continue;
        if (sent.deleted) {
            d.registered.remove(s.id);
            d.changed.remove(&o);
            detach(o);
            continue;
        }
        // What the save wrote is now the saved state; values set meanwhile stay changes
        // against it (a fault made meanwhile takes the written values).
        s.inserted = false;
        s.saved = sent.values;
        if (s.fault)
            s.values = sent.values;
        const QList<QMAttributeDescription> &attributes = s.entity->attributes();
        for (qsizetype i = 0; i < attributes.size(); ++i)
            s.setChanged(i,
                         QMPersistenceValue::differs(QMPersistenceValue::valueAt(s.values, i),
                                                     QMPersistenceValue::valueAt(s.saved, i),
                                                     attributes.at(i).type));
        noteChange(c, o);
    }
    QMRenumbering permanent;
    for (auto it = flight.temporaries.cbegin(); it != flight.temporaries.cend(); ++it) {
        const QHash<qint64, qint64> numbers = flight.landedNumbers(it.key());
        QList<std::pair<qint64, qint64>> &pairs = permanent[it.key()];
        for (const qint64 temporary : it.value()) {
            if (const auto found = numbers.constFind(temporary); found != numbers.cend())
                pairs.append({temporary, *found});
        }
    }
    if (!permanent.isEmpty())
        renumber(c, permanent);
    takeSettled(c, settled, &flight);
}

void QMManagedObjectAccess::renumber(QMManagedObjectContext &c, const QMRenumbering &permanent)
{
    const auto store = c.d->coordinator->persistentStore();
    const QString storeIdentifier = store ? store->identifier() : QString();
    for (auto it = permanent.cbegin(); it != permanent.cend(); ++it)
        c.d->registered.renumber(storeIdentifier, it.key(), it.value());
    renumberChildren(c, permanent);
}

void QMManagedObjectAccess::renumberChildren(QMManagedObjectContext &c,
                                             const QMRenumbering &permanent)
{
    QList<std::shared_ptr<QMManagedObjectContext>> children;
    {
        std::lock_guard lock(c.d->childrenMutex);
        for (const auto &child : std::as_const(c.d->children)) {
            if (auto alive = child.lock())
                children.append(std::move(alive));
        }
    }
    for (const auto &child : std::as_const(children))
        renumber(*child, permanent);
}

void QMManagedObjectContext::refreshObject(const std::shared_ptr<QMManagedObject> &object,
                                           bool mergeChanges)
{
    if (!object || d->registered.value(object->objectID()) != object)
        return;
    QMManagedObject::Private &s = QMManagedObjectAccess::state(*object);
    if (s.inserted)
        return;
    if (!mergeChanges) {
        // The fault keeps the saved values, so an object gone from the store keeps them.
        const QMChangedAttributes dropped = s.changed;
        s.values = s.saved;
        s.changed.clear();
        s.fault = true;
        QMManagedObjectAccess::noteChange(*this, *object);
        for (qsizetype i = 0; i < s.entity->attributes().size(); ++i) {
            if (dropped.test(i))
                Q_EMIT object->valueChanged(s.entity->attributes().at(i).name);
        }
        return;
    }
    QVariantList fresh;
    QMError error;
    if (!QMManagedObjectAccess::readParentRow(*this, *s.entity, s.id.number(), &fresh, &error))
        return;
    const QVariantList before = s.values;
    for (qsizetype i = 0; i < fresh.size(); ++i) {
        if (s.fault || !s.isChanged(i))
            s.values[i] = fresh.at(i);
    }
    s.saved = fresh;
    s.fault = false;
    const QList<QMAttributeDescription> &attributes = s.entity->attributes();
    for (qsizetype i = 0; i < attributes.size(); ++i)
        s.setChanged(
                i, QMPersistenceValue::differs(s.values.at(i), fresh.at(i), attributes.at(i).type));
    QMManagedObjectAccess::noteChange(*this, *object);
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        if (QMPersistenceValue::differs(before.at(i), s.values.at(i), attributes.at(i).type))
            Q_EMIT object->valueChanged(attributes.at(i).name);
    }
}

void QMManagedObjectContext::refreshAllObjects()
{
    const QList<ObjectPtr> objects = registeredObjects();
    for (const ObjectPtr &o : objects)
        refreshObject(o, true);
}

void QMManagedObjectContext::reset()
{
    for (const ObjectPtr &o : d->registered.values())
        detach(*o);
    d->registered.clear();
    d->changed.clear();
}

void QMManagedObjectContext::rollback()
{
    const QList<ObjectPtr> changed
            = collect(d->changed, [](const QMManagedObject &) { return true; });
    for (const ObjectPtr &o : changed) {
        QMManagedObject::Private &s = QMManagedObjectAccess::state(*o);
        if (s.inserted) {
            d->registered.remove(s.id);
            detach(*o);
            continue;
        }
        s.deleted = false;
        const QMChangedAttributes restored = s.changed;
        s.values = s.saved;
        s.changed.clear();
        for (qsizetype i = 0; i < s.entity->attributes().size(); ++i) {
            if (restored.test(i))
                Q_EMIT o->valueChanged(s.entity->attributes().at(i).name);
        }
    }
    d->changed.clear();
}

// The contexts of the default store (QMCoreDataStore), and context names.

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

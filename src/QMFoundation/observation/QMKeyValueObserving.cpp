#include <QMFoundation/observation/QMKeyValueObserving.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/observation/QMChangeRecord_p.h>
#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMAsyncContext.h>

#include <QMetaProperty>
#include <QPointer>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

const QString QMKeyValueChangeKindKey = QStringLiteral("kind");
const QString QMKeyValueChangeNewKey = QStringLiteral("new");
const QString QMKeyValueChangeOldKey = QStringLiteral("old");
const QString QMKeyValueChangeIndexesKey = QStringLiteral("indexes");
const QString QMKeyValueChangeNotificationIsPriorKey = QStringLiteral("notificationIsPrior");

namespace {

constexpr quint64 DefinedOptionBits = 0x7fffffffULL;

using Registration = QMKeyValueObservation::Registration;

// What one NOTIFY signal of one object delivers to: the registrations (and the depth of their
// key path) watching it, in the order they attached. A list is never changed once published; a
// change publishes a new one, so an emission walks the list it found without a lock while
// observations come and go, and the list keeps its registrations alive while it walks.
struct Subscriber
{
    std::shared_ptr<Registration> registration;
    int level = 0;
};
using SubscriberList = std::vector<Subscriber>;

// A lock for the few instructions of a lookup or an exchange that every emission or delivery
// takes: one atomic exchange to take it and a plain store to let it go, where std::mutex
// takes two atomic operations. It is never held across anything that may block or call out.
class BriefLock
{
public:
    void lock()
    {
        while (m_busy.exchange(true, std::memory_order_acquire)) {
            while (m_busy.load(std::memory_order_relaxed))
                std::this_thread::yield();
        }
    }
    void unlock() { m_busy.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_busy {false};
};

// NOTIFY signals reach the layer through relays: QObjects without a meta-object of their own
// that take any method index in qt_metacall(), the way QSignalSpy does. QMetaObject::connect()
// with such an index gives a direct connection without a slot per observation. All the
// observations of one signal of one object share one connection, a hub, and so one lookup per
// emission.
//
// A relay is never destroyed: Qt may still be about to call a relay (having read the
// connection list) when the last observation of a signal goes on another thread, and only an
// object that outlives every emission makes that call harmless. The index is looked up in the
// relay's table, where a hub without observations has no entry. Indexes are never reused within
// a relay, so a late call cannot reach a newer hub; when a relay's indexes run out, the next
// hubs use a new relay.
class Relay final : public QObject
{
public:
    Relay() { moveToThread(nullptr); }

    int qt_metacall(QMetaObject::Call call, int id, void **arguments) override
    {
        id = QObject::qt_metacall(call, id, arguments);
        if (id < 0 || call != QMetaObject::InvokeMetaMethod)
            return id;
        dispatch(id);
        return -1;
    }

    void dispatch(int id);

    void publish(int id, std::shared_ptr<const SubscriberList> list)
    {
        // The list replaced goes after the lock: it may hold the last reference to a
        // registration, whose handler's destruction is the host's code.
        std::shared_ptr<const SubscriberList> replaced;
        std::lock_guard lock(mutex);
        if (list) {
            replaced = std::exchange(table[id], std::move(list));
        } else if (const auto found = table.find(id); found != table.end()) {
            replaced = std::move(found->second);
            table.erase(found);
        }
    }

private:
    BriefLock mutex;
    std::unordered_map<int, std::shared_ptr<const SubscriberList>> table;
};

struct RelayPool
{
    std::mutex mutex;
    Relay *current = nullptr;
    int nextId = 0;
    // Counts the relays made. A thread reaches a relay through a connection that another
    // thread made, a hand-over inside Qt; the count is raised (release) once a relay is built
    // and read (acquire) before a relay is used, so that the relay's construction is ordered
    // before its use by our own atomics too, where ThreadSanitizer can see it.
    std::atomic<quint64> made {0};
};

RelayPool &relayPool()
{
    static RelayPool pool;
    return pool;
}

struct RelayIndex
{
    Relay *relay = nullptr;
    int id = -1;
};

RelayIndex allocateRelayIndex()
{
    RelayPool &pool = relayPool();
    std::lock_guard lock(pool.mutex);
    const int methodBase = QObject::staticMetaObject.methodCount();
    if (!pool.current || pool.nextId >= INT_MAX - methodBase - 1) {
        pool.current = new Relay; // lives for the process, see Relay
        pool.made.fetch_add(1, std::memory_order_release);
        pool.nextId = 0;
    }
    return {pool.current, pool.nextId++};
}

// The connection of one NOTIFY signal of one object to a relay index, and who it delivers to.
// Changed only under the hub registry's lock. Qt's connect() calls the object's
// connectNotify(), the host's code, so it runs with that lock released: a hub is published
// first, connecting, and the thread that connects it tells the others when it is done. Hubs are
// disconnected with the lock released too, though Qt itself calls disconnectNotify() under a
// lock of its own that every relay connection shares.
struct Hub
{
    QObject *object = nullptr;
    int signalIndex = -1;
    RelayIndex index;
    QMetaObject::Connection connection;
    SubscriberList subscribers;
    bool connecting = true;
    std::thread::id connector;

    // Qt dropped the connection with the object: a new object may live at the same address.
    bool isDead() const { return !connecting && !connection; }
};

// Hubs by object and signal. An entry goes when its last subscriber does. An entry whose
// object has died (Qt dropped the connection with it) is replaced when a new object at the
// same address is observed; the registrations still holding the old hub leave it as usual.
struct HubRegistry
{
    struct Key
    {
        QObject *object;
        int signalIndex;
        bool operator==(const Key &) const = default;
    };
    struct KeyHash
    {
        size_t operator()(const Key &key) const
        {
            return std::hash<QObject *>()(key.object)
                    ^ (size_t(key.signalIndex) * 0x9e3779b97f4a7c15ULL);
        }
    };

    std::mutex mutex;
    std::condition_variable connected; // a hub stopped connecting
    std::unordered_map<Key, std::shared_ptr<Hub>, KeyHash> hubs;
};

HubRegistry &hubRegistry()
{
    static HubRegistry registry;
    return registry;
}

void publishSubscribers(const Hub &hub)
{
    hub.index.relay->publish(hub.index.id,
                             hub.subscribers.empty()
                                     ? nullptr
                                     : std::make_shared<const SubscriberList>(hub.subscribers));
}

// Takes `hub` out of the registry once its last subscriber has gone; returns the connection to
// cut, with the lock released. Under the registry's lock.
QMetaObject::Connection retireLocked(HubRegistry &registry, const std::shared_ptr<Hub> &hub)
{
    const auto entry = registry.hubs.find({hub->object, hub->signalIndex});
    if (entry != registry.hubs.end() && entry->second == hub)
        registry.hubs.erase(entry);
    return std::exchange(hub->connection, {});
}

std::shared_ptr<Hub> subscribe(QObject *object, int signalIndex,
                               const std::shared_ptr<Registration> &registration, int level)
{
    HubRegistry &registry = hubRegistry();
    std::unique_lock lock(registry.mutex);
    std::shared_ptr<Hub> &slot = registry.hubs[{object, signalIndex}];
    const bool connect = !slot || slot->isDead();
    if (connect) {
        slot = std::make_shared<Hub>();
        slot->object = object;
        slot->signalIndex = signalIndex;
        slot->index = allocateRelayIndex();
        slot->connector = std::this_thread::get_id();
    }
    slot->subscribers.push_back({registration, level});
    publishSubscribers(*slot);
    const std::shared_ptr<Hub> hub = slot;
    if (!connect) {
        // Once this returns the subscriber must hear every emission, so a hub another thread is
        // connecting is waited for. Not one this thread is connecting: that is further up its
        // own stack (a connectNotify() that observes the same signal).
        if (hub->connector != std::this_thread::get_id())
            registry.connected.wait(lock, [&] { return !hub->connecting; });
        return hub;
    }
    lock.unlock();
    QMetaObject::Connection connection = QMetaObject::connect(
            object, signalIndex, hub->index.relay,
            QObject::staticMetaObject.methodCount() + hub->index.id, Qt::DirectConnection);
    lock.lock();
    hub->connecting = false;
    hub->connection = std::move(connection);
    // Every subscriber may have left while it connected.
    if (hub->subscribers.empty())
        connection = retireLocked(registry, hub);
    registry.connected.notify_all();
    lock.unlock();
    if (connection)
        QObject::disconnect(connection);
    return hub;
}

void unsubscribe(const std::shared_ptr<Hub> &hub, const Registration *registration, int level)
{
    HubRegistry &registry = hubRegistry();
    QMetaObject::Connection connection;
    {
        std::lock_guard lock(registry.mutex);
        auto &list = hub->subscribers;
        const auto found
                = std::find_if(list.begin(), list.end(), [&](const Subscriber &subscriber) {
                      return subscriber.registration.get() == registration
                              && subscriber.level == level;
                  });
        if (found == list.end())
            return;
        list.erase(found);
        publishSubscribers(*hub);
        // A hub still connecting is retired by its connector.
        if (!list.empty() || hub->connecting)
            return;
        connection = retireLocked(registry, hub);
    }
    QObject::disconnect(connection);
}

// The deliveries running on this thread, innermost first: a removal on this thread must not
// wait for the ones of its own observation (they are further up its own stack).
struct DeliveryFrame
{
    const Registration *registration;
    DeliveryFrame *outer;
};
thread_local DeliveryFrame *innermostDelivery = nullptr;

int deliveriesOnThisThread(const Registration *registration)
{
    int count = 0;
    for (const DeliveryFrame *frame = innermostDelivery; frame; frame = frame->outer)
        count += frame->registration == registration;
    return count;
}

QString className(const QMetaObject *metaObject)
{
    return QString::fromLatin1(metaObject->className());
}

// The meta-object to look the next component up in: the current object's where there is one
// (it may be a subclass of the declared type), else the property's declared pointee type.
const QMetaObject *nextMetaObject(const QMetaProperty &property, QObject *value)
{
    if (value)
        return value->metaObject();
    return property.metaType().metaObject();
}

// What QMetaProperty::read() gives, without its QVariant move-assignment and its move into the
// result, which together cost as much as the rest of the read: the value is made in the
// returned QVariant, through the same meta-call. `index` counts the properties of the base
// classes too.
QVariant readProperty(QObject *object, QMetaType type, int index)
{
    const bool isVariant = type == QMetaType::fromType<QVariant>();
    QVariant value = isVariant ? QVariant() : QVariant(type);
    // As QMetaProperty::read(): a meta-call that sets `status` wrote `value` itself; one that
    // replaced the first argument gave the address of the value (a property read by pointer or
    // reference).
    int status = -1;
    void *data = isVariant ? static_cast<void *>(&value) : value.data();
    void *arguments[] = {data, &value, &status};
    QMetaObject::metacall(object, QMetaObject::ReadProperty, index, arguments);
    if (!isVariant && status == -1 && arguments[0] != data)
        QVariant(type, arguments[0]).swap(value);
    return value;
}

// Shared, so a record without values costs nothing per delivery; detaching on insert() gives
// records with values their own.
const QVariantMap &settingChange()
{
    static const QVariantMap change {{QMKeyValueChangeKindKey, quint64(QMKeyValueChangeSetting)}};
    return change;
}

// What this thread knows of emissions: how many began (so that what one emission read can be
// told stale once a handler has caused another emission, of any signal, on this thread), how
// many run now, nested in one another, the numbers it may give to values it reads, and the
// record maps of each nesting depth (see EmissionCache). One thread-local object, looked up
// once per emission.
struct ThreadEmissions
{
    quint64 began = 0;
    size_t depth = 0;
    quint64 nextRead = 0;
    quint64 endRead = 0;
    std::vector<std::unique_ptr<std::array<QVariantMap, 4>>> records;

    // A number for a value read, unique in the process and never 0: each thread takes a block
    // of 2^32 of them at a time.
    quint64 valueReadNumber()
    {
        static std::atomic<quint64> blocks {0};
        if (nextRead == endRead) {
            nextRead = (blocks.fetch_add(1, std::memory_order_relaxed) + 1) << 32;
            endRead = nextRead + (quint64(1) << 32) - 1;
        }
        return ++nextRead;
    }

    std::array<QVariantMap, 4> &recordsAt(size_t level)
    {
        while (records.size() <= level)
            records.push_back(std::make_unique<std::array<QVariantMap, 4>>());
        return *records[level];
    }
};

ThreadEmissions &threadEmissions()
{
    thread_local ThreadEmissions emissions;
    return emissions;
}

// What the observations of one emission share. The value of a key path of an object is read
// once per emission, not once per observation, and the last record with values is kept for the
// next observation whose record would be equal (the same value, the same options, and an old
// value that came from the same read, or else of the same type and equal), so that a hundred
// observations of one property make one record. Both are read afresh once a handler has caused
// another emission on this thread: the property may have changed then.
//
// Records are made in maps kept per thread, nesting depth and option set, and refilled in place
// by the next record once nobody else holds the map: a record then costs two assignments
// instead of four allocations. A handler that keeps the record (a copied notification, say)
// shares the map, so it is left as it is and the next record gets a new one. An emission nested
// in a handler uses the maps of its own depth, never the one the outer handler is reading.
class EmissionCache
{
public:
    EmissionCache()
        : m_thread(threadEmissions())
        , m_depth(m_thread.depth++)
    {
        ++m_thread.began;
    }
    ~EmissionCache() { --m_thread.depth; }
    EmissionCache(const EmissionCache &) = delete;
    EmissionCache &operator=(const EmissionCache &) = delete;

    // `path` must outlive the emission (it is the registration's own key path).
    template<typename Read>
    const QVariant &valueOf(const QObject *target, const QString &path, const Read &read)
    {
        if (!m_keyPath || !current(m_valueEmission) || m_object != target
            || (m_keyPath != &path && !QMSameChangeRecordKey(*m_keyPath, path)
                && *m_keyPath != path)) {
            QVariant fresh = read();
            // read() runs getters, which may emit: the value is as of after them.
            m_valueEmission = m_thread.began;
            m_object = target;
            m_keyPath = &path;
            m_value.swap(fresh);
            m_valueRead = m_thread.valueReadNumber();
            m_record = nullptr; // made from another value
        }
        return m_value;
    }

    // The number of the value valueOf() returned last.
    quint64 valueRead() const { return m_valueRead; }

    // The record of the value valueOf() returned last, with the values `options` asks for and
    // `old`; `oldRead` numbers the read that gave `old` (0 when unknown).
    // `old` may be left holding anything.
    const QVariantMap &record(quint64 options, QVariant &old, quint64 oldRead)
    {
        if (m_record && current(m_recordEmission) && m_recordOptions == options
            && (!(options & QMKeyValueObservingOptionOld) || sameOld(old, oldRead)))
            return *m_record;
        QVariantMap &record = m_thread.recordsAt(m_depth)[options & 3];
        if (!record.isDetached())
            record = settingChange();
        if (options & QMKeyValueObservingOptionNew) {
            QVariant value = m_value;
            QMSwapIntoChangeRecord(record, QMKeyValueChangeNewKey, value);
        }
        if (options & QMKeyValueObservingOptionOld)
            QMSwapIntoChangeRecord(record, QMKeyValueChangeOldKey, old);
        m_record = &record;
        m_recordOptions = options;
        m_recordOldRead = oldRead;
        m_recordEmission = m_thread.began;
        return record;
    }

private:
    // Whether nothing emitted on this thread since `emission` began.
    bool current(quint64 emission) const { return emission == m_thread.began; }

    bool sameOld(const QVariant &old, quint64 oldRead) const
    {
        if (oldRead != 0 && oldRead == m_recordOldRead)
            return true;
        const QVariant *recordOld = QMChangeRecordEntry(*m_record, QMKeyValueChangeOldKey);
        return recordOld && old.metaType() == recordOld->metaType() && old == *recordOld;
    }

    ThreadEmissions &m_thread;
    const size_t m_depth;
    const QObject *m_object = nullptr;
    const QString *m_keyPath = nullptr;
    QVariant m_value;
    quint64 m_valueRead = 0;
    quint64 m_valueEmission = 0;

    const QVariantMap *m_record = nullptr;
    quint64 m_recordOptions = 0;
    quint64 m_recordOldRead = 0;
    quint64 m_recordEmission = 0;
};

} // namespace

// A delivery and a removal meet through two atomics: a delivery counts itself in `active`,
// then reads `removed`; a removal sets `removed`, then reads `active` (all sequentially
// consistent). So either the delivery sees the removal and backs out, or the removal sees the
// delivery and waits for it. The delivery path takes no lock unless the record needs values or
// the key path has intermediate objects to follow.
struct QMKeyValueObservation::Registration
    : std::enable_shared_from_this<QMKeyValueObservation::Registration>
{
    struct Link
    {
        QPointer<QObject> object;
        std::shared_ptr<Hub> hub;
    };

    QObject *object = nullptr;
    QString keyPath;
    QList<QByteArray> names;
    // The type and index of names[0] of `object`, looked up once: the object's class does not
    // change.
    QMetaType firstPropertyType;
    int firstPropertyIndex = -1;
    quint64 options = 0;
    bool needsLock = false; // values to read or intermediate objects to follow
    // A record without values, shared by every delivery that needs no other.
    const QVariantMap settingRecord = settingChange();

    std::atomic<int> active {0}; // deliveries running now, on any thread
    std::atomic<bool> removed {false};

    std::mutex mutex;
    std::condition_variable idle;
    // Read without the lock by deliveries that counted themselves before `removed` was set;
    // released once removed and no delivery runs (see release()).
    QMKeyValueChangeHandler handler;
    bool unregistered = false;
    bool releasePending = false;
    // Deliveries that belong to threads now inside remove(): they do not hold anyone up.
    int exempt = 0;
    // The value last read, for the "old" entry, and the number of the emission's read that gave
    // it (0 when none did). Exchanged at every delivery under a lock of their own.
    BriefLock lastValueLock;
    QVariant lastValue;
    quint64 lastValueRead = 0;
    std::vector<Link> links; // links[i] watches names[i] of the object at depth i
    // The context of an observation made with one, set before it starts.
    std::optional<QMAsync::ContextBinding> context;

    bool wantsValue() const
    {
        return options & (QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld);
    }

    // The objects at depth `from` and deeper, starting with `start` at depth `from`: a null one
    // where the path ends. Reads properties, which runs the host's getters: call it without
    // `mutex`, since a getter may come back to this observation (remove it, for one).
    std::vector<QPointer<QObject>> resolve(qsizetype from, QObject *start) const
    {
        std::vector<QPointer<QObject>> chain(size_t(names.size()));
        QObject *current = start;
        for (qsizetype depth = from; depth < names.size(); ++depth) {
            chain[size_t(depth)] = current;
            if (!current)
                continue;
            const QMetaProperty property = notifyingProperty(current, depth);
            current = property.isValid() && depth + 1 < names.size()
                    ? property.read(current).value<QObject *>()
                    : nullptr;
        }
        return chain;
    }

    // Property `names[depth]` of `target` when it has a NOTIFY signal. A replacement object of
    // another class than the one checked at registration may lack it; the path then ends there
    // until the object changes again.
    QMetaProperty notifyingProperty(const QObject *target, qsizetype depth) const
    {
        const QMetaObject *metaObject = target->metaObject();
        const int propertyIndex = metaObject->indexOfProperty(names[depth].constData());
        const QMetaProperty property
                = propertyIndex >= 0 ? metaObject->property(propertyIndex) : QMetaProperty();
        return property.isValid() && property.hasNotifySignal() ? property : QMetaProperty();
    }

    // Connects depth `from` and deeper to the objects resolve() found. Under `mutex`.
    void attach(qsizetype from, const std::vector<QPointer<QObject>> &chain)
    {
        for (qsizetype depth = from; depth < names.size(); ++depth) {
            Link &link = links[size_t(depth)];
            if (link.hub)
                unsubscribe(std::exchange(link.hub, nullptr), this, int(depth));
            QObject *current = chain[size_t(depth)].data();
            link.object = current;
            if (!current)
                continue;
            const QMetaProperty property = notifyingProperty(current, depth);
            if (property.isValid())
                link.hub = subscribe(current, property.notifySignalIndex(), shared_from_this(),
                                     int(depth));
        }
    }

    QVariant currentValue() const
    {
        if (names.size() == 1)
            return readProperty(object, firstPropertyType, firstPropertyIndex);
        QObject *current = object;
        for (qsizetype depth = 0; depth < names.size(); ++depth) {
            if (!current)
                return {};
            QVariant value = depth == 0
                    ? readProperty(current, firstPropertyType, firstPropertyIndex)
                    : current->property(names[depth].constData());
            if (depth + 1 == names.size())
                return value;
            current = value.value<QObject *>();
        }
        return {};
    }

    // Counts a delivery in, and marks it on this thread's list, for as long as it lives.
    // `innermost` is this thread's innermostDelivery, looked up once per emission.
    struct Delivery
    {
        Delivery(Registration *deliveredRegistration, DeliveryFrame *&threadInnermost)
            : registration(deliveredRegistration)
            , innermost(threadInnermost)
            , frame {deliveredRegistration, threadInnermost}
        {
            registration->active.fetch_add(1);
            innermost = &frame;
        }
        ~Delivery()
        {
            innermost = frame.outer;
            registration->active.fetch_sub(1);
            if (registration->removed.load())
                registration->deliveryEnded();
        }
        Delivery(const Delivery &) = delete;
        Delivery &operator=(const Delivery &) = delete;

        Registration *registration;
        DeliveryFrame *&innermost;
        DeliveryFrame frame;
    };

    // A delivery ended after removal began: wake the removal, and let the handler go if the
    // removal left that to the last delivery.
    void deliveryEnded()
    {
        QMKeyValueChangeHandler released;
        std::lock_guard lock(mutex);
        idle.notify_all();
        if (releasePending && active.load() == 0) {
            releasePending = false;
            released = std::move(handler);
        }
    }

    void fire(int level, DeliveryFrame *&innermost, EmissionCache &cache)
    {
        const Delivery delivery(this, innermost);
        if (removed.load())
            return;
        if (needsLock)
            fireWithValues(level, cache);
        else
            handler(keyPath, object, settingRecord);
    }

    // Follows a changed intermediate object and reads the values the record carries. The
    // properties are read with `mutex` released (see resolve()); it guards the links and the
    // last value only.
    [[gnu::noinline]] void fireWithValues(int level, EmissionCache &cache)
    {
        if (level + 1 < names.size()) {
            QPointer<QObject> owner;
            {
                std::lock_guard lock(mutex);
                if (!unregistered)
                    owner = links[size_t(level)].object;
            }
            if (QObject *changed = owner.data()) {
                const std::vector<QPointer<QObject>> chain = resolve(
                        level + 1, changed->property(names[level].constData()).value<QObject *>());
                std::lock_guard lock(mutex);
                if (!unregistered)
                    attach(level + 1, chain);
            }
        }
        if (!wantsValue()) {
            handler(keyPath, object, settingRecord);
            return;
        }
        const QVariant &value = cache.valueOf(object, keyPath, [this] { return currentValue(); });
        const quint64 valueOptions
                = options & (QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld);
        // Swapped rather than moved or assigned: QVariant's out-of-line moves and assignments
        // cost several times a swap, and a delivery makes a handful of them.
        QVariant old;
        quint64 oldRead = 0;
        if (options & QMKeyValueObservingOptionOld) {
            QVariant fresh = value;
            {
                std::lock_guard lock(lastValueLock);
                fresh.swap(lastValue);
                oldRead = std::exchange(lastValueRead, cache.valueRead());
            }
            old.swap(fresh);
        }
        handler(keyPath, object, cache.record(valueOptions, old, oldRead));
    }

    void start()
    {
        const std::vector<QPointer<QObject>> chain = resolve(0, object);
        {
            std::lock_guard lock(mutex);
            attach(0, chain);
        }
        if (!wantsValue() && !(options & QMKeyValueObservingOptionInitial))
            return;
        QVariant value = currentValue();
        if (options & QMKeyValueObservingOptionOld) {
            std::lock_guard lock(lastValueLock);
            lastValue = value;
        }
        if (!(options & QMKeyValueObservingOptionInitial))
            return;
        QVariantMap change = settingRecord;
        if (options & QMKeyValueObservingOptionNew)
            change.insert(QMKeyValueChangeNewKey, value);
        const Delivery delivery(this, innermostDelivery);
        if (!removed.load())
            handler(keyPath, object, change);
    }

    void remove()
    {
        removed.store(true);
        const int own = deliveriesOnThisThread(this);
        std::vector<Link> taken;
        QMKeyValueChangeHandler released;
        {
            std::unique_lock lock(mutex);
            exempt += own;
            idle.notify_all();
            idle.wait(lock, [&] { return active.load() <= exempt; });
            exempt -= own;
            if (unregistered)
                return;
            unregistered = true;
            taken = std::move(links);
            links.clear();
            // The handler goes now unless a delivery still runs (this thread's own, or one of a
            // thread removing it too); the last of those lets it go.
            if (active.load() == 0)
                released = std::move(handler);
            else
                releasePending = true;
        }
        if (context)
            context->detach();
        for (qsizetype depth = 0; depth < qsizetype(taken.size()); ++depth) {
            if (taken[size_t(depth)].hub)
                unsubscribe(taken[size_t(depth)].hub, this, int(depth));
        }
    }
};

void Relay::dispatch(int id)
{
    relayPool().made.load(std::memory_order_acquire);
    std::shared_ptr<const SubscriberList> list;
    {
        std::lock_guard lock(mutex);
        const auto found = table.find(id);
        if (found == table.end())
            return;
        list = found->second;
    }
    DeliveryFrame *&innermost = innermostDelivery;
    EmissionCache cache;
    // Qt's signal emission called this: nothing may unwind through it, and one handler that
    // throws must not keep the others from hearing of the change.
    for (const Subscriber &subscriber : *list) {
        try {
            subscriber.registration->fire(subscriber.level, innermost, cache);
        } catch (...) {
            QMUncaughtExceptions::handleCurrentException(u"a handler observing key path \""
                                                         + subscriber.registration->keyPath + u'"');
        }
    }
}

QMKeyValueObservation::QMKeyValueObservation(std::shared_ptr<Registration> registration)
    : d(std::move(registration))
{ }

QMKeyValueObservation::~QMKeyValueObservation()
{
    d->remove();
}

QObject *QMKeyValueObservation::object() const
{
    return d->object;
}

QString QMKeyValueObservation::keyPath() const
{
    return d->keyPath;
}

quint64 QMKeyValueObservation::options() const
{
    return d->options;
}

bool QMKeyValueObservation::isRemoved() const
{
    return d->removed.load();
}

void QMKeyValueObservation::remove()
{
    d->remove();
}

namespace {

// Checks `keyPath` component by component, in the class of the object that is there now where
// `current` is given (it may be a subclass of the declared type), else in the declared type.
void checkKeyPathFrom(const QMetaObject *metaObject, QObject *current, const QString &keyPath)
{
    const QStringList components = keyPath.split(QLatin1Char('.'));
    for (qsizetype depth = 0; depth < components.size(); ++depth) {
        const QString &name = components[depth];
        if (name.isEmpty())
            throw QMInternalInconsistencyException(
                    QStringLiteral("Key path \"%1\" has an empty component").arg(keyPath));
        const int index = metaObject ? metaObject->indexOfProperty(name.toUtf8().constData()) : -1;
        if (index < 0)
            throw QMInternalInconsistencyException(
                    QStringLiteral("%1 has no property \"%2\" (key path \"%3\")")
                            .arg(metaObject ? className(metaObject) : QStringLiteral("QObject"),
                                 name, keyPath));
        const QMetaProperty property = metaObject->property(index);
        if (!property.hasNotifySignal())
            throw QMInternalInconsistencyException(
                    QStringLiteral("Property \"%1\" of %2 has no NOTIFY signal (key path \"%3\")")
                            .arg(name, className(metaObject), keyPath));
        if (depth + 1 < components.size()) {
            if (!(property.metaType().flags() & QMetaType::PointerToQObject))
                throw QMInternalInconsistencyException(
                        QStringLiteral(
                                "Property \"%1\" of %2 is not a QObject pointer, so key path "
                                "\"%3\" cannot go on")
                                .arg(name, className(metaObject), keyPath));
            current = current ? property.read(current).value<QObject *>() : nullptr;
            metaObject = nextMetaObject(property, current);
        }
    }
}

} // namespace

void QMKeyValueObserving::checkKeyPath(const QMetaObject *metaObject, const QString &keyPath)
{
    checkKeyPathFrom(metaObject, nullptr, keyPath);
}

namespace {

std::shared_ptr<Registration> makeRegistration(QObject *object, const QString &keyPath,
                                               quint64 options)
{
    if (options & ~DefinedOptionBits)
        throw QMInternalInconsistencyException(
                QStringLiteral("Key-value observation options use bits above 30: 0x%1")
                        .arg(options, 0, 16));
    checkKeyPathFrom(object->metaObject(), object, keyPath);

    auto registration = std::make_shared<Registration>();
    registration->object = object;
    registration->keyPath = keyPath;
    for (const QString &name : keyPath.split(QLatin1Char('.')))
        registration->names.append(name.toUtf8());
    registration->options = options;
    const QMetaObject *metaObject = object->metaObject();
    registration->firstPropertyIndex
            = metaObject->indexOfProperty(registration->names[0].constData());
    registration->firstPropertyType
            = metaObject->property(registration->firstPropertyIndex).metaType();
    registration->needsLock = registration->names.size() > 1 || registration->wantsValue();
    registration->links.resize(size_t(registration->names.size()));
    return registration;
}

// The handler of an observation with a context: `handler` at once on the context's thread,
// else queued there, where it counts as a delivery of the registration and runs only if the
// registration has not been removed meanwhile.
QMKeyValueChangeHandler contextHandler(const std::shared_ptr<Registration> &registration,
                                       QMKeyValueChangeHandler handler)
{
    auto shared = std::make_shared<const QMKeyValueChangeHandler>(std::move(handler));
    std::weak_ptr<Registration> weak = registration;
    std::optional<QMAsync::ContextBinding> context = registration->context;
    return [weak, shared, context](const QString &keyPath, QObject *object,
                                   const QVariantMap &change) {
        if (context->isOnContextThread()) {
            (*shared)(keyPath, object, change);
            return;
        }
        context->invoke(
                [weak, shared, keyPath, object, change] {
                    const std::shared_ptr<Registration> target = weak.lock();
                    if (!target)
                        return;
                    const Registration::Delivery delivery(target.get(), innermostDelivery);
                    if (target->removed.load())
                        return;
                    try {
                        (*shared)(keyPath, object, change);
                    } catch (...) {
                        QMUncaughtExceptions::handleCurrentException(
                                u"a handler observing key path \"" + keyPath
                                + u"\" on its context's thread");
                    }
                },
                "a handler observing a key path on its context's thread");
    };
}

} // namespace

std::shared_ptr<QMKeyValueObservation> QMKeyValueObserving::observe(QObject *object,
                                                                    const QString &keyPath,
                                                                    quint64 options,
                                                                    QMKeyValueChangeHandler handler)
{
    QMParameterAssert(object != nullptr, "object");
    QMParameterAssert(bool(handler), "handler");
    const std::shared_ptr<Registration> registration = makeRegistration(object, keyPath, options);
    registration->handler = std::move(handler);
    std::shared_ptr<QMKeyValueObservation> observation(new QMKeyValueObservation(registration));
    registration->start();
    return observation;
}

std::shared_ptr<QMKeyValueObservation>
QMKeyValueObserving::observe(QObject *object, const QString &keyPath, quint64 options,
                             QObject *context, QMKeyValueChangeHandler handler)
{
    QMParameterAssert(object != nullptr, "object");
    QMParameterAssert(context != nullptr, "context");
    QMParameterAssert(bool(handler), "handler");
    const std::shared_ptr<Registration> registration = makeRegistration(object, keyPath, options);
    std::weak_ptr<Registration> weak = registration;
    registration->context = QMAsync::ContextBinding(context, [weak] {
        if (const std::shared_ptr<Registration> ended = weak.lock())
            ended->remove();
    });
    registration->handler = contextHandler(registration, std::move(handler));
    std::shared_ptr<QMKeyValueObservation> observation(new QMKeyValueObservation(registration));
    registration->start();
    return observation;
}

QVariant QMKeyValueObserving::valueForKeyPath(QObject *object, const QString &keyPath)
{
    QObject *current = object;
    const QStringList components = keyPath.split(QLatin1Char('.'));
    for (qsizetype depth = 0; depth < components.size(); ++depth) {
        if (!current)
            return {};
        const QVariant value = current->property(components[depth].toUtf8().constData());
        if (depth + 1 == components.size())
            return value;
        current = value.value<QObject *>();
    }
    return {};
}

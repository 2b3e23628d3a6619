#include "observation/QMKeyValueObserving.h"

#include "errors/QMInternalInconsistencyException.h"

#include <QMetaProperty>
#include <QPointer>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
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

// NOTIFY signals reach the layer through relays: QObjects without a meta-object of their own
// that take any method index in qt_metacall(), the way QSignalSpy does. QMetaObject::connect()
// with such an index gives a direct connection without a slot per observation.
//
// A relay is never destroyed: Qt may still be about to call a relay (having read the
// connection list) when an observation is removed on another thread, and only an object that
// outlives every emission makes that call harmless. The index is looked up in the relay's
// table; a removed observation's entry is gone, or its registration is marked removed. Indexes
// are never reused within a relay, so a late call cannot reach a newer observation; when a
// relay's indexes run out, the next observations use a new relay.
class Relay final : public QObject
{
public:
    struct Entry
    {
        std::weak_ptr<QMKeyValueObservation::Registration> registration;
        int level = 0;
    };

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

    std::shared_mutex mutex;
    std::unordered_map<int, Entry> entries;
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

} // namespace

struct QMKeyValueObservation::Registration
    : std::enable_shared_from_this<QMKeyValueObservation::Registration>
{
    struct Link
    {
        QPointer<QObject> object;
        QMetaObject::Connection connection;
        RelayIndex index;
    };

    QObject *object = nullptr;
    QString keyPath;
    QList<QByteArray> names;
    quint64 options = 0;
    QMKeyValueChangeHandler handler;

    std::mutex mutex;
    std::condition_variable idle;
    bool removed = false;
    bool unregistered = false;
    // One entry per delivery running now (a handler that changes the property again nests).
    std::vector<std::thread::id> delivering;
    // Threads waiting in remove(); their own deliveries do not hold anyone else up.
    std::vector<std::thread::id> removing;
    QVariant lastValue;
    std::vector<Link> links; // links[i] watches names[i] of the object at depth i

    bool wantsValue() const
    {
        return options & (QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld);
    }

    // Connects depth `from` and deeper, starting with `start` at depth `from`. Under `mutex`.
    void attach(qsizetype from, QObject *start)
    {
        QObject *current = start;
        for (qsizetype depth = from; depth < names.size(); ++depth) {
            Link &link = links[size_t(depth)];
            if (link.connection)
                QObject::disconnect(link.connection);
            link.connection = {};
            link.object = current;
            if (!current)
                continue;
            const QMetaObject *metaObject = current->metaObject();
            const int propertyIndex = metaObject->indexOfProperty(names[depth].constData());
            // A replacement object of another class than the one checked at registration may
            // lack the property; the path then ends there until the object changes again.
            const QMetaProperty property
                    = propertyIndex >= 0 ? metaObject->property(propertyIndex) : QMetaProperty();
            if (!property.isValid() || !property.hasNotifySignal()) {
                current = nullptr;
                continue;
            }
            link.connection = QMetaObject::connect(
                    current, property.notifySignalIndex(), link.index.relay,
                    QObject::staticMetaObject.methodCount() + link.index.id, Qt::DirectConnection);
            current = depth + 1 < names.size() ? property.read(current).value<QObject *>()
                                               : nullptr;
        }
    }

    QVariant currentValue() const
    {
        QObject *current = object;
        for (qsizetype depth = 0; depth < names.size(); ++depth) {
            if (!current)
                return {};
            const QVariant value = current->property(names[depth].constData());
            if (depth + 1 == names.size())
                return value;
            current = value.value<QObject *>();
        }
        return {};
    }

    void deliver(std::unique_lock<std::mutex> &lock, QVariantMap change)
    {
        const std::thread::id self = std::this_thread::get_id();
        delivering.push_back(self);
        lock.unlock();
        struct Finish
        {
            Registration *registration;
            std::thread::id self;
            ~Finish()
            {
                std::lock_guard relock(registration->mutex);
                auto &list = registration->delivering;
                list.erase(std::find(list.begin(), list.end(), self));
                if (registration->removed)
                    registration->idle.notify_all();
            }
        } finish {this, self};
        handler(keyPath, object, change);
    }

    // Shared, so a record without values costs a reference count rather than a map per
    // delivery; detaching on insert() gives records with values their own.
    static QVariantMap settingChange()
    {
        static const QVariantMap change {
                {QMKeyValueChangeKindKey, quint64(QMKeyValueChangeSetting)}};
        return change;
    }

    void fire(int level)
    {
        std::unique_lock lock(mutex);
        if (removed)
            return;
        if (level + 1 < names.size()) {
            QObject *owner = links[size_t(level)].object.data();
            QObject *next = owner ? owner->property(names[level].constData()).value<QObject *>()
                                  : nullptr;
            attach(level + 1, next);
        }
        QVariantMap change = settingChange();
        if (wantsValue()) {
            QVariant value = currentValue();
            if (options & QMKeyValueObservingOptionNew)
                change.insert(QMKeyValueChangeNewKey, value);
            if (options & QMKeyValueObservingOptionOld) {
                change.insert(QMKeyValueChangeOldKey, lastValue);
                lastValue = std::move(value);
            }
        }
        deliver(lock, std::move(change));
    }

    void start()
    {
        std::unique_lock lock(mutex);
        attach(0, object);
        if (!wantsValue() && !(options & QMKeyValueObservingOptionInitial))
            return;
        QVariant value = currentValue();
        if (options & QMKeyValueObservingOptionOld)
            lastValue = value;
        if (!(options & QMKeyValueObservingOptionInitial))
            return;
        QVariantMap change = settingChange();
        if (options & QMKeyValueObservingOptionNew)
            change.insert(QMKeyValueChangeNewKey, value);
        deliver(lock, std::move(change));
    }

    void remove()
    {
        std::unique_lock lock(mutex);
        removed = true;
        const std::thread::id self = std::this_thread::get_id();
        removing.push_back(self);
        idle.notify_all();
        idle.wait(lock, [&] {
            return std::all_of(delivering.begin(), delivering.end(), [&](std::thread::id thread) {
                return thread == self
                        || std::find(removing.begin(), removing.end(), thread) != removing.end();
            });
        });
        removing.erase(std::find(removing.begin(), removing.end(), self));
        if (unregistered)
            return;
        unregistered = true;
        std::vector<Link> taken = std::move(links);
        links.clear();
        lock.unlock();
        for (Link &link : taken) {
            if (link.connection)
                QObject::disconnect(link.connection);
            std::lock_guard tableLock(link.index.relay->mutex);
            link.index.relay->entries.erase(link.index.id);
        }
    }
};

void Relay::dispatch(int id)
{
    relayPool().made.load(std::memory_order_acquire);
    std::shared_ptr<QMKeyValueObservation::Registration> registration;
    int level = 0;
    {
        std::shared_lock lock(mutex);
        const auto found = entries.find(id);
        if (found == entries.end())
            return;
        registration = found->second.registration.lock();
        level = found->second.level;
    }
    if (registration)
        registration->fire(level);
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
    std::lock_guard lock(d->mutex);
    return d->removed;
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

std::shared_ptr<QMKeyValueObservation> QMKeyValueObserving::observe(QObject *object,
                                                                    const QString &keyPath,
                                                                    quint64 options,
                                                                    QMKeyValueChangeHandler handler)
{
    QMParameterAssert(object != nullptr, "object");
    QMParameterAssert(bool(handler), "handler");
    if (options & ~DefinedOptionBits)
        throw QMInternalInconsistencyException(
                QStringLiteral("Key-value observation options use bits above 30: 0x%1")
                        .arg(options, 0, 16));
    checkKeyPathFrom(object->metaObject(), object, keyPath);

    auto registration = std::make_shared<QMKeyValueObservation::Registration>();
    registration->object = object;
    registration->keyPath = keyPath;
    for (const QString &name : keyPath.split(QLatin1Char('.')))
        registration->names.append(name.toUtf8());
    registration->options = options;
    registration->handler = std::move(handler);
    registration->links.resize(size_t(registration->names.size()));
    for (qsizetype depth = 0; depth < registration->names.size(); ++depth) {
        RelayIndex index = allocateRelayIndex();
        registration->links[size_t(depth)].index = index;
        std::lock_guard lock(index.relay->mutex);
        index.relay->entries.emplace(index.id, Relay::Entry {registration, int(depth)});
    }
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

#include <QMFoundation/observation/JXKVONotificationCenter.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/observation/QMKeyValueObserving.h>

#include <QMetaMethod>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

JXKVOObservation::~JXKVOObservation() = default;

namespace {

class Observation;

// The observations an object takes part in, as observer or as target. The sets own the
// observations. Each set has its own lock; the registry that attaches sets to objects has
// another, and no code path holds two of these at once.
struct ObservationSet
{
    std::mutex mutex;
    std::vector<std::shared_ptr<Observation>> observations;
};

struct Registry
{
    std::mutex mutex;
    std::unordered_map<QObject *, std::shared_ptr<ObservationSet>> sets;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

void cleanUpDestroyedObject(QObject *object);

std::shared_ptr<ObservationSet> findSet(QObject *object)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    const auto found = r.sets.find(object);
    return found == r.sets.end() ? nullptr : found->second;
}

// The set attached to `object`, made on first need. Making it hooks the object's destruction:
// QObject::destroyed is emitted first thing in ~QObject (after the derived destructors, before
// children and connections go), on the destroying thread, whatever thread made the object.
std::shared_ptr<ObservationSet> attachedSet(QObject *object)
{
    std::shared_ptr<ObservationSet> set;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        std::shared_ptr<ObservationSet> &slot = r.sets[object];
        if (slot)
            return slot;
        slot = std::make_shared<ObservationSet>();
        set = slot;
    }
    // A functor without a context object: a direct call on the destroying thread, and the
    // connection goes away with the object.
    QObject::connect(object, &QObject::destroyed, [object] { cleanUpDestroyedObject(object); });
    return set;
}

void addToSet(QObject *object, const std::shared_ptr<Observation> &observation)
{
    const std::shared_ptr<ObservationSet> set = attachedSet(object);
    std::lock_guard lock(set->mutex);
    set->observations.push_back(observation);
}

void removeFromSet(QObject *object, const Observation *observation)
{
    const std::shared_ptr<ObservationSet> set = findSet(object);
    if (!set)
        return;
    // Released outside the lock: the last reference may end the observation, whose
    // destructor waits for its deliveries.
    std::vector<std::shared_ptr<Observation>> released;
    std::lock_guard lock(set->mutex);
    // Every entry: an object observing itself, or a list naming an element twice, holds the
    // observation in one set more than once.
    auto &list = set->observations;
    const auto end = std::partition(list.begin(), list.end(),
                                    [&](const auto &item) { return item.get() != observation; });
    std::move(end, list.end(), std::back_inserter(released));
    list.erase(end, list.end());
}

std::vector<std::shared_ptr<Observation>> snapshotOf(QObject *object)
{
    const std::shared_ptr<ObservationSet> set = object ? findSet(object) : nullptr;
    if (!set)
        return {};
    std::lock_guard lock(set->mutex);
    return set->observations;
}

// What a delivery needs, fixed at registration. The layer's handlers hold it, so it lives as
// long as a handler that may still run: the layer lets a handler go once its observation is
// removed and no delivery of it runs.
struct Delivery
{
    Delivery(QObject *observerObject, QMetaMethod observerMethod, QVariant info,
             JXKVOBlock observerBlock)
        : observer(observerObject)
        , method(observerMethod)
        , userInfo(std::move(info))
        , block(std::move(observerBlock))
    { }

    void deliver(const QString &keyPath, QObject *object, const QVariantMap &change) const
    {
        // Read without a lock: removal does not rely on this check (the layer stops and waits
        // for deliveries before removal returns); it only spares deliveries that begin while
        // a removal is on its way.
        if (!valid.load(std::memory_order_acquire))
            return;
        if (method.isValid()) {
            // A direct meta-call, as a signal's connection makes it: notificationMethod() found
            // the method by its exact parameter types, so no name or type is looked up per
            // delivery. The return value, if any, is not wanted.
            void *arguments[]
                    = {nullptr, const_cast<QString *>(&keyPath), &object,
                       const_cast<QVariantMap *>(&change), const_cast<QVariant *>(&userInfo)};
            QMetaObject::metacall(observer, QMetaObject::InvokeMetaMethod, method.methodIndex(),
                                  arguments);
        } else {
            block(JXKVONotification::referringTo(observer, object, keyPath, change));
        }
    }

    QObject *const observer;
    const QMetaMethod method;
    const QVariant userInfo;
    const JXKVOBlock block;
    std::atomic<bool> valid {true};
};

class Observation final : public JXKVOObservation
{
public:
    struct Fields
    {
        QObject *observer = nullptr;
        QObject *target = nullptr;
        QObjectList targets;
        bool isList = false;
        QSet<QString> keyPaths;
    };

    Observation(Fields fields, quint64 options, QByteArray selector,
                std::shared_ptr<Delivery> delivery)
        : m_options(options)
        , m_selector(std::move(selector))
        , m_delivery(std::move(delivery))
        , m_fields(std::move(fields))
    { }

    ~Observation() override
    {
        // Unregisters from the layer, which waits for running deliveries.
        m_registrations.clear();
    }

    bool isValid() const override { return m_delivery->valid.load(std::memory_order_acquire); }

    void remove() override
    {
        std::vector<std::shared_ptr<QMKeyValueObservation>> registrations;
        Fields fields;
        bool claimed = false;
        {
            std::lock_guard lock(m_mutex);
            registrations = m_registrations;
            if (m_delivery->valid.load(std::memory_order_relaxed)) {
                m_delivery->valid.store(false, std::memory_order_release);
                claimed = true;
                fields = std::exchange(m_fields, Fields());
            }
        }
        // Every caller waits here, not only the first: a second remove() on another thread
        // must not return while a delivery is still running either.
        for (const auto &registration : registrations)
            registration->remove();
        if (!claimed)
            return;
        if (fields.observer)
            removeFromSet(fields.observer, this);
        if (fields.isList) {
            for (QObject *element : std::as_const(fields.targets))
                removeFromSet(element, this);
        } else {
            removeFromSet(fields.target, this);
        }
    }

    quint64 options() const { return m_options; }

    bool matches(QObject *observer, QObject *target, const std::optional<JXKVOKeyPathSet> &keyPaths,
                 const QByteArray &selector) const
    {
        std::lock_guard lock(m_mutex);
        if (!m_delivery->valid.load(std::memory_order_relaxed))
            return false;
        if (observer && m_fields.observer != observer)
            return false;
        if (target && (m_fields.isList || m_fields.target != target))
            return false;
        if (keyPaths && m_fields.keyPaths != keyPaths->keyPathsAsSetOfStrings())
            return false;
        if (!selector.isNull() && m_selector != selector)
            return false;
        return true;
    }

    void addRegistration(std::shared_ptr<QMKeyValueObservation> registration)
    {
        std::lock_guard lock(m_mutex);
        m_registrations.push_back(std::move(registration));
    }

private:
    // Fixed at construction.
    const quint64 m_options;
    const QByteArray m_selector;
    const std::shared_ptr<Delivery> m_delivery; // its `valid` is written under m_mutex

    mutable std::mutex m_mutex;
    Fields m_fields;
    std::vector<std::shared_ptr<QMKeyValueObservation>> m_registrations;
};

void cleanUpDestroyedObject(QObject *object)
{
    std::shared_ptr<ObservationSet> set;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        const auto found = r.sets.find(object);
        if (found == r.sets.end())
            return;
        set = std::move(found->second);
        r.sets.erase(found);
    }
    // Taken under the set's lock: a removal of the other party on another thread may be
    // changing the set right now.
    std::vector<std::shared_ptr<Observation>> snapshot;
    {
        std::lock_guard lock(set->mutex);
        snapshot = set->observations;
    }
    for (const auto &observation : snapshot) {
        if (!(observation->options() & JXKVOOptionNoAutomaticRemoval))
            observation->remove();
    }
}

QMetaMethod notificationMethod(QObject *observer, const QByteArray &selector)
{
    const QMetaObject *metaObject = observer->metaObject();
    for (const char *mapType : {"QVariantMap", "QMap<QString,QVariant>"}) {
        const QByteArray written = selector + "(QString,QObject*," + mapType + ",QVariant)";
        const QByteArray signature = QMetaObject::normalizedSignature(written.constData());
        const int index = metaObject->indexOfMethod(signature.constData());
        if (index >= 0)
            return metaObject->method(index);
    }
    throw QMInternalInconsistencyException(
            QStringLiteral("%1 has no method %2(QString,QObject*,QVariantMap,QVariant) to receive "
                           "key-value notifications")
                    .arg(QString::fromLatin1(metaObject->className()),
                         QString::fromLatin1(selector)));
}

std::shared_ptr<JXKVOObservation> registerObservation(Observation::Fields fields, quint64 options,
                                                      QByteArray selector, QVariant userInfo,
                                                      JXKVOBlock block)
{
    QMetaMethod method;
    if (!block)
        method = notificationMethod(fields.observer, selector);
    const QList<QObject *> targets
            = fields.isList ? fields.targets : QList<QObject *> {fields.target};
    const QSet<QString> keyPaths = fields.keyPaths;
    QObject *observer = fields.observer;
    auto delivery
            = std::make_shared<Delivery>(observer, method, std::move(userInfo), std::move(block));
    auto observation = std::make_shared<Observation>(std::move(fields), options,
                                                     std::move(selector), delivery);
    const QMKeyValueChangeHandler handler
            = [delivery](const QString &keyPath, QObject *object, const QVariantMap &change) {
                  delivery->deliver(keyPath, object, change);
              };
    // Bits 31 and above are the center's; the layer rejects them.
    const quint64 layerOptions = options & (JXKVOOptionNoAutomaticRemoval - 1);
    for (const QString &keyPath : keyPaths) {
        for (QObject *element : targets) {
            if (!element)
                continue;
            observation->addRegistration(
                    QMKeyValueObserving::observe(element, keyPath, layerOptions, handler));
        }
    }
    if (observer)
        addToSet(observer, observation);
    for (QObject *element : targets) {
        if (element)
            addToSet(element, observation);
    }
    return observation;
}

} // namespace

JXKVONotificationCenter *JXKVONotificationCenter::defaultCenter()
{
    static JXKVONotificationCenter center;
    return &center;
}

std::shared_ptr<JXKVOObservation>
JXKVONotificationCenter::addObserver(QObject *observer, QObject *target,
                                     const JXKVOKeyPathSet &keyPaths, const QByteArray &selector,
                                     const QVariant &userInfo, quint64 options)
{
    QMParameterAssert(target != nullptr, "target");
    QMParameterAssert(observer != nullptr, "observer");
    QMParameterAssert(!selector.isEmpty(), "selector");
    Observation::Fields fields;
    fields.observer = observer;
    fields.target = target;
    fields.keyPaths = keyPaths.keyPathsAsSetOfStrings();
    return registerObservation(std::move(fields), options, selector, userInfo, {});
}

std::shared_ptr<JXKVOObservation>
JXKVONotificationCenter::addObserver(QObject *observer, const QObjectList &targets,
                                     const JXKVOKeyPathSet &keyPaths, const QByteArray &selector,
                                     const QVariant &userInfo, quint64 options)
{
    QMParameterAssert(observer != nullptr, "observer");
    QMParameterAssert(!selector.isEmpty(), "selector");
    Observation::Fields fields;
    fields.observer = observer;
    fields.targets = targets;
    fields.isList = true;
    fields.keyPaths = keyPaths.keyPathsAsSetOfStrings();
    return registerObservation(std::move(fields), options, selector, userInfo, {});
}

std::shared_ptr<JXKVOObservation>
JXKVONotificationCenter::addObserver(QObject *observer, QObject *target,
                                     const JXKVOKeyPathSet &keyPaths, quint64 options,
                                     JXKVOBlock block)
{
    QMParameterAssert(target != nullptr, "target");
    QMParameterAssert(bool(block), "block");
    Observation::Fields fields;
    fields.observer = observer;
    fields.target = target;
    fields.keyPaths = keyPaths.keyPathsAsSetOfStrings();
    return registerObservation(std::move(fields), options, QByteArray(), QVariant(),
                               std::move(block));
}

std::shared_ptr<JXKVOObservation>
JXKVONotificationCenter::addObserver(QObject *observer, const QObjectList &targets,
                                     const JXKVOKeyPathSet &keyPaths, quint64 options,
                                     JXKVOBlock block)
{
    QMParameterAssert(bool(block), "block");
    Observation::Fields fields;
    fields.observer = observer;
    fields.targets = targets;
    fields.isList = true;
    fields.keyPaths = keyPaths.keyPathsAsSetOfStrings();
    return registerObservation(std::move(fields), options, QByteArray(), QVariant(),
                               std::move(block));
}

void JXKVONotificationCenter::removeObserver(QObject *observer, QObject *target,
                                             const std::optional<JXKVOKeyPathSet> &keyPaths,
                                             const QByteArray &selector)
{
    QMParameterAssert(observer || target, "observer || target");
    std::vector<std::shared_ptr<Observation>> candidates = snapshotOf(observer);
    for (auto &observation : snapshotOf(target)) {
        if (std::find(candidates.begin(), candidates.end(), observation) == candidates.end())
            candidates.push_back(std::move(observation));
    }
    for (const auto &observation : candidates) {
        if (observation->matches(observer, target, keyPaths, selector))
            observation->remove();
    }
}

void JXKVONotificationCenter::removeObservation(
        const std::shared_ptr<JXKVOObservation> &observation)
{
    if (observation)
        observation->remove();
}

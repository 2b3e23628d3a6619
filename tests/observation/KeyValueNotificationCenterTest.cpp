// The key-value notification center on one thread: delivery by message and by block, removal
// by matching, automatic removal at destruction, list targets and the short forms.

#include "ObservationTestSupport.h"

#include <optional>

namespace {

using namespace JXKVONotificationCategory;

const JXKVOBlock ignore = [](const JXKVONotification &) {
};

TEST(NotificationCenter, DeliversMessagesAndBlocksWithKindOldAndNew)
{
    KVOPerson person;
    person.setName(u"Ann"_s);
    Recorder recorder;
    std::vector<JXKVONotification> blocks;
    const auto byMessage = kvoCenter()->addObserver(&recorder, &person, "name", "observeValue",
                                                    u"info"_s, NewAndOld);
    const auto byBlock = kvoCenter()->addObserver(&recorder, &person, "name", NewAndOld,
                                                  [&](const auto &n) { blocks.push_back(n); });
    // A slot works as well as a Q_INVOKABLE method; no user info arrives as an invalid QVariant.
    const auto bySlot = kvoCenter()->addObserver(&recorder, &person, "age", "otherValue", {}, 0);
    person.setName(u"Bo"_s);
    person.setAge(7);

    const QVariantMap change = setting({{NewKey, u"Bo"_s}, {OldKey, u"Ann"_s}});
    const std::vector<Recorder::Call> calls = recorder.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].method, u"observeValue"_s);
    EXPECT_EQ(calls[0].keyPath, u"name"_s);
    EXPECT_EQ(calls[0].object, &person);
    EXPECT_EQ(calls[0].change, change);
    EXPECT_EQ(calls[0].userInfo, QVariant(u"info"_s));
    EXPECT_EQ(calls[1].method, u"otherValue"_s);
    EXPECT_EQ(calls[1].change, setting());
    EXPECT_FALSE(calls[1].userInfo.isValid());
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].observer(), &recorder);
    EXPECT_EQ(blocks[0].target(), &person);
    EXPECT_EQ(blocks[0].keyPath(), u"name"_s);
    EXPECT_EQ(blocks[0].change(), change);
    EXPECT_EQ(blocks[0].kind(), quint64(QMKeyValueChangeSetting));
    EXPECT_EQ(blocks[0].newValue(), QVariant(u"Bo"_s));
    EXPECT_EQ(blocks[0].oldValue(), QVariant(u"Ann"_s));

    // Entries a change lacks read as 0, null, empty and false.
    const JXKVONotification empty(nullptr, nullptr, QString(), {});
    EXPECT_EQ(empty.kind(), 0u);
    EXPECT_FALSE(empty.oldValue().isValid() || empty.newValue().isValid() || empty.isPrior());
    EXPECT_TRUE(empty.indexes().isEmpty());
    const JXKVONotification insertion(
            nullptr, nullptr, QString(),
            {{QMKeyValueChangeIndexesKey, QVariant::fromValue(QMIndexSet {1, 3})},
             {QMKeyValueChangeNotificationIsPriorKey, true}});
    EXPECT_EQ(insertion.indexes(), (QMIndexSet {1, 3}));
    EXPECT_TRUE(insertion.isPrior());
}

TEST(NotificationCenter, ProgrammingErrorsAreReportedWordForWord)
{
    KVOPerson person;
    Recorder recorder;
    const auto add
            = [&](QObject *observer, QObject *target, const char *keyPath, const char *selector) {
                  return [=] {
                      kvoCenter()->addObserver(observer, target, keyPath, selector, {}, 0);
                  };
              };
    const std::pair<std::function<void()>, const char *> rows[] = {
            // The method is looked up at registration, by name and arguments.
            {add(&recorder, &person, "name", "missing"),
             "Recorder has no method missing(QString,QObject*,QVariantMap,QVariant) to receive "
             "key-value notifications"},
            {add(&recorder, &person, "name", "wrongArguments"),
             "Recorder has no method wrongArguments(QString,QObject*,QVariantMap,QVariant) to "
             "receive key-value notifications"},
            {add(&recorder, &person, "species", "observeValue"),
             "Property \"species\" of KVOPerson has no NOTIFY signal (key path \"species\")"},
            {[&] { kvoCenter()->addObserver(nullptr, &person, "partner.nick", 0, ignore); },
             "KVOPerson has no property \"nick\" (key path \"partner.nick\")"},
            {add(&recorder, nullptr, "name", "observeValue"),
             "Invalid parameter not satisfying: target"},
            {add(nullptr, &person, "name", "observeValue"),
             "Invalid parameter not satisfying: observer"},
            {[&] { kvoCenter()->addObserver(nullptr, &person, "name", 0, {}); },
             "Invalid parameter not satisfying: block"},
            {[&] { kvoCenter()->removeObserver(nullptr, nullptr); },
             "Invalid parameter not satisfying: observer || target"},
    };
    for (const auto &[action, message] : rows) {
        SCOPED_TRACE(message);
        EXPECT_EQ(failureOf(action), QString::fromUtf8(message));
    }
    person.setName(u"x"_s); // a failed registration leaves nothing behind
    EXPECT_EQ(recorder.count(), 0);
}

TEST(NotificationCenter, RemovalMatchesEveryGivenPartAndKeyPathsAsWholeSets)
{
    KVOPerson person, other;
    Recorder recorder, otherRecorder;
    const QStringList ageAndName = {u"age"_s, u"name"_s};
    struct Row
    {
        const char *name;
        QObject *observer, *target;
        std::optional<JXKVOKeyPathSet> keyPaths;
        QByteArray selector;
        bool removed;
    };
    const Row rows[] = {
            {"everything named", &recorder, &person,
             QSet<QString>(ageAndName.begin(), ageAndName.end()), "observeValue", true},
            {"observer only", &recorder, nullptr, {}, {}, true},
            {"target only", nullptr, &person, {}, {}, true},
            // The same strings in a list, in another order and repeated, are the same set.
            {"list with a repeat",
             &recorder,
             &person,
             QStringList {u"name"_s, u"age"_s, u"name"_s},
             {},
             true},
            // Part of the set, or more than it, is another set.
            {"one of the two key paths", &recorder, &person, JXKVOKeyPathSet("name"), {}, false},
            {"a third key path",
             &recorder,
             &person,
             QStringList {u"age"_s, u"name"_s, u"partner"_s},
             {},
             false},
            {"another method", &recorder, &person, {}, "otherValue", false},
            {"another observer", &otherRecorder, &person, {}, {}, false},
            {"another target", &recorder, &other, {}, {}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        // Two identical registrations are two observations, and one matching removal ends both.
        const std::shared_ptr<JXKVOObservation> observations[]
                = {kvoCenter()->addObserver(&recorder, &person, ageAndName, "observeValue", {}, 0),
                   kvoCenter()->addObserver(&recorder, &person, ageAndName, "observeValue", {}, 0)};
        kvoCenter()->removeObserver(row.observer, row.target, row.keyPaths, row.selector);
        const int before = recorder.count();
        person.setAge(person.age() + 1);
        EXPECT_EQ(recorder.count() - before, row.removed ? 0 : 2);
        for (const auto &observation : observations) {
            EXPECT_EQ(observation->isValid(), !row.removed);
            observation->remove();
        }
    }
}

TEST(NotificationCenter, DestructionOfEitherPartyRemovesUnlessBit31IsSet)
{
    for (const bool destroyObserver : {true, false}) {
        for (const quint64 options : {quint64(0), quint64(JXKVOOptionNoAutomaticRemoval)}) {
            SCOPED_TRACE(testing::Message()
                         << "observer destroyed " << destroyObserver << ", options " << options);
            auto observer = std::make_unique<Recorder>();
            auto target = std::make_unique<KVOPerson>();
            KVOPerson *const rawTarget = target.get();
            int calls = 0;
            // The block does not touch the observer, so a delivery with it gone is safe here.
            const auto observation = kvoCenter()->addObserver(
                    observer.get(), target.get(), "age", options, [&](const auto &) { ++calls; });
            destroyObserver ? observer.reset() : target.reset();
            EXPECT_EQ(observation->isValid(), options != 0);
            if (destroyObserver) {
                rawTarget->setAge(5);
                EXPECT_EQ(calls, options ? 1 : 0);
            }
            observation->remove(); // safe after a party is gone
        }
    }
}

TEST(NotificationCenter, Bit31NeverReachesTheLayerAndInitialDeliversAtRegistration)
{
    KVOPerson person;
    person.setAge(3);
    std::vector<QVariant> values;
    // The layer rejects bit 31, so the center must clear it on the way.
    const auto observation = kvoCenter()->addObserver(
            nullptr, &person, "age",
            JXKVOOptionNoAutomaticRemoval | QMKeyValueObservingOptionInitial
                    | QMKeyValueObservingOptionNew,
            [&](const JXKVONotification &n) { values.push_back(n.newValue()); });
    person.setAge(4);
    EXPECT_EQ(values, (std::vector<QVariant> {3, 4}));
    observation->remove();
}

TEST(NotificationCenter, SetsOwnObservationsWithoutObserverOrObservingThemselves)
{
    // Without an observer: the target's set owns it, a removal naming the target ends it, and
    // the target's destruction releases it.
    auto target = std::make_unique<KVOPerson>();
    int calls = 0;
    std::weak_ptr<JXKVOObservation> weak
            = addObservationKeyPath(target.get(), "age", 0, [&](const auto &n) {
                  EXPECT_EQ(n.observer(), nullptr);
                  ++calls;
              });
    target->setAge(1);
    removeAllObservers(target.get());
    target->setAge(2);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(weak.expired());
    weak = addObservationKeyPath(target.get(), "age", 0, ignore);
    EXPECT_FALSE(weak.expired());
    target.reset();
    EXPECT_TRUE(weak.expired());

    // Observer and target at once, and an element twice in a list: one set holds it twice.
    KVOPerson person;
    std::weak_ptr<JXKVOObservation> self
            = kvoCenter()->addObserver(&person, &person, "age", 0, ignore);
    std::weak_ptr<JXKVOObservation> twice
            = kvoCenter()->addObserver(nullptr, QObjectList {&person, &person}, "name", 0, ignore);
    stopObservingAllTargets(&person);
    EXPECT_TRUE(self.expired());
    ASSERT_FALSE(twice.expired());
    twice.lock()->remove();
    EXPECT_TRUE(twice.expired());
}

TEST(NotificationCenter, ListTargetsObserveTheElementsPresentAtRegistration)
{
    KVOPerson first, second, later;
    QObjectList people = {&first, &second};
    Recorder recorder;
    const auto observation
            = kvoCenter()->addObserver(&recorder, people, "age", "observeValue", {}, 0);
    people.append(&later); // the observation keeps the list as it was
    second.setAge(1);
    first.setAge(1);
    later.setAge(1);
    const auto calls = recorder.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].object, &second); // the element is reported as the changed object
    EXPECT_EQ(calls[1].object, &first);
    // A list has no identity: its observations are matched through the observer.
    kvoCenter()->removeObserver(&recorder, &second);
    EXPECT_TRUE(observation->isValid());
    stopObservingAllTargets(&recorder);
    EXPECT_FALSE(observation->isValid());

    // An element's destruction ends the observation.
    auto doomed = std::make_unique<KVOPerson>();
    const auto withDoomed = kvoCenter()->addObserver(nullptr, QObjectList {&first, doomed.get()},
                                                     "age", 0, ignore);
    doomed.reset();
    EXPECT_FALSE(withDoomed->isValid());
}

TEST(NotificationCenter, CallbackMayRemoveItsOwnObservation)
{
    KVOPerson person;
    std::shared_ptr<JXKVOObservation> observation;
    int calls = 0;
    observation = kvoCenter()->addObserver(nullptr, &person, "age", 0, [&](const auto &) {
        ++calls;
        observation->remove();
        EXPECT_FALSE(observation->isValid());
    });
    // With the token dropped, so the sets release the last reference while the callback runs.
    addObservationKeyPath(&person, "age", 0, [&](const JXKVONotification &n) {
        ++calls;
        removeAllObservers(n.target());
    });
    person.setAge(1);
    person.setAge(2);
    EXPECT_EQ(calls, 2);
}

TEST(NotificationCenter, ShortFormsForwardWithTheReceiverInItsPlace)
{
    using Add = std::function<std::shared_ptr<JXKVOObservation>(KVOPerson *, Recorder *)>;
    using Remove = std::function<void(KVOPerson *, Recorder *)>;
    const auto forward = [](Recorder *r) {
        return [r](const JXKVONotification &n) {
            r->observeValue(n.keyPath(), n.target(), n.change(), {});
        };
    };
    const std::tuple<const char *, Add, Remove> rows[] = {
            {"addObserver / removeObserver",
             [](KVOPerson *p, Recorder *r) {
                 return addObserver(p, r, "age", "otherValue", {}, 0);
             },
             [](KVOPerson *p, Recorder *r) {
                 removeObserver(p, r, "age", "otherValue");
             }},
            {"observeTarget / stopObserving",
             [](KVOPerson *p, Recorder *r) {
                 return observeTarget(r, p, "age", "observeValue", {}, 0);
             },
             [](KVOPerson *p, Recorder *r) {
                 stopObserving(r, p, "age");
             }},
            {"block addObserver / removeAllObservers",
             [&](KVOPerson *p, Recorder *r) { return addObserver(p, r, "age", 0, forward(r)); },
             [](KVOPerson *p, Recorder *) {
                 removeAllObservers(p);
             }},
            {"block observeTarget / stopObservingAllTargets",
             [&](KVOPerson *p, Recorder *r) { return observeTarget(r, p, "age", 0, forward(r)); },
             [](KVOPerson *, Recorder *r) {
                 stopObservingAllTargets(r);
             }},
    };
    for (const auto &[name, add, remove] : rows) {
        SCOPED_TRACE(name);
        KVOPerson person;
        Recorder recorder;
        const auto observation = add(&person, &recorder);
        person.setAge(1);
        ASSERT_EQ(recorder.count(), 1);
        EXPECT_EQ(recorder.calls()[0].object, &person);
        removeObserver(&person, &recorder, "age", "noSuchMethod"); // the wrong selector: no effect
        EXPECT_TRUE(observation->isValid());
        remove(&person, &recorder);
        EXPECT_FALSE(observation->isValid());
    }
}

} // namespace

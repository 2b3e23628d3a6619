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
    // A record whose keys were typed anew rather than taken from the constants.
    const JXKVONotification typed(nullptr, nullptr, QString(),
                                  {{QString::fromLatin1("kind"), quint64(QMKeyValueChangeSetting)},
                                   {QString::fromLatin1("new"), 7},
                                   {QString::fromLatin1("old"), 6}});
    EXPECT_EQ(typed.kind(), quint64(QMKeyValueChangeSetting));
    EXPECT_EQ(typed.newValue(), QVariant(7));
    EXPECT_EQ(typed.oldValue(), QVariant(6));
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
    const QStringList nameAgeName = {u"name"_s, u"age"_s, u"name"_s};
    const std::tuple<const char *, QObject *, QObject *, std::optional<JXKVOKeyPathSet>, QByteArray,
                     bool>
            rows[] = {
                    {"everything named", &recorder, &person,
                     QSet<QString>(ageAndName.begin(), ageAndName.end()), "observeValue", true},
                    {"observer only", &recorder, nullptr, {}, {}, true},
                    {"target only", nullptr, &person, {}, {}, true},
                    // The same strings in a list, in another order and repeated, are the same set.
                    {"list with a repeat", &recorder, &person, nameAgeName, {}, true},
                    // Part of the set, or more than it, is another set.
                    {"one of the two key paths",
                     &recorder,
                     &person,
                     JXKVOKeyPathSet("name"),
                     {},
                     false},
                    {"a third key path",
                     &recorder,
                     &person,
                     ageAndName + QStringList {u"partner"_s},
                     {},
                     false},
                    {"another method", &recorder, &person, {}, "otherValue", false},
                    {"another observer", &otherRecorder, &person, {}, {}, false},
                    {"another target", &recorder, &other, {}, {}, false},
            };
    for (const auto &[name, observer, target, keyPaths, selector, removed] : rows) {
        SCOPED_TRACE(name);
        // Two identical registrations are two observations, and one matching removal ends both.
        const std::shared_ptr<JXKVOObservation> observations[]
                = {kvoCenter()->addObserver(&recorder, &person, ageAndName, "observeValue", {}, 0),
                   kvoCenter()->addObserver(&recorder, &person, ageAndName, "observeValue", {}, 0)};
        kvoCenter()->removeObserver(observer, target, keyPaths, selector);
        const int before = recorder.count();
        person.setAge(person.age() + 1);
        EXPECT_EQ(recorder.count() - before, removed ? 0 : 2);
        for (const auto &observation : observations) {
            EXPECT_EQ(observation->isValid(), !removed);
            observation->remove();
        }
    }
}

TEST(NotificationCenter, DestructionOfEitherPartyRemovesUnlessBit31IsSet)
{
    // Bit 31 comes with Initial: the layer rejects bit 31, so the center must clear it on the
    // way, and Initial delivers once during registration.
    constexpr quint64 kept = JXKVOOptionNoAutomaticRemoval | QMKeyValueObservingOptionInitial;
    for (const bool destroyObserver : {true, false}) {
        for (const quint64 options : {quint64(0), kept}) {
            SCOPED_TRACE(testing::Message()
                         << "observer destroyed " << destroyObserver << ", options " << options);
            auto observer = std::make_unique<Recorder>();
            auto target = std::make_unique<KVOPerson>();
            KVOPerson *const rawTarget = target.get();
            int calls = 0;
            // The block does not touch the observer, so a delivery with it gone is safe here.
            const auto observation = kvoCenter()->addObserver(
                    observer.get(), target.get(), "age", options, [&](const auto &) { ++calls; });
            EXPECT_EQ(calls, options ? 1 : 0);
            destroyObserver ? observer.reset() : target.reset();
            EXPECT_EQ(observation->isValid(), options != 0);
            if (destroyObserver) {
                rawTarget->setAge(5);
                EXPECT_EQ(calls, options ? 2 : 0);
            }
            observation->remove(); // safe after a party is gone
        }
    }
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
    KVOPerson person;
    Recorder recorder;
    const auto byObserver = addObserver(&person, &recorder, "age", "otherValue", {}, 0);
    const auto byTarget = observeTarget(&recorder, &person, "name", "observeValue", {}, 0);
    const auto blockByObserver = addObserver(&person, &recorder, "age", 0, ignore);
    person.setAge(1);
    person.setName(u"n"_s);
    const auto calls = recorder.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].object, &person);
    EXPECT_EQ(calls[1].object, &person);
    removeObserver(&person, &recorder, "age", "noSuchMethod"); // the wrong selector: no effect
    EXPECT_TRUE(byObserver->isValid());
    removeObserver(&person, &recorder, "age", "otherValue");
    EXPECT_FALSE(byObserver->isValid());
    EXPECT_TRUE(blockByObserver->isValid());
    stopObserving(&recorder, &person, "name");
    EXPECT_FALSE(byTarget->isValid());
    const auto blockByTarget = observeTarget(&recorder, &person, "age", 0, ignore);
    removeAllObservers(&person);
    EXPECT_FALSE(blockByObserver->isValid());
    EXPECT_FALSE(blockByTarget->isValid());
}

} // namespace

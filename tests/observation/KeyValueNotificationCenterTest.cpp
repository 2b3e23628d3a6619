// The key-value notification center on one thread: delivery by message and by block,
// removal by matching, automatic removal at destruction, list targets and the short forms.

#include "KVOTestObjects.h"
#include "support/Failures.h"

#include "observation/JXKVONotificationCategory.h"
#include "observation/JXKVONotificationCenter.h"
#include "observation/QMKeyValueObserving.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

namespace {

using TestSupport::failureOf;

JXKVONotificationCenter *center()
{
    return JXKVONotificationCenter::defaultCenter();
}

constexpr quint64 NewAndOld = QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld;

TEST(NotificationCenter, DeliversMessagesByNameWithTheFourArguments)
{
    KVOPerson person;
    person.setName(QStringLiteral("Ann"));
    KVORecorder recorder;
    EXPECT_EQ(center(), JXKVONotificationCenter::defaultCenter());
    const auto observation = center()->addObserver(&recorder, &person, "name", "observeValue",
                                                   QStringLiteral("info"), NewAndOld);
    // A slot works as well as a Q_INVOKABLE method; no user info arrives as an invalid QVariant.
    const auto slotObservation
            = center()->addObserver(&recorder, &person, "age", "otherValue", QVariant(), 0);
    person.setName(QStringLiteral("Bo"));
    person.setAge(7);

    const std::vector<KVOCall> calls = recorder.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].method, QStringLiteral("observeValue"));
    EXPECT_EQ(calls[0].keyPath, QStringLiteral("name"));
    EXPECT_EQ(calls[0].object, &person);
    EXPECT_EQ(calls[0].change.value(QMKeyValueChangeNewKey), QStringLiteral("Bo"));
    EXPECT_EQ(calls[0].change.value(QMKeyValueChangeOldKey), QStringLiteral("Ann"));
    EXPECT_EQ(calls[0].change.value(QMKeyValueChangeKindKey).toULongLong(),
              quint64(QMKeyValueChangeSetting));
    EXPECT_EQ(calls[0].userInfo, QVariant(QStringLiteral("info")));
    EXPECT_EQ(calls[1].method, QStringLiteral("otherValue"));
    EXPECT_EQ(calls[1].keyPath, QStringLiteral("age"));
    EXPECT_FALSE(calls[1].userInfo.isValid());
    EXPECT_FALSE(calls[1].change.contains(QMKeyValueChangeNewKey));
}

TEST(NotificationCenter, ProgrammingErrorsAreReportedWordForWord)
{
    KVOPerson person;
    KVORecorder recorder;
    const JXKVOBlock ignore = [](const JXKVONotification &) {
    };
    struct Row
    {
        const char *name;
        std::function<void()> action;
        const char *message;
    };
    const std::vector<Row> rows = {
            // The method is looked up at registration, not at the first change.
            {"missing method",
             [&] { center()->addObserver(&recorder, &person, "name", "missing", QVariant(), 0); },
             "KVORecorder has no method missing(QString,QObject*,QVariantMap,QVariant) to receive "
             "key-value notifications"},
            {"method with other arguments",
             [&] {
                 center()->addObserver(&recorder, &person, "name", "wrongArguments", QVariant(), 0);
             },
             "KVORecorder has no method wrongArguments(QString,QObject*,QVariantMap,QVariant) to "
             "receive key-value notifications"},
            {"key path without NOTIFY",
             [&] { center()->addObserver(&recorder, &person, "species", "observeValue", {}, 0); },
             "Property \"species\" of KVOPerson has no NOTIFY signal (key path \"species\")"},
            {"unknown key path with a block",
             [&] { center()->addObserver(nullptr, &person, "partner.nick", 0, ignore); },
             "KVOPerson has no property \"nick\" (key path \"partner.nick\")"},
            {"no target",
             [&] { center()->addObserver(&recorder, nullptr, "name", "observeValue", {}, 0); },
             "Invalid parameter not satisfying: target"},
            {"message without observer",
             [&] { center()->addObserver(nullptr, &person, "name", "observeValue", {}, 0); },
             "Invalid parameter not satisfying: observer"},
            {"no block", [&] { center()->addObserver(nullptr, &person, "name", 0, JXKVOBlock()); },
             "Invalid parameter not satisfying: block"},
            {"removal naming neither party", [&] { center()->removeObserver(nullptr, nullptr); },
             "Invalid parameter not satisfying: observer || target"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(failureOf(row.action), QString::fromUtf8(row.message));
    }
    // A failed registration leaves nothing behind.
    person.setName(QStringLiteral("x"));
    EXPECT_EQ(recorder.count(), 0u);
}

TEST(NotificationCenter, BlocksReceiveANotificationRecord)
{
    KVOPerson person;
    KVORecorder observer;
    person.setName(QStringLiteral("Ann"));
    std::vector<JXKVONotification> received;
    const auto observation
            = center()->addObserver(&observer, &person, "name", NewAndOld,
                                    [&](const JXKVONotification &n) { received.push_back(n); });
    person.setName(QStringLiteral("Bo"));
    ASSERT_EQ(received.size(), 1u);
    const JXKVONotification &n = received[0];
    EXPECT_EQ(n.observer(), &observer);
    EXPECT_EQ(n.target(), &person);
    EXPECT_EQ(n.keyPath(), QStringLiteral("name"));
    EXPECT_EQ(n.kind(), quint64(QMKeyValueChangeSetting));
    EXPECT_EQ(n.newValue(), QVariant(QStringLiteral("Bo")));
    EXPECT_EQ(n.oldValue(), QVariant(QStringLiteral("Ann")));
    EXPECT_FALSE(n.isPrior());
    EXPECT_TRUE(n.indexes().isEmpty());
}

TEST(NotificationCenter, NotificationReadsItsChangeAndDefaultsMissingEntries)
{
    struct Row
    {
        const char *name;
        QVariantMap change;
        quint64 kind;
        QVariant oldValue;
        QVariant newValue;
        QMIndexSet indexes;
        bool prior;
    };
    const std::vector<Row> rows = {
            // Nothing in the change: 0, none, empty and false.
            {"empty", {}, 0, {}, {}, {}, false},
            {"setting",
             {{QMKeyValueChangeKindKey, quint64(1)},
              {QMKeyValueChangeOldKey, 1},
              {QMKeyValueChangeNewKey, 2}},
             1,
             1,
             2,
             {},
             false},
            // Ordered to-many changes carry their positions.
            {"insertion",
             {{QMKeyValueChangeKindKey, quint64(2)},
              {QMKeyValueChangeIndexesKey, QVariant::fromValue(QMIndexSet {1, 3})}},
             2,
             {},
             {},
             QMIndexSet {1, 3},
             false},
            {"prior replacement",
             {{QMKeyValueChangeKindKey, quint64(4)},
              {QMKeyValueChangeNotificationIsPriorKey, true}},
             4,
             {},
             {},
             {},
             true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const JXKVONotification n(nullptr, nullptr, QStringLiteral("k"), row.change);
        EXPECT_EQ(n.kind(), row.kind);
        EXPECT_EQ(n.oldValue(), row.oldValue);
        EXPECT_EQ(n.newValue(), row.newValue);
        EXPECT_EQ(n.indexes(), row.indexes);
        EXPECT_EQ(n.isPrior(), row.prior);
        EXPECT_EQ(n.change(), row.change);
    }
}

TEST(NotificationCenter, IdenticalRegistrationsAreTwoObservationsRemovedTogether)
{
    KVOPerson person;
    KVORecorder recorder;
    const auto first = center()->addObserver(&recorder, &person, "age", "observeValue", {}, 0);
    const auto second = center()->addObserver(&recorder, &person, "age", "observeValue", {}, 0);
    EXPECT_NE(first, second);
    person.setAge(1);
    EXPECT_EQ(recorder.count(), 2u);
    center()->removeObserver(&recorder, &person, JXKVOKeyPathSet("age"), "observeValue");
    EXPECT_FALSE(first->isValid());
    EXPECT_FALSE(second->isValid());
    person.setAge(2);
    EXPECT_EQ(recorder.count(), 2u);
}

TEST(NotificationCenter, RemovalMatchesEveryGivenPartKeyPathsAsWholeSets)
{
    KVOPerson other;
    KVORecorder otherRecorder;
    struct Row
    {
        const char *name;
        bool observer; // name the registered observer (else none)
        bool target; // name the registered target (else none)
        QObject *otherObserver;
        QObject *otherTarget;
        std::optional<JXKVOKeyPathSet> keyPaths;
        QByteArray selector;
        bool removed;
    };
    const QStringList ageAndName = {QStringLiteral("age"), QStringLiteral("name")};
    const std::vector<Row> rows = {
            {"everything named", true, true, nullptr, nullptr,
             JXKVOKeyPathSet(QSet<QString> {QStringLiteral("name"), QStringLiteral("age")}),
             "observeValue", true},
            {"no key paths", true, true, nullptr, nullptr, std::nullopt, QByteArray(), true},
            {"observer only", true, false, nullptr, nullptr, std::nullopt, QByteArray(), true},
            {"target only", false, true, nullptr, nullptr, std::nullopt, QByteArray(), true},
            // The same strings in a list, in another order and repeated, are the same set.
            {"list in other order", true, true, nullptr, nullptr, JXKVOKeyPathSet(ageAndName),
             QByteArray(), true},
            {"list with a repeat", true, true, nullptr, nullptr,
             JXKVOKeyPathSet(ageAndName + QStringList {QStringLiteral("age")}), QByteArray(), true},
            // Part of the set, or more than it, is another set.
            {"one of the two key paths", true, true, nullptr, nullptr, JXKVOKeyPathSet("name"),
             QByteArray(), false},
            {"a third key path", true, true, nullptr, nullptr,
             JXKVOKeyPathSet(ageAndName + QStringList {QStringLiteral("partner")}), QByteArray(),
             false},
            {"another method", true, true, nullptr, nullptr, std::nullopt, "otherValue", false},
            {"another observer", false, true, &otherRecorder, nullptr, std::nullopt, QByteArray(),
             false},
            {"another target", true, false, nullptr, &other, std::nullopt, QByteArray(), false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        KVOPerson person;
        KVORecorder recorder;
        const auto observation = center()->addObserver(
                &recorder, &person, QSet<QString> {QStringLiteral("name"), QStringLiteral("age")},
                "observeValue", {}, 0);
        QObject *observer = row.observer ? &recorder : row.otherObserver;
        QObject *target = row.target ? &person : row.otherTarget;
        center()->removeObserver(observer, target, row.keyPaths, row.selector);
        EXPECT_EQ(observation->isValid(), !row.removed);
        person.setAge(1);
        person.setName(QStringLiteral("n"));
        EXPECT_EQ(recorder.count(), row.removed ? 0u : 2u);
    }
}

TEST(NotificationCenter, DestructionOfEitherPartyRemovesUnlessBit31IsSet)
{
    struct Row
    {
        const char *name;
        bool destroyObserver; // else the target
        quint64 options;
        bool removed;
    };
    const std::vector<Row> rows = {
            {"observer destroyed", true, 0, true},
            {"target destroyed", false, 0, true},
            {"observer destroyed, bit 31", true, JXKVOOptionNoAutomaticRemoval, false},
            {"target destroyed, bit 31", false, JXKVOOptionNoAutomaticRemoval, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto observer = std::make_unique<KVORecorder>();
        auto target = std::make_unique<KVOPerson>();
        KVOPerson *rawTarget = target.get();
        int calls = 0;
        // The block reports what the observation still delivers; it does not touch the
        // observer, so a delivery with the observer gone is safe here.
        const auto observation
                = center()->addObserver(observer.get(), target.get(), "age", row.options,
                                        [&](const JXKVONotification &) { ++calls; });
        (row.destroyObserver ? static_cast<std::unique_ptr<QObject>>(std::move(observer))
                             : static_cast<std::unique_ptr<QObject>>(std::move(target)))
                .reset();
        EXPECT_EQ(observation->isValid(), !row.removed);
        if (row.destroyObserver) {
            rawTarget->setAge(5);
            EXPECT_EQ(calls, row.removed ? 0 : 1);
        }
        // The caller removes what was kept; removal after a party is gone is safe.
        observation->remove();
        EXPECT_FALSE(observation->isValid());
        if (target)
            target->setAge(6);
        EXPECT_EQ(calls, row.destroyObserver && !row.removed ? 1 : 0);
    }
}

TEST(NotificationCenter, ObservationWithoutObserverEndsThroughItsTarget)
{
    struct Row
    {
        const char *name;
        std::function<void(KVOPerson *, const std::shared_ptr<JXKVOObservation> &)> end;
    };
    const std::vector<Row> rows = {
            {"remove",
             [](KVOPerson *, const auto &observation) {
                 observation->remove();
             }},
            {"removeObservation",
             [](KVOPerson *, const auto &observation) {
                 center()->removeObservation(observation);
             }},
            {"removal naming the target",
             [](KVOPerson *target, const auto &) {
                 JXKVONotificationCategory::removeAllObservers(target);
             }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        KVOPerson target;
        int calls = 0;
        const auto observation = JXKVONotificationCategory::addObservationKeyPath(
                &target, "age", 0, [&](const JXKVONotification &n) {
                    EXPECT_EQ(n.observer(), nullptr);
                    ++calls;
                });
        target.setAge(1);
        row.end(&target, observation);
        target.setAge(2);
        EXPECT_EQ(calls, 1);
        EXPECT_FALSE(observation->isValid());
    }
    // And when the target goes, without the token being kept.
    auto target = std::make_unique<KVOPerson>();
    std::weak_ptr<JXKVOObservation> weak = JXKVONotificationCategory::addObservationKeyPath(
            target.get(), "age", 0, [](const JXKVONotification &) {});
    EXPECT_FALSE(weak.expired()); // the target's set owns it
    target.reset();
    EXPECT_TRUE(weak.expired());
}

TEST(NotificationCenter, ObjectsObservingThemselvesReleaseTheirObservations)
{
    KVOPerson person;
    int calls = 0;
    std::weak_ptr<JXKVOObservation> self = center()->addObserver(
            &person, &person, "age", 0, [&](const JXKVONotification &) { ++calls; });
    // Twice in the list: one set holds it twice.
    std::weak_ptr<JXKVOObservation> twice = center()->addObserver(
            nullptr, QObjectList {&person, &person}, "name", 0, [&](const JXKVONotification &) {});
    person.setAge(1);
    EXPECT_EQ(calls, 1);
    JXKVONotificationCategory::stopObservingAllTargets(&person);
    EXPECT_TRUE(self.expired()); // no set keeps a removed observation
    ASSERT_FALSE(twice.expired());
    twice.lock()->remove();
    EXPECT_TRUE(twice.expired());
}

TEST(NotificationCenter, ListTargetsObserveTheElementsPresentAtRegistration)
{
    KVOPerson first, second, later;
    QObjectList people = {&first, &second};
    std::vector<QObject *> changed;
    const auto observation
            = center()->addObserver(nullptr, people, "age", 0, [&](const JXKVONotification &n) {
                  changed.push_back(n.target());
              });
    second.setAge(1);
    first.setAge(1);
    people.append(&later); // the observation keeps the list as it was
    later.setAge(1);
    EXPECT_EQ(changed, (std::vector<QObject *> {&second, &first}));

    // By message: each element is reported as the changed object.
    KVORecorder recorder;
    const auto byMessage = center()->addObserver(&recorder, QObjectList {&first, &second}, "name",
                                                 "observeValue", {}, 0);
    second.setName(QStringLiteral("s"));
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.calls()[0].object, &second);
    // A list has no identity: its observations are matched through the observer.
    center()->removeObserver(&recorder, &second);
    EXPECT_TRUE(byMessage->isValid());
    JXKVONotificationCategory::stopObservingAllTargets(&recorder);
    EXPECT_FALSE(byMessage->isValid());

    // An element's destruction ends the observation.
    auto doomed = std::make_unique<KVOPerson>();
    const auto withDoomed = center()->addObserver(nullptr, QObjectList {&first, doomed.get()},
                                                  "age", 0, [](const JXKVONotification &) {});
    doomed.reset();
    EXPECT_FALSE(withDoomed->isValid());
    observation->remove();
}

TEST(NotificationCenter, Bit31IsAcceptedAndInitialDeliversAtRegistration)
{
    KVOPerson person;
    person.setAge(3);
    std::vector<QVariant> values;
    // The layer alone rejects bit 31 (see KeyValueObserving); through the center it is
    // accepted, so the center cleared it on the way.
    const auto observation = center()->addObserver(
            nullptr, &person, "age",
            JXKVOOptionNoAutomaticRemoval | QMKeyValueObservingOptionInitial
                    | QMKeyValueObservingOptionNew,
            [&](const JXKVONotification &n) { values.push_back(n.newValue()); });
    EXPECT_EQ(values, (std::vector<QVariant> {3}));
    person.setAge(4);
    EXPECT_EQ(values, (std::vector<QVariant> {3, 4}));
    observation->remove();
}

TEST(NotificationCenter, CallbackMayRemoveItsOwnObservation)
{
    KVOPerson person;
    std::shared_ptr<JXKVOObservation> observation;
    int calls = 0;
    observation = center()->addObserver(nullptr, &person, "age", 0, [&](const JXKVONotification &) {
        ++calls;
        observation->remove();
        EXPECT_FALSE(observation->isValid());
    });
    person.setAge(1);
    person.setAge(2);
    EXPECT_EQ(calls, 1);
    // Removal inside the callback with the token dropped, so the sets release the last
    // reference while the callback runs.
    int dropped = 0;
    JXKVONotificationCategory::addObservationKeyPath(
            &person, "name", 0, [&](const JXKVONotification &n) {
                ++dropped;
                JXKVONotificationCategory::removeAllObservers(n.target());
            });
    person.setName(QStringLiteral("a"));
    person.setName(QStringLiteral("b"));
    EXPECT_EQ(dropped, 1);
}

TEST(NotificationCenter, ShortFormsForwardWithTheReceiverInItsPlace)
{
    using namespace JXKVONotificationCategory;
    struct Row
    {
        const char *name;
        std::function<std::shared_ptr<JXKVOObservation>(KVOPerson *, KVORecorder *)> add;
        std::function<void(KVOPerson *, KVORecorder *)> remove;
    };
    const std::vector<Row> rows = {
            {"addObserver / removeObserver",
             [](KVOPerson *p, KVORecorder *r) {
                 return addObserver(p, r, "age", "observeValue", QVariant(), 0);
             },
             [](KVOPerson *p, KVORecorder *r) {
                 removeObserver(p, r, "age");
             }},
            {"observeTarget / stopObserving",
             [](KVOPerson *p, KVORecorder *r) {
                 return observeTarget(r, p, "age", "observeValue", QVariant(), 0);
             },
             [](KVOPerson *p, KVORecorder *r) {
                 stopObserving(r, p, "age");
             }},
            {"addObserver / removeObserver with selector",
             [](KVOPerson *p, KVORecorder *r) {
                 return addObserver(p, r, "age", "otherValue", QVariant(), 0);
             },
             [](KVOPerson *p, KVORecorder *r) {
                 removeObserver(p, r, "age", "otherValue");
             }},
            {"observeTarget / stopObserving with selector",
             [](KVOPerson *p, KVORecorder *r) {
                 return observeTarget(r, p, "age", "otherValue", QVariant(), 0);
             },
             [](KVOPerson *p, KVORecorder *r) {
                 stopObserving(r, p, "age", "otherValue");
             }},
            {"block addObserver / removeAllObservers",
             [](KVOPerson *p, KVORecorder *r) {
                 return addObserver(p, r, "age", 0, [r](const JXKVONotification &n) {
                     r->observeValue(n.keyPath(), n.target(), n.change(), QVariant());
                 });
             },
             [](KVOPerson *p, KVORecorder *) {
                 removeAllObservers(p);
             }},
            {"block observeTarget / stopObservingAllTargets",
             [](KVOPerson *p, KVORecorder *r) {
                 return observeTarget(r, p, "age", 0, [r](const JXKVONotification &n) {
                     r->observeValue(n.keyPath(), n.target(), n.change(), QVariant());
                 });
             },
             [](KVOPerson *, KVORecorder *r) {
                 stopObservingAllTargets(r);
             }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        KVOPerson person;
        KVORecorder recorder;
        const auto observation = row.add(&person, &recorder);
        person.setAge(1);
        ASSERT_EQ(recorder.count(), 1u);
        EXPECT_EQ(recorder.calls()[0].object, &person);
        // A removal naming the wrong selector leaves it alone.
        removeObserver(&person, &recorder, "age", "noSuchMethod");
        EXPECT_TRUE(observation->isValid());
        row.remove(&person, &recorder);
        EXPECT_FALSE(observation->isValid());
        person.setAge(2);
        EXPECT_EQ(recorder.count(), 1u);
    }
}

} // namespace

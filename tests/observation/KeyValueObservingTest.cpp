// The observation layer under the notification center: change records, options, dotted key
// paths, removal and key-path errors.

#include "KVOTestObjects.h"
#include "support/Failures.h"

#include "observation/QMKeyValueObserving.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using TestSupport::failureOf;

QVariantMap record(std::initializer_list<std::pair<QString, QVariant>> entries)
{
    QVariantMap map;
    map.insert(QMKeyValueChangeKindKey, quint64(QMKeyValueChangeSetting));
    for (const auto &[key, value] : entries)
        map.insert(key, value);
    return map;
}

struct Recording
{
    std::vector<QString> keyPaths;
    std::vector<QObject *> objects;
    std::vector<QVariantMap> changes;

    QMKeyValueChangeHandler handler()
    {
        return [this](const QString &keyPath, QObject *object, const QVariantMap &change) {
            keyPaths.push_back(keyPath);
            objects.push_back(object);
            changes.push_back(change);
        };
    }
};

TEST(KeyValueObserving, OptionsShapeTheChangeRecords)
{
    const QString n = QMKeyValueChangeNewKey;
    const QString o = QMKeyValueChangeOldKey;
    struct Row
    {
        const char *name;
        quint64 options;
        std::vector<QVariantMap> expected; // name goes from "Ann" to "Bo"
    };
    const std::vector<Row> rows = {
            // Neither value asked for: the kind alone.
            {"none", 0, {record({})}},
            {"new", QMKeyValueObservingOptionNew, {record({{n, QStringLiteral("Bo")}})}},
            // The old value is the one read at registration.
            {"old", QMKeyValueObservingOptionOld, {record({{o, QStringLiteral("Ann")}})}},
            {"new and old",
             QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld,
             {record({{n, QStringLiteral("Bo")}, {o, QStringLiteral("Ann")}})}},
            // Initial: one record during registration, with the current value as new and no old.
            {"initial", QMKeyValueObservingOptionInitial, {record({}), record({})}},
            {"initial, new and old",
             QMKeyValueObservingOptionInitial | QMKeyValueObservingOptionNew
                     | QMKeyValueObservingOptionOld,
             {record({{n, QStringLiteral("Ann")}}),
              record({{n, QStringLiteral("Bo")}, {o, QStringLiteral("Ann")}})}},
            // Prior is accepted, and no prior record is ever sent.
            {"prior",
             QMKeyValueObservingOptionPrior | QMKeyValueObservingOptionNew,
             {record({{n, QStringLiteral("Bo")}})}},
            // Bits 4 to 30 pass and mean nothing here.
            {"bit 30",
             (quint64(1) << 30) | QMKeyValueObservingOptionNew,
             {record({{n, QStringLiteral("Bo")}})}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        KVOPerson person;
        person.setName(QStringLiteral("Ann"));
        Recording recording;
        const auto observation = QMKeyValueObserving::observe(&person, QStringLiteral("name"),
                                                              row.options, recording.handler());
        person.setName(QStringLiteral("Bo"));
        EXPECT_EQ(recording.changes, row.expected);
        for (QObject *object : recording.objects)
            EXPECT_EQ(object, &person);
        for (const QString &keyPath : recording.keyPaths)
            EXPECT_EQ(keyPath, QStringLiteral("name"));
    }
}

TEST(KeyValueObserving, OldValueFollowsEachDeliveryAndSignalsWithoutArguments)
{
    KVOPerson person;
    person.setAge(1);
    Recording recording;
    // ageChanged() carries no argument: the value is read from the property.
    const auto observation = QMKeyValueObserving::observe(
            &person, QStringLiteral("age"),
            QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld, recording.handler());
    person.setAge(2);
    person.setAge(3);
    const QString n = QMKeyValueChangeNewKey;
    const QString o = QMKeyValueChangeOldKey;
    EXPECT_EQ(recording.changes,
              (std::vector<QVariantMap> {record({{n, 2}, {o, 1}}), record({{n, 3}, {o, 2}})}));
}

TEST(KeyValueObserving, DottedKeyPathsReattachWhenAnIntermediateObjectChanges)
{
    KVOPerson alice, bob, carol;
    bob.setName(QStringLiteral("Bob"));
    carol.setName(QStringLiteral("Carol"));
    alice.setPartner(&bob);
    Recording recording;
    const auto observation = QMKeyValueObserving::observe(
            &alice, QStringLiteral("partner.name"),
            QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld, recording.handler());
    const QString n = QMKeyValueChangeNewKey;
    const QString o = QMKeyValueChangeOldKey;

    bob.setName(QStringLiteral("Robert"));
    alice.setPartner(&carol);
    bob.setName(QStringLiteral("Rob")); // no longer on the path
    carol.setName(QStringLiteral("Caro"));
    alice.setPartner(nullptr);
    carol.setName(QStringLiteral("C")); // neither

    const std::vector<QVariantMap> expected = {
            record({{n, QStringLiteral("Robert")}, {o, QStringLiteral("Bob")}}),
            record({{n, QStringLiteral("Carol")}, {o, QStringLiteral("Robert")}}),
            record({{n, QStringLiteral("Caro")}, {o, QStringLiteral("Carol")}}),
            record({{n, QVariant()}, {o, QStringLiteral("Caro")}}),
    };
    EXPECT_EQ(recording.changes, expected);
    for (QObject *object : recording.objects)
        EXPECT_EQ(object, &alice); // the observed object, not the intermediate one
    for (const QString &keyPath : recording.keyPaths)
        EXPECT_EQ(keyPath, QStringLiteral("partner.name"));

    // A path that starts detached attaches once the intermediate object arrives.
    KVOPerson dave;
    Recording late;
    const auto lateObservation
            = QMKeyValueObserving::observe(&dave, QStringLiteral("partner.partner.age"),
                                           QMKeyValueObservingOptionNew, late.handler());
    dave.setPartner(&bob);
    bob.setPartner(&carol);
    carol.setAge(40);
    EXPECT_EQ(late.changes,
              (std::vector<QVariantMap> {record({{n, QVariant()}}), record({{n, 0}}),
                                         record({{n, 40}})}));
}

TEST(KeyValueObserving, RemovalStopsDeliveryAndIsFinal)
{
    KVOPerson person;
    Recording recording;
    auto observation = QMKeyValueObserving::observe(
            &person, QStringLiteral("name"), QMKeyValueObservingOptionNew, recording.handler());
    person.setName(QStringLiteral("a"));
    EXPECT_FALSE(observation->isRemoved());
    observation->remove();
    EXPECT_TRUE(observation->isRemoved());
    person.setName(QStringLiteral("b"));
    observation->remove(); // harmless twice
    EXPECT_EQ(recording.changes.size(), 1u);

    // Dropping the last reference removes as well.
    Recording dropped;
    QMKeyValueObserving::observe(&person, QStringLiteral("name"), 0, dropped.handler());
    person.setName(QStringLiteral("c"));
    EXPECT_TRUE(dropped.changes.empty());

    // Removal after the observed object is gone touches nothing of it.
    auto doomed = std::make_unique<KVOPerson>();
    auto orphan = QMKeyValueObserving::observe(doomed.get(), QStringLiteral("partner.name"), 0,
                                               dropped.handler());
    doomed.reset();
    orphan->remove();
    EXPECT_TRUE(orphan->isRemoved());
}

TEST(KeyValueObserving, HandlerMayRemoveItsOwnObservation)
{
    KVOPerson person;
    std::shared_ptr<QMKeyValueObservation> observation;
    int calls = 0;
    observation = QMKeyValueObserving::observe(
            &person, QStringLiteral("age"), 0,
            [&](const QString &, QObject *, const QVariantMap &) {
                ++calls;
                observation->remove(); // same thread: must not wait for itself
                // A change made after the removal, inside the handler, is not delivered.
                person.setAge(person.age() + 10);
            });
    person.setAge(1);
    person.setAge(2);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(person.age(), 2);
}

TEST(KeyValueObserving, BadArgumentsAndKeyPathsAreProgrammingErrors)
{
    struct Row
    {
        const char *keyPath;
        quint64 options;
        const char *message;
    };
    const std::vector<Row> rows = {
            {"nickname", 0, "KVOPerson has no property \"nickname\" (key path \"nickname\")"},
            // Without NOTIFY nothing could ever be delivered.
            {"species", 0,
             "Property \"species\" of KVOPerson has no NOTIFY signal (key path \"species\")"},
            {"shoeSize", 0,
             "Property \"shoeSize\" of KVOPerson has no NOTIFY signal (key path \"shoeSize\")"},
            // Only QObject pointers can be followed.
            {"name.length", 0,
             "Property \"name\" of KVOPerson is not a QObject pointer, so key path \"name.length\" "
             "cannot go on"},
            // A null intermediate object is checked through the property's declared type.
            {"partner.nickname", 0,
             "KVOPerson has no property \"nickname\" (key path \"partner.nickname\")"},
            {"partner.species", 0,
             "Property \"species\" of KVOPerson has no NOTIFY signal (key path "
             "\"partner.species\")"},
            {"partner.", 0, "Key path \"partner.\" has an empty component"},
            {"", 0, "Key path \"\" has an empty component"},
            // Bit 31 belongs to the notification center and must never get here.
            {"name", quint64(1) << 31,
             "Key-value observation options use bits above 30: 0x80000000"},
            {"name", quint64(1) << 40,
             "Key-value observation options use bits above 30: 0x10000000000"},
    };
    KVOPerson person;
    const QMKeyValueChangeHandler ignore = [](const QString &, QObject *, const QVariantMap &) {
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.keyPath);
        EXPECT_EQ(failureOf([&] {
                      QMKeyValueObserving::observe(&person, QString::fromUtf8(row.keyPath),
                                                   row.options, ignore);
                  }),
                  QString::fromUtf8(row.message));
    }
    EXPECT_EQ(failureOf([&] {
                  QMKeyValueObserving::observe(nullptr, QStringLiteral("name"), 0, ignore);
              }),
              QStringLiteral("Invalid parameter not satisfying: object"));
    EXPECT_EQ(failureOf([&] {
                  QMKeyValueObserving::observe(&person, QStringLiteral("name"), 0, {});
              }),
              QStringLiteral("Invalid parameter not satisfying: handler"));
    // QObject's own property works like any other.
    Recording recording;
    const auto observation
            = QMKeyValueObserving::observe(&person, QStringLiteral("objectName"),
                                           QMKeyValueObservingOptionNew, recording.handler());
    person.setObjectName(QStringLiteral("p"));
    ASSERT_EQ(recording.changes.size(), 1u);
    EXPECT_EQ(recording.changes[0].value(QMKeyValueChangeNewKey), QStringLiteral("p"));
}

} // namespace

// The observation layer under the notification center: change records, options, dotted key
// paths, removal and key-path errors.

#include "ObservationTestSupport.h"

namespace {

// Observes `keyPath` of `object` and records the changes, checking that each names the observed
// object (never an intermediate one) and the key path.
struct Recording
{
    QObject *object;
    QString keyPath;
    std::vector<QVariantMap> changes;

    std::shared_ptr<QMKeyValueObservation> observe(quint64 options)
    {
        return QMKeyValueObserving::observe(object, keyPath, options,
                                            [this](const QString &path, QObject *o, const auto &c) {
                                                EXPECT_EQ(path, keyPath);
                                                EXPECT_EQ(o, object);
                                                changes.push_back(c);
                                            });
    }
};

TEST(KeyValueObserving, OptionsShapeTheChangeRecords)
{
    const QString ann = u"Ann"_s, bo = u"Bo"_s, cy = u"Cy"_s;
    // The name goes from Ann to Bo, then to Cy.
    const std::tuple<const char *, quint64, std::vector<QVariantMap>> rows[] = {
            {"none: the kind alone", 0, {setting(), setting()}},
            {"new",
             QMKeyValueObservingOptionNew,
             {setting({{NewKey, bo}}), setting({{NewKey, cy}})}},
            // The old value is the one read at registration, then at each delivery.
            {"old",
             QMKeyValueObservingOptionOld,
             {setting({{OldKey, ann}}), setting({{OldKey, bo}})}},
            // Initial: one record during registration, with the current value as new and no old.
            {"initial, new and old",
             QMKeyValueObservingOptionInitial | NewAndOld,
             {setting({{NewKey, ann}}), setting({{NewKey, bo}, {OldKey, ann}}),
              setting({{NewKey, cy}, {OldKey, bo}})}},
            // Prior is accepted and never sent; bits 4 to 30 pass and mean nothing.
            {"prior and bit 30",
             QMKeyValueObservingOptionPrior | (1u << 30) | QMKeyValueObservingOptionNew,
             {setting({{NewKey, bo}}), setting({{NewKey, cy}})}},
    };
    for (const auto &[name, options, expected] : rows) {
        SCOPED_TRACE(name);
        KVOPerson person;
        person.setName(ann);
        Recording recording {&person, u"name"_s, {}};
        const auto observation = recording.observe(options);
        person.setName(bo);
        person.setName(cy);
        EXPECT_EQ(recording.changes, expected);
    }
}

// Properties the layer reads in different ways: one of type QVariant (the value is the variant
// itself), a MEMBER one, and ones a subclass declares, whose indexes count the base class's.
class KVOBadgeHolder : public KVOPerson
{
    Q_OBJECT
    Q_PROPERTY(QVariant badge MEMBER m_badge NOTIFY badgeChanged)
    Q_PROPERTY(QStringList tags READ tags WRITE setTags NOTIFY tagsChanged)

public:
    QStringList tags() const { return m_tags; }
    void setTags(const QStringList &tags)
    {
        m_tags = tags;
        Q_EMIT tagsChanged();
    }

Q_SIGNALS:
    void badgeChanged();
    void tagsChanged();

private:
    QVariant m_badge;
    QStringList m_tags;
};

TEST(KeyValueObserving, RecordsCarryTheValuesOfEveryKindOfProperty)
{
    KVOBadgeHolder holder;
    Recording badge {&holder, u"badge"_s, {}};
    Recording tags {&holder, u"tags"_s, {}};
    Recording name {&holder, u"name"_s, {}};
    const auto observations
            = {badge.observe(NewAndOld), tags.observe(NewAndOld), name.observe(NewAndOld)};
    holder.setProperty("badge", 42);
    holder.setProperty("badge", u"gold"_s);
    holder.setProperty("badge", QVariant());
    holder.setTags({u"a"_s, u"b"_s});
    holder.setName(u"Ann"_s);
    EXPECT_EQ(badge.changes,
              (std::vector<QVariantMap> {setting({{NewKey, 42}, {OldKey, QVariant()}}),
                                         setting({{NewKey, u"gold"_s}, {OldKey, 42}}),
                                         setting({{NewKey, QVariant()}, {OldKey, u"gold"_s}})}));
    ASSERT_EQ(badge.changes.size(), 3u);
    EXPECT_EQ(badge.changes[0].value(NewKey).metaType(), QMetaType::fromType<int>());
    EXPECT_EQ(tags.changes,
              (std::vector<QVariantMap> {
                      setting({{NewKey, QStringList {u"a"_s, u"b"_s}}, {OldKey, QStringList()}})}));
    EXPECT_EQ(name.changes,
              (std::vector<QVariantMap> {setting({{NewKey, u"Ann"_s}, {OldKey, QString()}})}));
}

TEST(KeyValueObserving, DottedKeyPathsReattachWhenAnIntermediateObjectChanges)
{
    KVOPerson alice, bob, carol;
    bob.setName(u"Bob"_s);
    carol.setName(u"Carol"_s);
    alice.setPartner(&bob);
    Recording recording {&alice, u"partner.name"_s, {}};
    const auto observation = recording.observe(NewAndOld);
    bob.setName(u"Rob"_s);
    alice.setPartner(&carol);
    bob.setName(u"Robert"_s); // no longer on the path
    carol.setName(u"Caro"_s);
    alice.setPartner(nullptr);
    carol.setName(u"C"_s); // neither
    const QVariant names[] = {u"Bob"_s, u"Rob"_s, u"Carol"_s, u"Caro"_s, QVariant()};
    std::vector<QVariantMap> expected;
    for (int i = 1; i < 5; ++i)
        expected.push_back(setting({{NewKey, names[i]}, {OldKey, names[i - 1]}}));
    EXPECT_EQ(recording.changes, expected);

    // A path that starts detached attaches once the intermediate objects arrive; a signal
    // without arguments is read through the property.
    KVOPerson dave;
    Recording late {&dave, u"partner.partner.age"_s, {}};
    const auto lateObservation = late.observe(QMKeyValueObservingOptionNew);
    dave.setPartner(&bob);
    bob.setPartner(&carol);
    carol.setAge(40);
    EXPECT_EQ(late.changes,
              (std::vector<QVariantMap> {setting({{NewKey, QVariant()}}), setting({{NewKey, 0}}),
                                         setting({{NewKey, 40}})}));
}

// Observations of one change share the value read and the record made for it; what each of them
// receives must still be its own: other key paths of the same signal, other old values, a
// handler that changes the property again, and a handler that keeps its record.
TEST(KeyValueObserving, ObservationsOfOneChangeEachGetTheirOwnRecord)
{
    KVOPerson alice, bob, carol;
    bob.setName(u"Bob"_s);
    carol.setName(u"Carol"_s);
    alice.setPartner(&bob);
    QStringList seen;
    const auto text = [](const QVariant &value) {
        if (auto *person = value.value<KVOPerson *>())
            return person->name();
        return value.isValid() ? value.toString() : u"-"_s;
    };
    const auto observe = [&](const QString &keyPath, quint64 options, const QString &label) {
        return QMKeyValueObserving::observe(&alice, keyPath, options,
                                            [&, label](const QString &, QObject *, const auto &c) {
                                                seen.append(label + u' ' + text(c.value(OldKey))
                                                            + u" -> "_s + text(c.value(NewKey)));
                                            });
    };
    // Two key paths that one signal serves, in turn, with one observation of each registered
    // after the first change (so it has an old value of its own reading).
    const auto partner = observe(u"partner"_s, NewAndOld, u"partner"_s);
    const auto partnerName = observe(u"partner.name"_s, NewAndOld, u"partner.name"_s);
    const auto newOnly = observe(u"partner"_s, QMKeyValueObservingOptionNew, u"new only"_s);
    alice.setPartner(&carol);
    const auto late = observe(u"partner.name"_s, NewAndOld, u"late"_s);
    alice.setPartner(&bob);
    EXPECT_EQ(seen,
              (QStringList {u"partner Bob -> Carol"_s, u"partner.name Bob -> Carol"_s,
                            u"new only - -> Carol"_s, u"partner Carol -> Bob"_s,
                            u"partner.name Carol -> Bob"_s, u"new only - -> Bob"_s,
                            u"late Carol -> Bob"_s}));

    // Two key paths of one signal whose old values agree (both absent) and new ones differ.
    seen.clear();
    KVOPerson dora;
    bob.setPartner(&carol);
    const auto first = QMKeyValueObserving::observe(
            &dora, u"partner.name"_s, NewAndOld,
            [&](const QString &, QObject *, const auto &c) { seen.append(text(c.value(NewKey))); });
    const auto second = QMKeyValueObserving::observe(
            &dora, u"partner.partner.name"_s, NewAndOld,
            [&](const QString &, QObject *, const auto &c) { seen.append(text(c.value(NewKey))); });
    dora.setPartner(&bob);
    EXPECT_EQ(seen, (QStringList {u"Bob"_s, u"Carol"_s}));

    // A handler that changes the property again: the observations after it in the same
    // emission read the newer value, as the nested emission's observations did.
    seen.clear();
    KVOPerson person;
    person.setName(u"Ann"_s);
    std::vector<std::shared_ptr<QMKeyValueObservation>> observations;
    std::vector<QVariantMap> kept;
    for (int k = 0; k < 3; ++k) {
        observations.push_back(QMKeyValueObserving::observe(
                &person, u"name"_s, NewAndOld,
                [&, k](const QString &, QObject *, const QVariantMap &c) {
                    seen.append(u"%1 %2 -> %3"_s.arg(k).arg(c.value(OldKey).toString(),
                                                            c.value(NewKey).toString()));
                    if (k == 0)
                        kept.push_back(c); // a record kept past its delivery
                    if (k == 1 && c.value(NewKey) == u"Bo"_s)
                        person.setName(u"Cy"_s);
                }));
    }
    person.setName(u"Bo"_s);
    person.setName(u"Dee"_s);
    EXPECT_EQ(seen,
              (QStringList {u"0 Ann -> Bo"_s, u"1 Ann -> Bo"_s, u"0 Bo -> Cy"_s, u"1 Bo -> Cy"_s,
                            u"2 Ann -> Cy"_s, u"2 Cy -> Cy"_s, u"0 Cy -> Dee"_s, u"1 Cy -> Dee"_s,
                            u"2 Cy -> Dee"_s}));
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0], setting({{NewKey, u"Bo"_s}, {OldKey, u"Ann"_s}}));
    EXPECT_EQ(kept[1], setting({{NewKey, u"Cy"_s}, {OldKey, u"Bo"_s}}));
    EXPECT_EQ(kept[2], setting({{NewKey, u"Dee"_s}, {OldKey, u"Cy"_s}}));
}

TEST(KeyValueObserving, RemovalStopsDeliveryAndIsFinal)
{
    KVOPerson person;
    Recording recording {&person, u"objectName"_s, {}}; // QObject's own property
    auto observation = recording.observe(0);
    person.setObjectName(u"a"_s);
    observation->remove();
    person.setObjectName(u"b"_s);
    observation->remove(); // harmless twice
    EXPECT_TRUE(observation->isRemoved());
    recording.observe(0); // dropping the last reference removes as well
    person.setObjectName(u"c"_s);
    EXPECT_EQ(recording.changes.size(), 1u);

    // Observations of one signal share a connection: one that a handler earlier in the same
    // emission removes is not delivered that emission, and the others still are.
    Recording second {&person, u"objectName"_s, {}};
    Recording third {&person, u"objectName"_s, {}};
    std::shared_ptr<QMKeyValueObservation> secondObservation;
    auto first = QMKeyValueObserving::observe(
            &person, u"objectName"_s, 0,
            [&](const QString &, QObject *, const auto &) { secondObservation->remove(); });
    secondObservation = second.observe(0);
    const auto thirdObservation = third.observe(0);
    person.setObjectName(u"d"_s);
    EXPECT_EQ(second.changes.size(), 0u);
    EXPECT_EQ(third.changes.size(), 1u);

    // Removal after the observed object is gone touches nothing of it. An object made later at
    // the same address is observed afresh, though the first observation was never removed.
    alignas(KVOPerson) unsigned char storage[sizeof(KVOPerson)];
    auto *doomed = new (storage) KVOPerson;
    observation = Recording {doomed, u"partner.name"_s, {}}.observe(0);
    Recording lingering {doomed, u"name"_s, {}};
    const auto lingeringObservation = lingering.observe(0);
    doomed->~KVOPerson();
    observation->remove();
    EXPECT_TRUE(observation->isRemoved());
    auto *reborn = new (storage) KVOPerson;
    Recording fresh {reborn, u"name"_s, {}};
    const auto freshObservation = fresh.observe(0);
    reborn->setName(u"again"_s);
    EXPECT_EQ(fresh.changes.size(), 1u);
    EXPECT_EQ(lingering.changes.size(), 0u);
    reborn->~KVOPerson();
}

TEST(KeyValueObserving, BadArgumentsAndKeyPathsAreProgrammingErrors)
{
    const std::tuple<const char *, quint64, const char *> rows[] = {
            {"nickname", 0, "KVOPerson has no property \"nickname\" (key path \"nickname\")"},
            // Without NOTIFY nothing could ever be delivered.
            {"species", 0,
             "Property \"species\" of KVOPerson has no NOTIFY signal (key path \"species\")"},
            {"name.length", 0,
             "Property \"name\" of KVOPerson is not a QObject pointer, so key path \"name.length\" "
             "cannot go on"},
            // A null intermediate object is checked through the property's declared type.
            {"partner.species", 0,
             "Property \"species\" of KVOPerson has no NOTIFY signal (key path "
             "\"partner.species\")"},
            {"partner.", 0, "Key path \"partner.\" has an empty component"},
            // Bit 31 belongs to the notification center and must never get here.
            {"name", quint64(1) << 31,
             "Key-value observation options use bits above 30: 0x80000000"},
            {"name", quint64(1) << 40,
             "Key-value observation options use bits above 30: 0x10000000000"},
    };
    KVOPerson person;
    const QMKeyValueChangeHandler ignore = [](const QString &, QObject *, const QVariantMap &) {
    };
    for (const auto &[keyPath, options, message] : rows) {
        SCOPED_TRACE(keyPath);
        EXPECT_EQ(failureOf([&] {
                      QMKeyValueObserving::observe(&person, QString::fromUtf8(keyPath), options,
                                                   ignore);
                  }),
                  QString::fromUtf8(message));
    }
    EXPECT_EQ(failureOf([&] { QMKeyValueObserving::observe(nullptr, u"name"_s, 0, ignore); }),
              u"Invalid parameter not satisfying: object"_s);
    EXPECT_EQ(failureOf([&] { QMKeyValueObserving::observe(&person, u"name"_s, 0, {}); }),
              u"Invalid parameter not satisfying: handler"_s);
}

} // namespace

#include "KeyValueObservingTest.moc"

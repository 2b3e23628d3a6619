#include "PersistenceTestSupport.h"

#include "QMFoundation/persistence/QMManagedObjectContext_p.h"
#include "QMFoundation/persistence/QMPersistentStoreAccess_p.h"
#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include "support/Failures.h"
#include "support/PostgreSQL.h"
#include "support/Unprivileged.h"
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <limits>
#include <thread>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

using ObjectList = QList<std::shared_ptr<QMManagedObject>>;

QMFetchRequest request(const QString &format = QString(), const QVariantList &arguments = {},
                       const QList<QMFetchSortDescriptor> &sort = {}, qsizetype limit = 0)
{
    QMFetchRequest r(u"Person"_s);
    if (!format.isNull())
        r.setPredicate(QMPredicate::predicateWithFormat(format, arguments));
    r.setSortDescriptors(sort);
    r.setFetchLimit(limit);
    return r;
}

QStringList names(const ObjectList &objects)
{
    QStringList list;
    for (const auto &o : objects)
        list.append(o->value(u"name"_s).toString());
    return list;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Runs SQL on a store file through a connection of its own, as another program would.
void execSQL(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
    char *message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    EXPECT_EQ(rc, SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
}

class StoreFixture
{
public:
    StoreFixture(const QString &storeType)
        : type(storeType)
    {
        QMRegisterManagedObjectClass(&Person::staticMetaObject);
        // A schema of its own for each fixture, kept across reopen().
        if (type == QMPostgreSQLStoreType)
            serverStore = TestSupport::postgreSQLStoreURL();
    }

    QUrl url() const
    {
        if (type == QMInMemoryStoreType)
            return QUrl();
        if (type == QMPostgreSQLStoreType)
            return serverStore;
        return QUrl::fromLocalFile(
                dir.filePath(type == QMSQLiteStoreType ? u"people.sqlite"_s : u"people.xml"_s));
    }

    /// Another coordinator on the store, as a second process would have; the same one for the
    /// in-memory store, whose contexts then play the part.
    std::shared_ptr<QMPersistentStoreCoordinator> secondCoordinator() const
    {
        if (type == QMInMemoryStoreType)
            return coordinator;
        auto second = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
        QMError error;
        EXPECT_TRUE(second->addPersistentStoreWithType(type, QString(), url(), {}, &error))
                << error.localizedDescription().toStdString();
        return second;
    }

    /// The object of that name in `c`, or nullptr.
    static std::shared_ptr<Person> named(const QString &name,
                                         const std::shared_ptr<QMManagedObjectContext> &c)
    {
        return QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, name, c);
    }

    /// Three conflicting changes of this context: carl, dora and emil (and whatever else was
    /// inserted) are saved; then another writer changes carl's age to 31, deletes dora and
    /// changes emil's age to 52, while this context changes carl's score to 0.5 and dora's age
    /// to 41 and deletes emil.
    struct Conflicts
    {
        std::shared_ptr<QMManagedObjectContext> other;
        std::shared_ptr<Person> carl, dora, emil;
    };
    Conflicts conflicts()
    {
        insert(u"carl"_s, 30);
        insert(u"dora"_s, 40);
        insert(u"emil"_s, 50);
        EXPECT_TRUE(context->save());
        Conflicts c {
                QMManagedObjectContext::contextWithPersistentStoreCoordinator(secondCoordinator()),
                named(u"carl"_s, context), named(u"dora"_s, context), named(u"emil"_s, context)};
        named(u"carl"_s, c.other)->setAge(31);
        named(u"dora"_s, c.other)->destroy();
        named(u"emil"_s, c.other)->setAge(52);
        EXPECT_TRUE(c.other->save());
        c.carl->setScore(0.5);
        c.dora->setAge(41);
        c.emil->destroy();
        return c;
    }

    /// A new coordinator on the store (the same one for in-memory stores), and a context on it.
    void reopen()
    {
        context.reset();
        if (type != QMInMemoryStoreType || !coordinator) {
            coordinator.reset();
            coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
            QMError error;
            ASSERT_TRUE(coordinator->addPersistentStoreWithType(type, QString(), url(), {}, &error))
                    << error.localizedDescription().toStdString();
        }
        context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    }

    std::shared_ptr<Person> insert(const QString &name, qint64 age, const QVariant &score = {})
    {
        auto p = QMManagedObject::createWithManagedObjectContext<Person>(context);
        p->setName(name);
        p->setAge(age);
        p->setValue(u"score"_s, score);
        return p;
    }

    QStringList fetchNames(const QMFetchRequest &r, QMManagedObjectContext *in = nullptr)
    {
        QMError error;
        const ObjectList objects = (in ? in : context.get())->executeFetchRequest(r, &error);
        EXPECT_TRUE(error.isNull()) << error.localizedDescription().toStdString();
        return names(objects);
    }

    QString type;
    QTemporaryDir dir;
    QUrl serverStore;
    std::shared_ptr<const QMManagedObjectModel> model
            = QMManagedObjectModel::modelWithJSON(peopleModelJSON());
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;
    std::shared_ptr<QMManagedObjectContext> context;
};

class StoreTest : public ::testing::TestWithParam<QString>, public StoreFixture
{
public:
    StoreTest()
        : StoreFixture(GetParam())
    { }
    void SetUp() override
    {
        if (type == QMPostgreSQLStoreType && url().isEmpty())
            GTEST_SKIP() << "needs the test PostgreSQL server: run under ctest";
        reopen();
    }
};

} // namespace

TEST_P(StoreTest, SavedObjectsComeBackExactlyAfterReopening)
{
    const QDateTime born = QDateTime::fromMSecsSinceEpoch(-86400123, Qt::UTC);
    const QByteArray photo("\0\x01\xff binary", 10);
    insert(u"carl"_s, 30, 0.1);
    insert(u"Alice"_s, 25, -2.5)->setBorn(born);
    insert(u"\u00c6r\u00f8"_s, 40)->setPhoto(photo);
    insert(u"\U0001F600 smile"_s, 25, 7.0);
    // U+FB01 sorts before U+1F600 by code point, after it by UTF-16 code unit.
    auto ligature = insert(u"\uFB01ne"_s, 50, 1e300);
    ligature->setActive(false);
    // Until the save, the identifier is temporary: it finds the object in this context only.
    const QMManagedObjectID temporary = ligature->objectID();
    EXPECT_TRUE(temporary.isTemporaryID());
    EXPECT_FALSE(temporary.isNull());
    EXPECT_EQ(context->existingObjectWithID(temporary), ligature);
    EXPECT_EQ(QMManagedObjectID::fromURIRepresentation(temporary.URIRepresentation()), temporary);
    EXPECT_TRUE(coordinator->managedObjectIDForURIRepresentation(temporary.URIRepresentation())
                        .isNull());
    EXPECT_EQ(context->countForFetchRequest(request()), 5);
    QMError error;
    ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
    EXPECT_FALSE(context->hasChanges());
    // The save gave it its permanent identifier, under which the context now holds it.
    EXPECT_FALSE(ligature->objectID().isTemporaryID());
    EXPECT_GT(ligature->objectID().number(), 0);
    EXPECT_EQ(context->existingObjectWithID(ligature->objectID()), ligature);
    EXPECT_FALSE(context->objectRegisteredForID(temporary));
    const QUrl uri = ligature->objectID().URIRepresentation();

    QHash<QString, QVariantMap> saved;
    for (const auto &o : context->executeFetchRequest(request()))
        saved.insert(o->objectID().URIRepresentation().toString(), o->values());
    reopen();

    // Every value of every type reads back as it was saved, under the same identifier.
    const ObjectList all = context->executeFetchRequest(request());
    ASSERT_EQ(all.size(), 5);
    for (const auto &o : all) {
        SCOPED_TRACE(o->value(u"name"_s).toString().toStdString());
        EXPECT_EQ(o->values(), saved.value(o->objectID().URIRepresentation().toString()));
        EXPECT_TRUE(std::dynamic_pointer_cast<Person>(o));
    }
    const QMManagedObjectID id = coordinator->managedObjectIDForURIRepresentation(uri);
    ASSERT_FALSE(id.isNull());
    EXPECT_EQ(context->existingObjectWithID(id)->value(u"name"_s), QVariant(u"\uFB01ne"_s));

    // Sorts and limits: code point order, absent values first ascending, ties by insertion.
    struct Row
    {
        const char *label;
        QList<QMFetchSortDescriptor> sort;
        qsizetype limit;
        QStringList expected;
    };
    const Row rows[] = {
            {"name ascending",
             {{u"name"_s, true}},
             0,
             {u"Alice"_s, u"carl"_s, u"\u00c6r\u00f8"_s, u"\uFB01ne"_s, u"\U0001F600 smile"_s}},
            {"score descending, absent last",
             {{u"score"_s, false}},
             0,
             {u"\uFB01ne"_s, u"\U0001F600 smile"_s, u"carl"_s, u"Alice"_s, u"\u00c6r\u00f8"_s}},
            {"age with ties in insertion order, limited",
             {{u"age"_s, true}},
             3,
             {u"Alice"_s, u"\U0001F600 smile"_s, u"carl"_s}},
            {"two keys",
             {{u"active"_s, true}, {u"age"_s, false}},
             2,
             {u"\uFB01ne"_s, u"\u00c6r\u00f8"_s}},
            {"no sort, limited", {}, 2, {u"carl"_s, u"Alice"_s}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(fetchNames(request(QString(), {}, row.sort, row.limit)), row.expected);
    }
    EXPECT_EQ(context->countForFetchRequest(request(QString(), {}, {}, 3)), 3);
    EXPECT_TRUE(context->executeFetchRequest(request(QString(), {}, {{u"height"_s, true}}), &error)
                        .isEmpty());
    EXPECT_EQ(error.code(), QMPredicateInvalidKeyError);

    // Updates and deletions reach the store; a deleted object is gone for every context.
    auto carl = QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"carl"_s, context);
    ASSERT_TRUE(carl);
    carl->setAge(31);
    const QMManagedObjectID alice
            = QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"Alice"_s, context)
                      ->objectID();
    context->existingObjectWithID(alice)->destroy();
    ASSERT_TRUE(context->save(&error));
    reopen();
    EXPECT_EQ(QMManagedObject::countAll<Person>(context), 4);
    EXPECT_EQ(QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"carl"_s, context)->age(),
              31);
    EXPECT_FALSE(context->existingObjectWithID(alice, &error));
    EXPECT_EQ(error.code(), QMManagedObjectReferentialIntegrityError);
}

TEST_P(StoreTest, ASaveOfSeveralEntitiesGivesEveryNewObjectItsOwnIdentifier)
{
    // New objects of two entities, inserted in turn, saved with an update and a deletion: each
    // object ends under its own permanent identifier, in this context and in the store.
    auto changedLater = insert(u"changed"_s, 1);
    auto deletedLater = insert(u"deleted"_s, 2);
    ASSERT_TRUE(context->save());
    ObjectList made;
    QList<QMManagedObjectID> temporaries;
    for (int i = 0; i < 40; ++i) {
        made.append(insert(u"person %1"_s.arg(i), i));
        auto note = context->insertNewObjectForEntityForName(u"Note"_s);
        note->setValue(u"text"_s, u"note %1"_s.arg(i));
        made.append(note);
    }
    for (const auto &o : std::as_const(made))
        temporaries.append(o->objectID());
    changedLater->setAge(3);
    deletedLater->destroy();
    QMError error;
    ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();

    const auto other = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    QSet<QMManagedObjectID> seen;
    for (qsizetype i = 0; i < made.size(); ++i) {
        const auto &o = made.at(i);
        const QMManagedObjectID id = o->objectID();
        SCOPED_TRACE(o->values()
                             .value(u"name"_s, o->values().value(u"text"_s))
                             .toString()
                             .toStdString());
        EXPECT_FALSE(id.isTemporaryID());
        EXPECT_FALSE(seen.contains(id));
        seen.insert(id);
        EXPECT_EQ(context->existingObjectWithID(id), o);
        EXPECT_FALSE(context->objectRegisteredForID(temporaries.at(i)));
        const auto read = other->existingObjectWithID(id);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->entity()->name(), o->entity()->name());
        EXPECT_EQ(read->values(), o->values());
    }
    EXPECT_EQ(other->existingObjectWithID(changedLater->objectID())->value(u"age"_s),
              QVariant(qint64(3)));
    EXPECT_EQ(other->countForFetchRequest(request()), 41);
    EXPECT_EQ(context->registeredObjects().size(), 81);
}

TEST_P(StoreTest, EmptyAndExtremeValuesStayApartFromAbsentOnes)
{
    // Empty texts and bytes are values, not absence; a lone surrogate, which UTF-8 cannot hold,
    // becomes U+FFFD on the way in, in every store alike.
    auto empty = insert(QString(u""_s), std::numeric_limits<qint64>::max(), 1e-300);
    empty->setPhoto(QByteArray());
    const QChar lone[] = {u'x', QChar(0xD800), u'y'};
    auto broken = insert(QString(lone, 3), std::numeric_limits<qint64>::min(), -0.5);
    broken->setValue(u"active"_s, QVariant());
    EXPECT_EQ(broken->name(), u"x\uFFFDy"_s);
    // Characters that XML text cannot hold, or that its readers change; U+FFFE and U+FFFF,
    // which SQLite reads back as U+FFFD, become U+FFFD on the way in.
    QString awkward = QString::fromUtf16(u"\0\x01\x1b \r\r\n\t<&>]]> \uFFFD\uFFFD", 17);
    auto odd = insert(QString::fromUtf16(u"\0\x01\x1b \r\r\n\t<&>]]> \uFFFF\uFFFE", 17), 0);
    EXPECT_EQ(odd->name(), awkward);
    QMError error;
    if (type == QMPostgreSQLStoreType) {
        // A PostgreSQL text cannot hold U+0000: the whole save is refused, saying where, and
        // nothing of it is written (the save below would otherwise leave six objects).
        EXPECT_FALSE(context->save(&error));
        EXPECT_EQ(error.code(), QMPersistentStoreSaveError);
        EXPECT_TRUE(
                error.localizedDescription().contains(u"attribute name of an object of Person"_s))
                << error.localizedDescription().toStdString();
        awkward.remove(0, 1);
        odd->setName(awkward);
    }
    ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
    reopen();

    ObjectList all = context->executeFetchRequest(request({}, {}, {{u"age"_s, true}}));
    ASSERT_EQ(all.size(), 3);
    EXPECT_EQ(all.takeAt(1)->value(u"name"_s), QVariant(awkward));
    EXPECT_EQ(all[0]->value(u"name"_s), QVariant(u"x\uFFFDy"_s));
    EXPECT_EQ(all[0]->value(u"age"_s), QVariant(std::numeric_limits<qint64>::min()));
    EXPECT_FALSE(all[0]->value(u"active"_s).isValid());
    EXPECT_FALSE(all[0]->value(u"photo"_s).isValid());
    const QVariant name = all[1]->value(u"name"_s);
    EXPECT_EQ(name.typeId(), QMetaType::QString);
    EXPECT_TRUE(name.toString().isEmpty());
    const QVariant photo = all[1]->value(u"photo"_s);
    EXPECT_EQ(photo.typeId(), QMetaType::QByteArray);
    EXPECT_TRUE(photo.toByteArray().isEmpty());
    EXPECT_EQ(all[1]->value(u"age"_s), QVariant(std::numeric_limits<qint64>::max()));
    EXPECT_EQ(all[1]->value(u"score"_s), QVariant(1e-300));
    EXPECT_EQ(context->countForFetchRequest(request(u"name = %@"_s, {QString(u""_s)})), 1);

    // Numbers come back to the last bit, at both ends of the range.
    using limits = std::numeric_limits<double>;
    const QList<double> scores {-limits::max(), limits::denorm_min(), 0.1 + 0.2, limits::max()};
    for (double score : scores)
        insert(u"number"_s, 1, score);
    ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
    reopen();
    QList<double> read;
    for (const auto &object :
         context->executeFetchRequest(request(u"name = 'number'"_s, {}, {{u"score"_s, true}})))
        read.append(object->value(u"score"_s).toDouble());
    EXPECT_EQ(read, scores);
}

TEST_P(StoreTest, TextsAreKeptByteExactAndPredicatesSeeThemSo)
{
    // U+FEFF is a character like any other inside a text: at its start (where UTF-16 binding
    // would take it for a byte-order mark), alone, after other text, and in a text the XML store
    // writes as Base64.
    const QString bom(QChar(0xFEFF));
    const QString lead = bom + u"lead"_s;
    const QString upperLead = bom + u"LEAD"_s;
    const QString anything = bom + u"*"_s;
    const QStringList names {lead, bom, u"trail"_s + bom, bom + u"\x01ctl"_s, u"plain"_s};
    for (const QString &name : names)
        insert(name, 1);
    struct Row
    {
        QString format;
        QVariantList arguments;
        qsizetype expected;
    };
    const Row rows[] = {
            {u"name CONTAINS %@"_s, {bom}, 4},
            {u"name BEGINSWITH %@"_s, {bom}, 3},
            {u"name ENDSWITH %@"_s, {bom}, 2},
            {u"name = %@"_s, {bom}, 1},
            {u"name = %@"_s, {lead}, 1},
            {u"name = %@"_s, {u"lead"_s}, 0},
            {u"name CONTAINS[c] %@"_s, {upperLead}, 1},
            {u"name LIKE %@"_s, {anything}, 3},
    };
    // The same answers before the save (the context's own evaluation), after it, and from a
    // reopened store.
    for (int pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE(pass);
        for (const Row &row : rows) {
            SCOPED_TRACE(row.format.toStdString());
            EXPECT_EQ(context->countForFetchRequest(request(row.format, row.arguments)),
                      row.expected);
        }
        QStringList read;
        for (const auto &o : context->executeFetchRequest(request()))
            read.append(o->value(u"name"_s).toString());
        read.sort();
        QStringList expected = names;
        expected.sort();
        EXPECT_EQ(read, expected);
        if (pass == 0) {
            QMError error;
            ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
        } else if (pass == 1) {
            reopen();
        }
    }
}

TEST_P(StoreTest, SavesNeverOverwriteWhatAnotherSavedSince)
{
    // "Another" is a second coordinator on the same file, as a second process would be, or for
    // the in-memory store a second context on the same coordinator.
    insert(u"carl"_s, 30);
    insert(u"dora"_s, 40);
    insert(u"emil"_s, 50);
    ASSERT_TRUE(context->save());
    std::shared_ptr<QMPersistentStoreCoordinator> otherCoordinator = coordinator;
    if (type != QMInMemoryStoreType) {
        otherCoordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
        ASSERT_TRUE(otherCoordinator->addPersistentStoreWithType(type, {}, url(), {}));
    }
    auto other = QMManagedObjectContext::contextWithPersistentStoreCoordinator(otherCoordinator);
    const auto mine = [&](const QString &name) {
        return QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, name, context);
    };
    const auto theirs = [&](const QString &name) {
        return QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, name, other);
    };
    auto carl = mine(u"carl"_s);
    auto dora = mine(u"dora"_s);
    auto emil = mine(u"emil"_s);
    ASSERT_TRUE(carl && dora && emil);

    // The other side changes carl and deletes dora; here carl and dora are changed too.
    theirs(u"carl"_s)->setAge(31);
    theirs(u"dora"_s)->destroy();
    ASSERT_TRUE(other->save());
    carl->setScore(0.5);
    dora->setAge(41);
    emil->setAge(51);
    QMError error;
    EXPECT_FALSE(context->save(&error));
    EXPECT_EQ(error.code(), QMManagedObjectMergeError);
    QVariantList conflicts
            = error.userInfo().value(QMPersistentStoreSaveConflictsErrorKey).toList();
    ASSERT_EQ(conflicts.size(), 2);
    EXPECT_EQ(conflicts.at(0).toUrl(), carl->objectID().URIRepresentation());
    EXPECT_EQ(conflicts.at(1).toUrl(), dora->objectID().URIRepresentation());
    // Nothing of the save reached the store, and the context keeps every change.
    EXPECT_EQ(theirs(u"emil"_s)->age(), 50);
    EXPECT_TRUE(carl->isUpdated() && dora->isUpdated() && emil->isUpdated());

    // Refreshed with its changes kept, carl takes the other side's age under this side's score;
    // dora is given up. Then the save goes through and both sides' changes are there.
    context->refreshObject(carl, true);
    EXPECT_EQ(carl->age(), 31);
    EXPECT_EQ(carl->score(), 0.5);
    context->refreshObject(dora, false);
    ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
    other->reset();
    EXPECT_EQ(theirs(u"carl"_s)->age(), 31);
    EXPECT_EQ(theirs(u"carl"_s)->score(), 0.5);
    EXPECT_EQ(theirs(u"emil"_s)->age(), 51);
    EXPECT_FALSE(theirs(u"dora"_s));

    // Deleting what the other side deleted, or inserting beside its inserts, is no conflict.
    auto fred = insert(u"fred"_s, 60);
    ASSERT_TRUE(context->save());
    theirs(u"fred"_s)->destroy();
    auto gina = QMManagedObject::createWithManagedObjectContext<Person>(other);
    gina->setName(u"gina"_s);
    ASSERT_TRUE(other->save(&error)) << error.localizedDescription().toStdString();
    fred->destroy();
    insert(u"hans"_s, 70);
    ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
    // Both sides now read the same objects, under distinct numbers.
    other->reset();
    const QStringList expected {u"carl"_s, u"emil"_s, u"gina"_s, u"hans"_s};
    EXPECT_EQ(fetchNames(request({}, {}, {{u"name"_s}})), expected);
    EXPECT_EQ(fetchNames(request({}, {}, {{u"name"_s}}), other.get()), expected);
    QSet<qint64> numbers;
    for (const auto &o : context->executeFetchRequest(request()))
        numbers.insert(o->objectID().number());
    EXPECT_EQ(numbers.size(), 4);
}

TEST(Contexts, TableKeysKeepRunsTogetherAndSpreadEverythingElse)
{
    // A run of 128 numbers (aligned) fills 128 neighbouring places of a table; numbers far apart,
    // as a damaged file or another writer might choose them, do not pile up in one place.
    constexpr size_t buckets = size_t(1) << 17;
    const size_t seed = 0x5eed;
    using Number = QMObjectRegistry::Number;
    for (qint64 base : {qint64(0), qint64(1) << 40, -(qint64(1) << 20)}) {
        QSet<size_t> run;
        for (qint64 i = 0; i < 128; ++i) {
            const size_t place = qHash(Number(base + i), seed) & (buckets - 1);
            EXPECT_EQ(place >> 7, (qHash(Number(base), seed) & (buckets - 1)) >> 7) << base << i;
            run.insert(place);
        }
        EXPECT_EQ(run.size(), 128) << base;
    }
    QSet<size_t> places;
    QSet<size_t> addressPlaces;
    for (qint64 i = 0; i < 10000; ++i) {
        places.insert(qHash(Number(i << 20), seed) & (buckets - 1));
        const auto address = reinterpret_cast<const QMManagedObject *>(quintptr(i) << 24);
        addressPlaces.insert(qHash(QMObjectAddress(address), seed) & (buckets - 1));
    }
    EXPECT_GT(places.size(), 9000);
    EXPECT_GT(addressPlaces.size(), 9000);
    // Objects 256 bytes apart within 32 KiB take neighbouring places.
    const auto at = [&](quintptr a) {
        return qHash(QMObjectAddress(reinterpret_cast<const QMManagedObject *>(a)), seed);
    };
    EXPECT_EQ(at(0x7f0000010100) >> 7, at(0x7f0000010000) >> 7);
    EXPECT_EQ((at(0x7f0000010100) - at(0x7f0000010000)) & 127, 1U);
    EXPECT_NE(at(0x7f0000010000), at(0x7f0000018000));
}

TEST(Contexts, ChangesAreTrackedPerAttributeBeyondTheSixtyFourth)
{
    QByteArray json = R"({"name": "Wide", "entities": [{"name": "Wide", "attributes": [)";
    for (int i = 0; i < 70; ++i)
        json += (i ? ", " : "") + QByteArray(R"({"name": "a)") + QByteArray::number(i)
                + R"(", "type": "integer"})";
    json += "]}]}";
    QTemporaryDir dir;
    const auto model = QMManagedObjectModel::modelWithJSON(json);
    ASSERT_TRUE(model);
    auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
    ASSERT_TRUE(coordinator->addPersistentStoreWithType(
            QMSQLiteStoreType, {}, QUrl::fromLocalFile(dir.filePath(u"wide.sqlite"_s)), {}));
    auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    auto wide = context->insertNewObjectForEntityForName(u"Wide"_s);
    wide->setValue(u"a65"_s, 1);
    ASSERT_TRUE(context->save());

    wide->setValue(u"a65"_s, 2);
    wide->setValue(u"a3"_s, 7);
    wide->setValue(u"a40"_s, 8);
    EXPECT_TRUE(wide->isUpdated());
    EXPECT_EQ(wide->changedValues(),
              (QVariantMap {{u"a3"_s, QVariant()}, {u"a40"_s, QVariant()}, {u"a65"_s, qint64(1)}}));
    // Back to the saved value: no longer a change.
    wide->setValue(u"a65"_s, 1);
    wide->setValue(u"a40"_s, QVariant());
    EXPECT_EQ(wide->changedValues(), (QVariantMap {{u"a3"_s, QVariant()}}));
    wide->setValue(u"a3"_s, QVariant());
    EXPECT_FALSE(wide->hasChanges());
    EXPECT_FALSE(context->hasChanges());

    wide->setValue(u"a69"_s, 9);
    context->rollback();
    EXPECT_FALSE(wide->value(u"a69"_s).isValid());
    EXPECT_FALSE(context->hasChanges());
    wide->setValue(u"a64"_s, 4);
    ASSERT_TRUE(context->save());
    auto other = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    const auto read = other->existingObjectWithID(wide->objectID());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->value(u"a64"_s), QVariant(qint64(4)));
    EXPECT_EQ(read->value(u"a65"_s), QVariant(qint64(1)));
    EXPECT_FALSE(read->value(u"a69"_s).isValid());
}

TEST_P(StoreTest, ContextsLayTheirChangesOverTheStore)
{
    for (int age : {10, 20, 30, 40})
        insert(u"p%1"_s.arg(age), age);
    ASSERT_TRUE(context->save());
    const ObjectList stored = context->executeFetchRequest(request(QString(), {}, {{u"age"_s}}));
    ASSERT_EQ(stored.size(), 4);

    // Unsaved: p10 is 50 now, p20 is deleted, p25 is new.
    stored[0]->setValue(u"age"_s, 50);
    context->deleteObject(stored[1]);
    auto fresh = insert(u"p25"_s, 25);
    EXPECT_EQ(fetchNames(request(QString(), {}, {{u"age"_s}}, 3)),
              QStringList({u"p25"_s, u"p30"_s, u"p40"_s}));
    EXPECT_EQ(fetchNames(request(u"age >= 30"_s)), QStringList({u"p10"_s, u"p30"_s, u"p40"_s}));
    EXPECT_EQ(context->countForFetchRequest(request(u"age < 45"_s)), 3);
    // Fetching gives the registered objects themselves.
    const ObjectList again = context->executeFetchRequest(request(u"name = 'p25'"_s));
    ASSERT_EQ(again.size(), 1);
    EXPECT_EQ(again.first(), fresh);
    EXPECT_EQ(context->insertedObjects(), ObjectList {fresh});
    EXPECT_EQ(context->updatedObjects(), ObjectList {stored[0]});
    EXPECT_EQ(context->deletedObjects(), ObjectList {stored[1]});
    EXPECT_EQ(stored[0]->changedValues(), (QVariantMap {{u"age"_s, qint64(10)}}));

    // Another context sees the store as saved; faults read their values on first access.
    auto other = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    QMFetchRequest faults = request(QString(), {}, {{u"age"_s}});
    faults.setIncludesPropertyValues(false);
    const ObjectList otherObjects = other->executeFetchRequest(faults);
    ASSERT_EQ(otherObjects.size(), 4);
    EXPECT_TRUE(otherObjects[0]->isFault());
    EXPECT_EQ(otherObjects[0]->value(u"age"_s), QVariant(qint64(10)));
    EXPECT_FALSE(otherObjects[0]->isFault());
    EXPECT_EQ(otherObjects[1]->value(u"name"_s), QVariant(u"p20"_s));

    // Refresh: merging keeps the unsaved name over the newly saved age; without merging the
    // unsaved name is dropped.
    otherObjects[0]->setValue(u"name"_s, u"renamed"_s);
    ASSERT_TRUE(context->save());
    other->refreshObject(otherObjects[0], true);
    EXPECT_EQ(otherObjects[0]->value(u"age"_s), QVariant(qint64(50)));
    EXPECT_EQ(otherObjects[0]->value(u"name"_s), QVariant(u"renamed"_s));
    EXPECT_TRUE(other->hasChanges());
    int signals = 0;
    QObject::connect(otherObjects[0].get(), &QMManagedObject::valueChanged,
                     [&](const QString &key) { signals += key == u"name"_s ? 1 : 100; });
    otherObjects[0]->refreshMergingChanges(false);
    EXPECT_TRUE(otherObjects[0]->isFault());
    EXPECT_EQ(otherObjects[0]->value(u"name"_s), QVariant(u"p10"_s));
    EXPECT_EQ(signals, 1);
    EXPECT_FALSE(other->hasChanges());
    // p20 was deleted by the save: the other context's object is destroyed.
    otherObjects[1]->refreshMergingChanges(false);
    QMError error;
    EXPECT_TRUE(other->existingObjectWithID(otherObjects[1]->objectID(), &error) == nullptr);
    EXPECT_EQ(error.code(), QMManagedObjectReferentialIntegrityError);
    EXPECT_TRUE(otherObjects[1]->isDestroyed());
    EXPECT_EQ(otherObjects[1]->value(u"name"_s), QVariant(u"p20"_s));
    EXPECT_FALSE(otherObjects[2]->isDestroyed());

    // Rollback undoes every kind of change.
    auto temp = insert(u"temp"_s, 1);
    stored[2]->setValue(u"age"_s, 99);
    context->deleteObject(stored[3]);
    context->rollback();
    EXPECT_FALSE(context->hasChanges());
    EXPECT_EQ(temp->managedObjectContext(), nullptr);
    EXPECT_EQ(stored[2]->value(u"age"_s), QVariant(qint64(30)));
    EXPECT_FALSE(stored[3]->isDeleted());
    EXPECT_EQ(context->countForFetchRequest(request()), 4);
    context->reset();
    EXPECT_TRUE(context->registeredObjects().isEmpty());
    EXPECT_TRUE(stored[2]->isDestroyed());
}

TEST_P(StoreTest, ChildContextsSaveIntoTheirParentAndValidationKeepsChanges)
{
    insert(u"kept"_s, 1);
    insert(u"gone"_s, 2);
    ASSERT_TRUE(context->save());
    auto child = QMManagedObjectContext::contextWithParentContext(context);
    auto inChild = QMManagedObject::createWithManagedObjectContext<Person>(
            child, {{u"name"_s, u"child"_s}, {u"age"_s, u"7"_s}});
    ASSERT_TRUE(inChild);
    EXPECT_EQ(inChild->age(), 7);
    auto kept = QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"kept"_s, child);
    kept->setAge(11);
    QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"gone"_s, child)->destroy();
    EXPECT_EQ(fetchNames(request(QString(), {}, {{u"name"_s}}), child.get()),
              QStringList({u"child"_s, u"kept"_s}));

    ASSERT_TRUE(child->save());
    EXPECT_FALSE(child->hasChanges());
    EXPECT_TRUE(context->hasChanges());
    EXPECT_EQ(fetchNames(request(QString(), {}, {{u"name"_s}})),
              QStringList({u"child"_s, u"kept"_s}));
    EXPECT_EQ(context->existingObjectWithID(kept->objectID())->value(u"age"_s),
              QVariant(qint64(11)));
    // The store has none of it until the parent saves.
    auto other = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    EXPECT_EQ(fetchNames(request(QString(), {}, {{u"name"_s}}), other.get()),
              QStringList({u"gone"_s, u"kept"_s}));
    ASSERT_TRUE(context->save());
    EXPECT_EQ(fetchNames(request(QString(), {}, {{u"name"_s}}), other.get()),
              QStringList({u"child"_s, u"kept"_s}));
    EXPECT_EQ(other->existingObjectWithID(inChild->objectID())->value(u"age"_s),
              QVariant(qint64(7)));

    // A required value missing: nothing is written, everything stays to be fixed and saved.
    auto nameless = QMManagedObject::createWithManagedObjectContext<Person>(context);
    kept->setAge(12);
    QMError error;
    EXPECT_FALSE(context->save(&error));
    EXPECT_EQ(error.code(), QMValidationMissingMandatoryPropertyError);
    EXPECT_TRUE(error.localizedDescription().contains(u"\"name\""_s));
    EXPECT_TRUE(context->hasChanges());
    EXPECT_EQ(other->countForFetchRequest(request()), 2);
    nameless->setName(u"named"_s);
    EXPECT_TRUE(nameless->save(&error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(other->countForFetchRequest(request()), 3);
    EXPECT_THROW(nameless->setValue(u"age"_s, u"old"_s), QMInternalInconsistencyException);
    EXPECT_THROW(nameless->value(u"height"_s), QMInternalInconsistencyException);
}

TEST_P(StoreTest, PredicatesSelectTheSameObjectsInEveryStore)
{
    struct Sample
    {
        QString name;
        QVariant age, score, active;
        QByteArray photo;
    };
    const Sample people[] = {
            {u"Anna"_s, 30, 1.5, true, "a"},        {u"anne"_s, 17, QVariant(), false, {}},
            {u"Bob"_s, 45, -3.0, true, "b"},        {u"\u00d6zil"_s, 30, 2.0, QVariant(), "c"},
            {u"stra\u00dfe"_s, 60, 0.0, false, {}}, {u"\U0001F600"_s, QVariant(), 9.5, true, {}},
    };
    for (const Sample &p : people) {
        auto o = context->insertNewObjectForEntityForName(u"Person"_s);
        o->setValues({{u"name"_s, p.name},
                      {u"age"_s, p.age},
                      {u"score"_s, p.score},
                      {u"active"_s, p.active},
                      {u"photo"_s, p.photo.isNull() ? QVariant() : QVariant(p.photo)}});
    }
    struct Row
    {
        const char *format;
        QVariantList arguments;
        QStringList expected;
    };
    const QString anna = u"Anna"_s, anne = u"anne"_s, bob = u"Bob"_s, ozil = u"\u00d6zil"_s,
                  strasse = u"stra\u00dfe"_s, smile = u"\U0001F600"_s;
    const Row rows[] = {
            {"age = 30", {}, {anna, ozil}},
            {"age == %@", {u"30"_s}, {anna, ozil}},
            {"age != 30", {}, {anne, bob, strasse}},
            {"age < 30", {}, {anne}},
            {"age <= 30", {}, {anna, anne, ozil}},
            {"age > 30", {}, {bob, strasse}},
            {"age >= 45", {}, {bob, strasse}},
            {"age = nil", {}, {smile}},
            {"score != nil AND score < 1", {}, {bob, strasse}},
            {"name BEGINSWITH 'An'", {}, {anna}},
            {"name BEGINSWITH[c] 'an'", {}, {anna, anne}},
            {"name CONTAINS[c] 'SS'", {}, {strasse}},
            {"name ENDSWITH 'e'", {}, {anne, strasse}},
            {"name LIKE 'A?n*'", {}, {anna}},
            {"name =[c] %@", {u"\u00f6ZIL"_s}, {ozil}},
            {"name > 'Z'", {}, {anne, ozil, strasse, smile}},
            {"age IN {17, 45, 99}", {}, {anne, bob}},
            {"NOT (active = YES)", {}, {anne, ozil, strasse}},
            {"active = NO OR score > 9", {}, {anne, strasse, smile}},
            {"%K = %@", {u"photo"_s, QByteArray("b")}, {bob}},
            {"TRUEPREDICATE AND NOT name IN {'Anna', 'Bob'}", {}, {anne, ozil, strasse, smile}},
    };
    const auto check = [&](const char *phase) {
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(phase) + ": " + row.format);
            QMError error;
            const QMPredicate predicate = QMPredicate::predicateWithFormat(
                    QString::fromUtf8(row.format), row.arguments, &error);
            ASSERT_FALSE(predicate.isNull()) << error.localizedDescription().toStdString();
            QMFetchRequest r(u"Person"_s);
            r.setPredicate(predicate);
            QStringList found = fetchNames(r);
            found.sort();
            QStringList expected = row.expected;
            expected.sort();
            EXPECT_EQ(found, expected);
            EXPECT_EQ(context->countForFetchRequest(r), expected.size());
        }
    };
    // In memory over unsaved objects, then by the store itself.
    check("unsaved");
    ASSERT_TRUE(context->save());
    reopen();
    check("saved");
}

TEST_P(StoreTest, ContextsOnTwoThreadsShareOneCoordinator)
{
    constexpr int perThread = 40;
    const auto work = [&](int thread, QStringList *failures) {
        auto own = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
        for (int i = 0; i < perThread; ++i) {
            auto o = own->insertNewObjectForEntityForName(u"Person"_s);
            o->setValue(u"name"_s, u"t%1-%2"_s.arg(thread).arg(i));
            o->setValue(u"age"_s, thread);
            QMError error;
            if (i % 4 == 3 && !own->save(&error))
                failures->append(error.localizedDescription());
            QMFetchRequest mine(u"Person"_s);
            mine.setPredicate(QMPredicate::predicateWithKeyValue(u"age"_s, thread));
            if (own->countForFetchRequest(mine) != i + 1)
                failures->append(u"thread %1 miscounted at %2"_s.arg(thread).arg(i));
        }
    };
    QStringList failures[2];
    std::thread a(work, 1, &failures[0]);
    std::thread b(work, 2, &failures[1]);
    a.join();
    b.join();
    EXPECT_TRUE(failures[0].isEmpty()) << failures[0].join(u'\n').toStdString();
    EXPECT_TRUE(failures[1].isEmpty()) << failures[1].join(u'\n').toStdString();
    reopen();
    const ObjectList all = context->executeFetchRequest(request());
    QSet<qint64> numbers;
    for (const auto &o : all)
        numbers.insert(o->objectID().number());
    EXPECT_EQ(all.size(), 2 * perThread);
    EXPECT_EQ(numbers.size(), 2 * perThread);
}

namespace {

// What a save under a merge policy leaves: per object its age in the saving context (-1: gone
// from the context) and in the store read afresh (-1: not there).
struct MergeCase
{
    QMMergePolicy policy;
    bool saves;
    QList<QMMergeOutcome> outcomes; // carl, dora, emil, as settled
    qint64 carlHere, doraHere, emilHere;
    qint64 carlStored, doraStored, emilStored, fredStored;
    bool ginaStored;
    QStringList announcedUpdated;
};

} // namespace

TEST_P(StoreTest, MergePoliciesSettleConflictsObjectByObject)
{
    // Another writer changes carl, deletes dora and changes emil; this context then changes
    // carl and dora, deletes emil, and changes fred and inserts gina, which conflict with nothing.
    using O = QMMergeOutcome;
    const MergeCase cases[] = {
            {QMMergePolicy::Error, false, {}, 30, 41, -1, 31, -1, 52, 60, false, {}},
            {QMMergePolicy::StoreWins,
             true,
             {O::StoreValuesKept, O::DeletedInStore, O::DeletionDropped},
             31,
             -1,
             52,
             31,
             -1,
             52,
             61,
             true,
             {u"fred"_s}},
    };
    for (const MergeCase &row : cases) {
        SCOPED_TRACE(int(row.policy));
        reopen();
        for (const auto &o : context->executeFetchRequest(request()))
            context->deleteObject(o);
        ASSERT_TRUE(context->save());
        insert(u"fred"_s, 60);
        const auto [other, carl, dora, emil] = conflicts();
        auto fred = named(u"fred"_s, context);
        ASSERT_TRUE(carl && dora && emil && fred);
        fred->setAge(61);
        insert(u"gina"_s, 70);
        QStringList announced;
        QObject::connect(
                context->notifier(), &QMManagedObjectContextNotifier::didSave,
                [&](const ObjectList &, const ObjectList &updated, const ObjectList &deleted) {
                    announced = names(updated) + names(deleted);
                });
        EXPECT_EQ(context->mergePolicy(), QMMergePolicy::Error);
        context->setMergePolicy(row.policy);
        EXPECT_EQ(context->mergePolicy(), row.policy);
        QMError error;
        EXPECT_EQ(context->save(&error), row.saves) << error.localizedDescription().toStdString();
        EXPECT_EQ(announced, row.announcedUpdated);
        if (!row.saves) {
            EXPECT_EQ(error.code(), QMManagedObjectMergeError);
            EXPECT_EQ(
                    error.userInfo().value(QMPersistentStoreSaveConflictsErrorKey).toList().size(),
                    3);
            EXPECT_TRUE(context->hasChanges());
        } else {
            EXPECT_FALSE(context->hasChanges());
        }
        // What the policy did, object by object.
        const QMManagedObjectID ids[] = {carl->objectID(), dora->objectID(), emil->objectID()};
        QList<QMMergeResolution> expected;
        for (qsizetype i = 0; i < row.outcomes.size(); ++i)
            expected.append({ids[i], row.outcomes.at(i)});
        EXPECT_EQ(context->lastMergeResolutions(), expected);
        const auto here = [&](const std::shared_ptr<Person> &p) {
            return context->objectRegisteredForID(p->objectID()) == p && !p->isDeleted() ? p->age()
                                                                                         : -1;
        };
        EXPECT_EQ(here(carl), row.carlHere);
        EXPECT_EQ(here(dora), row.doraHere);
        EXPECT_EQ(here(emil), row.emilHere);
        if (row.policy == QMMergePolicy::StoreWins) {
            // The whole object took the store's values: carl's score is gone with his change.
            EXPECT_FALSE(carl->value(u"score"_s).isValid());
            EXPECT_FALSE(dora->managedObjectContext());
        }

        // The store, read through a coordinator of its own.
        auto fresh = QMManagedObjectContext::contextWithPersistentStoreCoordinator(
                secondCoordinator());
        const auto stored = [&](const QString &name) {
            const auto p = named(name, fresh);
            return p ? p->age() : -1;
        };
        EXPECT_EQ(stored(u"carl"_s), row.carlStored);
        EXPECT_EQ(stored(u"dora"_s), row.doraStored);
        EXPECT_EQ(stored(u"emil"_s), row.emilStored);
        EXPECT_EQ(stored(u"fred"_s), row.fredStored);
        EXPECT_EQ(stored(u"gina"_s) == 70, row.ginaStored);
    }
}

TEST_P(StoreTest, ContextWinsOverwritesWholeObjectsButNeverBringsBackDeletedOnes)
{
    const auto [other, carl, dora, emil] = conflicts();
    ASSERT_TRUE(carl && dora && emil);
    insert(u"fred"_s, 60);
    context->setMergePolicy(QMMergePolicy::ContextWins);

    // dora is gone from the store: there is nothing to overwrite, so the save fails whole.
    QMError error;
    EXPECT_FALSE(context->save(&error));
    EXPECT_EQ(error.code(), QMManagedObjectMergeError);
    EXPECT_TRUE(context->lastMergeResolutions().isEmpty());
    EXPECT_EQ(named(u"carl"_s, other)->age(), 31);
    EXPECT_TRUE(named(u"emil"_s, other));
    EXPECT_FALSE(named(u"fred"_s, other));

    // Given up on dora, the rest goes through: carl's whole object (age 30 as read here, score
    // 0.5) overwrites the other writer's age, and emil's deletion wins over its change.
    context->refreshObject(dora, false);
    ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
    const QList<QMMergeResolution> expected {
            {carl->objectID(), QMMergeOutcome::ContextValuesWritten},
            {emil->objectID(), QMMergeOutcome::DeletedOverChanges}};
    EXPECT_EQ(context->lastMergeResolutions(), expected);
    auto fresh = QMManagedObjectContext::contextWithPersistentStoreCoordinator(secondCoordinator());
    ASSERT_TRUE(named(u"carl"_s, fresh));
    EXPECT_EQ(named(u"carl"_s, fresh)->age(), 30);
    EXPECT_EQ(named(u"carl"_s, fresh)->score(), 0.5);
    EXPECT_FALSE(named(u"dora"_s, fresh));
    EXPECT_FALSE(named(u"emil"_s, fresh));
    EXPECT_TRUE(named(u"fred"_s, fresh));

    // A save without conflicts reports none.
    carl->setAge(32);
    ASSERT_TRUE(context->save());
    EXPECT_TRUE(context->lastMergeResolutions().isEmpty());
}

TEST_P(StoreTest, MergeRoundsAreBoundedWhenAnotherWriterKeepsConflicting)
{
    insert(u"carl"_s, 30);
    insert(u"dora"_s, 40);
    ASSERT_TRUE(context->save());
    const auto other
            = QMManagedObjectContext::contextWithPersistentStoreCoordinator(secondCoordinator());
    auto theirs = QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"carl"_s, other);
    auto carl = QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"carl"_s, context);
    auto dora = QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"dora"_s, context);
    ASSERT_TRUE(theirs && carl && dora);
    context->setMergePolicy(QMMergePolicy::ContextWins);
    // The other writer saves carl again before every round (with no lock of ours held, or its
    // save could not go through); `limit` rounds of it.
    int rounds = 0;
    int limit = 0;
    QMSetMergeRoundHookForTesting([&] {
        if (++rounds > limit)
            return;
        theirs->setAge(100 + rounds);
        EXPECT_TRUE(other->save());
    });
    struct Cleanup
    {
        ~Cleanup() { QMSetMergeRoundHookForTesting(nullptr); }
    } cleanup;

    const auto conflictOnce = [&] {
        theirs->setAge(theirs->age() + 1);
        ASSERT_TRUE(other->save());
    };
    // A writer that never stops: three saves, then the conflict error, and nothing written.
    limit = 100;
    conflictOnce();
    carl->setScore(0.5);
    dora->setAge(41);
    QMError error;
    EXPECT_FALSE(context->save(&error));
    EXPECT_EQ(error.code(), QMManagedObjectMergeError);
    EXPECT_EQ(rounds, QMPersistentStoreAccess::maxMergeRounds - 1);
    other->refreshAllObjects();
    EXPECT_EQ(theirs->age(), 100 + QMPersistentStoreAccess::maxMergeRounds - 1);
    auto theirDora = QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"dora"_s, other);
    EXPECT_EQ(theirDora->age(), 40);

    // One that conflicts once more and then stops: the last round goes through.
    rounds = 0;
    limit = 1;
    ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(rounds, 2);
    const QList<QMMergeResolution> expected {
            {carl->objectID(), QMMergeOutcome::ContextValuesWritten}};
    EXPECT_EQ(context->lastMergeResolutions(), expected);
    other->refreshAllObjects();
    EXPECT_EQ(theirs->age(), 30);
    EXPECT_EQ(theirs->score(), 0.5);
    EXPECT_EQ(theirDora->age(), 41);
}

INSTANTIATE_TEST_SUITE_P(AllStores, StoreTest,
                         ::testing::Values(QMSQLiteStoreType, QMXMLStoreType, QMInMemoryStoreType,
                                           QMPostgreSQLStoreType),
                         [](const auto &instance) { return instance.param.toStdString(); });

TEST(SQLiteStore, AFailedSaveLeavesTheDatabaseAsItWasAndTheLogBesideIt)
{
    StoreFixture f(QMSQLiteStoreType);
    f.reopen();
    f.insert(u"first"_s, 1);
    ASSERT_TRUE(f.context->save());
    const QString path = f.url().toLocalFile();
    EXPECT_TRUE(QFile::exists(path + u"-wal"_s));
    EXPECT_TRUE(QFile::exists(path + u"-shm"_s));
    // Another program's trigger refuses the third row of one save.
    execSQL(path,
            "CREATE TRIGGER refuse BEFORE INSERT ON \"Person\" "
            "WHEN (SELECT count(*) FROM \"Person\") >= 3 "
            "BEGIN SELECT RAISE(ABORT, 'refused by trigger'); END");
    f.reopen();
    auto kept = QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"first"_s, f.context);
    kept->setAge(2);
    for (int i = 0; i < 4; ++i)
        f.insert(u"new%1"_s.arg(i), i);
    QMError error;
    EXPECT_FALSE(f.context->save(&error));
    EXPECT_EQ(error.code(), QMPersistentStoreSaveError);
    EXPECT_TRUE(error.localizedDescription().contains(u"refused by trigger"_s));
    EXPECT_TRUE(error.userInfo().value(u"QMSQLiteStatement"_s).toString().startsWith(u"INSERT"_s));
    EXPECT_EQ(f.context->insertedObjects().size(), 4);
    EXPECT_EQ(f.context->updatedObjects().size(), 1);
    auto other = QMManagedObjectContext::contextWithPersistentStoreCoordinator(f.coordinator);
    EXPECT_EQ(f.fetchNames(request(), other.get()), QStringList {u"first"_s});
    EXPECT_EQ(f.fetchNames(request(u"age = 1"_s), other.get()), QStringList {u"first"_s});
    execSQL(path, "DROP TRIGGER refuse");
    EXPECT_TRUE(f.context->save(&error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(other->countForFetchRequest(request()), 5);
    // The log files go with the last connection.
    other.reset();
    f.context.reset();
    f.coordinator.reset();
    EXPECT_FALSE(QFile::exists(path + u"-wal"_s));
    EXPECT_FALSE(QFile::exists(path + u"-shm"_s));
}

// An entity without a class of its own: the store hands rows of a large fetch over while it
// reads on, and the context makes their objects meanwhile.
struct ItemStore
{
    QTemporaryDir dir;
    QString path = dir.filePath(u"items.sqlite"_s);
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;
    std::shared_ptr<QMManagedObjectContext> context;

    ItemStore() { reopen(); }
    void reopen()
    {
        context.reset();
        coordinator.reset();
        static const auto model = QMManagedObjectModel::modelWithJSON(
                R"({"name": "Items", "entities": [{"name": "Item", "attributes": [
                    {"name": "name", "type": "string"}, {"name": "number", "type": "integer"}]}]})");
        coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
        QMError error;
        ASSERT_TRUE(coordinator->addPersistentStoreWithType(QMSQLiteStoreType, {},
                                                            QUrl::fromLocalFile(path), {}, &error))
                << error.localizedDescription().toStdString();
        context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    }
    // `count` items whose numbers are a permutation of 0 .. count - 1.
    void fill(int count, const QString &padding = QString())
    {
        for (int i = 0; i < count; ++i) {
            auto o = context->insertNewObjectForEntityForName(u"Item"_s);
            o->setValue(u"name"_s, QString(u"item %1"_s.arg(i) + padding));
            o->setValue(u"number"_s, qint64(i) * 7919 % count);
        }
        ASSERT_TRUE(context->save());
        reopen();
    }
    ObjectList fetch(const QString &format, const QList<QMFetchSortDescriptor> &sort,
                     qsizetype limit = 0, QMError *error = nullptr)
    {
        QMFetchRequest r(u"Item"_s);
        if (!format.isEmpty())
            r.setPredicate(QMPredicate::predicateWithFormat(format));
        r.setSortDescriptors(sort);
        r.setFetchLimit(limit);
        return context->executeFetchRequest(r, error);
    }
};

QList<qint64> numbersOf(const ObjectList &objects)
{
    QList<qint64> numbers;
    for (const auto &o : objects)
        numbers.append(o->value(u"number"_s).toLongLong());
    return numbers;
}

TEST(SQLiteStore, ALargeFetchMadeWhileTheStoreReadsIsTheWholeAnswerInOrder)
{
    ItemStore s;
    s.fill(1000);
    // Objects the context holds already stay the ones it holds.
    const ObjectList held = s.fetch(u"number < 10"_s, {{u"number"_s, true}});
    ASSERT_EQ(held.size(), 10);
    const ObjectList all = s.fetch(QString(), {{u"number"_s, false}});
    ASSERT_EQ(all.size(), 1000);
    QList<qint64> descending;
    for (qint64 n = 999; n >= 0; --n)
        descending.append(n);
    EXPECT_EQ(numbersOf(all), descending);
    for (qsizetype i = 0; i < held.size(); ++i)
        EXPECT_EQ(all.at(all.size() - 1 - i), held.at(i));
    EXPECT_EQ(s.context->registeredObjects().size(), 1000);
    EXPECT_EQ(QSet<std::shared_ptr<QMManagedObject>>(all.cbegin(), all.cend()).size(), 1000);
    // In number order without a sort, and cut at a limit past the first hand-over.
    const ObjectList first = s.fetch(u"number >= 500"_s, {}, 300);
    ASSERT_EQ(first.size(), 300);
    for (qsizetype i = 1; i < first.size(); ++i)
        EXPECT_LT(first.at(i - 1)->objectID().number(), first.at(i)->objectID().number());
    EXPECT_EQ(s.context->registeredObjects().size(), 1000);
}

TEST(SQLiteStore, ASaveOfManyRowsKeepsEachRowWithItsObjectAndAFailureAnywhereUndoesAll)
{
    // Many rows go in statements of several rows each, the last few one by one: 70 is two full
    // statements and six single rows. Every fifth name is absent.
    ItemStore s;
    const auto insertItems = [&](int from, int count) {
        for (int i = from; i < from + count; ++i) {
            auto o = s.context->insertNewObjectForEntityForName(u"Item"_s);
            if (i % 5 != 0)
                o->setValue(u"name"_s, u"item %1"_s.arg(i));
            o->setValue(u"number"_s, qint64(i));
        }
    };
    insertItems(0, 70);
    QMError error;
    ASSERT_TRUE(s.context->save(&error)) << error.localizedDescription().toStdString();
    QHash<QMManagedObjectID, QVariantMap> saved;
    for (const auto &o : s.context->registeredObjects())
        saved.insert(o->objectID(), o->values());
    ASSERT_EQ(saved.size(), 70);
    const auto other = QMManagedObjectContext::contextWithPersistentStoreCoordinator(s.coordinator);
    const ObjectList read = other->executeFetchRequest(QMFetchRequest(u"Item"_s));
    ASSERT_EQ(read.size(), 70);
    for (const auto &o : read)
        EXPECT_EQ(o->values(), saved.value(o->objectID())) << o->objectID().number();

    // Another program's trigger refuses the 40th row of the next save, in its second statement:
    // none of the save's rows stay, and the save goes through once the trigger is gone.
    execSQL(s.path,
            "CREATE TRIGGER refuse BEFORE INSERT ON \"Item\" "
            "WHEN (SELECT count(*) FROM \"Item\") >= 109 "
            "BEGIN SELECT RAISE(ABORT, 'refused by trigger'); END");
    insertItems(70, 70);
    const ObjectList fresh = s.context->insertedObjects();
    QList<QMManagedObjectID> temporaries;
    for (const auto &o : fresh)
        temporaries.append(o->objectID());
    EXPECT_FALSE(s.context->save(&error));
    EXPECT_TRUE(error.localizedDescription().contains(u"refused by trigger"_s));
    EXPECT_EQ(other->countForFetchRequest(QMFetchRequest(u"Item"_s)), 70);
    // The store had numbered the rows before the trigger refused one: the objects are new again,
    // under their temporary identifiers, with their values still to be saved.
    EXPECT_EQ(s.context->insertedObjects().size(), 70);
    for (qsizetype i = 0; i < fresh.size(); ++i) {
        const auto &o = fresh.at(i);
        EXPECT_EQ(o->objectID(), temporaries.at(i));
        EXPECT_EQ(s.context->existingObjectWithID(temporaries.at(i)), o);
        EXPECT_TRUE(o->isInserted());
        EXPECT_EQ(o->changedValues().keys(), o->values().keys());
    }
    EXPECT_EQ(s.context->registeredObjects().size(), 140);
    execSQL(s.path, "DROP TRIGGER refuse");
    ASSERT_TRUE(s.context->save(&error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(other->countForFetchRequest(QMFetchRequest(u"Item"_s)), 140);
    for (const auto &o : fresh) {
        EXPECT_FALSE(o->objectID().isTemporaryID());
        EXPECT_EQ(s.context->existingObjectWithID(o->objectID()), o);
        EXPECT_FALSE(o->hasChanges());
        EXPECT_EQ(other->existingObjectWithID(o->objectID())->values(), o->values());
    }
    QMFetchRequest last(u"Item"_s);
    last.setPredicate(QMPredicate::predicateWithFormat(u"number >= 70"_s));
    for (const auto &o : other->executeFetchRequest(last)) {
        const qint64 i = o->value(u"number"_s).toLongLong();
        EXPECT_EQ(o->value(u"name"_s), i % 5 ? QVariant(u"item %1"_s.arg(i)) : QVariant()) << i;
    }
}

TEST(SQLiteStore, AFetchThatFailsPartwayLeavesNoObjectOfItsRowsInTheContext)
{
    ItemStore s;
    // Long names, so that the rows fill many pages and the first hand-overs come from pages
    // before the damage.
    s.fill(2000, QString(200, u'x'));
    s.context.reset();
    s.coordinator.reset();
    QFile file(s.path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const qint64 pages = file.size() / 4096;
    ASSERT_GT(pages, 40);
    for (qint64 page = pages * 6 / 10; page < pages * 9 / 10; ++page) {
        file.seek(page * 4096);
        file.write(QByteArray(4096, '\xa5'));
    }
    file.close();
    s.reopen();
    QMError error;
    EXPECT_TRUE(s.fetch(QString(), {}, 0, &error).isEmpty());
    EXPECT_FALSE(error.isNull());
    EXPECT_TRUE(s.context->registeredObjects().isEmpty());
}

TEST(XMLStore, AFailedWriteKeepsThePreviousFileByteForByte)
{
    StoreFixture f(QMXMLStoreType);
    f.reopen();
    f.insert(u"first"_s, 1);
    ASSERT_TRUE(f.context->save());
    const QByteArray before = readFile(f.url().toLocalFile());
    f.insert(u"second"_s, 2);
    QMStoreBackends::setXMLWriteFailureForTesting(true);
    QMError error;
    const bool saved = f.context->save(&error);
    QMStoreBackends::setXMLWriteFailureForTesting(false);
    EXPECT_FALSE(saved);
    EXPECT_EQ(error.code(), QMPersistentStoreSaveError);
    EXPECT_EQ(readFile(f.url().toLocalFile()), before);
    EXPECT_TRUE(f.context->hasChanges());
    // The store's own graph did not take the failed save either.
    auto other = QMManagedObjectContext::contextWithPersistentStoreCoordinator(f.coordinator);
    EXPECT_EQ(other->countForFetchRequest(request()), 1);
    EXPECT_TRUE(f.context->save());
    f.reopen();
    EXPECT_EQ(f.context->countForFetchRequest(request()), 2);
}

TEST(XMLStore, ValuesAndNumbersInTheFileFollowTheStoreRules)
{
    StoreFixture f(QMXMLStoreType);
    f.reopen();
    f.insert(u"first"_s, 1, 0.5);
    ASSERT_TRUE(f.context->save());
    f.context.reset();
    f.coordinator.reset();
    const QString path = f.url().toLocalFile();
    const QByteArray good = readFile(path);
    const auto opens = [&](const QByteArray &from, const QByteArray &to, QMError *error) {
        QByteArray edited = good;
        edited.replace(from, to);
        EXPECT_NE(edited, good) << from.toStdString();
        writeFile(path, edited);
        auto c = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(f.model);
        return c->addPersistentStoreWithType(QMXMLStoreType, {}, f.url(), {}, error) ? c : nullptr;
    };
    // Doubles that no store keeps, and numbers past the last one, are damage.
    for (const char *score : {"nan", "inf", "-inf"}) {
        QMError error;
        EXPECT_FALSE(opens(R"(name="score">0.5<)", R"(name="score">)" + QByteArray(score) + "<",
                           &error));
        EXPECT_EQ(error.code(), QMFileReadCorruptFileError) << score;
    }
    QMError error;
    EXPECT_FALSE(opens(R"(next="2")", R"(next="9223372036854775807")", &error));
    EXPECT_EQ(error.code(), QMFileReadCorruptFileError);

    // The last number there is is given once; then a save that needs more refuses, and keeps
    // its objects to be saved elsewhere.
    const auto c = opens(R"(next="2")", R"(next="9223372036854775806")", &error);
    ASSERT_TRUE(c) << error.localizedDescription().toStdString();
    auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(c);
    const auto insertNamed = [&] {
        auto o = context->insertNewObjectForEntityForName(u"Person"_s);
        o->setValue(u"name"_s, u"n"_s);
        return o;
    };
    const auto last = insertNamed();
    ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(last->objectID().number(), std::numeric_limits<qint64>::max() - 1);
    insertNamed();
    EXPECT_FALSE(context->save(&error));
    EXPECT_EQ(error.code(), QMPersistentStoreSaveError);
    EXPECT_TRUE(error.localizedDescription().contains(u"no object numbers left"_s));
    EXPECT_EQ(context->insertedObjects().size(), 1);
}

TEST(StoreFiles, OnlyRegularFilesWithinTheirLimitsAreRead)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(u"fifo"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString huge = dir.filePath(u"huge.json"_s);
    {
        QFile file(huge);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(QMManagedObjectModelMaximumFileSize + 1));
    }
    const auto people = QMManagedObjectModel::modelWithJSON(peopleModelJSON());

    // Models: a device, a FIFO (which must not block) and a file past the limit are refused.
    struct Row
    {
        const char *what;
        QString path;
        qint64 code;
    };
    const Row models[] = {
            {"an endless device", u"/dev/zero"_s, QMFileReadUnknownError},
            {"a FIFO", fifo, QMFileReadUnknownError},
            {"a file past the limit", huge, QMFileReadTooLargeError},
    };
    for (const Row &row : models) {
        SCOPED_TRACE(row.what);
        QMError error;
        EXPECT_FALSE(QMManagedObjectModel::modelWithContentsOfURL(QUrl::fromLocalFile(row.path),
                                                                  &error));
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.userInfo().value(QMFilePathErrorKey).toString(), row.path);
        EXPECT_TRUE(error.localizedDescription().contains(row.path));
    }

    // Stores: the same for both file types; an XML file past its limit is not read.
    const QString xml = dir.filePath(u"big.xml"_s);
    {
        auto c = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(people);
        ASSERT_TRUE(
                c->addPersistentStoreWithType(QMXMLStoreType, {}, QUrl::fromLocalFile(xml), {}));
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(c);
        for (int i = 0; i < 50; ++i)
            context->insertNewObjectForEntityForName(u"Person"_s)
                    ->setValue(u"name"_s, u"person %1"_s.arg(i));
        ASSERT_TRUE(context->save());
    }
    const qint64 xmlSize = QFileInfo(xml).size();
    QMStoreBackends::setXMLMaximumFileSizeForTesting(xmlSize - 1);
    const Row stores[] = {
            {"SQLite on a device", u"/dev/zero"_s, QMFileReadUnknownError},
            {"SQLite on a FIFO", fifo, QMFileReadUnknownError},
            {"XML on a device", u"/dev/zero"_s, QMFileReadUnknownError},
            {"XML on a FIFO", fifo, QMFileReadUnknownError},
            {"XML past the limit", xml, QMFileReadTooLargeError},
    };
    for (const Row &row : stores) {
        SCOPED_TRACE(row.what);
        auto c = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(people);
        QMError error;
        EXPECT_FALSE(c->addPersistentStoreWithType(
                QString::fromLatin1(row.what).startsWith(u"XML"_s) ? QMXMLStoreType
                                                                   : QMSQLiteStoreType,
                {}, QUrl::fromLocalFile(row.path), {}, &error));
        EXPECT_EQ(error.code(), row.code) << error.localizedDescription().toStdString();
        EXPECT_TRUE(error.localizedDescription().contains(row.path));
    }

    // A save that would make a file the reader refuses is refused before anything is written:
    // the file stays byte for byte, the context keeps its changes.
    QMStoreBackends::setXMLMaximumFileSizeForTesting(xmlSize + 100);
    auto c = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(people);
    ASSERT_TRUE(c->addPersistentStoreWithType(QMXMLStoreType, {}, QUrl::fromLocalFile(xml), {}));
    auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(c);
    const QByteArray before = readFile(xml);
    for (int i = 0; i < 10; ++i)
        context->insertNewObjectForEntityForName(u"Person"_s)
                ->setValue(u"name"_s, u"one too many %1"_s.arg(i));
    QMError error;
    EXPECT_FALSE(context->save(&error));
    EXPECT_EQ(error.code(), QMPersistentStoreSaveError);
    EXPECT_TRUE(error.localizedDescription().contains(u"larger than"_s))
            << error.localizedDescription().toStdString();
    EXPECT_EQ(readFile(xml), before);
    EXPECT_EQ(context->insertedObjects().size(), 10);
    QMStoreBackends::setXMLMaximumFileSizeForTesting(0);
    EXPECT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
}

TEST(StoreFiles, ReadingNeedsNoWriteAccessAndDenialsNameThePath)
{
    QTemporaryDir dir;
    const QString shared = dir.filePath(u"shared"_s);
    ASSERT_TRUE(QDir().mkdir(shared));
    const QString xml = shared + u"/people.xml"_s;
    const QString secret = shared + u"/secret.xml"_s;
    const auto people = QMManagedObjectModel::modelWithJSON(peopleModelJSON());
    for (const QString &path : {xml, secret}) {
        auto c = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(people);
        ASSERT_TRUE(
                c->addPersistentStoreWithType(QMXMLStoreType, {}, QUrl::fromLocalFile(path), {}));
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(c);
        context->insertNewObjectForEntityForName(u"Person"_s)->setValue(u"name"_s, u"ann"_s);
        ASSERT_TRUE(context->save());
    }
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    ::chmod(QFile::encodeName(shared).constData(), 0555);
    ::chmod(QFile::encodeName(xml).constData(), 0644);
    ::chmod(QFile::encodeName(secret).constData(), 0600);

    // As an unprivileged user (the tests run as root, who passes every check): the readable
    // store opens and reads in a directory that user cannot write; the other one says why not.
    EXPECT_EQ(
            TestSupport::runAsNobody([&] {
                auto c = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(people);
                QMError error;
                if (!c->addPersistentStoreWithType(QMXMLStoreType, {}, QUrl::fromLocalFile(xml), {},
                                                   &error))
                    return 11;
                auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(c);
                if (context->countForFetchRequest(request(), &error) != 1)
                    return 12;
                auto denied
                        = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(people);
                if (denied->addPersistentStoreWithType(QMXMLStoreType, {},
                                                       QUrl::fromLocalFile(secret), {}, &error))
                    return 13;
                if (error.code() != QMFileReadNoPermissionError
                    || error.userInfo().value(QMFilePathErrorKey).toString() != secret
                    || !error.localizedDescription().contains(u"Permission denied"_s))
                    return 14;
                // A save needs the directory: refused, and said so.
                context->insertNewObjectForEntityForName(u"Person"_s)->setValue(u"name"_s, u"bo"_s);
                if (context->save(&error)
                    || !error.localizedDescription().contains(u"Permission denied"_s))
                    return 15;
                return 0;
            }),
            0);
    ::chmod(QFile::encodeName(shared).constData(), 0755);
}

TEST(StoreFiles, DamagedAndForeignFilesGiveClearErrors)
{
    QTemporaryDir dir;
    const auto people = QMManagedObjectModel::modelWithJSON(peopleModelJSON());
    const auto other = QMManagedObjectModel::modelWithJSON(
            R"({"name": "Other", "entities": [{"name": "Person", "attributes": [
                {"name": "name", "type": "integer"}]}]})");
    // Real stores of the people model, to damage.
    for (const QString &type : {QMSQLiteStoreType, QMXMLStoreType}) {
        auto c = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(people);
        const QString path = dir.filePath(u"real."_s + type);
        ASSERT_TRUE(c->addPersistentStoreWithType(type, {}, QUrl::fromLocalFile(path), {}));
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(c);
        for (int i = 0; i < 300; ++i)
            context->insertNewObjectForEntityForName(u"Person"_s)
                    ->setValue(u"name"_s, u"person number %1 with a longer name"_s.arg(i));
        ASSERT_TRUE(context->save());
    }
    const QByteArray sqlite = readFile(dir.filePath(u"real.SQLite"_s));
    const QByteArray xml = readFile(dir.filePath(u"real.XML"_s));
    ASSERT_GT(sqlite.size(), 8192);
    QByteArray noise(4096, '\0');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    writeFile(dir.filePath(u"noise.sqlite"_s), noise);
    writeFile(dir.filePath(u"half.sqlite"_s), sqlite.left(sqlite.size() / 2));
    writeFile(dir.filePath(u"half.xml"_s), xml.left(xml.size() / 2));
    writeFile(dir.filePath(u"noise.xml"_s), "<html><body>not a store</body></html>");
    QByteArray badText = xml;
    badText.replace(R"(<value name="name">person number 7 )",
                    R"(<value name="name" encoding="base64">!not base64 )");
    ASSERT_NE(badText, xml);
    writeFile(dir.filePath(u"badtext.xml"_s), badText);
    execSQL(dir.filePath(u"foreign.sqlite"_s), "CREATE TABLE t (x)");
    QFile::copy(dir.filePath(u"real.SQLite"_s), dir.filePath(u"full.sqlite"_s));
    execSQL(dir.filePath(u"full.sqlite"_s),
            "UPDATE \"Person\" SET qm_pk = 9223372036854775807 WHERE qm_pk = 300");

    struct Row
    {
        QString type;
        QString file; // in the directory; empty: no URL
        std::shared_ptr<const QMManagedObjectModel> model;
        qint64 code;
    };
    const Row rows[] = {
            {QMSQLiteStoreType, u"noise.sqlite"_s, people, QMFileReadCorruptFileError},
            {QMSQLiteStoreType, u"half.sqlite"_s, people, QMFileReadCorruptFileError},
            {QMXMLStoreType, u"half.xml"_s, people, QMFileReadCorruptFileError},
            {QMXMLStoreType, u"noise.xml"_s, people, QMFileReadCorruptFileError},
            {QMXMLStoreType, u"badtext.xml"_s, people, QMFileReadCorruptFileError},
            {QMSQLiteStoreType, u"real.SQLite"_s, other, QMPersistentStoreIncompatibleSchemaError},
            {QMXMLStoreType, u"real.XML"_s, other, QMPersistentStoreIncompatibleSchemaError},
            {QMSQLiteStoreType, u"foreign.sqlite"_s, people,
             QMPersistentStoreIncompatibleSchemaError},
            {QMSQLiteStoreType, u"full.sqlite"_s, people, QMPersistentStoreIncompatibleSchemaError},
            {QMSQLiteStoreType, u"missing/dir/x.sqlite"_s, people, QMFileReadUnknownError},
            {QMXMLStoreType, u"missing/dir/x.xml"_s, people, QMFileReadUnknownError},
            {QMSQLiteStoreType, QString(), people, QMFileReadUnknownError},
            {u"Paper"_s, u"x"_s, people, QMPersistentStoreInvalidTypeError},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(QString(row.type + u" "_s + row.file).toStdString());
        auto c = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(row.model);
        QMError error;
        const QUrl url = row.file.isNull() ? QUrl() : QUrl::fromLocalFile(dir.filePath(row.file));
        EXPECT_FALSE(c->addPersistentStoreWithType(row.type, {}, url, {}, &error));
        EXPECT_EQ(error.domain(), QMPersistenceErrorDomain);
        EXPECT_EQ(error.code(), row.code) << error.localizedDescription().toStdString();
        EXPECT_FALSE(error.localizedDescription().isEmpty());
        EXPECT_FALSE(c->persistentStore());
    }
    // A coordinator holds one store; removing it closes the store for its contexts.
    auto c = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(people);
    auto store = c->addPersistentStoreWithType(QMInMemoryStoreType, {}, {}, {{u"unknown"_s, 1}});
    ASSERT_TRUE(store);
    EXPECT_EQ(store->type(), QMInMemoryStoreType);
    QMError error;
    EXPECT_FALSE(c->addPersistentStoreWithType(QMInMemoryStoreType, {}, {}, {}, &error));
    EXPECT_EQ(error.code(), QMPersistentStoreInvalidTypeError);
    auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(c);
    EXPECT_TRUE(c->removePersistentStore(store));
    EXPECT_EQ(context->countForFetchRequest(request(), &error), -1);
    EXPECT_EQ(error.code(), QMPersistentStoreOperationError);
}

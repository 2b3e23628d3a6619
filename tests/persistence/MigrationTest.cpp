// Stores written under earlier versions of a model, opened by later ones: every inferable change
// along a chain of five versions, in every store type; the changes that need the host; and what
// a failed or refused migration leaves behind.

#include "PersistenceTestSupport.h"
#include "support/PostgreSQL.h"
#include "support/PostgreSQLConnection.h"

#include <QMFoundation/persistence/QMCoreDataStore.h>
#include <QMFoundation/persistence/QMFetchRequest.h>
#include <QMFoundation/persistence/QMMigrationPlan.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <map>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

using Objects = QList<QVariantMap>; // by object number; absent values left out
using Contents = std::map<QString, Objects>; // by entity

std::shared_ptr<const QMManagedObjectModel> contacts(const QString &version = QString())
{
    QMError error;
    const auto model = QMManagedObjectModel::modelWithContentsOfURL(
            QUrl::fromLocalFile(QStringLiteral(QMF_TEST_DATA "/Contacts.momd")), &error);
    if (!model)
        ADD_FAILURE() << error.localizedDescription().toStdString();
    return version.isEmpty() || !model ? model : model->modelForVersionName(version);
}

QDateTime born()
{
    return QDateTime(QDate(1815, 12, 10), QTime(6, 30, 0, 125), Qt::UTC);
}

// The objects of the model's versions: what version 1's objects are after each step.
Contents expected(int version)
{
    QVariantMap ada {{u"name"_s, u"Ada"_s},
                     {u"age"_s, qint64(36)},
                     {u"rating"_s, qint64(5)},
                     {u"legacy"_s, u"x"_s},
                     {u"email"_s, u"ada@example.com"_s},
                     {u"born"_s, born()},
                     {u"active"_s, true},
                     {u"photo"_s, QByteArray("\x01\x02\xff", 3)}};
    QVariantMap bob {{u"name"_s, u"Bob"_s}, {u"active"_s, false}, {u"rating"_s, qint64(-2)}};
    Contents contents {{u"Note"_s, {{{u"text"_s, u"hello"_s}}, {}}}};
    if (version == 1) {
        contents[u"Person"_s] = {ada, bob};
        contents[u"Old"_s] = {{{u"x"_s, qint64(7)}}};
        return contents;
    }
    contents[u"Tag"_s] = {};
    // 2: nickname (optional, no value) and level (required, default 1) added; Old removed.
    for (QVariantMap *person : {&ada, &bob})
        person->insert(u"level"_s, qint64(1));
    if (version >= 3) {
        // name renamed to fullName; legacy removed; rating widened to double.
        for (QVariantMap *person : {&ada, &bob}) {
            person->insert(u"fullName"_s, person->take(u"name"_s));
            person->remove(u"legacy"_s);
            person->insert(u"rating"_s, double(person->value(u"rating"_s).toLongLong()));
        }
    }
    if (version >= 4) // email required with a default; level made optional.
        bob.insert(u"email"_s, u"none@example.com"_s);
    if (version >= 5) { // age, born, active and photo widened to texts; indexes moved.
        ada.insert(u"age"_s, u"36"_s);
        ada.insert(u"born"_s, u"1815-12-10T06:30:00.125Z"_s);
        ada.insert(u"active"_s, u"true"_s);
        ada.insert(u"photo"_s, u"AQL/"_s);
        bob.insert(u"active"_s, u"false"_s);
    }
    contents[u"Person"_s] = {ada, bob};
    return contents;
}

struct OpenStore
{
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;
    std::shared_ptr<QMPersistentStore> store;
    std::shared_ptr<QMManagedObjectContext> context;
};

OpenStore openStore(const std::shared_ptr<const QMManagedObjectModel> &model, const QString &type,
                    const QString &path, const QVariantMap &options = {}, QMError *error = nullptr)
{
    OpenStore open;
    open.coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
    // A PostgreSQL store's "path" is its URL.
    const QUrl url = type == QMInMemoryStoreType ? QUrl()
            : type == QMPostgreSQLStoreType      ? QUrl(path)
                                                 : QUrl::fromLocalFile(path);
    open.store = open.coordinator->addPersistentStoreWithType(type, QString(), url, options, error);
    if (open.store)
        open.context
                = QMManagedObjectContext::contextWithPersistentStoreCoordinator(open.coordinator);
    return open;
}

void insert(QMManagedObjectContext &context, const Contents &contents)
{
    for (const auto &[entity, objects] : contents) {
        for (const QVariantMap &values : objects) {
            const auto object = context.insertNewObjectForEntityForName(entity);
            for (auto it = values.cbegin(); it != values.cend(); ++it)
                object->setValue(it.key(), it.value());
        }
    }
    QMError error;
    ASSERT_TRUE(context.save(&error)) << error.localizedDescription().toStdString();
}

Contents contentsOf(QMManagedObjectContext &context, const QMManagedObjectModel &model)
{
    Contents contents;
    for (const QMEntityDescription &entity : model.entities()) {
        QMError error;
        auto objects = context.executeFetchRequest(QMFetchRequest(entity.name()), &error);
        EXPECT_TRUE(error.isNull()) << error.localizedDescription().toStdString();
        std::sort(objects.begin(), objects.end(), [](const auto &a, const auto &b) {
            return a->objectID().number() < b->objectID().number();
        });
        Objects &list = contents[entity.name()];
        for (const auto &object : objects) {
            QVariantMap values;
            for (const QString &name : entity.attributeNames()) {
                const QVariant value = object->value(name);
                if (value.isValid() && !value.isNull())
                    values.insert(name, value);
            }
            list.append(values);
        }
    }
    return contents;
}

std::string describe(const Contents &contents)
{
    std::string text;
    for (const auto &[entity, objects] : contents) {
        text += entity.toStdString() + ":\n";
        for (const QVariantMap &values : objects) {
            text += "  {";
            for (auto it = values.cbegin(); it != values.cend(); ++it)
                text += it.key().toStdString() + "=" + it.value().toString().toStdString() + "("
                        + it.value().typeName() + ") ";
            text += "}\n";
        }
    }
    return text;
}

class MigrationTest : public ::testing::TestWithParam<QString>
{
protected:
    void SetUp() override
    {
        if (server() && TestSupport::postgreSQLServerURL().isEmpty())
            GTEST_SKIP() << "needs the test PostgreSQL server: run under ctest";
    }

    // The store's file, or on the server the URL of a schema of its own for each name.
    QString path(const QString &name = u"store"_s) const
    {
        if (!server())
            return m_dir.filePath(name);
        QString &url = m_urls[name];
        if (url.isEmpty())
            url = TestSupport::postgreSQLStoreURL().toString();
        return url;
    }
    bool inMemory() const { return GetParam() == QMInMemoryStoreType; }
    bool server() const { return GetParam() == QMPostgreSQLStoreType; }

    // A store written under `version`, holding that version's objects.
    OpenStore written(const QString &version, const QString &name = u"store"_s)
    {
        const auto model = contacts(version);
        OpenStore open = openStore(model, GetParam(), path(name));
        EXPECT_TRUE(open.context);
        if (open.context)
            insert(*open.context, expected(version.toInt()));
        return open;
    }

    // The store opened (or, in memory, moved) under `version`.
    OpenStore migrated(OpenStore &old, const QString &version, const QVariantMap &options = {},
                       QMError *error = nullptr, const QString &name = u"store"_s)
    {
        return migratedTo(old, contacts(version), options, error, name);
    }
    OpenStore migratedTo(OpenStore &old, const std::shared_ptr<const QMManagedObjectModel> &model,
                         const QVariantMap &options, QMError *error, const QString &name)
    {
        if (!inMemory()) {
            old = OpenStore();
            return openStore(model, GetParam(), path(name), options, error);
        }
        OpenStore open;
        open.coordinator
                = old.coordinator->migratePersistentStore(old.store, model, options, error);
        if (open.coordinator) {
            open.store = open.coordinator->persistentStore();
            open.context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(
                    open.coordinator);
        }
        return open;
    }

    QTemporaryDir m_dir;
    mutable QHash<QString, QString> m_urls;
};

// The tests of store files: the copy kept before a migration.
class FileMigrationTest : public MigrationTest
{ };

// The tests of stores that several processes can open: concurrent openings, refusals.
class SharedMigrationTest : public MigrationTest
{ };

// The tests of the PostgreSQL store alone.
class ServerMigrationTest : public MigrationTest
{ };

// The names of the SQLite store's indexes and tables, but its own metadata tables'.
QStringList schemaOf(const QString &path)
{
    QStringList names;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr)
        == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT type || ' ' || name FROM sqlite_schema WHERE name NOT LIKE "
                           "'sqlite_%' ORDER BY 1",
                           -1, &statement, nullptr);
        while (statement && sqlite3_step(statement) == SQLITE_ROW)
            names.append(QString::fromUtf8(
                    reinterpret_cast<const char *>(sqlite3_column_text(statement, 0))));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return names;
}

// The tables, columns (with their types), indexes and sequences of the PostgreSQL store at `url`,
// without the schema's name.
QStringList serverSchemaOf(const QString &url)
{
    const QUrl server(url);
    const QUrlQuery query(server);
    const QString schema = query.queryItemValue(u"schema"_s);
    const QString connection = u"schema-of-"_s + schema;
    QStringList names;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, connection);
        db.setHostName(query.queryItemValue(u"host"_s));
        db.setDatabaseName(server.path().mid(1));
        db.setUserName(server.userName());
        QSqlQuery q(db);
        if (!db.open()
            || !q.prepare(u"SELECT 'column ' || table_name || '.' || column_name || ' ' || "
                          u"data_type || ' ' || coalesce(collation_name, '') FROM "
                          u"information_schema.columns WHERE table_schema = ? UNION ALL "
                          u"SELECT 'index ' || replace(indexdef, ? || '.', '') FROM pg_indexes "
                          u"WHERE schemaname = ? UNION ALL SELECT 'sequence ' || sequence_name "
                          u"FROM information_schema.sequences WHERE sequence_schema = ? "
                          u"ORDER BY 1"_s)) {
            ADD_FAILURE() << db.lastError().text().toStdString();
        } else {
            for (int i = 0; i < 4; ++i)
                q.bindValue(i, schema);
            if (!q.exec())
                ADD_FAILURE() << q.lastError().text().toStdString();
            while (q.next())
                names.append(q.value(0).toString());
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return names;
}

// The schema of a SQL store, for comparing one migrated with one made by the version.
QStringList schemaOf(const QString &type, const QString &path)
{
    return type == QMSQLiteStoreType ? schemaOf(path) : serverSchemaOf(path);
}

TEST_P(MigrationTest, EveryEarlierVersionOpensAsEveryLaterOneWithItsObjects)
{
    for (int from = 1; from <= 5; ++from) {
        for (int to = from; to <= 5; ++to) {
            SCOPED_TRACE(testing::Message() << "from " << from << " to " << to);
            const QString name = u"store-%1-%2"_s.arg(from).arg(to);
            OpenStore old = written(QString::number(from), name);
            ASSERT_TRUE(old.context);
            const QString identifier = old.store->identifier();
            QMError error;
            OpenStore open = migrated(old, QString::number(to), {}, &error, name);
            ASSERT_TRUE(open.context) << error.localizedDescription().toStdString();
            const Contents found = contentsOf(*open.context, *contacts(QString::number(to)));
            EXPECT_EQ(found, expected(to)) << describe(found);
            EXPECT_EQ(open.store->identifier(), identifier);
            EXPECT_EQ(open.store->migratedFromVersionName(),
                      from == to ? QString() : QString::number(from));
            EXPECT_EQ(open.store->migrationChanges().isEmpty(), from == to);
            // Texts made by the migration (renamed, filled, widened) compare ignoring case as
            // any other text does.
            if (to == 5) {
                const auto count = [&](const QString &format, const QVariantList &arguments) {
                    QMFetchRequest request(u"Person"_s);
                    request.setPredicate(QMPredicate::predicateWithFormat(format, arguments));
                    return open.context->countForFetchRequest(request, &error);
                };
                EXPECT_EQ(count(u"fullName ==[c] %@"_s, {u"ADA"_s}), 1);
                EXPECT_EQ(count(u"email ==[c] %@"_s, {u"NONE@Example.com"_s}), 1);
                EXPECT_EQ(count(u"born BEGINSWITH[c] %@"_s, {u"1815-12-10t06"_s}), 1);
                EXPECT_EQ(count(u"active ==[c] %@"_s, {u"FALSE"_s}), 1);
                EXPECT_EQ(count(u"photo LIKE[c] %@"_s, {u"aql*"_s}), 1);
            }
            // New objects take numbers after the migrated ones.
            const auto person = open.context->insertNewObjectForEntityForName(u"Person"_s);
            person->setValue(to >= 3 ? u"fullName"_s : u"name"_s, u"Cy"_s);
            ASSERT_TRUE(open.context->save(&error)) << error.localizedDescription().toStdString();
            EXPECT_EQ(person->objectID().number(), 3);
            if (GetParam() != QMSQLiteStoreType && !server())
                continue;
            // The tables, columns and indexes are those a store made by the later version has;
            // nothing the migration used is left.
            OpenStore made = openStore(contacts(QString::number(to)), GetParam(),
                                       path(u"made-%1"_s.arg(to)));
            ASSERT_TRUE(made.store);
            EXPECT_EQ(schemaOf(GetParam(), path(name)),
                      schemaOf(GetParam(), path(u"made-%1"_s.arg(to))));
        }
    }
}

TEST_P(FileMigrationTest, AReopenedStoreIsNotMigratedAgainAndTheBackupHoldsTheOldVersion)
{
    OpenStore old = written(u"2"_s);
    QMError error;
    OpenStore open = migrated(old, u"5"_s, {}, &error);
    ASSERT_TRUE(open.context) << error.localizedDescription().toStdString();
    const QUrl backup = open.store->migrationBackupURL();
    EXPECT_EQ(backup, QUrl::fromLocalFile(path() + QMMigrationBackupSuffix));
    ASSERT_TRUE(QFile::exists(backup.toLocalFile()));

    // The copy is the store as version 2 left it.
    OpenStore copy = openStore(contacts(u"2"_s), GetParam(), backup.toLocalFile(), {}, &error);
    ASSERT_TRUE(copy.context) << error.localizedDescription().toStdString();
    EXPECT_EQ(contentsOf(*copy.context, *contacts(u"2"_s)), expected(2));
    copy = OpenStore();

    open = OpenStore();
    OpenStore again = openStore(contacts(), GetParam(), path(), {}, &error);
    ASSERT_TRUE(again.context) << error.localizedDescription().toStdString();
    EXPECT_TRUE(again.store->migrationChanges().isEmpty());
    EXPECT_TRUE(again.store->migrationBackupURL().isEmpty());
    EXPECT_EQ(contentsOf(*again.context, *contacts()), expected(5));

    // A store opened without migrating has no copy of its own to remove.
    EXPECT_TRUE(again.store->removeMigrationBackup());
    EXPECT_TRUE(QFile::exists(backup.toLocalFile()));

    // A migration told to keep no copy keeps none.
    OpenStore third = written(u"1"_s, u"third"_s);
    OpenStore migratedThird
            = migrated(third, u"5"_s, {{QMMigrationBackupOption, false}}, &error, u"third"_s);
    ASSERT_TRUE(migratedThird.context) << error.localizedDescription().toStdString();
    EXPECT_TRUE(migratedThird.store->migrationBackupURL().isEmpty());
    EXPECT_FALSE(QFile::exists(path(u"third"_s) + QMMigrationBackupSuffix));
}

TEST_P(FileMigrationTest, RemovingTheBackupConfirmsTheMigration)
{
    OpenStore old = written(u"1"_s);
    QMError error;
    OpenStore open = migrated(old, u"3"_s, {}, &error);
    ASSERT_TRUE(open.context) << error.localizedDescription().toStdString();
    const QString backup = open.store->migrationBackupURL().toLocalFile();
    ASSERT_TRUE(QFile::exists(backup));
    EXPECT_TRUE(open.store->removeMigrationBackup(&error));
    EXPECT_FALSE(QFile::exists(backup));
    EXPECT_TRUE(open.store->migrationBackupURL().isEmpty());
}

TEST_P(SharedMigrationTest, TwoCoordinatorsOpeningAnOldStoreAtOnceMigrateItOnce)
{
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const QString name = u"shared-%1"_s.arg(round);
        {
            OpenStore old = written(u"1"_s, name);
            ASSERT_TRUE(old.context);
        }
        std::latch start(2);
        OpenStore opened[2];
        QMError errors[2];
        std::thread threads[2];
        for (int i = 0; i < 2; ++i) {
            threads[i] = std::thread([&, i] {
                start.arrive_and_wait();
                opened[i] = openStore(contacts(), GetParam(), path(name), {}, &errors[i]);
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        int migrations = 0;
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(opened[i].context) << errors[i].localizedDescription().toStdString();
            migrations += opened[i].store->migratedFromVersionName() == u"1"_s ? 1 : 0;
            EXPECT_EQ(contentsOf(*opened[i].context, *contacts()), expected(5));
        }
        EXPECT_EQ(migrations, 1);
        if (server())
            continue;
        // The copy is version 1's store, whoever made it.
        OpenStore copy
                = openStore(contacts(u"1"_s), GetParam(), path(name) + QMMigrationBackupSuffix);
        ASSERT_TRUE(copy.context);
        EXPECT_EQ(contentsOf(*copy.context, *contacts(u"1"_s)), expected(1));
    }
}

// Two versions of one entity differing by one change, for the changes a migration cannot infer.
std::shared_ptr<const QMManagedObjectModel> twoVersions(const QString &before, const QString &after)
{
    const QByteArray json = uR"({"name": "Shop", "versions": [
        {"versionName": "old", "entities": [{"name": "Item", "attributes": [
            {"name": "label", "type": "string"}, %1]}]},
        {"versionName": "new", "entities": [{"name": "Item", "attributes": [
            {"name": "label", "type": "string"}, %2]}]}]})"_s.arg(before, after)
                                    .toUtf8();
    QMError error;
    const auto model = QMManagedObjectModel::modelWithJSON(json, &error);
    if (!model)
        ADD_FAILURE() << error.localizedDescription().toStdString();
    return model;
}

struct Refusal
{
    const char *name;
    QString before;
    QString after;
    QVariant stored; // the old object's value of "value"
    QString message; // part of the refusal
    QVariant migrated; // what the host's migration below makes of it
};

const Refusal refusals[] = {
        {"narrowing", uR"({"name": "value", "type": "double"})"_s,
         uR"({"name": "value", "type": "integer"})"_s, 2.6,
         u"entity \"Item\", attribute \"value\": the type changes from double to integer, which "
         u"can lose information"_s,
         qint64(3)},
        {"text to number", uR"({"name": "value", "type": "string"})"_s,
         uR"({"name": "value", "type": "integer"})"_s, u"12"_s,
         u"entity \"Item\", attribute \"value\": the type changes from string to integer"_s,
         qint64(12)},
        {"required without default", uR"({"name": "other", "type": "string"})"_s,
         uR"({"name": "other", "type": "string"}, {"name": "value", "type": "integer",
              "optional": false})"_s,
         QVariant(),
         u"entity \"Item\", attribute \"value\": a required attribute is added without a "
         u"default"_s,
         qint64(1)},
        {"made required without default", uR"({"name": "value", "type": "integer"})"_s,
         uR"({"name": "value", "type": "integer", "optional": false})"_s, QVariant(),
         u"entity \"Item\", attribute \"value\": it is made required without a default"_s,
         qint64(1)},
};

TEST_P(MigrationTest, ChangesThatCannotBeInferredAreRefusedUnlessTheHostMigrates)
{
    for (const Refusal &refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        const auto model = twoVersions(refusal.before, refusal.after);
        ASSERT_TRUE(model);
        const auto old = model->modelForVersionName(u"old"_s);
        const QString name = QString::fromLatin1(refusal.name).replace(u' ', u'-');
        OpenStore store = openStore(old, GetParam(), path(name));
        ASSERT_TRUE(store.context);
        const auto item = store.context->insertNewObjectForEntityForName(u"Item"_s);
        item->setValue(u"label"_s, u"first"_s);
        if (refusal.stored.isValid())
            item->setValue(u"value"_s, refusal.stored);
        QMError error;
        ASSERT_TRUE(store.context->save(&error));

        // The plan, and the opening, name the entity, the attribute and the change.
        EXPECT_FALSE(QMMigrationPlan::plan(old, model, {}, &error));
        EXPECT_EQ(error.code(), QMInferredMappingModelError);
        EXPECT_TRUE(error.localizedDescription().contains(refusal.message))
                << error.localizedDescription().toStdString();
        OpenStore refused;
        if (inMemory()) {
            EXPECT_FALSE(store.coordinator->migratePersistentStore(store.store, model, {}, &error));
        } else {
            refused = openStore(model, GetParam(), path(name), {}, &error);
            EXPECT_FALSE(refused.store);
        }
        EXPECT_EQ(error.code(), QMInferredMappingModelError);
        EXPECT_TRUE(error.localizedDescription().contains(refusal.message));
        EXPECT_FALSE(QFile::exists(path(name) + QMMigrationBackupSuffix));

        // Nothing changed: the old version still reads the object.
        OpenStore again = inMemory() ? std::move(store) : openStore(old, GetParam(), path(name));
        ASSERT_TRUE(again.context);
        EXPECT_EQ(again.context->countForFetchRequest(QMFetchRequest(u"Item"_s), &error), 1);

        // With the host's migration the store opens, holding what the host made.
        QMModelMigrations migrations;
        migrations.addEntityMigration(u"Item"_s, [](const QVariantMap &values, QMError *) {
            QVariantMap result = values;
            const QVariant value = values.value(u"value"_s);
            result.insert(u"value"_s,
                          value.isValid() ? QVariant(qRound64(value.toDouble())) : QVariant(1));
            return std::optional<QVariantMap>(result);
        });
        const QVariantMap options {{QMModelMigrationsOption, QVariant::fromValue(migrations)}};
        const auto plan = QMMigrationPlan::plan(old, model, migrations, &error);
        ASSERT_TRUE(plan);
        EXPECT_EQ(plan->descriptions().last(),
                  u"old -> new: Item: migrate every object with the host's migration"_s);
        OpenStore open = migratedTo(again, model, options, &error, name);
        ASSERT_TRUE(open.context) << error.localizedDescription().toStdString();
        const Contents found = contentsOf(*open.context, *model);
        const Contents wanted {
                {u"Item"_s, {{{u"label"_s, u"first"_s}, {u"value"_s, refusal.migrated}}}}};
        EXPECT_EQ(found, wanted) << describe(found);
    }
}

TEST_P(MigrationTest, HostMigrationsDropObjectsOrStopTheMigrationLeavingTheStoreAsItWas)
{
    const auto model = twoVersions(uR"({"name": "value", "type": "integer"})"_s,
                                   uR"({"name": "value", "type": "integer"})"_s);
    ASSERT_TRUE(model);
    const auto old = model->modelForVersionName(u"old"_s);
    OpenStore store = openStore(old, GetParam(), path());
    ASSERT_TRUE(store.context);
    for (int i = 1; i <= 5; ++i) {
        const auto item = store.context->insertNewObjectForEntityForName(u"Item"_s);
        item->setValue(u"label"_s, u"item %1"_s.arg(i));
        item->setValue(u"value"_s, i);
    }
    QMError error;
    ASSERT_TRUE(store.context->save(&error));

    struct Case
    {
        const char *name;
        QMEntityMigrationFunction function;
        QString message; // empty: the migration succeeds
    };
    const Case cases[] = {
            {"stops",
             [](const QVariantMap &values, QMError *stop) -> std::optional<QVariantMap> {
                 if (values.value(u"value"_s).toInt() == 4) {
                     *stop = QMError(u"Host"_s, 7, {{QMLocalizedDescriptionKey, u"no 4"_s}});
                     return std::nullopt;
                 }
                 return values;
             },
             u"the migration of Item stopped: no 4"_s},
            {"unknown attribute",
             [](const QVariantMap &values, QMError *) {
                 QVariantMap result = values;
                 result.insert(u"colour"_s, u"red"_s);
                 return std::optional<QVariantMap>(result);
             },
             u"the migration of Item gave a value for colour, which the entity does not have"_s},
            {"wrong type",
             [](const QVariantMap &values, QMError *) {
                 QVariantMap result = values;
                 result.insert(u"value"_s, u"many"_s);
                 return std::optional<QVariantMap>(result);
             },
             u"the migration of Item gave value a value that does not fit"_s},
            {"throws",
             [](const QVariantMap &, QMError *) -> std::optional<QVariantMap> {
                 throw std::runtime_error("host fault");
             },
             u"the migration of Item threw an exception"_s},
            {"drops the odd ones",
             [](const QVariantMap &values, QMError *) -> std::optional<QVariantMap> {
                 if (values.value(u"value"_s).toInt() % 2)
                     return std::nullopt;
                 return values;
             },
             QString()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QMModelMigrations migrations;
        // The step's own function runs although the step could be inferred.
        migrations.addEntityMigration(u"Item"_s, u"old"_s, u"new"_s, c.function);
        const QVariantMap options {{QMModelMigrationsOption, QVariant::fromValue(migrations)}};
        OpenStore open = migratedTo(store, model, options, &error, u"store"_s);
        if (!c.message.isEmpty()) {
            ASSERT_FALSE(open.context);
            EXPECT_EQ(error.code(), QMMigrationError);
            EXPECT_TRUE(error.localizedDescription().contains(c.message))
                    << error.localizedDescription().toStdString();
            EXPECT_FALSE(QFile::exists(path() + QMMigrationBackupSuffix));
            if (!inMemory())
                store = openStore(old, GetParam(), path());
            ASSERT_TRUE(store.context);
            EXPECT_EQ(store.context->countForFetchRequest(QMFetchRequest(u"Item"_s), &error), 5);
            continue;
        }
        ASSERT_TRUE(open.context) << error.localizedDescription().toStdString();
        const Contents found = contentsOf(*open.context, *model);
        const Contents wanted {{u"Item"_s,
                                {{{u"label"_s, u"item 2"_s}, {u"value"_s, qint64(2)}},
                                 {{u"label"_s, u"item 4"_s}, {u"value"_s, qint64(4)}}}}};
        EXPECT_EQ(found, wanted) << describe(found);
    }
}

TEST_P(SharedMigrationTest, StoresOfOtherVersionsAreRefusedWhenTheyCannotOrMayNotMigrate)
{
    QMError error;
    {
        OpenStore old = written(u"2"_s);
        ASSERT_TRUE(old.context);
    }
    // Migration turned off: refused, as a store of another model, and left as it was.
    EXPECT_FALSE(openStore(contacts(), GetParam(), path(),
                           {{QMMigratePersistentStoresAutomaticallyOption, false}}, &error)
                         .store);
    EXPECT_EQ(error.code(), QMPersistentStoreIncompatibleSchemaError);
    EXPECT_TRUE(error.localizedDescription().contains(u"written under version \"2\""_s))
            << error.localizedDescription().toStdString();
    // A store of a later version than the model's current one.
    OpenStore latest = openStore(contacts(), GetParam(), path());
    ASSERT_TRUE(latest.context);
    latest = OpenStore();
    EXPECT_FALSE(openStore(contacts(u"4"_s), GetParam(), path(), {}, &error).store);
    EXPECT_EQ(error.code(), QMPersistentStoreIncompatibleSchemaError);
    EXPECT_TRUE(error.localizedDescription().contains(u"the later version \"5\""_s))
            << error.localizedDescription().toStdString();
    // A store of another model altogether.
    EXPECT_FALSE(openStore(QMManagedObjectModel::modelWithJSON(peopleModelJSON()), GetParam(),
                           path(), {}, &error)
                         .store);
    EXPECT_EQ(error.code(), QMPersistentStoreIncompatibleSchemaError);
}

TEST_P(MigrationTest, AStoreThatRecordedNoVersionIsFoundByItsModelHash)
{
    // A store written by a model of one version, before the model had several.
    const auto first = contacts(u"1"_s);
    QJsonObject object = QJsonDocument::fromJson(first->toJSON()).object();
    object.remove(u"versionName"_s);
    const QByteArray json = QJsonDocument(object).toJson();
    QMError error;
    const auto single = QMManagedObjectModel::modelWithJSON(json, &error);
    ASSERT_TRUE(single) << error.localizedDescription().toStdString();
    ASSERT_TRUE(single->versionName().isEmpty());
    OpenStore old = openStore(single, GetParam(), path());
    ASSERT_TRUE(old.context);
    insert(*old.context, expected(1));
    OpenStore open;
    if (inMemory()) {
        // A model of one version is not a version of the file: there is no way between them.
        EXPECT_FALSE(old.coordinator->migratePersistentStore(old.store, contacts(), {}, &error));
        EXPECT_EQ(error.code(), QMPersistentStoreIncompatibleSchemaError);
        return;
    }
    old = OpenStore();
    open = openStore(contacts(), GetParam(), path(), {}, &error);
    ASSERT_TRUE(open.context) << error.localizedDescription().toStdString();
    EXPECT_EQ(open.store->migratedFromVersionName(), u"1"_s);
    EXPECT_EQ(contentsOf(*open.context, *contacts()), expected(5));
}

TEST_P(SharedMigrationTest, AStoreWithoutARecordedVersionTakesTheIndexesOfTheVersionItMatches)
{
    // Version 5's schema with version 4's indexes, as a model of one version wrote it.
    QJsonObject object = QJsonDocument::fromJson(contacts()->toJSON()).object();
    object.remove(u"versionName"_s);
    QJsonArray entities = object.value(u"entities"_s).toArray();
    QJsonObject person = entities.at(0).toObject();
    QJsonArray attributes = person.value(u"attributes"_s).toArray();
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        QJsonObject attribute = attributes.at(i).toObject();
        attribute.insert(u"indexed"_s, attribute.value(u"name"_s) == u"fullName"_s);
        attributes.replace(i, attribute);
    }
    person.insert(u"attributes"_s, attributes);
    entities.replace(0, person);
    object.insert(u"entities"_s, entities);
    QMError error;
    const auto single = QMManagedObjectModel::modelWithJSON(QJsonDocument(object).toJson(), &error);
    ASSERT_TRUE(single) << error.localizedDescription().toStdString();
    {
        OpenStore old = openStore(single, GetParam(), path());
        ASSERT_TRUE(old.context);
        insert(*old.context, expected(5));
    }
    OpenStore open = openStore(contacts(), GetParam(), path(), {}, &error);
    ASSERT_TRUE(open.context) << error.localizedDescription().toStdString();
    EXPECT_TRUE(open.store->migratedFromVersionName().isEmpty());
    EXPECT_FALSE(QFile::exists(path() + QMMigrationBackupSuffix));
    EXPECT_EQ(contentsOf(*open.context, *contacts()), expected(5));
    if (GetParam() != QMXMLStoreType) {
        OpenStore made = openStore(contacts(), GetParam(), path(u"made"_s));
        ASSERT_TRUE(made.store);
        EXPECT_EQ(schemaOf(GetParam(), path()), schemaOf(GetParam(), path(u"made"_s)));
        EXPECT_EQ(schemaOf(GetParam(), path()).filter(u"qm_index_Person_email"_s).size(), 1);
    }
}

TEST_P(MigrationTest, AFailureInTheLastStepLeavesEveryEarlierStepUndone)
{
    OpenStore old = written(u"1"_s);
    ASSERT_TRUE(old.context);
    const QStringList before = inMemory() || GetParam() == QMXMLStoreType
            ? QStringList()
            : schemaOf(GetParam(), path());
    // Steps 1 -> 2 .. 3 -> 4 change the tables; the host's migration of 4 -> 5 stops at Bob.
    QMModelMigrations migrations;
    migrations.addEntityMigration(
            u"Person"_s, u"4"_s, u"5"_s,
            [](const QVariantMap &values, QMError *stop) -> std::optional<QVariantMap> {
                if (values.value(u"fullName"_s) == u"Bob"_s) {
                    *stop = QMError(u"Host"_s, 1, {{QMLocalizedDescriptionKey, u"not Bob"_s}});
                    return std::nullopt;
                }
                return QVariantMap {{u"fullName"_s, values.value(u"fullName"_s)}};
            });
    QMError error;
    OpenStore open = migrated(old, u"5"_s,
                              {{QMModelMigrationsOption, QVariant::fromValue(migrations)}}, &error);
    ASSERT_FALSE(open.store);
    EXPECT_EQ(error.code(), QMMigrationError);
    EXPECT_TRUE(error.localizedDescription().contains(u"from version \"1\" to \"5\""_s))
            << error.localizedDescription().toStdString();
    EXPECT_TRUE(error.localizedDescription().contains(u"not Bob"_s))
            << error.localizedDescription().toStdString();
    // The store is version 1's, objects, tables and all.
    OpenStore again = inMemory() ? std::move(old) : openStore(contacts(u"1"_s), GetParam(), path());
    ASSERT_TRUE(again.context);
    EXPECT_EQ(contentsOf(*again.context, *contacts(u"1"_s)), expected(1));
    if (!before.isEmpty()) {
        EXPECT_EQ(schemaOf(GetParam(), path()), before);
    }
}

TEST_P(ServerMigrationTest, TheServerKeepsNoCopyOfTheStoreBeforeItsMigration)
{
    // The transaction undoes a failed migration; earlier states are the server's backups'.
    for (const bool backup : {true, false}) {
        const QString name = backup ? u"with"_s : u"without"_s;
        OpenStore old = written(u"2"_s, name);
        ASSERT_TRUE(old.context);
        QMError error;
        OpenStore open = migrated(old, u"5"_s, {{QMMigrationBackupOption, backup}}, &error, name);
        ASSERT_TRUE(open.context) << error.localizedDescription().toStdString();
        EXPECT_EQ(open.store->migratedFromVersionName(), u"2"_s);
        EXPECT_TRUE(open.store->migrationBackupURL().isEmpty());
        EXPECT_TRUE(open.store->removeMigrationBackup(&error));
        EXPECT_EQ(contentsOf(*open.context, *contacts()), expected(5));
    }
}

TEST_P(MigrationTest, AFailedMigrationNamesTheStoreByItsFileOrItsURL)
{
    const auto model = twoVersions(uR"({"name": "value", "type": "integer"})"_s,
                                   uR"({"name": "value", "type": "integer"})"_s);
    ASSERT_TRUE(model);
    OpenStore store = openStore(model->modelForVersionName(u"old"_s), GetParam(), path());
    ASSERT_TRUE(store.context);
    insert(*store.context, {{u"Item"_s, {{{u"value"_s, qint64(1)}}}}});
    QMModelMigrations migrations;
    migrations.addEntityMigration(
            u"Item"_s, u"old"_s, u"new"_s,
            [](const QVariantMap &, QMError *stop) -> std::optional<QVariantMap> {
                *stop = QMError(u"Host"_s, 1, {{QMLocalizedDescriptionKey, u"no"_s}});
                return std::nullopt;
            });
    QMError error;
    OpenStore open
            = migratedTo(store, model, {{QMModelMigrationsOption, QVariant::fromValue(migrations)}},
                         &error, u"store"_s);
    ASSERT_FALSE(open.store);
    ASSERT_EQ(error.code(), QMMigrationError);
    const QVariantMap info = error.userInfo();
    // A file by its path and URL, a server's store by its URL alone, memory by neither.
    const QString expectedPath = inMemory() || server() ? QString() : path();
    const QUrl expectedURL = inMemory() ? QUrl()
            : server()                  ? QUrl(path())
                                        : QUrl::fromLocalFile(path());
    EXPECT_EQ(info.value(QMFilePathErrorKey).toString(), expectedPath);
    EXPECT_EQ(info.value(QMPersistentStoreURLErrorKey).toUrl(), expectedURL);
    const QString name = inMemory() ? u"in memory"_s
            : server()              ? QUrl(path()).toDisplayString()
                                    : path();
    EXPECT_TRUE(error.localizedDescription().startsWith(
            u"The store %1 could not be migrated"_s.arg(name)))
            << error.localizedDescription().toStdString();
}

// Version 2 renames label to title and adds the required level, with a default.
std::shared_ptr<const QMManagedObjectModel> renamingModel()
{
    QMError error;
    const auto model = QMManagedObjectModel::modelWithJSON(R"({"name": "Shop", "versions": [
        {"versionName": "1", "entities": [{"name": "Item", "attributes": [
            {"name": "label", "type": "string"}, {"name": "count", "type": "integer"}]}]},
        {"versionName": "2", "entities": [{"name": "Item", "attributes": [
            {"name": "title", "type": "string", "renamingIdentifier": "label"},
            {"name": "count", "type": "integer"},
            {"name": "level", "type": "integer", "optional": false, "default": 1}]}]}]})",
                                                           &error);
    if (!model)
        ADD_FAILURE() << error.localizedDescription().toStdString();
    return model;
}

// The store opened under version 1 of renamingModel(), holding one saved item.
OpenStore olderWithOneItem(const QMManagedObjectModel &model, const QString &url)
{
    OpenStore older = openStore(model.modelForVersionName(u"1"_s), QMPostgreSQLStoreType, url);
    if (older.context)
        insert(*older.context, {{u"Item"_s, {{{u"label"_s, u"x"_s}, {u"count"_s, qint64(1)}}}}});
    return older;
}

// That item in the store once version 2 migrated it, and nothing else.
Contents migratedItem()
{
    return {{u"Item"_s,
             {{{u"title"_s, u"x"_s}, {u"count"_s, qint64(1)}, {u"level"_s, qint64(1)}}}}};
}

TEST_P(ServerMigrationTest, APlanForAServerStoreIsReadWithoutChangingIt)
{
    {
        OpenStore old = written(u"3"_s);
        ASSERT_TRUE(old.context);
    }
    std::atomic<int> asked {0};
    const QMPostgreSQLPasswordProvider provider = [&](const QUrl &) {
        ++asked;
        return QString();
    };
    const QVariantMap options {{QMPostgreSQLPasswordProviderOption, QVariant::fromValue(provider)}};
    QMError error;
    const auto plan = QMMigrationPlan::planForStore(QMPostgreSQLStoreType, QUrl(path()), contacts(),
                                                    options, &error);
    ASSERT_TRUE(plan) << error.localizedDescription().toStdString();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(plan->sourceModel()->versionName(), u"3"_s);
    EXPECT_EQ(plan->descriptions().size(), 8);
    const QStringList before = schemaOf(GetParam(), path());
    // Still at version 3, and no connection of the plan's is left.
    OpenStore again = openStore(contacts(u"3"_s), GetParam(), path(), {}, &error);
    ASSERT_TRUE(again.context) << error.localizedDescription().toStdString();
    EXPECT_TRUE(again.store->migrationChanges().isEmpty());
    EXPECT_EQ(contentsOf(*again.context, *contacts(u"3"_s)), expected(3));
    EXPECT_EQ(schemaOf(GetParam(), path()), before);
    TestSupport::ServerConnection admin {QUrl(path())};
    EXPECT_EQ(admin.exec(u"SELECT count(*) FROM (%1) AS store"_s.arg(admin.storeBackends())),
              QStringList {u"1"_s});

    struct Case
    {
        const char *name;
        QUrl url;
        std::shared_ptr<const QMManagedObjectModel> model;
        qint64 code;
        QString message;
    };
    QUrl withPassword(path());
    withPassword.setPassword(u"secret"_s);
    const Case cases[] = {
            {"no store", QUrl(path(u"none"_s)), contacts(), QMFileReadUnknownError,
             u"The store %1 could not be read: it does not exist."_s.arg(path(u"none"_s))},
            {"later version", QUrl(path()), contacts(u"2"_s),
             QMPersistentStoreIncompatibleSchemaError, u"written under the later version \"3\""_s},
            {"another model", QUrl(path()), QMManagedObjectModel::modelWithJSON(peopleModelJSON()),
             QMPersistentStoreIncompatibleSchemaError, u"its model version differs"_s},
            {"password in the URL", withPassword, contacts(), QMPersistentStoreInvalidTypeError,
             u"it holds a password"_s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(
                QMMigrationPlan::planForStore(QMPostgreSQLStoreType, c.url, c.model, {}, &error));
        EXPECT_EQ(error.code(), c.code);
        EXPECT_TRUE(error.localizedDescription().contains(c.message))
                << error.localizedDescription().toStdString();
        EXPECT_FALSE(error.localizedDescription().contains(u"secret"_s));
    }
    // Reading made nothing where there was no store.
    EXPECT_TRUE(serverSchemaOf(path(u"none"_s)).isEmpty());
}

TEST_P(ServerMigrationTest, AnOlderVersionsSavesAndFetchesOnAMigratedStoreFailAndLoseNothing)
{
    const auto model = renamingModel();
    ASSERT_TRUE(model);
    QMError error;
    OpenStore older = olderWithOneItem(*model, path());
    ASSERT_TRUE(older.context);
    const auto x = older.context->executeFetchRequest(QMFetchRequest(u"Item"_s), &error).value(0);
    ASSERT_TRUE(x);
    x->setValue(u"count"_s, 2);
    older.context->insertNewObjectForEntityForName(u"Item"_s)->setValue(u"label"_s, u"y"_s);

    OpenStore newer = openStore(model, GetParam(), path(), {}, &error);
    ASSERT_TRUE(newer.context) << error.localizedDescription().toStdString();
    ASSERT_EQ(newer.store->migratedFromVersionName(), u"1"_s);

    // The older process's save writes nothing, says why, and keeps its changes.
    EXPECT_FALSE(older.context->save(&error));
    EXPECT_EQ(error.code(), QMPersistentStoreSaveError);
    EXPECT_TRUE(error.localizedDescription().contains(
            u"was migrated to version \"2\" of the model Shop by another process"_s))
            << error.localizedDescription().toStdString();
    EXPECT_TRUE(older.context->hasChanges());
    EXPECT_EQ(older.context->insertedObjects().size(), 1);
    EXPECT_EQ(x->value(u"count"_s).toLongLong(), 2);
    const Contents stored = contentsOf(*newer.context, *model);
    EXPECT_EQ(stored, migratedItem()) << describe(stored);
    // Its reads of columns that are gone fail as clearly.
    QMFetchRequest byLabel(u"Item"_s);
    byLabel.setPredicate(QMPredicate::predicateWithFormat(u"label == %@"_s, {u"x"_s}));
    for (const bool counting : {false, true}) {
        SCOPED_TRACE(counting ? "count" : "fetch");
        error = QMError();
        if (counting)
            EXPECT_EQ(older.context->countForFetchRequest(byLabel, &error), -1);
        else
            EXPECT_TRUE(older.context->executeFetchRequest(QMFetchRequest(u"Item"_s), &error)
                                .isEmpty());
        EXPECT_EQ(error.code(), QMPersistentStoreOperationError);
        EXPECT_TRUE(error.localizedDescription().contains(u"was migrated to version \"2\""_s))
                << error.localizedDescription().toStdString();
    }
}

TEST_P(ServerMigrationTest, ASaveThatComesDuringAMigrationWaitsForItAndThenFails)
{
    const auto model = renamingModel();
    ASSERT_TRUE(model);
    QMError error;
    OpenStore older = olderWithOneItem(*model, path());
    ASSERT_TRUE(older.context);
    older.context->insertNewObjectForEntityForName(u"Item"_s)->setValue(u"label"_s, u"y"_s);

    // In the middle of the migration, the older process saves: its save must wait until the
    // migration is over (its server process waits for a lock), then find the store migrated.
    std::thread saver;
    bool saved = true;
    QMError saveError;
    QMModelMigrations migrations;
    migrations.addEntityMigration(
            u"Item"_s, u"1"_s, u"2"_s,
            [&](const QVariantMap &values, QMError *) -> std::optional<QVariantMap> {
                if (!saver.joinable()) {
                    saver = std::thread([&] { saved = older.context->save(&saveError); });
                    TestSupport::ServerConnection admin {QUrl(path())};
                    const auto deadline
                            = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                    while (admin.exec(u"SELECT count(*) FROM pg_stat_activity WHERE pid IN (%1) "
                                      u"AND wait_event_type = 'Lock'"_s.arg(admin.storeBackends()))
                           != QStringList {u"1"_s}) {
                        if (std::chrono::steady_clock::now() > deadline) {
                            ADD_FAILURE() << "the save never waited for the migration";
                            break;
                        }
                    }
                }
                return QVariantMap {{u"title"_s, values.value(u"label"_s)},
                                    {u"count"_s, values.value(u"count"_s)}};
            });
    OpenStore newer = openStore(model, GetParam(), path(),
                                {{QMModelMigrationsOption, QVariant::fromValue(migrations)},
                                 {QMPersistentStoreTimeoutOption, 60}},
                                &error);
    ASSERT_TRUE(saver.joinable());
    saver.join();
    ASSERT_TRUE(newer.context) << error.localizedDescription().toStdString();
    EXPECT_FALSE(saved);
    EXPECT_EQ(saveError.code(), QMPersistentStoreSaveError);
    EXPECT_TRUE(saveError.localizedDescription().contains(u"was migrated to version \"2\""_s))
            << saveError.localizedDescription().toStdString();
    const Contents stored = contentsOf(*newer.context, *model);
    EXPECT_EQ(stored, migratedItem()) << describe(stored);
}

TEST_P(ServerMigrationTest, AConnectionLostDuringAMigrationLeavesTheOldVersionToMigrateAgain)
{
    OpenStore old = written(u"1"_s);
    ASSERT_TRUE(old.context);
    old = OpenStore();
    const QStringList before = schemaOf(GetParam(), path());
    // Step 1 -> 2 changes the tables; in 2 -> 3, the host's migration of Person (the inferred
    // one), the server ends the store's connection at the first object.
    bool terminate = true;
    QMModelMigrations migrations;
    migrations.addEntityMigration(
            u"Person"_s, u"2"_s, u"3"_s,
            [&](const QVariantMap &values, QMError *) -> std::optional<QVariantMap> {
                if (std::exchange(terminate, false)) {
                    EXPECT_EQ(TestSupport::ServerConnection(QUrl(path())).terminateStore(), 1);
                }
                QVariantMap result = values;
                result.insert(u"fullName"_s, result.take(u"name"_s));
                result.remove(u"legacy"_s);
                if (result.contains(u"rating"_s))
                    result.insert(u"rating"_s, double(result.value(u"rating"_s).toLongLong()));
                return result;
            });
    const QVariantMap options {{QMModelMigrationsOption, QVariant::fromValue(migrations)}};
    QMError error;
    OpenStore open = openStore(contacts(), GetParam(), path(), options, &error);
    ASSERT_FALSE(open.store);
    EXPECT_FALSE(terminate);
    EXPECT_EQ(error.code(), QMMigrationError);
    EXPECT_TRUE(error.localizedDescription().contains(u"from version \"1\" to \"5\""_s))
            << error.localizedDescription().toStdString();
    EXPECT_TRUE(error.localizedDescription().contains(u"connection to the PostgreSQL server"_s)
                && error.localizedDescription().contains(u"was lost"_s))
            << error.localizedDescription().toStdString();
    // Nothing of the migration is left: the store is version 1's.
    EXPECT_EQ(schemaOf(GetParam(), path()), before);
    OpenStore again = openStore(contacts(u"1"_s), GetParam(), path(), {}, &error);
    ASSERT_TRUE(again.context) << error.localizedDescription().toStdString();
    EXPECT_EQ(contentsOf(*again.context, *contacts(u"1"_s)), expected(1));
    again = OpenStore();
    // Opening it again migrates it.
    open = openStore(contacts(), GetParam(), path(), options, &error);
    ASSERT_TRUE(open.context) << error.localizedDescription().toStdString();
    EXPECT_EQ(open.store->migratedFromVersionName(), u"1"_s);
    EXPECT_EQ(contentsOf(*open.context, *contacts()), expected(5));
}

const auto storeTypeName = [](const auto &instance) {
    return instance.param.toStdString();
};
INSTANTIATE_TEST_SUITE_P(AllStores, MigrationTest,
                         ::testing::Values(QMSQLiteStoreType, QMXMLStoreType, QMInMemoryStoreType,
                                           QMPostgreSQLStoreType),
                         storeTypeName);
INSTANTIATE_TEST_SUITE_P(FileStores, FileMigrationTest,
                         ::testing::Values(QMSQLiteStoreType, QMXMLStoreType), storeTypeName);
INSTANTIATE_TEST_SUITE_P(SharedStores, SharedMigrationTest,
                         ::testing::Values(QMSQLiteStoreType, QMXMLStoreType,
                                           QMPostgreSQLStoreType),
                         storeTypeName);
INSTANTIATE_TEST_SUITE_P(ServerStores, ServerMigrationTest,
                         ::testing::Values(QMPostgreSQLStoreType), storeTypeName);

TEST(MigrationPlanTest, ThePlanNamesEveryChangeStepByStep)
{
    QMError error;
    const auto plan = QMMigrationPlan::plan(contacts(u"1"_s), contacts(), {}, &error);
    ASSERT_TRUE(plan) << error.localizedDescription().toStdString();
    const QStringList lines {
            u"1 -> 2: Person: add attribute nickname (string)"_s,
            u"1 -> 2: Person: add attribute level (integer) (objects without a value get 1)"_s,
            u"1 -> 2: add entity Tag"_s,
            u"1 -> 2: remove entity Old and its objects"_s,
            u"2 -> 3: Person: rename attribute name to fullName"_s,
            u"2 -> 3: Person: widen attribute rating from integer to double"_s,
            u"2 -> 3: Person: remove attribute legacy and its values"_s,
            u"3 -> 4: Person: make attribute email required (objects without a value get "
            u"none@example.com)"_s,
            u"3 -> 4: Person: make attribute level optional"_s,
            u"4 -> 5: Person: remove index on fullName"_s,
            u"4 -> 5: Person: widen attribute age from integer to string"_s,
            u"4 -> 5: Person: add index on email"_s,
            u"4 -> 5: Person: widen attribute born from date to string"_s,
            u"4 -> 5: Person: widen attribute active from boolean to string"_s,
            u"4 -> 5: Person: widen attribute photo from binary to string"_s,
    };
    EXPECT_EQ(plan->descriptions(), lines) << plan->descriptions().join(u'\n').toStdString();
    EXPECT_TRUE(QMMigrationPlan::plan(contacts(), contacts(), {}, &error)->isEmpty());
    // Backwards, or between different model files, there is no plan.
    EXPECT_FALSE(QMMigrationPlan::plan(contacts(), contacts(u"1"_s), {}, &error));
    EXPECT_EQ(error.code(), QMPersistentStoreIncompatibleSchemaError);
    EXPECT_FALSE(QMMigrationPlan::plan(QMManagedObjectModel::modelWithJSON(peopleModelJSON()),
                                       contacts(), {}, &error));
}

TEST(MigrationPlanTest, AnAttributeThatTakesARenamedOnesNameIsNew)
{
    const auto model = QMManagedObjectModel::modelWithJSON(R"({"name": "M", "versions": [
        {"versionName": "1", "entities": [{"name": "Item", "attributes": [
            {"name": "name", "type": "string"}]}]},
        {"versionName": "2", "entities": [{"name": "Item", "attributes": [
            {"name": "name", "type": "string"},
            {"name": "title", "type": "string", "renamingIdentifier": "name"}]}]}]})");
    ASSERT_TRUE(model);
    QMError error;
    const auto plan = QMMigrationPlan::plan(model->modelForVersionName(u"1"_s), model, {}, &error);
    ASSERT_TRUE(plan) << error.localizedDescription().toStdString();
    EXPECT_EQ(plan->descriptions(),
              QStringList({u"1 -> 2: Item: add attribute name (string)"_s,
                           u"1 -> 2: Item: rename attribute name to title"_s}));
}

TEST(MigrationPlanTest, APlanForAStoreIsReadWithoutChangingIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"store.sqlite"_s);
    {
        OpenStore old = openStore(contacts(u"3"_s), QMSQLiteStoreType, path);
        ASSERT_TRUE(old.context);
        insert(*old.context, expected(3));
    }
    QMError error;
    const auto plan = QMMigrationPlan::planForStore(QMSQLiteStoreType, QUrl::fromLocalFile(path),
                                                    contacts(), {}, &error);
    ASSERT_TRUE(plan) << error.localizedDescription().toStdString();
    EXPECT_EQ(plan->sourceModel()->versionName(), u"3"_s);
    EXPECT_EQ(plan->descriptions().size(), 8);
    // Still at version 3.
    OpenStore again = openStore(contacts(u"3"_s), QMSQLiteStoreType, path, {}, &error);
    ASSERT_TRUE(again.context) << error.localizedDescription().toStdString();
    EXPECT_EQ(contentsOf(*again.context, *contacts(u"3"_s)), expected(3));
    EXPECT_FALSE(
            QMMigrationPlan::planForStore(QMInMemoryStoreType, QUrl(), contacts(), {}, &error));
    EXPECT_FALSE(QMMigrationPlan::planForStore(
            QMXMLStoreType, QUrl::fromLocalFile(dir.filePath(u"none"_s)), contacts(), {}, &error));
    EXPECT_EQ(error.code(), QMFileReadUnknownError);
}

} // namespace

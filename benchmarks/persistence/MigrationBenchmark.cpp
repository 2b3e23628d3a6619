// Migrating a SQLite store of 1,000,000 objects (QMF_BENCH_MIGRATION_OBJECTS overrides the count)
// when it is opened under the next version of its model, beside hand-written SQL doing the same
// on a copy of the same file. The store is written once per process (through the object store, in
// saves of 50,000 objects) and closed; before every iteration, outside the measurement, the
// file is copied afresh, so every iteration migrates the same bytes from a warm page cache. Both
// sides time opening the file and the migration up to its commit; closing (the last WAL
// checkpoint) is left out on both sides. The copy kept before a migration is turned off
// (QMMigrationBackupOption), so the library's side times only the opening and the migration.
//
// - Open: the store opened under its own version (nothing to migrate), the fixed cost of every
//   opening (the library checks the header against the file's size, reads its metadata, the
//   columns and the object numbers), beside the hand-written opening that reads the schema.
// - AddAttribute: the next version adds an optional attribute. The library adds the column in
//   place (ALTER TABLE ADD COLUMN); the hand-written SQL runs the same statement in a
//   transaction.
// - RenameAttribute (score becomes rating) and WidenAttribute (number, an integer, becomes a
//   double): the library builds the table anew; the hand-written SQL does the same in one
//   transaction: CREATE TABLE of the new columns, INSERT INTO ... SELECT (CAST(number AS REAL)
//   when widening), DROP TABLE, ALTER TABLE ... RENAME TO, and CREATE INDEX for the indexed
//   name attribute (dropped with the old table), then COMMIT. The library also records the new
//   version in its metadata table in the same transaction.
//
// Both sides use raw SQLite handles (the library the one under its Qt SQL connection) in WAL
// mode with SQLite's default synchronous setting and page cache.

#include "PeakMemory.h"

#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMMigrationPlan.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

int objectCount()
{
    static const int count = [] {
        bool ok = false;
        const int n = qEnvironmentVariableIntValue("QMF_BENCH_MIGRATION_OBJECTS", &ok);
        return ok && n > 0 ? n : 1000000;
    }();
    return count;
}

constexpr int objectsPerSave = 50000;

const QByteArray firstVersion
        = R"({"versionName": "1", "entities": [{"name": "Item", "attributes": [
    {"name": "name", "type": "string", "optional": false, "indexed": true},
    {"name": "number", "type": "integer"},
    {"name": "score", "type": "double"},
    {"name": "flag", "type": "boolean"},
    {"name": "stamp", "type": "date"},
    {"name": "data", "type": "binary"}]}]})";

// A model file of two versions: the one the store is written under and `next`.
std::shared_ptr<const QMManagedObjectModel> modelWithNextVersion(const QByteArray &next)
{
    const QByteArray json = R"({"name": "Bench", "currentVersion": "2", "versions": [)"
            + firstVersion + ", " + next + "]}";
    QMError error;
    auto model = QMManagedObjectModel::modelWithJSON(json, &error);
    if (!model) {
        std::fprintf(stderr, "%s\n", qPrintable(error.localizedDescription()));
        std::abort();
    }
    return model;
}

std::shared_ptr<const QMManagedObjectModel> addingModel()
{
    static const auto model = modelWithNextVersion(
            R"({"versionName": "2", "entities": [{"name": "Item", "attributes": [
    {"name": "name", "type": "string", "optional": false, "indexed": true},
    {"name": "number", "type": "integer"},
    {"name": "score", "type": "double"},
    {"name": "flag", "type": "boolean"},
    {"name": "stamp", "type": "date"},
    {"name": "data", "type": "binary"},
    {"name": "comment", "type": "string"}]}]})");
    return model;
}

std::shared_ptr<const QMManagedObjectModel> renamingModel()
{
    static const auto model = modelWithNextVersion(
            R"({"versionName": "2", "entities": [{"name": "Item", "attributes": [
    {"name": "name", "type": "string", "optional": false, "indexed": true},
    {"name": "number", "type": "integer"},
    {"name": "rating", "type": "double", "renamingIdentifier": "score"},
    {"name": "flag", "type": "boolean"},
    {"name": "stamp", "type": "date"},
    {"name": "data", "type": "binary"}]}]})");
    return model;
}

std::shared_ptr<const QMManagedObjectModel> wideningModel()
{
    static const auto model = modelWithNextVersion(
            R"({"versionName": "2", "entities": [{"name": "Item", "attributes": [
    {"name": "name", "type": "string", "optional": false, "indexed": true},
    {"name": "number", "type": "double"},
    {"name": "score", "type": "double"},
    {"name": "flag", "type": "boolean"},
    {"name": "stamp", "type": "date"},
    {"name": "data", "type": "binary"}]}]})");
    return model;
}

QCoreApplication &application()
{
    static int argc = 1;
    static char name[] = "bench_migration";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// The store written under version 1, closed, and the place each iteration works on a copy of it.
struct Files
{
    QTemporaryDir dir;
    QString pristine = dir.filePath(u"pristine.sqlite"_s);
    QString work = dir.filePath(u"work.sqlite"_s);

    Files()
    {
        application();
        const auto model = addingModel()->modelForVersionName(u"1"_s);
        auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
        QMError error;
        if (!coordinator->addPersistentStoreWithType(QMSQLiteStoreType, {},
                                                     QUrl::fromLocalFile(pristine), {}, &error))
            fail(error);
        for (int first = 0; first < objectCount(); first += objectsPerSave) {
            auto context
                    = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
            for (int i = first; i < std::min(first + objectsPerSave, objectCount()); ++i) {
                auto o = context->insertNewObjectForEntityForName(u"Item"_s);
                o->setValue(u"name"_s, u"item %1"_s.arg(i));
                o->setValue(u"number"_s, qint64(i));
                o->setValue(u"score"_s, double((i * 7919) % 100003) / 7.0);
                o->setValue(u"flag"_s, i % 2 == 0);
                o->setValue(u"stamp"_s,
                            QDateTime::fromMSecsSinceEpoch(1600000000000LL + i, Qt::UTC));
                o->setValue(u"data"_s, QByteArray(16, char('a' + i % 26)));
            }
            if (!context->save(&error))
                fail(error);
        }
        // The last connection checkpoints the WAL into the file and removes it.
        coordinator.reset();
        if (QFile::exists(pristine + u"-wal"_s)) {
            std::fprintf(stderr, "the store's WAL outlived its coordinator\n");
            std::abort();
        }
    }

    [[noreturn]] static void fail(const QMError &error)
    {
        std::fprintf(stderr, "%s\n", qPrintable(error.localizedDescription()));
        std::abort();
    }

    // A fresh copy of the store at `work`.
    void reset() const
    {
        for (const QString &suffix : {u""_s, u"-wal"_s, u"-shm"_s})
            QFile::remove(work + suffix);
        if (!QFile::copy(pristine, work)) {
            std::fprintf(stderr, "the store could not be copied\n");
            std::abort();
        }
    }
};

const Files &files()
{
    static const Files *f = new Files;
    return *f;
}

// Opens a copy of the store under `model` through the library, timed from the coordinator's
// making to the return of addPersistentStoreWithType().
void openThroughLibrary(benchmark::State &state,
                        const std::shared_ptr<const QMManagedObjectModel> &model,
                        const QString &migratedFrom)
{
    const Files &f = files();
    const QVariantMap options {{QMMigrationBackupOption, false}};
    for (auto _ : state) {
        state.PauseTiming();
        f.reset();
        state.ResumeTiming();
        auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
        QMError error;
        auto store = coordinator->addPersistentStoreWithType(
                QMSQLiteStoreType, {}, QUrl::fromLocalFile(f.work), options, &error);
        state.PauseTiming();
        if (!store)
            state.SkipWithError(qPrintable(error.localizedDescription()));
        else if (store->migratedFromVersionName() != migratedFrom)
            state.SkipWithError("the store was not migrated as expected");
        coordinator.reset();
        state.ResumeTiming();
    }
    state.counters["objects"] = objectCount();
}

// Runs `statements` in one write transaction on a copy of the store through a raw handle in WAL
// mode, timed from opening the file to the commit.
void runHandWritten(benchmark::State &state, const QList<QByteArray> &statements)
{
    const Files &f = files();
    const QByteArray path = QFile::encodeName(f.work);
    for (auto _ : state) {
        state.PauseTiming();
        f.reset();
        state.ResumeTiming();
        sqlite3 *db = nullptr;
        bool ok = sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READWRITE, nullptr)
                == SQLITE_OK;
        ok = ok
                && sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr)
                        == SQLITE_OK;
        ok = ok && sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        for (const QByteArray &sql : statements)
            ok = ok && sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
        ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        state.PauseTiming();
        if (!ok)
            state.SkipWithError(sqlite3_errmsg(db));
        sqlite3_close(db);
        state.ResumeTiming();
    }
    state.counters["objects"] = objectCount();
}

// The table of version 2 built anew from version 1's, as a host would write it by hand.
QList<QByteArray> rebuildStatements(const QByteArray &columns, const QByteArray &selected)
{
    return {"CREATE TABLE \"Item_new\" (qm_pk INTEGER PRIMARY KEY, " + columns + ")",
            "INSERT INTO \"Item_new\" SELECT qm_pk, " + selected + " FROM \"Item\"",
            "DROP TABLE \"Item\"", "ALTER TABLE \"Item_new\" RENAME TO \"Item\"",
            "CREATE INDEX \"qm_index_Item_name\" ON \"Item\" (\"name\")"};
}

void BM_Open_Library(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    openThroughLibrary(state, addingModel()->modelForVersionName(u"1"_s), QString());
}
BENCHMARK(BM_Open_Library)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// The hand-written opening: the file opened in WAL mode and its schema read.
void BM_Open_HandSQL(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    runHandWritten(state, {"SELECT count(*) FROM sqlite_schema"});
}
BENCHMARK(BM_Open_HandSQL)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_AddAttribute_Library(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    openThroughLibrary(state, addingModel(), u"1"_s);
}
BENCHMARK(BM_AddAttribute_Library)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_AddAttribute_HandSQL(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    runHandWritten(state, {"ALTER TABLE \"Item\" ADD COLUMN \"comment\" TEXT"});
}
BENCHMARK(BM_AddAttribute_HandSQL)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_RenameAttribute_Library(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    openThroughLibrary(state, renamingModel(), u"1"_s);
}
BENCHMARK(BM_RenameAttribute_Library)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_RenameAttribute_HandSQL(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    runHandWritten(state,
                   rebuildStatements("\"name\" TEXT, \"number\" INTEGER, \"rating\" REAL, "
                                     "\"flag\" INTEGER, \"stamp\" INTEGER, \"data\" BLOB",
                                     "\"name\", \"number\", \"score\", \"flag\", \"stamp\", "
                                     "\"data\""));
}
BENCHMARK(BM_RenameAttribute_HandSQL)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_WidenAttribute_Library(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    openThroughLibrary(state, wideningModel(), u"1"_s);
}
BENCHMARK(BM_WidenAttribute_Library)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_WidenAttribute_HandSQL(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    runHandWritten(state,
                   rebuildStatements("\"name\" TEXT, \"number\" REAL, \"score\" REAL, "
                                     "\"flag\" INTEGER, \"stamp\" INTEGER, \"data\" BLOB",
                                     "\"name\", CAST(\"number\" AS REAL), \"score\", \"flag\", "
                                     "\"stamp\", \"data\""));
}
BENCHMARK(BM_WidenAttribute_HandSQL)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

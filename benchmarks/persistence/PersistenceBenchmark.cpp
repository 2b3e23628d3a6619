// The object store beside raw QSqlQuery doing the same work on an equivalent table: inserting
// 100,000 objects of six attributes in one save (a prepared INSERT in one transaction), fetching
// 10,000 of 100,000 with a two-clause predicate and a sort (the same SELECT, rows materialised as
// QVariant lists) and counting with a predicate (SELECT COUNT(*)). Both sides use SQLite files in
// WAL mode in a temporary directory; releasing the objects or rows afterwards is left out of the
// measurement on both sides.

#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int objectCount = 100000;

const QByteArray modelJSON = R"({"name": "Bench", "entities": [{"name": "Item", "attributes": [
    {"name": "name", "type": "string", "optional": false, "indexed": true},
    {"name": "number", "type": "integer"},
    {"name": "score", "type": "double"},
    {"name": "flag", "type": "boolean"},
    {"name": "stamp", "type": "date"},
    {"name": "data", "type": "binary"}]}]})";

// The values of object i: "number" runs 0..99,999 and every other one is flagged, so
// "number >= 80000 AND flag = YES" selects 10,000.
struct Values
{
    QString name;
    qint64 number;
    double score;
    bool flag;
    QDateTime stamp;
    QByteArray data;
};

Values valuesOf(int i)
{
    return {u"item %1"_s.arg(i),
            i,
            double((i * 7919) % 100003) / 7.0,
            i % 2 == 0,
            QDateTime::fromMSecsSinceEpoch(1600000000000LL + i, Qt::UTC),
            QByteArray(16, char('a' + i % 26))};
}

QCoreApplication &application()
{
    static int argc = 1;
    static char name[] = "bench_persistence";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

std::shared_ptr<const QMManagedObjectModel> model()
{
    static const auto m = QMManagedObjectModel::modelWithJSON(modelJSON);
    return m;
}

struct Store
{
    QTemporaryDir dir;
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;

    Store()
    {
        coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model());
        coordinator->addPersistentStoreWithType(
                QMSQLiteStoreType, {}, QUrl::fromLocalFile(dir.filePath(u"s.sqlite"_s)), {});
    }

    // Returns the context, so that a caller can leave its objects' release out of a measurement.
    std::shared_ptr<QMManagedObjectContext> fill(int count)
    {
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
        for (int i = 0; i < count; ++i) {
            const Values v = valuesOf(i);
            auto o = context->insertNewObjectForEntityForName(u"Item"_s);
            o->setValue(u"name"_s, v.name);
            o->setValue(u"number"_s, v.number);
            o->setValue(u"score"_s, v.score);
            o->setValue(u"flag"_s, v.flag);
            o->setValue(u"stamp"_s, v.stamp);
            o->setValue(u"data"_s, v.data);
        }
        if (!context->save())
            std::abort();
        return context;
    }
};

struct RawStore
{
    QTemporaryDir dir;
    QString connection = u"raw%1"_s.arg(quintptr(this));
    QSqlDatabase db;

    RawStore()
    {
        application();
        db = QSqlDatabase::addDatabase(u"QSQLITE"_s, connection);
        db.setDatabaseName(dir.filePath(u"raw.sqlite"_s));
        if (!db.open())
            std::abort();
        QSqlQuery q(db);
        q.exec(u"PRAGMA journal_mode=WAL"_s);
        q.exec(u"CREATE TABLE item (pk INTEGER PRIMARY KEY, name TEXT, number INTEGER, "
               "score REAL, flag INTEGER, stamp INTEGER, data BLOB)"_s);
        q.exec(u"CREATE INDEX item_name ON item (name)"_s);
    }
    ~RawStore()
    {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connection);
    }

    void fill(int count)
    {
        db.transaction();
        QSqlQuery q(db);
        q.prepare(u"INSERT INTO item VALUES (?, ?, ?, ?, ?, ?, ?)"_s);
        for (int i = 0; i < count; ++i) {
            const Values v = valuesOf(i);
            q.bindValue(0, qint64(i + 1));
            q.bindValue(1, v.name);
            q.bindValue(2, v.number);
            q.bindValue(3, v.score);
            q.bindValue(4, int(v.flag));
            q.bindValue(5, v.stamp.toMSecsSinceEpoch());
            q.bindValue(6, v.data);
            if (!q.exec())
                std::abort();
        }
        db.commit();
    }
};

void BM_InsertObjects(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<Store>();
        state.ResumeTiming();
        auto context = store->fill(objectCount);
        state.PauseTiming();
        context.reset();
        store.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * objectCount);
}
BENCHMARK(BM_InsertObjects)->Unit(benchmark::kMillisecond);

void BM_InsertRawQSqlQuery(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<RawStore>();
        state.ResumeTiming();
        store->fill(objectCount);
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * objectCount);
}
BENCHMARK(BM_InsertRawQSqlQuery)->Unit(benchmark::kMillisecond);

Store &filledStore()
{
    static Store *store = [] {
        auto *s = new Store;
        s->fill(objectCount);
        return s;
    }();
    return *store;
}

RawStore &filledRawStore()
{
    static RawStore *store = [] {
        auto *s = new RawStore;
        s->fill(objectCount);
        return s;
    }();
    return *store;
}

void BM_FetchObjects(benchmark::State &state)
{
    Store &store = filledStore();
    QMFetchRequest request(u"Item"_s);
    request.setPredicate(
            QMPredicate::predicateWithFormat(u"number >= %@ AND flag = YES"_s, {80000}));
    request.setSortDescriptors({{u"score"_s, false}});
    for (auto _ : state) {
        // A fresh context each time: every object is made, none is found registered.
        auto context
                = QMManagedObjectContext::contextWithPersistentStoreCoordinator(store.coordinator);
        auto objects = context->executeFetchRequest(request);
        if (objects.size() != 10000)
            state.SkipWithError("wrong number of objects");
        benchmark::DoNotOptimize(objects.data());
        // Releasing the results is not part of a fetch, on either side.
        state.PauseTiming();
        objects.clear();
        context.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_FetchObjects)->Unit(benchmark::kMillisecond);

void BM_FetchRawQSqlQuery(benchmark::State &state)
{
    RawStore &store = filledRawStore();
    QSqlQuery q(store.db);
    q.setForwardOnly(true);
    q.prepare(u"SELECT pk, name, number, score, flag, stamp, data FROM item "
              "WHERE number >= ? AND flag = ? ORDER BY score DESC, pk"_s);
    for (auto _ : state) {
        q.bindValue(0, 80000);
        q.bindValue(1, 1);
        if (!q.exec())
            state.SkipWithError("query failed");
        QList<QVariantList> rows;
        while (q.next()) {
            QVariantList row;
            row.reserve(7);
            for (int c = 0; c < 7; ++c)
                row.append(q.value(c));
            rows.append(std::move(row));
        }
        if (rows.size() != 10000)
            state.SkipWithError("wrong number of rows");
        benchmark::DoNotOptimize(rows.data());
        state.PauseTiming();
        rows.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_FetchRawQSqlQuery)->Unit(benchmark::kMillisecond);

void BM_CountObjects(benchmark::State &state)
{
    Store &store = filledStore();
    auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(store.coordinator);
    QMFetchRequest request(u"Item"_s);
    request.setPredicate(
            QMPredicate::predicateWithFormat(u"number >= %@ AND flag = YES"_s, {80000}));
    for (auto _ : state) {
        if (context->countForFetchRequest(request) != 10000)
            state.SkipWithError("wrong count");
    }
}
BENCHMARK(BM_CountObjects)->Unit(benchmark::kMicrosecond);

void BM_CountRawQSqlQuery(benchmark::State &state)
{
    RawStore &store = filledRawStore();
    QSqlQuery q(store.db);
    q.setForwardOnly(true);
    q.prepare(u"SELECT COUNT(*) FROM item WHERE number >= ? AND flag = ?"_s);
    for (auto _ : state) {
        q.bindValue(0, 80000);
        q.bindValue(1, 1);
        if (!q.exec() || !q.next() || q.value(0).toInt() != 10000)
            state.SkipWithError("wrong count");
    }
}
BENCHMARK(BM_CountRawQSqlQuery)->Unit(benchmark::kMicrosecond);

} // namespace

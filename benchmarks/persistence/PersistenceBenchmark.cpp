// The object store beside raw QSqlQuery doing the same work on an equivalent table: inserting
// 100,000 objects of six attributes in one save (a prepared INSERT in one transaction), fetching
// 10,000 of 100,000 with a two-clause predicate and a sort (the same SELECT, rows materialised as
// QVariant lists) and counting with a predicate (SELECT COUNT(*)). Both sides use SQLite files in
// WAL mode in a temporary directory; releasing the objects or rows afterwards is left out of the
// measurement on both sides.

#include "PeakMemory.h"

#include "StoreBenchmark.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;
using namespace StoreBenchmark;

namespace {

QCoreApplication &application()
{
    static int argc = 1;
    static char name[] = "bench_persistence";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
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

    std::shared_ptr<QMManagedObjectContext> fill(int count)
    {
        return insertObjects(coordinator, count);
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

    bool fill(int count)
    {
        return insertRows(db, u"INSERT INTO item VALUES (?, ?, ?, ?, ?, ?, ?)"_s, count);
    }
};

void BM_InsertObjects(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    measureInserts<Store>(state);
}
BENCHMARK(BM_InsertObjects)->Unit(benchmark::kMillisecond);

void BM_InsertRawQSqlQuery(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    measureInserts<RawStore>(state);
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
    const PeakMemory::Scope peak(state);
    measureFetch(state, filledStore().coordinator);
}
BENCHMARK(BM_FetchObjects)->Unit(benchmark::kMillisecond);

void BM_FetchRawQSqlQuery(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    QSqlQuery q(filledRawStore().db);
    q.setForwardOnly(true);
    q.prepare(u"SELECT pk, name, number, score, flag, stamp, data FROM item "
              "WHERE number >= ? AND flag = ? ORDER BY score DESC, pk"_s);
    measureRawFetch(state, q);
}
BENCHMARK(BM_FetchRawQSqlQuery)->Unit(benchmark::kMillisecond);

void BM_CountObjects(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    measureCount(state, filledStore().coordinator);
}
BENCHMARK(BM_CountObjects)->Unit(benchmark::kMicrosecond);

void BM_CountRawQSqlQuery(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    QSqlQuery q(filledRawStore().db);
    q.setForwardOnly(true);
    q.prepare(u"SELECT COUNT(*) FROM item WHERE number >= ? AND flag = ?"_s);
    measureRawCount(state, q);
}
BENCHMARK(BM_CountRawQSqlQuery)->Unit(benchmark::kMicrosecond);

} // namespace

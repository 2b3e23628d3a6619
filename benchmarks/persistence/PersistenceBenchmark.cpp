// The object store beside two raw peers doing the same work on an equivalent table: QSqlQuery, and
// SQLite's C API (a prepared statement, bind, step) in the same binary. Inserting 100,000 objects
// of six attributes in one save (a prepared INSERT in one transaction), fetching 10,000 of
// 100,000 with a two-clause predicate and a sort (the same SELECT; QSqlQuery's rows materialised
// as QVariant lists, the C API's as rows of Qt values: QString, qint64, double, bool,
// QDateTime, QByteArray) and counting with a predicate (SELECT COUNT(*)). Every side uses a
// SQLite file in WAL mode in a temporary directory; releasing the objects or rows afterwards is
// left out of the measurement on every side.

#include "PeakMemory.h"

#include "StoreBenchmark.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QTemporaryDir>

#include <sqlite3.h>

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

// The part of the insert before the save: the objects made and their values set.
struct UnsavedStore : Store
{
    std::shared_ptr<QMManagedObjectContext> fill(int count)
    {
        return insertObjects(coordinator, count, false);
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

// SQLite's C API directly: the table of RawStore, statements prepared once per use.
struct CStore
{
    QTemporaryDir dir;
    sqlite3 *db = nullptr;

    CStore()
    {
        if (sqlite3_open(QFile::encodeName(dir.filePath(u"c.sqlite"_s)).constData(), &db)
                    != SQLITE_OK
            || !exec("PRAGMA journal_mode=WAL")
            || !exec("CREATE TABLE item (pk INTEGER PRIMARY KEY, name TEXT, number INTEGER, "
                     "score REAL, flag INTEGER, stamp INTEGER, data BLOB)")
            || !exec("CREATE INDEX item_name ON item (name)"))
            std::abort();
    }
    ~CStore() { sqlite3_close(db); }
    CStore(const CStore &) = delete;
    CStore &operator=(const CStore &) = delete;

    bool exec(const char *sql)
    {
        return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    sqlite3_stmt *prepare(const char *sql)
    {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
            std::abort();
        return statement;
    }

    bool fill(int count)
    {
        exec("BEGIN");
        sqlite3_stmt *insert = prepare("INSERT INTO item VALUES (?, ?, ?, ?, ?, ?, ?)");
        for (int i = 0; i < count; ++i) {
            const Values v = valuesOf(i);
            sqlite3_bind_int64(insert, 1, i + 1);
            sqlite3_bind_text16(insert, 2, v.name.utf16(), int(v.name.size() * 2),
                                SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 3, v.number);
            sqlite3_bind_double(insert, 4, v.score);
            sqlite3_bind_int64(insert, 5, v.flag);
            sqlite3_bind_int64(insert, 6, v.stamp.toMSecsSinceEpoch());
            sqlite3_bind_blob(insert, 7, v.data.constData(), int(v.data.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(insert) != SQLITE_DONE)
                std::abort();
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        return exec("COMMIT");
    }
};

void BM_InsertObjects(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    measureInserts<Store>(state);
}
BENCHMARK(BM_InsertObjects)->Unit(benchmark::kMillisecond);

void BM_InsertObjectsUnsaved(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    measureInserts<UnsavedStore>(state);
}
BENCHMARK(BM_InsertObjectsUnsaved)->Unit(benchmark::kMillisecond);

void BM_InsertRawQSqlQuery(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    measureInserts<RawStore>(state);
}
BENCHMARK(BM_InsertRawQSqlQuery)->Unit(benchmark::kMillisecond);

void BM_InsertRawSQLiteC(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    measureInserts<CStore>(state);
}
BENCHMARK(BM_InsertRawSQLiteC)->Unit(benchmark::kMillisecond);

// A store of each kind filled with objectCount objects once, for the fetches and counts; never
// destroyed (the program ends with it).
template<typename Kind>
Kind &filled()
{
    static Kind *store = [] {
        auto *s = new Kind;
        s->fill(objectCount);
        return s;
    }();
    return *store;
}

void BM_FetchObjects(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    measureFetch(state, filled<Store>().coordinator);
}
BENCHMARK(BM_FetchObjects)->Unit(benchmark::kMillisecond);

void BM_FetchRawQSqlQuery(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    QSqlQuery q(filled<RawStore>().db);
    q.setForwardOnly(true);
    q.prepare(u"SELECT pk, name, number, score, flag, stamp, data FROM item "
              "WHERE number >= ? AND flag = ? ORDER BY score DESC, pk"_s);
    measureRawFetch(state, q);
}
BENCHMARK(BM_FetchRawQSqlQuery)->Unit(benchmark::kMillisecond);

// A row of the C API's fetch, as a program keeps it.
struct Row
{
    qint64 pk;
    Values values;
};

void BM_FetchRawSQLiteC(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    CStore &store = filled<CStore>();
    sqlite3_stmt *select = store.prepare("SELECT pk, name, number, score, flag, stamp, data "
                                         "FROM item WHERE number >= ? AND flag = ? "
                                         "ORDER BY score DESC, pk");
    measureRows(state, [&] {
        sqlite3_bind_int64(select, 1, 80000);
        sqlite3_bind_int64(select, 2, 1);
        QList<Row> rows;
        while (sqlite3_step(select) == SQLITE_ROW) {
            const auto *name = static_cast<const char16_t *>(sqlite3_column_text16(select, 1));
            const int nameBytes = sqlite3_column_bytes16(select, 1);
            const auto *data = static_cast<const char *>(sqlite3_column_blob(select, 6));
            const int dataBytes = sqlite3_column_bytes(select, 6);
            rows.append({sqlite3_column_int64(select, 0),
                         {QString(reinterpret_cast<const QChar *>(name), nameBytes / 2),
                          sqlite3_column_int64(select, 2), sqlite3_column_double(select, 3),
                          sqlite3_column_int64(select, 4) != 0,
                          QDateTime::fromMSecsSinceEpoch(sqlite3_column_int64(select, 5), Qt::UTC),
                          QByteArray(data, dataBytes)}});
        }
        sqlite3_reset(select);
        return rows;
    });
    sqlite3_finalize(select);
}
BENCHMARK(BM_FetchRawSQLiteC)->Unit(benchmark::kMillisecond);

void BM_CountObjects(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    measureCount(state, filled<Store>().coordinator);
}
BENCHMARK(BM_CountObjects)->Unit(benchmark::kMicrosecond);

void BM_CountRawQSqlQuery(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    QSqlQuery q(filled<RawStore>().db);
    q.setForwardOnly(true);
    q.prepare(u"SELECT COUNT(*) FROM item WHERE number >= ? AND flag = ?"_s);
    measureRawCount(state, q);
}
BENCHMARK(BM_CountRawQSqlQuery)->Unit(benchmark::kMicrosecond);

void BM_CountRawSQLiteC(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    CStore &store = filled<CStore>();
    sqlite3_stmt *count = store.prepare("SELECT COUNT(*) FROM item WHERE number >= ? AND flag = ?");
    for (auto _ : state) {
        sqlite3_bind_int64(count, 1, 80000);
        sqlite3_bind_int64(count, 2, 1);
        if (sqlite3_step(count) != SQLITE_ROW || sqlite3_column_int(count, 0) != fetchedCount)
            state.SkipWithError("wrong count");
        sqlite3_reset(count);
    }
    sqlite3_finalize(count);
}
BENCHMARK(BM_CountRawSQLiteC)->Unit(benchmark::kMicrosecond);

} // namespace

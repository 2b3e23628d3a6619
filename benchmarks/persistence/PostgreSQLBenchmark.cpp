// The object store's PostgreSQL store beside raw QSqlQuery (Qt's QPSQL driver) doing the same
// work on an equivalent table of the same server in the same run: inserting 100,000 objects of
// six attributes in one save (the peer: one prepared INSERT executed row by row in a
// transaction), fetching 10,000 of 100,000 with a two-clause predicate and a sort (the same
// SELECT, rows materialised as QVariant lists) and counting with a predicate (SELECT count(*)).
// Releasing the objects or rows afterwards, and making and dropping the schemas, are left out of
// the measurement on both sides.
//
// The server is the one QMF_BENCH_POSTGRESQL_URL names (postgresql://USER@HOST:PORT/DATABASE or
// postgresql://USER@/DATABASE?host=SOCKET_DIRECTORY, reached without a password); without it,
// the program starts a throw-away server with the tests' script and stops it at the end.

#include "PeakMemory.h"

#include "StoreBenchmark.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <atomic>

using namespace Qt::StringLiterals;
using namespace StoreBenchmark;

namespace {

// The server both sides use, as main() found or started it.
QUrl serverURL;

QString newSchemaName(const char *prefix)
{
    static std::atomic<int> made {0};
    return u"%1_%2_%3"_s.arg(QString::fromLatin1(prefix))
            .arg(QCoreApplication::applicationPid())
            .arg(++made);
}

// A QPSQL connection to the server, named `name`.
QSqlDatabase openConnection(const QString &name)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, name);
    const QUrlQuery query(serverURL);
    db.setHostName(serverURL.host().isEmpty() ? query.queryItemValue(u"host"_s, QUrl::FullyDecoded)
                                              : serverURL.host());
    db.setPort(serverURL.port(5432));
    db.setDatabaseName(serverURL.path().mid(1));
    db.setUserName(serverURL.userName());
    if (!db.open()) {
        std::fprintf(stderr, "cannot connect to %s: %s\n", qPrintable(serverURL.toDisplayString()),
                     qPrintable(db.lastError().text()));
        std::abort();
    }
    return db;
}

void execute(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(sql), qPrintable(q.lastError().text()));
        std::abort();
    }
}

// Drops schemas the benchmark made, on a connection of its own.
void dropSchema(const QString &schema)
{
    const QString name = u"drop-"_s + schema;
    {
        QSqlDatabase db = openConnection(name);
        execute(db, u"DROP SCHEMA \"%1\" CASCADE"_s.arg(schema));
    }
    QSqlDatabase::removeDatabase(name);
}

// The object store in a schema of its own.
struct Store
{
    QString schema = newSchemaName("bench_store");
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;

    Store()
    {
        QUrl url = serverURL;
        QUrlQuery query(url);
        query.addQueryItem(u"schema"_s, schema);
        url.setQuery(query);
        coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model());
        QMError error;
        if (!coordinator->addPersistentStoreWithType(QMPostgreSQLStoreType, {}, url, {}, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error.localizedDescription()));
            std::abort();
        }
    }
    ~Store()
    {
        coordinator.reset(); // closes the store's connection first
        dropSchema(schema);
    }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    std::shared_ptr<QMManagedObjectContext> fill(int count)
    {
        return insertObjects(coordinator, count);
    }
};

// The same table by hand: a number, the six values in the store's column types, the name
// indexed.
struct RawStore
{
    QString schema = newSchemaName("bench_raw");
    QString connection = u"raw-"_s + schema;
    QSqlDatabase db;

    RawStore()
    {
        db = openConnection(connection);
        execute(db, u"CREATE SCHEMA %1"_s.arg(schema));
        execute(db,
                u"CREATE TABLE %1.item (pk bigint PRIMARY KEY, name text COLLATE \"C\", "
                "number bigint, score double precision, flag bigint, stamp bigint, data bytea)"_s
                        .arg(schema));
        execute(db, u"CREATE INDEX item_name ON %1.item (name)"_s.arg(schema));
    }
    ~RawStore()
    {
        execute(db, u"DROP SCHEMA %1 CASCADE"_s.arg(schema));
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connection);
    }
    RawStore(const RawStore &) = delete;
    RawStore &operator=(const RawStore &) = delete;

    bool fill(int count)
    {
        return insertRows(db, u"INSERT INTO %1.item VALUES (?, ?, ?, ?, ?, ?, ?)"_s.arg(schema),
                          count);
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

// Filled once and dropped before the server stops.
std::unique_ptr<Store> filled;
std::unique_ptr<RawStore> filledRaw;

Store &filledStore()
{
    if (!filled) {
        filled = std::make_unique<Store>();
        filled->fill(objectCount);
    }
    return *filled;
}

RawStore &filledRawStore()
{
    if (!filledRaw) {
        filledRaw = std::make_unique<RawStore>();
        filledRaw->fill(objectCount);
    }
    return *filledRaw;
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
    RawStore &store = filledRawStore();
    QSqlQuery q(store.db);
    q.setForwardOnly(true);
    q.prepare(u"SELECT pk, name, number, score, flag, stamp, data FROM %1.item "
              "WHERE number >= ? AND flag = ? ORDER BY score DESC, pk"_s.arg(store.schema));
    measureRawFetch(state, q);
}
BENCHMARK(BM_FetchRawQSqlQuery)->Unit(benchmark::kMillisecond);

void BM_CountObjects(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    measureCount(state, filledStore().coordinator);
}
BENCHMARK(BM_CountObjects)->Unit(benchmark::kMillisecond);

void BM_CountRawQSqlQuery(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    RawStore &store = filledRawStore();
    QSqlQuery q(store.db);
    q.setForwardOnly(true);
    q.prepare(u"SELECT count(*) FROM %1.item WHERE number >= ? AND flag = ?"_s.arg(store.schema));
    measureRawCount(state, q);
}
BENCHMARK(BM_CountRawQSqlQuery)->Unit(benchmark::kMillisecond);

// The tests' throw-away server, started in a state directory of its own and stopped (and
// removed) when the program ends.
class ThrowAwayServer
{
public:
    bool start()
    {
        if (!m_state.isValid() || !run(u"start"_s))
            return false;
        QFile file(m_state.filePath(u"url"_s));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        m_started = true;
        serverURL = QUrl(QString::fromUtf8(file.readAll().trimmed()));
        return serverURL.isValid();
    }
    ~ThrowAwayServer()
    {
        if (m_started)
            run(u"stop"_s);
    }

private:
    bool run(const QString &action)
    {
        QProcess script;
        script.setProcessChannelMode(QProcess::ForwardedChannels);
        script.start(u"bash"_s,
                     {QStringLiteral(QMF_POSTGRESQL_SERVER_SCRIPT), action, m_state.path()});
        return script.waitForFinished(120000) && script.exitStatus() == QProcess::NormalExit
                && script.exitCode() == 0;
    }

    QTemporaryDir m_state;
    bool m_started = false;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    QCoreApplication application(argc, argv);
    ThrowAwayServer server;
    const QString given = qEnvironmentVariable("QMF_BENCH_POSTGRESQL_URL");
    if (!given.isEmpty()) {
        serverURL = QUrl(given, QUrl::StrictMode);
    } else if (!server.start()) {
        std::fprintf(stderr,
                     "the PostgreSQL server could not be started; give one with "
                     "QMF_BENCH_POSTGRESQL_URL\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    filled.reset();
    filledRaw.reset();
    benchmark::Shutdown();
    return 0;
}

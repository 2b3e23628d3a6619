// The PostgreSQL store: the objects in a schema of a PostgreSQL database, on a Qt SQL (QPSQL)
// connection with a thread of its own, as the SQLite store has.
//
// Layout: one table per entity, named as the entity, with the object number ("qm_pk"), a row
// version ("qm#version", raised by every update) and one column per attribute; each text
// attribute has a second column holding its folded text for case-insensitive predicates. Every
// identifier is double-quoted and no attribute name can hold a '#', so the store's own columns
// never clash with the model's. Object numbers come from one sequence per entity ("ENTITY#seq"),
// taken inside the save, so any number of processes on any number of machines can insert at
// once. The table "qm_metadata" records the store identifier, the model hash and its version
// name, as in SQLite.
//
// Several writers: a save locks the rows it updates and deletes (SELECT ... FOR UPDATE, in number
// order, so two saves never wait for each other in a circle), compares them with what its context
// read, and writes only when nothing changed meanwhile, all in one transaction.
//
// A lost connection fails the call with a clear error and is made anew by the next call. A
// connection lost during COMMIT leaves the outcome unknown to the client: the save's transaction
// number (txid_current()) is asked about on a new connection, so the save is reported saved
// exactly when the server kept it.
//
// Deadlines: the server ends a statement that runs longer than the store's time-out
// (statement_timeout, lock_timeout), and so answers within it. A server that does not answer at
// all (a stopped process, a dead link, a stalled proxy) is given up one second later: the
// waiting caller shuts the connection's socket down (StoreThread::watch()), which ends the
// client's blocking wait; the connection then counts as lost. Connecting is bounded by the
// client's own connect_timeout, in whole seconds.

#include "QMFoundation/persistence/QMMigration_p.h"
#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMPostgreSQLClient_p.h"
#include "QMFoundation/persistence/QMPredicateSQL_p.h"
#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include "QMFoundation/persistence/QMStoreThread_p.h"
#include <QMFoundation/persistence/QMCoreDataStore.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QSet>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrlQuery>
#include <QUuid>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// The option by which the coordinator hands the backend the password it asked for (never kept
// in the store's options).
const QString passwordOption = u"QMPostgreSQLPassword#"_s;
const QString versionColumn = u"qm#version"_s;
std::atomic<QMStoreBackends::PostgreSQLConnectionLoss> connectionLoss {
        QMStoreBackends::PostgreSQLConnectionLoss::None};
// PostgreSQL cuts longer identifiers short, which would make two names one.
constexpr qsizetype maximumIdentifierBytes = 63;
// How much longer than the statement time-out the store waits for a server that does not answer.
constexpr int silenceMarginMs = 1000;
// The shortest time the server is given for a statement: a store's time-out of 0 (no waiting for
// another writer's locks) must not leave no time for the work itself.
constexpr int minimumStatementMs = 1000;

QString quoted(const QString &name)
{
    QString escaped = name;
    escaped.replace(u'"', u"\"\""_s);
    return u"\""_s + escaped + u"\""_s;
}

QString sequenceName(const QString &entity)
{
    return entity + u"#seq"_s;
}

QString indexName(const QString &entity, const QString &attribute)
{
    return u"qm_index_"_s + entity + u"_"_s + attribute;
}

// Where the store is: the server, the database and the schema.
struct Address
{
    QUrl url; // as given
    QUrl server; // without schema or password: what a password is for
    QString user;
    QString host; // a host name, or the directory of a Unix socket
    int port = 5432;
    QString database;
    QString schema;
};

// The store URL read, or an empty optional with the error.
std::optional<Address> addressOf(const QUrl &url, QMError *error)
{
    const auto refuse = [&](const QString &why) {
        *error = QMStoreBackends::makeError(
                QMPersistentStoreInvalidTypeError,
                u"A PostgreSQL store needs a URL postgresql://USER@HOST:PORT/DATABASE?schema=NAME, "
                u"not \"%1\": %2."_s.arg(url.toDisplayString(QUrl::RemovePassword), why),
                {{QMPersistentStoreURLErrorKey, url.adjusted(QUrl::RemovePassword)}});
        return std::nullopt;
    };
    if (url.scheme() != u"postgresql"_s && url.scheme() != u"postgres"_s)
        return refuse(u"the scheme is not postgresql"_s);
    if (!url.password().isEmpty())
        return refuse(
                u"it holds a password; passwords come from a password provider "
                u"(QMPostgreSQLPasswordProviderOption, QMPostgreSQLKeychainPasswordProvider()), never the URL"_s);
    Address a;
    a.url = url;
    a.user = url.userName();
    a.database = url.path().mid(1);
    const QUrlQuery query(url);
    a.host = url.host().isEmpty() ? query.queryItemValue(u"host"_s, QUrl::FullyDecoded)
                                  : url.host();
    a.port = url.port(5432);
    a.schema = query.hasQueryItem(u"schema"_s)
            ? query.queryItemValue(u"schema"_s, QUrl::FullyDecoded)
            : u"public"_s;
    if (a.user.isEmpty())
        return refuse(u"it names no user"_s);
    if (a.host.isEmpty())
        return refuse(u"it names no host (nor a socket directory with host=DIRECTORY)"_s);
    if (a.database.isEmpty() || a.database.contains(u'/'))
        return refuse(u"it names no database"_s);
    if (a.schema.isEmpty() || a.schema.contains(QChar(0))
        || a.schema.toUtf8().size() > maximumIdentifierBytes)
        return refuse(
                u"the schema name is empty or longer than %1 bytes"_s.arg(maximumIdentifierBytes));
    QUrl server;
    server.setScheme(u"postgresql"_s);
    server.setUserName(a.user);
    server.setPath(u"/"_s + a.database);
    if (url.host().isEmpty()) {
        server.setHost(QString());
        QUrlQuery socket;
        socket.addQueryItem(u"host"_s, a.host);
        server.setQuery(socket);
    } else {
        server.setHost(a.host);
        server.setPort(url.port());
    }
    a.server = server;
    return a;
}

// Statements of one connection. Made, used and destroyed on the store thread only.
class Connection
{
public:
    Connection(std::shared_ptr<const QMManagedObjectModel> model, Address address, QString password,
               int timeout, QMMigration::Settings settings, QMStoreThreading::StoreThread &thread)
        : m_model(std::move(model))
        , m_address(std::move(address))
        , m_password(std::move(password))
        , m_timeout(std::max(1, timeout)) // 0 would turn the server's lock time-out off
        , m_statementTimeout(std::max(minimumStatementMs, timeout))
        , m_settings(std::move(settings))
        , m_thread(thread)
    { }
    ~Connection() { disconnect(); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool open(QString *identifier, QMError *error);
    bool fetch(const QMEntityDescription &entity, const QMPredicateSQL::Condition &condition,
               const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
               QList<QMStoreRow> *rows, QMError *error, const QMRowBatches &handOver);
    qsizetype count(const QMEntityDescription &entity, const QMPredicateSQL::Condition &condition,
                    QMError *error);
    bool readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                 QMError *error);
    bool save(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error);
    // The model hash and version name the store records, read without changing anything; false
    // with QMFileReadUnknownError when there is no store, QMPersistentStoreIncompatibleSchemaError
    // when the schema holds something else. Needs no model.
    bool readVersion(QString *hash, QString *versionName, QMError *error);
    // What opening did to bring the store to the model's version.
    const QMStoreMigration &migration() const { return m_migration; }

private:
    using Reader = std::function<void(const QSqlQuery &)>;

    // A wait for the server, given up when the server has not answered by the store's time-out
    // and the margin: the socket is shut down, and end() says so. The server itself ends its
    // work at the time-out, so only a server that does not answer at all is given up.
    class Watch
    {
    public:
        explicit Watch(Connection &c)
            : m_connection(c)
        {
            c.m_thread.watch(c.m_socket,
                             QMStoreThreading::StoreThread::Clock::now()
                                     + std::chrono::milliseconds(c.silenceLimit()));
        }
        ~Watch() { end(); }
        Watch(const Watch &) = delete;
        Watch &operator=(const Watch &) = delete;
        // Whether the server stayed silent (the wait is over from here on).
        bool end()
        {
            if (!m_ended) {
                m_ended = true;
                m_expired = m_connection.m_thread.unwatch();
                if (m_expired)
                    m_connection.m_lost = true;
            }
            return m_expired;
        }

    private:
        Connection &m_connection;
        bool m_ended = false;
        bool m_expired = false;
    };

    // How long the store waits for a server that does not answer, in milliseconds.
    int silenceLimit() const { return m_statementTimeout + silenceMarginMs; }
    QMError silent(const QString &sql) const;
    void clearCache();

    bool connect(qint64 code, QMError *error);
    void disconnect();
    // Connects again when the connection was lost.
    bool ready(qint64 code, QMError *error);
    // Runs `sql` with `bindings`, calling `read` for each row; false with the error.
    bool run(const QString &sql, const QVariantList &bindings, qint64 code, QMError *error,
             const Reader &read = {});
    QMError failure(qint64 code, const QString &sql, const QSqlError &sqlError);
    bool aliveAfterFailure();
    QString table(const QString &entity) const
    {
        return quoted(m_address.schema) + u"."_s + quoted(entity);
    }
    QMError incompatible(const QString &why) const;
    bool checkNames(QMError *error) const;
    bool createSchema(QString *identifier, QMError *error);
    bool checkSchema(QString *identifier, QMError *error);
    // The error of a call on a store that another process migrated to another version of the
    // model since this one opened it, when it was (else false and `*error` as it was): its
    // tables are no longer this model's.
    bool migratedElsewhere(qint64 code, const QString &recordedHash, QMError *error);
    // After a read failed: the error says so when the store was migrated meanwhile.
    void explainReadFailure(QMError *error);
    void rollback();
    // The values of one row as its columns hold them: attribute and folded columns alike.
    static QVariantList columnValues(const QMEntityDescription &entity, const QVariantList &values);
    // Reads the object number in column `first` and, when `entity` is given, its attributes'
    // values in the columns after it (as selectList() selects them); false, having set
    // m_unreadable, when a cell is not of its column's type.
    bool readObject(const QSqlQuery &q, int first, const QMEntityDescription *entity,
                    qint64 *number, QVariantList *values);
    // The error of a read that met a cell readObject() could not read.
    QMError unreadable(qint64 code) const;
    bool writeRows(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error);
    bool lockRows(const QMStoreChanges &changes, QMError *error);
    // After COMMIT failed with the connection: whether the server kept transaction `txid`.
    bool committedAfterLoss(const QString &txid, const QMError &lost, QMError *error);

    // Migration, inside the transaction of open() and under its lock (QMPostgreSQLStore.cpp's
    // second half).
    QString tableDefinition(const QMEntityDescription &entity, const QString &name) const;
    bool migrateFrom(const std::shared_ptr<const QMManagedObjectModel> &source, QMError *error);
    bool migrateEntity(const QMMigrationEntityStep &step, QMError *error);
    bool alterColumns(const QMMigrationEntityStep &step, QMError *error);
    bool addColumn(const QString &entity, const QMAttributeDescription &attribute,
                   const QVariant &fill, QMError *error);
    bool convertToText(const QString &entity, const QString &column, QMAttributeType from,
                       QMError *error);
    bool migrateWithHost(const QMMigrationEntityStep &step, QMError *error);
    bool syncIndexes(QMError *error);
    bool ddl(const QString &sql, QMError *error) { return run(sql, {}, QMMigrationError, error); }
    // `read` for the rows of `entity` after `after`, at most `batch` of them, number order.
    bool readBatch(const QString &entity, const QString &columns, qint64 after, qsizetype batch,
                   const Reader &read, QMError *error);

    std::shared_ptr<const QMManagedObjectModel> m_model;
    Address m_address;
    QString m_password;
    int m_timeout; // for another writer's locks, in milliseconds
    int m_statementTimeout; // for any statement, in milliseconds
    QMMigration::Settings m_settings;
    QMStoreMigration m_migration; // set by open()
    QString m_name; // of the Qt SQL connection; empty while there is none
    QSqlDatabase m_db;
    bool m_lost = false;
    QString m_identifier; // the store's, once open
    QString m_hash; // the model hash (hex) the store records, once open
    QHash<QString, std::shared_ptr<QSqlQuery>> m_cache; // prepared statements by SQL text
    const QMPostgreSQLClient::Library *m_client = nullptr; // set by connect()
    QString m_unreadable; // what readObject() could not read, when it could not
    QMStoreThreading::StoreThread &m_thread; // the store's, whose caller watches for silence
    int m_socket = -1; // of the connection, while there is one
};

QMError Connection::incompatible(const QString &why) const
{
    return QMMigration::incompatible(*m_model, m_address.url, why);
}

bool Connection::connect(qint64 code, QMError *error)
{
    disconnect();
    static std::atomic<quint64> connections {0};
    m_name = u"QMPostgreSQLStore-%1"_s.arg(++connections);
    m_db = QSqlDatabase::addDatabase(u"QPSQL"_s, m_name);
    const QString server = m_address.server.toDisplayString();
    if (!m_db.isValid()) {
        *error = QMStoreBackends::makeError(
                code,
                u"The store %1 could not be opened: Qt SQL has no PostgreSQL driver (QPSQL)."_s.arg(
                        m_address.url.toDisplayString()),
                {{QMPersistentStoreURLErrorKey, m_address.url}});
        disconnect();
        return false;
    }
    m_db.setHostName(m_address.host);
    m_db.setPort(m_address.port);
    m_db.setDatabaseName(m_address.database);
    m_db.setUserName(m_address.user);
    if (!m_password.isNull())
        m_db.setPassword(m_password);
    // The application name says which store a server connection serves (for an administrator,
    // and for tests that end a store's connection on purpose).
    QString application = u"qmf:"_s;
    for (QChar c : std::as_const(m_address.schema)) {
        if (c.isLetterOrNumber() && c.unicode() < 128)
            application += c;
        else if (c == u'_' || c == u'-')
            application += c;
    }
    // The client counts the connect time-out in whole seconds, at least 2. Keepalives and the
    // user time-out find a dead link over TCP (a socket connection has none to lose).
    const int connectSeconds = std::max(2, (silenceLimit() + 999) / 1000);
    m_db.setConnectOptions(u"connect_timeout=%1;application_name=%2;keepalives=1;"
                           u"keepalives_idle=%3;keepalives_interval=%3;keepalives_count=3;"
                           u"tcp_user_timeout=%4"_s.arg(QString::number(connectSeconds),
                                                        application.left(63),
                                                        QString::number(connectSeconds),
                                                        QString::number(silenceLimit())));
    const auto started = std::chrono::steady_clock::now();
    if (!m_db.open()) {
        const QString message = m_db.lastError().text().trimmed();
        // The client's clock counts whole seconds: its time-out ends up to one second early.
        const bool timedOut = std::chrono::steady_clock::now() - started
                >= std::chrono::seconds(connectSeconds - 1);
        *error = timedOut ? QMStoreBackends::makeError(
                         QMPersistentStoreTimeoutError,
                         u"The PostgreSQL server %1 did not answer within %2 s while connecting "
                         u"(%3); the next call tries again."_s.arg(server)
                                 .arg(connectSeconds)
                                 .arg(message),
                         {{QMPersistentStoreURLErrorKey, m_address.url},
                          {u"QMPostgreSQLMessage"_s, message}})
                          : QMStoreBackends::makeError(
                                  code,
                                  u"The PostgreSQL server %1 could not be reached or refused the "
                                  u"connection: %2"_s.arg(server, message),
                                  {{QMPersistentStoreURLErrorKey, m_address.url},
                                   {u"QMPostgreSQLMessage"_s, message}});
        disconnect();
        return false;
    }
    m_client = QMPostgreSQLClient::library();
    if (!m_client) {
        *error = QMStoreBackends::makeError(
                code,
                u"The store %1 could not be opened: Qt SQL's PostgreSQL driver was not built "
                u"with the PostgreSQL client library libpq.so.5, whose rows the store reads."_s.arg(
                        m_address.url.toDisplayString()),
                {{QMPersistentStoreURLErrorKey, m_address.url}});
        disconnect();
        return false;
    }
    m_socket = QMPostgreSQLClient::socketOf(*m_client, m_db);
    m_lost = false;
    // Waiting for another writer's row locks, and any statement, ends at the store's time-out
    // with the server's answer. Binary values come in the hex form readObject() reads, and
    // numbers in the text that reads back exactly, whatever the server's configuration says.
    if (!run(u"SELECT set_config('lock_timeout', '%1', false), "
             u"set_config('statement_timeout', '%2', false), "
             u"set_config('bytea_output', 'hex', false), "
             u"set_config('extra_float_digits', '1', false)"_s.arg(m_timeout)
                     .arg(m_statementTimeout),
             {}, code, error)) {
        disconnect();
        return false;
    }
    return true;
}

void Connection::disconnect()
{
    if (m_name.isEmpty())
        return;
    {
        // Prepared statements are released and the server told goodbye: waits too.
        Watch watch(*this);
        m_cache.clear();
        m_db.close();
    }
    m_socket = -1;
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
    m_name.clear();
}

bool Connection::ready(qint64 code, QMError *error)
{
    if (!m_lost && !m_name.isEmpty() && m_db.isOpen())
        return true;
    return connect(code, error);
}

bool Connection::aliveAfterFailure()
{
    // Qt SQL closes a connection the server dropped.
    if (m_lost || !m_db.isOpen())
        return false;
    Watch watch(*this);
    QSqlQuery probe(m_db);
    if (probe.exec(u"SELECT 1"_s))
        return true;
    if (watch.end())
        return false;
    // In a transaction that a failed statement ended, the server still answers.
    return probe.lastError().nativeErrorCode() == u"25P02"_s;
}

QMError Connection::silent(const QString &sql) const
{
    const QString message = u"no answer within %1 ms"_s.arg(silenceLimit());
    const QVariantMap extra {{QMPersistentStoreURLErrorKey, m_address.url},
                             {u"QMPostgreSQLStatement"_s, sql},
                             {u"QMPostgreSQLMessage"_s, message}};
    return QMStoreBackends::makeError(
            QMPersistentStoreTimeoutError,
            u"The PostgreSQL server %1 did not answer within %2 ms (a statement time-out of %3 ms "
            u"and %4 ms more); the connection was dropped, nothing of this call was saved, and "
            u"the next call connects again."_s.arg(m_address.server.toDisplayString())
                    .arg(silenceLimit())
                    .arg(m_statementTimeout)
                    .arg(silenceMarginMs),
            extra);
}

QMError Connection::failure(qint64 code, const QString &sql, const QSqlError &sqlError)
{
    const QString state = sqlError.nativeErrorCode();
    QString message = sqlError.databaseText().trimmed();
    if (message.isEmpty())
        message = sqlError.text().trimmed();
    if (message.isEmpty())
        message = u"unknown error"_s;
    const QVariantMap extra {{QMPersistentStoreURLErrorKey, m_address.url},
                             {u"QMPostgreSQLStatement"_s, sql},
                             {u"QMPostgreSQLState"_s, state},
                             {u"QMPostgreSQLMessage"_s, message}};
    const bool lost = state.startsWith(u"08"_s) || state.startsWith(u"57P"_s)
            || (!state.startsWith(u"25"_s) && !aliveAfterFailure());
    if (lost) {
        m_lost = true;
        return QMStoreBackends::makeError(
                QMPersistentStoreOperationError,
                u"The connection to the PostgreSQL server %1 was lost (%2); nothing of this call "
                u"was saved, and the next call connects again."_s.arg(
                        m_address.server.toDisplayString(), message),
                extra);
    }
    if (state == u"57014"_s) {
        return QMStoreBackends::makeError(
                QMPersistentStoreTimeoutError,
                u"The PostgreSQL server took longer than its statement time-out of %1 ms for a "
                u"statement of the store %2 (%3); nothing of this call was saved, and it can be "
                u"tried again."_s.arg(m_statementTimeout)
                        .arg(m_address.url.toDisplayString(), message),
                extra);
    }
    // Another writer's locks held past the time-out, or two writers that each waited for the
    // other: the call can simply be tried again.
    if (state == u"55P03"_s || state == u"40P01"_s || state == u"40001"_s) {
        return QMStoreBackends::makeError(
                QMPersistentStoreTimeoutError,
                u"The store %1 stayed busy with another writer for %2 ms (%3); nothing was "
                u"saved, and the save can be tried again."_s.arg(m_address.url.toDisplayString())
                        .arg(m_timeout)
                        .arg(message),
                extra);
    }
    const QString what = code == QMPersistentStoreSaveError ? u"The save failed"_s
            : code == QMPersistentStoreOperationError       ? u"The store could not be read"_s
            : code == QMMigrationError                      ? u"Its tables could not be changed"_s
                                                            : u"The store could not be opened"_s;
    return QMStoreBackends::makeError(code, u"%1: %2"_s.arg(what, message), extra);
}

bool Connection::run(const QString &sql, const QVariantList &bindings, qint64 code, QMError *error,
                     const Reader &read)
{
    // Statements without values (transactions, schema changes) cannot all be prepared.
    std::shared_ptr<QSqlQuery> q = bindings.isEmpty() ? nullptr : m_cache.value(sql);
    const bool prepare = !bindings.isEmpty() && !q;
    if (!q) {
        q = std::make_shared<QSqlQuery>(m_db);
        q->setForwardOnly(true);
    }
    Watch watch(*this);
    bool ok = true;
    if (prepare) {
        // Predicates bind their values, so the texts are few; the cap keeps a pathological
        // caller from holding every statement forever.
        if (m_cache.size() >= 128)
            m_cache.clear();
        ok = q->prepare(sql);
        if (ok)
            m_cache.insert(sql, q);
    }
    for (qsizetype i = 0; ok && i < bindings.size(); ++i) {
        const QVariant &value = bindings.at(i);
        // Qt SQL binds a null QString as NULL; a text value is never absent.
        const bool nullText = value.typeId() == QMetaType::QString && value.toString().isNull();
        q->bindValue(int(i), nullText ? QVariant(QString(u""_s)) : value);
    }
    ok = ok && (bindings.isEmpty() ? q->exec(sql) : q->exec());
    // Rows arrive one by one, and a result cut short is a failure.
    while (ok && read && q->next())
        read(*q);
    const QSqlError sqlError = q->lastError();
    ok = ok && sqlError.type() == QSqlError::NoError;
    q->finish();
    if (watch.end()) {
        *error = silent(sql);
        return false;
    }
    if (!ok)
        *error = failure(code, sql, sqlError);
    return ok;
}

void Connection::clearCache()
{
    // Qt SQL releases each prepared statement on the server.
    Watch watch(*this);
    m_cache.clear();
}

void Connection::rollback()
{
    // A lost connection has nothing left to roll back.
    if (m_lost || !m_db.isOpen())
        return;
    Watch watch(*this);
    QSqlQuery(m_db).exec(u"ROLLBACK"_s);
}

bool Connection::checkNames(QMError *error) const
{
    // The longest name of each kind: a longer one would be cut short by the server.
    for (const QMEntityDescription &entity : m_model->entities()) {
        QStringList names {entity.name(), sequenceName(entity.name())};
        for (const QMAttributeDescription &a : entity.attributes()) {
            names.append(a.name);
            if (a.type == QMAttributeType::String)
                names.append(QMPredicateSQL::foldedColumn(a.name));
            if (a.indexed)
                names.append(indexName(entity.name(), a.name));
        }
        for (const QString &name : std::as_const(names)) {
            if (name.toUtf8().size() > maximumIdentifierBytes) {
                *error = QMStoreBackends::makeError(
                        QMPersistentStoreInvalidTypeError,
                        u"The model %1 cannot be kept in PostgreSQL: the name %2 (of the entity "
                        u"%3) is longer than the %4 bytes PostgreSQL keeps of a name."_s
                                .arg(m_model->name(), name, entity.name())
                                .arg(maximumIdentifierBytes),
                        {{QMPersistentStoreURLErrorKey, m_address.url}});
                return false;
            }
        }
    }
    return true;
}

bool Connection::open(QString *identifier, QMError *error)
{
    if (!checkNames(error) || !connect(QMFileReadUnknownError, error))
        return false;
    // One process at a time looks at the schema and makes it if it is not there: the lock
    // ends with the transaction.
    const QVariantList lockKey {QString(u"QMFoundation store "_s + m_address.schema)};
    if (!run(u"BEGIN"_s, {}, QMFileReadUnknownError, error))
        return false;
    bool exists = false;
    const bool ok = run(u"SELECT pg_advisory_xact_lock(hashtextextended(?, 0))"_s, lockKey,
                        QMFileReadUnknownError, error)
            && run(u"SELECT to_regclass(?) IS NOT NULL"_s,
                   {QString(quoted(m_address.schema) + u".qm_metadata"_s)}, QMFileReadUnknownError,
                   error, [&](const QSqlQuery &q) { exists = q.value(0).toBool(); })
            && (exists ? checkSchema(identifier, error) : createSchema(identifier, error))
            && run(u"COMMIT"_s, {}, QMFileReadUnknownError, error);
    if (!ok) {
        rollback();
        disconnect();
    }
    m_identifier = *identifier;
    // Made, found or migrated: the store now records this model's hash.
    m_hash = QString::fromLatin1(m_model->versionHash().toHex());
    return ok;
}

bool Connection::readVersion(QString *hash, QString *versionName, QMError *error)
{
    if (!connect(QMFileReadUnknownError, error))
        return false;
    // Nothing this connection runs can change the store, whatever happens.
    bool exists = false;
    if (!run(u"SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY"_s, {}, QMFileReadUnknownError,
             error)
        || !run(u"SELECT to_regclass(?) IS NOT NULL"_s,
                {QString(quoted(m_address.schema) + u".qm_metadata"_s)}, QMFileReadUnknownError,
                error, [&](const QSqlQuery &q) { exists = q.value(0).toBool(); }))
        return false;
    if (!exists) {
        *error = QMStoreBackends::makeError(
                QMFileReadUnknownError,
                u"The store %1 could not be read: it does not exist."_s.arg(
                        m_address.url.toDisplayString()),
                {{QMPersistentStoreURLErrorKey, m_address.url}});
        return false;
    }
    bool found = false;
    if (!run(u"SELECT key, value FROM %1.qm_metadata WHERE key IN ('model', 'version')"_s.arg(
                     quoted(m_address.schema)),
             {}, QMPersistentStoreIncompatibleSchemaError, error, [&](const QSqlQuery &q) {
                 if (q.value(0).toString() == u"model"_s) {
                     *hash = q.value(1).toString();
                     found = true;
                 } else {
                     *versionName = q.value(1).toString();
                 }
             }))
        return false;
    if (!found) {
        *error = QMStoreBackends::makeError(
                QMPersistentStoreIncompatibleSchemaError,
                u"The schema of %1 is not a store: it records no model."_s.arg(
                        m_address.url.toDisplayString()),
                {{QMPersistentStoreURLErrorKey, m_address.url}});
        return false;
    }
    return true;
}

bool Connection::migratedElsewhere(qint64 code, const QString &recordedHash, QMError *error)
{
    if (recordedHash == m_hash)
        return false;
    QString version;
    QMError ignored;
    run(u"SELECT value FROM %1.qm_metadata WHERE key = 'version'"_s.arg(quoted(m_address.schema)),
        {}, code, &ignored, [&](const QSqlQuery &q) { version = q.value(0).toString(); });
    QVariantMap extra {{QMPersistentStoreURLErrorKey, m_address.url}};
    if (!error->isNull())
        extra.insert(QMUnderlyingErrorKey, QVariant::fromValue(*error));
    const bool saving = code == QMPersistentStoreSaveError;
    *error = QMStoreBackends::makeError(
            code,
            u"%1: the store %2 was migrated to %3 of the model %4 by another process since this "
            u"one opened it, so its tables are no longer those of version \"%5\"; %6 Open the "
            u"store again with that version of the model."_s.arg(
                    saving ? u"The save failed"_s : u"The store could not be read"_s,
                    m_address.url.toDisplayString(),
                    version.isEmpty() ? u"another version"_s : u"version \"%1\""_s.arg(version),
                    m_model->name(), m_model->versionName(),
                    saving ? u"nothing was saved."_s : u"nothing was read."_s),
            extra);
    return true;
}

void Connection::explainReadFailure(QMError *error)
{
    if (m_lost)
        return;
    QString recorded;
    QMError ignored;
    if (run(u"SELECT value FROM %1.qm_metadata WHERE key = 'model'"_s.arg(quoted(m_address.schema)),
            {}, QMPersistentStoreOperationError, &ignored,
            [&](const QSqlQuery &q) { recorded = q.value(0).toString(); }))
        migratedElsewhere(QMPersistentStoreOperationError, recorded, error);
}

bool Connection::createSchema(QString *identifier, QMError *error)
{
    *identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QString hash = QString::fromLatin1(m_model->versionHash().toHex());
    const QString schema = quoted(m_address.schema);
    QList<std::pair<QString, QVariantList>> sql {
            {u"CREATE SCHEMA IF NOT EXISTS %1"_s.arg(schema), {}},
            {u"CREATE TABLE %1.qm_metadata (key text PRIMARY KEY, value text NOT NULL)"_s.arg(
                     schema),
             {}},
            {u"INSERT INTO %1.qm_metadata VALUES ('identifier', ?), ('model', ?), "
             u"('version', ?)"_s.arg(schema),
             {*identifier, hash, m_model->versionName()}}};
    for (const QMEntityDescription &entity : m_model->entities()) {
        sql.append({tableDefinition(entity, entity.name()), {}});
        for (const QMAttributeDescription &a : entity.attributes()) {
            if (a.indexed)
                sql.append({u"CREATE INDEX %1 ON %2 (%3)"_s.arg(
                                    quoted(indexName(entity.name(), a.name)), table(entity.name()),
                                    quoted(a.name)),
                            {}});
        }
        sql.append(
                {u"CREATE SEQUENCE %1.%2"_s.arg(schema, quoted(sequenceName(entity.name()))), {}});
    }
    for (const auto &[text, bindings] : std::as_const(sql)) {
        if (!run(text, bindings, QMFileReadUnknownError, error))
            return false;
    }
    return true;
}

bool Connection::checkSchema(QString *identifier, QMError *error)
{
    QHash<QString, QString> metadata;
    QMError ignored;
    if (!run(u"SELECT key, value FROM %1.qm_metadata"_s.arg(quoted(m_address.schema)), {},
             QMPersistentStoreIncompatibleSchemaError, &ignored, [&](const QSqlQuery &q) {
                 metadata.insert(q.value(0).toString(), q.value(1).toString());
             })) {
        *error = m_lost ? ignored : incompatible(u"it has no store metadata"_s);
        return false;
    }
    *identifier = metadata.value(u"identifier"_s);
    if (QUuid::fromString(*identifier).isNull()) {
        *error = incompatible(u"it has no store identifier"_s);
        return false;
    }
    const auto source
            = QMMigration::sourceVersion(m_model, metadata.value(u"model"_s),
                                         metadata.value(u"version"_s), m_address.url, error);
    if (!source)
        return false;
    // Read under the lock of open(), so that of two processes opening an old store at once the
    // second finds it migrated. A store that recorded no version name (or another name of the
    // same schema) may still differ in its indexes: it is brought to the version's indexes and
    // records its name.
    const bool otherVersion = source->versionIndex() != m_model->versionIndex();
    const bool unrecorded
            = metadata.value(u"version"_s) != m_model->versionName() && m_settings.automatic;
    if ((otherVersion || unrecorded) && !migrateFrom(source, error))
        return false;
    // The hash could match a schema edited by hand whose tables differ; the columns decide.
    for (const QMEntityDescription &entity : m_model->entities()) {
        QStringList found;
        if (!run(u"SELECT column_name FROM information_schema.columns WHERE table_schema = ? "
                 u"AND table_name = ?"_s,
                 {m_address.schema, entity.name()}, QMPersistentStoreIncompatibleSchemaError, error,
                 [&](const QSqlQuery &q) { found.append(q.value(0).toString()); }))
            return false;
        QStringList expected {u"qm_pk"_s, versionColumn};
        for (const QMAttributeDescription &a : entity.attributes()) {
            expected.append(a.name);
            if (a.type == QMAttributeType::String)
                expected.append(QMPredicateSQL::foldedColumn(a.name));
        }
        found.sort();
        expected.sort();
        if (found != expected) {
            *error = incompatible(u"the table of %1 has other columns"_s.arg(entity.name()));
            return false;
        }
    }
    return true;
}

QVariantList Connection::columnValues(const QMEntityDescription &entity, const QVariantList &values)
{
    QVariantList stored;
    const QList<QMAttributeDescription> &attributes = entity.attributes();
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        const QMAttributeDescription &a = attributes.at(i);
        const QVariant value = QMPersistenceValue::toStorage(values.value(i), a.type);
        stored.append(value);
        if (a.type == QMAttributeType::String)
            stored.append(value.isValid() ? QVariant(QMPersistenceValue::folded(value.toString()))
                                          : QVariant());
    }
    return stored;
}

bool Connection::readObject(const QSqlQuery &q, int first, const QMEntityDescription *entity,
                            qint64 *number, QVariantList *values)
{
    const QMPostgreSQLClient::Row row(*m_client, q);
    if (!row.isValid() || !row.integer(first, number)) {
        m_unreadable = u"an object number"_s;
        return false;
    }
    if (!entity)
        return true;
    const QList<QMAttributeDescription> &attributes = entity->attributes();
    values->resize(attributes.size());
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        if (!row.value(first + 1 + int(i), attributes.at(i).type, &(*values)[i])) {
            m_unreadable = u"the %1 of the object %2 of %3"_s.arg(attributes.at(i).name)
                                   .arg(*number)
                                   .arg(entity->name());
            return false;
        }
    }
    return true;
}

QMError Connection::unreadable(qint64 code) const
{
    return QMStoreBackends::makeError(
            code,
            u"The store %1 could not be read: the server sent %2 in a form the column's type "
            u"never has."_s.arg(m_address.url.toDisplayString(), m_unreadable),
            {{QMPersistentStoreURLErrorKey, m_address.url}});
}

// The columns a read selects: the object number, then the attributes' values.
QString selectList(const QMEntityDescription &entity, bool withValues)
{
    QString sql = u"qm_pk"_s;
    if (withValues) {
        for (const QMAttributeDescription &a : entity.attributes())
            sql += u", "_s + quoted(a.name);
    }
    return sql;
}

bool Connection::fetch(const QMEntityDescription &entity,
                       const QMPredicateSQL::Condition &condition,
                       const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
                       QList<QMStoreRow> *rows, QMError *error, const QMRowBatches &)
{
    // The whole answer is checked before any of it counts (a row the client cannot read fails
    // the fetch), so nothing is handed over early.
    rows->clear();
    if (!ready(QMPersistentStoreOperationError, error))
        return false;
    QString sql = u"SELECT "_s + selectList(entity, withValues) + u" FROM "_s + table(entity.name())
            + u" WHERE "_s + condition.sql + u" ORDER BY "_s;
    // Absent values first ascending and last descending: the order of the value rules.
    for (const QMFetchSortDescriptor &d : sort)
        sql += quoted(d.key) + (d.ascending ? u" ASC NULLS FIRST, "_s : u" DESC NULLS LAST, "_s);
    sql += u"qm_pk"_s;
    if (limit > 0)
        sql += u" LIMIT "_s + QString::number(limit);
    QList<QMStoreRow> found;
    bool read = true;
    if (!run(sql, condition.bindings, QMPersistentStoreOperationError, error,
             [&](const QSqlQuery &q) {
                 QMStoreRow row;
                 read = read
                         && readObject(q, 0, withValues ? &entity : nullptr, &row.number,
                                       &row.values);
                 found.append(std::move(row));
             })) {
        explainReadFailure(error);
        return false;
    }
    if (!read) {
        *error = unreadable(QMPersistentStoreOperationError);
        explainReadFailure(error);
        return false;
    }
    *rows = std::move(found);
    return true;
}

qsizetype Connection::count(const QMEntityDescription &entity,
                            const QMPredicateSQL::Condition &condition, QMError *error)
{
    if (!ready(QMPersistentStoreOperationError, error))
        return -1;
    qsizetype n = -1;
    if (!run(u"SELECT count(*) FROM "_s + table(entity.name()) + u" WHERE "_s + condition.sql,
             condition.bindings, QMPersistentStoreOperationError, error,
             [&](const QSqlQuery &q) { n = qsizetype(q.value(0).toLongLong()); })) {
        explainReadFailure(error);
        return -1;
    }
    return n;
}

bool Connection::readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                         QMError *error)
{
    if (!ready(QMPersistentStoreOperationError, error))
        return false;
    bool found = false;
    bool read = true;
    if (!run(u"SELECT "_s + selectList(entity, true) + u" FROM "_s + table(entity.name())
                     + u" WHERE qm_pk = ?"_s,
             {number}, QMPersistentStoreOperationError, error, [&](const QSqlQuery &q) {
                 found = true;
                 qint64 ignored = 0;
                 read = readObject(q, 0, &entity, &ignored, values);
             })) {
        explainReadFailure(error);
        return false;
    }
    if (!read) {
        *error = unreadable(QMPersistentStoreOperationError);
        explainReadFailure(error);
        return false;
    }
    return found;
}

bool Connection::lockRows(const QMStoreChanges &changes, QMError *error)
{
    // Every row the save changes or deletes, locked until the commit, entity by entity in name
    // order and by number within each, so that two saves lock in one order.
    QMap<QString, QList<qint64>> byEntity;
    for (const auto *table : {&changes.updated, &changes.deleted}) {
        for (auto it = table->cbegin(); it != table->cend(); ++it) {
            for (const QMStoreUpdate &row : it.value())
                byEntity[it.key()].append(row.number);
        }
    }
    for (auto it = byEntity.begin(); it != byEntity.end(); ++it) {
        std::sort(it->begin(), it->end());
        QStringList numbers;
        for (qint64 n : std::as_const(*it))
            numbers.append(QString::number(n));
        if (!run(u"SELECT qm_pk FROM %1 WHERE qm_pk = ANY (CAST(? AS bigint[])) ORDER BY qm_pk "
                 u"FOR UPDATE"_s.arg(table(it.key())),
                 {QString(u"{"_s + numbers.join(u","_s) + u"}"_s)}, QMPersistentStoreSaveError,
                 error))
            return false;
    }
    return true;
}

bool Connection::writeRows(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error)
{
    const auto entityOf = [&](const QString &name) -> const QMEntityDescription * {
        const QMEntityDescription *entity = m_model->entityForName(name);
        if (!entity)
            *error = QMStoreBackends::makeError(
                    QMPersistentStoreSaveError,
                    u"The save failed: the model has no entity %1."_s.arg(name),
                    {{QMPersistentStoreURLErrorKey, m_address.url}});
        return entity;
    };
    // A text PostgreSQL cannot hold is refused before anything is written.
    const auto refuseNul = [&](const QMEntityDescription &entity, const QVariantList &values) {
        for (qsizetype i = 0; i < entity.attributes().size(); ++i) {
            const QMAttributeDescription &a = entity.attributes().at(i);
            if (a.type == QMAttributeType::String
                && values.value(i).toString().contains(QChar(0))) {
                *error = QMStoreBackends::makeError(
                        QMPersistentStoreSaveError,
                        u"The save failed: the attribute %1 of an object of %2 holds the "
                        u"character U+0000, which a PostgreSQL text cannot hold."_s.arg(
                                a.name, entity.name()),
                        {{QMPersistentStoreURLErrorKey, m_address.url}});
                return false;
            }
        }
        return true;
    };
    for (auto it = changes.updated.cbegin(); it != changes.updated.cend(); ++it) {
        const QMEntityDescription *entity = entityOf(it.key());
        if (!entity)
            return false;
        for (const QMStoreUpdate &row : it.value()) {
            if (!refuseNul(*entity, row.values))
                return false;
        }
    }
    for (auto it = changes.inserted.cbegin(); it != changes.inserted.cend(); ++it) {
        const QMEntityDescription *entity = entityOf(it.key());
        if (!entity)
            return false;
        for (const QMStoreRow &row : it.value()) {
            if (!refuseNul(*entity, row.values))
                return false;
        }
    }
    for (auto it = changes.deleted.cbegin(); it != changes.deleted.cend(); ++it) {
        if (!entityOf(it.key()))
            return false;
        for (const QMStoreUpdate &row : it.value()) {
            if (!run(u"DELETE FROM %1 WHERE qm_pk = ?"_s.arg(table(it.key())), {row.number},
                     QMPersistentStoreSaveError, error))
                return false;
        }
    }
    const auto columnsOf = [](const QMEntityDescription &entity) {
        QStringList columns;
        for (const QMAttributeDescription &a : entity.attributes()) {
            columns.append(quoted(a.name));
            if (a.type == QMAttributeType::String)
                columns.append(quoted(QMPredicateSQL::foldedColumn(a.name)));
        }
        return columns;
    };
    for (auto it = changes.updated.cbegin(); it != changes.updated.cend(); ++it) {
        const QMEntityDescription &entity = *m_model->entityForName(it.key());
        QStringList assignments;
        for (const QString &column : columnsOf(entity))
            assignments.append(column + u" = ?"_s);
        assignments.append(quoted(versionColumn) + u" = "_s + quoted(versionColumn) + u" + 1"_s);
        const QString sql = u"UPDATE %1 SET %2 WHERE qm_pk = ?"_s.arg(table(it.key()),
                                                                      assignments.join(u", "_s));
        for (const QMStoreUpdate &row : it.value()) {
            QVariantList bindings = columnValues(entity, row.values);
            bindings.append(row.number);
            if (!run(sql, bindings, QMPersistentStoreSaveError, error))
                return false;
        }
    }
    QMStoreNumbers given;
    for (auto it = changes.inserted.cbegin(); it != changes.inserted.cend(); ++it) {
        if (it->isEmpty())
            continue;
        const QMEntityDescription &entity = *m_model->entityForName(it.key());
        QList<qint64> &taken = given[it.key()];
        if (!run(u"SELECT nextval(CAST(? AS regclass)) FROM generate_series(1, ?)"_s,
                 {QString(quoted(m_address.schema) + u"."_s + quoted(sequenceName(it.key()))),
                  qint64(it->size())},
                 QMPersistentStoreSaveError, error,
                 [&](const QSqlQuery &q) { taken.append(q.value(0).toLongLong()); }))
            return false;
        const QStringList columns = columnsOf(entity);
        QStringList marks(columns.size() + 1, u"?"_s);
        const QString sql = u"INSERT INTO %1 (qm_pk%2) VALUES (%3)"_s.arg(
                table(it.key()), columns.isEmpty() ? QString() : u", "_s + columns.join(u", "_s),
                marks.join(u", "_s));
        for (qsizetype r = 0; r < it->size(); ++r) {
            QVariantList bindings {taken.value(r)};
            bindings.append(columnValues(entity, it->at(r).values));
            if (!run(sql, bindings, QMPersistentStoreSaveError, error))
                return false;
        }
    }
    *numbers = std::move(given);
    return true;
}

bool Connection::committedAfterLoss(const QString &txid, const QMError &lost, QMError *error)
{
    QMError reconnect;
    QString status;
    if (connect(QMPersistentStoreSaveError, &reconnect)
        && run(u"SELECT txid_status(CAST(? AS bigint))"_s, {txid}, QMPersistentStoreSaveError,
               &reconnect, [&](const QSqlQuery &q) { status = q.value(0).toString(); })
        && status == u"committed"_s)
        return true;
    // "in progress": the server may still be committing the COMMIT it received.
    if (!reconnect.isNull() || status.isEmpty() || status == u"in progress"_s) {
        // Neither the server nor this process can tell: say so rather than guess.
        *error = QMStoreBackends::makeError(
                QMPersistentStoreSaveError,
                u"The connection to the PostgreSQL server %1 was lost while the save was being "
                u"committed, and whether the server kept it cannot be told now (%2)."_s.arg(
                        m_address.server.toDisplayString(),
                        lost.userInfo().value(u"QMPostgreSQLMessage"_s).toString()),
                lost.userInfo());
        m_lost = true;
        return false;
    }
    *error = lost;
    return false;
}

bool Connection::save(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error)
{
    if (!ready(QMPersistentStoreSaveError, error))
        return false;
    QString txid;
    if (!run(u"BEGIN"_s, {}, QMPersistentStoreSaveError, error))
        return false;
    const auto fail = [&] {
        rollback();
        return false;
    };
    // The store must still be at the version it was opened at: a migration by another process
    // locks the same row before it changes anything, so a save under way ends first and one that
    // comes later waits for the migration and then finds the new version.
    QString recordedHash;
    if (!run(u"SELECT txid_current(), value FROM %1.qm_metadata WHERE key = 'model' "
             u"FOR KEY SHARE"_s.arg(quoted(m_address.schema)),
             {}, QMPersistentStoreSaveError, error,
             [&](const QSqlQuery &q) {
                 txid = q.value(0).toString();
                 recordedHash = q.value(1).toString();
             })
        || migratedElsewhere(QMPersistentStoreSaveError, recordedHash, error)
        || !lockRows(changes, error))
        return fail();
    const auto current = [&](const QMEntityDescription &entity, qint64 number, QVariantList *values,
                             QMError *readError) {
        return readRow(entity, number, values, readError);
    };
    if (!QMStoreBackends::checkConflicts(changes, *m_model, m_identifier, current, error))
        return fail();
    QMStoreNumbers given;
    if (!writeRows(changes, &given, error))
        return fail();
    QMError commitError;
    const auto loss = connectionLoss.exchange(QMStoreBackends::PostgreSQLConnectionLoss::None);
    const auto endOwnConnection = [&] {
        QMError ignored;
        run(u"SELECT pg_terminate_backend(pg_backend_pid())"_s, {}, QMPersistentStoreSaveError,
            &ignored);
        m_lost = false; // found out by the statement that follows, as without the test
    };
    if (loss == QMStoreBackends::PostgreSQLConnectionLoss::BeforeCommit)
        endOwnConnection();
    bool committed = run(u"COMMIT"_s, {}, QMPersistentStoreSaveError, &commitError);
    if (committed && loss == QMStoreBackends::PostgreSQLConnectionLoss::AfterCommit) {
        endOwnConnection();
        committed = run(u"SELECT 1"_s, {}, QMPersistentStoreSaveError, &commitError);
    }
    if (!committed) {
        if (!m_lost) {
            *error = commitError;
            return fail();
        }
        if (!committedAfterLoss(txid, commitError, error))
            return false;
    }
    *numbers = std::move(given);
    return true;
}

// Migration.
//
// The whole migration, every step from the store's version to the model's, runs inside the
// transaction in which open() holds the store's lock and read its version: PostgreSQL changes
// tables transactionally, so a failure anywhere (a host migration that stops, a lost connection,
// a killed process) leaves the store at its old version, and a second process opening the same
// old store waits for the lock and then finds it migrated. Columns are changed in place: added
// with their default (which PostgreSQL records once rather than writing every row), renamed,
// dropped, or retyped; only a widening to text and a host migration go through the rows, since
// their values are this library's own text forms, and a host migration builds the table anew.

// The table and column a value is moved to while names change hands.
const QString scratchTable = u"qm#migrating"_s;
QString scratchColumn(qsizetype i)
{
    return u"qm#column"_s + QString::number(i);
}
const QString textColumn = u"qm#text"_s;
// Rows read at a time when the host's code passes over them.
constexpr qsizetype migrationBatch = 500;

// The SQL literal of a stored value of `type`, for a column's default; empty when PostgreSQL
// cannot hold it (a text with U+0000).
QString postgreSQLLiteral(const QVariant &stored, QMAttributeType type)
{
    switch (type) {
    case QMAttributeType::String: {
        QString text = stored.toString();
        if (text.contains(QChar(0)))
            return QString();
        // An escape string reads the same whatever standard_conforming_strings says.
        text.replace(u"\\"_s, u"\\\\"_s).replace(u"'"_s, u"''"_s);
        return u"CAST(E'%1' AS text)"_s.arg(text);
    }
    case QMAttributeType::Double: {
        const double d = stored.toDouble();
        const QString text = std::isnan(d) ? u"NaN"_s
                : std::isinf(d)            ? (d > 0 ? u"Infinity"_s : u"-Infinity"_s)
                                           : QString::number(d, 'g', 17);
        return u"CAST('%1' AS double precision)"_s.arg(text);
    }
    case QMAttributeType::Binary:
        return u"decode('%1', 'hex')"_s.arg(QString::fromLatin1(stored.toByteArray().toHex()));
    case QMAttributeType::Integer:
    case QMAttributeType::Boolean:
    case QMAttributeType::Date:
        return u"CAST(%1 AS bigint)"_s.arg(stored.toLongLong());
    }
    return QString();
}

QString Connection::tableDefinition(const QMEntityDescription &entity, const QString &name) const
{
    QStringList columns {u"qm_pk bigint PRIMARY KEY"_s,
                         quoted(versionColumn) + u" bigint NOT NULL DEFAULT 1"_s};
    for (const QMAttributeDescription &a : entity.attributes()) {
        columns.append(quoted(a.name) + u" "_s + QMStoreBackends::postgreSQLColumnType(a.type));
        if (a.type == QMAttributeType::String)
            columns.append(quoted(QMPredicateSQL::foldedColumn(a.name)) + u" "_s
                           + QMStoreBackends::postgreSQLColumnType(a.type));
    }
    return u"CREATE TABLE %1 (%2)"_s.arg(table(name), columns.join(u", "_s));
}

bool Connection::migrateFrom(const std::shared_ptr<const QMManagedObjectModel> &source,
                             QMError *error)
{
    std::optional<QMMigrationPlan> plan
            = QMMigration::planOpening(m_settings, source, m_model, m_address.url, error);
    if (!plan)
        return false;
    // Statements prepared before a table changed are not used after it.
    clearCache();
    QMError failure;
    const auto fail = [&] {
        clearCache();
        *error = QMMigration::failed(*plan, m_address.url, failure.localizedDescription(), failure);
        return false;
    };
    // The server's notices of IF EXISTS that found nothing are of no use to the host.
    // Processes that opened the store under its old version check its model hash in every save
    // under a lock that conflicts with this one (Connection::save()): saves under way end
    // before the migration changes anything, and later ones wait for it and then fail.
    if (!ddl(u"SET LOCAL client_min_messages = warning"_s, &failure)
        || !run(u"SELECT value FROM %1.qm_metadata WHERE key = 'model' FOR UPDATE"_s.arg(
                        quoted(m_address.schema)),
                {}, QMMigrationError, &failure))
        return fail();
    for (const QMMigrationStep &step : QMMigrationPlanAccess::steps(*plan)) {
        for (const QMMigrationEntityStep &entity : step.entities) {
            if (!migrateEntity(entity, &failure))
                return fail();
            clearCache();
        }
    }
    if (!syncIndexes(&failure)
        || !run(u"INSERT INTO %1.qm_metadata VALUES ('model', ?), ('version', ?) ON CONFLICT (key) "
                u"DO UPDATE SET value = EXCLUDED.value"_s.arg(quoted(m_address.schema)),
                {QString::fromLatin1(m_model->versionHash().toHex()), m_model->versionName()},
                QMMigrationError, &failure))
        return fail();
    // The server keeps no copy of its own: the transaction undoes a failed migration, and the
    // server's backups keep the store's earlier states (QMMigrationBackupOption is for files).
    m_migration.plan = *plan;
    return true;
}

bool Connection::migrateEntity(const QMMigrationEntityStep &step, QMError *error)
{
    const QString sequence = quoted(m_address.schema) + u"."_s + quoted(sequenceName(step.name));
    switch (step.action) {
    case QMMigrationEntityStep::Add:
        return ddl(u"DROP TABLE IF EXISTS %1"_s.arg(table(step.name)), error)
                && ddl(tableDefinition(*step.to, step.name), error)
                && ddl(u"DROP SEQUENCE IF EXISTS %1"_s.arg(sequence), error)
                && ddl(u"CREATE SEQUENCE %1"_s.arg(sequence), error);
    case QMMigrationEntityStep::Remove:
        return ddl(u"DROP TABLE IF EXISTS %1"_s.arg(table(step.name)), error)
                && ddl(u"DROP SEQUENCE IF EXISTS %1"_s.arg(sequence), error);
    case QMMigrationEntityStep::InPlace:
    case QMMigrationEntityStep::Rebuild:
        return alterColumns(step, error);
    case QMMigrationEntityStep::Host:
        return migrateWithHost(step, error);
    }
    return false;
}

bool Connection::alterColumns(const QMMigrationEntityStep &step, QMError *error)
{
    const QString t = table(step.name);
    const QList<QMAttributeDescription> &from = step.from->attributes();
    const QList<QMAttributeDescription> &to = step.to->attributes();
    const auto rename = [&](const QString &before, const QString &after, QMAttributeType type) {
        const QString sql = u"ALTER TABLE %1 RENAME COLUMN %2 TO %3"_s;
        return ddl(sql.arg(t, quoted(before), quoted(after)), error)
                && (type != QMAttributeType::String
                    || ddl(sql.arg(t, quoted(QMPredicateSQL::foldedColumn(before)),
                                   quoted(QMPredicateSQL::foldedColumn(after))),
                           error));
    };
    const auto renamed = [&](qsizetype i) {
        const qsizetype source = step.columns.at(i).source;
        return source >= 0 && from.at(source).name != to.at(i).name;
    };
    // Renamed columns move out of the way first, so that names may change hands (a swap, or an
    // added attribute under a renamed one's former name).
    QList<bool> kept(from.size(), false);
    for (qsizetype i = 0; i < to.size(); ++i) {
        const qsizetype source = step.columns.at(i).source;
        if (source < 0)
            continue;
        kept[source] = true;
        if (renamed(i) && !rename(from.at(source).name, scratchColumn(i), from.at(source).type))
            return false;
    }
    for (qsizetype j = 0; j < from.size(); ++j) {
        if (kept.at(j))
            continue;
        QString sql = u"ALTER TABLE %1 DROP COLUMN %2"_s.arg(t, quoted(from.at(j).name));
        if (from.at(j).type == QMAttributeType::String)
            sql += u", DROP COLUMN "_s + quoted(QMPredicateSQL::foldedColumn(from.at(j).name));
        if (!ddl(sql, error))
            return false;
    }
    for (qsizetype i = 0; i < to.size(); ++i) {
        const QMMigrationColumn &column = step.columns.at(i);
        const QMAttributeDescription &a = to.at(i);
        if (column.source < 0) {
            if (!addColumn(step.name, a, column.fill, error))
                return false;
            continue;
        }
        const QMAttributeType old = from.at(column.source).type;
        if (renamed(i) && !rename(scratchColumn(i), a.name, old))
            return false;
        if (column.conversion == QMMigrationColumn::ToDouble
            && !ddl(u"ALTER TABLE %1 ALTER COLUMN %2 TYPE double precision USING CAST(%2 AS "
                    u"double precision)"_s.arg(t, quoted(a.name)),
                    error))
            return false;
        if (column.conversion == QMMigrationColumn::ToText
            && !convertToText(step.name, a.name, old, error))
            return false;
        if (!column.fill.isValid())
            continue;
        // Made required: the objects without a value take the default.
        const QVariant fill = QMPersistenceValue::toStorage(column.fill, a.type);
        QString sql = u"UPDATE %1 SET %2 = ?"_s.arg(t, quoted(a.name));
        QVariantList bindings {fill};
        if (a.type == QMAttributeType::String) {
            sql += u", %1 = ?"_s.arg(quoted(QMPredicateSQL::foldedColumn(a.name)));
            bindings.append(QMPersistenceValue::folded(fill.toString()));
        }
        if (!run(sql + u" WHERE %1 IS NULL"_s.arg(quoted(a.name)), bindings, QMMigrationError,
                 error))
            return false;
    }
    return true;
}

bool Connection::addColumn(const QString &entity, const QMAttributeDescription &a,
                           const QVariant &fill, QMError *error)
{
    const QString type = QMStoreBackends::postgreSQLColumnType(a.type);
    const bool text = a.type == QMAttributeType::String;
    const QString folded = QMPredicateSQL::foldedColumn(a.name);
    const QVariant stored = QMPersistenceValue::toStorage(fill, a.type);
    QString sql = u"ALTER TABLE %1 ADD COLUMN %2 %3"_s.arg(table(entity), quoted(a.name), type);
    QString foldedSQL = u", ADD COLUMN %1 %2"_s.arg(quoted(folded), type);
    if (stored.isValid()) {
        const QString value = postgreSQLLiteral(stored, a.type);
        if (value.isEmpty()) {
            *error = QMStoreBackends::makeError(
                    QMMigrationError,
                    u"the default of the attribute %1 of %2 holds the character U+0000, which a "
                    u"PostgreSQL text cannot hold"_s.arg(a.name, entity));
            return false;
        }
        // The default is recorded once for the rows there are, then dropped: the store writes
        // every value itself, as in a store made by the version.
        sql += u" DEFAULT "_s + value;
        if (text)
            foldedSQL += u" DEFAULT "_s
                    + postgreSQLLiteral(QMPersistenceValue::folded(stored.toString()), a.type);
    }
    if (text)
        sql += foldedSQL;
    if (!ddl(sql, error))
        return false;
    if (!stored.isValid())
        return true;
    sql = u"ALTER TABLE %1 ALTER COLUMN %2 DROP DEFAULT"_s.arg(table(entity), quoted(a.name));
    if (text)
        sql += u", ALTER COLUMN %1 DROP DEFAULT"_s.arg(quoted(folded));
    return ddl(sql, error);
}

bool Connection::readBatch(const QString &entity, const QString &columns, qint64 after,
                           qsizetype batch, const Reader &read, QMError *error)
{
    // In batches rather than one statement: Qt SQL reads a forward-only result row by row, and
    // another statement on the connection would cut it short.
    return run(u"SELECT %1 FROM %2 WHERE qm_pk > ? ORDER BY qm_pk LIMIT %3"_s.arg(
                       columns, table(entity), QString::number(batch)),
               {after}, QMMigrationError, error, read);
}

bool Connection::convertToText(const QString &entity, const QString &column, QMAttributeType from,
                               QMError *error)
{
    // The text forms are the library's own (QMMigration::textOf()), which no expression of the
    // server's gives for every value: each value goes through this process.
    const QString t = table(entity);
    const QString type = QMStoreBackends::postgreSQLColumnType(QMAttributeType::String);
    if (!ddl(u"ALTER TABLE %1 ADD COLUMN %2 %3, ADD COLUMN %4 %3"_s.arg(
                     t, quoted(textColumn), type, quoted(QMPredicateSQL::foldedColumn(textColumn))),
             error))
        return false;
    const QString update = u"UPDATE %1 SET %2 = ?, %3 = ? WHERE qm_pk = ?"_s.arg(
            t, quoted(textColumn), quoted(QMPredicateSQL::foldedColumn(textColumn)));
    qint64 last = std::numeric_limits<qint64>::min();
    for (;;) {
        QList<std::pair<qint64, QVariant>> values;
        if (!readBatch(
                    entity, u"qm_pk, "_s + quoted(column), last, migrationBatch,
                    [&](const QSqlQuery &q) {
                        values.append({q.value(0).toLongLong(),
                                       QMPersistenceValue::fromStorage(
                                               q.isNull(1) ? QVariant() : q.value(1), from)});
                    },
                    error))
            return false;
        for (const auto &[number, value] : std::as_const(values)) {
            if (!value.isValid())
                continue;
            const QString text = QMMigration::textOf(value, from);
            if (!run(update, {text, QMPersistenceValue::folded(text), number}, QMMigrationError,
                     error))
                return false;
        }
        if (values.size() < migrationBatch)
            break;
        last = values.last().first;
    }
    // A widened value was no text: it had no folded column.
    return ddl(u"ALTER TABLE %1 DROP COLUMN %2"_s.arg(t, quoted(column)), error)
            && ddl(u"ALTER TABLE %1 RENAME COLUMN %2 TO %3"_s.arg(t, quoted(textColumn),
                                                                  quoted(column)),
                   error)
            && ddl(u"ALTER TABLE %1 RENAME COLUMN %2 TO %3"_s.arg(
                           t, quoted(QMPredicateSQL::foldedColumn(textColumn)),
                           quoted(QMPredicateSQL::foldedColumn(column))),
                   error);
}

bool Connection::migrateWithHost(const QMMigrationEntityStep &step, QMError *error)
{
    // The old table steps aside, its key constraint (and index) renamed with it, so that the
    // new one is made under the names a store made by the version has.
    QString key;
    if (!run(u"SELECT conname FROM pg_constraint WHERE conrelid = CAST(? AS regclass) AND "
             u"contype = 'p'"_s,
             {table(step.name)}, QMMigrationError, error,
             [&](const QSqlQuery &q) { key = q.value(0).toString(); })
        || !ddl(u"DROP TABLE IF EXISTS %1"_s.arg(table(scratchTable)), error)
        || !ddl(u"ALTER TABLE %1 RENAME TO %2"_s.arg(table(step.name), quoted(scratchTable)), error)
        || (!key.isEmpty()
            && !ddl(u"ALTER TABLE %1 RENAME CONSTRAINT %2 TO %3"_s.arg(
                            table(scratchTable), quoted(key), quoted(scratchTable + u"_pkey"_s)),
                    error))
        || !ddl(tableDefinition(*step.to, step.name), error))
        return false;
    QStringList columns {u"qm_pk"_s, quoted(versionColumn)};
    for (const QMAttributeDescription &a : step.to->attributes()) {
        columns.append(quoted(a.name));
        if (a.type == QMAttributeType::String)
            columns.append(quoted(QMPredicateSQL::foldedColumn(a.name)));
    }
    const QString insert = u"INSERT INTO %1 (%2) VALUES (%3)"_s.arg(
            table(step.name), columns.join(u", "_s),
            QStringList(columns.size(), u"?"_s).join(u", "_s));
    // The row's version goes up: its values were made anew.
    const QString read = quoted(versionColumn) + u" + 1, "_s + selectList(*step.from, true);
    qint64 last = std::numeric_limits<qint64>::min();
    for (;;) {
        struct Row
        {
            qint64 number;
            qint64 version;
            QVariantList values;
        };
        QList<Row> rows;
        bool readable = true;
        if (!readBatch(
                    scratchTable, read, last, migrationBatch,
                    [&](const QSqlQuery &q) {
                        Row row {0, q.value(0).toLongLong(), {}};
                        readable
                                = readable && readObject(q, 1, step.from, &row.number, &row.values);
                        rows.append(std::move(row));
                    },
                    error))
            return false;
        if (!readable) {
            *error = unreadable(QMMigrationError);
            return false;
        }
        for (const Row &row : std::as_const(rows)) {
            QVariantList values;
            bool keep = true;
            if (!QMMigration::migrateValues(step, row.values, &values, &keep, error))
                return false;
            if (!keep)
                continue;
            for (qsizetype i = 0; i < values.size(); ++i) {
                const QMAttributeDescription &a = step.to->attributes().at(i);
                if (a.type == QMAttributeType::String
                    && values.at(i).toString().contains(QChar(0))) {
                    *error = QMStoreBackends::makeError(
                            QMMigrationError,
                            u"the migration of %1 gave %2 a text with the character U+0000, "
                            u"which a PostgreSQL text cannot hold"_s.arg(step.name, a.name));
                    return false;
                }
            }
            QVariantList bindings {row.number, row.version};
            bindings.append(columnValues(*step.to, values));
            if (!run(insert, bindings, QMMigrationError, error))
                return false;
        }
        if (rows.size() < migrationBatch)
            break;
        last = rows.last().number;
    }
    return ddl(u"DROP TABLE %1"_s.arg(table(scratchTable)), error);
}

bool Connection::syncIndexes(QMError *error)
{
    // The store's indexes by name, with the table and column each is on: a column renamed keeps
    // its index under the former name, and a new column may take that name.
    struct Index
    {
        QString table;
        QString column;
    };
    QHash<QString, Index> existing;
    if (!run(u"SELECT i.relname, t.relname, a.attname FROM pg_index x "
             u"JOIN pg_class i ON i.oid = x.indexrelid JOIN pg_class t ON t.oid = x.indrelid "
             u"JOIN pg_namespace n ON n.oid = t.relnamespace "
             u"JOIN pg_attribute a ON a.attrelid = t.oid AND a.attnum = x.indkey[0] "
             u"WHERE n.nspname = ? AND i.relname LIKE ?"_s,
             {m_address.schema, QString(u"qm\\_index\\_%"_s)}, QMMigrationError, error,
             [&](const QSqlQuery &q) {
                 existing.insert(q.value(0).toString(),
                                 {q.value(1).toString(), q.value(2).toString()});
             }))
        return false;
    QSet<QString> wanted;
    for (const QMEntityDescription &entity : m_model->entities()) {
        for (const QMAttributeDescription &a : entity.attributes()) {
            if (!a.indexed)
                continue;
            const QString name = indexName(entity.name(), a.name);
            wanted.insert(name);
            const auto found = existing.constFind(name);
            if (found != existing.cend() && found->table == entity.name()
                && found->column == a.name)
                continue;
            if ((found != existing.cend()
                 && !ddl(u"DROP INDEX %1.%2"_s.arg(quoted(m_address.schema), quoted(name)), error))
                || !ddl(u"CREATE INDEX %1 ON %2 (%3)"_s.arg(quoted(name), table(entity.name()),
                                                            quoted(a.name)),
                        error))
                return false;
        }
    }
    for (auto it = existing.cbegin(); it != existing.cend(); ++it) {
        if (!wanted.contains(it.key())
            && !ddl(u"DROP INDEX %1.%2"_s.arg(quoted(m_address.schema), quoted(it.key())), error))
            return false;
    }
    return true;
}

class PostgreSQLStore final : public QMStoreThreading::ThreadedStore<Connection>
{
public:
    PostgreSQLStore(std::shared_ptr<const QMManagedObjectModel> model, Address address,
                    QString password, const QVariantMap &options)
        : ThreadedStore(address.url, address.url.toDisplayString(),
                        QMPredicateSQL::Dialect::PostgreSQL)
        , m_model(std::move(model))
        , m_address(std::move(address))
        , m_password(std::move(password))
        , m_timeout(QMStoreBackends::timeoutOf(options))
        , m_settings(QMMigration::settingsOf(options))
    { }

    bool open(QMError *error)
    {
        return ThreadedStore::open(
                [this](QString *identifier, QMError *failure) {
                    auto c = std::make_unique<Connection>(m_model, m_address, m_password, m_timeout,
                                                          m_settings, thread());
                    return c->open(identifier, failure) ? std::move(c) : nullptr;
                },
                error, [this](Connection &c) { m_migration = c.migration(); });
    }

    QMStoreMigration migration() const override { return m_migration; }

private:
    std::shared_ptr<const QMManagedObjectModel> m_model;
    Address m_address;
    QString m_password;
    int m_timeout;
    QMMigration::Settings m_settings;
    QMStoreMigration m_migration; // set by open()
};

} // namespace

void QMStoreBackends::setPostgreSQLConnectionLossForTesting(PostgreSQLConnectionLoss loss)
{
    connectionLoss = loss;
}

QString QMStoreBackends::postgreSQLColumnType(QMAttributeType type)
{
    switch (type) {
    case QMAttributeType::String:
        return u"text COLLATE \"C\""_s;
    case QMAttributeType::Double:
        return u"double precision"_s;
    case QMAttributeType::Binary:
        return u"bytea"_s;
    case QMAttributeType::Integer:
    case QMAttributeType::Boolean:
    case QMAttributeType::Date:
        return u"bigint"_s;
    }
    return QString();
}

bool QMStoreBackends::postgreSQLPassword(const QUrl &url, const QVariantMap &options,
                                         QVariantMap *backendOptions, QMError *error)
{
    const std::optional<Address> address = addressOf(url, error);
    if (!address)
        return false;
    *backendOptions = options;
    backendOptions->remove(passwordOption);
    const QVariant provider = options.value(QMPostgreSQLPasswordProviderOption);
    if (!provider.isValid())
        return true;
    if (!provider.canConvert<QMPostgreSQLPasswordProvider>()
        || !provider.value<QMPostgreSQLPasswordProvider>()) {
        *error = makeError(QMPersistentStoreInvalidTypeError,
                           u"The option %1 holds no QMPostgreSQLPasswordProvider."_s.arg(
                                   QMPostgreSQLPasswordProviderOption),
                           {{QMPersistentStoreURLErrorKey, url}});
        return false;
    }
    // The host's code: what it throws ends here, as a failure to add the store.
    QString password;
    try {
        password = provider.value<QMPostgreSQLPasswordProvider>()(address->server);
    } catch (const std::exception &e) {
        *error = makeError(QMPersistentStoreInvalidTypeError,
                           u"The password provider failed: %1"_s.arg(QString::fromUtf8(e.what())),
                           {{QMPersistentStoreURLErrorKey, address->server}});
        return false;
    } catch (...) {
        *error = makeError(QMPersistentStoreInvalidTypeError, u"The password provider failed."_s,
                           {{QMPersistentStoreURLErrorKey, address->server}});
        return false;
    }
    backendOptions->insert(passwordOption, password.isNull() ? QString(u""_s) : password);
    return true;
}

bool QMStoreBackends::readPostgreSQLVersion(const QUrl &url, const QVariantMap &options,
                                            QString *hash, QString *versionName, QMError *error)
{
    std::optional<Address> address = addressOf(url, error);
    if (!address)
        return false;
    // On a thread of its own, as a store's connection: the connection is made, used and
    // removed there, whatever thread asks.
    bool ok = false;
    QMError failure;
    QMStoreThreading::StoreThread thread;
    thread.run([&] {
        Connection connection(nullptr, *address, options.value(passwordOption).toString(),
                              timeoutOf(options), QMMigration::Settings(), thread);
        ok = connection.readVersion(hash, versionName, &failure);
    });
    if (!ok)
        *error = failure;
    return ok;
}

std::unique_ptr<QMStoreBackend>
QMStoreBackends::openPostgreSQL(const std::shared_ptr<const QMManagedObjectModel> &model,
                                const QUrl &url, const QVariantMap &options, QMError *error)
{
    std::optional<Address> address = addressOf(url, error);
    if (!address)
        return nullptr;
    auto store = std::make_unique<PostgreSQLStore>(
            model, std::move(*address), options.value(passwordOption).toString(), options);
    if (!store->open(error))
        return nullptr;
    return store;
}

// The SQLite store, on Qt SQL's SQLite driver, with a thread of its own.
//
// A Qt SQL connection may only be used by the thread that opened it, and must be closed and
// removed there too. The coordinator, though, calls its store from whichever thread its contexts
// run on (one call at a time, under its mutex), and the thread that removes the store need not be
// the one that added it. So the store owns one thread that opens the connection, runs every
// statement and finally closes and removes the connection; each call of the store interface hands
// that thread a job and waits for it, and rows and errors come back by value. The hand-over is
// std::mutex and std::condition_variable, which ThreadSanitizer can follow (it cannot see inside
// the distribution's Qt). Object numbers are the one exception: one is given out per inserted
// object, far too many to send each to the thread, so they stay on the callers' side under a lock
// of their own, and a save on the store thread reads them under the same lock.

#include "persistence/QMPersistenceError.h"
#include "persistence/QMPersistenceValue_p.h"
#include "persistence/QMPredicate.h"
#include "persistence/QMPredicateSQL_p.h"
#include "persistence/QMStoreBackend_p.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUuid>

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

QString quoted(const QString &name)
{
    // Model names are checked identifiers, so the quotes need no escaping.
    return u"\""_s + name + u"\""_s;
}

QString columnType(QMAttributeType type)
{
    switch (type) {
    case QMAttributeType::String:
        return u"TEXT"_s;
    case QMAttributeType::Double:
        return u"REAL"_s;
    case QMAttributeType::Binary:
        return u"BLOB"_s;
    case QMAttributeType::Integer:
    case QMAttributeType::Boolean:
    case QMAttributeType::Date:
        return u"INTEGER"_s;
    }
    return QString();
}

// A statement prepared on the connection's own SQLite handle. Saves write through these rather
// than QSqlQuery: a save of many objects binds every value of every row, and SQLite's binding
// calls take the values as they are, without the QVariant lists and placeholder names that Qt
// SQL builds for each row. Reads stay on QSqlQuery.
class Statement
{
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool prepare(sqlite3 *db, const QString &sql)
    {
        m_sql = sql;
        return sqlite3_prepare16_v3(db, sql.utf16(), int(sql.size() * 2), SQLITE_PREPARE_PERSISTENT,
                                    &m_statement, nullptr)
                == SQLITE_OK;
    }
    QString sql() const { return m_sql; }

    // Binds `value`, an attribute value of `type`, to parameter `index` (from 1) as the store
    // keeps it (QMPersistenceValue::toStorage()); the value must outlive execute().
    bool bind(int index, const QVariant &value, QMAttributeType type)
    {
        const QVariant stored = QMPersistenceValue::toStorage(value, type);
        switch (stored.typeId()) {
        case QMetaType::UnknownType:
            return sqlite3_bind_null(m_statement, index) == SQLITE_OK;
        case QMetaType::LongLong:
            return sqlite3_bind_int64(m_statement, index, stored.toLongLong()) == SQLITE_OK;
        case QMetaType::Double:
            return sqlite3_bind_double(m_statement, index, stored.toDouble()) == SQLITE_OK;
        case QMetaType::QString: {
            const QString text = stored.toString();
            // The text is copied unless it is the value's own, which lives on.
            const bool same = value.typeId() == QMetaType::QString
                    && static_cast<const QString *>(value.constData())->constData()
                            == text.constData();
            return sqlite3_bind_text16(m_statement, index, text.utf16(), int(text.size() * 2),
                                       same ? SQLITE_STATIC : SQLITE_TRANSIENT)
                    == SQLITE_OK;
        }
        case QMetaType::QByteArray: {
            const QByteArray bytes = stored.toByteArray();
            const bool same = value.typeId() == QMetaType::QByteArray
                    && static_cast<const QByteArray *>(value.constData())->constData()
                            == bytes.constData();
            // A zero-length blob, not NULL, for empty bytes.
            return sqlite3_bind_blob64(m_statement, index, bytes.constData(),
                                       sqlite3_uint64(bytes.size()),
                                       same ? SQLITE_STATIC : SQLITE_TRANSIENT)
                    == SQLITE_OK;
        }
        default:
            return false;
        }
    }
    bool bindNumber(int index, qint64 number)
    {
        return sqlite3_bind_int64(m_statement, index, number) == SQLITE_OK;
    }

    // Runs the statement once, then makes it ready for new values.
    bool execute()
    {
        const int status = sqlite3_step(m_statement);
        // The message goes with the next call on the connection, so it is read at once.
        m_message = status == SQLITE_DONE || status == SQLITE_ROW
                ? QString()
                : QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(m_statement)));
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
        return m_message.isNull();
    }
    // SQLite's message for the last failure of bind() or execute().
    QString message() const
    {
        return m_message.isNull()
                ? QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(m_statement)))
                : m_message;
    }

private:
    sqlite3_stmt *m_statement = nullptr;
    QString m_sql;
    QString m_message;
};

// Runs jobs one at a time on a thread of its own. Any thread may call run(); it waits for the
// job, so a job may capture the caller's locals by reference.
class StoreThread
{
public:
    // A QThread rather than a std::thread: Qt SQL makes QObjects on the thread, and Qt adopts a
    // foreign thread that does so with bookkeeping it never frees (LeakSanitizer reports it).
    StoreThread()
        : m_thread(QThread::create([this] { loop(); }))
    {
        m_thread->start();
    }
    ~StoreThread() { stop(); }
    StoreThread(const StoreThread &) = delete;
    StoreThread &operator=(const StoreThread &) = delete;

    // Runs `job` on the thread and rethrows what it threw; false, without running it, once the
    // thread has stopped.
    bool run(const std::function<void()> &job)
    {
        std::lock_guard caller(m_callers);
        std::unique_lock lock(m_mutex);
        if (m_stopping)
            return false;
        m_job = &job;
        m_done = false;
        m_wake.notify_all();
        m_wake.wait(lock, [this] { return m_done; });
        m_job = nullptr;
        if (std::exception_ptr thrown = std::exchange(m_thrown, nullptr))
            std::rethrow_exception(thrown);
        return true;
    }

    // Ends the thread once its current job, if any, is done.
    void stop()
    {
        {
            std::lock_guard caller(m_callers);
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (!m_thread)
            return;
        {
            // The loop says it has left through the mutex, which ThreadSanitizer sees; it cannot
            // see inside QThread::wait().
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_exited; });
        }
        m_thread->wait();
        m_thread.reset();
    }

private:
    void loop()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return (m_job && !m_done) || m_stopping; });
            if (!m_job || m_done) {
                m_exited = true;
                m_wake.notify_all();
                return;
            }
            const std::function<void()> *job = m_job;
            lock.unlock();
            std::exception_ptr thrown;
            try {
                (*job)();
            } catch (...) {
                // An exception must not end the thread: the caller gets it instead.
                thrown = std::current_exception();
            }
            lock.lock();
            m_thrown = thrown;
            m_done = true;
            m_wake.notify_all();
        }
    }

    std::mutex m_callers; // one job at a time, whatever the caller
    std::mutex m_mutex; // guards the fields below
    std::condition_variable m_wake;
    const std::function<void()> *m_job = nullptr;
    bool m_done = false;
    bool m_stopping = false;
    std::exception_ptr m_thrown;
    bool m_exited = false;
    std::unique_ptr<QThread> m_thread; // last, so that it starts once the fields above exist
};

// Object numbers, given out on the callers' threads and written by saves on the store thread.
struct Numbers
{
    std::mutex mutex;
    QHash<QString, qint64> next; // the next number of each entity
    QHash<QString, qint64> saved; // what the file holds
};

// The prepared statements of one entity that every save and read uses.
struct EntityQueries
{
    Statement insert;
    Statement update;
    Statement remove;
    std::unique_ptr<QSqlQuery> read;
};

// The Qt SQL connection and its statements. Made, used and destroyed on the store thread only.
class Connection
{
public:
    Connection(std::shared_ptr<const QMManagedObjectModel> model, const QUrl &url, Numbers &numbers)
        : m_model(std::move(model))
        , m_url(url)
        , m_numbers(numbers)
    { }
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool open(QString *identifier, QMError *error);
    bool fetch(const QMEntityDescription &entity, const QMPredicateSQL::Condition &condition,
               const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
               QList<QMStoreRow> *rows, QMError *error);
    qsizetype count(const QMEntityDescription &entity, const QMPredicateSQL::Condition &condition,
                    QMError *error);
    bool readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                 QMError *error);
    bool save(const QMStoreChanges &changes, QMError *error);

private:
    std::unique_ptr<QSqlQuery> prepare(const QString &sql, QMError *error, qint64 code);
    std::unique_ptr<QSqlQuery> run(const QString &sql, QMError *error, qint64 code,
                                   const QVariantList &bindings = {});
    QSqlQuery *cached(const QString &sql, QMError *error);
    EntityQueries *queries(const QMEntityDescription &entity, QMError *error);
    QMError sqlError(qint64 code, const QString &sql, const QSqlError &sqlError) const;
    QMError sqlError(qint64 code, const QString &sql, QString message) const;
    QMError incompatible(const QString &why) const;
    bool createSchema(QString *identifier, QMError *error);
    bool checkSchema(QString *identifier, QMError *error);
    void rollback();

    std::shared_ptr<const QMManagedObjectModel> m_model;
    QUrl m_url;
    Numbers &m_numbers;
    QString m_name; // of the Qt SQL connection; empty until it is added
    QSqlDatabase m_db;
    sqlite3 *m_handle = nullptr; // the driver's, for the statements of saves
    QHash<QString, std::shared_ptr<EntityQueries>> m_entities;
    // Fetch and count statements by SQL text: one per predicate shape, so a repeated fetch
    // only binds new values.
    QHash<QString, std::shared_ptr<QSqlQuery>> m_cache;
    std::unique_ptr<QSqlQuery> m_begin;
    std::unique_ptr<QSqlQuery> m_commit;
    std::unique_ptr<QSqlQuery> m_rollback;
    std::unique_ptr<QSqlQuery> m_sequence;
};

Connection::~Connection()
{
    if (m_name.isEmpty())
        return;
    // Qt SQL removes a connection cleanly only once no query or handle of it is left.
    m_entities.clear();
    m_cache.clear();
    m_begin.reset();
    m_commit.reset();
    m_rollback.reset();
    m_sequence.reset();
    // The last connection's close checkpoints the log and removes "-wal" and "-shm".
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

QMError Connection::sqlError(qint64 code, const QString &sql, const QSqlError &sqlError) const
{
    // The database text is SQLite's own message; the driver text only says which step failed.
    QString message = sqlError.databaseText();
    if (message.isEmpty())
        message = sqlError.driverText();
    return this->sqlError(code, sql, message);
}

QMError Connection::sqlError(qint64 code, const QString &sql, QString message) const
{
    if (message.isEmpty())
        message = u"unknown error"_s;
    const QString what = code == QMPersistentStoreSaveError ? u"The save failed"_s
            : code == QMPersistentStoreOperationError       ? u"The store could not be read"_s
                                                            : u"The store could not be opened"_s;
    return QMStoreBackends::makeError(code, u"%1: %2."_s.arg(what, message),
                                      {{QMPersistentStoreURLErrorKey, m_url},
                                       {u"QMSQLiteStatement"_s, sql},
                                       {u"QMSQLiteMessage"_s, message}});
}

std::unique_ptr<QSqlQuery> Connection::prepare(const QString &sql, QMError *error, qint64 code)
{
    auto query = std::make_unique<QSqlQuery>(m_db);
    // Rows are read once, in order: no cache of earlier rows to fill.
    query->setForwardOnly(true);
    if (!query->prepare(sql)) {
        *error = sqlError(code, sql, query->lastError());
        return nullptr;
    }
    return query;
}

// A statement run once; the query holds its rows, if any.
std::unique_ptr<QSqlQuery> Connection::run(const QString &sql, QMError *error, qint64 code,
                                           const QVariantList &bindings)
{
    std::unique_ptr<QSqlQuery> query = prepare(sql, error, code);
    if (!query)
        return nullptr;
    for (qsizetype i = 0; i < bindings.size(); ++i)
        query->bindValue(int(i), bindings.at(i));
    if (!query->exec()) {
        *error = sqlError(code, sql, query->lastError());
        return nullptr;
    }
    return query;
}

QSqlQuery *Connection::cached(const QString &sql, QMError *error)
{
    if (QSqlQuery *query = m_cache.value(sql).get())
        return query;
    // Predicates with values written in could make endless distinct texts; bound values do
    // not, but a cap keeps a pathological caller from holding every statement forever.
    if (m_cache.size() >= 128)
        m_cache.clear();
    std::shared_ptr<QSqlQuery> query = prepare(sql, error, QMPersistentStoreOperationError);
    if (query)
        m_cache.insert(sql, query);
    return query.get();
}

EntityQueries *Connection::queries(const QMEntityDescription &entity, QMError *error)
{
    if (EntityQueries *found = m_entities.value(entity.name()).get())
        return found;
    QStringList columns;
    QStringList marks {u"?"_s};
    QStringList assignments;
    for (const QMAttributeDescription &a : entity.attributes()) {
        columns.append(quoted(a.name));
        marks.append(u"?"_s);
        assignments.append(quoted(a.name) + u" = ?"_s);
    }
    const QString table = quoted(entity.name());
    const QString insert = u"INSERT INTO %1 (qm_pk%2) VALUES (%3)"_s.arg(
            table, columns.isEmpty() ? QString() : u", "_s + columns.join(u", "_s),
            marks.join(u", "_s));
    const QString update = assignments.isEmpty()
            ? u"UPDATE %1 SET qm_pk = qm_pk WHERE qm_pk = ?"_s.arg(table)
            : u"UPDATE %1 SET %2 WHERE qm_pk = ?"_s.arg(table, assignments.join(u", "_s));
    const QString remove = u"DELETE FROM %1 WHERE qm_pk = ?"_s.arg(table);
    const QString read = u"SELECT qm_pk%1 FROM %2 WHERE qm_pk = ?"_s.arg(
            columns.isEmpty() ? QString() : u", "_s + columns.join(u", "_s), table);
    auto q = std::make_shared<EntityQueries>();
    for (auto [statement, sql] : {std::pair {&q->insert, &insert}, std::pair {&q->update, &update},
                                  std::pair {&q->remove, &remove}}) {
        if (!statement->prepare(m_handle, *sql)) {
            *error = sqlError(QMPersistentStoreSaveError, *sql, statement->message());
            return nullptr;
        }
    }
    if (!(q->read = prepare(read, error, QMPersistentStoreOperationError)))
        return nullptr;
    m_entities.insert(entity.name(), q);
    return q.get();
}

QMError Connection::incompatible(const QString &why) const
{
    return QMStoreBackends::makeError(QMPersistentStoreIncompatibleSchemaError,
                                      u"The store %1 was not made for the model %2: %3."_s.arg(
                                              m_url.toLocalFile(), m_model->name(), why),
                                      {{QMPersistentStoreURLErrorKey, m_url}});
}

bool Connection::open(QString *identifier, QMError *error)
{
    const QString path = m_url.toLocalFile();
    const bool existed = QFileInfo::exists(path);
    const QMError notReadable = QMStoreBackends::makeError(
            QMFileReadUnknownError, u"The store file %1 could not be opened or made."_s.arg(path),
            {{QMPersistentStoreURLErrorKey, m_url}});
    if (existed && !QFileInfo(path).isFile()) {
        *error = notReadable;
        return false;
    }
    static std::atomic<quint64> connections {0};
    m_name = u"QMSQLiteStore-%1"_s.arg(++connections);
    m_db = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_name);
    if (!m_db.isValid()) {
        *error = QMStoreBackends::makeError(
                QMFileReadUnknownError,
                u"The store file %1 could not be opened: Qt SQL has no SQLite driver (QSQLITE)."_s
                        .arg(path),
                {{QMPersistentStoreURLErrorKey, m_url}});
        return false;
    }
    m_db.setDatabaseName(path);
    m_db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=5000"_s);
    if (!m_db.open()) {
        *error = notReadable;
        return false;
    }
    // The predicate functions are SQLite functions: they need the driver's own handle.
    const QVariant handle = m_db.driver()->handle();
    sqlite3 *db = qstrcmp(handle.typeName(), "sqlite3*") == 0
            ? *static_cast<sqlite3 *const *>(handle.constData())
            : nullptr;
    if (!db) {
        *error = notReadable;
        return false;
    }
    m_handle = db;

    // The first statements read the header and every page: a file that is not a database, or a
    // damaged one, fails here rather than on some later fetch.
    const auto corrupt = [&](const QString &why) {
        *error = QMStoreBackends::makeError(
                QMFileReadCorruptFileError,
                u"The file %1 is not a readable SQLite store: %2."_s.arg(path, why),
                {{QMPersistentStoreURLErrorKey, m_url}});
        return false;
    };
    const auto messageOf = [](const QMError &e) {
        return e.userInfo().value(u"QMSQLiteMessage"_s).toString();
    };
    QMError failure;
    if (!run(u"PRAGMA journal_mode=WAL"_s, &failure, QMFileReadCorruptFileError))
        return corrupt(messageOf(failure));
    {
        const auto check = run(u"PRAGMA quick_check"_s, &failure, QMFileReadCorruptFileError);
        if (!check)
            return corrupt(messageOf(failure));
        const QString verdict
                = check->next() ? check->value(0).toString() : check->lastError().databaseText();
        if (verdict != u"ok"_s)
            return corrupt(verdict);
    }
    if (!QMPredicateSQL::registerFunctions(db, error))
        return false;

    qint64 objects = 0;
    {
        const auto tables
                = run(u"SELECT count(*) FROM sqlite_schema"_s, error, QMFileReadCorruptFileError);
        if (!tables)
            return false;
        if (tables->next())
            objects = tables->value(0).toLongLong();
    }
    if (!(m_begin = prepare(u"BEGIN IMMEDIATE"_s, error, QMFileReadUnknownError))
        || !(m_commit = prepare(u"COMMIT"_s, error, QMFileReadUnknownError))
        || !(m_rollback = prepare(u"ROLLBACK"_s, error, QMFileReadUnknownError)))
        return false;
    if (!(objects == 0 ? createSchema(identifier, error) : checkSchema(identifier, error)))
        return false;
    m_sequence = prepare(u"INSERT OR REPLACE INTO qm_sequence VALUES (?, ?)"_s, error,
                         QMFileReadUnknownError);
    return m_sequence != nullptr;
}

void Connection::rollback()
{
    // Failing here leaves nothing to undo: SQLite has already ended the transaction.
    m_rollback->exec();
}

bool Connection::createSchema(QString *identifier, QMError *error)
{
    *identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QString hash = QString::fromLatin1(m_model->versionHash().toHex());
    // The whole schema goes in one transaction, so a store is either made entirely or not.
    struct Statement
    {
        QString sql;
        QVariantList bindings;
    };
    QList<Statement> sql {
            {u"CREATE TABLE qm_metadata (key TEXT PRIMARY KEY, value TEXT NOT NULL)"_s, {}},
            {u"INSERT INTO qm_metadata VALUES ('identifier', ?), ('model', ?)"_s,
             {*identifier, hash}},
            {u"CREATE TABLE qm_sequence (entity TEXT PRIMARY KEY, next INTEGER NOT NULL)"_s, {}}};
    for (const QMEntityDescription &entity : m_model->entities()) {
        QStringList columns {u"qm_pk INTEGER PRIMARY KEY"_s};
        for (const QMAttributeDescription &a : entity.attributes())
            columns.append(quoted(a.name) + u" "_s + columnType(a.type));
        sql.append(
                {u"CREATE TABLE %1 (%2)"_s.arg(quoted(entity.name()), columns.join(u", "_s)), {}});
        for (const QMAttributeDescription &a : entity.attributes()) {
            if (a.indexed)
                sql.append({u"CREATE INDEX %1 ON %2 (%3)"_s.arg(
                                    quoted(u"qm_index_"_s + entity.name() + u"_"_s + a.name),
                                    quoted(entity.name()), quoted(a.name)),
                            {}});
        }
        sql.append({u"INSERT INTO qm_sequence VALUES (?, 1)"_s, {entity.name()}});
    }
    if (!m_begin->exec()) {
        *error = sqlError(QMFileReadUnknownError, m_begin->lastQuery(), m_begin->lastError());
        return false;
    }
    for (const Statement &statement : std::as_const(sql)) {
        if (!run(statement.sql, error, QMFileReadUnknownError, statement.bindings)) {
            rollback();
            return false;
        }
    }
    if (!m_commit->exec()) {
        *error = sqlError(QMFileReadUnknownError, m_commit->lastQuery(), m_commit->lastError());
        rollback();
        return false;
    }
    std::lock_guard lock(m_numbers.mutex);
    for (const QMEntityDescription &entity : m_model->entities())
        m_numbers.next[entity.name()] = m_numbers.saved[entity.name()] = 1;
    return true;
}

bool Connection::checkSchema(QString *identifier, QMError *error)
{
    QMError ignored;
    const auto meta = run(u"SELECT key, value FROM qm_metadata"_s, &ignored,
                          QMPersistentStoreIncompatibleSchemaError);
    if (!meta) {
        *error = incompatible(u"it has no store metadata"_s);
        return false;
    }
    QString hash;
    while (meta->next()) {
        const QString key = meta->value(0).toString();
        if (key == u"identifier"_s)
            *identifier = meta->value(1).toString();
        else if (key == u"model"_s)
            hash = meta->value(1).toString();
    }
    if (QUuid::fromString(*identifier).isNull()) {
        *error = incompatible(u"it has no store identifier"_s);
        return false;
    }
    if (hash != QString::fromLatin1(m_model->versionHash().toHex())) {
        *error = incompatible(u"its model version differs"_s);
        return false;
    }
    // The hash could match a hand-edited file whose tables differ; the columns decide.
    for (const QMEntityDescription &entity : m_model->entities()) {
        const auto info = run(u"PRAGMA table_info(%1)"_s.arg(quoted(entity.name())), error,
                              QMPersistentStoreIncompatibleSchemaError);
        if (!info)
            return false;
        QStringList found;
        while (info->next())
            found.append(info->value(1).toString());
        QStringList expected {u"qm_pk"_s};
        expected.append(entity.attributeNames());
        found.sort();
        expected.sort();
        if (found != expected) {
            *error = incompatible(u"the table of %1 has other columns"_s.arg(entity.name()));
            return false;
        }
    }
    const auto sequence = run(u"SELECT entity, next FROM qm_sequence"_s, &ignored,
                              QMPersistentStoreIncompatibleSchemaError);
    if (!sequence) {
        *error = incompatible(u"it has no object numbers"_s);
        return false;
    }
    QHash<QString, qint64> next;
    while (sequence->next())
        next[sequence->value(0).toString()] = sequence->value(1).toLongLong();
    const QHash<QString, qint64> saved = next;
    for (const QMEntityDescription &entity : m_model->entities()) {
        // Numbers are never given twice, even if the sequence table was edited behind our back.
        const auto max = run(u"SELECT max(qm_pk) FROM %1"_s.arg(quoted(entity.name())), error,
                             QMFileReadCorruptFileError);
        if (!max)
            return false;
        const qint64 highest = max->next() ? max->value(0).toLongLong() : 0;
        qint64 &n = next[entity.name()];
        // A store that could not take a single object more is damaged, as in the XML store.
        if (highest == std::numeric_limits<qint64>::max()
            || n == std::numeric_limits<qint64>::max()) {
            *error = incompatible(u"the object numbers of %1 are used up"_s.arg(entity.name()));
            return false;
        }
        n = std::max(n, highest + 1);
    }
    std::lock_guard lock(m_numbers.mutex);
    m_numbers.next = next;
    m_numbers.saved = saved;
    return true;
}

bool Connection::fetch(const QMEntityDescription &entity,
                       const QMPredicateSQL::Condition &condition,
                       const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
                       QList<QMStoreRow> *rows, QMError *error)
{
    rows->clear();
    QString sql = u"SELECT qm_pk"_s;
    if (withValues) {
        for (const QMAttributeDescription &a : entity.attributes())
            sql += u", "_s + quoted(a.name);
    }
    sql += u" FROM "_s + quoted(entity.name()) + u" WHERE "_s + condition.sql + u" ORDER BY "_s;
    // SQLite puts NULLs first ascending and last descending: the order of the value rules.
    for (const QMFetchSortDescriptor &d : sort)
        sql += quoted(d.key) + (d.ascending ? u" ASC, "_s : u" DESC, "_s);
    sql += u"qm_pk"_s;
    if (limit > 0)
        sql += u" LIMIT "_s + QString::number(limit);
    QSqlQuery *query = cached(sql, error);
    if (!query)
        return false;
    for (qsizetype i = 0; i < condition.bindings.size(); ++i)
        query->bindValue(int(i), condition.bindings.at(i));
    if (!query->exec()) {
        *error = sqlError(QMPersistentStoreOperationError, sql, query->lastError());
        query->finish();
        return false;
    }
    const QList<QMAttributeDescription> &attributes = entity.attributes();
    while (query->next()) {
        QMStoreRow row;
        row.number = query->value(0).toLongLong();
        if (withValues) {
            row.values.reserve(attributes.size());
            for (qsizetype i = 0; i < attributes.size(); ++i)
                row.values.append(QMPersistenceValue::fromStorage(query->value(int(i) + 1),
                                                                  attributes.at(i).type));
        }
        rows->append(std::move(row));
    }
    // next() is false at the end and on an error alike.
    const QSqlError failure = query->lastError();
    query->finish();
    if (failure.type() != QSqlError::NoError) {
        rows->clear();
        *error = sqlError(QMPersistentStoreOperationError, sql, failure);
        return false;
    }
    return true;
}

qsizetype Connection::count(const QMEntityDescription &entity,
                            const QMPredicateSQL::Condition &condition, QMError *error)
{
    const QString sql
            = u"SELECT count(*) FROM "_s + quoted(entity.name()) + u" WHERE "_s + condition.sql;
    QSqlQuery *query = cached(sql, error);
    if (!query)
        return -1;
    for (qsizetype i = 0; i < condition.bindings.size(); ++i)
        query->bindValue(int(i), condition.bindings.at(i));
    qsizetype n = -1;
    if (query->exec() && query->next())
        n = qsizetype(query->value(0).toLongLong());
    else
        *error = sqlError(QMPersistentStoreOperationError, sql, query->lastError());
    // A statement left on its row would keep its read transaction, and with it an old snapshot.
    query->finish();
    return n;
}

bool Connection::readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                         QMError *error)
{
    const EntityQueries *q = queries(entity, error);
    if (!q)
        return false;
    QSqlQuery &read = *q->read;
    read.bindValue(0, number);
    bool found = false;
    if (read.exec()) {
        found = read.next();
        if (found) {
            values->clear();
            for (qsizetype i = 0; i < entity.attributes().size(); ++i)
                values->append(QMPersistenceValue::fromStorage(read.value(int(i) + 1),
                                                               entity.attributes().at(i).type));
        }
    }
    if (!found && read.lastError().type() != QSqlError::NoError)
        *error = sqlError(QMPersistentStoreOperationError, read.lastQuery(), read.lastError());
    read.finish();
    return found;
}

bool Connection::save(const QMStoreChanges &changes, QMError *error)
{
    if (!m_begin->exec()) {
        *error = sqlError(QMPersistentStoreSaveError, m_begin->lastQuery(), m_begin->lastError());
        return false;
    }
    const auto fail = [&](QSqlQuery *query) {
        if (query)
            *error = sqlError(QMPersistentStoreSaveError, query->lastQuery(), query->lastError());
        rollback();
        return false;
    };
    const auto failed = [&](const Statement &statement) {
        *error = sqlError(QMPersistentStoreSaveError, statement.sql(), statement.message());
        rollback();
        return false;
    };
    const auto entityOf = [&](const QString &name) -> const QMEntityDescription * {
        const QMEntityDescription *entity = m_model->entityForName(name);
        if (!entity)
            *error = QMStoreBackends::makeError(
                    QMPersistentStoreSaveError,
                    u"The save failed: the model has no entity %1."_s.arg(name),
                    {{QMPersistentStoreURLErrorKey, m_url}});
        return entity;
    };
    for (auto it = changes.deleted.cbegin(); it != changes.deleted.cend(); ++it) {
        const QMEntityDescription *entity = entityOf(it.key());
        EntityQueries *q = entity ? queries(*entity, error) : nullptr;
        if (!q)
            return fail(nullptr);
        for (qint64 number : it.value()) {
            if (!q->remove.bindNumber(1, number) || !q->remove.execute())
                return failed(q->remove);
        }
    }
    for (int pass = 0; pass < 2; ++pass) {
        const auto &table = pass == 0 ? changes.inserted : changes.updated;
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            const QMEntityDescription *entity = entityOf(it.key());
            EntityQueries *q = entity ? queries(*entity, error) : nullptr;
            if (!q)
                return fail(nullptr);
            const QList<QMAttributeDescription> &attributes = entity->attributes();
            Statement &statement = pass == 0 ? q->insert : q->update;
            const int n = int(attributes.size());
            // INSERT binds (qm_pk, values...); UPDATE binds (values..., qm_pk); from 1.
            const int first = pass == 0 ? 2 : 1;
            for (const QMStoreRow &row : it.value()) {
                bool bound = statement.bindNumber(pass == 0 ? 1 : n + 1, row.number);
                for (int i = 0; bound && i < n; ++i)
                    bound = statement.bind(first + i, row.values.value(i), attributes.at(i).type);
                if (!bound || !statement.execute())
                    return failed(statement);
            }
        }
    }
    // Numbers given out since the last save are kept, so a reopened store never gives them again.
    QHash<QString, qint64> next;
    QHash<QString, qint64> saved;
    {
        std::lock_guard lock(m_numbers.mutex);
        next = m_numbers.next;
        saved = m_numbers.saved;
    }
    for (auto it = next.cbegin(); it != next.cend(); ++it) {
        if (it.value() == saved.value(it.key()))
            continue;
        m_sequence->bindValue(0, it.key());
        m_sequence->bindValue(1, it.value());
        if (!m_sequence->exec())
            return fail(m_sequence.get());
        saved[it.key()] = it.value();
    }
    if (!m_commit->exec())
        return fail(m_commit.get());
    std::lock_guard lock(m_numbers.mutex);
    m_numbers.saved = saved;
    return true;
}

class SQLiteStore final : public QMStoreBackend
{
public:
    SQLiteStore(std::shared_ptr<const QMManagedObjectModel> model, const QUrl &url)
        : m_model(std::move(model))
        , m_url(url)
    { }
    ~SQLiteStore() override { close(); }

    QString identifier() const override { return m_identifier; }

    bool open(QMError *error)
    {
        bool ok = false;
        QMError failure;
        QString identifier;
        m_thread.run([&] {
            m_connection = std::make_unique<Connection>(m_model, m_url, m_numbers);
            ok = m_connection->open(&identifier, &failure);
            if (!ok)
                m_connection.reset();
        });
        if (!ok)
            return report(failure, error);
        m_identifier = identifier;
        return true;
    }

    bool fetch(const QMEntityDescription &entity, const QMPredicate &bound,
               const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
               QList<QMStoreRow> *rows, QMError *error) override
    {
        // Compiled here, so that a broken precondition throws on the caller's thread.
        const QMPredicateSQL::Condition condition = QMPredicateSQL::compile(bound, entity);
        bool ok = false;
        QList<QMStoreRow> found;
        QMError failure;
        perform(
                [&](Connection &c) {
                    ok = c.fetch(entity, condition, sort, limit, withValues, &found, &failure);
                },
                &failure);
        *rows = std::move(found);
        return ok || report(failure, error);
    }

    qsizetype count(const QMEntityDescription &entity, const QMPredicate &bound,
                    QMError *error) override
    {
        const QMPredicateSQL::Condition condition = QMPredicateSQL::compile(bound, entity);
        qsizetype n = -1;
        QMError failure;
        perform([&](Connection &c) { n = c.count(entity, condition, &failure); }, &failure);
        if (n < 0)
            report(failure, error);
        return n;
    }

    bool readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                 QMError *error) override
    {
        bool found = false;
        QVariantList read;
        QMError failure;
        perform([&](Connection &c) { found = c.readRow(entity, number, &read, &failure); },
                &failure);
        if (found)
            *values = std::move(read);
        else if (!failure.isNull())
            report(failure, error);
        return found;
    }

    bool save(const QMStoreChanges &changes, QMError *error) override
    {
        bool ok = false;
        QMError failure;
        perform([&](Connection &c) { ok = c.save(changes, &failure); }, &failure);
        return ok || report(failure, error);
    }

    // Called once per inserted object, so it stays on the caller's thread.
    qint64 allocateNumber(const QString &entityName) override
    {
        std::lock_guard lock(m_numbers.mutex);
        return QMStoreBackends::takeNumber(m_numbers.next[entityName], entityName);
    }

    void close() override
    {
        m_thread.run([this] { m_connection.reset(); });
        m_thread.stop();
    }

private:
    // Runs `job` on the store thread; false with the error when the store is closed.
    bool perform(const std::function<void(Connection &)> &job, QMError *failure)
    {
        bool open = false;
        m_thread.run([&] {
            if (m_connection) {
                open = true;
                job(*m_connection);
            }
        });
        if (!open)
            *failure = QMStoreBackends::makeError(
                    QMPersistentStoreOperationError,
                    u"The store %1 is closed."_s.arg(m_url.toLocalFile()),
                    {{QMPersistentStoreURLErrorKey, m_url}});
        return open;
    }

    static bool report(const QMError &failure, QMError *error)
    {
        if (error)
            *error = failure;
        return false;
    }

    std::shared_ptr<const QMManagedObjectModel> m_model;
    QUrl m_url;
    QString m_identifier; // set by open(), before any other call
    Numbers m_numbers;
    std::unique_ptr<Connection> m_connection; // used on the store thread only
    StoreThread m_thread; // last: it goes first, while the fields its jobs use still exist
};

} // namespace

std::unique_ptr<QMStoreBackend>
QMStoreBackends::openSQLite(const std::shared_ptr<const QMManagedObjectModel> &model,
                            const QUrl &url, QMError *error)
{
    auto store = std::make_unique<SQLiteStore>(model, url);
    if (!store->open(error))
        return nullptr;
    return store;
}

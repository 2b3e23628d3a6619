// The statements of the SQLite store, run on its thread.
//
// Qt SQL opens and closes the connection; every statement runs on SQLite's own handle
// (QSqlDriver::handle()). Qt SQL binds texts as UTF-16, and SQLite takes a leading U+FEFF of a
// UTF-16 text for a byte-order mark and drops it; binding UTF-8 keeps every text as it is. It
// also saves the QVariant lists and placeholder names Qt SQL builds for every row.
//
// Several processes may share the file. Object numbers are taken inside each save's write
// transaction (BEGIN IMMEDIATE, waiting for another writer up to the store's time-out), from the
// sequence table and the largest number in use, so two processes never give one number twice.

#include "QMFoundation/persistence/QMSQLiteConnection_p.h"

#include "QMFoundation/persistence/QMMigration_p.h"
#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QUuid>
#include <QVarLengthArray>

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

// How many rows a fetch reads before it hands them over (Connection::fetch()): few enough that
// the caller starts on them soon, enough that each hand-over's wake-up is a small part.
constexpr qsizetype handOverRows = 256;

QString quoted(const QString &name)
{
    // Model names are checked identifiers, so the quotes need no escaping.
    return u"\""_s + name + u"\""_s;
}

} // namespace

QString QMSQLite::columnType(QMAttributeType type)
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

namespace QMSQLite {

Connection::~Connection()
{
    if (m_name.isEmpty())
        return;
    // Every statement is finalized before Qt SQL closes the handle.
    m_entities.clear();
    m_cache.clear();
    for (Statement *statement : {&m_begin, &m_commit, &m_rollback, &m_nextNumber, &m_setNextNumber})
        statement->finalize();
    // The last connection's close checkpoints the log and removes "-wal" and "-shm".
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

QMError Connection::sqlError(qint64 code, const QString &sql, int status, QString message) const
{
    if (message.isEmpty())
        message = u"unknown error"_s;
    // Another process holding the write lock past the time-out is no fault of the store: the
    // caller may simply try again.
    if ((status & 0xff) == SQLITE_BUSY || (status & 0xff) == SQLITE_LOCKED) {
        return QMStoreBackends::makeError(
                QMPersistentStoreTimeoutError,
                u"The store %1 stayed busy with another process's write for %2 ms (%3); nothing "
                u"was saved, and the save can be tried again."_s.arg(m_url.toLocalFile())
                        .arg(m_timeout)
                        .arg(message),
                {{QMPersistentStoreURLErrorKey, m_url},
                 {u"QMSQLiteStatement"_s, sql},
                 {u"QMSQLiteMessage"_s, message}});
    }
    const QString what = code == QMPersistentStoreSaveError ? u"The save failed"_s
            : code == QMPersistentStoreOperationError       ? u"The store could not be read"_s
                                                            : u"The store could not be opened"_s;
    return QMStoreBackends::makeError(code, u"%1: %2."_s.arg(what, message),
                                      {{QMPersistentStoreURLErrorKey, m_url},
                                       {u"QMSQLiteStatement"_s, sql},
                                       {u"QMSQLiteMessage"_s, message}});
}

QMError Connection::sqlError(qint64 code, const Statement &statement) const
{
    return sqlError(code, statement.sql(), statement.code(), statement.message());
}

bool Connection::run(const QString &sql, QMError *error, qint64 code, const QVariantList &bindings)
{
    return query(
            sql, error, code, [](const Statement &) {}, bindings);
}

bool Connection::query(const QString &sql, QMError *error, qint64 code,
                       const std::function<void(const Statement &)> &read,
                       const QVariantList &bindings)
{
    Statement statement;
    if (!statement.prepare(m_handle, sql) || !statement.bindAll(bindings)) {
        *error = sqlError(code, statement);
        return false;
    }
    while (statement.next())
        read(statement);
    if (statement.failed()) {
        *error = sqlError(code, statement);
        return false;
    }
    return true;
}

Statement *Connection::cached(const QString &sql, QMError *error)
{
    if (Statement *statement = m_cache.value(sql).get())
        return statement;
    // Predicates with values written in could make endless distinct texts; bound values do
    // not, but a cap keeps a pathological caller from holding every statement forever.
    if (m_cache.size() >= 128)
        m_cache.clear();
    auto statement = std::make_shared<Statement>();
    if (!statement->prepare(m_handle, sql)) {
        *error = sqlError(QMPersistentStoreOperationError, *statement);
        return nullptr;
    }
    m_cache.insert(sql, statement);
    return statement.get();
}

EntityStatements *Connection::statements(const QMEntityDescription &entity, QMError *error)
{
    if (EntityStatements *found = m_entities.value(entity.name()).get())
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
    const QString insertInto = u"INSERT INTO %1 (qm_pk%2) VALUES "_s.arg(
            table, columns.isEmpty() ? QString() : u", "_s + columns.join(u", "_s));
    const QString row = u"(%1)"_s.arg(marks.join(u", "_s));
    const QString insert = insertInto + row;
    const QString update = assignments.isEmpty()
            ? u"UPDATE %1 SET qm_pk = qm_pk WHERE qm_pk = ?"_s.arg(table)
            : u"UPDATE %1 SET %2 WHERE qm_pk = ?"_s.arg(table, assignments.join(u", "_s));
    const QString remove = u"DELETE FROM %1 WHERE qm_pk = ?"_s.arg(table);
    const QString read = u"SELECT qm_pk%1 FROM %2 WHERE qm_pk = ?"_s.arg(
            columns.isEmpty() ? QString() : u", "_s + columns.join(u", "_s), table);
    const QString highest = u"SELECT max(qm_pk) FROM %1"_s.arg(table);
    auto q = std::make_shared<EntityStatements>();
    // Many rows go in statements of several rows each (up to 32, within SQLite's limit of
    // parameters): a run of a statement costs SQLite about as much as the row it inserts, and
    // 100,000 rows of six values go in 0.6 times the time of one statement run per row.
    const int parameters = sqlite3_limit(m_handle, SQLITE_LIMIT_VARIABLE_NUMBER, -1);
    q->rowsPerInsert = std::clamp(parameters / int(marks.size()), 1, 32);
    if (q->rowsPerInsert > 1) {
        QStringList rows(q->rowsPerInsert, row);
        q->insertManySQL = insertInto + rows.join(u", "_s);
    }
    for (auto [statement, sql] : {std::pair {&q->insert, &insert}, std::pair {&q->update, &update},
                                  std::pair {&q->remove, &remove}, std::pair {&q->read, &read},
                                  std::pair {&q->highest, &highest}}) {
        if (!statement->prepare(m_handle, *sql)) {
            *error = sqlError(QMPersistentStoreOperationError, *statement);
            return nullptr;
        }
    }
    m_entities.insert(entity.name(), q);
    return q.get();
}

QMError Connection::incompatible(const QString &why) const
{
    return QMMigration::incompatible(*m_model, m_url, why);
}

QString Connection::truncation(const QString &path)
{
    // The header keeps the page size (bytes 16-17, 1 for 65536) and, when bytes 92-95 repeat the
    // change counter at 24-27, the number of pages (28-31) as of the last write to the file;
    // the write-ahead log may add pages, never remove them.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray head = file.read(100);
    if (head.size() < 100 || !head.startsWith(QByteArrayView("SQLite format 3\0", 16)))
        return QString(); // SQLite's own first statement tells what is wrong
    const auto number = [&](int at, int bytes) {
        quint64 value = 0;
        for (int i = 0; i < bytes; ++i)
            value = (value << 8) | quint8(head.at(at + i));
        return value;
    };
    const quint64 pageSize = number(16, 2) == 1 ? 65536 : number(16, 2);
    const quint64 pages = number(28, 4);
    if (number(92, 4) != number(24, 4) || pageSize < 512)
        return QString();
    const quint64 size = quint64(file.size());
    if (pages * pageSize <= size)
        return QString();
    return u"the file holds %1 bytes, and its header says %2"_s.arg(size).arg(pages * pageSize);
}

bool Connection::open(QString *identifier, QMError *error)
{
    const QString path = m_url.toLocalFile();
    const bool existed = QFileInfo::exists(path);
    const QMError notReadable = QMStoreBackends::makeError(
            QMFileReadUnknownError, u"The store file %1 could not be opened or made."_s.arg(path),
            {{QMPersistentStoreURLErrorKey, m_url}, {QMFilePathErrorKey, path}});
    if (existed && !QFileInfo(path).isFile()) {
        *error = QMStoreBackends::fileError(QMFileReadUnknownError,
                                            u"The store file could not be opened at"_s, path,
                                            {QMFileStatus::NotRegular, 0}, 0, m_url);
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
    if (!m_db.open()) {
        *error = notReadable;
        return false;
    }
    const QVariant handle = m_db.driver()->handle();
    sqlite3 *db = qstrcmp(handle.typeName(), "sqlite3*") == 0
            ? *static_cast<sqlite3 *const *>(handle.constData())
            : nullptr;
    if (!db) {
        *error = notReadable;
        return false;
    }
    m_handle = db;
    // Every lock SQLite waits for (another process's write, a recovery) is waited for this long.
    sqlite3_busy_timeout(m_handle, m_timeout);

    // The first statements read the header and the schema: a file that is not a database, or
    // one cut short, fails here rather than on some later fetch. (Reading every page would cost
    // a scan of the whole file at each opening; damage inside a page still fails the statement
    // that reads it.)
    const auto corrupt = [&](const QMError &failure) {
        if (failure.code() == QMPersistentStoreTimeoutError) {
            *error = failure;
            return false;
        }
        *error = QMStoreBackends::makeError(
                QMFileReadCorruptFileError,
                u"The file %1 is not a readable SQLite store: %2."_s.arg(
                        path, failure.userInfo().value(u"QMSQLiteMessage"_s).toString()),
                {{QMPersistentStoreURLErrorKey, m_url}});
        return false;
    };
    if (const QString shortened = truncation(path); !shortened.isEmpty())
        return corrupt(QMStoreBackends::makeError(QMFileReadCorruptFileError, shortened,
                                                  {{u"QMSQLiteMessage"_s, shortened}}));
    QMError failure;
    if (!run(u"PRAGMA journal_mode=WAL"_s, &failure, QMFileReadCorruptFileError))
        return corrupt(failure);
    if (!run(u"SELECT count(*) FROM sqlite_schema"_s, &failure, QMFileReadCorruptFileError))
        return corrupt(failure);
    if (!QMPredicateSQL::registerFunctions(db, error) || !registerMigrationFunctions(error))
        return false;

    for (const auto &[statement, sql] :
         {std::pair {&m_begin, u"BEGIN IMMEDIATE"_s}, std::pair {&m_commit, u"COMMIT"_s},
          std::pair {&m_rollback, u"ROLLBACK"_s}}) {
        if (!statement->prepare(m_handle, sql)) {
            *error = sqlError(QMFileReadUnknownError, *statement);
            return false;
        }
    }
    qint64 objects = 0;
    const auto countObjects = [&] {
        return query(u"SELECT count(*) FROM sqlite_schema"_s, error, QMFileReadCorruptFileError,
                     [&](const Statement &row) { objects = row.integer(0); });
    };
    if (!countObjects())
        return false;
    if (objects == 0 && !createSchema(identifier, error))
        return false;
    if (objects != 0 && !checkSchema(identifier, error))
        return false;
    m_identifier = *identifier;
    for (const auto &[statement, sql] :
         {std::pair {&m_nextNumber, u"SELECT next FROM qm_sequence WHERE entity = ?"_s},
          std::pair {&m_setNextNumber, u"INSERT OR REPLACE INTO qm_sequence VALUES (?, ?)"_s}}) {
        if (!statement->prepare(m_handle, sql)) {
            *error = sqlError(QMFileReadUnknownError, *statement);
            return false;
        }
    }
    return true;
}

bool Connection::begin(qint64 code, QMError *error)
{
    if (!m_begin.execute()) {
        *error = sqlError(code, m_begin);
        return false;
    }
    return true;
}

void Connection::rollback()
{
    // Failing here leaves nothing to undo: SQLite has already ended the transaction.
    m_rollback.execute();
}

bool Connection::createSchema(QString *identifier, QMError *error)
{
    // Under the write lock, the file is looked at again: another process may have made the
    // store since it was found empty.
    if (!begin(QMFileReadUnknownError, error))
        return false;
    qint64 objects = 0;
    if (!query(u"SELECT count(*) FROM sqlite_schema"_s, error, QMFileReadUnknownError,
               [&](const Statement &row) { objects = row.integer(0); })) {
        rollback();
        return false;
    }
    if (objects != 0) {
        rollback();
        return checkSchema(identifier, error);
    }
    *identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QString hash = QString::fromLatin1(m_model->versionHash().toHex());
    // The whole schema goes in one transaction, so a store is either made entirely or not.
    QList<std::pair<QString, QVariantList>> sql {
            {u"CREATE TABLE qm_metadata (key TEXT PRIMARY KEY, value TEXT NOT NULL)"_s, {}},
            {u"INSERT INTO qm_metadata VALUES ('identifier', ?), ('model', ?), ('version', ?)"_s,
             {*identifier, hash, m_model->versionName()}},
            {u"CREATE TABLE qm_sequence (entity TEXT PRIMARY KEY, next INTEGER NOT NULL)"_s, {}}};
    for (const QMEntityDescription &entity : m_model->entities()) {
        sql.append({tableDefinition(entity, entity.name()), {}});
        for (const QMAttributeDescription &a : entity.attributes()) {
            if (a.indexed)
                sql.append({u"CREATE INDEX %1 ON %2 (%3)"_s.arg(
                                    quoted(indexName(entity.name(), a.name)), quoted(entity.name()),
                                    quoted(a.name)),
                            {}});
        }
        sql.append({u"INSERT INTO qm_sequence VALUES (?, 1)"_s, {entity.name()}});
    }
    for (const auto &[text, bindings] : std::as_const(sql)) {
        if (!run(text, error, QMFileReadUnknownError, bindings)) {
            rollback();
            return false;
        }
    }
    if (!m_commit.execute()) {
        *error = sqlError(QMFileReadUnknownError, m_commit);
        rollback();
        return false;
    }
    return true;
}

bool Connection::checkSchema(QString *identifier, QMError *error)
{
    QMError ignored;
    QString hash;
    QString versionName;
    if (!readMetadata(identifier, &hash, &versionName, &ignored)) {
        *error = ignored.code() == QMPersistentStoreTimeoutError
                ? ignored
                : incompatible(u"it has no store metadata"_s);
        return false;
    }
    if (QUuid::fromString(*identifier).isNull()) {
        *error = incompatible(u"it has no store identifier"_s);
        return false;
    }
    const auto source = QMMigration::sourceVersion(m_model, hash, versionName, m_url, error);
    if (!source)
        return false;
    // A store that recorded no version name (or another name of the same schema) may still
    // differ in its indexes: it is brought to the version's indexes and records its name.
    const bool otherVersion = source->versionIndex() != m_model->versionIndex();
    const bool unrecorded = versionName != m_model->versionName() && m_settings.automatic;
    if ((otherVersion || unrecorded) && !migrateFrom(source, error))
        return false;
    // The hash could match a hand-edited file whose tables differ; the columns decide.
    for (const QMEntityDescription &entity : m_model->entities()) {
        QStringList found;
        if (!query(u"PRAGMA table_info(%1)"_s.arg(quoted(entity.name())), error,
                   QMPersistentStoreIncompatibleSchemaError,
                   [&](const Statement &row) { found.append(row.text(1)); }))
            return false;
        QStringList expected {u"qm_pk"_s};
        expected.append(entity.attributeNames());
        found.sort();
        expected.sort();
        if (found != expected) {
            *error = incompatible(u"the table of %1 has other columns"_s.arg(entity.name()));
            return false;
        }
    }
    QHash<QString, qint64> next;
    if (!query(u"SELECT entity, next FROM qm_sequence"_s, &ignored,
               QMPersistentStoreIncompatibleSchemaError,
               [&](const Statement &row) { next[row.text(0)] = row.integer(1); })) {
        *error = incompatible(u"it has no object numbers"_s);
        return false;
    }
    // A store that could not take a single object more is damaged, as in the XML store.
    for (const QMEntityDescription &entity : m_model->entities()) {
        qint64 highest = 0;
        if (!query(u"SELECT max(qm_pk) FROM %1"_s.arg(quoted(entity.name())), error,
                   QMFileReadCorruptFileError,
                   [&](const Statement &row) { highest = row.integer(0); }))
            return false;
        if (highest == std::numeric_limits<qint64>::max()
            || next.value(entity.name()) == std::numeric_limits<qint64>::max()) {
            *error = incompatible(u"the object numbers of %1 are used up"_s.arg(entity.name()));
            return false;
        }
    }
    return true;
}

bool Connection::fetch(const QMEntityDescription &entity,
                       const QMPredicateSQL::Condition &condition,
                       const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
                       QList<QMStoreRow> *rows, QMError *error, const QMRowBatches &handOver)
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
    Statement *statement = cached(sql, error);
    if (!statement)
        return false;
    statement->clearFailure();
    if (!statement->bindAll(condition.bindings)) {
        *error = sqlError(QMPersistentStoreOperationError, *statement);
        statement->reset();
        return false;
    }
    const QList<QMAttributeDescription> &attributes = entity.attributes();
    while (statement->next()) {
        QMStoreRow row;
        row.number = statement->integer(0);
        if (withValues) {
            row.values.reserve(attributes.size());
            for (qsizetype i = 0; i < attributes.size(); ++i)
                statement->appendValue(row.values, int(i) + 1, attributes.at(i).type);
        }
        rows->append(std::move(row));
        if (handOver && rows->size() == handOverRows)
            handOver(*rows);
    }
    // A statement left on its row would keep its read transaction, and with it an old snapshot.
    statement->reset();
    if (statement->failed()) {
        rows->clear();
        *error = sqlError(QMPersistentStoreOperationError, *statement);
        return false;
    }
    return true;
}

qsizetype Connection::count(const QMEntityDescription &entity,
                            const QMPredicateSQL::Condition &condition, QMError *error)
{
    const QString sql
            = u"SELECT count(*) FROM "_s + quoted(entity.name()) + u" WHERE "_s + condition.sql;
    Statement *statement = cached(sql, error);
    if (!statement)
        return -1;
    statement->clearFailure();
    qsizetype n = -1;
    if (statement->bindAll(condition.bindings) && statement->next())
        n = qsizetype(statement->integer(0));
    statement->reset();
    if (n < 0)
        *error = sqlError(QMPersistentStoreOperationError, *statement);
    return n;
}

bool Connection::readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                         QMError *error)
{
    EntityStatements *q = statements(entity, error);
    if (!q)
        return false;
    Statement &read = q->read;
    read.clearFailure();
    bool found = false;
    if (read.bindNumber(1, number) && read.next()) {
        found = true;
        values->clear();
        values->reserve(entity.attributes().size());
        for (qsizetype i = 0; i < entity.attributes().size(); ++i)
            read.appendValue(*values, int(i) + 1, entity.attributes().at(i).type);
    }
    read.reset();
    if (!found && read.failed())
        *error = sqlError(QMPersistentStoreOperationError, read);
    return found;
}

bool Connection::save(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error,
                      const QMNumbersGiven &numbered)
{
    // The write lock first: from here until the commit no other process writes, so the rows
    // compared and the numbers taken below stay as they are read.
    if (!begin(QMPersistentStoreSaveError, error))
        return false;
    const auto failed = [&](const Statement &statement) {
        *error = sqlError(QMPersistentStoreSaveError, statement);
        rollback();
        return false;
    };
    const auto fail = [&] {
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
    const auto current = [&](const QMEntityDescription &entity, qint64 number, QVariantList *values,
                             QMError *readError) {
        return readRow(entity, number, values, readError);
    };
    if (!QMStoreBackends::checkConflicts(changes, *m_model, m_identifier, current, error))
        return fail();
    for (auto it = changes.deleted.cbegin(); it != changes.deleted.cend(); ++it) {
        const QMEntityDescription *entity = entityOf(it.key());
        EntityStatements *q = entity ? statements(*entity, error) : nullptr;
        if (!q)
            return fail();
        for (const QMStoreUpdate &row : it.value()) {
            if (!q->remove.bindNumber(1, row.number) || !q->remove.execute())
                return failed(q->remove);
        }
    }
    for (auto it = changes.updated.cbegin(); it != changes.updated.cend(); ++it) {
        const QMEntityDescription *entity = entityOf(it.key());
        EntityStatements *q = entity ? statements(*entity, error) : nullptr;
        if (!q)
            return fail();
        const QList<QMAttributeDescription> &attributes = entity->attributes();
        const int n = int(attributes.size());
        for (const QMStoreUpdate &row : it.value()) {
            // UPDATE binds (values..., qm_pk), from 1.
            bool bound = q->update.bindNumber(n + 1, row.number);
            for (int i = 0; bound && i < n; ++i)
                bound = q->update.bind(i + 1, QMPersistenceValue::valueAt(row.values, i),
                                       attributes.at(i).type);
            if (!bound || !q->update.execute())
                return failed(q->update);
        }
    }
    // Every new row's number first, so that the caller has them while the rows are written.
    struct Inserts
    {
        QHash<QString, QList<QMStoreRow>>::const_iterator rows;
        const QMEntityDescription *entity;
        EntityStatements *q;
    };
    QVarLengthArray<Inserts, 4> inserts;
    QMStoreNumbers given;
    for (auto it = changes.inserted.cbegin(); it != changes.inserted.cend(); ++it) {
        if (it->isEmpty())
            continue;
        const QMEntityDescription *entity = entityOf(it.key());
        EntityStatements *q = entity ? statements(*entity, error) : nullptr;
        if (!q)
            return fail();
        inserts.append({it, entity, q});
        // The next number is the sequence's, or past the largest in use if the sequence was
        // edited behind the store's back.
        qint64 next = 1;
        m_nextNumber.clearFailure();
        if (!m_nextNumber.bindStorage(1, it.key()))
            return failed(m_nextNumber);
        if (m_nextNumber.next())
            next = m_nextNumber.integer(0);
        m_nextNumber.reset();
        if (m_nextNumber.failed())
            return failed(m_nextNumber);
        q->highest.clearFailure();
        if (q->highest.next())
            next = std::max(next, q->highest.integer(0) + 1);
        q->highest.reset();
        if (q->highest.failed())
            return failed(q->highest);
        if (!QMStoreBackends::takeNumbers(next, it->size(), it.key(), &given[it.key()], error))
            return fail();
        if (!m_setNextNumber.bindStorage(1, it.key()) || !m_setNextNumber.bindNumber(2, next)
            || !m_setNextNumber.execute())
            return failed(m_setNextNumber);
    }
    if (numbered && !given.isEmpty())
        numbered(given);
    for (const Inserts &e : inserts) {
        const auto it = e.rows;
        const QMEntityDescription *entity = e.entity;
        EntityStatements *q = e.q;
        const QList<qint64> &numbersOfEntity = given[it.key()];
        const QList<QMAttributeDescription> &attributes = entity->attributes();
        const int n = int(attributes.size());
        // An INSERT binds (qm_pk, values...) for each of its rows, from 1.
        const auto bindRow = [&](Statement &insert, int first, qsizetype r) {
            const QMStoreRow &row = it->at(r);
            bool bound = insert.bindNumber(first, numbersOfEntity.at(r));
            for (int i = 0; bound && i < n; ++i)
                bound = insert.bind(first + 1 + i, QMPersistenceValue::valueAt(row.values, i),
                                    attributes.at(i).type);
            return bound;
        };
        qsizetype r = 0;
        const int perInsert = q->rowsPerInsert;
        if (perInsert > 1 && it->size() >= perInsert) {
            if (!q->insertMany.isPrepared() && !q->insertMany.prepare(m_handle, q->insertManySQL))
                return failed(q->insertMany);
            for (; r + perInsert <= it->size(); r += perInsert) {
                bool bound = true;
                for (int k = 0; bound && k < perInsert; ++k)
                    bound = bindRow(q->insertMany, k * (n + 1) + 1, r + k);
                if (!bound || !q->insertMany.execute())
                    return failed(q->insertMany);
            }
        }
        for (; r < it->size(); ++r) {
            if (!bindRow(q->insert, 1, r) || !q->insert.execute())
                return failed(q->insert);
        }
    }
    if (!m_commit.execute())
        return failed(m_commit);
    *numbers = std::move(given);
    return true;
}

} // namespace QMSQLite

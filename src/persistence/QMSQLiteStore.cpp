// The SQLite store, on SQLite's own interface rather than Qt SQL: a Qt SQL connection may only be
// used by the thread that opened it, so contexts on several threads would need a connection per
// thread and a way to close the others' connections when the store goes. A SQLite connection
// may be used from any thread one call at a time, and the coordinator already serialises every
// call to its store with its mutex; so the store keeps exactly one connection, opened when the
// store is added and closed (with its prepared statements) when it is removed, on whichever
// thread does that. Nothing is left behind for other threads to clean up.

#include "persistence/QMPersistenceError.h"
#include "persistence/QMPersistenceValue_p.h"
#include "persistence/QMPredicate.h"
#include "persistence/QMPredicateSQL_p.h"
#include "persistence/QMStoreBackend_p.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <sqlite3.h>

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

// The prepared statements of one entity that every save and read uses.
struct EntityStatements
{
    sqlite3_stmt *insert = nullptr;
    sqlite3_stmt *update = nullptr;
    sqlite3_stmt *remove = nullptr;
    sqlite3_stmt *read = nullptr;
};

class SQLiteStore final : public QMStoreBackend
{
public:
    SQLiteStore(std::shared_ptr<const QMManagedObjectModel> model, const QUrl &url)
        : m_model(std::move(model))
        , m_url(url)
    { }
    ~SQLiteStore() override { close(); }

    QString identifier() const override { return m_identifier; }

    bool open(QMError *error);

    bool fetch(const QMEntityDescription &entity, const QMPredicate &bound,
               const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
               QList<QMStoreRow> *rows, QMError *error) override;
    qsizetype count(const QMEntityDescription &entity, const QMPredicate &bound,
                    QMError *error) override;
    bool readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                 QMError *error) override;
    bool save(const QMStoreChanges &changes, QMError *error) override;
    qint64 allocateNumber(const QString &entityName) override
    {
        qint64 &next = m_next[entityName];
        if (next < 1)
            next = 1;
        return next++;
    }
    void close() override;

private:
    bool exec(const QString &sql, QMError *error, qint64 code);
    sqlite3_stmt *prepare(const QString &sql, QMError *error, qint64 code);
    sqlite3_stmt *cached(const QString &sql, QMError *error, qint64 code);
    const EntityStatements *statements(const QMEntityDescription &entity, QMError *error);
    QMError sqlError(qint64 code, const QString &sql) const;
    bool createSchema(QMError *error);
    bool checkSchema(QMError *error);
    QMError incompatible(const QString &why) const;
    bool bindCondition(sqlite3_stmt *stmt, const QVariantList &bindings, int first,
                       const QString &sql, QMError *error);

    std::shared_ptr<const QMManagedObjectModel> m_model;
    QUrl m_url;
    sqlite3 *m_db = nullptr;
    QString m_identifier;
    QHash<QString, EntityStatements> m_statements;
    // Fetch and count statements by SQL text: one per predicate shape, so a repeated fetch
    // only binds new values.
    QHash<QString, sqlite3_stmt *> m_cache;
    QHash<QString, qint64> m_next;
    QHash<QString, qint64> m_savedNext;
};

// SQLite binds NULL for a null data pointer; an empty text or byte array is a value, not NULL.
int bindText(sqlite3_stmt *stmt, int index, const QString &text)
{
    static const ushort empty[1] = {0};
    return sqlite3_bind_text16(stmt, index, text.isEmpty() ? empty : text.utf16(),
                               int(text.size() * 2), SQLITE_TRANSIENT);
}

int bindBytes(sqlite3_stmt *stmt, int index, const QByteArray &bytes)
{
    static const char empty[1] = {0};
    return sqlite3_bind_blob64(stmt, index, bytes.isEmpty() ? empty : bytes.constData(),
                               sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT);
}

void bindValue(sqlite3_stmt *stmt, int index, const QVariant &value, QMAttributeType type)
{
    if (QMPersistenceValue::isAbsent(value)) {
        sqlite3_bind_null(stmt, index);
        return;
    }
    switch (type) {
    case QMAttributeType::String:
        // Saved values are of their attribute's type and outlive the statement's step, so the
        // text is bound in place rather than copied.
        if (value.typeId() == QMetaType::QString) {
            const auto *text = static_cast<const QString *>(value.constData());
            if (!text->isEmpty()) {
                sqlite3_bind_text16(stmt, index, text->utf16(), int(text->size() * 2),
                                    SQLITE_STATIC);
                return;
            }
        }
        bindText(stmt, index, value.toString());
        return;
    case QMAttributeType::Integer:
        sqlite3_bind_int64(stmt, index, value.toLongLong());
        return;
    case QMAttributeType::Double:
        sqlite3_bind_double(stmt, index, value.toDouble());
        return;
    case QMAttributeType::Boolean:
        sqlite3_bind_int64(stmt, index, value.toBool() ? 1 : 0);
        return;
    case QMAttributeType::Date:
        sqlite3_bind_int64(stmt, index, value.toDateTime().toMSecsSinceEpoch());
        return;
    case QMAttributeType::Binary:
        if (value.typeId() == QMetaType::QByteArray) {
            const auto *bytes = static_cast<const QByteArray *>(value.constData());
            if (!bytes->isEmpty()) {
                sqlite3_bind_blob64(stmt, index, bytes->constData(), sqlite3_uint64(bytes->size()),
                                    SQLITE_STATIC);
                return;
            }
        }
        bindBytes(stmt, index, value.toByteArray());
        return;
    }
}

QVariant columnValue(sqlite3_stmt *stmt, int column, QMAttributeType type)
{
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL)
        return QVariant();
    switch (type) {
    case QMAttributeType::String: {
        const auto *text = static_cast<const QChar *>(sqlite3_column_text16(stmt, column));
        return QString(text, sqlite3_column_bytes16(stmt, column) / 2);
    }
    case QMAttributeType::Integer:
        return QVariant(qint64(sqlite3_column_int64(stmt, column)));
    case QMAttributeType::Double:
        return QVariant(sqlite3_column_double(stmt, column));
    case QMAttributeType::Boolean:
        return QVariant(sqlite3_column_int64(stmt, column) != 0);
    case QMAttributeType::Date:
        return QVariant(
                QDateTime::fromMSecsSinceEpoch(sqlite3_column_int64(stmt, column), Qt::UTC));
    case QMAttributeType::Binary: {
        const auto *bytes = static_cast<const char *>(sqlite3_column_blob(stmt, column));
        return QVariant(QByteArray(bytes, sqlite3_column_bytes(stmt, column)));
    }
    }
    return QVariant();
}

QMError SQLiteStore::sqlError(qint64 code, const QString &sql) const
{
    const QString message = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : u"no database"_s;
    const QString what = code == QMPersistentStoreSaveError ? u"The save failed"_s
            : code == QMPersistentStoreOperationError       ? u"The store could not be read"_s
                                                            : u"The store could not be opened"_s;
    return QMStoreBackends::makeError(code, u"%1: %2."_s.arg(what, message),
                                      {{QMPersistentStoreURLErrorKey, m_url},
                                       {u"QMSQLiteStatement"_s, sql},
                                       {u"QMSQLiteMessage"_s, message}});
}

bool SQLiteStore::exec(const QString &sql, QMError *error, qint64 code)
{
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    sqlite3_free(message);
    *error = sqlError(code, sql);
    return false;
}

sqlite3_stmt *SQLiteStore::prepare(const QString &sql, QMError *error, qint64 code)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v3(m_db, sql.toUtf8().constData(), -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                           nullptr)
        != SQLITE_OK) {
        *error = sqlError(code, sql);
        sqlite3_finalize(stmt);
        return nullptr;
    }
    return stmt;
}

sqlite3_stmt *SQLiteStore::cached(const QString &sql, QMError *error, qint64 code)
{
    if (sqlite3_stmt *stmt = m_cache.value(sql)) {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        return stmt;
    }
    // Predicates with values written in could make endless distinct texts; bound values do
    // not, but a cap keeps a pathological caller from holding every statement forever.
    if (m_cache.size() >= 128) {
        for (sqlite3_stmt *stmt : std::as_const(m_cache))
            sqlite3_finalize(stmt);
        m_cache.clear();
    }
    sqlite3_stmt *stmt = prepare(sql, error, code);
    if (stmt)
        m_cache.insert(sql, stmt);
    return stmt;
}

const EntityStatements *SQLiteStore::statements(const QMEntityDescription &entity, QMError *error)
{
    const auto found = m_statements.constFind(entity.name());
    if (found != m_statements.cend())
        return &found.value();
    QStringList columns;
    QStringList marks {u"?"_s};
    QStringList assignments;
    for (const QMAttributeDescription &a : entity.attributes()) {
        columns.append(quoted(a.name));
        marks.append(u"?"_s);
        assignments.append(quoted(a.name) + u" = ?"_s);
    }
    const QString table = quoted(entity.name());
    EntityStatements s;
    const QString insert = u"INSERT INTO %1 (qm_pk%2) VALUES (%3)"_s.arg(
            table, columns.isEmpty() ? QString() : u", "_s + columns.join(u", "_s),
            marks.join(u", "_s));
    const QString update = assignments.isEmpty()
            ? u"UPDATE %1 SET qm_pk = qm_pk WHERE qm_pk = ?"_s.arg(table)
            : u"UPDATE %1 SET %2 WHERE qm_pk = ?"_s.arg(table, assignments.join(u", "_s));
    const QString remove = u"DELETE FROM %1 WHERE qm_pk = ?"_s.arg(table);
    const QString read = u"SELECT qm_pk%1 FROM %2 WHERE qm_pk = ?"_s.arg(
            columns.isEmpty() ? QString() : u", "_s + columns.join(u", "_s), table);
    s.insert = prepare(insert, error, QMPersistentStoreSaveError);
    s.update = s.insert ? prepare(update, error, QMPersistentStoreSaveError) : nullptr;
    s.remove = s.update ? prepare(remove, error, QMPersistentStoreSaveError) : nullptr;
    s.read = s.remove ? prepare(read, error, QMPersistentStoreOperationError) : nullptr;
    if (!s.read) {
        sqlite3_finalize(s.insert);
        sqlite3_finalize(s.update);
        sqlite3_finalize(s.remove);
        return nullptr;
    }
    return &m_statements.insert(entity.name(), s).value();
}

QMError SQLiteStore::incompatible(const QString &why) const
{
    return QMStoreBackends::makeError(QMPersistentStoreIncompatibleSchemaError,
                                      u"The store %1 was not made for the model %2: %3."_s.arg(
                                              m_url.toLocalFile(), m_model->name(), why),
                                      {{QMPersistentStoreURLErrorKey, m_url}});
}

bool SQLiteStore::open(QMError *error)
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
    // The coordinator's mutex serialises every use, so SQLite's own locking is not needed.
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr)
        != SQLITE_OK) {
        *error = notReadable;
        close();
        return false;
    }
    sqlite3_busy_timeout(m_db, 5000);
    sqlite3_extended_result_codes(m_db, 1);

    // The first statements read the header and every page: a file that is not a database, or a
    // damaged one, fails here rather than on some later fetch.
    const auto corrupt = [&](const QString &why) {
        *error = QMStoreBackends::makeError(
                QMFileReadCorruptFileError,
                u"The file %1 is not a readable SQLite store: %2."_s.arg(path, why),
                {{QMPersistentStoreURLErrorKey, m_url}});
        close();
        return false;
    };
    QMError ignored;
    if (!exec(u"PRAGMA journal_mode=WAL"_s, &ignored, QMFileReadCorruptFileError))
        return corrupt(ignored.userInfo().value(u"QMSQLiteMessage"_s).toString());
    {
        sqlite3_stmt *check
                = prepare(u"PRAGMA quick_check"_s, &ignored, QMFileReadCorruptFileError);
        if (!check)
            return corrupt(ignored.userInfo().value(u"QMSQLiteMessage"_s).toString());
        const int rc = sqlite3_step(check);
        const QString verdict = rc == SQLITE_ROW
                ? QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(check, 0)))
                : QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_finalize(check);
        if (verdict != u"ok"_s)
            return corrupt(verdict);
    }
    if (!QMPredicateSQL::registerFunctions(m_db, error)) {
        close();
        return false;
    }

    sqlite3_stmt *tables
            = prepare(u"SELECT count(*) FROM sqlite_schema"_s, error, QMFileReadCorruptFileError);
    if (!tables) {
        close();
        return false;
    }
    sqlite3_step(tables);
    const qint64 objects = sqlite3_column_int64(tables, 0);
    sqlite3_finalize(tables);
    const bool ok = objects == 0 ? createSchema(error) : checkSchema(error);
    if (!ok)
        close();
    return ok;
}

bool SQLiteStore::createSchema(QMError *error)
{
    m_identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QString hash = QString::fromLatin1(m_model->versionHash().toHex());
    // The whole schema goes in one transaction, so a store is either made entirely or not.
    QStringList sql {
            u"BEGIN IMMEDIATE"_s,
            u"CREATE TABLE qm_metadata (key TEXT PRIMARY KEY, value TEXT NOT NULL)"_s,
            u"INSERT INTO qm_metadata VALUES ('identifier', '%1'), ('model', '%2')"_s.arg(
                    m_identifier, hash),
            u"CREATE TABLE qm_sequence (entity TEXT PRIMARY KEY, next INTEGER NOT NULL)"_s};
    for (const QMEntityDescription &entity : m_model->entities()) {
        QStringList columns {u"qm_pk INTEGER PRIMARY KEY"_s};
        for (const QMAttributeDescription &a : entity.attributes())
            columns.append(quoted(a.name) + u" "_s + columnType(a.type));
        sql.append(u"CREATE TABLE %1 (%2)"_s.arg(quoted(entity.name()), columns.join(u", "_s)));
        for (const QMAttributeDescription &a : entity.attributes()) {
            if (a.indexed)
                sql.append(u"CREATE INDEX %1 ON %2 (%3)"_s.arg(
                        quoted(u"qm_index_"_s + entity.name() + u"_"_s + a.name),
                        quoted(entity.name()), quoted(a.name)));
        }
        sql.append(u"INSERT INTO qm_sequence VALUES ('%1', 1)"_s.arg(entity.name()));
        m_next[entity.name()] = 1;
        m_savedNext[entity.name()] = 1;
    }
    sql.append(u"COMMIT"_s);
    for (const QString &statement : std::as_const(sql)) {
        if (!exec(statement, error, QMFileReadUnknownError)) {
            QMError ignored;
            exec(u"ROLLBACK"_s, &ignored, QMFileReadUnknownError);
            return false;
        }
    }
    return true;
}

bool SQLiteStore::checkSchema(QMError *error)
{
    QMError ignored;
    sqlite3_stmt *meta = prepare(u"SELECT key, value FROM qm_metadata"_s, &ignored,
                                 QMPersistentStoreIncompatibleSchemaError);
    if (!meta) {
        *error = incompatible(u"it has no store metadata"_s);
        return false;
    }
    QString hash;
    while (sqlite3_step(meta) == SQLITE_ROW) {
        const QString key
                = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(meta, 0)));
        const QString value
                = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(meta, 1)));
        if (key == u"identifier"_s)
            m_identifier = value;
        else if (key == u"model"_s)
            hash = value;
    }
    sqlite3_finalize(meta);
    if (QUuid::fromString(m_identifier).isNull()) {
        *error = incompatible(u"it has no store identifier"_s);
        return false;
    }
    if (hash != QString::fromLatin1(m_model->versionHash().toHex())) {
        *error = incompatible(u"its model version differs"_s);
        return false;
    }
    // The hash could match a hand-edited file whose tables differ; the columns decide.
    for (const QMEntityDescription &entity : m_model->entities()) {
        sqlite3_stmt *info = prepare(u"PRAGMA table_info(%1)"_s.arg(quoted(entity.name())), error,
                                     QMPersistentStoreIncompatibleSchemaError);
        if (!info)
            return false;
        QStringList found;
        while (sqlite3_step(info) == SQLITE_ROW)
            found.append(QString::fromUtf8(
                    reinterpret_cast<const char *>(sqlite3_column_text(info, 1))));
        sqlite3_finalize(info);
        QStringList expected {u"qm_pk"_s};
        expected.append(entity.attributeNames());
        found.sort();
        expected.sort();
        if (found != expected) {
            *error = incompatible(u"the table of %1 has other columns"_s.arg(entity.name()));
            return false;
        }
    }
    sqlite3_stmt *sequence = prepare(u"SELECT entity, next FROM qm_sequence"_s, &ignored,
                                     QMPersistentStoreIncompatibleSchemaError);
    if (!sequence) {
        *error = incompatible(u"it has no object numbers"_s);
        return false;
    }
    while (sqlite3_step(sequence) == SQLITE_ROW) {
        const QString entity = QString::fromUtf8(
                reinterpret_cast<const char *>(sqlite3_column_text(sequence, 0)));
        m_next[entity] = m_savedNext[entity] = sqlite3_column_int64(sequence, 1);
    }
    sqlite3_finalize(sequence);
    for (const QMEntityDescription &entity : m_model->entities()) {
        // Numbers are never given twice, even if the sequence table was edited behind our back.
        sqlite3_stmt *max = prepare(u"SELECT max(qm_pk) FROM %1"_s.arg(quoted(entity.name())),
                                    error, QMFileReadCorruptFileError);
        if (!max)
            return false;
        sqlite3_step(max);
        const qint64 highest = sqlite3_column_int64(max, 0);
        sqlite3_finalize(max);
        qint64 &next = m_next[entity.name()];
        next = std::max(next, highest + 1);
    }
    return true;
}

bool SQLiteStore::bindCondition(sqlite3_stmt *stmt, const QVariantList &bindings, int first,
                                const QString &sql, QMError *error)
{
    for (qsizetype i = 0; i < bindings.size(); ++i) {
        const QVariant &v = bindings.at(i);
        const int index = first + int(i);
        int rc = SQLITE_OK;
        switch (v.typeId()) {
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
            rc = sqlite3_bind_int64(stmt, index, v.toLongLong());
            break;
        case QMetaType::Double:
        case QMetaType::Float:
            rc = sqlite3_bind_double(stmt, index, v.toDouble());
            break;
        case QMetaType::QString:
            rc = bindText(stmt, index, v.toString());
            break;
        case QMetaType::QByteArray:
            rc = bindBytes(stmt, index, v.toByteArray());
            break;
        default:
            rc = sqlite3_bind_null(stmt, index);
            break;
        }
        if (rc != SQLITE_OK) {
            *error = sqlError(QMPersistentStoreOperationError, sql);
            return false;
        }
    }
    return true;
}

bool SQLiteStore::fetch(const QMEntityDescription &entity, const QMPredicate &bound,
                        const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
                        QList<QMStoreRow> *rows, QMError *error)
{
    rows->clear();
    const QMPredicateSQL::Condition condition = QMPredicateSQL::compile(bound, entity);
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
    sqlite3_stmt *stmt = cached(sql, error, QMPersistentStoreOperationError);
    if (!stmt || !bindCondition(stmt, condition.bindings, 1, sql, error))
        return false;
    const QList<QMAttributeDescription> &attributes = entity.attributes();
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        QMStoreRow row;
        row.number = sqlite3_column_int64(stmt, 0);
        if (withValues) {
            row.values.reserve(attributes.size());
            for (qsizetype i = 0; i < attributes.size(); ++i)
                row.values.append(columnValue(stmt, int(i) + 1, attributes.at(i).type));
        }
        rows->append(std::move(row));
    }
    const bool ok = rc == SQLITE_DONE;
    if (!ok)
        *error = sqlError(QMPersistentStoreOperationError, sql);
    sqlite3_reset(stmt);
    return ok;
}

qsizetype SQLiteStore::count(const QMEntityDescription &entity, const QMPredicate &bound,
                             QMError *error)
{
    const QMPredicateSQL::Condition condition = QMPredicateSQL::compile(bound, entity);
    const QString sql
            = u"SELECT count(*) FROM "_s + quoted(entity.name()) + u" WHERE "_s + condition.sql;
    sqlite3_stmt *stmt = cached(sql, error, QMPersistentStoreOperationError);
    if (!stmt || !bindCondition(stmt, condition.bindings, 1, sql, error))
        return -1;
    qsizetype n = -1;
    if (sqlite3_step(stmt) == SQLITE_ROW)
        n = qsizetype(sqlite3_column_int64(stmt, 0));
    else
        *error = sqlError(QMPersistentStoreOperationError, sql);
    sqlite3_reset(stmt);
    return n;
}

bool SQLiteStore::readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                          QMError *error)
{
    const EntityStatements *s = statements(entity, error);
    if (!s)
        return false;
    sqlite3_reset(s->read);
    sqlite3_bind_int64(s->read, 1, number);
    const int rc = sqlite3_step(s->read);
    if (rc == SQLITE_ROW) {
        values->clear();
        for (qsizetype i = 0; i < entity.attributes().size(); ++i)
            values->append(columnValue(s->read, int(i) + 1, entity.attributes().at(i).type));
    } else if (rc != SQLITE_DONE) {
        *error = sqlError(QMPersistentStoreOperationError, QString::fromUtf8(sqlite3_sql(s->read)));
    }
    sqlite3_reset(s->read);
    return rc == SQLITE_ROW;
}

bool SQLiteStore::save(const QMStoreChanges &changes, QMError *error)
{
    if (!exec(u"BEGIN IMMEDIATE"_s, error, QMPersistentStoreSaveError))
        return false;
    const auto fail = [&](sqlite3_stmt *stmt) {
        *error = sqlError(QMPersistentStoreSaveError,
                          stmt ? QString::fromUtf8(sqlite3_sql(stmt)) : QString());
        if (stmt)
            sqlite3_reset(stmt);
        QMError ignored;
        exec(u"ROLLBACK"_s, &ignored, QMPersistentStoreSaveError);
        return false;
    };
    const auto step = [](sqlite3_stmt *stmt) {
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        return rc == SQLITE_DONE;
    };
    const auto entityOf = [&](const QString &name) -> const EntityStatements * {
        const QMEntityDescription *entity = m_model->entityForName(name);
        return entity ? statements(*entity, error) : nullptr;
    };
    for (auto it = changes.deleted.cbegin(); it != changes.deleted.cend(); ++it) {
        const EntityStatements *s = entityOf(it.key());
        if (!s)
            return fail(nullptr);
        for (qint64 number : it.value()) {
            sqlite3_bind_int64(s->remove, 1, number);
            if (!step(s->remove))
                return fail(s->remove);
        }
    }
    for (int pass = 0; pass < 2; ++pass) {
        const auto &table = pass == 0 ? changes.inserted : changes.updated;
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            const EntityStatements *s = entityOf(it.key());
            if (!s)
                return fail(nullptr);
            const QList<QMAttributeDescription> &attributes
                    = m_model->entityForName(it.key())->attributes();
            sqlite3_stmt *stmt = pass == 0 ? s->insert : s->update;
            const int n = int(attributes.size());
            // Values are bound in place (bindValue()), so each must be a reference into the row.
            static const QVariant none;
            for (const QMStoreRow &row : it.value()) {
                // INSERT binds (qm_pk, values...); UPDATE binds (values..., qm_pk).
                const int first = pass == 0 ? 2 : 1;
                sqlite3_bind_int64(stmt, pass == 0 ? 1 : n + 1, row.number);
                for (int i = 0; i < n; ++i)
                    bindValue(stmt, first + i, i < row.values.size() ? row.values.at(i) : none,
                              attributes.at(i).type);
                if (!step(stmt))
                    return fail(stmt);
            }
        }
    }
    // Numbers given out since the last save are kept, so a reopened store never gives them again.
    QHash<QString, qint64> saved = m_savedNext;
    for (auto it = m_next.cbegin(); it != m_next.cend(); ++it) {
        if (it.value() == saved.value(it.key()))
            continue;
        const QString sql = u"INSERT OR REPLACE INTO qm_sequence VALUES ('%1', %2)"_s.arg(
                it.key(), QString::number(it.value()));
        if (!exec(sql, error, QMPersistentStoreSaveError)) {
            QMError ignored;
            exec(u"ROLLBACK"_s, &ignored, QMPersistentStoreSaveError);
            return false;
        }
        saved[it.key()] = it.value();
    }
    if (!exec(u"COMMIT"_s, error, QMPersistentStoreSaveError)) {
        QMError ignored;
        exec(u"ROLLBACK"_s, &ignored, QMPersistentStoreSaveError);
        return false;
    }
    m_savedNext = saved;
    return true;
}

void SQLiteStore::close()
{
    for (const EntityStatements &s : std::as_const(m_statements)) {
        sqlite3_finalize(s.insert);
        sqlite3_finalize(s.update);
        sqlite3_finalize(s.remove);
        sqlite3_finalize(s.read);
    }
    m_statements.clear();
    for (sqlite3_stmt *stmt : std::as_const(m_cache))
        sqlite3_finalize(stmt);
    m_cache.clear();
    if (m_db) {
        // The last connection's close checkpoints the log and removes "-wal" and "-shm".
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

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

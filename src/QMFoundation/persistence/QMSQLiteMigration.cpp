// Migration of a SQLite store, run on its thread while it opens.
//
// The whole migration, every step from the store's version to the model's, is one write
// transaction: a process killed at any moment leaves the store at its old version, and the next
// opening migrates it again. Added attributes are columns added in place (with their default as
// the column's default, so no row is written); anything that moves values builds the entity's
// table anew (CREATE, INSERT ... SELECT, DROP, RENAME), and a host migration fills the new
// table object by object. The version is read again under the write lock, so two processes that
// open an old store at once migrate it once.

#include "QMFoundation/persistence/QMSQLiteConnection_p.h"

#include "QMFoundation/persistence/QMMigration_p.h"
#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QDateTime>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

QString quoted(const QString &name)
{
    return u"\""_s + name + u"\""_s;
}

// The table an entity is built anew in before it takes the entity's name.
const QString &scratchTable()
{
    static const QString name = u"qm_migrating"_s;
    return name;
}

// qm_text(value, type): the text a stored value of an attribute type becomes when the attribute
// is widened to a string, computed as the other stores compute it.
void textFunction(sqlite3_context *context, int, sqlite3_value **arguments)
{
    sqlite3_value *stored = arguments[0];
    if (sqlite3_value_type(stored) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto type = QMAttributeType(sqlite3_value_int(arguments[1]));
    QVariant value;
    switch (type) {
    case QMAttributeType::String:
        value = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_value_text(stored)),
                                  sqlite3_value_bytes(stored));
        break;
    case QMAttributeType::Integer:
        value = qint64(sqlite3_value_int64(stored));
        break;
    case QMAttributeType::Double:
        value = sqlite3_value_double(stored);
        break;
    case QMAttributeType::Boolean:
        value = sqlite3_value_int64(stored) != 0;
        break;
    case QMAttributeType::Date:
        value = QDateTime::fromMSecsSinceEpoch(sqlite3_value_int64(stored), Qt::UTC);
        break;
    case QMAttributeType::Binary: {
        const void *blob = sqlite3_value_blob(stored);
        value = blob ? QByteArray(static_cast<const char *>(blob), sqlite3_value_bytes(stored))
                     : QByteArray();
        break;
    }
    }
    const QByteArray utf8 = QMMigration::textOf(value, type).toUtf8();
    sqlite3_result_text64(context, utf8.constData(), sqlite3_uint64(utf8.size()), SQLITE_TRANSIENT,
                          SQLITE_UTF8);
}

// The SQL literal of a stored value, for a column's default; empty when it has none (a text
// holding U+0000, which a literal cannot carry).
QString literal(const QVariant &stored)
{
    switch (stored.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Bool:
        return QString::number(stored.toLongLong());
    case QMetaType::Double:
        return QString::number(stored.toDouble(), 'g', 17);
    case QMetaType::QString: {
        QString text = stored.toString();
        if (text.contains(QChar(0)))
            return QString();
        return u"'"_s + text.replace(u"'"_s, u"''"_s) + u"'"_s;
    }
    case QMetaType::QByteArray:
        return u"X'"_s + QString::fromLatin1(stored.toByteArray().toHex()) + u"'"_s;
    default:
        return QString();
    }
}

} // namespace

namespace QMSQLite {

QString Connection::tableDefinition(const QMEntityDescription &entity, const QString &table)
{
    QStringList columns {u"qm_pk INTEGER PRIMARY KEY"_s};
    for (const QMAttributeDescription &a : entity.attributes())
        columns.append(quoted(a.name) + u" "_s + columnType(a.type));
    return u"CREATE TABLE %1 (%2)"_s.arg(quoted(table), columns.join(u", "_s));
}

QString Connection::indexName(const QString &entity, const QString &attribute)
{
    return u"qm_index_"_s + entity + u"_"_s + attribute;
}

bool Connection::registerMigrationFunctions(QMError *error)
{
    const int rc
            = sqlite3_create_function_v2(m_handle, "qm_text", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                         nullptr, textFunction, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        *error = sqlError(QMFileReadUnknownError, u"qm_text"_s, rc,
                          QString::fromUtf8(sqlite3_errstr(rc)));
        return false;
    }
    return true;
}

bool Connection::readMetadata(QString *identifier, QString *hash, QString *versionName,
                              QMError *error)
{
    return query(u"SELECT key, value FROM qm_metadata"_s, error,
                 QMPersistentStoreIncompatibleSchemaError, [&](const Statement &row) {
                     const QString key = row.text(0);
                     if (key == u"identifier"_s)
                         *identifier = row.text(1);
                     else if (key == u"model"_s)
                         *hash = row.text(1);
                     else if (key == u"version"_s)
                         *versionName = row.text(1);
                 });
}

bool Connection::migrateFrom(const std::shared_ptr<const QMManagedObjectModel> &source,
                             QMError *error)
{
    std::optional<QMMigrationPlan> plan
            = QMMigration::planOpening(m_settings, source, m_model, m_url, error);
    if (!plan)
        return false;
    QString backupPath;
    bool migrated = false;
    if (!migrate(&*plan, &migrated, &backupPath, error))
        return false;
    if (migrated) {
        m_migration.plan = *plan;
        m_migration.backupPath = backupPath;
    }
    return true;
}

bool Connection::backup(const QString &path, QMError *error)
{
    // Taken under the migration's write lock, so it is the store exactly as the migration finds
    // it, and no other process writes the copy at the same time. It is written under a scratch
    // name, flushed and renamed into place: a crash leaves the previous copy or the new one.
    const QString scratch = path + u".tmp"_s;
    QFile::remove(scratch);
    const auto fail = [&](const QString &reason) {
        QFile::remove(scratch);
        *error = QMStoreBackends::makeError(
                QMMigrationError,
                u"The store %1 could not be copied before its migration to %2: %3."_s.arg(
                        m_url.toLocalFile(), path, reason),
                {{QMPersistentStoreURLErrorKey, m_url}, {QMFilePathErrorKey, path}});
        return false;
    };
    // A connection of its own reads the last committed state, which no other process can
    // change while the migration holds the write lock (the migration's own connection could
    // not be copied from inside its transaction).
    sqlite3 *source = nullptr;
    sqlite3 *copy = nullptr;
    int rc = sqlite3_open_v2(QFile::encodeName(m_url.toLocalFile()).constData(), &source,
                             SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_open_v2(QFile::encodeName(scratch).constData(), &copy,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    QString reason;
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(source, m_timeout);
        sqlite3_backup *pages = sqlite3_backup_init(copy, "main", source, "main");
        if (pages) {
            rc = sqlite3_backup_step(pages, -1);
            if (rc == SQLITE_DONE)
                rc = SQLITE_OK;
            sqlite3_backup_finish(pages);
        } else {
            rc = sqlite3_errcode(copy);
        }
    }
    if (rc != SQLITE_OK)
        reason = QString::fromUtf8(sqlite3_errstr(rc));
    sqlite3_close(copy);
    sqlite3_close(source);
    if (rc != SQLITE_OK)
        return fail(reason);
    const int fd = ::open(QFile::encodeName(scratch).constData(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!synced
        || std::rename(QFile::encodeName(scratch).constData(), QFile::encodeName(path).constData())
                != 0)
        return fail(QString::fromLocal8Bit(strerror(errno)));
    return true;
}

bool Connection::migrate(QMMigrationPlan *plan, bool *migrated, QString *backupPath, QMError *error)
{
    *migrated = false;
    const QString path = m_url.toLocalFile();
    if (!begin(QMMigrationError, error))
        return false;
    // Under the write lock the version is read again: another process may have migrated the
    // store since it was first read.
    QString identifier;
    QString hash;
    QString versionName;
    if (!readMetadata(&identifier, &hash, &versionName, error)) {
        rollback();
        return false;
    }
    const auto source = QMMigration::sourceVersion(m_model, hash, versionName, m_url, error);
    if (!source) {
        rollback();
        return false;
    }
    if (source->versionIndex() == m_model->versionIndex()
        && versionName == m_model->versionName()) {
        rollback();
        return true;
    }
    if (source->versionIndex() != plan->sourceModel()->versionIndex()) {
        std::optional<QMMigrationPlan> again
                = QMMigrationPlan::plan(source, m_model, m_settings.migrations, error);
        if (!again) {
            rollback();
            return false;
        }
        *plan = *again;
    }
    if (m_settings.backup && !QMMigrationPlanAccess::steps(*plan).isEmpty()) {
        if (!backup(path + QMMigrationBackupSuffix, error)) {
            rollback();
            return false;
        }
        *backupPath = path + QMMigrationBackupSuffix;
    }
    const auto fail = [&](const QMError &cause) {
        rollback();
        // The store is as it was: the copy holds nothing more.
        if (!backupPath->isEmpty())
            QFile::remove(*backupPath);
        backupPath->clear();
        *error = cause;
        return false;
    };
    QMError failure;
    for (const QMMigrationStep &step : QMMigrationPlanAccess::steps(*plan)) {
        // Removed entities go first: SQLite's table names ignore case, so an entity added under
        // a removed one's name in another case has the same table.
        for (const bool removals : {true, false}) {
            for (const QMMigrationEntityStep &entity : step.entities) {
                if ((entity.action == QMMigrationEntityStep::Remove) != removals)
                    continue;
                if (!migrateEntity(entity, &failure))
                    return fail(QMMigration::failed(
                            *plan, m_url,
                            failure.userInfo().value(QMLocalizedDescriptionKey).toString(),
                            failure));
            }
        }
    }
    const QString newHash = QString::fromLatin1(m_model->versionHash().toHex());
    if (!syncIndexes(&failure)
        || !run(u"INSERT OR REPLACE INTO qm_metadata VALUES ('model', ?), ('version', ?)"_s,
                &failure, QMMigrationError, {newHash, m_model->versionName()}))
        return fail(QMMigration::failed(*plan, m_url, failure.localizedDescription(), failure));
    if (!m_commit.execute())
        return fail(sqlError(QMMigrationError, m_commit));
    *migrated = true;
    return true;
}

bool Connection::migrateEntity(const QMMigrationEntityStep &step, QMError *error)
{
    const QString table = quoted(step.name);
    switch (step.action) {
    case QMMigrationEntityStep::Add:
        return run(u"DROP TABLE IF EXISTS %1"_s.arg(table), error, QMMigrationError)
                && run(tableDefinition(*step.to, step.name), error, QMMigrationError)
                && run(u"INSERT OR REPLACE INTO qm_sequence VALUES (?, 1)"_s, error,
                       QMMigrationError, {step.name});
    case QMMigrationEntityStep::Remove:
        return run(u"DROP TABLE IF EXISTS %1"_s.arg(table), error, QMMigrationError)
                && run(u"DELETE FROM qm_sequence WHERE entity = ?"_s, error, QMMigrationError,
                       {step.name});
    case QMMigrationEntityStep::InPlace:
        for (qsizetype i = 0; i < step.to->attributes().size(); ++i) {
            const QMAttributeDescription &a = step.to->attributes().at(i);
            const QMMigrationColumn &column = step.columns.at(i);
            const QVariant fill = QMPersistenceValue::toStorage(column.fill, a.type);
            if (column.source < 0) {
                // The default becomes the column's: the rows stay as they are and read it.
                QString sql = u"ALTER TABLE %1 ADD COLUMN %2 %3"_s.arg(table, quoted(a.name),
                                                                       columnType(a.type));
                const QString value = literal(fill);
                if (!value.isEmpty())
                    sql += u" DEFAULT "_s + value;
                if (!run(sql, error, QMMigrationError))
                    return false;
                if (value.isEmpty() && fill.isValid()
                    && !run(u"UPDATE %1 SET %2 = ?"_s.arg(table, quoted(a.name)), error,
                            QMMigrationError, {fill}))
                    return false;
            } else if (fill.isValid()) {
                if (!run(u"UPDATE %1 SET %2 = ? WHERE %2 IS NULL"_s.arg(table, quoted(a.name)),
                         error, QMMigrationError, {fill}))
                    return false;
            }
        }
        return true;
    case QMMigrationEntityStep::Rebuild: {
        QStringList columns {u"qm_pk"_s};
        QStringList values {u"qm_pk"_s};
        QVariantList bindings;
        for (qsizetype i = 0; i < step.to->attributes().size(); ++i) {
            const QMAttributeDescription &a = step.to->attributes().at(i);
            const QMMigrationColumn &column = step.columns.at(i);
            columns.append(quoted(a.name));
            QString value = u"NULL"_s;
            if (column.source >= 0) {
                const QMAttributeDescription &old = step.from->attributes().at(column.source);
                value = quoted(old.name);
                if (column.conversion == QMMigrationColumn::ToDouble)
                    value = u"CAST(%1 AS REAL)"_s.arg(value);
                else if (column.conversion == QMMigrationColumn::ToText)
                    value = u"qm_text(%1, %2)"_s.arg(value).arg(int(old.type));
            }
            if (column.fill.isValid()) {
                bindings.append(QMPersistenceValue::toStorage(column.fill, a.type));
                value = column.source >= 0 ? u"coalesce(%1, ?)"_s.arg(value) : u"?"_s;
            }
            values.append(value);
        }
        return run(u"DROP TABLE IF EXISTS %1"_s.arg(quoted(scratchTable())), error,
                   QMMigrationError)
                && run(tableDefinition(*step.to, scratchTable()), error, QMMigrationError)
                && run(u"INSERT INTO %1 (%2) SELECT %3 FROM %4"_s.arg(quoted(scratchTable()),
                                                                      columns.join(u", "_s),
                                                                      values.join(u", "_s), table),
                       error, QMMigrationError, bindings)
                && replaceTable(step.name, error);
    }
    case QMMigrationEntityStep::Host:
        return migrateWithHost(step, error);
    }
    return false;
}

bool Connection::migrateWithHost(const QMMigrationEntityStep &step, QMError *error)
{
    const QString scratch = quoted(scratchTable());
    if (!run(u"DROP TABLE IF EXISTS %1"_s.arg(scratch), error, QMMigrationError)
        || !run(tableDefinition(*step.to, scratchTable()), error, QMMigrationError))
        return false;
    QStringList oldColumns {u"qm_pk"_s};
    for (const QMAttributeDescription &a : step.from->attributes())
        oldColumns.append(quoted(a.name));
    QStringList newColumns {u"qm_pk"_s};
    QStringList marks {u"?"_s};
    for (const QMAttributeDescription &a : step.to->attributes()) {
        newColumns.append(quoted(a.name));
        marks.append(u"?"_s);
    }
    Statement insert;
    if (!insert.prepare(m_handle,
                        u"INSERT INTO %1 (%2) VALUES (%3)"_s.arg(scratch, newColumns.join(u", "_s),
                                                                 marks.join(u", "_s)))) {
        *error = sqlError(QMMigrationError, insert);
        return false;
    }
    bool ok = true;
    const auto each = [&](const Statement &row) {
        if (!ok)
            return;
        QVariantList old;
        old.reserve(step.from->attributes().size());
        for (qsizetype i = 0; i < step.from->attributes().size(); ++i)
            row.appendValue(old, int(i) + 1, step.from->attributes().at(i).type);
        QVariantList values;
        bool keep = true;
        if (!QMMigration::migrateValues(step, old, &values, &keep, error)) {
            ok = false;
            return;
        }
        if (!keep)
            return;
        bool bound = insert.bindNumber(1, row.integer(0));
        for (qsizetype i = 0; bound && i < values.size(); ++i)
            bound = insert.bind(int(i) + 2, values.at(i), step.to->attributes().at(i).type);
        if (!bound || !insert.execute()) {
            *error = sqlError(QMMigrationError, insert);
            insert.reset();
            ok = false;
        }
    };
    if (!query(u"SELECT %1 FROM %2 ORDER BY qm_pk"_s.arg(oldColumns.join(u", "_s),
                                                         quoted(step.name)),
               error, QMMigrationError, each)
        || !ok)
        return false;
    insert.finalize();
    return replaceTable(step.name, error);
}

bool Connection::replaceTable(const QString &entity, QMError *error)
{
    return run(u"DROP TABLE %1"_s.arg(quoted(entity)), error, QMMigrationError)
            && run(u"ALTER TABLE %1 RENAME TO %2"_s.arg(quoted(scratchTable()), quoted(entity)),
                   error, QMMigrationError);
}

bool Connection::syncIndexes(QMError *error)
{
    QStringList existing;
    if (!query(u"SELECT name FROM sqlite_schema WHERE type = 'index' AND name LIKE "
               u"'qm\\_index\\_%' "
               u"ESCAPE '\\'"_s,
               error, QMMigrationError,
               [&](const Statement &row) { existing.append(row.text(0)); }))
        return false;
    QStringList wanted;
    for (const QMEntityDescription &entity : m_model->entities()) {
        for (const QMAttributeDescription &a : entity.attributes()) {
            if (!a.indexed)
                continue;
            const QString name = indexName(entity.name(), a.name);
            wanted.append(name);
            if (!run(u"CREATE INDEX IF NOT EXISTS %1 ON %2 (%3)"_s.arg(
                             quoted(name), quoted(entity.name()), quoted(a.name)),
                     error, QMMigrationError))
                return false;
        }
    }
    for (const QString &name : std::as_const(existing)) {
        if (!wanted.contains(name)
            && !run(u"DROP INDEX IF EXISTS %1"_s.arg(quoted(name)), error, QMMigrationError))
            return false;
    }
    return true;
}

} // namespace QMSQLite

bool QMStoreBackends::readSQLiteVersion(const QUrl &url, int timeout, QString *hash,
                                        QString *versionName, QMError *error)
{
    const QString path = url.toLocalFile();
    QMFileIdentity identity;
    const QMFileStatus status = QMFileIO::identityOf(path, &identity);
    if (!status.ok()) {
        *error = fileError(QMFileReadUnknownError, u"The store file could not be read at"_s, path,
                           status, 0, url);
        return false;
    }
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY,
                             nullptr);
    bool ok = false;
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, timeout);
        sqlite3_stmt *statement = nullptr;
        rc = sqlite3_prepare_v2(db, "SELECT key, value FROM qm_metadata", -1, &statement, nullptr);
        while (rc == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
            const QString key = QString::fromUtf8(
                    reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
            const QString value = QString::fromUtf8(
                    reinterpret_cast<const char *>(sqlite3_column_text(statement, 1)));
            if (key == u"model"_s) {
                *hash = value;
                ok = true;
            } else if (key == u"version"_s) {
                *versionName = value;
            }
        }
        sqlite3_finalize(statement);
    }
    if (!ok)
        *error = makeError(QMPersistentStoreIncompatibleSchemaError,
                           u"The file %1 is not a SQLite store: %2."_s.arg(
                                   path,
                                   db ? QString::fromUtf8(sqlite3_errmsg(db))
                                      : QString::fromUtf8(sqlite3_errstr(rc))),
                           {{QMPersistentStoreURLErrorKey, url}, {QMFilePathErrorKey, path}});
    sqlite3_close(db);
    return ok;
}

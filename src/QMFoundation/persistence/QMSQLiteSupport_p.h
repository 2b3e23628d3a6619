#pragma once

// Statements on SQLite's own handle. Internal to the SQLite store.

#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include <QMFoundation/persistence/QMManagedObjectModel.h>

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>

#include <sqlite3.h>

#include <functional>
#include <memory>

namespace QMSQLite {

using namespace Qt::StringLiterals;

// A statement prepared on the connection's SQLite handle.
class Statement
{
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool prepare(sqlite3 *db, const QString &sql)
    {
        m_db = db;
        m_sql = sql;
        const int status = sqlite3_prepare16_v3(db, sql.utf16(), int(sql.size() * 2),
                                                SQLITE_PREPARE_PERSISTENT, &m_statement, nullptr);
        if (status != SQLITE_OK)
            remember(status);
        return status == SQLITE_OK;
    }
    QString sql() const { return m_sql; }
    bool isPrepared() const { return m_statement != nullptr; }
    void finalize()
    {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }

    // Binds a storage value (QMPersistenceValue::toStorage()) to parameter `index`, from 1.
    bool bindStorage(int index, const QVariant &stored)
    {
        switch (stored.typeId()) {
        case QMetaType::UnknownType:
            return succeeded(sqlite3_bind_null(m_statement, index));
        case QMetaType::LongLong:
        case QMetaType::Int:
        case QMetaType::Bool:
            return succeeded(sqlite3_bind_int64(m_statement, index, stored.toLongLong()));
        case QMetaType::Double:
            return succeeded(sqlite3_bind_double(m_statement, index, stored.toDouble()));
        case QMetaType::QString:
            return bindText(index, *static_cast<const QString *>(stored.constData()));
        case QMetaType::QByteArray:
            return bindBytes(index, *static_cast<const QByteArray *>(stored.constData()));
        default:
            return succeeded(SQLITE_MISUSE);
        }
    }
    // Binds an attribute value of `type` as the store keeps it: what bindStorage() binds for
    // QMPersistenceValue::toStorage(), straight from the value where that is the value itself
    // or a number (making the storage variant copies texts and bytes through Qt's type
    // functions, for every value of every row).
    bool bind(int index, const QVariant &value, QMAttributeType type)
    {
        if (!QMPersistenceValue::isAbsent(value)) {
            const int id = value.typeId();
            switch (type) {
            case QMAttributeType::String:
                if (id == QMetaType::QString) {
                    const QString &text = *static_cast<const QString *>(value.constData());
                    if (!text.isNull() && QMPersistenceValue::storesTextAsIs(text))
                        return bindText(index, text);
                }
                break;
            case QMAttributeType::Binary:
                if (id == QMetaType::QByteArray) {
                    const QByteArray &bytes = *static_cast<const QByteArray *>(value.constData());
                    if (!bytes.isNull())
                        return bindBytes(index, bytes);
                }
                break;
            case QMAttributeType::Integer:
                if (id == QMetaType::LongLong || id == QMetaType::Int || id == QMetaType::Bool)
                    return succeeded(sqlite3_bind_int64(m_statement, index, value.toLongLong()));
                break;
            case QMAttributeType::Double:
                if (id == QMetaType::Double)
                    return succeeded(sqlite3_bind_double(m_statement, index, value.toDouble()));
                break;
            case QMAttributeType::Boolean:
                return succeeded(sqlite3_bind_int64(m_statement, index, value.toBool() ? 1 : 0));
            case QMAttributeType::Date:
                return succeeded(sqlite3_bind_int64(m_statement, index,
                                                    value.toDateTime().toMSecsSinceEpoch()));
            }
        }
        return bindStorage(index, QMPersistenceValue::toStorage(value, type));
    }
    bool bindNumber(int index, qint64 number)
    {
        const int status = sqlite3_bind_int64(m_statement, index, number);
        if (status != SQLITE_OK)
            remember(status);
        return status == SQLITE_OK;
    }
    bool bindAll(const QVariantList &stored)
    {
        for (qsizetype i = 0; i < stored.size(); ++i) {
            if (!bindStorage(int(i) + 1, stored.at(i)))
                return false;
        }
        return true;
    }

    // The next row: true while there is one; false at the end or on a failure (failed()).
    bool next()
    {
        const int status = sqlite3_step(m_statement);
        if (status == SQLITE_ROW)
            return true;
        if (status != SQLITE_DONE)
            remember(status);
        return false;
    }
    // Runs a statement that returns no rows, then makes it ready for new values.
    bool execute()
    {
        m_code = SQLITE_OK;
        m_message.clear();
        next();
        reset();
        return m_code == SQLITE_OK;
    }
    // Ends the statement's run (and any read it holds) and drops its values.
    void reset()
    {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
        m_texts.clear();
        m_blobs.clear();
    }
    void clearFailure()
    {
        m_code = SQLITE_OK;
        m_message.clear();
    }
    bool failed() const { return m_code != SQLITE_OK; }
    // SQLite's result code and message for the last failure.
    int code() const { return m_code; }
    QString message() const { return m_message; }

    qint64 integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    // Appends the column's value as an attribute value of `type` (QMPersistenceValue::
    // fromStorage()) to `values`, made in the list's own storage: a variant made apart and moved
    // in is written field by field and read back whole, which stalls the processor.
    void appendValue(QVariantList &values, int column, QMAttributeType type) const
    {
        if (sqlite3_column_type(m_statement, column) == SQLITE_NULL) {
            values.emplaceBack();
            return;
        }
        switch (type) {
        case QMAttributeType::String: {
            // UTF-16 straight from SQLite, which keeps a leading U+FEFF (QString::fromUtf8()
            // would drop it).
            const auto *text
                    = static_cast<const QChar *>(sqlite3_column_text16(m_statement, column));
            const int bytes = sqlite3_column_bytes16(m_statement, column);
            values.emplaceBack(text ? QString(text, bytes / 2) : QString(u""_s));
            return;
        }
        case QMAttributeType::Integer:
            values.emplaceBack(qint64(sqlite3_column_int64(m_statement, column)));
            return;
        case QMAttributeType::Double:
            values.emplaceBack(sqlite3_column_double(m_statement, column));
            return;
        case QMAttributeType::Boolean:
            values.emplaceBack(sqlite3_column_int64(m_statement, column) != 0);
            return;
        case QMAttributeType::Date:
            values.emplaceBack(QDateTime::fromMSecsSinceEpoch(
                    sqlite3_column_int64(m_statement, column), Qt::UTC));
            return;
        case QMAttributeType::Binary: {
            const void *blob = sqlite3_column_blob(m_statement, column);
            const int bytes = sqlite3_column_bytes(m_statement, column);
            // Never a null QByteArray: empty bytes are a value.
            values.emplaceBack(blob ? QByteArray(static_cast<const char *>(blob), bytes)
                                    : QByteArray(""));
            return;
        }
        }
        values.emplaceBack();
    }
    QString text(int column) const
    {
        const auto *text = static_cast<const QChar *>(sqlite3_column_text16(m_statement, column));
        return text ? QString(text, sqlite3_column_bytes16(m_statement, column) / 2) : QString();
    }

private:
    bool succeeded(int status)
    {
        if (status != SQLITE_OK)
            remember(status);
        return status == SQLITE_OK;
    }
    bool bindText(int index, const QString &text)
    {
        // Kept until the statement is reset, so SQLite needs no copy.
        m_texts.append(text.toUtf8());
        const QByteArray &utf8 = m_texts.last();
        return succeeded(sqlite3_bind_text64(m_statement, index, utf8.constData(),
                                             sqlite3_uint64(utf8.size()), SQLITE_STATIC,
                                             SQLITE_UTF8));
    }
    bool bindBytes(int index, const QByteArray &bytes)
    {
        // A reference kept until the statement is reset; a zero-length blob, not NULL, for
        // empty bytes.
        m_blobs.append(bytes);
        const QByteArray &kept = m_blobs.last();
        return succeeded(sqlite3_bind_blob64(m_statement, index, kept.constData(),
                                             sqlite3_uint64(kept.size()), SQLITE_STATIC));
    }
    void remember(int status)
    {
        m_code = status;
        // The message goes with the next call on the connection, so it is read at once.
        m_message = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db))
                         : QString::fromUtf8(sqlite3_errstr(status));
    }

    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_statement = nullptr;
    QString m_sql;
    int m_code = SQLITE_OK;
    QString m_message;
    QList<QByteArray> m_texts;
    QList<QByteArray> m_blobs;
};

} // namespace QMSQLite

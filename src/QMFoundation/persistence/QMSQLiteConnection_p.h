#pragma once

// The SQLite store's connection: the Qt SQL connection, the schema and every statement the store
// runs. Internal to the SQLite store.

#include "QMFoundation/persistence/QMPredicateSQL_p.h"
#include "QMFoundation/persistence/QMSQLiteSupport_p.h"
#include "QMFoundation/persistence/QMStoreBackend_p.h"

#include <QHash>
#include <QSqlDatabase>
#include <QUrl>

#include <sqlite3.h>

#include <functional>
#include <memory>

namespace QMSQLite {

// The prepared statements of one entity that every save and read uses.
struct EntityStatements
{
    Statement insert;
    Statement update;
    Statement remove;
    Statement read;
    Statement highest;
};

// The Qt SQL connection and its statements. Made, used and destroyed on the store thread only.
class Connection
{
public:
    Connection(std::shared_ptr<const QMManagedObjectModel> model, const QUrl &url, int timeout)
        : m_model(std::move(model))
        , m_url(url)
        , m_timeout(timeout)
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
    bool save(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error);

private:
    // A statement run once (prepared, bound, stepped to its end); false with the error.
    bool run(const QString &sql, QMError *error, qint64 code, const QVariantList &bindings = {});
    // A statement whose rows are read: `read` is called for each row.
    bool query(const QString &sql, QMError *error, qint64 code,
               const std::function<void(const Statement &)> &read,
               const QVariantList &bindings = {});
    Statement *cached(const QString &sql, QMError *error);
    EntityStatements *statements(const QMEntityDescription &entity, QMError *error);
    QMError sqlError(qint64 code, const QString &sql, int status, QString message) const;
    QMError sqlError(qint64 code, const Statement &statement) const;
    QMError incompatible(const QString &why) const;
    bool begin(qint64 code, QMError *error);
    bool createSchema(QString *identifier, QMError *error);
    bool checkSchema(QString *identifier, QMError *error);
    void rollback();

    std::shared_ptr<const QMManagedObjectModel> m_model;
    QUrl m_url;
    int m_timeout; // milliseconds a write waits for another writer
    QString m_identifier; // the store's, once open
    QString m_name; // of the Qt SQL connection; empty until it is added
    QSqlDatabase m_db;
    sqlite3 *m_handle = nullptr; // the driver's
    QHash<QString, std::shared_ptr<EntityStatements>> m_entities;
    // Fetch and count statements by SQL text: one per predicate shape, so a repeated fetch
    // only binds new values.
    QHash<QString, std::shared_ptr<Statement>> m_cache;
    Statement m_begin;
    Statement m_commit;
    Statement m_rollback;
    Statement m_nextNumber;
    Statement m_setNextNumber;
};

} // namespace QMSQLite

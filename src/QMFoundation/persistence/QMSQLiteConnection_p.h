#pragma once

// The SQLite store's connection: the Qt SQL connection, the schema and every statement the store
// runs. Internal to the SQLite store.

#include "QMFoundation/persistence/QMMigration_p.h"
#include "QMFoundation/persistence/QMPredicateSQL_p.h"
#include "QMFoundation/persistence/QMSQLiteSupport_p.h"
#include "QMFoundation/persistence/QMStoreBackend_p.h"

#include <QHash>
#include <QSqlDatabase>
#include <QUrl>

#include <sqlite3.h>

#include <functional>
#include <memory>

struct QMMigrationEntityStep;

namespace QMSQLite {

// The column type of an attribute type.
QString columnType(QMAttributeType type);

// The prepared statements of one entity that every save and read uses.
struct EntityStatements
{
    Statement insert;
    /// The insert of `rowsPerInsert` rows at once (prepared when a save first has that many),
    /// and its text.
    Statement insertMany;
    QString insertManySQL;
    int rowsPerInsert = 1;
    Statement update;
    Statement remove;
    Statement read;
    Statement highest;
};

// The Qt SQL connection and its statements. Made, used and destroyed on the store thread only.
class Connection
{
public:
    Connection(std::shared_ptr<const QMManagedObjectModel> model, const QUrl &url, int timeout,
               QMMigration::Settings settings)
        : m_model(std::move(model))
        , m_url(url)
        , m_timeout(timeout)
        , m_settings(std::move(settings))
    { }
    ~Connection();
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
    // `numbered` (when set) gets the new rows' numbers once all are taken, before any is written.
    bool save(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error,
              const QMNumbersGiven &numbered = {});
    // What opening did to bring the store to the model's version.
    const QMStoreMigration &migration() const { return m_migration; }

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
    // Why the file at `path` is shorter than its header says; empty when it is not.
    static QString truncation(const QString &path);
    bool createSchema(QString *identifier, QMError *error);
    bool checkSchema(QString *identifier, QMError *error);
    void rollback();

    // Migration (QMSQLiteMigration.cpp).
    static QString tableDefinition(const QMEntityDescription &entity, const QString &table);
    static QString indexName(const QString &entity, const QString &attribute);
    bool registerMigrationFunctions(QMError *error);
    bool readMetadata(QString *identifier, QString *hash, QString *versionName, QMError *error);
    bool migrateFrom(const std::shared_ptr<const QMManagedObjectModel> &source, QMError *error);
    bool backup(const QString &path, QMError *error);
    bool migrate(QMMigrationPlan *plan, bool *migrated, QString *backupPath, QMError *error);
    bool migrateEntity(const QMMigrationEntityStep &step, QMError *error);
    bool migrateWithHost(const QMMigrationEntityStep &step, QMError *error);
    bool replaceTable(const QString &entity, QMError *error);
    bool syncIndexes(QMError *error);

    std::shared_ptr<const QMManagedObjectModel> m_model;
    QUrl m_url;
    int m_timeout; // milliseconds a write waits for another writer
    QMMigration::Settings m_settings;
    QMStoreMigration m_migration;
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

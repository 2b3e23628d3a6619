#pragma once

// The interface between the coordinator and its store, and the three stores behind it. Rows
// carry values in the entity's attribute order, each of its attribute's type (or an invalid
// QVariant for none). The coordinator calls a store under its own mutex only, so a store needs
// no lock of its own and may be called from any thread, one call at a time.

#include <QMFoundation/QMFoundationStorageExport.h>

#include "QMFoundation/platform/QMFileLock_p.h"
#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/persistence/QMFetchRequest.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMMigrationPlan.h>

#include <QHash>
#include <QList>
#include <QString>
#include <QUrl>
#include <QVariantList>

#include <functional>
#include <memory>

/// One object of an entity as a store holds it.
struct QMStoreRow
{
    qint64 number = 0;
    /// Empty when the rows were asked for without values.
    QVariantList values;
};

/// Takes rows a fetch has read while it reads on: the rows so far, in order, taken out of the
/// list (which it leaves empty). A fetch calls it on the caller's thread only.
using QMRowBatches = std::function<void(QList<QMStoreRow> &)>;

/// A row that a save changes or deletes: its new values (none for a deletion) and the values
/// the saving context last read for it, so that the store can tell whether another context or
/// process saved the row since. `expected` is empty when the context never read the values
/// (a deleted fault): such a row is not checked.
struct QMStoreUpdate
{
    qint64 number = 0;
    QVariantList values;
    QVariantList expected;
};

/// The numbers a save gave the inserted rows: by entity, in the order of
/// QMStoreChanges::inserted.
using QMStoreNumbers = QHash<QString, QList<qint64>>;

/// Takes the numbers a save gives its inserted rows, before the save has ended.
using QMNumbersGiven = std::function<void(const QMStoreNumbers &)>;

/// One save: every row inserted, updated and deleted, by entity name. Inserted rows carry
/// temporary (negative) numbers; the store gives each its number inside the save.
struct QMStoreChanges
{
    QHash<QString, QList<QMStoreRow>> inserted;
    QHash<QString, QList<QMStoreUpdate>> updated;
    QHash<QString, QList<QMStoreUpdate>> deleted;
    /// When set, a store that numbers the new rows before it writes them calls it once it has,
    /// on the saving thread and while it writes, with the numbers the save gives if it succeeds;
    /// the save may still fail after it. Called at most once per save() of the store.
    QMNumbersGiven numbered;
};

/// What opening a store did to bring it to the model's version.
struct QMStoreMigration
{
    /// The plan carried out; empty when the store was at the model's version.
    QMMigrationPlan plan;
    /// The copy kept before the migration; empty when none.
    QString backupPath;
};

class QMStoreBackend
{
public:
    virtual ~QMStoreBackend() = default;

    /// What opening did to bring the store to the model's version.
    virtual QMStoreMigration migration() const { return {}; }

    /// The store's identifier (a UUID text).
    virtual QString identifier() const = 0;
    /// The rows of `entity` that `bound` (bound to the entity; null: all) selects, ordered by
    /// `sort` with ties in number order, at most `limit` (0: all). A store that reads rows
    /// while the caller waits may hand the first ones to `batches` (when set) meanwhile; `rows`
    /// then holds the rest. After a failure the rows handed over are not the answer.
    virtual bool fetch(const QMEntityDescription &entity, const QMPredicate &bound,
                       const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
                       QList<QMStoreRow> *rows, QMError *error, const QMRowBatches &batches)
            = 0;
    /// How many rows `bound` selects; -1 with the error.
    virtual qsizetype count(const QMEntityDescription &entity, const QMPredicate &bound,
                            QMError *error)
            = 0;
    /// The values of one row; false with no error when there is no such row.
    virtual bool readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                         QMError *error)
            = 0;
    /// Applies every change or none of them. Before anything is written, each updated and
    /// deleted row with expected values is compared with the row the store holds now: a row
    /// that differs, or an updated row that is gone, fails the whole save with
    /// QMManagedObjectMergeError (checkConflicts()); a deleted row that is already gone is
    /// simply skipped. Numbers for the inserted rows are taken inside the same transaction and
    /// returned in `numbers`.
    virtual bool save(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error) = 0;
    /// Releases the file; the store is not used afterwards.
    virtual void close() = 0;
};

namespace QMStoreBackends {

/// Opens (or makes) the SQLite store at `url` for `model`.
std::unique_ptr<QMStoreBackend> openSQLite(const std::shared_ptr<const QMManagedObjectModel> &model,
                                           const QUrl &url, const QVariantMap &options,
                                           QMError *error);
/// Opens (or makes) the PostgreSQL store at `url`
/// (postgresql://USER@HOST:PORT/DATABASE?schema=NAME) for `model`; `options` as
/// postgreSQLPassword() gave them.
std::unique_ptr<QMStoreBackend>
openPostgreSQL(const std::shared_ptr<const QMManagedObjectModel> &model, const QUrl &url,
               const QVariantMap &options, QMError *error);
/// Checks a PostgreSQL store URL (a password in it is refused) and asks the password provider of
/// `options` (QMPostgreSQLPasswordProviderOption), if any, for the server's password: called
/// before the coordinator takes its lock. `backendOptions` are the options openPostgreSQL()
/// takes, the password among them; they are never kept as the store's options.
bool postgreSQLPassword(const QUrl &url, const QVariantMap &options, QVariantMap *backendOptions,
                        QMError *error);
/// The PostgreSQL column type of an attribute type: the storage values of
/// QMPersistenceValue::toStorage() fit it as they are.
QString postgreSQLColumnType(QMAttributeType type);
/// Reads (or makes) the XML store at `url`; an empty `url` is the in-memory store.
std::unique_ptr<QMStoreBackend> openGraph(const std::shared_ptr<const QMManagedObjectModel> &model,
                                          const QUrl &url, const QVariantMap &options,
                                          QMError *error);

/// The model hash (hex) and version name a SQLite store file records, read without changing it
/// (the version name is empty for stores that recorded none), waiting at most `timeout` ms for a
/// writer.
bool readSQLiteVersion(const QUrl &url, int timeout, QString *hash, QString *versionName,
                       QMError *error);
/// The same of a PostgreSQL store, on a connection of its own that changes nothing; `options` as
/// postgreSQLPassword() gave them (the password, QMPersistentStoreTimeoutOption).
bool readPostgreSQLVersion(const QUrl &url, const QVariantMap &options, QString *hash,
                           QString *versionName, QMError *error);
/// The same of an XML store file.
bool readXMLVersion(const QUrl &url, int timeout, QString *hash, QString *versionName,
                    QMError *error);

/// An in-memory store for `model` holding the objects of `source` (an in-memory store)
/// migrated by `plan`, with its identifier; nullptr with QMMigrationError when a host migration
/// stops. `source` is left as it was.
std::unique_ptr<QMStoreBackend>
migrateInMemory(const QMStoreBackend &source,
                const std::shared_ptr<const QMManagedObjectModel> &model,
                const QMMigrationPlan &plan, const QVariantMap &options, QMError *error);

/// Test hook: while set, the XML store's file writes fail before the commit, as a full disk
/// would. Tests only.
QMF_STORAGE_EXPORT void setXMLWriteFailureForTesting(bool fail);
/// When the next PostgreSQL save loses its connection, for setPostgreSQLConnectionLossForTesting().
enum class PostgreSQLConnectionLoss { None, BeforeCommit, AfterCommit };
/// Test hook: the next PostgreSQL save (of any store) ends its own server connection just before
/// its COMMIT, or just after it (and then takes the COMMIT for failed, as when the answer is
/// lost on the way). Once only. Tests only.
QMF_STORAGE_EXPORT void setPostgreSQLConnectionLossForTesting(PostgreSQLConnectionLoss loss);
/// Test hook: the size limit of XML store files, for writers and readers alike (0 restores
/// QMXMLStoreMaximumFileSize). Tests only.
QMF_STORAGE_EXPORT void setXMLMaximumFileSizeForTesting(qint64 bytes);

/// Orders rows in memory as the stores do: by each descriptor (absent first when ascending),
/// ties by number. `columns` are the attribute positions of the descriptors' keys.
void sortRows(QList<QMStoreRow> &rows, const QMEntityDescription &entity,
              const QList<QMFetchSortDescriptor> &sort);
/// The end of every fetch in memory: sortRows(), then at most `limit` rows (0: all), without
/// their values unless `withValues`.
void finishRows(QList<QMStoreRow> &rows, const QMEntityDescription &entity,
                const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues);

/// Gives `count` numbers from `next` on (moving it on), or false with a
/// QMPersistentStoreSaveError when the entity's numbers would run out, which only a store file
/// edited to say so can bring about.
bool takeNumbers(qint64 &next, qsizetype count, const QString &entityName, QList<qint64> *numbers,
                 QMError *error);

/// Whether two rows of the entity hold the same values (by the stores' value rules).
bool sameValues(const QMEntityDescription &entity, const QVariantList &a, const QVariantList &b);

/// The conflicts of a save against the rows a store holds now, read with `current` (false: no
/// such row; a read failure sets `*error` and stops the check). False with
/// QMManagedObjectMergeError, naming every conflicting object, when an updated row differs from
/// what its context read or is gone, or a deleted row differs; true otherwise.
bool checkConflicts(const QMStoreChanges &changes, const QMManagedObjectModel &model,
                    const QString &storeIdentifier,
                    const std::function<bool(const QMEntityDescription &, qint64, QVariantList *,
                                             QMError *)> &current,
                    QMError *error);

/// An error of the object store's domain with a description.
QMError makeError(qint64 code, const QString &description, const QVariantMap &extra = {});

/// The error for a file that could not be read or written: "ACTION PATH: REASON." under
/// QMPersistentStoreURLErrorKey (`url`, when given) and QMFilePathErrorKey. `code` is the
/// operation's (QMFileReadUnknownError for reads); a read refused for permission becomes
/// QMFileReadNoPermissionError, a file over `limit` QMFileReadTooLargeError, a lock held past
/// the time-out QMPersistentStoreTimeoutError.
QMError fileError(qint64 code, const QString &action, const QString &path,
                  const QMFileStatus &status, qint64 limit = 0, const QUrl &url = QUrl());

/// The time-out of QMPersistentStoreTimeoutOption in `options`, in milliseconds.
int timeoutOf(const QVariantMap &options);

} // namespace QMStoreBackends

#pragma once

// The interface between the coordinator and its store, and the three stores behind it. Rows
// carry values in the entity's attribute order, each of its attribute's type (or an invalid
// QVariant for none). The coordinator calls a store under its own mutex only, so a store needs
// no lock of its own and may be called from any thread, one call at a time.

#include "QMFoundationStorageExport.h"

#include "errors/QMError.h"
#include "persistence/QMFetchRequest.h"
#include "persistence/QMManagedObjectModel.h"

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

/// One save: every row inserted, updated and deleted, by entity name.
struct QMStoreChanges
{
    QHash<QString, QList<QMStoreRow>> inserted;
    QHash<QString, QList<QMStoreRow>> updated;
    QHash<QString, QList<qint64>> deleted;
};

class QMStoreBackend
{
public:
    virtual ~QMStoreBackend() = default;

    /// The store's identifier (a UUID text).
    virtual QString identifier() const = 0;
    /// The rows of `entity` that `bound` (bound to the entity; null: all) selects, ordered by
    /// `sort` with ties in number order, at most `limit` (0: all).
    virtual bool fetch(const QMEntityDescription &entity, const QMPredicate &bound,
                       const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
                       QList<QMStoreRow> *rows, QMError *error)
            = 0;
    /// How many rows `bound` selects; -1 with the error.
    virtual qsizetype count(const QMEntityDescription &entity, const QMPredicate &bound,
                            QMError *error)
            = 0;
    /// The values of one row; false with no error when there is no such row.
    virtual bool readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                         QMError *error)
            = 0;
    /// Applies every change or none of them.
    virtual bool save(const QMStoreChanges &changes, QMError *error) = 0;
    /// A number no object of the entity has had; kept in the store with the next save.
    virtual qint64 allocateNumber(const QString &entityName) = 0;
    /// Releases the file; the store is not used afterwards.
    virtual void close() = 0;
};

namespace QMStoreBackends {

/// Opens (or makes) the SQLite store at `url` for `model`.
std::unique_ptr<QMStoreBackend> openSQLite(const std::shared_ptr<const QMManagedObjectModel> &model,
                                           const QUrl &url, QMError *error);
/// Reads (or makes) the XML store at `url`; an empty `url` is the in-memory store.
std::unique_ptr<QMStoreBackend> openGraph(const std::shared_ptr<const QMManagedObjectModel> &model,
                                          const QUrl &url, QMError *error);

/// Test hook: while set, the XML store's file writes fail before the commit, as a full disk
/// would. Tests only.
QMF_STORAGE_EXPORT void setXMLWriteFailureForTesting(bool fail);

/// Orders rows in memory as the stores do: by each descriptor (absent first when ascending),
/// ties by number. `columns` are the attribute positions of the descriptors' keys.
void sortRows(QList<QMStoreRow> &rows, const QMEntityDescription &entity,
              const QList<QMFetchSortDescriptor> &sort);
/// The end of every fetch in memory: sortRows(), then at most `limit` rows (0: all), without
/// their values unless `withValues`.
void finishRows(QList<QMStoreRow> &rows, const QMEntityDescription &entity,
                const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues);

/// Gives out the number `next` of the entity and moves it on. Throws
/// QMInternalInconsistencyException once every number has been given, which only a store file
/// edited to say so can bring about.
qint64 takeNumber(qint64 &next, const QString &entityName);

/// An error of the object store's domain with a description.
QMError makeError(qint64 code, const QString &description, const QVariantMap &extra = {});

} // namespace QMStoreBackends

#pragma once

// Predicates as SQLite conditions, for the SQLite store.

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QString>
#include <QVariantList>

#include <sqlite3.h>

namespace QMPredicateSQL {

/// A WHERE condition and the values of its parameters.
struct Condition
{
    QString sql;
    QVariantList bindings;
};

/// The condition that selects exactly the rows `bound.evaluateWithValues()` accepts. `bound` must
/// be bound to `entity` (QMPredicate::boundToEntity()); otherwise this throws
/// QMInternalInconsistencyException "Invalid parameter not satisfying: bound to the entity".
/// Columns are the attribute names in double quotes ("name"), unqualified; bindings
/// are storage values (QMPersistenceValue::toStorage()), one per "?" in order. A null predicate
/// gives "1". Nothing from a value reaches the SQL text. Every comparison is wrapped so that it
/// is 0 or 1, never NULL, which keeps NOT, AND and OR two-valued as in memory.
QMF_STORAGE_EXPORT Condition compile(const QMPredicate &bound, const QMEntityDescription &entity);

/// Adds the functions compiled conditions call to a connection: qm_fold(text) (case folding, for
/// [c]) and qm_like(text, pattern, caseInsensitive) (LIKE with * and ?). Call once per
/// connection before running conditions; false with a QMPersistentStoreOperationError when
/// SQLite refuses.
QMF_STORAGE_EXPORT bool registerFunctions(sqlite3 *db, QMError *error = nullptr);

} // namespace QMPredicateSQL

#pragma once

// Predicates as SQL conditions, for the SQLite and PostgreSQL stores.

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

/// The SQL a condition is written in.
enum class Dialect {
    /// SQLite, with the functions registerFunctions() adds.
    SQLite,
    /// PostgreSQL, on tables whose texts are `text COLLATE "C"`, each with its folded column
    /// (foldedColumn()) next to it; no functions of the library's own.
    PostgreSQL,
};

/// The condition that selects exactly the rows `bound.evaluateWithValues()` accepts. `bound` must
/// be bound to `entity` (QMPredicate::boundToEntity()); otherwise this throws
/// QMInternalInconsistencyException "Invalid parameter not satisfying: bound to the entity".
/// Columns are the attribute names in double quotes ("name"), unqualified; bindings
/// are storage values (QMPersistenceValue::toStorage()), one per "?" in order. A null predicate
/// gives "1" (SQLite) or "TRUE" (PostgreSQL). Nothing from a value reaches the SQL text. Every
/// comparison is wrapped so that it is true or false, never NULL, which keeps NOT, AND and OR
/// two-valued as in memory.
///
/// For PostgreSQL, [c] comparisons read the folded column with a folded value, and LIKE becomes
/// PostgreSQL's LIKE with "%", "_" and "\" escaped ("_" is one code point, as "?" is). A text
/// holding U+0000, which PostgreSQL cannot keep, equals no stored text and orders as its part
/// before the U+0000 does, followed by something smaller than every character.
QMF_STORAGE_EXPORT Condition compile(const QMPredicate &bound, const QMEntityDescription &entity,
                                     Dialect dialect = Dialect::SQLite);

/// The column beside a String attribute's that holds the attribute's folded value
/// (QMPersistenceValue::folded(), NULL when the value is absent), for PostgreSQL: the attribute's
/// name followed by "#folded", unquoted. No attribute name holds a "#", so it names no attribute.
QMF_STORAGE_EXPORT QString foldedColumn(const QString &attribute);

/// Adds the functions compiled conditions call to a connection: qm_fold(text) (case folding, for
/// [c]) and qm_like(text, pattern, caseInsensitive) (LIKE with * and ?). Call once per
/// connection before running conditions; false with a QMPersistentStoreOperationError when
/// SQLite refuses.
QMF_STORAGE_EXPORT bool registerFunctions(sqlite3 *db, QMError *error = nullptr);

} // namespace QMPredicateSQL

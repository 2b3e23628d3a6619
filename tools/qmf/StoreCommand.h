#pragma once

#include "ToolCommand.h"

#include <QTextStream>

class QMManagedObject;
class QMPersistentStore;

/// `qmf store create|insert|fetch|count|delete|migrate`: objects of a model in a SQLite, XML,
/// in-memory or PostgreSQL store, and the tour's section on the object store.
namespace StoreCommand {

ToolCommand command();

/// The tour's "Object store" section, on the bundled sample model and a store in a temporary
/// directory.
void tourSection(QTextStream &out);

/// One object as a JSON line: {"objectID": N, then the attributes in the model's order}; dates in
/// ISO 8601 (UTC, milliseconds), binary values in Base64, absent values null.
QString objectLine(const QMManagedObject &object);

/// What opening `store` with the version `versionName` of its model did: "migrated from version
/// 1 to 2", with "; the store as it was is kept at BACKUP" when `backup` is not empty, or "the
/// store is at version 2; nothing to migrate".
QString migrationOutcome(const QMPersistentStore &store, const QString &versionName,
                         const QString &backup);

} // namespace StoreCommand

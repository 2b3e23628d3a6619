#pragma once

#include "ToolCommand.h"

#include <QTextStream>

class QMManagedObject;

/// `qmf store create|insert|fetch|count|delete`: objects of a model in a SQLite, XML or
/// in-memory store, and the tour's section on the object store.
namespace StoreCommand {

ToolCommand command();

/// The tour's "Object store" section, on the bundled sample model and a store in a temporary
/// directory.
void tourSection(QTextStream &out);

/// One object as a JSON line: {"objectID": N, then the attributes in the model's order}; dates in
/// ISO 8601 (UTC, milliseconds), binary values in Base64, absent values null.
QString objectLine(const QMManagedObject &object);

} // namespace StoreCommand

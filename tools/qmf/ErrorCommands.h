#pragma once

#include "ToolCommand.h"

#include <QTextStream>

/// `qmf errors explain CATALOG.json DOMAIN CODE [KEY=VALUE]...`: an error built from a catalog
/// file, and the tour's section on error catalogs.
namespace ErrorCommands {

/// The "errors" command with its sub-command "explain".
ToolCommand command();

/// The tour's "Error catalogs" section: the bundled sync-errors.json and one error built from
/// it.
void tourSection(QTextStream &out);

} // namespace ErrorCommands

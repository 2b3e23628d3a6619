#pragma once

#include "ToolCommand.h"

#include <QTextStream>

/// `qmf sys`, `qmf sys mime PATH...` and `qmf sys normalize URL...`, and the tour's section on
/// files and the system.
namespace SysCommands {

/// The "sys" command with its sub-commands "mime" and "normalize".
ToolCommand command();

/// The normalised form of `url`: QMURLPaths::normalizedFileURL() for a file URL,
/// QMURLPaths::URLByNormalizingPath() for any other.
QUrl normalized(const QUrl &url);

/// The tour's "Files and the system" section.
void tourSection(QTextStream &out);

} // namespace SysCommands

#pragma once

#include "ToolCommand.h"

#include <QByteArray>
#include <QStringList>
#include <QTextStream>

/// `qmf version compare A B` and `qmf version sort [FILE]`, and the tour's section on version
/// strings.
namespace VersionCommands {

/// The "version" command with its sub-commands "compare" and "sort".
ToolCommand command();

/// The lines of `input` as `qmf version sort` reads them: decoded as UTF-8 (or Mac OS Roman
/// when the bytes are not UTF-8), split at "\n", each without a final "\r"; after a final "\n"
/// no empty line follows. Empty input has no lines.
QStringList lines(const QByteArray &input);

/// `lines` sorted from the lowest to the highest version; equal versions keep their order.
QStringList sorted(QStringList lines);

/// The tour's "Version strings" section: the bundled versions.txt sorted, and a few
/// comparisons.
void tourSection(QTextStream &out);

} // namespace VersionCommands

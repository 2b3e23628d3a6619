#pragma once

#include "ToolCommand.h"

#include <QTextStream>

/// `qmf reach [HOST|ADDRESS] [--watch [--count N]]` and the tour's section on reachability.
namespace ReachCommand {

/// The "reach" command.
ToolCommand command();

/// The tour's "Network reachability" section: a one-off check of 127.0.0.1.
void tourSection(QTextStream &out);

} // namespace ReachCommand

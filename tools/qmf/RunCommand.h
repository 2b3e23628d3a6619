#pragma once

#include "ToolCommand.h"

#include <QByteArray>
#include <QString>
#include <QTextStream>

/// `qmf run [--cwd DIR] [--env NAME=VALUE]... [--lines] [--] PROGRAM [ARG...]` and the tour's
/// section on running commands.
namespace RunCommand {

/// The "run" command: runs PROGRAM through QMCommandOperation, streams its standard output and
/// standard error as they arrive, forwards SIGINT to the program as the operation's cancel()
/// and exits with the program's exit code (127 when it cannot be launched).
ToolCommand command();

/// The words of `qmf run`'s own options that take a value ("--cwd", "--env"): qmf's argument
/// splitting must not take such a value for PROGRAM.
bool takesValue(const QString &word);

/// `output` split into lines at "\n" by QMSeparator, each as "N: text" with N counted from 1
/// and a line feed; a final "\n" adds no empty line. Bytes that are not UTF-8 show as U+FFFD.
QString numberedLines(const QByteArray &output);

/// The tour's "Running commands" section.
void tourSection(QTextStream &out);

} // namespace RunCommand

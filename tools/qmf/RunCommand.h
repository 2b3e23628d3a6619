#pragma once

#include "ToolCommand.h"

#include <QByteArray>
#include <QString>
#include <QTextStream>

/// `qmf run [--cwd DIR] [--env NAME=VALUE]... [--lines] [--] PROGRAM [ARG...]` and the tour's
/// section on running commands.
namespace RunCommand {

/// The "run" command: runs PROGRAM through QMCommandOperation, streams its standard output and
/// standard error as they arrive (keeping none of it, but with --lines), passes SIGINT on to the
/// program as the operation's cancel() unless the terminal already sent it there, and exits as a
/// shell would: the program's exit code, 128 + N for a program ended by signal N, 127 when it
/// is not found, 126 when it cannot be run.
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

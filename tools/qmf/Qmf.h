#pragma once

#include <QIODevice>
#include <QStringList>
#include <QTextStream>

/// The qmf tool, callable in-process so that tests can run it without spawning a program.
namespace Qmf {

/// An argument vector divided into the part qmf's own parser reads and the part handed on
/// untouched: everything after the SPEC.json of `options check`, the PROGRAM of `run` and
/// everything after it, and everything after a "--".
struct SplitArguments
{
    QStringList parserArguments;
    QStringList passedOn;
};

/// Divides the arguments that follow the program name. The option parser knows no end-of-options
/// marker and takes every "-"-prefixed word as an option, so qmf must cut the vector itself.
SplitArguments splitArguments(const QStringList &arguments);

/// Runs qmf with the arguments that follow the program name. Returns the exit status:
/// 0 on success, 2 on a usage error, a bad definition file or a parse error, 1 when a command
/// cannot do what a well-formed command line asks (`errors explain` with a catalog that does
/// not load or lacks the error); `run` passes on its program's status. A parse error of qmf's own
/// command line prints the error's description and, on the next line, its failure reason when it
/// has one.
int run(const QStringList &arguments, QTextStream &out, QTextStream &err);
/// As run() above, with `input` standing in for the standard input (commands read it when
/// they are given no file).
int run(const QStringList &arguments, QIODevice &input, QTextStream &out, QTextStream &err);

} // namespace Qmf

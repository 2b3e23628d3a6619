#pragma once

#include "ToolCommand.h"

#include <QTextStream>

/// `qmf observe`: a scripted demonstration of key-value observation, and the tour's section.
///
/// A sample person's "name" is observed twice: with a block (new, old and initial values) and
/// with a message to an observer object (new and old values, with user info). A repeating timer
/// then changes the name, destroys the observer (which removes its observation) and changes the
/// name once more. The standard output is one line per event, in this order:
///
///     block: name setting old=none new="Ada Lovelace"
///     timer: name = "Grace Hopper"
///     block: name setting old="Ada Lovelace" new="Grace Hopper"
///     message: name setting old="Ada Lovelace" new="Grace Hopper" user info="printer"
///     timer: the observer is destroyed
///     message observation valid: false
///     timer: name = "Alan Turing"
///     block: name setting old="Grace Hopper" new="Alan Turing"
///
/// A notification line is "DELIVERY: KEYPATH KIND old=VALUE new=VALUE", the kind one of
/// setting, insertion, removal and replacement, a value in JSON notation or "none" when the
/// change lacks it. Exit status 0; 1 when the script does not finish within 5 seconds.
namespace ObserveCommand {

ToolCommand command();

/// Runs the script, writing its lines to `out`, serving the calling thread's event loop until
/// it ends. False when it did not end within 5 seconds.
bool run(QTextStream &out);

void tourSection(QTextStream &out);

} // namespace ObserveCommand

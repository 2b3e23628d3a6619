#pragma once

#include "ToolCommand.h"

#include <QTextStream>

/// `qmf keychain add|find|update|delete|list`: generic passwords (--account, --service) and
/// internet passwords (--url) in the user's default keychain or a keychain file (--file), and the
/// tour's section on the credential store.
namespace KeychainCommand {

ToolCommand command();

/// The tour's "Credential store" section, on a keychain file in a temporary directory.
void tourSection(QTextStream &out);

} // namespace KeychainCommand

#pragma once

#include "ToolCommand.h"

#include <QList>
#include <QTextStream>

/// `qmf base64 [--decode] [FILE]` and `qmf digest --md5|--sha1|--sha256 [FILE]`, which read the
/// file or the standard input.
///
/// base64 writes exactly the codec's text: lines of 72 characters each followed by "\r\n" (also
/// a last full line), and nothing after a shorter last line. With --decode it writes the decoded
/// bytes unchanged. digest prints the lower-case hexadecimal digest and a line feed; it needs
/// exactly one of its three options (repeating the same one is allowed). Usage errors, a file
/// that cannot be read and an input too large for the codec end with status 2.
namespace CodecCommands {

QList<ToolCommand> commands();

/// The tour's section on Base64 and digests.
void tour(QTextStream &out);

} // namespace CodecCommands

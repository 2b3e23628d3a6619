#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>

/// A quick guess whether bytes hold binary data rather than text.
namespace QMBinaryDetection {

/// True when the first 2048 bytes of `data` (all of it when shorter) contain three zero bytes
/// in a row. Bytes from offset 2048 on are never read, so the cost does not grow with the data
/// and a file whose zeros start later counts as text. Empty data is not binary. UTF-16 text
/// counts as text unless it holds U+0000; UTF-32 text (where "a" is 61 00 00 00) is binary.
QMF_CORE_EXPORT bool isBinaryData(const QByteArray &data);

} // namespace QMBinaryDetection

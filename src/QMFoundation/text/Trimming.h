#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

namespace Trimming {

/// The text without white space and line breaks at both ends.
QMF_CORE_EXPORT QString stringByTrimmingWhitespaceAndNewline(const QString &string);

/// Shortens a text longer than `maxLength` to head + "..." + tail, where the head has
/// h = (maxLength - 3) / 2 characters and the tail h + 3 (UTF-16 code units), so the result is
/// two or three characters longer than `maxLength`. Neither cut splits a surrogate pair: a cut
/// that would moves one code unit inward, so the head or the tail (or both) may then be one code
/// unit shorter and the result always stays valid UTF-16. A `maxLength` below 3 throws
/// QMInternalInconsistencyException ("Invalid parameter not satisfying: maxLength >= 3").
QMF_CORE_EXPORT QString trimInTheMiddleWithMaxLength(const QString &string, quint64 maxLength);

} // namespace Trimming

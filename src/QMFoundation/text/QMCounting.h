#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

namespace QMCounting {

/// Number of lines; LF, CR, CRLF, U+0085, U+2028 and U+2029 end a line, and a final line break
/// does not start another one. An empty text has 0 lines.
QMF_CORE_EXPORT quint64 lineCount(const QString &string);

} // namespace QMCounting

#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/dates/QMTimestampFormatter.h>

/// Timestamps with millisecond fractions in UTC, "2021-03-04T05:06:07.891Z" (the pattern
/// "yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'SSS'Z'"). See QMTimestampFormatter for the exact rules.
namespace RFC3339 {

/// The shared formatter with three fraction digits, created on the first call (once, also when
/// several threads make the first call at the same time) and kept for the life of the process.
QMF_CORE_EXPORT const QMTimestampFormatter &rfc3339DateFormatter();
/// The instant `string` names, or an invalid QDateTime when it does not follow the pattern.
[[nodiscard]] QMF_CORE_EXPORT QDateTime dateWithRFC3339DateString(const QString &string);
/// `date` in the pattern; a null QString for an invalid date or a year outside 0001-9999.
QMF_CORE_EXPORT QString rfc3339DateString(const QDateTime &date);

} // namespace RFC3339

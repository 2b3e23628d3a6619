#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/dates/QMTimestampFormatter.h>

/// Timestamps with five fraction digits in UTC, "2021-03-04T05:06:07.89100Z" (the pattern
/// "yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'SSSSS'Z'"). A date holds milliseconds, so the last two
/// digits are written as zeros and dropped when read. See QMTimestampFormatter for the rules.
namespace ISO8601 {

/// The shared formatter with five fraction digits, created on the first call (once, also when
/// several threads make the first call at the same time) and kept for the life of the process.
QMF_CORE_EXPORT const QMTimestampFormatter &iso8601DateFormatter();
/// The instant `string` names, or an invalid QDateTime when it does not follow the pattern.
[[nodiscard]] QMF_CORE_EXPORT QDateTime dateWithISO8601DateString(const QString &string);
/// `date` in the pattern; a null QString for an invalid date or a year outside 0001-9999.
QMF_CORE_EXPORT QString iso8601DateString(const QDateTime &date);

} // namespace ISO8601

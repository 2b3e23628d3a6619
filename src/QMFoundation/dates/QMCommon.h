#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QDateTime>

/// Dates a number of days or hours away from now, the bounds of a date's day, and whole-day
/// distances.
///
/// Days and hours are fixed lengths (86400 and 3600 seconds): no calendar arithmetic and no
/// daylight-saving adjustment, so "one day from now" is 24 hours from now even on the day the
/// clocks change. The bounds of a day are read on the local clock (the user's time zone, as
/// Qt::LocalTime sees it: the TZ environment variable or the system's zone), which is where
/// a day that has 23 or 25 hours shows.
///
/// Dates are returned in UTC; an invalid QDateTime stands for none.
namespace QMCommon {

/// Now plus `days` times 86400 seconds; invalid when that lies beyond QDateTime's range.
QMF_CORE_EXPORT QDateTime dateWithNumberOfDaysFromNow(quint64 days);
/// Now minus `days` times 86400 seconds; invalid when that lies beyond QDateTime's range.
QMF_CORE_EXPORT QDateTime dateWithNumberOfDaysAgo(quint64 days);
/// Now plus `hours` times 3600 seconds; invalid when that lies beyond QDateTime's range.
QMF_CORE_EXPORT QDateTime dateWithNumberOfHoursFromNow(quint64 hours);
/// Now minus `hours` times 3600 seconds; invalid when that lies beyond QDateTime's range.
QMF_CORE_EXPORT QDateTime dateWithNumberOfHoursAgo(quint64 hours);

/// The first moment of `date`'s local day, 00:00:00 on the local clock. When the clocks skip
/// midnight (a daylight-saving change at 00:00), the day begins when they land, at 01:00. When
/// midnight comes twice, the first one. Invalid for an invalid date.
QMF_CORE_EXPORT QDateTime firstMomentOfDay(const QDateTime &date);
/// 23:59:59 on the local clock of `date`'s local day; when that time comes twice, the second
/// one; when the clocks skip it, the time it would be after the skip. Invalid for an invalid
/// date.
QMF_CORE_EXPORT QDateTime lastMomentOfDay(const QDateTime &date);

/// Whole days from `date` to `other`, partial days counted as whole: the seconds between them
/// divided by 86400, rounded away from zero (positive when `other` is later). 0 when they are
/// the same instant or either is invalid.
QMF_CORE_EXPORT qint64 numberOfDaysUntilDate(const QDateTime &date, const QDateTime &other);
/// The magnitude of numberOfDaysUntilDate(), taken as a 32-bit signed integer first: distances
/// beyond 2^31 days wrap as they would in 32 bits.
QMF_CORE_EXPORT quint64 absoluteNumberOfDaysUntilDate(const QDateTime &date,
                                                      const QDateTime &other);

} // namespace QMCommon

#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QDateTime>
#include <QString>

/// The distance between a date and now in words ("3 hours", "less than a minute"), the same
/// for the past and the future.
///
/// The words are looked up with QCoreApplication::translate() in the context
/// "RelativeDateString", the English text being the source: "less than a minute", "1 minute",
/// "%li minutes", "1 hour", "%li hours", "1 day", "%li days", "1 month", "%li months", "1 year",
/// "%li years". A host's translator changes them (the library ships qmfoundation_de.qm; see
/// docs/guide/dates.md on loading it); without one the English text is used. In the texts with
/// "%li" the number is put in its place ("%%" stands for "%"); the lookup passes the number too, so
/// a translation may give plural forms.
///
/// With m the distance in minutes: below 1 "less than a minute", below 2 "1 minute", below 45
/// m minutes (cut towards zero), below 90 "1 hour", below 1440 m / 60 hours, below 2520 "1 day",
/// below 43200 m / 1440 days, below 64800 "1 month", below 525600 m / 43200 months, below 792000
/// "1 year", and m / 525600 years beyond. These quotients are taken in single precision and
/// rounded half away from zero.
namespace RelativeDateString {

/// The distance between `date` and the current time in words; a null QString for an invalid
/// date.
QMF_CORE_EXPORT QString distanceOfTimeInWords(const QDateTime &date);
/// The distance between `date` and `now` in words; a null QString when either is invalid.
QMF_CORE_EXPORT QString distanceOfTimeInWords(const QDateTime &date, const QDateTime &now);

} // namespace RelativeDateString

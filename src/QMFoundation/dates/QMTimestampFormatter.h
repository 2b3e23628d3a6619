#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QDateTime>
#include <QString>
#include <QTimeZone>

/// Writes and reads timestamps of one fixed pattern in UTC: "yyyy-MM-ddTHH:mm:ss", a period, a
/// fixed number of fraction digits and a literal "Z", such as "2021-03-04T05:06:07.891Z".
///
/// The pattern is fixed: the machine's time zone, locale and calendar play no part, digits are
/// ASCII and the calendar is the proleptic Gregorian one. Reading is strict, because timestamps
/// come from servers and files: the text must have exactly the pattern's length and fraction
/// digits, the literal "-", "T", ":", "." and upper-case "Z" where the pattern has them, a year
/// from 0001 to 9999, and fields in range (month 01-12, a day that the month has, hour 00-23,
/// minute and second 00-59; there are no leap seconds). Nothing else is accepted: no offsets,
/// spaces, signs or lower-case letters.
///
/// A date holds milliseconds: fraction digits past the third are read and dropped (truncated),
/// and written as zeros. With one or two digits the milliseconds are truncated to that width.
///
/// A formatter is immutable, so one instance may be used from any number of threads at once.
class QMF_CORE_EXPORT QMTimestampFormatter
{
public:
    /// A formatter with `fractionDigits` digits after the seconds. Throws "Invalid parameter not
    /// satisfying: fractionDigits >= 1 && fractionDigits <= 9" outside that range.
    explicit QMTimestampFormatter(int fractionDigits);

    /// The number of fraction-of-second digits given at construction.
    int fractionDigits() const { return m_fractionDigits; }
    /// The pattern in the notation of Unicode Technical Standard 35, such as
    /// "yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'SSS'Z'".
    QString dateFormat() const;
    /// Always UTC (offset 0).
    QTimeZone timeZone() const;

    /// `date` written in UTC; a null QString for an invalid date or one outside the years 0001 to
    /// 9999 in UTC.
    QString stringFromDate(const QDateTime &date) const;
    /// The instant `string` names, as a QDateTime in UTC; an invalid (null) QDateTime when the
    /// text does not follow the pattern exactly.
    QDateTime dateFromString(const QString &string) const;

private:
    int m_fractionDigits;
};

#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTimeZone>

#include <memory>

/// Writes a date in the long date style of a locale, with words such as "today", "yesterday" and
/// "tomorrow" in place of the dates they name ("today, 6:18 AM", "gestern", "March 4, 2021"), with
/// or without the short time. The words and styles are ICU's relative date formatting (CLDR
/// data), so they follow the locale.
///
/// Which day is today is decided in the formatter's time zone when a date is written.
/// Thread-safe: ICU's formatters are not, so each formatter serialises its calls.
class QMF_CORE_EXPORT QMRelativeDateFormatter
{
public:
    /// Whether dates are written with their time of day.
    enum class TimeStyle { None, Short };

    /// A formatter for `locale` (its language, script and territory) and `timeZone`. A zone ICU
    /// does not know falls back to ICU's default zone.
    explicit QMRelativeDateFormatter(TimeStyle timeStyle, const QLocale &locale = QLocale(),
                                     const QTimeZone &timeZone = QTimeZone::systemTimeZone());
    ~QMRelativeDateFormatter();
    QMRelativeDateFormatter(const QMRelativeDateFormatter &) = delete;
    QMRelativeDateFormatter &operator=(const QMRelativeDateFormatter &) = delete;

    /// The shared formatter with the long date and short time style in the user's locale
    /// (QLocale()) and time zone as they are on the first call. Created on the first call (once,
    /// also when several threads make it at the same time) and kept for the life of the process.
    static const QMRelativeDateFormatter &longDateShortTimeFormatter();
    /// As longDateShortTimeFormatter(), with the long date style and no time.
    static const QMRelativeDateFormatter &longDateFormatter();

    /// The time style given at construction.
    TimeStyle timeStyle() const;
    /// `date` in this formatter's style; a null QString for an invalid date, or when ICU could
    /// not make a formatter for the locale.
    QString stringFromDate(const QDateTime &date) const;

private:
    class Private;
    std::unique_ptr<Private> d;
};

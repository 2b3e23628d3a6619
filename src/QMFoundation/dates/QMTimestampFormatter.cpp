#include <QMFoundation/dates/QMTimestampFormatter.h>

#include <QMFoundation/dates/ISO8601.h>
#include <QMFoundation/dates/RFC3339.h>
#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <array>

namespace {

constexpr qint64 msecsPerDay = 86400000;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's civil-date
// algorithms). Our own arithmetic rather than QDate's, so that the text maps to the instant
// through nothing that a time zone, locale or calendar setting could reach.
constexpr qint64 daysFromCivil(qint64 year, int month, int day)
{
    year -= month <= 2;
    const qint64 era = (year >= 0 ? year : year - 399) / 400;
    const qint64 yearOfEra = year - era * 400;
    const qint64 dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const qint64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct Civil
{
    qint64 year;
    int month;
    int day;
};

constexpr Civil civilFromDays(qint64 days)
{
    days += 719468;
    const qint64 era = (days >= 0 ? days : days - 146096) / 146097;
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra
            = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 shiftedMonth = (5 * dayOfYear + 2) / 153;
    const int day = int(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    const int month = int(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    return {yearOfEra + era * 400 + (month <= 2), month, day};
}

constexpr qint64 firstMsec = daysFromCivil(1, 1, 1) * msecsPerDay;
constexpr qint64 endMsec = daysFromCivil(10000, 1, 1) * msecsPerDay;

constexpr bool isLeapYear(qint64 year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr int daysInMonth(qint64 year, int month)
{
    constexpr std::array<int, 12> lengths {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : lengths[size_t(month - 1)];
}

constexpr qint64 powerOfTen(int exponent)
{
    qint64 result = 1;
    while (exponent-- > 0)
        result *= 10;
    return result;
}

// The value of `count` ASCII digits at `text`, or -1 when one of them is not a digit. Other
// scripts' digits are not digits here, whatever QChar::isDigit() says.
qint64 digitsValue(const QChar *text, int count)
{
    qint64 value = 0;
    for (int i = 0; i < count; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

void writeDigits(char16_t *out, qint64 value, int count)
{
    for (int i = count - 1; i >= 0; --i) {
        out[i] = char16_t(u'0' + value % 10);
        value /= 10;
    }
}

// The separators' positions, shared by reading and writing; the fraction starts at 20.
constexpr std::array<std::pair<int, char16_t>, 6> separators {
        {{4, u'-'}, {7, u'-'}, {10, u'T'}, {13, u':'}, {16, u':'}, {19, u'.'}}};
constexpr int fractionStart = 20;

} // namespace

QMTimestampFormatter::QMTimestampFormatter(int fractionDigits)
    : m_fractionDigits(fractionDigits)
{
    QMParameterAssert(fractionDigits >= 1 && fractionDigits <= 9,
                      "fractionDigits >= 1 && fractionDigits <= 9");
}

QString QMTimestampFormatter::dateFormat() const
{
    return QStringLiteral("yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'")
            + QString(m_fractionDigits, QLatin1Char('S')) + QStringLiteral("'Z'");
}

QTimeZone QMTimestampFormatter::timeZone() const
{
    return QTimeZone::utc();
}

QString QMTimestampFormatter::stringFromDate(const QDateTime &date) const
{
    if (!date.isValid())
        return QString();
    const qint64 msecs = date.toMSecsSinceEpoch();
    if (msecs < firstMsec || msecs >= endMsec)
        return QString();
    // Floor division: the years before 1970 have negative instants.
    const qint64 days = (msecs - firstMsec) / msecsPerDay + firstMsec / msecsPerDay;
    const qint64 msecOfDay = msecs - days * msecsPerDay;
    const Civil civil = civilFromDays(days);

    std::array<char16_t, fractionStart + 9 + 1> text {};
    writeDigits(&text[0], civil.year, 4);
    writeDigits(&text[5], civil.month, 2);
    writeDigits(&text[8], civil.day, 2);
    writeDigits(&text[11], msecOfDay / 3600000, 2);
    writeDigits(&text[14], msecOfDay / 60000 % 60, 2);
    writeDigits(&text[17], msecOfDay / 1000 % 60, 2);
    for (const auto &[position, separator] : separators)
        text[size_t(position)] = separator;
    const qint64 millis = msecOfDay % 1000;
    const qint64 fraction = m_fractionDigits >= 3 ? millis * powerOfTen(m_fractionDigits - 3)
                                                  : millis / powerOfTen(3 - m_fractionDigits);
    writeDigits(&text[fractionStart], fraction, m_fractionDigits);
    const int length = fractionStart + m_fractionDigits + 1;
    text[size_t(length - 1)] = u'Z';
    return QString(reinterpret_cast<const QChar *>(text.data()), length);
}

QDateTime QMTimestampFormatter::dateFromString(const QString &string) const
{
    const int length = fractionStart + m_fractionDigits + 1;
    if (string.size() != length || string.at(length - 1) != u'Z')
        return QDateTime();
    for (const auto &[position, separator] : separators) {
        if (string.at(position) != separator)
            return QDateTime();
    }
    const QChar *text = string.constData();
    const qint64 year = digitsValue(text, 4);
    const qint64 month = digitsValue(text + 5, 2);
    const qint64 day = digitsValue(text + 8, 2);
    const qint64 hour = digitsValue(text + 11, 2);
    const qint64 minute = digitsValue(text + 14, 2);
    const qint64 second = digitsValue(text + 17, 2);
    const qint64 fraction = digitsValue(text + fractionStart, m_fractionDigits);
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, int(month))
        || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59
        || fraction < 0)
        return QDateTime();
    const qint64 millis = m_fractionDigits >= 3 ? fraction / powerOfTen(m_fractionDigits - 3)
                                                : fraction * powerOfTen(3 - m_fractionDigits);
    const qint64 msecs = daysFromCivil(year, int(month), int(day)) * msecsPerDay
            + ((hour * 60 + minute) * 60 + second) * 1000 + millis;
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

const QMTimestampFormatter &RFC3339::rfc3339DateFormatter()
{
    static const QMTimestampFormatter formatter(3);
    return formatter;
}

QDateTime RFC3339::dateWithRFC3339DateString(const QString &string)
{
    return rfc3339DateFormatter().dateFromString(string);
}

QString RFC3339::rfc3339DateString(const QDateTime &date)
{
    return rfc3339DateFormatter().stringFromDate(date);
}

const QMTimestampFormatter &ISO8601::iso8601DateFormatter()
{
    static const QMTimestampFormatter formatter(5);
    return formatter;
}

QDateTime ISO8601::dateWithISO8601DateString(const QString &string)
{
    return iso8601DateFormatter().dateFromString(string);
}

QString ISO8601::iso8601DateString(const QDateTime &date)
{
    return iso8601DateFormatter().stringFromDate(date);
}

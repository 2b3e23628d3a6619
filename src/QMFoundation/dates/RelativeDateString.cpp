#include <QMFoundation/dates/RelativeDateString.h>

#include <QCoreApplication>

#include <cmath>

namespace {

constexpr const char *context = "RelativeDateString";

// The quotient goes through a float on purpose: the number shown for a quotient just below a
// half is the one the table's definition gives, and 0.49999997 (the float just below 0.5) makes
// exact halves go up without pushing the float just below a half over it.
long roundedQuotient(double minutes, double unit)
{
    const float quotient = float(minutes / unit);
    return long(std::trunc(quotient + std::copysign(0.49999997f, quotient)));
}

// `format` with its number conversion ("%li", also "%ld", "%d" or "%i") replaced by `number`
// and "%%" by "%". A translation is data, not code: it never reaches a printf.
QString formatted(const QString &format, long number)
{
    QString result;
    result.reserve(format.size() + 8);
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format.at(i) != u'%' || i + 1 == format.size()) {
            result.append(format.at(i));
            continue;
        }
        const QStringView rest = QStringView(format).mid(i + 1);
        if (rest.startsWith(u'%')) {
            result.append(u'%');
            i += 1;
        } else if (rest.startsWith(u"li") || rest.startsWith(u"ld")) {
            result.append(QString::number(number));
            i += 2;
        } else if (rest.startsWith(u'd') || rest.startsWith(u'i')) {
            result.append(QString::number(number));
            i += 1;
        } else {
            result.append(u'%');
        }
    }
    return result;
}

QString words(const char *source)
{
    return QCoreApplication::translate(context, source);
}

QString words(const char *source, long number)
{
    return formatted(QCoreApplication::translate(context, source, nullptr, int(number)), number);
}

} // namespace

QString RelativeDateString::distanceOfTimeInWords(const QDateTime &date)
{
    return distanceOfTimeInWords(date, QDateTime::currentDateTimeUtc());
}

QString RelativeDateString::distanceOfTimeInWords(const QDateTime &date, const QDateTime &now)
{
    if (!date.isValid() || !now.isValid())
        return QString();
    const double minutes = std::abs(double(now.msecsTo(date)) / 1000.0) / 60.0;
    if (minutes < 1)
        return words(QT_TRANSLATE_NOOP("RelativeDateString", "less than a minute"));
    if (minutes < 2)
        return words(QT_TRANSLATE_NOOP("RelativeDateString", "1 minute"));
    if (minutes < 45)
        return words(QT_TRANSLATE_N_NOOP("RelativeDateString", "%li minutes"), long(minutes));
    if (minutes < 90)
        return words(QT_TRANSLATE_NOOP("RelativeDateString", "1 hour"));
    if (minutes < 1440)
        return words(QT_TRANSLATE_N_NOOP("RelativeDateString", "%li hours"),
                     roundedQuotient(minutes, 60));
    if (minutes < 2520)
        return words(QT_TRANSLATE_NOOP("RelativeDateString", "1 day"));
    if (minutes < 43200)
        return words(QT_TRANSLATE_N_NOOP("RelativeDateString", "%li days"),
                     roundedQuotient(minutes, 1440));
    if (minutes < 64800)
        return words(QT_TRANSLATE_NOOP("RelativeDateString", "1 month"));
    if (minutes < 525600)
        return words(QT_TRANSLATE_N_NOOP("RelativeDateString", "%li months"),
                     roundedQuotient(minutes, 43200));
    if (minutes < 792000)
        return words(QT_TRANSLATE_NOOP("RelativeDateString", "1 year"));
    return words(QT_TRANSLATE_N_NOOP("RelativeDateString", "%li years"),
                 roundedQuotient(minutes, 525600));
}

// Reads arbitrary text as timestamps of both formats, and checks that
//  - nothing crashes, and a text is accepted exactly when an independent reading of the pattern
//    (QDate's calendar, field by field) accepts it, giving the same instant;
//  - a text that is read writes back to the same text (the ISO 8601 format's digits below the
//    millisecond come back as zeros, since a date holds milliseconds);
//  - any instant of the four-digit years written in either format reads back the same, and
//    instants outside them write nothing.
//
// The first byte chooses how the rest is used: 0 reads it as UTF-8, 1 as raw UTF-16 code units
// (lone surrogates and digits of every script included), 2 writes its bytes over a valid
// timestamp (so that most inputs are near misses: a month of 13, a separator out of place), and
// 3 takes its first eight bytes as an instant in milliseconds.

#include <QMFoundation/dates/ISO8601.h>
#include <QMFoundation/dates/RFC3339.h>

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// The value of the ASCII digits text[from, from + count), or -1.
int digits(const QString &text, int from, int count)
{
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

// The instant the pattern with `fractionDigits` digits gives `text`, read without the
// formatter's code, or an invalid QDateTime.
QDateTime expected(const QString &text, int fractionDigits)
{
    if (text.size() != 21 + fractionDigits || text.back() != u'Z')
        return QDateTime();
    const QString literals = QStringLiteral("--T::.");
    const int positions[] = {4, 7, 10, 13, 16, 19};
    for (int i = 0; i < 6; ++i) {
        if (text.at(positions[i]) != literals.at(i))
            return QDateTime();
    }
    const int year = digits(text, 0, 4);
    const QDate date(year, digits(text, 5, 2), digits(text, 8, 2));
    const int hour = digits(text, 11, 2);
    const int minute = digits(text, 14, 2);
    const int second = digits(text, 17, 2);
    const int fraction = digits(text, 20, fractionDigits);
    if (year < 1 || !date.isValid() || hour < 0 || hour > 23 || minute < 0 || minute > 59
        || second < 0 || second > 59 || fraction < 0)
        return QDateTime();
    int millis = fraction;
    for (int i = fractionDigits; i > 3; --i)
        millis /= 10;
    return QDateTime(date, QTime(hour, minute, second), Qt::UTC).addMSecs(millis);
}

void checkText(const QString &text)
{
    const QDateTime rfc3339 = RFC3339::dateWithRFC3339DateString(text);
    const QDateTime iso8601 = ISO8601::dateWithISO8601DateString(text);
    require(rfc3339 == expected(text, 3) && rfc3339.isValid() == expected(text, 3).isValid());
    require(iso8601 == expected(text, 5) && iso8601.isValid() == expected(text, 5).isValid());
    if (rfc3339.isValid())
        require(RFC3339::rfc3339DateString(rfc3339) == text);
    if (iso8601.isValid())
        require(ISO8601::iso8601DateString(iso8601) == text.left(23) + QStringLiteral("00Z"));
}

void checkInstant(qint64 msecs)
{
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
    const QDateTime first(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
    const QDateTime end(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC);
    const bool inRange = date >= first && date < end;
    const QString rfc3339 = RFC3339::rfc3339DateString(date);
    const QString iso8601 = ISO8601::iso8601DateString(date);
    require(rfc3339.isNull() == !inRange && iso8601.isNull() == !inRange);
    if (inRange) {
        require(RFC3339::dateWithRFC3339DateString(rfc3339) == date);
        require(ISO8601::dateWithISO8601DateString(iso8601) == date);
        checkText(rfc3339);
        checkText(iso8601);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t mode = data[0] % 4;
    const char *rest = reinterpret_cast<const char *>(data + 1);
    const qsizetype length = qsizetype(size - 1);
    switch (mode) {
    case 0:
        checkText(QString::fromUtf8(rest, length));
        break;
    case 1:
        checkText(QString(reinterpret_cast<const QChar *>(rest), length / 2));
        break;
    case 2: {
        // Pairs of (position, byte) written over a valid timestamp of either format.
        QString text = (length % 2) ? QStringLiteral("2024-02-29T23:59:59.999Z")
                                    : QStringLiteral("2024-02-29T23:59:59.99999Z");
        for (qsizetype i = 0; i + 1 < length; i += 2)
            text[uint8_t(rest[i]) % text.size()] = QChar(char16_t(uint8_t(rest[i + 1])));
        checkText(text);
        break;
    }
    default: {
        qint64 msecs = 0;
        std::memcpy(&msecs, rest, std::min(sizeof msecs, size_t(length)));
        // Mostly instants around the four-digit years, sometimes any at all.
        checkInstant(msecs % 4 == 0 ? msecs / 1024 : msecs % (qint64(1) << 49));
        break;
    }
    }
    return 0;
}

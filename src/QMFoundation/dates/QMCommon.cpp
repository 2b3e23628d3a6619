#include <QMFoundation/dates/QMCommon.h>

#include <cmath>
#include <limits>

namespace {

constexpr qint64 msecsPerDay = 86400000;
constexpr qint64 msecsPerHour = 3600000;

// Now moved by `count` units of `unitMsecs`, in the direction of `sign`; invalid on overflow.
QDateTime nowMovedBy(quint64 count, qint64 unitMsecs, int sign)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 distance = 0;
    qint64 msecs = 0;
    if (count > quint64(std::numeric_limits<qint64>::max())
        || __builtin_mul_overflow(qint64(count), unitMsecs, &distance)
        || __builtin_add_overflow(now, sign * distance, &msecs))
        return QDateTime();
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

qint64 localOffsetMsecs(qint64 msecs)
{
    return qint64(QDateTime::fromMSecsSinceEpoch(msecs, Qt::LocalTime).offsetFromUtc()) * 1000;
}

// The instant at which the local clock shows `time` on `day`. Qt leaves a local time that the
// clocks skip invalid and picks one of a repeated time silently, so the offsets in force a day
// before and a day after are tried instead (no zone changes twice within two days): a candidate
// counts when the clock really shows the wanted time at it. Of two, the earlier or the later is
// taken as asked; with none, the clocks skipped the time and the offset before the change moves
// it past the skip.
QDateTime localInstant(QDate day, QTime time, bool later)
{
    const qint64 wall = QDateTime(day, time, Qt::UTC).toMSecsSinceEpoch();
    const qint64 offsetBefore = localOffsetMsecs(wall - msecsPerDay);
    const qint64 offsetAfter = localOffsetMsecs(wall + msecsPerDay);
    qint64 chosen = wall - offsetBefore;
    bool found = false;
    for (const qint64 offset : {offsetBefore, offsetAfter}) {
        const qint64 candidate = wall - offset;
        if (candidate + localOffsetMsecs(candidate) != wall)
            continue;
        if (!found || (later ? candidate > chosen : candidate < chosen))
            chosen = candidate;
        found = true;
    }
    return QDateTime::fromMSecsSinceEpoch(chosen, Qt::UTC);
}

} // namespace

QDateTime QMCommon::dateWithNumberOfDaysFromNow(quint64 days)
{
    return nowMovedBy(days, msecsPerDay, 1);
}

QDateTime QMCommon::dateWithNumberOfDaysAgo(quint64 days)
{
    return nowMovedBy(days, msecsPerDay, -1);
}

QDateTime QMCommon::dateWithNumberOfHoursFromNow(quint64 hours)
{
    return nowMovedBy(hours, msecsPerHour, 1);
}

QDateTime QMCommon::dateWithNumberOfHoursAgo(quint64 hours)
{
    return nowMovedBy(hours, msecsPerHour, -1);
}

QDateTime QMCommon::firstMomentOfDay(const QDateTime &date)
{
    if (!date.isValid())
        return QDateTime();
    return localInstant(date.toLocalTime().date(), QTime(0, 0, 0), false);
}

QDateTime QMCommon::lastMomentOfDay(const QDateTime &date)
{
    if (!date.isValid())
        return QDateTime();
    return localInstant(date.toLocalTime().date(), QTime(23, 59, 59), true);
}

qint64 QMCommon::numberOfDaysUntilDate(const QDateTime &date, const QDateTime &other)
{
    if (!date.isValid() || !other.isValid())
        return 0;
    const double seconds = double(date.msecsTo(other)) / 1000.0;
    if (seconds == 0)
        return 0;
    const double days = seconds / 86400.0;
    return qint64(seconds > 0 ? std::ceil(days) : std::floor(days));
}

quint64 QMCommon::absoluteNumberOfDaysUntilDate(const QDateTime &date, const QDateTime &other)
{
    const auto days = qint32(quint32(quint64(numberOfDaysUntilDate(date, other))));
    return quint64(std::abs(qint64(days)));
}

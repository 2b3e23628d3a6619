#include <QMFoundation/observation/QMTimer.h>

#include <chrono>
#include <optional>

class QMTimer::Private
{
public:
    using Clock = std::chrono::steady_clock;

    QDateTime startDate;
    QDateTime endDate;
    // Taken with the dates; absent when a date is absent or was set from outside.
    std::optional<Clock::time_point> startReading;
    std::optional<Clock::time_point> endReading;
};

QMTimer::QMTimer()
    : d(std::make_unique<Private>())
{ }

QMTimer::~QMTimer() = default;

std::shared_ptr<QMTimer> QMTimer::timer()
{
    auto made = std::make_shared<QMTimer>();
    made->start();
    return made;
}

QDateTime QMTimer::startDate() const
{
    return d->startDate;
}

void QMTimer::setStartDate(const QDateTime &date)
{
    d->startDate = date.isValid() ? date.toUTC() : QDateTime();
    d->startReading.reset();
}

QDateTime QMTimer::endDate() const
{
    return d->endDate;
}

void QMTimer::setEndDate(const QDateTime &date)
{
    d->endDate = date.isValid() ? date.toUTC() : QDateTime();
    d->endReading.reset();
}

void QMTimer::start()
{
    d->startReading = Private::Clock::now();
    d->startDate = QDateTime::currentDateTimeUtc();
    d->endDate = QDateTime();
    d->endReading.reset();
}

void QMTimer::stop()
{
    if (d->endDate.isValid())
        return;
    d->endReading = Private::Clock::now();
    d->endDate = QDateTime::currentDateTimeUtc();
}

double QMTimer::timeElapsedInSeconds() const
{
    if (!d->startDate.isValid() || !d->endDate.isValid())
        return 0.0;
    if (d->startReading && d->endReading)
        return std::chrono::duration<double>(*d->endReading - *d->startReading).count();
    return double(d->startDate.msecsTo(d->endDate)) / 1000.0;
}

double QMTimer::timeElapsedInMilliseconds() const
{
    return timeElapsedInSeconds() * 1000.0;
}

double QMTimer::stopAndTimeElapsedInSeconds()
{
    stop();
    return timeElapsedInSeconds();
}

double QMTimer::stopAndTimeElapsedInMilliseconds()
{
    stop();
    return timeElapsedInMilliseconds();
}

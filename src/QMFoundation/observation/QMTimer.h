#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QDateTime>

#include <memory>

/// A stopwatch: measures the time between start() and stop().
///
/// startDate() and endDate() are the wall-clock moments (UTC; a null QDateTime is absent).
/// QDateTime holds only milliseconds and follows changes of the system clock, so the elapsed
/// time is measured with std::chrono::steady_clock readings taken at the same moments as the
/// dates, in the clock's full resolution. Dates set through the setters carry no such reading:
/// the elapsed time then falls back to the difference of the dates.
///
/// Not synchronised: use a timer on one thread at a time.
class QMF_CORE_EXPORT QMTimer
{
public:
    /// A timer with neither date.
    QMTimer();
    ~QMTimer();
    QMTimer(const QMTimer &) = delete;
    QMTimer &operator=(const QMTimer &) = delete;

    /// A new timer, already started.
    static std::shared_ptr<QMTimer> timer();

    /// When start() was called, or the date set; null before.
    QDateTime startDate() const;
    /// Sets the start date; the elapsed time then comes from the dates.
    void setStartDate(const QDateTime &date);
    /// When stop() was called, or the date set; null before.
    QDateTime endDate() const;
    /// Sets the end date; the elapsed time then comes from the dates.
    void setEndDate(const QDateTime &date);

    /// Sets the start to now and clears the end; starting again restarts the measurement.
    void start();
    /// Sets the end to now unless it is already set: a later stop() changes nothing.
    void stop();

    /// The seconds between start and end; 0 before stop(). A timer stopped without ever being
    /// started has nothing to measure from and also reads 0.
    double timeElapsedInSeconds() const;
    /// Exactly timeElapsedInSeconds() * 1000.0.
    double timeElapsedInMilliseconds() const;
    /// stop(), then timeElapsedInSeconds().
    double stopAndTimeElapsedInSeconds();
    /// stop(), then timeElapsedInMilliseconds().
    double stopAndTimeElapsedInMilliseconds();

private:
    class Private;
    std::unique_ptr<Private> d;
};

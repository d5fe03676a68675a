#include "Globali.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

namespace Globali {

namespace {

constexpr qint32 SecondsPerDay = 24 * 3600;

qint32 secondsSinceMidnight(const QTime &time)
{
    return time.hour() * 3600 + time.minute() * 60 + time.second();
}

} // namespace

void pumpEvents()
{
    QCoreApplication::processEvents();
}

void pumpEventsUntil(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    // Wakes the last wait for events when time is up, if nothing else does; never early, or the
    // last wait would have nothing to end it.
    QTimer alarm;
    alarm.setSingleShot(true);
    alarm.setTimerType(Qt::PreciseTimer);
    alarm.start(limit);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void Attendi(const qint16 &secondi)
{
    Attendi(secondi, [] { return QTime::currentTime(); });
}

void Attendi(const qint16 &secondi, const Clock &clock)
{
    const qint32 start = secondsSinceMidnight(clock());
    const qint32 target = start + secondi;
    // The seconds count starts again from 0 at midnight; a reading below the start means the
    // clock has passed midnight (or was set back), so it is counted on from the day before.
    // Without this a wait that crosses midnight would never end.
    auto elapsedReading = [&] {
        qint32 now = secondsSinceMidnight(clock());
        if (now < start)
            now += SecondsPerDay;
        return now;
    };
    while (elapsedReading() < target)
        pumpEvents();
}

} // namespace Globali

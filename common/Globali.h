#pragma once

#include <QTime>
#include <QtGlobal>

#include <chrono>
#include <functional>

// Shared waiting procedures: the one event pump every waiting loop goes through, and the timed
// wait used between the steps of a check.
namespace Globali {

// Processes once every event waiting for this thread (window, buttons, timers, serial port) and
// returns at once. Every busy wait in the program turns through here, which is what keeps the
// window responsive while a check runs.
void pumpEvents();

// Serves events until `done` holds or `limit` has passed, whichever comes first: for an answer
// that arrives as an event (a reply on the system bus). It sleeps between events instead of
// spinning, and the window keeps repainting and its buttons answer meanwhile.
void pumpEventsUntil(const std::function<bool()> &done, std::chrono::milliseconds limit);

// Local time of day, replaceable in tests.
using Clock = std::function<QTime()>;

// Waits `secondi` whole seconds of the local clock while pumping events. The clock's resolution
// is one second, so the wait lasts between secondi - 1 and secondi seconds. 0 or less returns at
// once without pumping.
void Attendi(const qint16 &secondi);
void Attendi(const qint16 &secondi, const Clock &clock);

} // namespace Globali

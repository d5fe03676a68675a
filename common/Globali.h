#pragma once

#include <QTime>
#include <QtGlobal>

#include <functional>

// Shared waiting procedures: the one event pump every waiting loop goes through, and the timed
// wait used between the steps of a check.
namespace Globali {

// Processes once every event waiting for this thread (window, buttons, timers, serial port) and
// returns at once. Every busy wait in the program turns through here, which is what keeps the
// window responsive while a check runs.
void pumpEvents();

// Local time of day, replaceable in tests.
using Clock = std::function<QTime()>;

// Waits `secondi` whole seconds of the local clock while pumping events. The clock's resolution
// is one second, so the wait lasts between secondi - 1 and secondi seconds. 0 or less returns at
// once without pumping.
void Attendi(const qint16 &secondi);
void Attendi(const qint16 &secondi, const Clock &clock);

} // namespace Globali

#pragma once

#include "open_failure.h"
#include "system/devices_without_ports.h"
#include "system/nonserial_modems.h"
#include "system/port_identity.h"

#include <QString>
#include <QStringList>

class LogSink;

// The lines a check writes, in the log's Italian, and the cleaner of the text from outside that
// goes into them. Every text of the dialogue is here, so that the scan reads as what it does.

// Text from other programs and devices (process names, lock files, ModemManager's and USB
// devices' strings, link names, a terminal's manufacturer) fit for one log line: control, format
// and separator characters (Unicode Cc, Cf, Zl, Zp) become "?", so that no value can end a line,
// draw one nobody wrote, turn the rest of its line around, or send escape sequences to the
// terminal the log file is read on.
QString printable(const QString &text);

// A log line: `format` with each value from outside made printable and put in its place in one
// pass, so that no value is read as a placeholder ("%1" as a process name would hide the PID).
template<typename... Values>
QString message(const QString &format, const Values &...values)
{
    return format.arg(printable(values)...);
}

// The lines of the whole scan.
namespace LogText {
inline const QString SearchStarted = QStringLiteral("Ricerca del terminale in corso, attendere...");
inline const QString NoSerialPort = QStringLiteral("Nessuna porta seriale trovata.");
inline const QString ModemManagerSilent =
    QStringLiteral("ModemManager non risponde: le porte che potrebbe usare non vengono "
                   "verificate.");
inline const QString NotResponding = QStringLiteral("Il terminale non risponde.");
inline const QString CheckInterrupted = QStringLiteral("Verifica interrotta.");
} // namespace LogText

// "Verifica NAME in corso...": the line that opens a port's lines.
QString checkingMessage(const QString &name);

// The line of a terminal found, with its manufacturer as the scan took it.
QString foundMessage(const QString &marca);

// The path to put in a configuration: ttyUSB numbers change with the order of plugging in.
QString stablePathMessage(const QString &path);

// A Bluetooth port bound but not connected, left out: opening it would call the phone.
QString unconnectedBluetoothMessage(const QString &name);

// A modem's port that speaks no AT (diagnostic, GPS, audio), left out; empty for any other role.
QString notAtPortMessage(const QString &name, PortRole role);

// A port that sends text without end and answers nothing.
QString streamingMessage(const QString &name);

// A lock file passed over: any user may write in its folder, and nothing says a holder of the
// port wrote it.
QString unbelievedLockMessage(const QString &lock, const QString &owner);

// Another program's lock that stays aside, where a stale one was being removed.
QString strandedLockMessage(const QString &path);

// The line that tells the user why a port could not be opened.
QString openFailureMessage(const QString &name, const OpenFailure &failure);

// The line that says which USB device a port belongs to, and its part in the modem when known.
QString deviceMessage(const UsbInterface &usb, PortRole role = PortRole::Unknown);

// The line that says why a modem with no serial port is not checked: it has only QMI or MBIM,
// its AT port is the kernel's WWAN port, or ModemManager manages it (empty when it says nothing).
QString nonSerialModemMessage(const NonSerialModem &modem);

// The line that says why a modem, a phone or an adapter offers no serial port, and what to do.
QString deviceWithoutPortsMessage(const DeviceWithoutPorts &device);

// The command that line gives to set it right, as the user types it; empty when there is none.
QString fixCommand(const DeviceWithoutPorts &device);

// A check that waits for ports named to it that are not there yet, for so many seconds.
QString waitingForPortsMessage(const QStringList &ports, qint64 seconds);

// A check that waits goes on: no terminal yet, and a new round as ports appear or change.
QString checkingAgainMessage(qint64 seconds);

// Logs the advice that follows a check that found no terminal, one line per call.
void logNotFoundAdvice(LogSink &log);

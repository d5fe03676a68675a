#pragma once

#include "serial_component.h"
#include "system/port_identity.h"

#include <QObject>
#include <QString>

class LogSink;
class CommandExchange;

// Reads the manufacturer's name out of a cleaned "at+gmi" reply and returns it, without the
// command's echo, the "+GMI:" prefix, quotes, line breaks and the closing "OK". `testo` is left
// shortened to what followed the echo and the prefix.
QString smapMARCA(QString &testo);

// The number the scan reports for a found port: the number in its name from the fourth
// character on (COM3 gives 3) when that is a positive 16-bit value, otherwise the port's
// position in the list, counted from 1.
qint16 foundPortNumber(const QString &name, qint16 position);

// What a scan found on one port, and why; its lines, and what the system said of it.
struct PortOutcome
{
    enum class Reason {
        Checking, // not over yet: the check was interrupted on it
        Found, // a terminal answered, or ModemManager named its modem's maker
        NoAnswer, // checked, and nothing answered as a terminal does
        Stream, // it sends text without end and answers nothing
        NotAtPort, // a modem's port that speaks no AT (diagnostic, GPS, audio): left alone
        Bluetooth, // a Bluetooth link bound but not connected: left alone
        PermissionDenied,
        InUse, // by another program, or its lock
        StaleLock, // a dead program's lock this user may not remove
        Console,
        ModemManager, // ModemManager manages its modem
        ModemManagerSilent, // ModemManager gave no answer, and may be using it
        Examining, // ModemManager is still examining it
        NoDevice, // no such device
        NotSerial, // a device that is no serial port
        InputOutput, // the device failed as it was opened
        SystemError, // any other refusal of the system's
    };
    // The broad result: a terminal; none; a port left to another program, a console or
    // ModemManager; a port not checked at all.
    enum Result { Found, NotFound, KeptOut, Skipped };

    explicit PortOutcome(const QString &name, Reason first = Reason::Checking)
        : port(name)
        , reason(first)
    {
    }
    Result result() const;
    // Whether it is a port the check could not look at, though a terminal might be there.
    bool couldNotBeChecked() const;

    QString port;
    Reason reason;
    QString manufacturer; // as logged
    PortIdentity identity;
    QStringList messages;
};

// Walks every port the component lists, probes each for a terminal and logs the manufacturer of
// every terminal that answers.
class PortScan : public QObject
{
    Q_OBJECT

public:
    PortScan(SerialComponent &component, CommandExchange &exchange, LogSink &log,
             QObject *parent = nullptr);

    // Returns the number of the first port where a terminal was found (see foundPortNumber),
    // 0 when none was. Every port is left closed.
    qint16 CercaCell();

    // Manufacturer of the terminal being identified; empty between ports.
    QString Marca;

    // Asks the running scan to end once it is done with the port it is on: no other port is
    // checked, by this scan or a later one (nobody reads its lines any more, say).
    void stopAfterPort() { m_stopping = true; }
    // Whether that was asked.
    bool wasStopped() const { return m_stopping; }

    // Each port of the last scan, in the order they were listed; the one being checked last.
    const QList<PortOutcome> &outcomes() const { return m_outcomes; }
    // The lines of the last scan about no port of it: no port at all, ModemManager silent, the
    // modems, phones and adapters without serial ports.
    const QStringList &messages() const { return m_messages; }
    // The modems without serial ports the last scan told of, and the devices that offer none for
    // a cause of their own.
    const QList<NonSerialModem> &modemsWithoutPorts() const { return m_modems; }
    const QList<DeviceWithoutPorts> &devicesWithoutPorts() const { return m_devices; }

private:
    void probe(const QString &name);
    // Logs a line of the port being checked.
    void say(const QString &message);
    // Logs a line about the whole scan.
    void note(const QString &message);
    // Takes the terminal's manufacturer and, when there is one, logs it and the port's stable
    // path: the port is found.
    void logManufacturer(const QString &name, const PortIdentity &identity);

    SerialComponent &m_component;
    CommandExchange &m_exchange;
    LogSink &m_log;
    QList<PortOutcome> m_outcomes;
    QStringList m_messages;
    QList<NonSerialModem> m_modems;
    QList<DeviceWithoutPorts> m_devices;
    bool m_stopping = false;
};

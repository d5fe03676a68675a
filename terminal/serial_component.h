#pragma once

#include "open_failure.h"
#include "system/modem_manager.h"
#include "system/port_listing.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class PortGuard;
class QSerialPort;

// The serial-port control the window hosts as `comSMS`: one serial port, selected by name,
// opened and closed through an open flag, fed whole command lines, and reporting received text
// and status changes through two signals. Everything the program does with a port goes through
// here.
class SerialComponent : public QObject
{
    Q_OBJECT

public:
    using PortSource = std::function<PortList()>;

    // Status code: the terminal does not respond (a command could not be written out in time, or
    // the device failed while open).
    static constexpr qint32 StatusNotResponding = -9;
    static constexpr qint32 StatusOk = 0;

    // Line settings the component is created with: 2400 baud, no parity, 8 data bits, 1 stop bit.
    static constexpr qint32 DefaultBaudRate = 2400;

    // Without a port source the component lists the system's serial ports.
    explicit SerialComponent(QObject *parent = nullptr);
    explicit SerialComponent(PortSource ports, QObject *parent = nullptr);
    // With a guard of the caller's.
    SerialComponent(PortSource ports, std::unique_ptr<PortGuard> guard, QObject *parent = nullptr);
    ~SerialComponent() override;

    // The device a port name stands for, by the rule Qt opens it by: a path as it is, any other
    // name below /dev (ttyUSB0, pts/3). The guard must judge the very device Qt opens.
    static QString devicePath(const QString &name);

    // The ports to probe, in the order they are to be probed, and those left out with a reason.
    virtual PortList listPorts() const;
    // Selects the port the next open acts on: a system port name (ttyUSB0) or a device path.
    void selectPort(const QString &name) { m_portName = name; }
    QString selectedPort() const { return m_portName; }

    // The open flag. Writing False closes the port (harmless when already closed); writing True
    // opens the selected port. Reading it is True while the port is open; the component turns it
    // False by itself when the device fails.
    virtual void setPortOpen(bool open);
    virtual bool isPortOpen() const;
    // Why the last open failed; Reason::None after one that succeeded.
    const OpenFailure &openFailure() const { return m_openFailure; }
    // Where the system's own files are read when listing, describing and judging ports; tests
    // give a folder of theirs.
    void setSystemRoot(const QString &root);
    const QString &systemRoot() const { return m_systemRoot; }
    // What ModemManager says of the ports, which the guard reads before a port is opened; a scan
    // asks it once, as it starts.
    ModemManagerView &modemManager() { return m_modemManager; }

    // Sends one command line: the text, then a carriage return. Latin-1, one character a byte.
    virtual void send(const QString &command);
    // The text received since the last read, one byte to one character.
    virtual QString takeReceived();
    virtual qint32 status() const { return m_status; }

    // The four start-up settings, written once at load.
    // Most bytes held unread; 0 means no limit.
    void setReadBufferLimit(qint32 bytes);
    // How long a command may take to be written out before the component reports
    // StatusNotResponding; 0 waits for ever.
    void setWriteTimeout(qint32 milliseconds);
    // Handshaking: 0 none, 1 RTS/CTS, 2 XON/XOFF.
    void setHandshaking(qint32 mode);
    // 0 keeps NUL bytes in the received text, any other value drops them.
    void setNullDiscard(qint32 discard);

    qint32 readBufferLimit() const { return m_readBufferLimit; }
    qint32 writeTimeout() const { return m_writeTimeout; }
    qint32 handshaking() const { return m_handshaking; }
    bool discardsNulls() const { return m_discardNulls; }

Q_SIGNALS:
    // Received text is waiting to be read with takeReceived().
    void ComponentDataEvent();
    // The status code may have changed.
    void ComponentStatusEvent();

protected:
    // For stand-ins that play a component without a serial port behind it.
    void setStatus(qint32 status);
    void setOpenFailure(const OpenFailure &failure) { m_openFailure = failure; }

private:
    void applyLineSettings();
    void closePort();
    void refuseOpen(const OpenFailure &failure);
    void onPortError(int error);
    void onBytesWritten();
    void onWriteTimedOut();

    PortSource m_portSource;
    std::unique_ptr<QSerialPort> m_port;
    ModemManagerView m_modemManager; // read by the guard: made before it, gone after it
    std::unique_ptr<PortGuard> m_guard;
    QString m_systemRoot = QStringLiteral("/");
    QString m_portName;
    QTimer m_writeTimer;
    qint32 m_status = StatusOk;
    // Between open()'s start and end: errors then belong to the open, not to the port.
    bool m_opening = false;
    // The device failed while open; the flag reads False from that moment.
    bool m_failed = false;
    // Closing a port whose device is gone fails too: nothing more to report then.
    bool m_closing = false;
    OpenFailure m_openFailure;
    qint32 m_readBufferLimit = 0;
    qint32 m_writeTimeout = 0;
    qint32 m_handshaking = 0;
    bool m_discardNulls = false;
};

// Writes the component's four start-up settings, in their order: no read buffer limit, a write
// timeout of 1000 ms, no handshaking, NUL bytes kept.
void writeStartupSettings(SerialComponent &component);

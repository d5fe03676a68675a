#pragma once

#include "open_failure.h"
#include "system/modem_manager.h"
#include "system/port_identity.h"
#include "system/process_table.h"

#include <QString>

// What Linux serial programs agree on to keep out of each other's way. The system lets any
// program with the rights open a port another one is using; only conventions keep them apart:
// lock files, exclusive mode, flock, ModemManager's claim on modems, consoles, a line discipline
// of a program's own; and a program that follows none of them still has the port open. The
// component asks here before it opens a port and again right after, so that a port in use never
// gets a byte from us, and holds its own ports the same ways. Elsewhere the system itself
// refuses a port in use, and every answer is "go ahead".
class PortGuard
{
public:
    PortGuard() = default;
    virtual ~PortGuard();
    PortGuard(const PortGuard &) = delete;
    PortGuard &operator=(const PortGuard &) = delete;

    // Where the system's own files are read (proc/, sys/, run/udev/); "/" but in tests.
    void setSystemRoot(const QString &root) { m_root = root; }
    // Where ModemManager's answer is read; a view of the guard's own, asking afresh each time,
    // until the component gives its own.
    void setModemManager(ModemManagerView *view) { m_modemManager = view; }

    // ModemManager's claim on a port, by what the system and ModemManager's answer tell of it:
    // none; it manages the modem the port belongs to; it is still examining the port (udev
    // handed it over moments ago and ModemManager does not list it yet); or it did not answer
    // and may be using the port.
    enum class ModemManagerClaim { None, Manages, Examining, Unanswered };
    static ModemManagerClaim modemManagerClaim(const PortIdentity &identity,
                                               ModemManagerAnswer::State answered);
    // Whether ModemManager's default (strict) filter takes the port for a modem's, so that it may
    // be probing or using it: only with evidence of a modem (an explicit tag of its rules, a
    // modem's driver, an interface that declares AT commands, a network or control port on the
    // same USB device). A plain USB-serial converter's port, or a port udev keeps no record of (a
    // pseudo-terminal, a virtual port), is none of its.
    static bool isForModemManager(const PortIdentity &identity);

    // Before the port is opened: why it must not be, or Reason::None. `devicePath` is the
    // device's path (/dev/ttyUSB0). With None the guard keeps the device open and flocked (not a
    // byte written, its settings untouched) until confirm() or abandon(), so that nobody takes
    // it meanwhile and opening it for real does not toggle its modem lines.
    virtual OpenFailure claim(const QString &devicePath);
    // Right after the port opened, on its handle, before the first byte: moves our flock to it.
    // Refused means another program took the port after all: the caller closes it unused.
    virtual OpenFailure confirm(qintptr handle);
    // The port was not opened after all.
    virtual void abandon();

private:
    // claim()'s judgement, with what it passed over on the way left in `passedOver`.
    OpenFailure judge(const QString &devicePath, OpenFailure &passedOver);
    OpenFailure inUse(qint64 pid) const;
    QString procFolder() const;
    DeviceUsers usersOfDevice(quint64 device, const QString &devicePath) const;

    QString m_root = QStringLiteral("/");
    ModemManagerView m_ownModemManager;
    ModemManagerView *m_modemManager = &m_ownModemManager;
    QString m_devicePath;
    int m_descriptor = -1;
};

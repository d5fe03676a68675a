#pragma once

#include "serial_component.h"

#include <QString>

struct stat;

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
    ~PortGuard();
    PortGuard(const PortGuard &) = delete;
    PortGuard &operator=(const PortGuard &) = delete;

    // Where the system's own files are read (proc/, sys/, etc/group); "/" but in tests.
    void setSystemRoot(const QString &root) { m_root = root; }

    // Before the port is opened: why it must not be, or Reason::None. With None the guard keeps
    // the device open and flocked (not a byte written, its settings untouched) until confirm()
    // or abandon(), so that nobody takes it meanwhile and opening it for real does not toggle
    // its modem lines.
    OpenFailure claim(const QString &devicePath);
    // Right after the port opened, on its handle, before the first byte: moves our flock to it.
    // Refused means another program took the port after all: the caller closes it unused.
    OpenFailure confirm(qintptr handle);
    // The port was not opened after all.
    void abandon();

private:
    OpenFailure askModemManager(const QString &portName) const;
    OpenFailure checkLockFiles(const struct stat &node) const;
    OpenFailure inUse(qint64 pid) const;
    qint64 lockingPid(const struct stat &node) const;
    qint64 openingPid(const QString &devicePath) const;
    bool isKernelConsole(quint64 device) const;
    bool isTerminal(quint64 device) const;
    OpenFailure permissionRefusal(const QString &devicePath) const;
    QString rooted(const QString &path) const;

    QString m_root = QStringLiteral("/");
    QString m_devicePath;
    int m_descriptor = -1;
};

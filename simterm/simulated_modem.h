#pragma once

#include "simulated_terminal.h"

#include <QStringList>
#include <QTemporaryDir>

#include <array>

// A USB modem as the most common ones are: one USB device with several ports, of which only some
// speak AT. A Quectel EC25 (2c7c:0125) plays its interfaces 0 to 3 on pseudo-terminals: the
// diagnostic port (silent: it speaks a binary protocol of its own), the GPS port (NMEA sentences
// every second, deaf to commands), and the primary and secondary AT ports, which answer as the
// terminal does. Below a system root of its own it plays what the system knows of them: sysfs
// entries of the USB device and its interfaces, udev's by-id links, and, when the modem is
// `typed` (ModemManager's rules are installed), udev's records with ModemManager's tags for each
// port's part.
class SimulatedModem
{
public:
    static constexpr int Diagnostic = 0, Gps = 1, PrimaryAt = 2, SecondaryAt = 3;

    explicit SimulatedModem(bool typed);

    // The folder to read the system's files below (sys/, dev/serial/, run/udev/).
    QString systemRoot() const { return m_root.path(); }
    // The ports' device paths, by interface number.
    QStringList portPaths() const;
    // The port of an interface, and its name below /dev (pts/3) as ModemManager lists it.
    SimulatedTerminal &port(int interface) { return m_ports[interface]; }
    QString portName(int interface) const { return m_ports[interface].portPath().mid(5); }
    // udev's by-id link to the port of an interface.
    static QString stablePath(int interface);

    bool isValid() const { return m_valid; }

private:
    std::array<SimulatedTerminal, 4> m_ports;
    QTemporaryDir m_root;
    bool m_valid = false;
};

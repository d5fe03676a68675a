#pragma once

#include "modem_manager.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// A modem whose way in is no serial port: a USB modem in QMI or MBIM mode (a control node
// cdc-wdm and a network interface, and no tty), or one whose AT port is the kernel's WWAN port
// (wwan0at0), which is no tty either. A scan can check neither; the log says so, as the reason a
// user looks for when no terminal is found.
struct NonSerialModem
{
    bool onPci = false; // else on USB
    QString path; // the device's folder in sysfs
    QString vendorId; // four lower-case hex digits, as sysfs writes them
    QString productId; // the PCI function's device number on PCI
    QString manufacturer; // the USB device's own strings; empty when it has none, and on PCI
    QString product;
    QString atPort; // its first WWAN AT port by name; empty when it has none
    bool hasTty = false; // a tty of its own beside the WWAN AT port
    // Its control nodes, WWAN network interfaces and WWAN ports, named as ModemManager lists
    // ports.
    QStringList ports;
    // ModemManager's modem, when ModemManager manages it.
    std::optional<ModemManagerAnswer::Modem> managed;
    // Serial functions are there beside its QMI or MBIM port, only no driver took them: the line
    // that says so stands for its own.
    bool serialFunctionsUnbound = false;

    // What the scan says of it, the first that holds: ModemManager manages it (and it has no tty
    // of its own); its AT port is a WWAN port; nothing, when its serial functions are only
    // unbound (their own line stands for it); it has only QMI or MBIM.
    enum class Told { ByModemManager, WwanAtPort, Nothing, QmiOrMbimOnly };
    Told told() const
    {
        if (managed && !hasTty)
            return Told::ByModemManager;
        if (!atPort.isEmpty())
            return Told::WwanAtPort;
        return serialFunctionsUnbound ? Told::Nothing : Told::QmiOrMbimOnly;
    }
};

// The modems sysfs below `systemRoot` tells of that have no serial port to check, one for each
// USB device or PCI function, in the order of their device paths. Nothing is opened: the class
// folders (usbmisc, net, wwan) and the attributes of the devices above their entries are read.
QList<NonSerialModem> findNonSerialModems(const QString &systemRoot);

// Marks the modems ModemManager's answer lists by one of their ports.
void addModemManagerModems(QList<NonSerialModem> &modems, const ModemManagerAnswer &answer);

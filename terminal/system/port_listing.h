#pragma once

#include "devices_without_ports.h"
#include "nonserial_modems.h"

#include <QString>
#include <QStringList>

// The serial ports a listing gives: those to probe, in order, and the Bluetooth ports left out
// because they are bound but not connected (opening one makes the link: it calls the phone); and
// the modems, phones and adapters that offer none to list.
struct PortList
{
    PortList(QStringList ports = {})
        : names(std::move(ports))
    {
    }
    QStringList names;
    QStringList unconnectedBluetooth;
    QList<NonSerialModem> nonSerialModems;
    QList<DeviceWithoutPorts> devicesWithoutPorts;
};

// The system's serial ports as sysfs below `systemRoot` tells, without opening any device: every
// tty with a device behind it, less the entries the serial driver keeps for UARTs that are not
// there; the virtual null-modem and USB gadget ports; rfcomm ports. In the order of their device
// paths, as udev lists them. And the modems without serial ports, and the devices that offer
// none for a cause of their own. Only where sysfs is (Linux).
PortList listSerialPorts(const QString &systemRoot);

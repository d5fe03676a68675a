#include "port_listing.h"

#include "system_files.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <map>

PortList listSerialPorts(const QString &systemRoot)
{
    const QString classFolder = QDir(systemRoot).filePath(QStringLiteral("sys/class/tty"));
    std::map<QString, QString> listed; // by device path
    std::map<QString, QString> unconnected;
    for (const QString &name : entriesOf(classFolder)) {
        const QString entry = classFolder + QLatin1Char('/') + name;
        const QString devicePath = QFileInfo(entry).canonicalFilePath();
        if (devicePath.isEmpty())
            continue;
        if (name.startsWith(QLatin1String("rfcomm"))) {
            // Bound to a phone but not connected, the port hangs off no device.
            (devicePath.contains(QLatin1String("/devices/virtual/")) ? unconnected
                                                                     : listed)[devicePath] = name;
        } else if (QFileInfo::exists(entry + QStringLiteral("/device"))) {
            // The serial driver makes an entry for every UART it could have; those it found none
            // for report an unknown type.
            const bool ghost = name.startsWith(QLatin1String("ttyS"))
                && readSmallFile(entry + QStringLiteral("/type")).trimmed() == "0";
            if (!ghost)
                listed[devicePath] = name;
        } else if (name.startsWith(QLatin1String("ttyGS"))
                   || name.startsWith(QLatin1String("tnt"))) {
            listed[devicePath] = name; // a USB gadget's port, a virtual null modem
        }
        // Anything else without a device is a virtual console, the console or ptmx.
    }
    PortList ports;
    for (const auto &[path, name] : listed)
        ports.names << name;
    for (const auto &[path, name] : unconnected)
        ports.unconnectedBluetooth << name;
    ports.nonSerialModems = findNonSerialModems(systemRoot);
    ports.devicesWithoutPorts = findDevicesWithoutPorts(systemRoot);
    for (NonSerialModem &modem : ports.nonSerialModems) {
        modem.serialFunctionsUnbound =
            std::any_of(ports.devicesWithoutPorts.begin(), ports.devicesWithoutPorts.end(),
                        [&modem](const DeviceWithoutPorts &device) {
                            return device.cause == DeviceWithoutPorts::Cause::NoDriver
                                && device.path == modem.path;
                        });
    }
    return ports;
}

#pragma once

#include <QString>

#include <optional>

// The USB interface a port belongs to, as the USB device describes itself.
struct UsbInterface
{
    QString manufacturer; // the device's own strings, empty when it has none
    QString product;
    QString serialNumber;
    QString vendorId; // four lower-case hex digits, as sysfs writes them
    QString productId;
    int number = 0; // the interface's number
};

// What the system tells of a port's device without opening it.
struct PortIdentity
{
    // The USB device behind the port, when the port is one of a USB interface's own.
    std::optional<UsbInterface> usb;
    // The path that names the port whatever the order devices were plugged in: udev's link under
    // /dev/serial/by-id/, else /dev/serial/by-path/; empty when there is none.
    QString stablePath;
};

// Reads sysfs and /dev/serial below `systemRoot` for the device at `devicePath`: the device's own
// entry (sys/dev/char/MAJOR:MINOR) and the USB interface and device above it, as udev finds them.
// Only where sysfs is (Linux); elsewhere nothing is known.
PortIdentity identifyPort(const QString &systemRoot, const QString &devicePath);

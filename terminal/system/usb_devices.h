#pragma once

#include <QString>

#include <optional>

// What a USB device says of itself in sysfs, read without opening it. Only where sysfs is (Linux).

// A USB device, by the attributes of its folder (sys/devices/.../usb1/1-2).
struct UsbDevice
{
    QString path; // its folder
    QString name; // its name in sysfs ("1-2", "2-1.4"): the socket it is plugged into
    QString vendorId; // four lower-case hex digits, as sysfs writes them
    QString productId;
    QString manufacturer; // its own strings; empty when it has none
    QString product;
    QString serialNumber;
};

// The USB device whose folder is `folder`; nothing when it is none (it has no vendor and product
// numbers).
std::optional<UsbDevice> usbDeviceAt(const QString &folder);

// The name of the kernel driver bound to the device in `folder` (its `driver` link); empty when
// none is.
QString driverOf(const QString &folder);

// Whether one of the interfaces of the USB device in `folder` brings a network interface, a
// control node (cdc-wdm) or a WWAN port.
bool hasNetworkOrControlPort(const QString &folder);

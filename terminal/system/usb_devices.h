#pragma once

#include <QList>
#include <QString>
#include <QStringList>

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

// One interface of a USB device, by the attributes of its folder (1-2:1.0) and what hangs below.
struct UsbInterfaceEntry
{
    QString path; // its folder
    int number = 0;
    // What the interface says it is (0x02, 0x02, 0x01: CDC ACM speaking V.250 AT commands).
    int interfaceClass = 0;
    int interfaceSubClass = 0;
    int interfaceProtocol = 0;
    QString description; // its own string ("MTP"); empty when it has none
    QString driver; // the kernel driver bound to it (option, cdc_acm, usbfs); empty for none
    bool hasTty = false; // a tty of its own: a ttyACM port, or a converter's ttyUSB port
    bool hasControlPort = false; // a modem's control node (cdc-wdm) or a WWAN port
    QStringList networkInterfaces; // by name (eth1, wwan0)
};

// The interface whose folder is `folder`; nothing when it is none (it has no interface number).
std::optional<UsbInterfaceEntry> usbInterfaceAt(const QString &folder);

// The interfaces of the USB device in `folder`, in the order of their folders' names.
QList<UsbInterfaceEntry> interfacesOf(const QString &folder);

// The USB device whose folder is `folder`; nothing when it is none (it has no vendor and product
// numbers).
std::optional<UsbDevice> usbDeviceAt(const QString &folder);

// The name of the kernel driver bound to the device in `folder` (its `driver` link); empty when
// none is.
QString driverOf(const QString &folder);

// Whether one of the interfaces of the USB device in `folder` brings a network interface, a
// control node (cdc-wdm) or a WWAN port.
bool hasNetworkOrControlPort(const QString &folder);

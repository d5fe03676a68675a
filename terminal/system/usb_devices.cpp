#include "usb_devices.h"

#include "system_files.h"
#include "system_formats.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <unistd.h>

namespace {

// A number sysfs writes in hex ("ff"); 0 when there is none.
int hexAttribute(const QString &folder, const char *name)
{
    return attributeOf(folder, name).toInt(nullptr, 16);
}

// Whether a usbmisc folder holds a modem's control node (QMI, MBIM: cdc-wdm0).
bool hasControlNode(const QString &folder)
{
    const QStringList names = entriesOf(folder);
    return std::any_of(names.begin(), names.end(), [](const QString &name) {
        return name.startsWith(QLatin1String("cdc-wdm"));
    });
}

} // namespace

std::optional<UsbDevice> usbDeviceAt(const QString &folder)
{
    UsbDevice device;
    device.vendorId = deviceIdNumber(attributeOf(folder, "idVendor"));
    device.productId = deviceIdNumber(attributeOf(folder, "idProduct"));
    if (device.vendorId.isEmpty() || device.productId.isEmpty())
        return std::nullopt;
    device.path = folder;
    device.name = QFileInfo(folder).fileName();
    device.manufacturer = attributeOf(folder, "manufacturer");
    device.product = attributeOf(folder, "product");
    device.serialNumber = attributeOf(folder, "serial");
    return device;
}

QString driverOf(const QString &folder)
{
    char target[PATH_MAX];
    const ssize_t size = ::readlink(
        QFile::encodeName(folder + QStringLiteral("/driver")).constData(), target, sizeof target);
    return size > 0 ? QFileInfo(QFile::decodeName(QByteArray(target, size))).fileName() : QString();
}

std::optional<UsbInterfaceEntry> usbInterfaceAt(const QString &folder)
{
    UsbInterfaceEntry interface;
    bool ok = false;
    interface.number = attributeOf(folder, "bInterfaceNumber").toInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    interface.path = folder;
    interface.interfaceClass = hexAttribute(folder, "bInterfaceClass");
    interface.interfaceSubClass = hexAttribute(folder, "bInterfaceSubClass");
    interface.interfaceProtocol = hexAttribute(folder, "bInterfaceProtocol");
    interface.description = attributeOf(folder, "interface");
    interface.driver = driverOf(folder);
    for (const QString &name : entriesOf(folder)) {
        // cdc_acm puts its port in tty/, a serial converter its own folder (ttyUSB0) first.
        if (name == QLatin1String("tty") || name.startsWith(QLatin1String("ttyUSB")))
            interface.hasTty = true;
        else if (name == QLatin1String("wwan"))
            interface.hasControlPort = true;
        else if (name == QLatin1String("usbmisc")) // a printer's lp0, a HID device's hiddev0 too
            interface.hasControlPort |= hasControlNode(folder + QStringLiteral("/usbmisc"));
        else if (name == QLatin1String("net"))
            interface.networkInterfaces = entriesOf(folder + QStringLiteral("/net"));
    }
    std::sort(interface.networkInterfaces.begin(), interface.networkInterfaces.end());
    return interface;
}

QList<UsbInterfaceEntry> interfacesOf(const QString &folder)
{
    const QString device = QFileInfo(folder).fileName();
    QStringList names = entriesOf(folder);
    names.sort();
    QList<UsbInterfaceEntry> interfaces;
    for (const QString &name : std::as_const(names)) {
        // An interface's folder is named after its device ("1-2:1.4").
        if (!name.startsWith(device + QLatin1Char(':')))
            continue;
        if (std::optional<UsbInterfaceEntry> interface =
                usbInterfaceAt(folder + QLatin1Char('/') + name))
            interfaces << std::move(*interface);
    }
    return interfaces;
}

bool hasNetworkOrControlPort(const QString &folder)
{
    const QList<UsbInterfaceEntry> interfaces = interfacesOf(folder);
    return std::any_of(interfaces.begin(), interfaces.end(), [](const UsbInterfaceEntry &entry) {
        return entry.hasControlPort || !entry.networkInterfaces.isEmpty();
    });
}

#include "usb_devices.h"

#include "system_files.h"
#include "system_formats.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <climits>
#include <unistd.h>

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

bool hasNetworkOrControlPort(const QString &folder)
{
    const QString device = QFileInfo(folder).fileName();
    for (const QString &name : entriesOf(folder)) {
        // An interface's folder is named after its device ("1-2:1.4").
        if (!name.startsWith(device + QLatin1Char(':')))
            continue;
        const QDir interface(folder + QLatin1Char('/') + name);
        for (const char *kind : { "net", "usbmisc", "wwan" }) {
            if (interface.exists(QLatin1String(kind)))
                return true;
        }
    }
    return false;
}

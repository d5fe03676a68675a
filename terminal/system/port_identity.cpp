#include "port_identity.h"

#include "system_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

QString attribute(const QString &folder, const char *name)
{
    return QString::fromUtf8(readSmallFile(folder + QLatin1Char('/') + QLatin1String(name)))
        .trimmed();
}

bool isUsbId(const QString &text)
{
    static const QString Hex = QStringLiteral("0123456789abcdef");
    return text.size() == 4
        && std::all_of(text.begin(), text.end(), [](QChar c) { return Hex.contains(c); });
}

// A port is a USB interface's own when the device it hangs off is the interface (a modem's
// ttyACM) or a port of a USB serial converter right below it (ttyUSB). A port further down, such
// as a Bluetooth link through a USB adapter, belongs to another device.
std::optional<UsbInterface> usbInterfaceOf(const QDir &root, dev_t device)
{
    const QString entry =
        QFileInfo(root.filePath(
                      QStringLiteral("sys/dev/char/%1:%2").arg(major(device)).arg(minor(device))))
            .canonicalFilePath();
    const QString parent = QFileInfo(entry + QStringLiteral("/device")).canonicalFilePath();
    if (entry.isEmpty() || parent.isEmpty())
        return std::nullopt;
    for (const QString &folder : { parent, QFileInfo(parent).path() }) {
        bool ok = false;
        const int number = attribute(folder, "bInterfaceNumber").toInt(&ok, 16);
        if (!ok)
            continue;
        const QString usbDevice = QFileInfo(folder).path();
        UsbInterface usb;
        usb.vendorId = attribute(usbDevice, "idVendor").toLower();
        usb.productId = attribute(usbDevice, "idProduct").toLower();
        if (!isUsbId(usb.vendorId) || !isUsbId(usb.productId))
            return std::nullopt;
        usb.manufacturer = attribute(usbDevice, "manufacturer");
        usb.product = attribute(usbDevice, "product");
        usb.serialNumber = attribute(usbDevice, "serial");
        usb.number = number;
        return usb;
    }
    return std::nullopt;
}

// The first of udev's links in `folders`, in their order, that points at the device.
QString stablePathOf(const QDir &root, const QString &devicePath, const QStringList &folders)
{
    for (const QString &folder : folders) {
        QStringList names = entriesOf(root.filePath(folder.mid(1)));
        names.sort();
        for (const QString &name : std::as_const(names)) {
            const QString link = folder + QLatin1Char('/') + name;
            char target[PATH_MAX];
            const ssize_t size = ::readlink(
                QFile::encodeName(root.filePath(link.mid(1))).constData(), target, sizeof target);
            if (size <= 0)
                continue;
            // udev's links are relative to their folder; the system root is not part of them.
            const QString pointsAt = QFile::decodeName(QByteArray(target, size));
            const QString resolved = QDir::cleanPath(pointsAt.startsWith(QLatin1Char('/'))
                                                         ? pointsAt
                                                         : folder + QLatin1Char('/') + pointsAt);
            if (resolved == devicePath)
                return link;
        }
    }
    return QString();
}

} // namespace

PortIdentity identifyPort(const QString &systemRoot, const QString &devicePath)
{
    PortIdentity identity;
    struct stat node = {};
    if (::stat(QFile::encodeName(devicePath).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return identity;
    const QDir root(systemRoot);
    identity.usb = usbInterfaceOf(root, node.st_rdev);
    // udev names a by-id link after the device's vendor, product and serial number. Without a
    // serial number every device of the kind gets the same name, and the link follows whichever
    // was plugged in last: the by-path link, named after the socket, is the stable one then.
    QStringList folders { QStringLiteral("/dev/serial/by-id"),
                          QStringLiteral("/dev/serial/by-path") };
    if (identity.usb && identity.usb->serialNumber.isEmpty())
        std::reverse(folders.begin(), folders.end());
    identity.stablePath = stablePathOf(root, QFileInfo(devicePath).canonicalFilePath(), folders);
    return identity;
}

#include "port_identity.h"

#if defined(QUORVANE_LINUX_PORT_GUARD)

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

// Walks up from the device's own entry: the first folder with an interface number is the USB
// interface, the first above it with vendor and product numbers the USB device.
std::optional<UsbInterface> usbInterfaceOf(const QDir &root, dev_t device)
{
    const QString top = QFileInfo(root.filePath(QStringLiteral("sys"))).canonicalFilePath();
    QString folder =
        QFileInfo(root.filePath(
                      QStringLiteral("sys/dev/char/%1:%2").arg(major(device)).arg(minor(device))))
            .canonicalFilePath();
    std::optional<int> interfaceNumber;
    for (; !top.isEmpty() && folder.startsWith(top + QLatin1Char('/'));
         folder = QFileInfo(folder).path()) {
        if (!interfaceNumber) {
            bool ok = false;
            const int number = attribute(folder, "bInterfaceNumber").toInt(&ok, 16);
            if (ok)
                interfaceNumber = number;
            continue;
        }
        UsbInterface usb;
        usb.vendorId = attribute(folder, "idVendor").toLower();
        usb.productId = attribute(folder, "idProduct").toLower();
        if (usb.vendorId.isEmpty())
            continue;
        if (!isUsbId(usb.vendorId) || !isUsbId(usb.productId))
            return std::nullopt;
        usb.manufacturer = attribute(folder, "manufacturer");
        usb.product = attribute(folder, "product");
        usb.number = *interfaceNumber;
        return usb;
    }
    return std::nullopt;
}

// The first of udev's links in /dev/serial/by-id/, else by-path/, that points at the device.
QString stablePathOf(const QDir &root, const QString &devicePath)
{
    for (const QString &folder :
         { QStringLiteral("/dev/serial/by-id"), QStringLiteral("/dev/serial/by-path") }) {
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
    identity.stablePath = stablePathOf(root, QFileInfo(devicePath).canonicalFilePath());
    return identity;
}

#else

PortIdentity identifyPort(const QString &, const QString &)
{
    return {};
}

#endif

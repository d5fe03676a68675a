#include "port_identity.h"

#if defined(QUORVANE_LINUX_PORT_GUARD)

#include "modem_manager.h"
#include "system_files.h"
#include "system_formats.h"
#include "udev_record.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The port as ModemManager names it, relative to /dev (ttyUSB2).
QString kernelName(const QString &devicePath)
{
    QString canonical = QFileInfo(devicePath).canonicalFilePath();
    if (canonical.isEmpty())
        canonical = devicePath;
    return canonical.startsWith(QLatin1String("/dev/")) ? canonical.mid(5) : canonical;
}

// The part ModemManager's udev rules give the port.
PortRole roleInRecord(const UdevRecord &record)
{
    static const std::pair<const char *, PortRole> Tags[] = {
        { "ID_MM_PORT_TYPE_QCDM", PortRole::Diagnostic },
        { "ID_MM_PORT_TYPE_GPS", PortRole::Gps },
        { "ID_MM_PORT_TYPE_AUDIO", PortRole::Audio },
        { "ID_MM_PORT_TYPE_AT_PRIMARY", PortRole::AtPrimary },
        { "ID_MM_PORT_TYPE_AT_SECONDARY", PortRole::AtSecondary },
        { "ID_MM_PORT_TYPE_AT_PPP", PortRole::AtData },
    };
    for (const auto &[tag, role] : Tags) {
        if (record.isSet(QLatin1String(tag)))
            return role;
    }
    return PortRole::Unknown;
}

// The part ModemManager found the port to play; a finer word of the rules for an AT port stands.
PortRole roleInModem(const ModemManagerAnswer::Modem &modem, const ModemManagerAnswer::Port &port,
                     PortRole tagged)
{
    switch (port.type) {
    case ModemManagerAnswer::AtPort:
        if (port.name == modem.primaryPort)
            return PortRole::AtPrimary;
        return isAtPort(tagged) ? tagged : PortRole::At;
    case ModemManagerAnswer::QcdmPort:
        return PortRole::Diagnostic;
    case ModemManagerAnswer::GpsPort:
        return PortRole::Gps;
    case ModemManagerAnswer::AudioPort:
        return PortRole::Audio;
    default:
        return PortRole::Other;
    }
}

// What udev's record says for ModemManager.
PortIdentity::Record recordFacts(const UdevRecord &record)
{
    PortIdentity::Record facts;
    facts.forModemManager = record.isSet(QStringLiteral("ID_MM_CANDIDATE"))
        && !record.isSet(QStringLiteral("ID_MM_PORT_IGNORE"))
        && !record.isSet(QStringLiteral("ID_MM_DEVICE_IGNORE"));
    facts.tagged = record.isSet(QStringLiteral("ID_MM_DEVICE_PROCESS"))
        || roleInRecord(record) != PortRole::Unknown;
    facts.ageSeconds = secondsSinceInitialised(record);
    return facts;
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
        const std::optional<UsbInterfaceEntry> interface = usbInterfaceAt(folder);
        if (!interface)
            continue;
        const std::optional<UsbDevice> device = usbDeviceAt(QFileInfo(folder).path());
        if (!device)
            return std::nullopt;
        return UsbInterface { *device,
                              interface->number,
                              interface->interfaceClass,
                              interface->interfaceSubClass,
                              interface->interfaceProtocol,
                              interface->driver };
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

PortIdentity identifyPort(const QString &systemRoot, const QString &devicePath,
                          const ModemManagerAnswer *modems)
{
    PortIdentity identity;
    struct stat node = {};
    if (::stat(QFile::encodeName(devicePath).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return identity;
    const QDir root(systemRoot);
    identity.usb = usbInterfaceOf(root, node.st_rdev);
    if (const std::optional<UdevRecord> record = udevRecordOf(systemRoot, node.st_rdev)) {
        identity.role = roleInRecord(*record);
        identity.record = recordFacts(*record);
    }
    if (identity.usb)
        identity.besideNetworkPort = hasNetworkOrControlPort(identity.usb->device.path);
    const ModemManagerAnswer notAsked;
    const auto [modem, port] = (modems ? *modems : notAsked).find(kernelName(devicePath));
    if (modem) {
        identity.modem = { modem->device, modem->manufacturer };
        identity.role = roleInModem(*modem, *port, identity.role);
    }
    // udev names a by-id link after the device's vendor, product and serial number. Without a
    // serial number every device of the kind gets the same name, and the link follows whichever
    // was plugged in last: the by-path link, named after the socket, is the stable one then.
    QStringList folders { QStringLiteral("/dev/serial/by-id"),
                          QStringLiteral("/dev/serial/by-path") };
    if (identity.usb && identity.usb->device.serialNumber.isEmpty())
        std::reverse(folders.begin(), folders.end());
    identity.stablePath = stablePathOf(root, QFileInfo(devicePath).canonicalFilePath(), folders);
    return identity;
}

#else // no sysfs

PortIdentity identifyPort(const QString &, const QString &, const ModemManagerAnswer *)
{
    return {};
}

#endif

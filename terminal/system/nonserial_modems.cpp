#include "nonserial_modems.h"

void addModemManagerModems(QList<NonSerialModem> &modems, const ModemManagerAnswer &answer)
{
    for (NonSerialModem &modem : modems) {
        for (const QString &port : std::as_const(modem.ports)) {
            if (const ModemManagerAnswer::Modem *managing = answer.find(port).first) {
                modem.managed = *managing;
                break;
            }
        }
    }
}

#if defined(QUORVANE_LINUX_PORT_GUARD)

#include "system_files.h"
#include "system_formats.h"
#include "usb_devices.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <climits>
#include <map>
#include <unistd.h>

namespace {

// A modem while its class entries are gathered: its WWAN AT ports apart from the others (QMI or
// MBIM control nodes, WWAN network interfaces, WWAN ports of other kinds).
struct Gathered
{
    NonSerialModem modem;
    QStringList atPorts;
};

// Whether the device in `folder` is on the PCI bus: SDIO and virtio devices write vendor and
// device numbers too.
bool isOnPci(const QString &folder)
{
    const QByteArray bus = QFile::encodeName(folder + QStringLiteral("/subsystem"));
    char target[PATH_MAX];
    const ssize_t size = ::readlink(bus.constData(), target, sizeof target);
    return size > 0 && QByteArray(target, size).endsWith("/bus/pci");
}

// The device a class entry belongs to: the first folder above the entry, within `devices`, that
// describes itself with vendor and product numbers, a USB device (idVendor, idProduct) or a PCI
// function (vendor, device); nothing when there is none.
std::optional<std::pair<QString, NonSerialModem>> deviceAbove(const QString &entry,
                                                              const QString &devices)
{
    QString folder = QFileInfo(entry).canonicalFilePath();
    while (!devices.isEmpty() && folder.startsWith(devices + QLatin1Char('/'))) {
        folder = QFileInfo(folder).path();
        NonSerialModem modem;
        if (const std::optional<UsbDevice> usb = usbDeviceAt(folder)) {
            modem.vendorId = usb->vendorId;
            modem.productId = usb->productId;
            modem.manufacturer = usb->manufacturer;
            modem.product = usb->product;
            return std::pair { folder, modem };
        }
        modem.vendorId = deviceIdNumber(attributeOf(folder, "vendor"));
        modem.productId = deviceIdNumber(attributeOf(folder, "device"));
        if (!modem.vendorId.isEmpty() && !modem.productId.isEmpty() && isOnPci(folder)) {
            modem.onPci = true;
            return std::pair { folder, modem };
        }
    }
    return std::nullopt;
}

// Whether a tty hangs anywhere below the device: a ttyACM port in its interface's tty folder, a
// ttyUSB port in its converter's.
bool hasTtyBelow(const QString &device)
{
    QDirIterator folders(device, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                         QDirIterator::Subdirectories);
    while (folders.hasNext()) {
        folders.next();
        if (folders.fileName() == QLatin1String("tty"))
            return true;
    }
    return false;
}

bool isWwanAtPort(const QString &name)
{
    static const QRegularExpression AtPort(QStringLiteral("^wwan\\d+at\\d+$"));
    return AtPort.match(name).hasMatch();
}

// The WWAN class lists each modem (wwan0) beside its ports; a modem's name may be a network
// interface's of another modem, and is no port.
bool isWwanPort(const QString &name)
{
    static const QRegularExpression Modem(QStringLiteral("^wwan\\d+$"));
    return !Modem.match(name).hasMatch();
}

} // namespace

QList<NonSerialModem> findNonSerialModems(const QString &systemRoot)
{
    const QDir sys(QDir(systemRoot).filePath(QStringLiteral("sys")));
    const QString devices = QFileInfo(sys.filePath(QStringLiteral("devices"))).canonicalFilePath();
    std::map<QString, Gathered> found; // by device path
    // Each entry of a class that a modem without serial ports brings, and whether it tells of one.
    auto gather = [&](const char *className, auto tellsOfModem) {
        const QString classFolder = sys.filePath(QStringLiteral("class/") + className);
        for (const QString &name : entriesOf(classFolder)) {
            const QString entry = classFolder + QLatin1Char('/') + name;
            if (!tellsOfModem(name, entry))
                continue;
            const auto device = deviceAbove(entry, devices);
            if (!device)
                continue;
            const auto [at, added] = found.try_emplace(device->first);
            Gathered &gathered = at->second;
            if (added) {
                gathered.modem = device->second;
                gathered.modem.path = device->first;
            }
            gathered.modem.ports << name;
            if (isWwanAtPort(name))
                gathered.atPorts << name;
        }
    };
    gather("usbmisc", [](const QString &name, const QString &) {
        return name.startsWith(QLatin1String("cdc-wdm"));
    });
    gather("net", [](const QString &, const QString &entry) {
        return readSmallFile(entry + QStringLiteral("/uevent"))
            .split('\n')
            .contains("DEVTYPE=wwan");
    });
    gather("wwan", [](const QString &name, const QString &) { return isWwanPort(name); });

    QList<NonSerialModem> modems;
    for (auto &[path, gathered] : found) {
        NonSerialModem &modem = gathered.modem;
        modem.hasTty = hasTtyBelow(path);
        if (!gathered.atPorts.isEmpty()) {
            std::sort(gathered.atPorts.begin(), gathered.atPorts.end());
            modem.atPort = gathered.atPorts.constFirst();
        } else if (modem.onPci || modem.hasTty) {
            continue; // a modem with serial ports; QMI and MBIM alone are told of USB modems
        }
        modems << modem;
    }
    return modems;
}

#else // no sysfs

QList<NonSerialModem> findNonSerialModems(const QString &)
{
    return {};
}

#endif

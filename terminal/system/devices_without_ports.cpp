#include "devices_without_ports.h"

#if defined(QUORVANE_LINUX_PORT_GUARD)

#include "process_table.h"
#include "system_files.h"
#include "system_formats.h"
#include "usb_devices.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <map>
#include <optional>
#include <sys/sysmacros.h>

namespace {

using Cause = DeviceWithoutPorts::Cause;
using Kind = DeviceWithoutPorts::Kind;

// Vendors that make cellular modems (and number them so): Huawei, ZTE, Quectel, Qualcomm, Sierra
// Wireless, Telit, SIMCom, u-blox, Fibocom, Thales (Cinterion), Option, Novatel, Wistron NeWeb,
// Pantech, Longcheer, Ericsson, MeiG, GosunCn, Rolling Wireless, Neoway.
const QLatin1String ModemMakers[] = {
    QLatin1String("12d1"), QLatin1String("19d2"), QLatin1String("2c7c"), QLatin1String("05c6"),
    QLatin1String("1199"), QLatin1String("1bc7"), QLatin1String("1e0e"), QLatin1String("1546"),
    QLatin1String("2cb7"), QLatin1String("1e2d"), QLatin1String("0af0"), QLatin1String("1410"),
    QLatin1String("1435"), QLatin1String("106c"), QLatin1String("1c9e"), QLatin1String("0bdb"),
    QLatin1String("2dee"), QLatin1String("305a"), QLatin1String("33f8"), QLatin1String("2949"),
};
// The makers of the USB-serial chips GSM modules and boards carry: QinHeng (CH340, CH341), FTDI,
// Silicon Labs (CP210x), Prolific (PL2303).
const QLatin1String SerialChipMakers[] = { QLatin1String("1a86"), QLatin1String("0403"),
                                           QLatin1String("10c4"), QLatin1String("067b") };

// Vendors that make phones: Samsung, Google, Xiaomi, Motorola, Sony, LG, HTC, OnePlus, Oppo,
// Vivo, Huawei, ZTE, Nokia, HMD, Apple.
const QLatin1String PhoneMakers[] = {
    QLatin1String("04e8"), QLatin1String("18d1"), QLatin1String("2717"), QLatin1String("22b8"),
    QLatin1String("0fce"), QLatin1String("1004"), QLatin1String("0bb4"), QLatin1String("2a70"),
    QLatin1String("22d9"), QLatin1String("2d95"), QLatin1String("12d1"), QLatin1String("19d2"),
    QLatin1String("0421"), QLatin1String("2e04"), QLatin1String("05ac"),
};

template<size_t N>
bool isAmong(const QString &vendorId, const QLatin1String (&vendors)[N])
{
    return std::find(std::begin(vendors), std::end(vendors), vendorId) != std::end(vendors);
}

bool isVendorClass(const UsbInterfaceEntry &interface)
{
    return interface.interfaceClass == 0xff;
}

// Android's debugging interface (ADB): vendor class, subclass 0x42.
bool isAdb(const UsbInterfaceEntry &interface)
{
    return isVendorClass(interface) && interface.interfaceSubClass == 0x42;
}

bool isMassStorage(const UsbInterfaceEntry &interface)
{
    return interface.interfaceClass == 0x08;
}

// Whether the device tells it is a phone: a phone maker's numbers, Android's debugging interface,
// Android's name in its strings.
bool isPhone(const UsbDevice &usb, const QList<UsbInterfaceEntry> &interfaces)
{
    return isAmong(usb.vendorId, PhoneMakers)
        || std::any_of(interfaces.begin(), interfaces.end(), isAdb)
        || usb.manufacturer.contains(QLatin1String("Android"))
        || usb.product.contains(QLatin1String("Android"));
}

// A file transfer: MTP by its interface's name (of the still-image class or of the vendor's),
// PTP by the still-image class on a phone (a camera speaks PTP too).
QString fileTransferOf(const QList<UsbInterfaceEntry> &interfaces, bool phone)
{
    for (const UsbInterfaceEntry &interface : interfaces) {
        if (interface.description.contains(QLatin1String("MTP")))
            return QStringLiteral("MTP");
        if (phone && interface.interfaceClass == 0x06 && interface.interfaceSubClass == 0x01)
            return QStringLiteral("PTP");
    }
    return QString();
}

// What stands between a USB device's system files and the facts the causes are told by.
class UsbCauses
{
public:
    explicit UsbCauses(const QString &systemRoot)
        : m_root(systemRoot)
    {
    }

    std::optional<DeviceWithoutPorts> causeOf(const UsbDevice &usb);

private:
    bool heldThroughUsbfs(DeviceWithoutPorts &device);
    bool inStorageMode(DeviceWithoutPorts &device);
    bool inOtherConfiguration(DeviceWithoutPorts &device);
    // usb-modeswitch's rules, read once, when a device in storage mode asks.
    const std::optional<ModeSwitchRules> &modeSwitchRules();

    QDir m_root;
    QList<UsbInterfaceEntry> m_interfaces; // of the device being looked at
    std::optional<std::optional<ModeSwitchRules>> m_rules;
};

std::optional<DeviceWithoutPorts> UsbCauses::causeOf(const UsbDevice &usb)
{
    m_interfaces = interfacesOf(usb.path);
    // A device with a port of its own is checked; one not configured has nothing to tell.
    const auto &interfaces = m_interfaces;
    if (interfaces.isEmpty()
        || std::any_of(interfaces.begin(), interfaces.end(),
                       [](const UsbInterfaceEntry &interface) { return interface.hasTty; }))
        return std::nullopt;
    const bool maker = isAmong(usb.vendorId, ModemMakers);
    DeviceWithoutPorts device;
    device.path = usb.path;
    device.name = usb.name;
    device.vendorId = usb.vendorId;
    device.productId = usb.productId;
    device.manufacturer = usb.manufacturer;
    device.product = usb.product;
    device.kind = maker                           ? Kind::Modem
        : isAmong(usb.vendorId, SerialChipMakers) ? Kind::SerialAdapter
                                                  : Kind::Device;

    const bool phone = isPhone(usb, interfaces);
    if (inOtherConfiguration(device)) {
        device.cause = Cause::OtherConfiguration;
        if (!maker && phone)
            device.kind = Kind::Phone;
        return device;
    }
    device.protocol = fileTransferOf(interfaces, phone);
    if (!device.protocol.isEmpty()) {
        device.cause = Cause::FileTransfer;
        device.kind = phone ? Kind::Phone : Kind::Device; // a music player, a watch
        return device;
    }
    if (device.kind != Kind::Device && heldThroughUsbfs(device)) {
        device.cause = Cause::HeldThroughUsbfs;
        return device;
    }
    if (inStorageMode(device)) {
        device.cause = Cause::StorageMode;
        return device;
    }
    const bool control = std::any_of(interfaces.begin(), interfaces.end(),
                                     [](const UsbInterfaceEntry &i) { return i.hasControlPort; });
    for (const UsbInterfaceEntry &interface : interfaces) {
        if (isVendorClass(interface) && !isAdb(interface) && interface.driver.isEmpty())
            device.unboundInterfaces << interface.number;
        else if (!isVendorClass(interface))
            device.besideOtherClasses = true;
        device.networkInterfaces += interface.networkInterfaces;
    }
    // A modem's serial functions: a modem maker's, or beside a QMI or MBIM control node.
    if (!device.unboundInterfaces.isEmpty() && (maker || control)) {
        device.cause = Cause::NoDriver;
        device.kind = Kind::Modem;
        return device;
    }
    // A modem in network mode keeps its storage beside (its CD-ROM, a memory card's slot); a phone
    // sharing its connection (Android's USB tethering) has none.
    if (maker && !control && !device.networkInterfaces.isEmpty()
        && std::any_of(interfaces.begin(), interfaces.end(), isMassStorage)
        && !std::any_of(interfaces.begin(), interfaces.end(), isAdb)) {
        device.cause = Cause::NetworkMode;
        return device;
    }
    return std::nullopt;
}

bool UsbCauses::heldThroughUsbfs(DeviceWithoutPorts &device)
{
    if (std::none_of(m_interfaces.begin(), m_interfaces.end(),
                     [](const UsbInterfaceEntry &i) { return i.driver == QLatin1String("usbfs"); }))
        return false;
    bool busOk = false, numberOk = false;
    const int bus = attributeOf(device.path, "busnum").toInt(&busOk);
    const int number = attributeOf(device.path, "devnum").toInt(&numberOk);
    if (busOk && numberOk && bus > 0 && number > 0) {
        device.usbfsNode = QStringLiteral("/dev/bus/usb/%1/%2")
                               .arg(bus, 3, 10, QLatin1Char('0'))
                               .arg(number, 3, 10, QLatin1Char('0'));
        // usbfs numbers its nodes 128 to a bus, from 0.
        const QString proc = m_root.filePath(QStringLiteral("proc"));
        const qint64 pid = usersOf(proc, makedev(189, (bus - 1) * 128 + number - 1),
                                   QFile::encodeName(device.usbfsNode))
                               .opening;
        if (pid > 0) {
            device.holderPid = pid;
        } else if (const qint64 brltty = processNamed(proc, QStringLiteral("brltty"))) {
            // Another user's process hides what it holds; brltty is the one known to take
            // these devices.
            device.holderPid = brltty;
            device.holderGuessed = true;
        }
        device.holder = processName(proc, device.holderPid);
    }
    return true;
}

bool UsbCauses::inStorageMode(DeviceWithoutPorts &device)
{
    // An Android phone sharing its storage is no modem, whoever made it.
    if (!std::all_of(m_interfaces.begin(), m_interfaces.end(), isMassStorage)
        || device.manufacturer.contains(QLatin1String("Android")))
        return false;
    const bool installed = m_root.exists(QStringLiteral("usr/sbin/usb_modeswitch"))
        || m_root.exists(QStringLiteral("sbin/usb_modeswitch"));
    const std::optional<ModeSwitchRules> &rules = modeSwitchRules();
    const bool knowsDevice = rules && rules->knowsDevice(device.vendorId, device.productId);
    const bool knowsVendor = rules && rules->vendors.contains(device.vendorId);
    if (!knowsDevice && !knowsVendor && device.kind != Kind::Modem)
        return false; // a USB stick, a card reader
    device.switcher = !installed || !rules ? DeviceWithoutPorts::Switcher::Missing
        : knowsDevice                      ? DeviceWithoutPorts::Switcher::KnowsDevice
        : knowsVendor                      ? DeviceWithoutPorts::Switcher::KnowsVendor
                                           : DeviceWithoutPorts::Switcher::DoesNotKnow;
    const QString entry =
        QStringLiteral("usr/share/usb_modeswitch/%1:%2").arg(device.vendorId, device.productId);
    if (QFileInfo(m_root.filePath(entry)).isFile())
        device.switchEntry = QLatin1Char('/') + entry;
    return true;
}

bool UsbCauses::inOtherConfiguration(DeviceWithoutPorts &device)
{
    if (attributeOf(device.path, "bNumConfigurations").toInt() < 2)
        return false;
    constexpr qsizetype DescriptorsLimit = 64 * 1024;
    device.activeConfiguration = attributeOf(device.path, "bConfigurationValue").toInt();
    for (const int configuration : configurationsWithModem(
             readSmallFile(device.path + QStringLiteral("/descriptors"), DescriptorsLimit))) {
        if (configuration != device.activeConfiguration) {
            device.configuration = configuration;
            return true;
        }
    }
    return false;
}

const std::optional<ModeSwitchRules> &UsbCauses::modeSwitchRules()
{
    if (!m_rules) {
        constexpr qsizetype RulesLimit = 1 << 20;
        m_rules.emplace();
        for (const char *folder : { "lib/udev/rules.d", "usr/lib/udev/rules.d" }) {
            const QString path =
                m_root.filePath(QLatin1String(folder) + QStringLiteral("/40-usb_modeswitch.rules"));
            if (QFileInfo::exists(path)) {
                m_rules->emplace(::modeSwitchRules(readSmallFile(path, RulesLimit)));
                break;
            }
        }
    }
    return *m_rules;
}

// A PCI function of the cellular class (0x0d40, 0x0d41: a modem, a modem with Ethernet) that no
// driver took.
std::optional<DeviceWithoutPorts> pciCauseOf(const QString &folder)
{
    const QString pciClass = attributeOf(folder, "class");
    if (!pciClass.startsWith(QLatin1String("0x0d40"))
        && !pciClass.startsWith(QLatin1String("0x0d41")))
        return std::nullopt;
    if (!driverOf(folder).isEmpty())
        return std::nullopt;
    DeviceWithoutPorts device;
    device.cause = Cause::NoPciDriver;
    device.kind = Kind::Modem;
    device.onPci = true;
    device.path = folder;
    device.name = QFileInfo(folder).fileName();
    device.vendorId = deviceIdNumber(attributeOf(folder, "vendor"));
    device.productId = deviceIdNumber(attributeOf(folder, "device"));
    return device;
}

} // namespace

QList<DeviceWithoutPorts> findDevicesWithoutPorts(const QString &systemRoot)
{
    const QDir sys(QDir(systemRoot).filePath(QStringLiteral("sys")));
    std::map<QString, DeviceWithoutPorts> found; // by device path
    UsbCauses usb(systemRoot);
    const QString usbDevices = sys.filePath(QStringLiteral("bus/usb/devices"));
    for (const QString &name : entriesOf(usbDevices)) {
        // Interfaces (1-2:1.0) and root hubs (usb1) are no device to plug in.
        if (name.contains(QLatin1Char(':')) || name.startsWith(QLatin1String("usb")))
            continue;
        const QString folder = QFileInfo(usbDevices + QLatin1Char('/') + name).canonicalFilePath();
        if (const std::optional<UsbDevice> device = usbDeviceAt(folder)) {
            if (std::optional<DeviceWithoutPorts> cause = usb.causeOf(*device))
                found.emplace(folder, std::move(*cause));
        }
    }
    const QString pciDevices = sys.filePath(QStringLiteral("bus/pci/devices"));
    for (const QString &name : entriesOf(pciDevices)) {
        const QString folder = QFileInfo(pciDevices + QLatin1Char('/') + name).canonicalFilePath();
        if (std::optional<DeviceWithoutPorts> cause = pciCauseOf(folder))
            found.emplace(folder, std::move(*cause));
    }
    QList<DeviceWithoutPorts> devices;
    for (auto &[path, device] : found)
        devices << std::move(device);
    return devices;
}

#else // no sysfs

QList<DeviceWithoutPorts> findDevicesWithoutPorts(const QString &)
{
    return {};
}

#endif

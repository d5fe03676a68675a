#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A modem, a phone or a serial adapter that is plugged in and offers no serial port, for one of
// the reasons users meet most, each with its way out. sysfs tells them apart without opening
// anything; the scan says which it is when no terminal answered.
struct DeviceWithoutPorts
{
    enum class Cause {
        // A modem that still shows its virtual CD-ROM: usb-modeswitch did not switch it.
        StorageMode,
        // A program holds it through usbfs (brltty takes CH340 adapters): no serial driver can.
        HeldThroughUsbfs,
        // A modem's serial functions that no driver took: the kernel's serial driver does not
        // know the model.
        NoDriver,
        // A phone connected for file transfer (MTP, PTP).
        FileTransfer,
        // A modem whose firmware shows a network interface only (HiLink): it speaks no AT.
        NetworkMode,
        // A PCIe modem that no driver took.
        NoPciDriver,
        // A phone whose modem is in a USB configuration other than the one in use.
        OtherConfiguration,
    };
    // What the device is, as far as its numbers and interfaces tell.
    enum class Kind { Modem, Phone, SerialAdapter, Device };
    // What usb-modeswitch can do for a modem in storage mode.
    enum class Switcher {
        Missing, // not installed
        KnowsDevice, // its rules name the device, but it was not switched
        KnowsVendor, // its rule for every storage device of the vendor takes it
        DoesNotKnow, // installed, and its data do not know the model
    };

    Cause cause = Cause::StorageMode;
    Kind kind = Kind::Device;
    bool onPci = false; // else on USB
    QString path; // the device's folder in sysfs
    QString name; // its name in sysfs: "2-3", "0000:03:00.0"
    QString vendorId; // four lower-case hex digits
    QString productId; // the PCI function's device number on PCI
    QString manufacturer; // the USB device's own strings; empty when it has none, and on PCI
    QString product;

    // StorageMode: what usb-modeswitch can do, and where its data keep the device's entry as a
    // file (some systems unpack them); empty when they keep it packed or have none.
    Switcher switcher = Switcher::Missing;
    QString switchEntry;
    // HeldThroughUsbfs: the device's node, and who holds it; a holder only seen running, not
    // seen to hold it (another user's process hides its descriptors) is `holderGuessed`.
    QString usbfsNode;
    QString holder;
    qint64 holderPid = 0;
    bool holderGuessed = false;
    // NoDriver: the interfaces no driver took, and whether other interfaces of other classes
    // stand beside them (the serial driver is then told to take the vendor class only).
    QList<int> unboundInterfaces;
    bool besideOtherClasses = false;
    // FileTransfer: "MTP" or "PTP".
    QString protocol;
    // NetworkMode: its network interfaces.
    QStringList networkInterfaces;
    // OtherConfiguration: the configuration that holds the modem, and the one in use.
    int configuration = 0;
    int activeConfiguration = 0;
};

// The devices sysfs below `systemRoot` tells of that offer no serial port for one of the causes
// above, one cause each, in the order of their device paths. Only modems, phones and serial
// adapters are told of: a USB stick, a webcam or a network adapter is none of them. The processes
// are read below `systemRoot`'s proc, usb-modeswitch's rules and data below its lib and usr.
QList<DeviceWithoutPorts> findDevicesWithoutPorts(const QString &systemRoot);

#pragma once

#include "usb_devices.h"

#include <QString>

#include <optional>

struct ModemManagerAnswer;

// The USB interface a port belongs to, and the device it is an interface of.
struct UsbInterface
{
    UsbDevice device;
    int number = 0; // the interface's number
    // What the interface says it is (0x02, 0x02, 0x01: CDC ACM speaking V.250 AT commands).
    int interfaceClass = 0;
    int interfaceSubClass = 0;
    int interfaceProtocol = 0;
    QString driver; // the kernel driver bound to it (option, cdc_acm, ch341); empty for none
};

// A port's part in its modem, as ModemManager's udev rules tag it or ModemManager lists it. A
// modem brings several ports on one USB device, and only some of them speak AT.
enum class PortRole {
    Unknown,
    AtPrimary,
    AtSecondary,
    AtData, // the AT port for PPP data calls
    At, // an AT port, nothing more said
    Diagnostic, // QCDM/DIAG: binary, never AT
    Gps, // NMEA sentences
    Audio,
    Other, // a port ModemManager lists with a type that is none of the above
};

// Whether the port is known to be one of the modem's AT ports.
inline bool isAtPort(PortRole role)
{
    return role == PortRole::AtPrimary || role == PortRole::AtSecondary || role == PortRole::AtData
        || role == PortRole::At;
}

// What the system and ModemManager tell of a port's device without opening it: facts, which the
// guard judges.
struct PortIdentity
{
    // The USB device behind the port, when the port is one of a USB interface's own.
    std::optional<UsbInterface> usb;
    // The path that names the port whatever the order devices were plugged in: udev's link under
    // /dev/serial/by-id/, else /dev/serial/by-path/; empty when there is none.
    QString stablePath;
    // The port's part in its modem: the one ModemManager found it to play, else the one its rules
    // tagged it with.
    PortRole role = PortRole::Unknown;

    // What udev's record of the port says for ModemManager; none when udev keeps no record.
    struct Record
    {
        // ModemManager's rules handed the port to it: a candidate, and not to be ignored.
        bool forModemManager = false;
        // Its rules know the device for a modem: they told ModemManager to take it
        // (ID_MM_DEVICE_PROCESS), or gave the port its part (ID_MM_PORT_TYPE_*).
        bool tagged = false;
        // How long ago udev handed the port over; none when the record does not say.
        std::optional<double> ageSeconds;
    };
    std::optional<Record> record;
    // The port's USB device also brings a network or control port (a modem's net, cdc-wdm or
    // WWAN port).
    bool besideNetworkPort = false;

    // The modem ModemManager lists the port as part of, when it does.
    struct ManagedModem
    {
        QString device; // as `mmcli --inhibit-device` takes it
        QString manufacturer; // empty when it has not told
    };
    std::optional<ManagedModem> modem;
};

// Reads sysfs, /dev/serial and udev's record below `systemRoot` for the device at `devicePath`:
// the device's own entry (sys/dev/char/MAJOR:MINOR) and the USB interface and device above it,
// as udev finds them, and the tags ModemManager's rules gave it; and what ModemManager's answer
// `modems` says of it (none when it was not asked). Only where sysfs is (Linux): elsewhere
// nothing is known.
PortIdentity identifyPort(const QString &systemRoot, const QString &devicePath,
                          const ModemManagerAnswer *modems);

#pragma once

#include <QString>

#include <optional>

struct ModemManagerAnswer;

// The USB interface a port belongs to, as the USB device describes itself.
struct UsbInterface
{
    QString manufacturer; // the device's own strings, empty when it has none
    QString product;
    QString serialNumber;
    QString vendorId; // four lower-case hex digits, as sysfs writes them
    QString productId;
    int number = 0; // the interface's number
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

// What the system tells of a port's device without opening it.
struct PortIdentity
{
    // The USB device behind the port, when the port is one of a USB interface's own.
    std::optional<UsbInterface> usb;
    // The path that names the port whatever the order devices were plugged in: udev's link under
    // /dev/serial/by-id/, else /dev/serial/by-path/; empty when there is none.
    QString stablePath;
    PortRole role = PortRole::Unknown;

    // ModemManager's claim on the port: none; it manages the modem the port belongs to; it is
    // still examining the port (udev handed it over moments ago and ModemManager does not list
    // it yet); or it did not answer and may be using the port.
    enum class ModemManagerClaim { None, Manages, Examining, Unanswered };
    ModemManagerClaim modemManager = ModemManagerClaim::None;
    // The modem ModemManager manages the port as part of.
    QString modemDevice; // as `mmcli --inhibit-device` takes it
    QString modemManufacturer; // empty when it has not told
};

// Reads sysfs, /dev/serial and udev's record below `systemRoot` for the device at `devicePath`:
// the device's own entry (sys/dev/char/MAJOR:MINOR) and the USB interface and device above it,
// as udev finds them, and the tags ModemManager's rules gave it; and what ModemManager's answer
// `modems` says of it (none when it was not asked). Only where sysfs is (Linux).
PortIdentity identifyPort(const QString &systemRoot, const QString &devicePath,
                          const ModemManagerAnswer *modems);

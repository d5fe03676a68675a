#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The formats of the files the kernel and other programs write, read from bytes already in hand:
// nothing here opens a file or asks the system. Whatever they hold is taken as possibly hostile
// (any user may write a lock file), so every reader has one answer for what it cannot read.

// A device number as sysfs and /proc/consoles write it ("4:64").
std::optional<quint64> deviceNumber(QByteArrayView text);

// Whether the kernel's list of terminal drivers (/proc/tty/drivers) covers the device: each line
// ends with the major number, a minor or a range of minors, and the driver's type.
bool isInTerminalDrivers(const QByteArray &drivers, quint64 device);

// The devices /proc/consoles lists as consoles: each line ends with one.
QList<quint64> consoleDevices(const QByteArray &consoles);

// The device a process has as its controlling terminal, from its stat line; 0 for none.
quint64 controllingTerminal(const QByteArray &statLine);

// The user ids a process runs with, from its status file ("Uid:" followed by the real,
// effective, saved and file system ones); none when the line is not there.
QList<uint> processUserIds(const QByteArray &status);

// The process a lock file names, in any format programs write: an ASCII number of any width,
// alone or followed by the program and the user or by Qt's lines; or four binary bytes. 0 when it
// names none that can be read; a number past any process's is kept as it is (no process is seen
// to have it, and the lock is never taken for stale).
qint64 lockFilePid(const QByteArray &content);

// What a lock file's name in a lock folder stands for: the device paths it may name below /dev
// ("LCK..ttyUSB0"; "LCK..pts_3", '_' standing for '/'), or a device number (lockdev's
// "LCK.004.064"). A name that leads out of /dev, or into /dev/shm or /dev/mqueue (where any user
// may put a link) by any way of writing it, names nothing.
struct LockFileTarget
{
    QStringList paths;
    std::optional<quint64> device;
};
LockFileTarget lockFileTarget(const QString &name);

// The process holding a flock or a record lock on a file, by /proc/locks: the file system's
// device number and the inode. -1 when the lock's owner is not told (an open file description
// lock), 0 when there is no lock; waiters hold nothing.
qint64 lockHolder(const QByteArray &locks, quint64 fileSystem, quint64 inode);

// What udev's database holds of a device (/run/udev/data/cMAJOR:MINOR): the properties its rules
// set ("E:KEY=VALUE" lines; ModemManager's rules tag each port of a modem so), and when udev
// initialised the device ("I:", microseconds of CLOCK_MONOTONIC), when it says. Lines of other
// kinds and lines it cannot read are passed over.
struct UdevRecord
{
    QHash<QString, QString> properties;
    std::optional<qint64> initialisedAt;

    // Whether a flag property is set ("1").
    bool isSet(const QString &key) const { return properties.value(key) == QLatin1String("1"); }
};
UdevRecord udevRecord(const QByteArray &content);

// A vendor's or a product's number as sysfs writes it, for USB ("2c7c") and for PCI ("0x2c7c"):
// four lower-case hex digits; empty when the text is no such number.
QString deviceIdNumber(QStringView text);

// The configurations of a USB device (by their bConfigurationValue) that hold a modem's AT port:
// an interface of the communications class's abstract control model speaking AT commands (02/02,
// protocol 1 to 6; RNDIS is 02/02/ff). From the device's raw descriptors as sysfs gives them (the
// `descriptors` file: the device's descriptor, then every configuration's in full, each as long
// as its wTotalLength says). What cannot be read ends the walk.
QList<int> configurationsWithModem(QByteArrayView descriptors);

// The devices usb-modeswitch's udev rules switch out of their storage mode: one rule per device
// ("vvvv:pppp"), and a vendor's rule for any storage interface 0 of theirs (Huawei's).
struct ModeSwitchRules
{
    QStringList devices;
    QStringList vendors;

    // Whether a rule names the device itself.
    bool knowsDevice(const QString &vendorId, const QString &productId) const
    {
        return devices.contains(vendorId + QLatin1Char(':') + productId);
    }
};
ModeSwitchRules modeSwitchRules(const QByteArray &rules);

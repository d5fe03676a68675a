#include "port_guard.h"

#include <algorithm>
#include <iterator>

namespace {

// A record younger than this, of a port ModemManager does not list, is a port it is still
// examining: it probes a new modem's ports for some seconds before it lists the modem.
constexpr double ExaminingSeconds = 30;

// The kernel drivers of modems that ModemManager's filter takes by their name.
const QLatin1String ModemDrivers[] = { QLatin1String("option"),   QLatin1String("option1"),
                                       QLatin1String("qcserial"), QLatin1String("qcaux"),
                                       QLatin1String("nozomi"),   QLatin1String("sierra") };

// CDC ACM's own class and subclass, and the protocols that say the interface speaks AT commands
// (V.250, PCCA-101, GSM 07.07, 3GPP 27.007, TIA CDMA).
constexpr int CommunicationsClass = 0x02, AbstractControlModel = 0x02;
constexpr int FirstAtProtocol = 0x01, LastAtProtocol = 0x06;

} // namespace

bool PortGuard::isForModemManager(const PortIdentity &identity)
{
    if (!identity.record || !identity.record->forModemManager)
        return false;
    if (identity.record->tagged || identity.besideNetworkPort)
        return true;
    if (!identity.usb)
        return false;
    const UsbInterface &usb = *identity.usb;
    return std::find(std::begin(ModemDrivers), std::end(ModemDrivers), usb.driver)
        != std::end(ModemDrivers)
        || (usb.driver == QLatin1String("cdc_acm") && usb.interfaceClass == CommunicationsClass
            && usb.interfaceSubClass == AbstractControlModel
            && usb.interfaceProtocol >= FirstAtProtocol && usb.interfaceProtocol <= LastAtProtocol);
}

PortGuard::ModemManagerClaim PortGuard::modemManagerClaim(const PortIdentity &identity,
                                                          ModemManagerAnswer::State answered)
{
    using State = ModemManagerAnswer::State;
    if (identity.modem)
        return ModemManagerClaim::Manages;
    if (!isForModemManager(identity))
        return ModemManagerClaim::None;
    if (answered == State::NoAnswer)
        return ModemManagerClaim::Unanswered;
    if (answered == State::Listed
        && identity.record->ageSeconds.value_or(ExaminingSeconds) < ExaminingSeconds)
        return ModemManagerClaim::Examining;
    return ModemManagerClaim::None;
}

#if defined(QUORVANE_LINUX_PORT_GUARD)

#include "system/lock_files.h"
#include "system/permission_advice.h"
#include "system/tty_devices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

OpenFailure failure(OpenFailure::Reason reason, const QString &systemText = QString())
{
    OpenFailure result;
    result.reason = reason;
    result.systemText = systemText;
    return result;
}

// Why the device could not be opened, by the system's error.
OpenFailure openError(int error)
{
    const QString text = QString::fromLocal8Bit(std::strerror(error));
    switch (error) {
    case ENOENT:
        return failure(OpenFailure::Reason::NotFound, text);
    case EIO:
    case ENXIO:
    case ENODEV:
        return failure(OpenFailure::Reason::InputOutput, text);
    default:
        return failure(OpenFailure::Reason::Other, text);
    }
}

} // namespace

PortGuard::~PortGuard()
{
    abandon();
}

QString PortGuard::procFolder() const
{
    return QDir(m_root).filePath(QStringLiteral("proc"));
}

// The processes that use the device, matched by the path their descriptors name.
DeviceUsers PortGuard::usersOfDevice(quint64 device, const QString &devicePath) const
{
    return usersOf(procFolder(), device,
                   QFile::encodeName(QFileInfo(devicePath).canonicalFilePath()));
}

OpenFailure PortGuard::claim(const QString &devicePath)
{
    OpenFailure passedOver;
    OpenFailure verdict = judge(devicePath, passedOver);
    verdict.unbelievedLock = passedOver.unbelievedLock;
    verdict.unbelievedLockOwner = passedOver.unbelievedLockOwner;
    verdict.strandedLock = passedOver.strandedLock;
    return verdict;
}

OpenFailure PortGuard::judge(const QString &devicePath, OpenFailure &passedOver)
{
    abandon();
    const QByteArray path = QFile::encodeName(devicePath);
    struct stat info = {};
    if (::stat(path.constData(), &info) != 0)
        return {}; // not there: opening it says so in the usual way
    const bool device = S_ISCHR(info.st_mode);
    const DeviceUsers users = device ? usersOfDevice(info.st_rdev, devicePath) : DeviceUsers();
    if (device && (users.controlling != 0 || isKernelConsole(m_root, info.st_rdev)))
        return failure(OpenFailure::Reason::Console);
    const ModemManagerAnswer &modems = m_modemManager->answer();
    const PortIdentity identity = identifyPort(m_root, devicePath, &modems);
    using Claim = ModemManagerClaim;
    switch (modemManagerClaim(identity, modems.state)) {
    case Claim::Manages: {
        OpenFailure managed = failure(OpenFailure::Reason::ManagedByModemManager);
        managed.modemDevice = identity.modem->device;
        managed.manufacturer = identity.modem->manufacturer;
        return managed;
    }
    case Claim::Examining:
        return failure(OpenFailure::Reason::ExaminedByModemManager);
    case Claim::Unanswered: // it may be talking to the port right now
        return inUse(0);
    case Claim::None:
        break;
    }
    const LockSearch locks = lockOfDevice(info.st_rdev);
    passedOver.unbelievedLock = locks.unbelieved;
    passedOver.unbelievedLockOwner = locks.unbelievedOwner;
    passedOver.strandedLock = locks.stranded;
    if (const std::optional<DeviceLock> &lock = locks.held) {
        if (lock->staleFile.isEmpty())
            return inUse(lock->pid);
        OpenFailure stale = failure(OpenFailure::Reason::StaleLock);
        stale.lockFile = lock->staleFile;
        return stale;
    }
    // A flock or a record lock is seen without opening the device: opening would raise the
    // holder's modem lines.
    if (const qint64 pid = lockingProcess(procFolder(), info.st_dev, info.st_ino); pid != 0)
        return inUse(pid);
    // A program that follows no convention at all (screen, cat, gpsd, pyserial's default) still
    // has the port open.
    if (users.opening != 0 && isTerminal(m_root, info.st_rdev))
        return inUse(users.opening);

    // From here on whoever holds the port is not to be seen: the look above found nobody.
    constexpr qint64 Unseen = 0;
    const int descriptor = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            return permissionRefusal(devicePath);
        return error == EBUSY ? inUse(Unseen) : openError(error);
    }
    m_descriptor = descriptor;
    m_devicePath = devicePath;
    // pppd, hciattach, slcand and multiplexers hold a port with a line discipline of their own,
    // whoever runs them. Asked first: some disciplines answer no other terminal request.
    int discipline = N_TTY;
    if (::ioctl(descriptor, TIOCGETD, &discipline) == 0 && discipline != N_TTY) {
        abandon();
        return inUse(Unseen);
    }
    if (!::isatty(descriptor)) {
        abandon();
        return failure(OpenFailure::Reason::NotASerialPort);
    }
    // Exclusive mode keeps out everybody but root; root must keep out by itself. Reading the
    // flag leaves it as it is (opening through Qt and closing again would clear it).
    int exclusive = 0;
    if (::ioctl(descriptor, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        abandon();
        return inUse(Unseen);
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        abandon();
        return inUse(lockingProcess(procFolder(), info.st_dev, info.st_ino));
    }
    return {};
}

OpenFailure PortGuard::confirm(qintptr handle)
{
    // Our flock goes with our descriptor; the device stays open through the handle, so letting
    // ours go drops no modem line.
    const QString devicePath = m_devicePath;
    abandon();
    if (handle < 0 || ::flock(int(handle), LOCK_EX | LOCK_NB) == 0)
        return {};
    struct stat info = {};
    ::fstat(int(handle), &info);
    if (const qint64 pid = lockingProcess(procFolder(), info.st_dev, info.st_ino); pid != 0)
        return inUse(pid);
    return inUse(usersOfDevice(info.st_rdev, devicePath).opening);
}

void PortGuard::abandon()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
    m_devicePath.clear();
}

OpenFailure PortGuard::inUse(qint64 pid) const
{
    OpenFailure result = failure(OpenFailure::Reason::InUse);
    result.holder = processName(procFolder(), pid);
    if (!result.holder.isEmpty())
        result.holderPid = pid;
    return result;
}

#else // other platforms refuse a port in use themselves

PortGuard::~PortGuard() = default;

OpenFailure PortGuard::claim(const QString &)
{
    return {};
}

OpenFailure PortGuard::confirm(qintptr)
{
    return {};
}

void PortGuard::abandon() { }

#endif

#include "port_guard.h"

#if defined(QUORVANE_LINUX_PORT_GUARD)

#include "process_table.h"
#include "system_files.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcGuard, "quorvane.guard", QtWarningMsg)

namespace {

// The folders serial programs keep their lock files in (Qt SerialPort looks in all of these).
const char *const LockFolders[] = { "/var/lock",         "/etc/locks", "/var/spool/locks",
                                    "/var/spool/uucp",   "/tmp",       "/var/tmp",
                                    "/var/lock/lockdev", "/run/lock" };

const QString ModemManagerService = QStringLiteral("org.freedesktop.ModemManager1");
// ModemManager answers within milliseconds; one that does not in a second is taken to be busy
// with its modems.
constexpr int BusTimeoutMs = 1000;

// "4:64" as written in sysfs and /proc/consoles.
std::optional<quint64> deviceNumber(QByteArrayView text)
{
    const QList<QByteArray> parts = text.trimmed().toByteArray().split(':');
    bool majorOk = false, minorOk = false;
    if (parts.size() != 2)
        return std::nullopt;
    const uint major = parts.at(0).toUInt(&majorOk);
    const uint minor = parts.at(1).toUInt(&minorOk);
    if (!majorOk || !minorOk)
        return std::nullopt;
    return makedev(major, minor);
}

// Whether a device number belongs to a terminal driver, by the kernel's list of them: each line
// ends with the major number, the minor or a range of minors, and the driver's type.
bool isTerminalDevice(const QByteArray &drivers, quint64 device)
{
    for (const QByteArray &line : drivers.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 4)
            continue;
        const QList<QByteArray> minors = fields.at(fields.size() - 2).split('-');
        bool ok = false;
        const uint firstMinor = minors.value(0).toUInt(&ok);
        const uint lastMinor = minors.size() == 2 ? minors.at(1).toUInt() : firstMinor;
        if (ok && fields.at(fields.size() - 3).toUInt() == major(device)
            && minor(device) >= firstMinor && minor(device) <= lastMinor)
            return true;
    }
    return false;
}

// The process a lock file names, in any of the formats programs write: an ASCII number of any
// width, alone or followed by the program and the user or by Qt's lines; or four binary bytes.
// 0 when the file names none that can be read.
qint64 lockFilePid(const QByteArray &content)
{
    const bool asciiNumber = std::all_of(content.begin(), content.end(), [](char c) {
        return (c >= '0' && c <= '9') || QChar::isSpace(uchar(c));
    });
    if (content.size() == qsizetype(sizeof(qint32)) && !asciiNumber) {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return qMax(0, binary);
    }
    const QByteArray text = content.trimmed();
    qsizetype digits = 0;
    while (digits < text.size() && digits < 10 && text.at(digits) >= '0' && text.at(digits) <= '9')
        ++digits;
    return text.left(digits).toLongLong();
}

// Whether a process is there; a number no process can have is taken to be one we cannot see.
bool isAlive(qint64 pid)
{
    if (pid > std::numeric_limits<pid_t>::max())
        return true;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Whether a lock file of the folder's `name` is one for the device: by the path below /dev it
// names ('_' standing for '/' in some programs' names), or by device numbers (lockdev's
// "LCK.004.064").
bool isLockOf(const QString &name, quint64 device)
{
    if (name.startsWith(QLatin1String("LCK.."))) {
        const QString path = name.mid(5);
        for (const QString &candidate :
             { path, QString(path).replace(QLatin1Char('_'), QLatin1Char('/')) }) {
            // Any user may make files in the lock folders, and in /dev/shm and /dev/mqueue: a
            // name that leads out of /dev, or into those, names no port (a link there could
            // lead the look at the device to a file system that does not answer).
            const QStringList parts = candidate.split(QLatin1Char('/'));
            if (parts.contains(QLatin1String("..")) || parts.first() == QLatin1String("shm")
                || parts.first() == QLatin1String("mqueue"))
                continue;
            struct stat info = {};
            if (::stat(QFile::encodeName(QStringLiteral("/dev/") + candidate).constData(), &info)
                    == 0
                && S_ISCHR(info.st_mode) && info.st_rdev == device)
                return true;
        }
        return false;
    }
    const QStringList numbers = name.split(QLatin1Char('.'));
    return numbers.size() == 3 && numbers.at(0) == QLatin1String("LCK")
        && makedev(numbers.at(1).toUInt(), numbers.at(2).toUInt()) == device;
}

// What a lock file holds, read without following a link, blocking or taking a terminal; nothing
// when it is not a regular file. Any user may put a FIFO, a link or a folder under a lock's name
// in the lock folders: such a thing is never opened for reading (a device is not opened at all).
std::optional<QByteArray> readLockFile(const QString &path, struct stat *info)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat seen = {};
    if (::lstat(name.constData(), &seen) != 0 || !S_ISREG(seen.st_mode))
        return std::nullopt;
    const int descriptor =
        ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return std::nullopt;
    std::optional<QByteArray> content;
    if (::fstat(descriptor, info) == 0 && S_ISREG(info->st_mode) && info->st_ino == seen.st_ino) {
        char buffer[4096];
        const ssize_t size = ::read(descriptor, buffer, sizeof buffer);
        content = size > 0 ? QByteArray(buffer, size) : QByteArray();
    }
    ::close(descriptor);
    return content;
}

// The port as ModemManager names it, relative to /dev (ttyUSB2).
QString kernelName(const QString &devicePath)
{
    QString canonical = QFileInfo(devicePath).canonicalFilePath();
    if (canonical.isEmpty())
        canonical = devicePath;
    return canonical.startsWith(QLatin1String("/dev/")) ? canonical.mid(5) : canonical;
}

// Reads an "a(su)" value: ModemManager's list of a modem's ports, each a name and a type.
QStringList portNamesOf(const QVariant &ports)
{
    QStringList names;
    if (!ports.canConvert<QDBusArgument>())
        return names;
    const QDBusArgument argument = ports.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        QString name;
        uint type = 0;
        argument.beginStructure();
        argument >> name >> type;
        argument.endStructure();
        names << name;
    }
    argument.endArray();
    return names;
}

OpenFailure failure(OpenFailure::Reason reason, const QString &systemText = QString())
{
    OpenFailure result;
    result.reason = reason;
    result.systemText = systemText;
    return result;
}

} // namespace

PortGuard::~PortGuard()
{
    abandon();
}

QString PortGuard::rooted(const QString &path) const
{
    return QDir(m_root).filePath(path);
}

OpenFailure PortGuard::claim(const QString &devicePath)
{
    abandon();
    const QByteArray path = QFile::encodeName(devicePath);
    struct stat info = {};
    if (::stat(path.constData(), &info) != 0)
        return {}; // not there: opening it says so in the usual way
    const DeviceUsers users = S_ISCHR(info.st_mode)
        ? usersOf(rooted(QStringLiteral("proc")), info.st_rdev,
                  QFile::encodeName(QFileInfo(devicePath).canonicalFilePath()))
        : DeviceUsers();
    if (S_ISCHR(info.st_mode) && (users.controlling != 0 || isKernelConsole(info.st_rdev)))
        return failure(OpenFailure::Reason::Console);
    if (const OpenFailure modem = askModemManager(kernelName(devicePath));
        modem.reason != OpenFailure::Reason::None)
        return modem;
    if (const OpenFailure locked = checkLockFiles(info); locked.reason != OpenFailure::Reason::None)
        return locked;
    // A flock or a record lock is seen without opening the device: opening would raise the
    // holder's modem lines.
    if (const qint64 pid = lockingPid(info); pid != 0)
        return inUse(pid);
    // A program that follows no convention at all (screen, cat, gpsd, pyserial's default) still
    // has the port open.
    if (users.opening != 0 && isTerminal(info.st_rdev))
        return inUse(users.opening);

    // From here on whoever holds the port is not to be seen: the look above found nobody.
    constexpr qint64 Unseen = 0;
    const int descriptor = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        const QString text = QString::fromLocal8Bit(std::strerror(error));
        switch (error) {
        case ENOENT:
            return failure(OpenFailure::Reason::NotFound, text);
        case EACCES:
        case EPERM:
            return permissionRefusal(devicePath);
        case EBUSY:
            return inUse(Unseen);
        case EIO:
        case ENXIO:
        case ENODEV:
            return failure(OpenFailure::Reason::InputOutput, text);
        default:
            return failure(OpenFailure::Reason::Other, text);
        }
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
        return inUse(lockingPid(info));
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
    const qint64 pid = lockingPid(info);
    return inUse(pid != 0 ? pid : openingPid(devicePath));
}

void PortGuard::abandon()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
    m_devicePath.clear();
}

// Asks ModemManager, when it runs, whether one of its modems owns the port. A missing bus or a
// ModemManager that is not running answers at once, and ModemManager is not started for the
// question; one that does not answer may be talking to the port, which is then left alone.
OpenFailure PortGuard::askModemManager(const QString &portName) const
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return {};
    QDBusMessage call = QDBusMessage::createMethodCall(
        ModemManagerService, QStringLiteral("/org/freedesktop/ModemManager1"),
        QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"));
    call.setAutoStartService(false);
    const QDBusMessage objects = bus.call(call, QDBus::Block, BusTimeoutMs);
    if (objects.type() != QDBusMessage::ReplyMessage || objects.arguments().isEmpty()) {
        const QString error = objects.errorName();
        if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
            || error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
            return {};
        qCDebug(lcGuard) << "ModemManager did not list its modems:" << error;
        QDBusMessage owner = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
        owner << ModemManagerService;
        return inUse(bus.call(owner, QDBus::Block, BusTimeoutMs).arguments().value(0).toLongLong());
    }
    // a{oa{sa{sv}}}: every object, its interfaces and their properties.
    const QDBusArgument map = objects.arguments().constFirst().value<QDBusArgument>();
    OpenFailure managed;
    map.beginMap();
    while (!map.atEnd()) {
        QDBusObjectPath path;
        QMap<QString, QVariantMap> interfaces;
        map.beginMapEntry();
        map >> path >> interfaces;
        map.endMapEntry();
        const QVariantMap modem =
            interfaces.value(QStringLiteral("org.freedesktop.ModemManager1.Modem"));
        if (managed.reason == OpenFailure::Reason::None
            && portNamesOf(modem.value(QStringLiteral("Ports"))).contains(portName)) {
            managed.reason = OpenFailure::Reason::ManagedByModemManager;
            managed.modemDevice = modem.value(QStringLiteral("Device")).toString();
            managed.manufacturer = modem.value(QStringLiteral("Manufacturer")).toString();
        }
    }
    map.endMap();
    return managed;
}

// A live lock file for the device, in any folder and under any name programs give it. A lock
// whose process is gone is stale and removed, unless it changed while it was being judged.
OpenFailure PortGuard::checkLockFiles(const struct stat &node) const
{
    for (const char *folder : LockFolders) {
        for (const QString &name : entriesOf(QString::fromLatin1(folder))) {
            if (!name.startsWith(QLatin1String("LCK.")) || !isLockOf(name, node.st_rdev))
                continue;
            const QString lockPath = QString::fromLatin1(folder) + QLatin1Char('/') + name;
            struct stat seen = {};
            const std::optional<QByteArray> content = readLockFile(lockPath, &seen);
            // A lock we cannot read, or that is no file, is taken to be live.
            const qint64 pid = content ? lockFilePid(*content) : 0;
            if (pid <= 0 || isAlive(pid))
                return inUse(pid);
            // Its owner is gone. A program may have put a lock of its own in its place since.
            const QByteArray path = QFile::encodeName(lockPath);
            struct stat now = {};
            if (readLockFile(lockPath, &now) == content && now.st_ino == seen.st_ino
                && now.st_dev == seen.st_dev) {
                qCDebug(lcGuard) << "stale lock of" << pid << "removed:" << lockPath;
                ::unlink(path.constData());
            }
        }
    }
    return {};
}

OpenFailure PortGuard::inUse(qint64 pid) const
{
    OpenFailure result = failure(OpenFailure::Reason::InUse);
    result.holder = processName(rooted(QStringLiteral("proc")), pid);
    if (!result.holder.isEmpty())
        result.holderPid = pid;
    return result;
}

// The process holding a flock or a record lock on the device node, as /proc/locks tells (any
// user may read it); -1 when the lock's owner is not told (open file description locks), 0 when
// there is none.
qint64 PortGuard::lockingPid(const struct stat &node) const
{
    constexpr qsizetype LocksLimit = 1 << 20;
    // "1: FLOCK  ADVISORY  WRITE 6188 00:05:3 0 EOF": the node as hex major:minor:inode. Waiters
    // ("1: -> FLOCK ...") hold nothing.
    for (const QByteArray &line :
         readSmallFile(rooted(QStringLiteral("proc/locks")), LocksLimit).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) == "->")
            continue;
        const QList<QByteArray> id = fields.at(5).split(':');
        bool ok = false;
        if (id.size() == 3 && id.at(0).toUInt(nullptr, 16) == major(node.st_dev)
            && id.at(1).toUInt(nullptr, 16) == minor(node.st_dev)
            && id.at(2).toULongLong(&ok) == node.st_ino && ok) {
            const qint64 pid = fields.at(4).toLongLong();
            return pid > 0 ? pid : -1;
        }
    }
    return 0;
}

// The first other process that has the device open, where /proc lets us see; 0 when none is
// seen.
qint64 PortGuard::openingPid(const QString &devicePath) const
{
    struct stat info = {};
    if (::stat(QFile::encodeName(devicePath).constData(), &info) != 0)
        return 0;
    return usersOf(rooted(QStringLiteral("proc")), info.st_rdev,
                   QFile::encodeName(QFileInfo(devicePath).canonicalFilePath()))
        .opening;
}

// Whether the device is a terminal, without opening it: /dev/null is open in every shell, and
// no port in use. Where the kernel's list of terminal drivers cannot be read, any device may be
// one.
bool PortGuard::isTerminal(quint64 device) const
{
    constexpr qsizetype DriversLimit = 1 << 16;
    const QByteArray drivers =
        readSmallFile(rooted(QStringLiteral("proc/tty/drivers")), DriversLimit);
    return drivers.isEmpty() || isTerminalDevice(drivers, device);
}

// An active kernel console, by device number.
bool PortGuard::isKernelConsole(quint64 device) const
{
    // /proc/consoles ends each line with the console's device number.
    for (const QByteArray &line :
         readSmallFile(rooted(QStringLiteral("proc/consoles"))).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 1 && deviceNumber(fields.last()) == device)
            return true;
    }
    // sysfs names the active consoles; tty0 stands for the virtual terminal in front.
    QByteArrayList names = readSmallFile(rooted(QStringLiteral("sys/class/tty/console/active")))
                               .simplified()
                               .split(' ');
    if (names.contains("tty0"))
        names += readSmallFile(rooted(QStringLiteral("sys/class/tty/tty0/active"))).simplified();
    for (const QByteArray &name : std::as_const(names)) {
        if (!name.isEmpty()
            && deviceNumber(readSmallFile(
                   rooted(QStringLiteral("sys/class/tty/%1/dev").arg(QString::fromLatin1(name)))))
                == device)
            return true;
    }
    return false;
}

// Permission refused: the advice fits the case. The group that owns the device grants it when
// it may read and write; a user listed in that group in the group file only lacks a new login.
OpenFailure PortGuard::permissionRefusal(const QString &devicePath) const
{
    OpenFailure result = failure(OpenFailure::Reason::PermissionDenied);
    struct stat info = {};
    if (::stat(QFile::encodeName(devicePath).constData(), &info) != 0 || info.st_gid == 0
        || (info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return result;
    // Already granted in this session and still refused: no group can help.
    std::vector<gid_t> groups(size_t(qMax(0, ::getgroups(0, nullptr))));
    groups.resize(size_t(qMax(0, ::getgroups(int(groups.size()), groups.data()))));
    if (::getegid() == info.st_gid
        || std::find(groups.begin(), groups.end(), info.st_gid) != groups.end())
        return result;
    const passwd *user = ::getpwuid(::getuid());
    const QByteArray userName = user ? QByteArray(user->pw_name) : QByteArray();
    constexpr qsizetype GroupFileLimit = 1 << 20;
    // name:password:gid:member,member
    for (const QByteArray &line :
         readSmallFile(rooted(QStringLiteral("etc/group")), GroupFileLimit).split('\n')) {
        const QList<QByteArray> fields = line.split(':');
        if (fields.size() < 4 || fields.at(2).toUInt() != info.st_gid)
            continue;
        result.group = QString::fromLocal8Bit(fields.at(0));
        const bool listed = (user && user->pw_gid == info.st_gid)
            || (!userName.isEmpty() && fields.at(3).trimmed().split(',').contains(userName));
        result.reason =
            listed ? OpenFailure::Reason::GroupNotInSession : OpenFailure::Reason::NotInGroup;
        break;
    }
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

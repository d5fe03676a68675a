#include "port_guard.h"

#if defined(Q_OS_LINUX)

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
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
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

// Programs that wait for a login on a terminal line.
const QStringList LoginPrograms { QStringLiteral("agetty"),   QStringLiteral("getty"),
                                  QStringLiteral("mingetty"), QStringLiteral("mgetty"),
                                  QStringLiteral("login"),    QStringLiteral("sulogin"),
                                  QStringLiteral("fbgetty") };

const QString ModemManagerService = QStringLiteral("org.freedesktop.ModemManager1");
const QString ModemInterface = QStringLiteral("org.freedesktop.ModemManager1.Modem");
// ModemManager answers within milliseconds; a bus that does not is not waited for.
constexpr int BusTimeoutMs = 300;

// Reads a system file, up to `limit` bytes. These files are read by the hundred for one port,
// so without the cost of a QFile.
QByteArray readSmallFile(const QString &path, qsizetype limit = 4096)
{
    QByteArray content;
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return content;
    char buffer[4096];
    ssize_t size = 0;
    while (content.size() < limit && (size = ::read(descriptor, buffer, sizeof buffer)) > 0)
        content.append(buffer, qMin<qsizetype>(size, limit - content.size()));
    ::close(descriptor);
    return content;
}

// The numeric entries of a folder (processes in proc/, descriptors in proc/PID/fd), in order.
QList<qint64> numberedEntries(const QString &folder)
{
    QList<qint64> numbers;
    DIR *directory = ::opendir(QFile::encodeName(folder).constData());
    if (!directory)
        return numbers;
    while (const dirent *entry = ::readdir(directory)) {
        char *end = nullptr;
        const long long number = std::strtoll(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0')
            numbers << number;
    }
    ::closedir(directory);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// "4:64" as written in sysfs and /proc/consoles.
std::optional<quint64> deviceNumber(QByteArrayView text)
{
    const QList<QByteArray> parts = text.trimmed().toByteArray().split(':');
    bool majorOk = false, minorOk = false;
    if (parts.size() != 2)
        return std::nullopt;
    const unsigned int major = parts.at(0).toUInt(&majorOk);
    const unsigned int minor = parts.at(1).toUInt(&minorOk);
    if (!majorOk || !minorOk)
        return std::nullopt;
    return makedev(major, minor);
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

// The port as ModemManager names it, relative to /dev (ttyUSB2).
QString kernelName(const QString &devicePath)
{
    QString canonical = QFileInfo(devicePath).canonicalFilePath();
    if (canonical.isEmpty())
        canonical = devicePath;
    return canonical.startsWith(QLatin1String("/dev/")) ? canonical.mid(5) : canonical;
}

struct ManagedModem
{
    QString device;
    QString manufacturer;
};

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

// Asks ModemManager, when it runs, whether one of its modems owns the port. A missing bus or a
// ModemManager that is not running answers at once; neither is started for the question.
std::optional<ManagedModem> modemOwning(const QString &portName)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return std::nullopt;
    QDBusMessage hasOwner = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    hasOwner << ModemManagerService;
    const QDBusMessage owned = bus.call(hasOwner, QDBus::Block, BusTimeoutMs);
    if (owned.type() != QDBusMessage::ReplyMessage || !owned.arguments().value(0).toBool())
        return std::nullopt;

    const QDBusMessage objects =
        bus.call(QDBusMessage::createMethodCall(
                     ModemManagerService, QStringLiteral("/org/freedesktop/ModemManager1"),
                     QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                     QStringLiteral("GetManagedObjects")),
                 QDBus::Block, BusTimeoutMs);
    if (objects.type() != QDBusMessage::ReplyMessage || objects.arguments().isEmpty()) {
        qCDebug(lcGuard) << "ModemManager did not list its modems:" << objects.errorMessage();
        return std::nullopt;
    }
    // a{oa{sa{sv}}}: every object, its interfaces and their properties.
    const QDBusArgument map = objects.arguments().constFirst().value<QDBusArgument>();
    std::optional<ManagedModem> found;
    map.beginMap();
    while (!map.atEnd()) {
        QDBusObjectPath path;
        QMap<QString, QVariantMap> interfaces;
        map.beginMapEntry();
        map >> path >> interfaces;
        map.endMapEntry();
        const QVariantMap modem = interfaces.value(ModemInterface);
        if (!found && portNamesOf(modem.value(QStringLiteral("Ports"))).contains(portName)) {
            found = ManagedModem { modem.value(QStringLiteral("Device")).toString(),
                                   modem.value(QStringLiteral("Manufacturer")).toString() };
        }
    }
    map.endMap();
    return found;
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

bool PortGuard::isPresent(const QString &devicePath) const
{
    const QString name = QFileInfo(devicePath).fileName();
    if (!name.startsWith(QLatin1String("ttyS")))
        return true;
    // The serial driver makes an entry for every UART it could have; those it found none for
    // report an unknown type. Read it from sysfs when allowed, else ask the device itself.
    const QByteArray type =
        readSmallFile(rooted(QStringLiteral("sys/class/tty/%1/type").arg(name)));
    if (!type.isEmpty())
        return type.trimmed() != "0";
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(devicePath).constData(), &info) == 0 && isConsole(info.st_rdev))
        return true; // a console is never opened, not even to ask this
    const int descriptor = ::open(QFile::encodeName(devicePath).constData(),
                                  O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return true;
    serial_struct serial {};
    const bool ghost =
        ::ioctl(descriptor, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN;
    ::close(descriptor);
    return !ghost;
}

OpenFailure PortGuard::claim(const QString &devicePath)
{
    abandon();
    const QByteArray path = QFile::encodeName(devicePath);
    struct stat info
    {
    };
    if (::stat(path.constData(), &info) != 0)
        return {}; // not there: opening it says so in the usual way
    if (S_ISCHR(info.st_mode) && isConsole(info.st_rdev))
        return failure(OpenFailure::Reason::Console);

    const QString name = kernelName(devicePath);
    if (const auto modem = modemOwning(name)) {
        OpenFailure managed = failure(OpenFailure::Reason::ManagedByModemManager);
        managed.modemDevice = modem->device;
        managed.manufacturer = modem->manufacturer;
        return managed;
    }

    // Lock files, under the names programs give them: the path below /dev with '/' as '_'
    // (Qt, minicom) and the bare file name.
    QStringList lockNames { QStringLiteral("LCK..")
                            + QString(name).replace(QLatin1Char('/'), QLatin1Char('_')) };
    const QString baseName = QStringLiteral("LCK..") + QFileInfo(devicePath).fileName();
    if (!lockNames.contains(baseName))
        lockNames << baseName;
    for (const char *folder : LockFolders) {
        for (const QString &lockName : lockNames) {
            const QString lockPath = QString::fromLatin1(folder) + QLatin1Char('/') + lockName;
            if (!QFileInfo::exists(lockPath))
                continue;
            const qint64 pid = lockFilePid(readSmallFile(lockPath));
            if (pid <= 0 || isAlive(pid))
                return inUse(pid); // a lock we cannot read is taken to be live
            // Its owner is gone without removing it: the port is free, and the lock stale.
            qCDebug(lcGuard) << "stale lock of" << pid << "removed:" << lockPath;
            QFile::remove(lockPath);
        }
    }

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
            return inUse(devicePid(info.st_rdev));
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
    if (!::isatty(descriptor)) {
        abandon();
        return failure(OpenFailure::Reason::NotASerialPort);
    }
    // Exclusive mode keeps out everybody but root; root must keep out by itself. Reading the
    // flag leaves it as it is (opening through Qt and closing again would clear it).
    int exclusive = 0;
    if (::ioctl(descriptor, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        abandon();
        return inUse(devicePid(info.st_rdev));
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        abandon();
        return inUse(flockPid(info));
    }
    ::flock(descriptor, LOCK_UN);
    return {};
}

OpenFailure PortGuard::confirm(qintptr handle)
{
    // The device stays open through the handle: letting ours go now drops no modem line.
    const QString devicePath = m_devicePath;
    abandon();
    if (handle < 0 || ::flock(int(handle), LOCK_EX | LOCK_NB) == 0)
        return {};
    struct stat info
    {
    };
    ::stat(QFile::encodeName(devicePath).constData(), &info);
    return inUse(flockPid(info));
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
    if (pid > 0) {
        result.holder =
            QString::fromLocal8Bit(readSmallFile(rooted(QStringLiteral("proc/%1/comm").arg(pid))))
                .trimmed();
        if (!result.holder.isEmpty())
            result.holderPid = pid;
    }
    return result;
}

// The first other process that has the device open, where /proc lets us see (root sees all, a
// user only their own); 0 when none is seen.
qint64 PortGuard::devicePid(quint64 device) const
{
    const QString proc = rooted(QStringLiteral("proc/"));
    for (const qint64 pid : numberedEntries(proc)) {
        if (pid == ::getpid())
            continue;
        const QString fds = proc + QString::number(pid) + QStringLiteral("/fd/");
        for (const qint64 fd : numberedEntries(fds)) {
            struct stat info
            {
            };
            if (::stat(QFile::encodeName(fds + QString::number(fd)).constData(), &info) == 0
                && S_ISCHR(info.st_mode) && info.st_rdev == device)
                return pid;
        }
    }
    return 0;
}

// The process holding a flock on the device node, as /proc/locks tells (any user may read it),
// else any other process that has the device open.
qint64 PortGuard::flockPid(const struct stat &node) const
{
    // "1: FLOCK  ADVISORY  WRITE 6188 00:05:3 0 EOF": the node as hex major:minor:inode.
    constexpr qsizetype LocksLimit = 1 << 20;
    for (const QByteArray &line :
         readSmallFile(rooted(QStringLiteral("proc/locks")), LocksLimit).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) != "FLOCK")
            continue;
        const QList<QByteArray> id = fields.at(5).split(':');
        bool ok = false;
        if (id.size() == 3 && id.at(0).toUInt(nullptr, 16) == major(node.st_dev)
            && id.at(1).toUInt(nullptr, 16) == minor(node.st_dev)
            && id.at(2).toULongLong(&ok) == node.st_ino && ok)
            return fields.at(4).toLongLong();
    }
    return devicePid(node.st_rdev);
}

// An active kernel console, by device number, or a line a login program waits on.
bool PortGuard::isConsole(quint64 device) const
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
    // A login program has the line as its controlling terminal (field 7 of its stat line).
    const QString proc = rooted(QStringLiteral("proc/"));
    for (const qint64 pid : numberedEntries(proc)) {
        const QByteArray stat =
            readSmallFile(proc + QString::number(pid) + QStringLiteral("/stat"));
        // After the name: state, ppid, pgrp, session, tty_nr.
        const qsizetype nameEnd = stat.lastIndexOf(')');
        qsizetype field = nameEnd + 1;
        for (int skip = 0; skip < 5 && field > 0; ++skip)
            field = stat.indexOf(' ', field) + 1;
        if (nameEnd < 0 || field <= 0
            || std::strtoull(stat.constData() + field, nullptr, 10) != device)
            continue;
        const qsizetype nameStart = stat.indexOf('(') + 1;
        const QString command = QString::fromLocal8Bit(stat.mid(nameStart, nameEnd - nameStart));
        if (LoginPrograms.contains(command))
            return true;
    }
    return false;
}

// Permission refused: the advice fits the case. The group that owns the device grants it when
// it may read and write; a user listed in that group in the group file only lacks a new login.
OpenFailure PortGuard::permissionRefusal(const QString &devicePath) const
{
    OpenFailure result = failure(OpenFailure::Reason::PermissionDenied);
    struct stat info
    {
    };
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
    QString groupName;
    bool listed = user && user->pw_gid == info.st_gid;
    for (const QByteArray &line : [this] {
             QFile file(rooted(QStringLiteral("etc/group")));
             return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QByteArrayList();
         }()) {
        // name:password:gid:member,member
        const QList<QByteArray> fields = line.split(':');
        if (fields.size() < 4 || fields.at(2).toUInt() != info.st_gid)
            continue;
        groupName = QString::fromLocal8Bit(fields.at(0));
        listed =
            listed || (!userName.isEmpty() && fields.at(3).trimmed().split(',').contains(userName));
        break;
    }
    if (groupName.isEmpty())
        return result;
    result.group = groupName;
    result.reason =
        listed ? OpenFailure::Reason::GroupNotInSession : OpenFailure::Reason::NotInGroup;
    return result;
}

#else // other platforms refuse a port in use themselves

PortGuard::~PortGuard() = default;

bool PortGuard::isPresent(const QString &) const
{
    return true;
}

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

#include "lock_files.h"

#if defined(QUORVANE_LINUX_PORT_GUARD)

#include "system_files.h"
#include "system_formats.h"

#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcLocks, "quorvane.locks", QtWarningMsg)

namespace {

// The folders serial programs keep their lock files in (Qt SerialPort looks in all of these).
const char *const LockFolders[] = { "/var/lock",         "/etc/locks", "/var/spool/locks",
                                    "/var/spool/uucp",   "/tmp",       "/var/tmp",
                                    "/var/lock/lockdev", "/run/lock" };

// Whether a process is there; a number no process can have is taken to be one we cannot see.
bool isAlive(qint64 pid)
{
    if (pid > std::numeric_limits<pid_t>::max())
        return true;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

bool isLockOf(const QString &name, quint64 device)
{
    const LockFileTarget target = lockFileTarget(name);
    if (target.device)
        return *target.device == device;
    for (const QString &path : target.paths) {
        struct stat info = {};
        if (::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode)
            && info.st_rdev == device)
            return true;
    }
    return false;
}

} // namespace

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

std::optional<qint64> liveLockFile(quint64 device)
{
    for (const char *folder : LockFolders) {
        for (const QString &name : entriesOf(QString::fromLatin1(folder))) {
            if (!name.startsWith(QLatin1String("LCK.")) || !isLockOf(name, device))
                continue;
            const QString lockPath = QString::fromLatin1(folder) + QLatin1Char('/') + name;
            struct stat seen = {};
            const std::optional<QByteArray> content = readLockFile(lockPath, &seen);
            // A lock we cannot read, or that is no file, is taken to be live.
            const qint64 pid = content ? lockFilePid(*content) : 0;
            if (pid <= 0 || isAlive(pid))
                return pid;
            // Its owner is gone. A program may have put a lock of its own in its place since.
            struct stat now = {};
            if (readLockFile(lockPath, &now) == content && now.st_ino == seen.st_ino
                && now.st_dev == seen.st_dev) {
                qCDebug(lcLocks) << "stale lock of" << pid << "removed:" << lockPath;
                ::unlink(QFile::encodeName(lockPath).constData());
            }
        }
    }
    return std::nullopt;
}

#else

std::optional<QByteArray> readLockFile(const QString &, struct stat *)
{
    return std::nullopt;
}

std::optional<qint64> liveLockFile(quint64)
{
    return std::nullopt;
}

#endif

#include "lock_files.h"

#include "system_files.h"
#include "system_formats.h"

#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <csignal>
#include <cstdio>
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

enum class Removal { Removed, Gone, Changed, Refused };

// Removes a stale lock if it is still the file that was judged, as it was. Checking and then
// removing by name would remove a lock another program put there in between, for ever; so the
// file is first moved aside under a name of ours, looked at there, and removed only if it is the
// one judged. Another program's lock goes back under its name at once (unless yet another took the
// name meanwhile: then it stays aside, named in the log, and nothing is removed).
Removal removeStaleLock(const QString &lockPath, const QByteArray &content,
                        const struct stat &judged)
{
    const QByteArray name = QFile::encodeName(lockPath);
    const QByteArray aside = name + ".quorvane-" + QByteArray::number(::getpid());
    if (::rename(name.constData(), aside.constData()) != 0)
        return errno == ENOENT ? Removal::Gone : Removal::Refused;
    struct stat moved = {};
    if (readLockFile(QFile::decodeName(aside), &moved) == content && moved.st_dev == judged.st_dev
        && moved.st_ino == judged.st_ino) {
        ::unlink(aside.constData());
        return Removal::Removed;
    }
    if (::renameat2(AT_FDCWD, aside.constData(), AT_FDCWD, name.constData(), RENAME_NOREPLACE) != 0)
        qCWarning(lcLocks) << "a lock put in place of a stale one stays at" << aside;
    return Removal::Changed;
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

std::optional<DeviceLock> lockOfDevice(quint64 device)
{
    for (const char *folder : LockFolders) {
        for (const QString &name : entriesOf(QString::fromLatin1(folder))) {
            if (!name.startsWith(QLatin1String("LCK.")) || !isLockOf(name, device))
                continue;
            const QString lockPath = QString::fromLatin1(folder) + QLatin1Char('/') + name;
            struct stat judged = {};
            const std::optional<QByteArray> content = readLockFile(lockPath, &judged);
            // A lock we cannot read, or that is no file, is taken to be live.
            const qint64 pid = content ? lockFilePid(*content) : 0;
            if (pid <= 0 || isAlive(pid))
                return DeviceLock { pid, QString() };
            switch (removeStaleLock(lockPath, *content, judged)) {
            case Removal::Removed:
                qCDebug(lcLocks) << "stale lock of" << pid << "removed:" << lockPath;
                break;
            case Removal::Gone: // its owner's successor removed it first
                break;
            case Removal::Refused:
                return DeviceLock { 0, lockPath };
            case Removal::Changed: {
                // A program put a lock of its own in its place meanwhile: it is judged afresh.
                struct stat now = {};
                const std::optional<QByteArray> fresh = readLockFile(lockPath, &now);
                const qint64 owner = fresh ? lockFilePid(*fresh) : 0;
                if (!fresh || owner <= 0 || isAlive(owner))
                    return DeviceLock { owner, QString() };
                break;
            }
            }
        }
    }
    return std::nullopt;
}

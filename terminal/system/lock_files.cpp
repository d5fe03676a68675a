#include "lock_files.h"

#include "system_files.h"
#include "system_formats.h"

#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <limits>
#include <pwd.h>
#include <sys/random.h>
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

// A lock that names no process, written this recently, is one its program is still writing.
constexpr time_t WritingSeconds = 10;

// The user ids of a process (real, effective, saved, file system); none when it cannot be seen.
QList<uint> userIdsOf(qint64 pid)
{
    return pid > 0 ? processUserIds(readSmallFile(QStringLiteral("/proc/%1/status").arg(pid)))
                   : QList<uint>();
}

// The user of the name a group has (uucp's folder belongs to group uucp, and user uucp writes in
// it); none when there is no such user.
std::optional<uid_t> userOfGroup(gid_t group)
{
    const struct group *entry = ::getgrgid(group);
    const struct passwd *user = entry ? ::getpwnam(entry->gr_name) : nullptr;
    return user ? std::optional<uid_t>(user->pw_uid) : std::nullopt;
}

QString userName(uid_t user)
{
    const struct passwd *entry = ::getpwuid(user);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(user);
}

// Whether a lock, `lock`, naming process `pid`, may be believed in a folder of its kind.
bool isBelievable(const struct stat &folder, const struct stat &lock, qint64 pid)
{
    if (!(folder.st_mode & S_IWOTH) || lock.st_uid == 0 || lock.st_uid == folder.st_uid
        || userOfGroup(folder.st_gid) == lock.st_uid)
        return true;
    if (pid <= 0)
        return std::time(nullptr) - lock.st_mtime < WritingSeconds;
    const QList<uint> users = userIdsOf(pid);
    // A process that is there but hides its users (/proc mounted with hidepid) hides its
    // descriptors too, which the other signs would see: its lock stands.
    return users.contains(lock.st_uid) || (users.isEmpty() && isAlive(pid));
}

enum class Removal { Removed, Gone, Changed, Refused };

// A name beside `name` that no one can have taken first: random, and only ever moved to with
// RENAME_NOREPLACE.
QByteArray asideName(const QByteArray &name)
{
    quint64 random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random)
        random = quint64(::getpid()) << 32 ^ quint64(std::time(nullptr));
    return name + ".quorvane-" + QByteArray::number(random, 16);
}

// Removes a stale lock if it is still the file that was judged, as it was. Checking and then
// removing by name would remove a lock another program put there in between, for ever; so the
// file is first moved aside under a name of ours, looked at there, and removed only if it is the
// one judged. Another program's lock goes back under its name at once (unless yet another took the
// name meanwhile: then it stays aside, at `stranded`, and nothing is removed).
Removal removeStaleLock(const QString &lockPath, const QByteArray &content,
                        const struct stat &judged, QString &stranded)
{
    const QByteArray name = QFile::encodeName(lockPath);
    QByteArray aside;
    int moved = -1;
    for (int attempt = 0; attempt < 8 && moved != 0; ++attempt) {
        aside = asideName(name);
        moved =
            ::renameat2(AT_FDCWD, name.constData(), AT_FDCWD, aside.constData(), RENAME_NOREPLACE);
        if (moved != 0 && errno != EEXIST)
            return errno == ENOENT ? Removal::Gone : Removal::Refused;
    }
    if (moved != 0)
        return Removal::Refused;
    struct stat now = {};
    if (readLockFile(QFile::decodeName(aside), &now) == content && now.st_dev == judged.st_dev
        && now.st_ino == judged.st_ino) {
        ::unlink(aside.constData());
        return Removal::Removed;
    }
    if (::renameat2(AT_FDCWD, aside.constData(), AT_FDCWD, name.constData(), RENAME_NOREPLACE)
        != 0) {
        qCWarning(lcLocks) << "a lock put in place of a stale one stays at" << aside;
        stranded = QFile::decodeName(aside);
    }
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

LockSearch lockOfDevice(quint64 device)
{
    LockSearch search;
    for (const char *folder : LockFolders) {
        struct stat folderInfo = {};
        if (::stat(folder, &folderInfo) != 0)
            continue;
        for (const QString &name : entriesOf(QString::fromLatin1(folder))) {
            if (!name.startsWith(QLatin1String("LCK.")) || !isLockOf(name, device))
                continue;
            const QString lockPath = QString::fromLatin1(folder) + QLatin1Char('/') + name;
            struct stat judged = {};
            const std::optional<QByteArray> content = readLockFile(lockPath, &judged);
            // Gone since the folder was listed: its program has ended, or moved it aside.
            if (!content && ::lstat(QFile::encodeName(lockPath).constData(), &judged) != 0)
                continue;
            // A lock we cannot read, or that is no file, is taken to be live.
            const qint64 pid = content ? lockFilePid(*content) : 0;
            if (!isBelievable(folderInfo, judged, pid)) {
                // The first one, by the name the folder is known by (/run/lock is /var/lock).
                if (search.unbelieved.isEmpty()) {
                    search.unbelieved = lockPath;
                    search.unbelievedOwner = userName(judged.st_uid);
                }
                continue;
            }
            if (pid <= 0 || isAlive(pid)) {
                search.held = DeviceLock { pid, QString() };
                return search;
            }
            switch (removeStaleLock(lockPath, *content, judged, search.stranded)) {
            case Removal::Removed:
                qCDebug(lcLocks) << "stale lock of" << pid << "removed:" << lockPath;
                break;
            case Removal::Gone: // its owner's successor removed it first
                break;
            case Removal::Refused:
                search.held = DeviceLock { 0, lockPath };
                return search;
            case Removal::Changed: {
                // A program put a lock of its own in its place meanwhile: it is judged afresh.
                struct stat now = {};
                const std::optional<QByteArray> fresh = readLockFile(lockPath, &now);
                const qint64 owner = fresh ? lockFilePid(*fresh) : 0;
                if (fresh && !isBelievable(folderInfo, now, owner))
                    break;
                if (!fresh || owner <= 0 || isAlive(owner)) {
                    search.held = DeviceLock { owner, QString() };
                    return search;
                }
                break;
            }
            }
        }
    }
    return search;
}

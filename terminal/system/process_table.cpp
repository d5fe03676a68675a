#include "process_table.h"

#include "system_files.h"
#include "system_formats.h"

#include <QFile>

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A name of digits only (a process in proc/, a descriptor in proc/PID/fd/) as a number; -1 for
// any other name.
qint64 numberOf(const char *name)
{
    qint64 number = 0;
    for (const char *c = name; *c; ++c) {
        if (*c < '0' || *c > '9' || number > (LLONG_MAX - 9) / 10)
            return -1;
        number = number * 10 + (*c - '0');
    }
    return *name ? number : -1;
}

// Reads what a file below `folder` holds, up to 4 KiB, relative to the folder's descriptor.
QByteArray readAt(int folder, const char *path)
{
    QByteArray content;
    const int descriptor = ::openat(folder, path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return content;
    char buffer[4096];
    const ssize_t size = ::read(descriptor, buffer, sizeof buffer);
    if (size > 0)
        content = QByteArray(buffer, size);
    ::close(descriptor);
    return content;
}

// Whether one of the process's descriptors names the device. Counts the descriptors looked at.
bool hasOpen(int processFolder, const QByteArray &devicePath, int &descriptors)
{
    const int fdFolder = ::openat(processFolder, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdFolder < 0)
        return false; // gone, or another user's
    DIR *entries = ::fdopendir(fdFolder);
    if (!entries) {
        ::close(fdFolder);
        return false;
    }
    bool found = false;
    char target[PATH_MAX];
    while (const dirent *entry = ::readdir(entries)) {
        if (entry->d_name[0] == '.')
            continue;
        ++descriptors;
        const ssize_t size = ::readlinkat(fdFolder, entry->d_name, target, sizeof target);
        if (size > 0 && QByteArrayView(target, size) == devicePath) {
            found = true;
            break;
        }
    }
    ::closedir(entries);
    return found;
}

} // namespace

DeviceUsers usersOf(const QString &procFolder, quint64 device, const QByteArray &devicePath)
{
    DeviceUsers users;
    DIR *processes = ::opendir(QFile::encodeName(procFolder).constData());
    if (!processes)
        return users;
    const qint64 self = ::getpid();
    const int proc = ::dirfd(processes);
    while (const dirent *entry = ::readdir(processes)) {
        const qint64 pid = numberOf(entry->d_name);
        if (pid < 0 || pid == self)
            continue;
        const int processFolder = ::openat(proc, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (processFolder < 0)
            continue;
        ++users.processes;
        if (users.controlling == 0 && controllingTerminal(readAt(processFolder, "stat")) == device)
            users.controlling = pid;
        if (users.opening == 0 && hasOpen(processFolder, devicePath, users.descriptors))
            users.opening = pid;
        ::close(processFolder);
        if (users.controlling != 0 && users.opening != 0)
            break;
    }
    ::closedir(processes);
    return users;
}

qint64 lockingProcess(const QString &procFolder, quint64 fileSystem, quint64 inode)
{
    constexpr qsizetype LocksLimit = 1 << 20;
    return lockHolder(readSmallFile(procFolder + QStringLiteral("/locks"), LocksLimit), fileSystem,
                      inode);
}

QString processName(const QString &procFolder, qint64 pid)
{
    if (pid <= 0)
        return QString();
    return QString::fromLocal8Bit(
               readSmallFile(QStringLiteral("%1/%2/comm").arg(procFolder, QString::number(pid))))
        .trimmed();
}

qint64 processNamed(const QString &procFolder, const QString &name)
{
    for (const QString &entry : entriesOf(procFolder)) {
        const qint64 pid = numberOf(QFile::encodeName(entry).constData());
        if (pid > 0 && processName(procFolder, pid) == name)
            return pid;
    }
    return 0;
}

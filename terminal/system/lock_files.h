#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

struct stat;

// The lock files serial programs leave in the lock folders (minicom, pppd, Qt's programs, uucp
// and lockdev): one names the device it locks and the process that holds it. Only where the
// system has them (Linux).

// What a lock file holds, read without following a link, blocking or taking a terminal, and
// what the file was; nothing when it is not a regular file. Any user may put a FIFO, a link or a
// folder under a lock's name in the lock folders: such a thing is never opened for reading (a
// device is not opened at all).
std::optional<QByteArray> readLockFile(const QString &path, struct stat *info);

// A lock file that keeps the device out of a check: a live one, with the process it names (0 when
// it names none that can be read: such a lock counts as live), or a stale one this user may not
// remove, with its path.
struct DeviceLock
{
    qint64 pid = 0;
    QString staleFile;
};

// What a look through the lock folders found for a device.
struct LockSearch
{
    // The lock that keeps the device out; nothing when there is none.
    std::optional<DeviceLock> held;
    // A lock passed over: any user may write in its folder, and nothing says a holder of the
    // device wrote it. Its path and its owner's name.
    QString unbelieved;
    QString unbelievedOwner;
    // Another program's lock, put in place of a stale one as it was being removed, that could not
    // go back under its name (yet another lock took the name): where it stays.
    QString stranded;
};

// The lock file of the device, in any folder and under any name programs give it. A lock whose
// process is gone is stale, and removed on the way if it is still the very file that was judged.
// In a folder any user may write (/run/lock, /tmp), a lock is believed only when root, the
// folder's own user or its group's user, or a user of the process it names wrote it, or when it
// names no process and was written moments ago (its program is still writing it).
LockSearch lockOfDevice(quint64 device);

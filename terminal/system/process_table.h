#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Which processes use a device, as /proc tells (root sees every process, a user only their own).
// This process never counts: its own descriptors are no sign that somebody else uses the port.
struct DeviceUsers
{
    // The first process whose controlling terminal the device is (a login program waiting on
    // the line, somebody's session); 0 when none is seen.
    qint64 controlling = 0;
    // The first process that has the device open; 0 when none is seen.
    qint64 opening = 0;
    // What the walk looked at, for the benchmark.
    int processes = 0;
    int descriptors = 0;
};

// Walks the processes below `procFolder` once. `device` is the device number, `devicePath` the
// device's canonical path, as the descriptors' links name it. The links are read, not followed,
// so that a hung network file system cannot hold the window.
DeviceUsers usersOf(const QString &procFolder, quint64 device, const QByteArray &devicePath);

// The process holding a flock or a record lock on a file, as /proc/locks tells (any user may
// read it): `fileSystem` is the device number of the file's file system. -1 when the lock's owner
// is not told (open file description locks), 0 when there is none.
qint64 lockingProcess(const QString &procFolder, quint64 fileSystem, quint64 inode);

// The name of a process, as it gives it (/proc/PID/comm); empty when it cannot be seen.
QString processName(const QString &procFolder, qint64 pid);

// The first process that gives `name` as its name (/proc/PID/comm); 0 when none is seen.
qint64 processNamed(const QString &procFolder, const QString &name);

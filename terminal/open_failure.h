#pragma once

#include <QString>

// Why a port was not opened, with what the user needs to know to do something about it.
struct OpenFailure
{
    enum class Reason {
        None,
        NotFound,
        PermissionDenied, // and no group would help
        NotInGroup, // the user could join `group`
        GroupNotInSession, // the user is in `group`, but this session started before
        InUse, // by `holder`, process `holderPid`, when known
        StaleLock, // `lockFile`, left by a program that is gone, which this user cannot remove
        Console, // a system console: never opened
        ManagedByModemManager, // never opened; `modemDevice`, `manufacturer` as it reports them
        ExaminedByModemManager, // a port just plugged in, that ModemManager is probing
        NotASerialPort,
        InputOutput,
        Other,
    };
    Reason reason = Reason::None;
    QString group;
    QString holder;
    qint64 holderPid = 0;
    QString lockFile;
    QString modemDevice;
    QString manufacturer;
    // The system's own words, when they say more than the reason.
    QString systemText;

    // Whatever the outcome, what was passed over on the way, for the log: a lock file any user
    // could have written, not believed (its path, and its owner's name); another program's lock
    // that had to stay aside as a stale one was removed (where it stays).
    QString unbelievedLock;
    QString unbelievedLockOwner;
    QString strandedLock;
};

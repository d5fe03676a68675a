#pragma once

#include "terminal/open_failure.h"

#include <QByteArray>
#include <QList>

// The advice a refused user gets fits the case: a group that owns the device grants it when it
// may read and write it, and a user listed in that group in the group file only lacks a new
// login. A user who already has the group in this session, and is still refused, gets no group
// advice: no group can help.

struct UserAccount
{
    QByteArray name;
    uint primaryGroup = 0;
    QList<uint> sessionGroups; // the effective group and the supplementary ones
};

// Reason::PermissionDenied, NotInGroup or GroupNotInSession, with the group's name.
OpenFailure permissionAdvice(uint deviceGroup, uint deviceMode, const UserAccount &user,
                             const QByteArray &groupFile);

// The advice for this process's user, refused the device at `devicePath`, by the group file
// below `systemRoot`.
OpenFailure permissionRefusal(const QString &systemRoot, const QString &devicePath);

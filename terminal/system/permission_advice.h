#pragma once

#include "terminal/open_failure.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The advice a refused user gets fits the case: a group that owns the device grants it when it
// may read and write it, and a user the user database already puts in that group only lacks a
// new login. A user who already has the group in this session, and is still refused, gets no
// group advice: no group can help.

struct UserAccount
{
    QByteArray name;
    uint primaryGroup = 0;
    QList<uint> sessionGroups; // the effective group and the supplementary ones
    QList<uint> accountGroups; // those the user database gives the account: a new login's
};

// Reason::PermissionDenied, NotInGroup or GroupNotInSession, with the group's name
// (`groupName`, as the user database names the device's group; empty when it names none).
OpenFailure permissionAdvice(uint deviceGroup, uint deviceMode, const UserAccount &user,
                             const QString &groupName);

// The advice for this process's user, refused the device at `devicePath`, by the user database
// the C library reads (the group file, and LDAP or SSSD where the system is set up so).
OpenFailure permissionRefusal(const QString &devicePath);

#include "permission_advice.h"

#include "system_files.h"
#include "system_formats.h"

#include <QDir>
#include <QFile>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

OpenFailure permissionAdvice(uint deviceGroup, uint deviceMode, const UserAccount &user,
                             const QByteArray &groupFile)
{
    OpenFailure advice;
    advice.reason = OpenFailure::Reason::PermissionDenied;
    const uint readWrite = S_IRGRP | S_IWGRP;
    if (deviceGroup == 0 || (deviceMode & readWrite) != readWrite
        || user.sessionGroups.contains(deviceGroup))
        return advice;
    const std::optional<GroupEntry> group = groupEntry(groupFile, deviceGroup);
    if (!group)
        return advice;
    advice.group = group->name;
    const bool listed = user.primaryGroup == deviceGroup
        || (!user.name.isEmpty() && group->members.contains(user.name));
    advice.reason =
        listed ? OpenFailure::Reason::GroupNotInSession : OpenFailure::Reason::NotInGroup;
    return advice;
}

OpenFailure permissionRefusal(const QString &systemRoot, const QString &devicePath)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(devicePath).constData(), &info) != 0) {
        OpenFailure refused;
        refused.reason = OpenFailure::Reason::PermissionDenied;
        return refused;
    }
    UserAccount user;
    std::vector<gid_t> groups(size_t(qMax(0, ::getgroups(0, nullptr))));
    groups.resize(size_t(qMax(0, ::getgroups(int(groups.size()), groups.data()))));
    user.sessionGroups = QList<uint>(groups.begin(), groups.end());
    user.sessionGroups << ::getegid();
    if (const passwd *account = ::getpwuid(::getuid())) {
        user.name = account->pw_name;
        user.primaryGroup = account->pw_gid;
    }
    constexpr qsizetype GroupFileLimit = 1 << 20;
    return permissionAdvice(
        info.st_gid, info.st_mode, user,
        readSmallFile(QDir(systemRoot).filePath(QStringLiteral("etc/group")), GroupFileLimit));
}

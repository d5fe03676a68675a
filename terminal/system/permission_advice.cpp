#include "permission_advice.h"

#include <QFile>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// The name the user database gives a group; empty when it names none.
QString groupName(gid_t group)
{
    std::vector<char> buffer(4096);
    struct group entry = {};
    struct group *found = nullptr;
    while (::getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) == ERANGE
           && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return found ? QString::fromLocal8Bit(found->gr_name) : QString();
}

// The groups the user database gives the account, as a new login would get them.
QList<uint> accountGroups(const QByteArray &name, gid_t primary)
{
    int count = 64;
    std::vector<gid_t> groups;
    do {
        groups.resize(size_t(count));
    } while (::getgrouplist(name.constData(), primary, groups.data(), &count) < 0
             && size_t(count) > groups.size());
    groups.resize(size_t(qMax(0, qMin(count, int(groups.size())))));
    return QList<uint>(groups.begin(), groups.end());
}

} // namespace

OpenFailure permissionAdvice(uint deviceGroup, uint deviceMode, const UserAccount &user,
                             const QString &groupName)
{
    OpenFailure advice;
    advice.reason = OpenFailure::Reason::PermissionDenied;
    const uint readWrite = S_IRGRP | S_IWGRP;
    if (deviceGroup == 0 || (deviceMode & readWrite) != readWrite
        || user.sessionGroups.contains(deviceGroup) || groupName.isEmpty())
        return advice;
    advice.group = groupName;
    const bool listed =
        user.primaryGroup == deviceGroup || user.accountGroups.contains(deviceGroup);
    advice.reason =
        listed ? OpenFailure::Reason::GroupNotInSession : OpenFailure::Reason::NotInGroup;
    return advice;
}

OpenFailure permissionRefusal(const QString &devicePath)
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
        user.accountGroups = accountGroups(user.name, account->pw_gid);
    }
    return permissionAdvice(info.st_gid, info.st_mode, user, groupName(info.st_gid));
}

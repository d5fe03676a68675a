#include "udev_record.h"

#include "system_files.h"

#include <QDir>

#include <ctime>
#include <sys/stat.h>
#include <sys/sysmacros.h>

std::optional<UdevRecord> udevRecordOf(const QString &systemRoot, quint64 device)
{
    const QString path =
        QDir(systemRoot)
            .filePath(QStringLiteral("run/udev/data/c%1:%2")
                          .arg(QString::number(major(device)), QString::number(minor(device))));
    struct stat info = {};
    const QByteArray content = readSmallFile(path, 1 << 16, &info);
    if (content.isEmpty() && !S_ISREG(info.st_mode))
        return std::nullopt;
    return udevRecord(content);
}

std::optional<double> secondsSinceInitialised(const UdevRecord &record)
{
    if (!record.initialisedAt)
        return std::nullopt;
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9 - *record.initialisedAt / 1e6;
}

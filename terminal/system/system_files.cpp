#include "system_files.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QByteArray readSmallFile(const QString &path, qsizetype limit, struct stat *info)
{
    QByteArray content;
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return content;
    if (info)
        ::fstat(descriptor, info);
    char buffer[4096];
    ssize_t size = 0;
    while (content.size() < limit && (size = ::read(descriptor, buffer, sizeof buffer)) > 0)
        content.append(buffer, qMin<qsizetype>(size, limit - content.size()));
    ::close(descriptor);
    return content;
}

QStringList entriesOf(const QString &folder)
{
    QStringList names;
    DIR *directory = ::opendir(QFile::encodeName(folder).constData());
    if (!directory)
        return names;
    while (const dirent *entry = ::readdir(directory)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            names << name;
    }
    ::closedir(directory);
    return names;
}

QString attributeOf(const QString &folder, const char *name)
{
    return QString::fromUtf8(readSmallFile(folder + QLatin1Char('/') + QLatin1String(name)))
        .trimmed();
}

#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

// The messages of log lines, without their "yyyy-mm-dd hh:nn:ss - " timestamps.
inline QStringList messagesOf(const QStringList &lines)
{
    QStringList messages;
    for (const QString &line : lines)
        messages << line.mid(QStringLiteral("yyyy-mm-dd hh:nn:ss - ").size());
    return messages;
}

// The lines of a log file as written: Latin-1, each ending in CR LF.
inline QStringList linesOfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
}

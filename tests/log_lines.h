#pragma once

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

// The whole content of a regular file; empty when there is none (a FIFO is not read: that
// would wait for a writer).
inline QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                      : QByteArray();
}

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
    return QString::fromLatin1(contentOf(path)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
}

// The advice logged after a check that found no terminal, written out as the user reads it.
inline const QStringList NotFoundAdvice {
    "Nessun terminale trovato",
    "******************",
    "Il terminale GSM non \u00e8 stato trovato. ",
    "Verificare il collegamento con il pc.",
    "Se il problema persiste scollegare il ",
    "terminale dal computer, ",
    "attendere 5 secondi ",
    "e poi ricollegarlo.",
    "******************",
};

// The lock file Qt and minicom keep for a port on this system.
inline QString lockPathOf(const QString &port)
{
    return "/var/lock/LCK.." + QString(port).remove(0, 5).replace('/', '_');
}

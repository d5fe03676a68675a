#include "benches.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <sys/sysmacros.h>
#include <unistd.h>

bool writeFile(const QString &path, const QByteArray &content, int ageSeconds)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
        && file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                            QFileDevice::FileModificationTime);
}

QString deviceNumbers(quint64 device)
{
    return device ? QStringLiteral("%1:%2").arg(major(device)).arg(minor(device)) : QString();
}

bool plant(const QString &root, const Tree &tree)
{
    for (const auto &[path, content] : tree) {
        const QString at = QDir(root).filePath(path);
        QDir().mkpath(QFileInfo(at).path());
        if (!content.startsWith("-> ")
                ? !writeFile(at, content)
                : ::symlink(content.mid(3).constData(), at.toLocal8Bit().constData()) != 0)
            return false;
    }
    return true;
}

ScanBench::ScanBench(SerialComponent *given)
    : own(given ? nullptr : std::make_unique<SerialComponent>([this] { return ports; }))
    , component(given ? *given : *own)
{
    QObject::connect(&log, &ActivityLog::lineAdded, [this](const QString &line) { lines << line; });
}

bool ScanBench::open(const QString &port)
{
    component.selectPort(port);
    component.setPortOpen(true);
    return component.isPortOpen();
}

TrialRun runTrial(const QStringList &command, const QString &folder,
                  const QProcessEnvironment &environment)
{
    QProcess run;
    run.setWorkingDirectory(folder);
    run.setProcessEnvironment(environment);
    run.start(command.first(), command.mid(1));
    TrialRun result;
    if (!run.waitForFinished(60000) || run.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = run.exitCode();
    result.printed = QString::fromUtf8(run.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    result.errors = QString::fromUtf8(run.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    result.logged = linesOfFile(QDir(folder).filePath("Quorvane.txt"));
    return result;
}

#include "activity_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QStandardPaths>

namespace {

const QString LogFileName = QStringLiteral("Quorvane.txt");

} // namespace

ActivityLog::ActivityLog(const QString &folder, QListWidget *list, QObject *parent)
    : QObject(parent)
    , m_list(list)
    , m_filePath(QDir(folder).filePath(LogFileName))
    , m_fallbackFolder(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
    , m_clock([] { return QDateTime::currentDateTime(); })
{
}

QString ActivityLog::formatLine(const QDateTime &when, const QString &messaggio)
{
    return when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) + QStringLiteral(" - ") + messaggio;
}

void ActivityLog::AddLog(const QString &messaggio)
{
    const QString line = formatLine(m_clock(), messaggio);
    addToList(line);
    Q_EMIT lineAdded(line);
    // The file's line reads the clock again, as the list's did; the two can differ by a second.
    writeToFile(messaggio);
}

QString ActivityLog::folderForProgram(const QString &programFolder)
{
    const QString marker =
        QDir(programFolder).filePath(QString::fromUtf8(QUORVANE_INSTALLED_MARKER));
    if (!QFileInfo::exists(marker))
        return programFolder;
    const QString dataFolder =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    // Without a home folder there is no data folder: the program's folder is tried, then the
    // log gives up as it does for any unwritable file.
    if (dataFolder.isEmpty())
        return programFolder;
    // When the folder cannot be made, writing to it fails and the log says so.
    QDir().mkpath(dataFolder);
    return dataFolder;
}

void ActivityLog::reportFilePath()
{
    if (m_fileGivenUp)
        return;
    AddLog(QStringLiteral("Il registro viene scritto in %1")
               .arg(QDir::toNativeSeparators(m_filePath)));
}

void ActivityLog::addToList(const QString &line)
{
    if (!m_list)
        return;
    while (m_list->count() >= ListLineLimit)
        delete m_list->takeItem(0);
    auto *item = new QListWidgetItem(line);
    item->setToolTip(line); // the whole line, also where the list is too narrow for it
    m_list->addItem(item);
    // The new line alone is selected (and scrolled into view): a selection the user made lasts
    // until the next line.
    m_list->setCurrentRow(m_list->count() - 1, QItemSelectionModel::ClearAndSelect);
}

bool ActivityLog::appendToFile(const QString &path, const QString &line)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    // The file keeps the single-byte code page of the original program: Latin-1, CR LF.
    const QByteArray bytes = line.toLatin1() + "\r\n";
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

void ActivityLog::writeToFile(const QString &messaggio)
{
    if (m_fileGivenUp)
        return;
    const QString line = formatLine(m_clock(), messaggio);
    if (appendToFile(m_filePath, line))
        return;

    // The program's folder (or the file in it) cannot be written: an installed program usually
    // sits in a read-only folder. Move to the per-user data folder once, keep this line, and say
    // in the list where the log now is.
    const QString failedPath = m_filePath;
    if (!m_fallbackFolder.isEmpty() && QDir().mkpath(m_fallbackFolder)) {
        const QString fallbackPath = QDir(m_fallbackFolder).filePath(LogFileName);
        if (fallbackPath != failedPath && appendToFile(fallbackPath, line)) {
            m_filePath = fallbackPath;
            AddLog(QStringLiteral("Impossibile scrivere il registro in %1; il registro viene "
                                  "scritto in %2")
                       .arg(QDir::toNativeSeparators(failedPath),
                            QDir::toNativeSeparators(fallbackPath)));
            return;
        }
    }
    m_fileGivenUp = true;
    AddLog(QStringLiteral("Impossibile scrivere il registro in %1; le righe restano solo "
                          "nell'elenco.")
               .arg(QDir::toNativeSeparators(failedPath)));
}

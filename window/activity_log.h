#pragma once

#include "common/log_sink.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>

class QListWidget;

// The program's one report channel: every message goes, timestamped, to the end of the log list
// on the window and to the end of the log file "Quorvane.txt".
class ActivityLog : public QObject, public LogSink
{
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;

    // The most lines the list keeps; past it the oldest line is dropped for each new one.
    static constexpr int ListLineLimit = 32767;

    // `folder` is where "Quorvane.txt" is written (the program's folder in the program, a
    // temporary folder in tests). `list` may be null: the lines are then only in the file and in
    // the lineAdded signal.
    explicit ActivityLog(const QString &folder, QListWidget *list = nullptr,
                         QObject *parent = nullptr);

    void AddLog(const QString &messaggio) override;

    // The folder a program started from `programFolder` writes its log to. A copy run from a
    // folder of its own (a build folder, a folder it was unpacked into) writes beside itself.
    // An installed program writes to the per-user data folder, which is created here: its own
    // folder is shared, and usually read-only. A folder counts as installed when the metainfo
    // an install brings lies where the install layout puts it.
    static QString folderForProgram(const QString &programFolder);

    // Adds one line saying which file the log is written to, unless no file can be written (the
    // list has then said so already).
    void reportFilePath();

    // Path of the file the lines are written to now; it changes once if the first choice proves
    // unwritable.
    QString filePath() const { return m_filePath; }

    void setClock(Clock clock) { m_clock = std::move(clock); }
    // Where the lines go when the program's folder is not writable. Defaults to the per-user
    // data folder.
    void setFallbackFolder(const QString &folder) { m_fallbackFolder = folder; }

Q_SIGNALS:
    // The line as it was added to the list (timestamp included).
    void lineAdded(const QString &line);

private:
    static QString formatLine(const QDateTime &when, const QString &messaggio);
    bool appendToFile(const QString &path, const QString &line);
    void writeToFile(const QString &messaggio);
    void addToList(const QString &line);

    QListWidget *m_list = nullptr;
    QString m_filePath;
    QString m_fallbackFolder;
    Clock m_clock;
    // Once the log file could not be written anywhere, the lines stay in the list only.
    bool m_fileGivenUp = false;
};

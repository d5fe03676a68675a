#include "window/activity_log.h"
#include "window/frmInviaRicevi.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    QApplication::setDesktopFileName(QStringLiteral("org.quorvane.Quorvane"));
    const QString programFolder = QCoreApplication::applicationDirPath();
    const QString logFolder = ActivityLog::folderForProgram(programFolder);
    frmInviaRicevi window(logFolder);
    // The user of an installed program would look for the log beside it: say where it is.
    if (logFolder != programFolder)
        window.log().reportFilePath();
    QApplication::setWindowIcon(window.windowIcon());
    window.show();
    return QApplication::exec();
}

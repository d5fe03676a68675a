#include "window/activity_log.h"
#include "window/frmInviaRicevi.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {

// Qt's own messages while the application starts, held back: without a display Qt says why in
// several lines and aborts, where the user needs one line and the way to check without a window.
bool starting = true;
QStringList heldBack;
QtMessageHandler qtHandler = nullptr;

void onQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!starting) {
        qtHandler(type, context, message);
    } else if (type != QtFatalMsg) {
        heldBack << qFormatLogMessage(type, context, message);
    } else {
        // With a display named but no window to be had there, Qt's own words say why.
        if (qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")) {
            for (const QString &held : std::as_const(heldBack))
                std::fprintf(stderr, "%s\n", qUtf8Printable(held));
            std::fprintf(stderr, "%s\n", qUtf8Printable(message));
        }
        std::fputs("quorvane: nessuno schermo su cui aprire la finestra; per verificare i "
                   "terminali dal terminale: quorvane-check\n",
                   stderr);
        std::_Exit(2);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    qtHandler = qInstallMessageHandler(onQtMessage);
    QApplication app(argc, argv);
    starting = false;
    for (const QString &message : std::as_const(heldBack))
        std::fprintf(stderr, "%s\n", qUtf8Printable(message));
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

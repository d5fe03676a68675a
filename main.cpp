#include "window/frmInviaRicevi.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    QApplication::setDesktopFileName(QStringLiteral("org.quorvane.Quorvane"));
    frmInviaRicevi window(QCoreApplication::applicationDirPath());
    QApplication::setWindowIcon(window.windowIcon());
    window.show();
    return QApplication::exec();
}

#include "window/frmInviaRicevi.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    frmInviaRicevi window(QCoreApplication::applicationDirPath());
    window.show();
    return QApplication::exec();
}

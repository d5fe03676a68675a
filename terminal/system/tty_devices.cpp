#include "tty_devices.h"

#include "system_files.h"
#include "system_formats.h"

#include <QDir>

bool isTerminal(const QString &systemRoot, quint64 device)
{
    constexpr qsizetype DriversLimit = 1 << 16;
    const QByteArray drivers =
        readSmallFile(QDir(systemRoot).filePath(QStringLiteral("proc/tty/drivers")), DriversLimit);
    return drivers.isEmpty() || isInTerminalDrivers(drivers, device);
}

bool isKernelConsole(const QString &systemRoot, quint64 device)
{
    const QDir root(systemRoot);
    if (consoleDevices(readSmallFile(root.filePath(QStringLiteral("proc/consoles"))))
            .contains(device))
        return true;
    // sysfs names the active consoles; tty0 stands for the virtual terminal in front.
    const QString classFolder = QStringLiteral("sys/class/tty/");
    QByteArrayList names =
        readSmallFile(root.filePath(classFolder + QStringLiteral("console/active")))
            .simplified()
            .split(' ');
    if (names.contains("tty0"))
        names +=
            readSmallFile(root.filePath(classFolder + QStringLiteral("tty0/active"))).simplified();
    for (const QByteArray &name : std::as_const(names)) {
        if (!name.isEmpty() && !name.contains('/')
            && deviceNumber(readSmallFile(
                   root.filePath(classFolder + QString::fromLatin1(name) + QStringLiteral("/dev"))))
                == device)
            return true;
    }
    return false;
}

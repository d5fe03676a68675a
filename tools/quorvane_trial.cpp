// quorvane-trial PORT...
// Runs one scan over the given ports (device paths, in the order given) instead of the system's
// list, prints each log line as it is logged and writes Quorvane.txt in the current folder.
// Exits 0 when a terminal was found, 1 when none was, 2 on bad usage.

#include "terminal/command_exchange.h"
#include "terminal/port_scan.h"
#include "terminal/serial_component.h"
#include "window/activity_log.h"

#include <QApplication>
#include <QDir>

#include <cstdio>

namespace {

constexpr int ExitFound = 0;
constexpr int ExitNoneFound = 1;
constexpr int ExitUsage = 2;

void printUsage()
{
    std::fprintf(stderr, "usage: quorvane-trial PORT...\n"
                         "  Scans the given serial ports (device paths) for a GSM terminal.\n"
                         "  Exit status: 0 terminal found, 1 none found, 2 bad usage.\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList ports = QCoreApplication::arguments().mid(1);
    for (const QString &argument : ports) {
        if (argument.startsWith(QLatin1Char('-'))) {
            printUsage();
            return ExitUsage;
        }
    }
    if (ports.isEmpty()) {
        printUsage();
        return ExitUsage;
    }

    SerialComponent component([ports] { return ports; });
    writeStartupSettings(component);
    ActivityLog log(QDir::currentPath());
    QObject::connect(&log, &ActivityLog::lineAdded, [](const QString &line) {
        std::printf("%s\n", line.toLocal8Bit().constData());
        std::fflush(stdout);
    });
    CommandExchange exchange(component, log);
    PortScan scan(component, exchange, log);
    return scan.CercaCell() != 0 ? ExitFound : ExitNoneFound;
}

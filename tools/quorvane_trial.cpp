// quorvane-trial [--system-root DIR] [--json] [--window [--press-uscita-after MS] [--report-shown]]
//                PORT...
// Runs the check quorvane-check runs over the given ports (device paths, in the order given)
// instead of the system's list, and writes Quorvane.txt in the current folder; with
// --system-root and no port, over the ports listed below DIR (a played machine's). Exits as
// quorvane-check does: 0 when a terminal was found, 1 when none was, 2 on bad usage.
// With --window it opens the program's real window over the given ports instead, runs the check
// cycle as the program does and stays open until closed; --press-uscita-after presses "Uscita"
// that many milliseconds after start, and --report-shown prints "shown" once the window is first
// painted (both for scripted trials and the benchmark). --system-root reads the system's own
// files (proc/, sys/, dev/serial/, run/udev/) below DIR, so that trials can play consoles,
// USB devices and their udev links. --json prints quorvane-check's JSON document.

#include "check/headless_check.h"
#include "terminal/serial_component.h"
#include "window/activity_log.h"
#include "window/frmInviaRicevi.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <optional>

namespace {

constexpr int ExitUsage = 2;

struct Options
{
    bool window = false;
    bool reportShown = false;
    bool json = false;
    int pressUscitaAfterMs = -1;
    QString systemRoot;
    QStringList ports;
};

void printUsage()
{
    std::fprintf(stderr,
                 "usage: quorvane-trial [--system-root DIR] [--json] [--window "
                 "[--press-uscita-after MS] [--report-shown]] PORT...\n"
                 "  Scans the given serial ports (device paths) for a GSM terminal; with\n"
                 "  --system-root and no port, those listed below DIR.\n"
                 "  --window  opens Quorvane's window over these ports and runs its checks.\n"
                 "  Exit status: 0 terminal found, 1 none found, 2 bad usage.\n");
}

std::optional<Options> parse(const QStringList &arguments)
{
    Options options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--window")) {
            options.window = true;
        } else if (argument == QLatin1String("--json")) {
            options.json = true;
        } else if (argument == QLatin1String("--report-shown")) {
            options.reportShown = true;
        } else if (argument == QLatin1String("--press-uscita-after") && i + 1 < arguments.size()) {
            bool ok = false;
            options.pressUscitaAfterMs = arguments.at(++i).toInt(&ok);
            if (!ok || options.pressUscitaAfterMs < 0)
                return std::nullopt;
        } else if (argument == QLatin1String("--system-root") && i + 1 < arguments.size()) {
            options.systemRoot = arguments.at(++i);
        } else if (argument.startsWith(QLatin1Char('-'))) {
            return std::nullopt;
        } else {
            options.ports << argument;
        }
    }
    const bool windowOnlyOption = options.reportShown || options.pressUscitaAfterMs >= 0;
    // Without a played root, or without a listing that reads it (Qt's lists the machine's own),
    // the ports listed would be the machine's.
    bool listsPlayedRoot = !options.systemRoot.isEmpty();
#if !defined(QUORVANE_LINUX_PORT_GUARD)
    listsPlayedRoot = false;
#endif
    if ((options.ports.isEmpty() && !listsPlayedRoot) || (windowOnlyOption && !options.window)
        || (options.json && options.window))
        return std::nullopt;
    return options;
}

void printLine(const QString &line)
{
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

// Prints "shown" the first time the window is painted.
class ShownReporter : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_reported) {
            m_reported = true;
            std::printf("shown\n");
            std::fflush(stdout);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_reported = false;
};

int runWindow(const Options &options)
{
    const QStringList ports = options.ports;
    frmInviaRicevi window(QDir::currentPath(),
                          ports.isEmpty() ? new SerialComponent()
                                          : new SerialComponent([ports] { return ports; }));
    // The window logged its first line while it was being made.
    for (int i = 0; i < window.listLog->count(); ++i)
        printLine(window.listLog->item(i)->text());
    QObject::connect(&window.log(), &ActivityLog::lineAdded, printLine);
    if (!options.systemRoot.isEmpty())
        window.comSMS->setSystemRoot(options.systemRoot);
    ShownReporter reporter;
    if (options.reportShown)
        window.installEventFilter(&reporter);
    window.show();
    if (options.pressUscitaAfterMs >= 0)
        QTimer::singleShot(options.pressUscitaAfterMs, window.Command2, &QPushButton::click);
    return QApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const std::optional<Options> options = parse(arguments);
    if (!options) {
        printUsage();
        return ExitUsage;
    }
    if (options->window) {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Quorvane"));
        return runWindow(*options);
    }
    QCoreApplication app(argc, argv);
    CheckOptions check;
    check.ports = options->ports;
    check.logFolder = QDir::currentPath();
    check.systemRoot = options->systemRoot;
    check.json = options->json;
    return runHeadlessCheck(check);
}

// Reports how long the program's waits and exchanges take on this machine. Run it with
// `tools/dev bench`; it prints a table, it asserts nothing.

#include "common/Globali.h"
#include "simulated_modem.h"
#include "terminal/command_exchange.h"
#include "terminal/port_guard.h"
#include "terminal/port_scan.h"
#include "terminal/serial_component.h"
#include "terminal/system/devices_without_ports.h"
#include "terminal/system/nonserial_modems.h"
#include "terminal/system/port_listing.h"
#include "terminal/system/process_table.h"
#include "window/activity_log.h"
#include "window/frmInviaRicevi.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

double cpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(fraction * (values.size() - 1) + 0.5));
    return values[index];
}

void heading(const char *title)
{
    std::printf("\n%s\n", title);
}

void row(const char *what, double value, const char *unit, const char *note = "")
{
    std::printf("  %-52s %12.3f %-4s %s\n", what, value, unit, note);
}

struct Exchanger
{
    QTemporaryDir folder;
    ActivityLog log { folder.path() };
};

void pumpCosts()
{
    heading("Turns of the wait loop");
    constexpr int Turns = 1000000;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Turns; ++i)
        Globali::pumpEvents();
    const double bareNs = double(timer.nsecsElapsed()) / Turns;

    // A silent exchange on an open port runs two whole budgets of paced turns.
    Exchanger ex;
    SimulatedTerminal terminal;
    terminal.setSilent(true);
    SerialComponent component(SerialComponent::PortSource {});
    CommandExchange exchange(component, ex.log);
    exchange.InRicerca = true;
    component.selectPort(terminal.portPath());
    component.setPortOpen(true);
    timer.restart();
    exchange.EseguiCMD(QStringLiteral("at"));
    const double pacedNs = double(timer.nsecsElapsed()) / exchange.lastPollCount();

    row("one pump turn", bareNs / 1000, "us");
    row("one paced turn (minimum 5 us)", pacedNs / 1000, "us");
    std::printf("  %-52s %12.2f x\n", "paced / bare", pacedNs / bareNs);
    row("200,000 bare turns", bareNs * CommandExchange::PollBudget / 1e9, "s");
    row("200,000 paced turns (one checkpoint)", pacedNs * CommandExchange::PollBudget / 1e9, "s");
}

void exchangesAt2400()
{
    heading("Exchanges with a simulated terminal at 2400 baud, echo on, reply SIEMENS");
    SimulatedTerminal terminal;
    SerialComponent component(SerialComponent::PortSource {});
    Exchanger ex;
    CommandExchange exchange(component, ex.log);
    exchange.InRicerca = true;
    component.selectPort(terminal.portPath());
    component.setPortOpen(true);

    for (const QString &command : { QStringLiteral("at"), QStringLiteral("at+gmi") }) {
        QElapsedTimer timer;
        timer.start();
        exchange.EseguiCMD(command);
        const double ms = timer.nsecsElapsed() / 1e6;
        char note[96];
        std::snprintf(note, sizeof note, "%lld turns, %s", (long long)exchange.lastPollCount(),
                      exchange.RispostaOK && !exchange.RispostaErrore ? "OK" : "FAILED");
        const QByteArray what = ("\"" + command + "\"").toLatin1();
        row(what.constData(), ms, "ms", note);
        terminal.waitUntilSent(std::chrono::seconds(2));
        Globali::pumpEvents();
    }

    terminal.setSilent(true);
    QElapsedTimer timer;
    timer.start();
    const double cpu = cpuSeconds();
    exchange.EseguiCMD(QStringLiteral("at"));
    char note[96];
    std::snprintf(note, sizeof note, "%lld turns, %.2f CPU s, %s",
                  (long long)exchange.lastPollCount(), cpuSeconds() - cpu,
                  exchange.RispostaErrore ? "failed as it should" : "DID NOT FAIL");
    row("silent terminal: time to fail", timer.nsecsElapsed() / 1e9, "s", note);
}

struct ScanFigures
{
    double wallSeconds;
    double cpuSeconds;
    qint16 found;
    QString lastLine;
};

ScanFigures timeScan(const QStringList &ports, const std::function<void()> &atStart = {},
                     const QString &systemRoot = QString())
{
    SerialComponent component([ports] { return ports; });
    writeStartupSettings(component);
    if (!systemRoot.isEmpty())
        component.setSystemRoot(systemRoot);
    Exchanger ex;
    QString lastLine;
    QObject::connect(&ex.log, &ActivityLog::lineAdded,
                     [&lastLine](const QString &line) { lastLine = line.mid(22); });
    CommandExchange exchange(component, ex.log);
    PortScan scan(component, exchange, ex.log);
    if (atStart)
        atStart();
    QElapsedTimer timer;
    timer.start();
    const double cpu = cpuSeconds();
    const qint16 found = scan.CercaCell();
    return { timer.nsecsElapsed() / 1e9, cpuSeconds() - cpu, found, lastLine };
}

void wholeScans()
{
    heading("Whole scans of one port (wall s, CPU s, result; goal)");
    std::printf("  %-40s %8s %8s  %-28s %s\n", "", "wall s", "CPU s", "last line", "goal");
    auto report = [](const char *what, const ScanFigures &f, const char *goal) {
        std::printf("  %-40s %8.2f %8.2f  %-28s %s\n", what, f.wallSeconds, f.cpuSeconds,
                    f.lastLine.left(28).toLocal8Bit().constData(), goal);
    };
    {
        SimulatedTerminal terminal;
        report("(a) terminal at 2400 baud", timeScan({ terminal.portPath() }), "<= 3.5 s");
    }
    {
        SimulatedTerminal terminal;
        terminal.setSilent(true);
        report("(b) silent port", timeScan({ terminal.portPath() }), "<= 9.5 s");
    }
    {
        SimulatedTerminal terminal;
        terminal.setReplyDelay(std::chrono::milliseconds(800));
        report("(c) replies 800 ms late", timeScan({ terminal.portPath() }), "identified");
    }
    {
        SimulatedTerminal terminal;
        report("(d) deaf for 2 s after opening",
               timeScan({ terminal.portPath() },
                        [&terminal] { terminal.ignoreFor(std::chrono::seconds(2)); }),
               "identified");
    }
    report("(e) no ports", timeScan({}), "");

    // A device that never stops talking on the port before a terminal: what it adds to a scan.
    SimulatedTerminal alone;
    const ScanFigures terminalOnly = timeScan({ alone.portPath() });
    SimulatedTerminal gps, after;
    gps.setSilent(true);
    gps.sendEvery(std::chrono::seconds(1),
                  "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
                  "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
    const ScanFigures withStream = timeScan({ gps.portPath(), after.portPath() });
    report("(f) a terminal alone", terminalOnly, "");
    report("(g) a GPS receiver, then the terminal", withStream, "");
    std::printf("  %-40s %8.2f %8s  %-28s %s\n", "(g) - (f): the streaming port's cost",
                withStream.wallSeconds - terminalOnly.wallSeconds, "", "", "<= 8 s");

    // A USB modem's four ports (diagnostic, GPS, two AT ports), with ModemManager's udev tags
    // and without (ModemManager not installed): with them only the AT ports are opened.
    for (const bool typed : { true, false }) {
        SimulatedModem modem(typed);
        const ScanFigures figures = timeScan(modem.portPaths(), {}, modem.systemRoot());
        report(typed ? "(h) a four-port modem, ports typed" : "(i) the same modem, untyped",
               figures, typed ? "<= 8 s, found" : "as before, found");
    }
}

// What a listing costs, read from sysfs at the start of every scan, and the part of it that looks
// for modems without serial ports: on this machine, and below a played root with a QMI modem and
// a PCIe modem whose AT port is a WWAN port.
void listingFigures()
{
    heading("Listing the ports below sysfs (ms a listing, mean of 200)");
    auto mean = [](const std::function<void()> &list) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 200; ++i)
            list();
        return timer.nsecsElapsed() / 1e6 / 200;
    };
    QTemporaryDir played;
    const QString usb = played.filePath("sys/devices/pci0000:00/0000:00:14.0/usb2/2-3");
    const QString pci = played.filePath("sys/devices/pci0000:00/0000:00:1c.0/0000:03:00.0");
    const std::pair<QString, QString> entries[] = {
        { usb + "/2-3:1.8/usbmisc/cdc-wdm0", "usbmisc" },
        { pci + "/wwan/wwan0/wwan0at0", "wwan" },
    };
    for (const auto &[entry, className] : entries) {
        QDir().mkpath(entry);
        QDir().mkpath(played.filePath("sys/class/" + className));
        QFile::link(entry,
                    played.filePath("sys/class/" + className + "/" + QFileInfo(entry).fileName()));
    }
    for (const auto &[file, content] : { std::pair { usb + "/idVendor", "1199" },
                                         { usb + "/idProduct", "9071" },
                                         { pci + "/vendor", "0x8086" },
                                         { pci + "/device", "0x7360" } }) {
        QFile out(file);
        out.open(QIODevice::WriteOnly);
        out.write(content);
    }
    QFile::link(played.filePath("sys/bus/pci"), pci + "/subsystem");
    for (const QString &root : { QStringLiteral("/"), played.path() }) {
        const double whole = mean([&root] { listSerialPorts(root); });
        const double modems = mean([&root] { findNonSerialModems(root); });
        char what[64];
        std::snprintf(what, sizeof what, "%s: ports and modems (%lld modems)",
                      root == "/" ? "this machine" : "played root",
                      qlonglong(findNonSerialModems(root).size()));
        row(what, whole, "ms");
        row("  of which modems without serial ports", modems, "ms",
            qPrintable(QString::asprintf("(%.0f%%)", 100 * modems / whole)));
    }
}

// A machine with 30 USB devices, as sysfs shows them below `root`: keyboards, mice, hubs,
// sticks, audio, and three that offer no serial port for a cause (a modem still a CD-ROM, an
// adapter held through usbfs, a modem no driver knows).
void playThirtyUsbDevices(const QString &root)
{
    auto write = [&root](const QString &path, const QByteArray &content) {
        QDir().mkpath(QFileInfo(root + "/" + path).path());
        QFile out(root + "/" + path);
        out.open(QIODevice::WriteOnly);
        out.write(content);
    };
    auto link = [&root](const QString &path, const QString &target) {
        QDir().mkpath(QFileInfo(root + "/" + path).path());
        QFile::link(target, root + "/" + path);
    };
    struct Kind
    {
        const char *ids, *classes, *driver;
    };
    const Kind kinds[] = {
        { "046d:c52b", "03 01 01", "usbhid" },      { "05e3:0610", "09 00 00", "hub" },
        { "0781:5581", "08 06 50", "usb-storage" }, { "0d8c:0014", "01 01 00", "snd-usb-audio" },
        { "8087:0026", "e0 01 01", "btusb" },       { "12d1:1f01", "08 06 50", "usb-storage" },
        { "1a86:7523", "ff 01 02", "usbfs" },       { "2c7c:0801", "ff ff 30", "" }
    };
    for (int i = 1; i <= 30; ++i) {
        const Kind &kind = kinds[i <= 3 ? 4 + i : i % 5];
        const QString name = QStringLiteral("1-%1").arg(i);
        const QString device = "devices/pci0000:00/0000:00:14.0/usb1/" + name;
        const QString folder = "sys/" + device;
        link("sys/bus/usb/devices/" + name, "../../../" + device);
        write(folder + "/idVendor", QByteArray(kind.ids, 4) + "\n");
        write(folder + "/idProduct", QByteArray(kind.ids + 5, 4) + "\n");
        write(folder + "/manufacturer", "Maker\n");
        write(folder + "/product", "Device\n");
        write(folder + "/busnum", "1\n");
        write(folder + "/devnum", QByteArray::number(i + 1) + "\n");
        write(folder + "/bNumConfigurations", "1\n");
        const QString interface = folder + "/" + name + ":1.0";
        const QList<QByteArray> classes = QByteArray(kind.classes).split(' ');
        write(interface + "/bInterfaceNumber", "00\n");
        write(interface + "/bInterfaceClass", classes[0] + "\n");
        write(interface + "/bInterfaceSubClass", classes[1] + "\n");
        write(interface + "/bInterfaceProtocol", classes[2] + "\n");
        if (*kind.driver)
            link(interface + "/driver",
                 QStringLiteral("../../../../../../bus/usb/drivers/") + kind.driver);
    }
}

// How long reading a machine's USB devices for those that offer no serial port takes, beside a
// whole scan of that machine (no serial port: every line is about the devices).
void usbDeviceFigures()
{
    heading("Devices that offer no serial port, 30 USB devices (ms, mean of 200)");
    QTemporaryDir played;
    playThirtyUsbDevices(played.path());
    QElapsedTimer timer;
    timer.start();
    qsizetype told = 0;
    for (int i = 0; i < 200; ++i)
        told = findDevicesWithoutPorts(played.path()).size();
    const double devices = timer.nsecsElapsed() / 1e6 / 200;
    SerialComponent component;
    component.setSystemRoot(played.path());
    QTemporaryDir logFolder;
    ActivityLog log(logFolder.path());
    CommandExchange exchange(component, log);
    PortScan scan(component, exchange, log);
    timer.restart();
    for (int i = 0; i < 20; ++i)
        scan.CercaCell();
    const double whole = timer.nsecsElapsed() / 1e6 / 20;
    char note[64];
    std::snprintf(note, sizeof note, "%lld told of, nothing opened", qlonglong(told));
    row("reading the devices", devices, "ms", note);
    row("the whole scan (mean of 20)", whole, "ms");
    std::printf("  %-52s %12.2f x\n", "reading / scan", devices / whole);
}

// How long one look for the processes that use a port takes: every process's descriptors and
// stat line, as the checks before each open read them.
void holderFigures()
{
    heading("Looking for holders in /proc, added cost per port (median of 200; goal < 5 ms)");
    SimulatedTerminal terminal;
    struct stat node = {};
    ::stat(terminal.portPath().toLocal8Bit().constData(), &node);
    const QByteArray path = terminal.portPath().toLocal8Bit();
    std::vector<double> ms;
    DeviceUsers users;
    for (int i = 0; i < 200; ++i) {
        QElapsedTimer timer;
        timer.start();
        users = usersOf(QStringLiteral("/proc"), node.st_rdev, path);
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    char note[96];
    std::snprintf(note, sizeof note, "%d processes, %d descriptors looked at", users.processes,
                  users.descriptors);
    row("one look through /proc", percentile(ms, 0.5), "ms", note);
}

// The wall time of a program run to its end, in seconds.
double secondsToRun(const QString &program, const QStringList &arguments, const QString &folder)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    process.waitForFinished(60000);
    return timer.nsecsElapsed() / 1e9;
}

// quorvane-check and the trial tool scan through the same code: one simulated terminal each,
// side by side; and how soon the check answers --help.
void checkFigures()
{
    heading("From a terminal (median of 3; goals: within 1.05 x of the trial, --help < 0.2 s)");
    QTemporaryDir folder;
    const QString check = folder.filePath(QStringLiteral("quorvane-check"));
    QFile::copy(QStringLiteral(QUORVANE_CHECK), check); // it logs beside itself
    std::vector<double> checks, trials, helps;
    for (int run = 0; run < 3; ++run) {
        SimulatedTerminal first, second;
        checks.push_back(secondsToRun(check, { first.portPath() }, folder.path()));
        trials.push_back(
            secondsToRun(QStringLiteral(QUORVANE_TRIAL), { second.portPath() }, folder.path()));
    }
    for (int run = 0; run < 10; ++run)
        helps.push_back(secondsToRun(check, { QStringLiteral("--help") }, folder.path()));
    const double checkSeconds = percentile(checks, 0.5), trialSeconds = percentile(trials, 0.5);
    row("quorvane-check PORT, a terminal found", checkSeconds, "s");
    row("quorvane-trial PORT, the same", trialSeconds, "s");
    std::printf("  %-52s %12.3f x\n", "check / trial", checkSeconds / trialSeconds);
    row("quorvane-check --help (median of 10)", percentile(helps, 0.5), "s");
}

// Runs the program's window over `ports` as a child process, as the user would.
QProcess *startWindow(const QStringList &arguments, QObject *parent)
{
    auto *program = new QProcess(parent);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!environment.contains("DISPLAY"))
        environment.insert("QT_QPA_PLATFORM", "offscreen");
    program->setProcessEnvironment(environment);
    program->setWorkingDirectory(QDir::tempPath());
    program->start(QStringLiteral(QUORVANE_TRIAL), QStringList { "--window" } + arguments);
    return program;
}

void windowFigures()
{
    heading("The window");
    QObject owner;
    std::vector<double> shown;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer timer;
        timer.start();
        QProcess *program = startWindow(
            { "--report-shown", "--press-uscita-after", "1000", "/dev/quorvane-no-such-port" },
            &owner);
        while (program->state() != QProcess::NotRunning) {
            program->waitForReadyRead(10);
            if (program->canReadLine() && program->readAll().contains("shown")) {
                shown.push_back(timer.nsecsElapsed() / 1e6);
                break;
            }
        }
        program->waitForFinished(10000);
    }
    row("start to window shown (median of 5)", percentile(shown, 0.5), "ms",
        ("platform " + QGuiApplication::platformName().toLatin1()).constData());

    // Clicks posted from another thread while a check of a silent port runs (about nine
    // seconds): the time until the button's click is served on the window's thread.
    SimulatedTerminal terminal;
    terminal.setSilent(true);
    const QString port = terminal.portPath();
    QTemporaryDir folder;
    frmInviaRicevi window(folder.path(),
                          new SerialComponent([port] { return QStringList { port }; }));
    window.setEndProgram([] {});
    auto *probe = new QPushButton(QStringLiteral("probe"), &window);
    probe->setGeometry(0, 0, 10, 10);
    window.show();

    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> posted;
    std::vector<double> delays;
    QObject::connect(probe, &QPushButton::clicked, [&] {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex);
        if (delays.size() < posted.size())
            delays.push_back(
                std::chrono::duration<double, std::milli>(now - posted[delays.size()]).count());
    });
    QElapsedTimer whole;
    whole.start();
    // Wait for the check to start, then click through it.
    while (!window.Timer1->isActive() || whole.elapsed() < 100)
        QCoreApplication::processEvents();
    std::atomic<bool> checking { true };
    std::thread clicker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3200));
        while (checking) {
            {
                std::lock_guard lock(mutex);
                if (delays.size() == posted.size()) {
                    posted.push_back(std::chrono::steady_clock::now());
                    // The click is made where the window's events are served, as a
                    // click coming from the window system would be.
                    QMetaObject::invokeMethod(probe, &QPushButton::click, Qt::QueuedConnection);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    });
    while (!window.Command1->isEnabled())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    checking = false;
    clicker.join();
    char note[96];
    std::snprintf(note, sizeof note, "%zu clicks during one check of a silent port", delays.size());
    row("click served after, p50", percentile(delays, 0.5), "ms", note);
    row("click served after, p99", percentile(delays, 0.99), "ms");
    row("click served after, max", percentile(delays, 1.0), "ms");

    // The program through a whole check that finds a terminal, as a process of its own.
    SimulatedTerminal found;
    QProcess *program = startWindow({ "--press-uscita-after", "8000", found.portPath() }, &owner);
    program->waitForStarted();
    // The kernel's high-water mark of the process's own memory; read while it runs, since a
    // child's rusage also counts what it shared with this process before it started.
    const QString status = QStringLiteral("/proc/%1/status").arg(program->processId());
    double peakKiB = 0;
    while (!program->waitForFinished(50)) {
        QFile file(status);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                peakKiB = std::max(peakKiB, line.mid(6).trimmed().split(' ').value(0).toDouble());
        }
    }
    const QByteArray platformNote =
        "VmHWM, platform " + QGuiApplication::platformName().toLatin1() + ", terminal found";
    row("peak memory of the program through a check", peakKiB / 1024.0, "MiB",
        platformNote.constData());
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    row("peak memory of this benchmark", usage.ru_maxrss / 1024.0, "MiB");
}

// Child mode: the checks a port goes through before it opens, on a free pseudo-terminal and
// on one held exclusively by this process (whose holder is then looked for among every
// process's open files in vain), in microseconds, median of `rounds`.
int guardCosts(int rounds)
{
    SimulatedTerminal terminal;
    PortGuard guard;
    auto median = [&] {
        std::vector<double> us;
        for (int i = 0; i < rounds; ++i) {
            QElapsedTimer timer;
            timer.start();
            guard.claim(terminal.portPath());
            guard.abandon();
            us.push_back(timer.nsecsElapsed() / 1e3);
        }
        return percentile(us, 0.5);
    };
    const double free = median();
    terminal.setExclusive(true);
    const double held = median();
    std::printf("%.1f %.1f\n", free, held);
    return 0;
}

// The cost of judging a port before it opens, for each state of the system bus. A process
// keeps the system bus it first reached, so each state is measured by a process of its own.
void guardFigures()
{
    heading("Checks of other programs' claims, added cost per port (median of 200)");
    std::printf("  %-52s %12s %12s\n", "", "free us", "held us");
    QProcess bus, mock;
    auto measure = [](const char *what, const QProcessEnvironment &environment) {
        QProcess child;
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), { "--guard-costs" });
        child.waitForFinished(60000);
        const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
        std::printf("  %-52s %12s %12s\n", what, figures.value(0).constData(),
                    figures.value(1).constData());
    };
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    measure("this machine as it is", environment);
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quorvane-bench-bus");
    measure("no system bus", environment);
    bus.start("dbus-daemon", { "--session", "--nofork", "--print-address=1" });
    if (!bus.waitForReadyRead(10000)) {
        std::printf("  (no dbus-daemon: the bus figures are left out)\n");
        return;
    }
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", QString::fromLatin1(bus.readLine().trimmed()));
    measure("a system bus without ModemManager", environment);
    mock.setProcessEnvironment(environment);
    // ModemManager with a modem on another port, answering after `delay` seconds.
    auto startModemManager = [&mock](const char *delay) {
        mock.kill();
        mock.waitForFinished();
        mock.start("/usr/bin/python3",
                   { "-m", "dbusmock", "--system", "-t", QUORVANE_MODEMMANAGER_MOCK, "-p",
                     QStringLiteral(R"({"ports": ["ttyUSB7"], "device": "/sys/devices/x", )"
                                    R"("manufacturer": "X", "delay": %1})")
                         .arg(delay) });
        QThread::msleep(1500); // the mock takes its name on the bus
    };
    startModemManager("0");
    measure("ModemManager with a modem on another port", environment);
    // ModemManager busy for two seconds: it is asked once a scan and its answer awaited, so the
    // scan waits once, not once a port, and finds the terminals.
    startModemManager("2");
    QProcess child;
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), { "--slow-modemmanager-scan" });
    child.waitForFinished(60000);
    std::printf("  %-52s %12s (goal: one wait of 2 s, found)\n",
                "a scan of 3 ports, ModemManager taking 2 s to answer",
                child.readAllStandardOutput().trimmed().constData());
    for (QProcess *process : { &mock, &bus }) {
        process->kill();
        process->waitForFinished();
    }
}

// Child mode: a scan of three ports on the system bus it was given: seconds, and whether a
// terminal was found.
int slowModemManagerScan()
{
    SimulatedTerminal first, second, third;
    const QStringList ports { first.portPath(), second.portPath(), third.portPath() };
    const ScanFigures figures = timeScan(ports);
    std::printf("%.2f s, %s\n", figures.wallSeconds, figures.found ? "found" : "NOT FOUND");
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (QCoreApplication::arguments().contains("--guard-costs"))
        return guardCosts(200);
    if (QCoreApplication::arguments().contains("--slow-modemmanager-scan"))
        return slowModemManagerScan();
    std::printf("Quorvane benchmark (%d cores)\n", QThread::idealThreadCount());
    pumpCosts();
    exchangesAt2400();
    guardFigures();
    listingFigures();
    usbDeviceFigures();
    holderFigures();
    wholeScans();
    checkFigures();
    windowFigures();
    return 0;
}

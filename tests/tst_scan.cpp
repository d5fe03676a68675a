#include "benches.h"
#include "check/headless_check.h"
#include "simulated_modem.h"
#include "terminal/system/system_formats.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using Commands = std::vector<std::string>;

namespace {

const Commands AllCommands { "", "at", "at", "", "", "at+gmi" };

// A port the scan probes, whatever holds it, alone or with a healthy terminal after it when going
// on past the port is the point. The scan runs in this process, on a quarter of the budget of
// turns (a checkpoint every quarter of a second or so: the same rules in less time), or as the
// trial tool in a process of its own when `trial` is set.
struct Scene
{
    Scene() { bench.exchange.setPollBudget(CommandExchange::PollBudget / 4); }
    SimulatedTerminal subject;
    SimulatedTerminal healthy;
    QString port = subject.portPath();
    std::list<QProcess> others; // programs the row starts; the holder last
    QTemporaryDir root;
    QString foreignLock;
    ScanBench bench;
    QStringList trial;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const char *cannot = nullptr; // why this machine cannot play the row
    bool alone = true; // no healthy terminal after the port
    QStringList before; // lines of the scan's own before the port's

    QProcess &start(const QString &program, const QStringList &arguments)
    {
        QProcess &process = others.emplace_back();
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(root.path());
        process.start(program, arguments);
        process.waitForStarted();
        return process;
    }
    // Another program that holds the port, and says so with a line (sleep holds nothing).
    void hold(const QString &program, const QStringList &arguments)
    {
        QVERIFY(start(program, arguments).state() == QProcess::Running);
        if (program != "sleep")
            QVERIFY(others.back().waitForReadyRead(10000));
    }
    // The process started last: the holder, or ModemManager.
    QByteArray holderPid() const
    {
        return others.empty() ? QByteArray() : QByteArray::number(others.back().processId());
    }
    // The system's files below the played root, for the scan in this process or the trial's.
    void readPlayedRoot()
    {
        if (trial.isEmpty())
            bench.component.setSystemRoot(root.path());
        else if (!trial.contains("--system-root"))
            trial << "--system-root" << root.path();
    }
    // Something under the name of the port's lock, made by `make` at the path it is given.
    void lockWith(const std::function<int(const QByteArray &path)> &make)
    {
        foreignLock = lockPathOf(port);
        QCOMPARE(make(foreignLock.toLocal8Bit()), 0);
    }
    // Runs the scan over the port and the healthy terminal: the scan's result (the trial's
    // exit code), the lines logged and the lines of the log file.
    TrialRun scan()
    {
        bench.ports = alone ? QStringList { port } : QStringList { port, healthy.portPath() };
        if (trial.isEmpty())
            return { scanHere(), bench.lines, linesOfFile(bench.log.filePath()), {} };
        return runTrial(trial + bench.ports, bench.folder.path(), environment);
    }
    // A scan in this process over the bench's ports, asking the row's system bus.
    qint16 scanHere()
    {
        const QByteArray own = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS",
                environment.value("DBUS_SYSTEM_BUS_ADDRESS").toLocal8Bit());
        const qint16 found = bench.scan.CercaCell();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", own);
        return found;
    }
    ~Scene()
    {
        for (QProcess &process : others) {
            process.kill();
            process.waitForFinished();
        }
        ::remove(foreignLock.toLocal8Bit().constData()); // a file, a FIFO...
    }
};

using Setup = std::function<void(Scene &)>;

// Another program holding a port with a flock, in exclusive mode, or just open, under the name
// it is given; it says "ready" once it holds it.
const QStringList PythonHolder {
    "-c",
    "import fcntl, os, sys, termios, time\n"
    "if len(sys.argv) > 3: open('/proc/self/comm', 'w').write(sys.argv[3])\n"
    "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
    "if sys.argv[2] == 'flock': fcntl.flock(fd, fcntl.LOCK_EX)\n"
    "if sys.argv[2] == 'exclusive': fcntl.ioctl(fd, termios.TIOCEXCL)\n"
    "print('ready', flush=True)\n"
    "time.sleep(60)\n"
};

Setup heldWith(const char *how, const QString &name = "python3")
{
    return [=](Scene &s) {
        s.hold("/usr/bin/python3", PythonHolder + QStringList { s.port, how, name });
    };
}

// One setup after the other.
Setup both(Setup first, Setup second)
{
    return [=](Scene &s) {
        first(s);
        second(s);
    };
}

// Going on past the port to the healthy terminal is the point of the row.
Setup goingOn(Setup setup)
{
    return both(setup, [](Scene &s) { s.alone = false; });
}

// The holder's descriptors unseen: a played /proc with nothing but the locks the system lists
// and the holder's name.
Setup descriptorsUnseen(Setup holder)
{
    return [holder](Scene &s) {
        holder(s);
        QVERIFY(plant(s.root.path(),
                      { { "proc/locks", contentOf("/proc/locks") },
                        { "proc/" + s.holderPid() + "/comm",
                          contentOf("/proc/" + s.holderPid() + "/comm") } }));
        s.bench.component.setSystemRoot(s.root.path());
    };
}

// A terminal with its own reply to one command, paced or all at once.
Setup replyTo(const char *command, const QByteArray &text, bool paced = true)
{
    return [=](Scene &s) {
        s.subject.setPaced(paced);
        s.subject.setReply(command, text);
    };
}

// A device that is no terminal: it sends `text` every `interval` and answers nothing.
Setup streaming(int intervalMs, const QByteArray &text)
{
    return [=](Scene &s) {
        s.subject.setSilent(true);
        s.subject.sendEvery(std::chrono::milliseconds(intervalMs), text);
    };
}

// A minicom lock a minute old, of a process that runs (sleep), or of one that is gone.
Setup minicomLock(bool live)
{
    return [live](Scene &s) {
        s.hold("sleep", { live ? "60" : "0" });
        const QByteArray pid = s.holderPid();
        if (!live)
            QVERIFY(s.others.back().waitForFinished());
        s.lockWith([&](const QByteArray &path) {
            return writeFile(path, pid.rightJustified(10) + " minicom root\n", 60) ? 0 : -1;
        });
    };
}

// Files of the system's, below the played root, made from the port's device number ("136:3").
Setup systemFiles(Tree (*files)(QByteArray device))
{
    return [=](Scene &s) {
        struct stat info = {};
        ::stat(s.port.toLocal8Bit().constData(), &info);
        QVERIFY(plant(s.root.path(), files(deviceNumbers(info.st_rdev).toLatin1())));
        s.bench.component.setSystemRoot(s.root.path());
    };
}

// The trial run by user nobody, without groups, over the port owned by root and group dialout
// with `mode`, optionally held exclusively (by this process), and the healthy terminal open to
// all.
Setup asNobody(mode_t mode, bool exclusive = false)
{
    return [=](Scene &s) {
        if (geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty()) {
            s.cannot = "needs root and setpriv to act as an ordinary user";
            return;
        }
        s.trial = QStringList { "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                QUORVANE_TRIAL };
        QCOMPARE(::chown(s.port.toLocal8Bit().constData(), 0, 20), 0);
        QCOMPARE(::chmod(s.port.toLocal8Bit().constData(), mode), 0);
        QCOMPARE(::chmod(s.healthy.portPath().toLocal8Bit().constData(), 0666), 0);
        QVERIFY(s.subject.setExclusive(exclusive));
        QVERIFY(QFile::setPermissions(s.bench.folder.path(), QFileDevice::Permissions(0x7777)));
    };
}

// A lock in the lock folder any user may write, written by user nobody and naming a process: one
// of root's (this test), for which nobody holds no port, or one of nobody's own.
Setup nobodysLock(bool ofNobodysProcess)
{
    return [=](Scene &s) {
        if (geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty()) {
            s.cannot = "needs root and setpriv to act as an ordinary user";
            return;
        }
        QByteArray pid = QByteArray::number(::getpid());
        if (ofNobodysProcess) {
            s.start("setpriv",
                    { "--reuid=65534", "--regid=65534", "--clear-groups", "sleep", "60" });
            pid = s.holderPid();
            QTRY_COMPARE(contentOf("/proc/" + pid + "/comm"), QByteArray("sleep\n"));
        }
        s.lockWith([&](const QByteArray &path) {
            return writeFile(path, pid.rightJustified(10) + " minicom nobody\n")
                ? ::chown(path, 65534, 65534)
                : -1;
        });
    };
}

// Counts the events of a 50 ms timer served before the port's "Verifica" line, and holds them to
// `enough`: how long ModemManager's answer was waited for, by the events served meanwhile.
Setup ticksBeforeThePort(bool (*enough)(int ticks))
{
    return [=](Scene &s) {
        auto *timer = new QTimer(&s.bench.log);
        auto ticks = std::make_shared<int>(0);
        QObject::connect(timer, &QTimer::timeout, [ticks] { ++*ticks; });
        QObject::connect(&s.bench.log, &ActivityLog::lineAdded, [=](const QString &line) {
            if (line.contains("Verifica"))
                QVERIFY2(enough(*ticks), qPrintable(QString::number(*ticks)));
        });
        timer->start(50);
    };
}

// A private system bus for the trial, by `policy` (allowing all when empty); its address. The bus
// could start ModemManager for a question (which would leave the file "started"), but is never
// to be asked to.
QString privateBus(Scene &s, const QByteArray &policy = QByteArray())
{
    const QString config = s.root.filePath("bus.conf");
    writeFile(s.root.filePath("services/mm.service"),
              "[D-BUS Service]\nName=org.freedesktop.ModemManager1\nExec=/usr/bin/touch "
                  + s.root.filePath("started").toLocal8Bit() + "\n");
    writeFile(config,
              "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
              "<auth>EXTERNAL</auth><servicedir>"
                  + s.root.filePath("services").toLocal8Bit()
                  + "</servicedir><policy context=\"default\"><allow send_destination=\"*\" "
                    "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                  + policy + "</policy></busconfig>");
    QProcess &bus =
        s.start("dbus-daemon", { "--config-file=" + config, "--nofork", "--print-address=1" });
    if (!bus.waitForReadyRead(10000))
        return QString();
    const QString address = QString::fromLatin1(bus.readLine().trimmed());
    s.environment.insert("DBUS_SYSTEM_BUS_ADDRESS", address);
    return address;
}

// ModemManager on a private system bus, played by python-dbusmock with one modem, by the mock's
// parameters (JSON members; PORT stands for the port's name below /dev); only the bus when there
// are none. The bus may refuse to pass it any question.
Setup modemManager(const QString &parameters, bool refused = false)
{
    return [=](Scene &s) {
        const QString address = privateBus(
            s, refused ? "<deny send_destination=\"org.freedesktop.ModemManager1\"/>" : "");
        QVERIFY(!address.isEmpty());
        if (parameters.isEmpty())
            return;
        s.start("/usr/bin/python3",
                { "-m", "dbusmock", "--system", "-t", QUORVANE_MODEMMANAGER_MOCK, "-l",
                  s.root.filePath("modemmanager.log"), "-p",
                  "{\"device\": \"/sys/devices/usb1/1-2\", "
                      + QString(parameters).replace("PORT", s.port.mid(5)) + "}" });
        QDBusConnection connection = QDBusConnection::connectToBus(address, "mock");
        QTRY_VERIFY_WITH_TIMEOUT(
            connection.interface()->isServiceRegistered("org.freedesktop.ModemManager1"), 30000);
        QDBusConnection::disconnectFromBus("mock");
    };
}

// udev's record of the port (or the healthy terminal's), initialised `ageSeconds` ago.
Setup recorded(const QByteArray &properties, int ageSeconds, bool ofHealthy = false)
{
    return [=](Scene &s) {
        struct stat info = {};
        ::stat((ofHealthy ? s.healthy.portPath() : s.port).toLocal8Bit().constData(), &info);
        timespec now = {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        QVERIFY(writeFile(s.root.filePath("run/udev/data/c" + deviceNumbers(info.st_rdev)),
                          "I:" + QByteArray::number((now.tv_sec - ageSeconds) * 1000000LL) + "\n"
                              + properties));
        s.readPlayedRoot();
    };
}

// The port as the first port of a USB device ("vvvv:pppp") behind a USB-serial driver, as sysfs
// shows it (the interface bound to `driver`, the port to `portDriver`, the class entry and the
// device number's link), and udev's record of it: ModemManager's candidate, with `tags`, handed
// over `ageSeconds` ago.
Setup usbSerialPort(const QByteArray &ids, const QByteArray &driver, const QByteArray &portDriver,
                    const QByteArray &tags = {}, int ageSeconds = 5)
{
    return [=](Scene &s) {
        struct stat info = {};
        ::stat(s.port.toLocal8Bit().constData(), &info);
        const QByteArray device = deviceNumbers(info.st_rdev).toLatin1();
        const QByteArray interface = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0";
        const QByteArray port = interface + "/ttyUSB0";
        const QByteArray toSys = "../../../../../../";
        QVERIFY(
            plant(s.root.path(),
                  { { "sys/bus/usb/drivers/" + driver + "/new_id", {} },
                    { "sys/bus/usb-serial/drivers/" + portDriver + "/new_id", {} },
                    { interface + "/../idVendor", ids.left(4) + "\n" },
                    { interface + "/../idProduct", ids.mid(5) + "\n" },
                    { interface + "/bInterfaceNumber", "00\n" },
                    { interface + "/bInterfaceClass", "ff\n" },
                    { interface + "/driver", "-> " + toSys + "bus/usb/drivers/" + driver },
                    { interface + "/subsystem", "-> " + toSys + "bus/usb" },
                    { port + "/driver", "-> ../" + toSys + "bus/usb-serial/drivers/" + portDriver },
                    { port + "/tty/ttyUSB0/dev", device + "\n" },
                    { port + "/tty/ttyUSB0/device", "-> ../../../ttyUSB0" },
                    { "sys/class/tty/ttyUSB0", "-> ../../" + port.mid(4) + "/tty/ttyUSB0" },
                    { "sys/dev/char/" + device, "-> ../../" + port.mid(4) + "/tty/ttyUSB0" } }));
        recorded("E:ID_MM_CANDIDATE=1\n" + tags, ageSeconds)(s);
    };
}

// Played sysfs of modems: a USB device ("vvvv:pppp") with its strings when it has them, a PCI
// function, and an entry of a class in a folder below a device.
const QByteArray Usb = "sys/devices/pci0000:00/0000:00:14.0/usb2/2-3";
const QByteArray Pci = "sys/devices/pci0000:00/0000:00:1c.0/0000:03:00.0";

Tree usbDevice(const QByteArray &ids, const QByteArray &manufacturer = {},
               const QByteArray &product = {})
{
    Tree tree { { Usb + "/idVendor", ids.left(4) + "\n" }, { Usb + "/idProduct", ids.mid(5) } };
    if (!product.isEmpty())
        tree += Tree { { Usb + "/manufacturer", manufacturer }, { Usb + "/product", product } };
    return tree;
}

Tree classEntry(const QByteArray &folder, const QByteArray &className, const QByteArray &name,
                const QByteArray &uevent = {})
{
    const QByteArray entry = folder + "/" + name;
    return { { entry + "/uevent", uevent },
             { "sys/class/" + className + "/" + name, "-> ../../" + entry.mid(4) } };
}

// An interface of a played USB device: its number, its class, subclass and protocol ("ff ff ff"),
// the driver bound to it (none when empty), its own string, and what hangs below its folder
// (given relative to it).
struct Function
{
    int number;
    QByteArray classes;
    QByteArray driver = {};
    QByteArray description = {};
    Tree below = {};
};

// A configuration descriptor with its interfaces' descriptors, each followed by an endpoint's, as
// the device sends them.
QByteArray configurationDescriptor(int value, const QList<Function> &functions)
{
    QByteArray interfaces;
    for (const Function &function : functions) {
        const QList<QByteArray> classes = function.classes.split(' ');
        interfaces += QByteArray("\x09\x04", 2) + char(function.number) + QByteArray(2, '\0');
        for (const QByteArray &number : classes)
            interfaces += char(number.toInt(nullptr, 16));
        interfaces += '\0';
        interfaces += QByteArray("\x07\x05\x81\x03\x10\x00\x09", 7); // an endpoint
    }
    const int total = 9 + int(interfaces.size());
    return QByteArray("\x09\x02", 2) + char(total & 0xff) + char(total >> 8)
        + char(functions.size()) + char(value) + QByteArray("\x00\x80\x32", 3) + interfaces;
}

// A USB device ("vvvv:pppp") plugged into socket 2-3 as sysfs shows it: its folder below
// the controller and its link among the bus's devices, its attributes and raw descriptors, each
// interface with its attributes, driver and subsystem links, and its link on the bus; `other`
// holds the interfaces of a second configuration, not in use.
Tree plugged(const QByteArray &ids, const QByteArray &manufacturer, const QByteArray &product,
             const QList<Function> &functions, const QList<Function> &other = {})
{
    const QByteArray name = "2-3";
    const QByteArray device = "devices/pci0000:00/0000:00:14.0/usb2/" + name;
    const QByteArray folder = "sys/" + device;
    const int vendor = ids.left(4).toInt(nullptr, 16), productId = ids.mid(5).toInt(nullptr, 16);
    const QByteArray configurations = QByteArray::number(other.isEmpty() ? 1 : 2);
    QByteArray descriptors = QByteArray("\x12\x01\x00\x02\x00\x00\x00\x40", 8) + char(vendor & 0xff)
        + char(vendor >> 8) + char(productId & 0xff) + char(productId >> 8)
        + QByteArray("\x00\x01\x01\x02\x03", 5) + char(configurations.toInt())
        + configurationDescriptor(1, functions);
    if (!other.isEmpty())
        descriptors += configurationDescriptor(2, other);
    Tree tree { { "sys/bus/usb/devices/" + name, "-> ../../../" + device },
                { folder + "/subsystem", "-> ../../../../../bus/usb" },
                { folder + "/driver", "-> ../../../../../bus/usb/drivers/usb" },
                { folder + "/idVendor", ids.left(4) + "\n" },
                { folder + "/idProduct", ids.mid(5) + "\n" },
                { folder + "/busnum", "2\n" },
                { folder + "/devnum", "3\n" },
                { folder + "/bNumConfigurations", configurations + "\n" },
                { folder + "/bConfigurationValue", "1\n" },
                { folder + "/descriptors", descriptors } };
    if (!manufacturer.isEmpty())
        tree += Tree { { folder + "/manufacturer", manufacturer + "\n" } };
    if (!product.isEmpty())
        tree += Tree { { folder + "/product", product + "\n" } };
    for (const Function &function : functions) {
        const QByteArray interface = name + ":1." + QByteArray::number(function.number);
        const QByteArray at = folder + "/" + interface;
        const QList<QByteArray> classes = function.classes.split(' ');
        tree += Tree { { "sys/bus/usb/devices/" + interface,
                         "-> ../../../" + device + "/" + interface },
                       { at + "/subsystem", "-> ../../../../../../bus/usb" },
                       { at + "/bInterfaceNumber",
                         QByteArray::number(function.number, 16).rightJustified(2, '0') + "\n" },
                       { at + "/bInterfaceClass", classes.value(0) + "\n" },
                       { at + "/bInterfaceSubClass", classes.value(1) + "\n" },
                       { at + "/bInterfaceProtocol", classes.value(2) + "\n" } };
        if (!function.driver.isEmpty())
            tree += Tree { { at + "/driver",
                             "-> ../../../../../../bus/usb/drivers/" + function.driver } };
        if (!function.description.isEmpty())
            tree += Tree { { at + "/interface", function.description + "\n" } };
        for (const auto &[path, content] : function.below)
            tree += Tree { { at + "/" + path, content } };
    }
    return tree;
}

// usb-modeswitch as Debian installs it: the program, and its data's rules for a ZTE modem and for
// every Huawei modem (a rule put out of use names another).
const Tree ModeSwitch {
    { "usr/sbin/usb_modeswitch", "" },
    { "lib/udev/rules.d/40-usb_modeswitch.rules",
      "# Generic entry for most Huawei devices, excluding Android phones\n"
      "ATTRS{idVendor}==\"12d1\", ATTRS{manufacturer}!=\"Android\", "
      "ATTR{bInterfaceNumber}==\"00\", "
      "ATTR{bInterfaceClass}==\"08\", RUN+=\"usb_modeswitch '%b/%k'\"\n\n"
      "# ZTE devices\n"
      "# ATTR{idVendor}==\"19d2\", ATTR{idProduct}==\"1234\", RUN+=\"usb_modeswitch '/%k'\"\n"
      "ATTR{idVendor}==\"19d2\", ATTR{idProduct}==\"2000\", RUN+=\"usb_modeswitch '/%k'\"\n" },
    { "usr/share/usb_modeswitch/configPack.tar.gz", "" },
};

// A process below the played proc: its name and, when it is seen to hold one, its descriptor of a
// device.
Tree playedProcess(const QByteArray &pid, const QByteArray &name, const QByteArray &holds = {})
{
    Tree tree { { "proc/" + pid + "/comm", name + "\n" } };
    if (!holds.isEmpty())
        tree += Tree { { "proc/" + pid + "/fd/7", "-> " + holds } };
    return tree;
}

} // namespace

Q_DECLARE_METATYPE(Setup)

// Whole scans, where the whole path matters: one row for each kind of device and holder, the
// consoles, ModemManager and the ordinary user.
class TestScan : public QObject
{
    Q_OBJECT

    // A check from a terminal of the played root, which has no serial port: it ends with the
    // not-found result, and after "Nessuna porta seriale trovata." it says the line of each device
    // its document lists (the lines `expected`, when given).
    static void checkWithoutPorts(Scene &s, QJsonArray &devices,
                                  const QStringList *expected = nullptr)
    {
        const TrialRun run = runTrial({ QUORVANE_TRIAL, "--json", "--system-root", s.root.path() },
                                      s.bench.folder.path(), s.environment);
        QCOMPARE(run.exitCode, 1);
        const QJsonDocument report = QJsonDocument::fromJson(run.printed.join('\n').toUtf8());
        devices = report["devices"].toArray();
        QStringList lines { "Nessuna porta seriale trovata." };
        for (const QJsonValue device : std::as_const(devices))
            lines << device["message"].toString();
        QCOMPARE(messagesOf(run.logged),
                 QStringList { "Ricerca del terminale in corso, attendere..." } + lines
                     + NotFoundAdvice);
        QCOMPARE(report["messages"].toVariant().toStringList(), lines);
        if (expected)
            QCOMPARE(lines.mid(1), *expected);
    }

private Q_SLOTS:
    // ModemManager is asked once for a scan of three ports, and afresh by the next scan (a modem
    // lent with mmcli meanwhile is free then).
    void modemManagerAskedOnceAScan()
    {
        Scene s;
        modemManager(R"("ports": ["PORT"], "manufacturer": "Quectel")")(s);
        auto questions = [&s] {
            return contentOf(s.root.filePath("modemmanager.log")).count("GetManagedObjects");
        };
        SimulatedTerminal third;
        s.bench.ports = { s.port, s.healthy.portPath(), third.portPath() };
        QCOMPARE(s.scanHere(), qint16(1));
        QCOMPARE(messagesOf(s.bench.lines).count("Trovato: -SIEMENS-"), 2);
        QCOMPARE(questions(), 1);
        s.bench.ports = { s.port };
        s.scanHere();
        QCOMPARE(questions(), 2);
    }

    // A bus daemon stopped (hung, or overloaded) holds no check: ModemManager counts as silent
    // after its five seconds, and a terminal is found; Ctrl-C during that wait ends the check.
    void stalledSystemBus()
    {
        Scene s;
        QVERIFY(!privateBus(s).isEmpty());
        QCOMPARE(::kill(pid_t(s.others.back().processId()), SIGSTOP), 0);
        const TrialRun run =
            runTrial({ QUORVANE_TRIAL, s.port }, s.bench.folder.path(), s.environment);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(messagesOf(run.printed),
                 (QStringList { "Ricerca del terminale in corso, attendere...",
                                "ModemManager non risponde: le porte che potrebbe usare non "
                                "vengono verificate.",
                                "Verifica " + s.port + " in corso...", "Trovato: -SIEMENS-" }));
        QProcess &check = s.start(QUORVANE_TRIAL, { s.port });
        QVERIFY(check.waitForReadyRead(10000)); // the search has started: the wait is on
        ::kill(pid_t(check.processId()), SIGINT);
        QVERIFY(check.waitForFinished(10000));
        QCOMPARE(check.exitCode(), 130);
        // In one program, a scan after one whose question is still stuck does not wait again.
        s.bench.ports = { s.port };
        s.scanHere();
        ticksBeforeThePort([](int ticks) { return ticks < 60; })(s);
        s.scanHere();
        QCOMPARE(messagesOf(s.bench.lines).count("Trovato: -SIEMENS-"), 2);
    }

    // A modem of four ports that ModemManager manages: not a byte to any; its diagnostic and GPS
    // ports named as such, a terminal found on each of its AT ports with the port's stable path,
    // the primary one said so.
    void managedModemFoundOnItsAtPorts()
    {
        Scene s;
        SimulatedModem modem(false);
        QVERIFY(modem.isValid());
        QStringList names;
        for (int i = 0; i < 4; ++i)
            names << modem.portName(i);
        modemManager(QString(R"("ports": [["%1", 4], ["%2", 5], ["%3", 3], ["%4", 3]], )"
                             R"("primary": "%3", "manufacturer": "Quectel")")
                         .arg(names[0], names[1], names[2], names[3]))(s);
        s.bench.ports = modem.portPaths();
        s.bench.component.setSystemRoot(modem.systemRoot());
        QCOMPARE(s.scanHere(), qint16(3));
        QStringList expected { "Ricerca del terminale in corso, attendere..." };
        const QStringList parts {
            "La porta %1 \u00e8 la porta diagnostica (QCDM) del modem: non "
            "viene verificata.",
            "La porta %1 \u00e8 la porta GPS del modem: non viene verificata.",
            "La porta %1 \u00e8 gestita da ModemManager. Per liberarla durante "
            "la verifica: mmcli --inhibit-device=/sys/devices/usb1/1-2"
        };
        for (int i = 0; i < 4; ++i) {
            const QString port = modem.portPaths().at(i);
            expected << "Verifica " + port + " in corso..."
                     << QString("Dispositivo: Quectel EC25 (USB 2c7c:0125, interfaccia %1%2).")
                            .arg(QString::number(i), i == 2 ? ", porta AT principale" : "")
                     << parts.at(qMin(i, 2)).arg(port);
            if (i >= 2)
                expected << "Trovato: -Quectel-"
                         << "Percorso stabile: " + modem.stablePath(i);
            QCOMPARE(modem.port(i).bytesReceived(), 0);
        }
        QCOMPARE(messagesOf(s.bench.lines), expected);
        // For a script, one modem: its two AT ports share the USB device's path and serial.
        const QJsonArray terminals =
            QJsonDocument::fromJson(checkReport(s.bench.scan))["terminals"].toArray();
        QCOMPARE(terminals.size(), 2);
        for (const QJsonValue terminal : terminals) {
            QCOMPARE(terminal["device"]["usb_path"], "1-2");
            QCOMPARE(terminal["device"]["serial"], "0123456789ABCDEF");
        }
    }

    // A machine where a modem is, and no serial port of it: the scan says why no terminal was
    // found, once a device, from sysfs and ModemManager's answer (its mock's parameters, when
    // there are).
    void modemsWithoutSerialPorts_data()
    {
        QTest::addColumn<Tree>("tree");
        QTest::addColumn<QString>("managed");
        QTest::addColumn<QStringList>("lines");
        const QString qmiOnly = " non ha porte seriali (solo QMI o MBIM): non pu\u00f2 essere "
                                "verificato.";
        const QString noTty = ", che non \u00e8 una porta seriale: non viene verificata.";
        const Tree wdm = classEntry(Usb + "/2-3:1.8/usbmisc", "usbmisc", "cdc-wdm0");
        const Tree wwanNet = classEntry(Usb + "/2-3:1.8/net", "net", "wwan0", "DEVTYPE=wwan\n");
        row("a QMI modem",
            usbDevice("1199:9071", "Sierra Wireless, Inc.", "EM7455") + wdm + wwanNet, QString(),
            QStringList { "Il modem Sierra Wireless, Inc. EM7455 (USB 1199:9071)" + qmiOnly });
        row("an MBIM modem", usbDevice("2c7c:0512", "Quectel", "Quectel EM12-G") + wdm, QString(),
            QStringList { "Il modem Quectel EM12-G (USB 2c7c:0512)" + qmiOnly });
        row("an MBIM modem without strings, by the WWAN class",
            usbDevice("1bc7:1061") + wwanNet
                + classEntry(Usb + "/2-3:1.2/wwan/wwan0", "wwan", "wwan0mbim0"),
            QString(), QStringList { "Il modem USB 1bc7:1061" + qmiOnly });
        row("a QMI modem with serial ports",
            usbDevice("2c7c:0125", "Quectel", "EC25") + wdm
                + Tree { { Usb + "/2-3:1.2/ttyUSB2/tty/ttyUSB2/dev", "188:2\n" } },
            QString(), QStringList {});
        const QByteArray ports = Pci + "/wwan/wwan0";
        row("a PCIe WWAN port",
            Tree { { Pci + "/vendor", "0x8086\n" },
                   { Pci + "/device", "0x7360\n" },
                   { Pci + "/subsystem", "-> ../../../../bus/pci" } }
                + classEntry(Pci + "/wwan", "wwan", "wwan0") + classEntry(ports, "wwan", "wwan0at3")
                + classEntry(ports, "wwan", "wwan0at2") + classEntry(ports, "wwan", "wwan0at1")
                + classEntry(ports, "wwan", "wwan0at0") + classEntry(ports, "wwan", "wwan0xmmrpc0"),
            QString(), QStringList { "Il modem PCI 8086:7360 ha la porta AT wwan0at0" + noTty });
        // Its serial ports were checked: ModemManager's line would say it has none.
        row("a managed modem with a WWAN port on USB, and serial ports",
            usbDevice("2c7c:0800", "Quectel", "RM500Q") + wdm
                + classEntry(Usb + "/2-3:1.4/wwan/wwan0", "wwan", "wwan0at0")
                + Tree { { Usb + "/2-3:1.2/ttyUSB2/tty/ttyUSB2/dev", "188:2\n" } },
            QString(R"("ports": [["cdc-wdm0", 6], ["wwan0at0", 3], ["ttyUSB2", 3]])"),
            QStringList { "Il modem USB 2c7c:0800 ha la porta AT wwan0at0" + noTty });
        row("a managed MBIM modem", usbDevice("2c7c:0512") + wdm + wwanNet,
            QString(R"("ports": [["cdc-wdm0", 7], ["wwan0", 2]], "manufacturer": "Quectel", )"
                    "\"model\": \"EM12-G\\u001b[2J\", \"device\": \"/sys/x\\u0007\""),
            QStringList { "ModemManager gestisce il modem Quectel EM12-G?[2J (/sys/x?), che non "
                          "ha porte seriali da verificare." });
    }
    void modemsWithoutSerialPorts()
    {
        QFETCH(Tree, tree);
        QFETCH(QString, managed);
        QFETCH(QStringList, lines);
        Scene s;
        QVERIFY(plant(s.root.path(), tree));
        if (!managed.isEmpty())
            modemManager(managed)(s);
        QJsonArray devices;
        checkWithoutPorts(s, devices, &lines);
    }

    // Devices plugged in that offer no serial port: a modem, a phone or a serial adapter gets the
    // line of its cause, naming it and ending with its fix, and the document its cause and fix;
    // any other device stays silent.
    void devicesWithoutPorts_data()
    {
        QTest::addColumn<Tree>("tree");
        QTest::addColumn<QString>("cause"); // none: the device is told of by no line
        QTest::addColumn<QString>("says"); // the device and what the line says of it
        QTest::addColumn<QString>("fix");
        const Function storage { 0,
                                 "08 06 50",
                                 "usb-storage",
                                 {},
                                 { { "host6/target6:0:0/6:0:0:0/block/sr0/dev", "11:0\n" } } };
        const Tree e3372 = plugged("12d1:1f01", "HUAWEI_MOBILE", "HUAWEI_MOBILE", { storage });
        row("a modem in storage mode, usb-modeswitch missing", e3372, "storage_mode",
            "Il modem HUAWEI_MOBILE (USB 12d1:1f01) \u00e8 ancora in modalit\u00e0 CD-ROM",
            "sudo apt install usb-modeswitch");
        row("a modem in storage mode, named by usb-modeswitch's rules",
            plugged("19d2:2000", "ZTE,Incorporated", "ZTE WCDMA Technologies MSM", { storage })
                + ModeSwitch,
            "storage_mode", "non lo ha commutato in modem. Per commutarlo a mano: ",
            "tar -xzf /usr/share/usb_modeswitch/configPack.tar.gz -C /tmp 19d2:2000 && sudo "
            "usb_modeswitch -v 0x19d2 -p 0x2000 -c /tmp/19d2:2000");
        row("a modem in storage mode, taken by its vendor's rule", e3372 + ModeSwitch,
            "storage_mode", "(USB 12d1:1f01)", "sudo usb_modeswitch -v 0x12d1 -p 0x1f01 -J");
        row("a modem in storage mode that usb-modeswitch does not know",
            plugged("19d2:1234", "ZTE,Incorporated", "ZTE Mobile Broadband", { storage })
                + ModeSwitch,
            "storage_mode", "non conoscono questo modello", "");

        const Tree ch340 =
            plugged("1a86:7523", "", "USB2.0-Serial", { { 0, "ff 01 02", "usbfs" } });
        const QString brltty = "sudo apt remove brltty";
        row("an adapter brltty holds through usbfs",
            ch340 + playedProcess("4242", "brltty", "/dev/bus/usb/002/003"), "usbfs",
            "L'adattatore seriale USB2.0-Serial (USB 1a86:7523) \u00e8 occupato da brltty "
            "(processo 4242)",
            brltty);
        row("an adapter held through usbfs while another user's brltty runs",
            ch340 + playedProcess("812", "brltty") + playedProcess("90", "bash", "/dev/pts/0"),
            "usbfs", "con ogni probabilit\u00e0 brltty (processo 812)", brltty);
        const Tree ftdi = plugged("0403:6010", "FTDI", "Dual RS232-HS",
                                  { { 0, "ff ff ff", "usbfs" }, { 1, "ff ff ff", "usbfs" } });
        row("an adapter a named program holds through usbfs",
            ftdi + playedProcess("77", "openocd", "/dev/bus/usb/002/003"), "usbfs",
            "\u00e8 occupato da openocd (processo 77)", "");
        row("an adapter held through usbfs by a program unseen", ftdi, "usbfs",
            "da un programma che non si pu\u00f2 identificare",
            "sudo fuser -v /dev/bus/usb/002/003");

        row("a modem no driver knows",
            plugged("2c7c:0801", "Quectel", "RM520N-GL",
                    { { 0, "ff ff 30" }, { 1, "ff 00 00" }, { 2, "ff 00 00" }, { 3, "ff 00 00" } }),
            "no_driver", "Il modem Quectel RM520N-GL (USB 2c7c:0801) ha le interfacce 0, 1, 2, 3",
            "sudo modprobe option && echo 2c7c 0801 | sudo tee "
            "/sys/bus/usb-serial/drivers/option1/new_id");
        // Its serial functions are there, only unbound: not a modem of QMI or MBIM alone.
        row("serial functions without a driver beside MBIM",
            plugged("413c:81b6", "Sierra Wireless, Incorporated", "DW5811e Snapdragon X7 LTE",
                    { { 0, "ff ff ff" },
                      { 2, "ff ff ff" },
                      { 3, "ff ff ff" },
                      { 12, "02 0e 00", "cdc_mbim", {}, { { "usbmisc/cdc-wdm0/dev", "180:0\n" } } },
                      { 13, "0a 00 02", "cdc_mbim" } })
                + classEntry(Usb + "/2-3:1.12/usbmisc", "usbmisc", "cdc-wdm0")
                + classEntry(Usb + "/2-3:1.12/net", "net", "wwan0",
                             "INTERFACE=wwan0\nDEVTYPE=wwan\n"),
            "no_driver", "ha le interfacce 0, 2, 3 senza driver",
            "sudo modprobe option && echo 413c 81b6 ff | sudo tee "
            "/sys/bus/usb-serial/drivers/option1/new_id");
        const Function adb { 1, "ff 42 01" };
        row("a phone in file transfer",
            plugged("18d1:4ee2", "Google", "Pixel 7", { { 0, "06 01 01", {}, "MTP" }, adb }),
            "file_transfer",
            "Il telefono Google Pixel 7 (USB 18d1:4ee2) \u00e8 collegato per il trasferimento di "
            "file (MTP)",
            "");
        row("a phone in PTP", plugged("18d1:4ee6", "Google", "Pixel 7", { { 0, "06 01 01" } }),
            "file_transfer", "(PTP)", "");
        row("a modem in network mode",
            plugged("12d1:14dc", "HUAWEI_MOBILE", "HUAWEI_MOBILE",
                    { { 0, "02 06 00", "cdc_ether" },
                      { 1, "0a 00 00", "cdc_ether" },
                      { 2, "08 06 50", "usb-storage" } })
                + classEntry(Usb + "/2-3:1.0/net", "net", "eth1", "INTERFACE=eth1\n"),
            "network_mode",
            "Il modem HUAWEI_MOBILE (USB 12d1:14dc) \u00e8 in modalit\u00e0 rete (interfaccia "
            "eth1)",
            "");
        const QByteArray pci = "devices/pci0000:00/0000:00:1c.0/0000:03:00.0";
        auto pciFunction = [&pci](const QByteArray &ids, const QByteArray &pciClass,
                                  const QByteArray &driver) {
            Tree tree { { "sys/bus/pci/devices/0000:03:00.0", "-> ../../../" + pci },
                        { "sys/" + pci + "/subsystem", "-> ../../../../bus/pci" },
                        { "sys/" + pci + "/vendor", "0x" + ids.left(4) + "\n" },
                        { "sys/" + pci + "/device", "0x" + ids.mid(5) + "\n" },
                        { "sys/" + pci + "/class", pciClass + "\n" } };
            if (!driver.isEmpty())
                tree += Tree { { "sys/" + pci + "/driver",
                                 "-> ../../../../bus/pci/drivers/" + driver } };
            return tree;
        };
        row("a PCIe modem no driver took", pciFunction("8086:7360", "0x0d4000", {}),
            "pci_no_driver", "Il modem PCI 8086:7360 non \u00e8 gestito da alcun driver",
            "lspci -k -s 0000:03:00.0");
        row("a phone with its modem in another configuration",
            plugged("04e8:6860", "SAMSUNG", "SAMSUNG_Android",
                    { { 0, "06 01 01", {}, "MTP" }, adb },
                    { { 0, "02 02 01" }, { 1, "0a 00 00" } }),
            "other_configuration",
            "Il telefono SAMSUNG_Android (USB 04e8:6860) ha il modem nella configurazione USB 2, "
            "ma usa la 1",
            "echo 2 | sudo tee /sys/bus/usb/devices/2-3/bConfigurationValue");

        auto silent = [](const char *tag, const Tree &tree) { row(tag, tree, "", "", ""); };
        silent("a USB stick", plugged("0781:5581", "SanDisk", "Ultra", { storage }) + ModeSwitch);
        silent("a card reader", plugged("05e3:0749", "Generic", "USB3.0 Card Reader", { storage }));
        silent("a webcam",
               plugged("046d:0825", "", "",
                       { { 0, "0e 01 00", "uvcvideo" },
                         { 1, "0e 02 00", "uvcvideo" },
                         { 2, "01 01 00", "snd-usb-audio" } }));
        silent(
            "a USB Ethernet adapter",
            plugged("0bda:8153", "Realtek", "USB 10/100/1000 LAN", { { 0, "ff ff 00", "r8152" } })
                + classEntry(Usb + "/2-3:1.0/net", "net", "enx00e04c680001",
                             "INTERFACE=enx00e04c680001\n"));
        // fprintd holds it through usbfs while it reads a finger.
        silent(
            "a fingerprint reader",
            plugged("27c6:5110", "Goodix", "Goodix USB2.0 MISC", { { 0, "ff 00 00", "usbfs" } }));
        // Its serial ports are checked; the interface its network driver would take is unbound.
        const Function option0 {
            0, "ff ff ff", "option", {}, { { "ttyUSB0/tty/ttyUSB0/dev", "188:0\n" } }
        };
        silent("a modem with its serial ports",
               plugged("2c7c:0125", "Quectel", "EC25", { option0, { 4, "ff ff ff" } }));
        silent("a DVB stick",
               plugged("0bda:2838", "Realtek", "RTL2838UHIDIR",
                       { { 0, "ff ff ff", "dvb_usb_rtl28xxu" }, { 1, "ff ff ff" } }));
        silent("a camera in PTP",
               plugged("04a9:31e7", "Canon Inc.", "Canon Digital Camera", { { 0, "06 01 01" } }));
        // Sharing its connection, with USB debugging off as it comes.
        silent("a phone sharing its connection",
               plugged("12d1:108a", "HUAWEI", "ELE-L29",
                       { { 0, "e0 01 03", "rndis_host" }, { 1, "0a 00 00", "rndis_host" } })
                   + classEntry(Usb + "/2-3:1.0/net", "net", "usb0", "INTERFACE=usb0\n"));
        silent("a printer",
               plugged("03f0:c311", "HP", "ENVY 5000 series",
                       { { 0, "ff cc 00" },
                         { 1, "07 01 02", "usblp", {}, { { "usbmisc/lp0/dev", "180:0\n" } } } })
                   + classEntry(Usb + "/2-3:1.1/usbmisc", "usbmisc", "lp0"));
        // A board running Linux's Ethernet gadget: its RNDIS in the configuration not in use.
        silent("a gadget with RNDIS in its other configuration",
               plugged("0525:a4a2", "Linux 6.1.21+ with 20980000.usb", "RNDIS/Ethernet Gadget",
                       { { 0, "02 06 00", "cdc_ether" }, { 1, "0a 00 00", "cdc_ether" } },
                       { { 0, "02 02 ff" }, { 1, "0a 00 00" } }));
        silent("a PCIe modem with its driver", pciFunction("8086:7360", "0x0d4000", "iosm"));
        silent("a network controller without a driver", pciFunction("8086:15f3", "0x020000", {}));
    }
    void devicesWithoutPorts()
    {
        QFETCH(Tree, tree);
        QFETCH(QString, cause);
        QFETCH(QString, says);
        QFETCH(QString, fix);
        Scene s;
        QVERIFY(plant(s.root.path(), tree));
        QJsonArray devices;
        checkWithoutPorts(s, devices);
        QCOMPARE(devices.size(), cause.isEmpty() ? 0 : 1);
        if (cause.isEmpty())
            return;
        const QString line = devices.at(0)["message"].toString();
        QVERIFY2(line.contains(says), qPrintable(line));
        QVERIFY2(fix.isEmpty() || line.contains(fix), qPrintable(line));
        QCOMPARE(devices.at(0)["cause"].toString(), cause);
        QCOMPARE(devices.at(0)["fix"].toString(), fix);
    }

    // The scan probes a port, then goes on to a healthy terminal on the next port. A port that
    // another program holds, ModemManager's or a console gets not a byte: its line settings,
    // exclusive flag and lock file stay as they were.
    void scanGoesOnPastThePort_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QStringList>("lines"); // the first port's, after "Verifica"
        QTest::addColumn<Commands>("commands");
        QTest::addColumn<bool>("held");
        // A port that is probed, with the commands it gets; one kept out, which gets none.
        auto probed = [](const char *tag, Setup setup, QStringList lines,
                         Commands commands = AllCommands) {
            row(tag, setup, lines, commands, false);
        };
        auto kept = [](const char *tag, Setup setup, QString line) {
            row(tag, setup, QStringList { line }, Commands {}, true);
        };
        const QStringList none, siemens { "Trovato: -SIEMENS-" };
        probed("at refused", replyTo("at", "\r\nERROR\r\n"), siemens);
        probed("identification with OK and an error",
               replyTo("at+gmi", "\r\nSIEMENS\r\nOK\r\nERROR\r\n", false), none);
        // Bytes that would end the line, move the cursor or clear the screen of whoever reads
        // the log file with cat reach it as "?"; other Latin-1 bytes stay as they came.
        probed(
            "control bytes in the name",
            replyTo("at+gmi",
                    QByteArray("\r\nSIE\x00MENS\xff\x7f\x85\x1b[2J\x1b]0;x\x07\r\n\r\nOK\r\n", 29)),
            { QString::fromLatin1("Trovato: -SIE?MENS\xff???[2J?]0;x?-") });
        probed("unplugged during an exchange",
               goingOn([](Scene &s) { s.subject.hangUpOnCommand(2); }), none, { "", "at" });
        probed("unplugged during the settling wait", goingOn([](Scene &s) {
                   // Right after the port opens: the first events pumped are the wait's.
                   QObject::connect(&s.bench.log, &ActivityLog::lineAdded, [&s](QString line) {
                       if (line.endsWith("Verifica " + s.port + " in corso..."))
                           QTimer::singleShot(0, [&s] { s.subject.hangUp(); });
                   });
               }),
               none, {});
        // Devices that are no terminal: text that never ends ends the exchange all the same, and
        // the port gets nothing more after "at".
        const QStringList streams { "La porta PORT trasmette senza sosta e non risponde ai "
                                    "comandi: non viene verificata oltre." };
        probed("a GPS receiver, five bursts a second",
               goingOn(streaming(
                   200,
                   "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
                   "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n")),
               streams, { "", "at" });
        probed("a board printing every 100 ms", streaming(100, "ADC 512\r\n"), streams,
               { "", "at" });
        probed("a modem with unsolicited reports", Setup([](Scene &s) {
                   s.subject.sendEvery(std::chrono::milliseconds(700), "\r\n+CSQ: 17,99\r\n");
               }),
               siemens);
        probed("a loopback plug", Setup([](Scene &s) { s.subject.answerEveryLineWith(""); }), none);
        kept("a port that is not there",
             Setup([](Scene &s) { s.port = "/dev/quorvane-no-such-port"; }),
             "Impossibile aprire PORT: porta non trovata.");
        kept("not a serial port", Setup([](Scene &s) { s.port = "/dev/null"; }),
             "Impossibile aprire /dev/null: non \u00e8 una porta seriale.");

        const QString heldBy = "Impossibile aprire PORT: la porta \u00e8 gi\u00e0 in uso da %1 "
                               "(processo PID).";
        const QString byAnother = "Impossibile aprire PORT: la porta \u00e8 gi\u00e0 in uso da un "
                                  "altro programma.";
        // Holders whose descriptors cannot be seen, as another user's are to an ordinary user:
        // the lock they hold, or the port's exclusive mode, keeps the port out all the same.
        kept("a flock holder", descriptorsUnseen(heldWith("flock")), heldBy.arg("python3"));
        kept("an exclusive holder", descriptorsUnseen(heldWith("exclusive")), byAnother);
        kept("a live minicom lock a minute old", minicomLock(true), heldBy.arg("sleep"));
        probed("a lock whose process is gone", minicomLock(false), siemens);
        kept("a program that only has it open", heldWith("open"), heldBy.arg("python3"));
        // A name is the process's own choice: a placeholder, a right-to-left override and an
        // escape sequence neither hide the PID nor reach the line.
        kept("a program named to forge its line", heldWith("open", "%1\u202e\x1b[2J"),
             "Impossibile aprire PORT: la porta \u00e8 gi\u00e0 in uso da %1??[2J (processo PID).");
        // The listing names ports below /dev: the guard judges the device the name stands for.
        kept("a program that has it open, the port named as the listing names it",
             Setup([](Scene &s) {
                 heldWith("open")(s);
                 s.port = s.port.mid(5);
             }),
             heldBy.arg("python3"));
        kept("a line discipline of a program gone", Setup([](Scene &s) {
                 // pppd or hciattach would hold the port so; n_null stands in for them.
                 constexpr int NullDiscipline = 27;
                 const int line = ::open(s.port.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
                 int discipline = NullDiscipline;
                 if (::ioctl(line, TIOCSETD, &discipline) != 0) {
                     s.cannot = "needs the n_null line discipline";
                     // The only row that reaches the check of disciplines: CI must run it.
                     if (qgetenv("CI") == "true")
                         QFAIL(s.cannot);
                 }
                 ::close(line);
             }),
             byAnother);
        // Another program half-way through writing its lock: live for now, not removed as stale.
        kept("an empty lock", Setup([](Scene &s) {
                 s.lockWith([](const QByteArray &path) { return writeFile(path, {}) ? 0 : -1; });
             }),
             byAnother);
        // Never read (it would wait for a writer), never removed.
        kept("a FIFO named like the lock", Setup([](Scene &s) {
                 s.lockWith([](const QByteArray &path) { return ::mkfifo(path, 0644); });
             }),
             byAnother);
        row("another trial holds the port", Setup([](Scene &s) {
                s.subject.setSilent(true);
                s.start(QUORVANE_TRIAL, { s.port });
                QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lockPathOf(s.port)), 30000);
                s.trial = QStringList { QUORVANE_TRIAL };
            }),
            QStringList { heldBy.arg("quorvane-trial") }, Commands {}, false);

        const QString console = "La porta PORT \u00e8 una console del sistema: non viene "
                                "verificata.";
        kept(
            "an active console", systemFiles([](QByteArray device) {
                return Tree { { "proc/consoles",
                                "ttyS0 -W- (EC p a) 4:64\nconsole -W- (E p a) " + device + "\n" } };
            }),
            console);
        kept("the virtual terminal in front, as sysfs names the consoles",
             systemFiles([](QByteArray device) {
                 return Tree { { "sys/class/tty/console/active", "ttyS0 tty0\n" },
                               { "sys/class/tty/tty0/active", "tty7\n" },
                               { "sys/class/tty/tty7/dev", device + "\n" } };
             }),
             console);
        kept("a login program on the line", systemFiles([](QByteArray device) {
                 const quint64 number = *deviceNumber(device);
                 return Tree { { "proc/77/stat",
                                 "77 (agetty) S 1 77 77 " + QByteArray::number(number)
                                     + " 77 4194560\n" } };
             }),
             console);

        const QString managed = "La porta PORT \u00e8 gestita da ModemManager. Per liberarla "
                                "durante la verifica: mmcli --inhibit-device=/sys/devices/usb1/1-2";
        const QString atPort = R"("ports": ["PORT"], "manufacturer": "Quectel")";
        // Answering at once, it is not waited for: the five seconds are a limit, not a pause.
        row("ModemManager knows the manufacturer", Setup([=](Scene &s) {
                modemManager(atPort)(s);
                ticksBeforeThePort([](int ticks) { return ticks < 60; })(s);
                // udev's stable link to the port, in a played /dev.
                QVERIFY(plant(s.root.path(),
                              { { "dev/serial/by-id/usb-Quectel_EC25-if02-port0",
                                  "-> ../../" + s.port.mid(5).toLocal8Bit() } }));
                s.readPlayedRoot();
            }),
            QStringList { managed, "Trovato: -Quectel-",
                          "Percorso stabile: /dev/serial/by-id/usb-Quectel_EC25-if02-port0" },
            Commands {}, true);
        // A port of the modem that is none of its AT ports: no terminal there.
        kept("ModemManager lists the port with another type",
             modemManager(R"("ports": [["PORT", 1]], "manufacturer": "Quectel")"), managed);
        // Busy at boot: its answer is waited for, serving events meanwhile (the window repaints,
        // "Uscita" works), and used.
        kept("ModemManager answering in two seconds",
             both(modemManager(R"("ports": ["PORT"], "delay": 2)"),
                  ticksBeforeThePort([](int ticks) { return ticks >= 10; })),
             managed);
        // It may be talking to any port it could use: such a port gets nothing at all, not even
        // a line; one that udev's record leaves to others is checked.
        // A modem's port is left alone, without a line; a port with no udev record (the healthy
        // terminal's) is no port ModemManager can be using, nor is a plain USB-serial converter's.
        const QString silent = "ModemManager non risponde: le porte che potrebbe usare non vengono "
                               "verificate.";
        const Setup modemPort = usbSerialPort("2c7c:0125", "option", "option1");
        row("ModemManager does not answer",
            both(modemManager(R"("delay": 8)"),
                 goingOn(both(modemPort, [silent](Scene &s) { s.before << silent; }))),
            QStringList {}, Commands {}, true);
        probed("ModemManager does not answer, an FTDI adapter just plugged in",
               both(modemManager(R"("delay": 8)"),
                    both(usbSerialPort("0403:6001", "ftdi_sio", "ftdi_sio"),
                         [silent](Scene &s) { s.before << silent; })),
               QStringList { "Dispositivo: USB 0403:6001, interfaccia 0." } + siemens);
        probed("a bus without ModemManager", modemManager(QString()), siemens);
        // Refused is no answer about the port: ModemManager's own ports are in exclusive mode.
        probed("a bus that refuses the question", modemManager(atPort, true), siemens);
        // udev handed the port over moments ago, and ModemManager does not list it yet: it is
        // probing it. Long after, or when its rules tell it to ignore the port, it is not.
        const QString otherModem = R"("ports": ["ttyUSB9"])";
        const QString quectel = "Dispositivo: USB 2c7c:0125, interfaccia 0.";
        row("ModemManager still examining a modem's port just plugged in",
            both(modemManager(otherModem), modemPort),
            QStringList { quectel,
                          "ModemManager sta ancora esaminando la porta PORT: non viene verificata. "
                          "Riprovare tra qualche secondo." },
            Commands {}, true);
        probed("a CH340 adapter just plugged in",
               both(modemManager(otherModem), usbSerialPort("1a86:7523", "ch341", "ch341-uart")),
               QStringList { "Dispositivo: USB 1a86:7523, interfaccia 0." } + siemens);
        probed("a modem's port ModemManager is to ignore, just plugged in",
               both(modemManager(otherModem),
                    usbSerialPort("2c7c:0125", "option", "option1", "E:ID_MM_PORT_IGNORE=1\n")),
               QStringList { quectel } + siemens);
        probed("a modem ModemManager is to ignore, just plugged in",
               both(modemManager(otherModem),
                    usbSerialPort("2c7c:0125", "option", "option1", "E:ID_MM_DEVICE_IGNORE=1\n")),
               QStringList { quectel } + siemens);
        probed(
            "a modem's port plugged in a minute ago",
            both(modemManager(otherModem), usbSerialPort("2c7c:0125", "option", "option1", {}, 60)),
            QStringList { quectel } + siemens);

        kept("nobody, not in the group", asNobody(0660),
             "Impossibile aprire PORT: permesso negato. Aggiungere l'utente al gruppo dialout "
             "(sudo usermod -a -G dialout $USER) e accedere di nuovo.");
        kept("nobody, held exclusively", asNobody(0666, true), byAnother);
        // Root's processes are alive to nobody although it may not signal them; root's stale lock
        // is one nobody may not remove, in a folder with the sticky bit.
        kept("nobody, root's live lock", both(asNobody(0666), minicomLock(true)),
             heldBy.arg("sleep"));
        kept("nobody, root's stale lock", both(asNobody(0666), minicomLock(false)),
             "Impossibile aprire PORT: resta il file di blocco LOCK di un programma terminato, che "
             "questo utente non pu\u00f2 rimuovere (sudo rm LOCK).");
        // Any user may write in /run/lock: a lock is believed of root, or of a user of the
        // process it names; any other is passed over, and stays.
        probed("a lock anybody could have forged", nobodysLock(false),
               QStringList { "Il file di blocco LOCK, dell'utente nobody, non viene considerato: "
                             "in quella cartella chiunque pu\u00f2 scriverlo." }
                   + siemens);
        kept("another user's program and its lock", nobodysLock(true), heldBy.arg("sleep"));
    }
    void scanGoesOnPastThePort()
    {
        QFETCH(Setup, setup);
        QFETCH(QStringList, lines);
        QFETCH(bool, held);
        Scene s;
        setup(s);
        if (QTest::currentTestFailed())
            return;
        if (s.cannot)
            QSKIP(s.cannot);
        termios before {};
        QVERIFY(s.subject.lineSettings(&before));
        const bool exclusive = s.subject.isExclusive();
        const QByteArray lock = contentOf(s.foreignLock);

        const TrialRun run = s.scan();
        const bool found = lines.join(',').contains("Trovato");
        // The trial exits as quorvane-check does: 3 when a port it could not check is all
        // there was; the scan in this process gives the number of the port found.
        const bool couldNotCheck = lines.join('|').contains(
            QRegularExpression("in uso|permesso negato|file di blocco|console|ModemManager"));
        QCOMPARE(run.exitCode,
                 !s.trial.isEmpty() ? (found || !s.alone   ? 0
                                           : couldNotCheck ? 3
                                                           : 1)
                     : found        ? 1
                     : s.alone      ? 0
                                    : 2);

        lines.replaceInStrings("PORT", s.port)
            .replaceInStrings("PID", s.holderPid())
            .replaceInStrings("LOCK", s.foreignLock);
        QStringList expected = QStringList { "Ricerca del terminale in corso, attendere..." }
            + s.before + QStringList { "Verifica " + s.port + " in corso..." } + lines
            + (s.alone ? QStringList()
                       : QStringList { "Verifica " + s.healthy.portPath() + " in corso...",
                                       "Trovato: -SIEMENS-" });
        // The trial checks as quorvane-check does: with the advice when nothing answered.
        if (!s.trial.isEmpty() && s.alone && !found)
            expected += NotFoundAdvice;
        QCOMPARE(messagesOf(run.printed), expected);
        QCOMPARE(messagesOf(run.logged), expected);
        QFETCH(Commands, commands);
        if (s.others.empty() || s.others.front().program() != QUORVANE_TRIAL)
            QCOMPARE(s.subject.commands(), commands); // else the other trial's
        QVERIFY(!s.bench.component.isPortOpen());
        QVERIFY(!s.bench.exchange.InRicerca);
        QVERIFY(s.bench.scan.Marca.isEmpty());
        if (held) {
            QCOMPARE(contentOf(s.foreignLock), lock);
            struct stat stillThere = {};
            QVERIFY(s.foreignLock.isEmpty()
                    || ::lstat(s.foreignLock.toLocal8Bit().constData(), &stillThere) == 0);
            termios after {};
            QVERIFY(s.subject.lineSettings(&after));
            QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
            QCOMPARE(after.c_cflag, before.c_cflag);
            QCOMPARE(after.c_lflag, before.c_lflag);
            QCOMPARE(s.subject.isExclusive(), exclusive);
            QCOMPARE(s.subject.bytesReceived(), 0); // not a byte into the holder's session
        } else if (s.trial.isEmpty()) {
            // A stale lock is gone; one passed over stays.
            QCOMPARE(QFile::exists(s.foreignLock),
                     lines.join('|').contains("non viene considerato"));
        }
        QVERIFY(!QFile::exists(s.root.filePath("started")));
    }
};

QTEST_GUILESS_MAIN(TestScan)
#include "tst_scan.moc"

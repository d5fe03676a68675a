#include "log_lines.h"
#include "scripted_component.h"
#include "simulated_terminal.h"
#include "terminal/command_exchange.h"
#include "terminal/port_guard.h"
#include "terminal/port_scan.h"
#include "terminal/serial_component.h"
#include "window/activity_log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using Commands = std::vector<std::string>;

namespace {

const Commands AllCommands { "", "at", "at", "", "", "at+gmi" };

template<typename... Values>
void row(const char *tag, Values... values)
{
    (QTest::newRow(tag) << ... << values);
}

// The real component, an exchange and a scan over `ports`, logging to a temporary folder; the
// lines logged are kept.
struct ScanBench
{
    QStringList ports;
    SerialComponent component { [this] { return ports; } };
    QTemporaryDir folder;
    ActivityLog log { folder.path() };
    CommandExchange exchange { component, log };
    PortScan scan { component, exchange, log };
    QStringList lines;

    ScanBench()
    {
        QObject::connect(&log, &ActivityLog::lineAdded,
                         [this](const QString &line) { lines << line; });
    }
    bool open(const QString &port)
    {
        component.selectPort(port);
        component.setPortOpen(true);
        return component.isPortOpen();
    }
};

bool writeFile(const QString &path, const QByteArray &content, int ageSeconds = 0)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
        && file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                            QFileDevice::FileModificationTime);
}

// Files below a played system root: a path and its content, or "-> TARGET" for a link.
using Tree = QList<std::pair<QString, QByteArray>>;

bool plant(const QString &root, const Tree &tree)
{
    for (const auto &[path, content] : tree) {
        const QString at = QDir(root).filePath(path);
        QDir().mkpath(QFileInfo(at).path());
        if (!content.startsWith("-> ")
                ? !writeFile(at, content)
                : ::symlink(content.mid(3).constData(), at.toLocal8Bit().constData()) != 0)
            return false;
    }
    return true;
}

// A scripted terminal's answers: the echo, then OK, or SIEMENS and OK to "at+gmi".
void answerAsSiemens(ScriptedComponent &component, const QString &command)
{
    component.deliver(command == "at+gmi" ? "at+gmi\r\r\nSIEMENS\r\n\r\nOK\r\n"
                                          : command + "\r\r\nOK\r\n");
}

dev_t deviceOf(const QString &port)
{
    struct stat info = {};
    ::stat(port.toLocal8Bit().constData(), &info);
    return info.st_rdev;
}

// A port the scan probes first, whatever holds it, and a healthy terminal after it. The scan
// runs in this process, or as the trial tool in a process of its own when `trial` is set.
struct Scene
{
    SimulatedTerminal subject;
    SimulatedTerminal healthy;
    QString port = subject.portPath();
    std::list<QProcess> others; // programs the row starts; the holder last
    QTemporaryDir root;
    QString foreignLock;
    QStringList leftovers; // other files the row made, removed with it
    ScanBench bench;
    QStringList trial;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const char *cannot = nullptr; // why this machine cannot play the row
    bool alone = false; // no healthy terminal after the port

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
    void lockWith(const QByteArray &content, int ageSeconds)
    {
        foreignLock = lockPathOf(port);
        QVERIFY(writeFile(foreignLock, content, ageSeconds));
    }
    // Something else under the lock's name, made by `make` at the path it is given.
    void lockNamedThing(const std::function<int(const QByteArray &path)> &make)
    {
        foreignLock = lockPathOf(port);
        QCOMPARE(make(foreignLock.toLocal8Bit()), 0);
    }
    // Runs the scan over the port and the healthy terminal: the scan's result (the trial's
    // exit code), the lines logged and the lines of the log file.
    std::tuple<int, QStringList, QStringList> scan()
    {
        bench.ports = alone ? QStringList { port } : QStringList { port, healthy.portPath() };
        if (trial.isEmpty())
            return { bench.scan.CercaCell(), bench.lines, linesOfFile(bench.log.filePath()) };
        QProcess run;
        run.setWorkingDirectory(bench.folder.path());
        run.setProcessEnvironment(environment);
        run.start(trial.first(), trial.mid(1) + bench.ports);
        run.waitForFinished(60000);
        return {
            run.exitCode(),
            QString::fromLocal8Bit(run.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
            linesOfFile(bench.folder.filePath("Quorvane.txt"))
        };
    }
    ~Scene()
    {
        for (QProcess &process : others) {
            process.kill();
            process.waitForFinished();
        }
        for (const QString &path : leftovers + QStringList { foreignLock })
            ::remove(path.toLocal8Bit().constData()); // a file, a FIFO, a folder...
    }
};

using Setup = std::function<void(Scene &)>;

// Another program holding a port with a flock, in exclusive mode, or just open; it says "ready"
// once it holds it.
const QStringList PythonHolder {
    "-c",
    "import fcntl, os, sys, termios, time\n"
    "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
    "if sys.argv[2] == 'flock': fcntl.flock(fd, fcntl.LOCK_EX)\n"
    "if sys.argv[2] == 'exclusive': fcntl.ioctl(fd, termios.TIOCEXCL)\n"
    "print('ready', flush=True)\n"
    "time.sleep(60)\n"
};

Setup heldWith(const char *how)
{
    return [how](Scene &s) {
        s.hold("/usr/bin/python3", PythonHolder + QStringList { s.port, how });
    };
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

// A terminal alone on the scan's list, with its own reply to one command.
Setup replyTo(const char *command, const QByteArray &text, bool paced = true)
{
    return [=](Scene &s) {
        s.alone = true;
        s.subject.setPaced(paced);
        s.subject.setReply(command, text);
    };
}

// A device that is no terminal: it sends `text` every `interval` and answers nothing.
Setup streaming(int intervalMs, const QByteArray &text, bool alone = true)
{
    return [=](Scene &s) {
        s.alone = alone;
        s.subject.setSilent(true);
        s.subject.sendEvery(std::chrono::milliseconds(intervalMs), text);
    };
}

// Something at the far end that answers every line alike, echo on.
Setup everyLineAnswered(const QByteArray &reply)
{
    return [=](Scene &s) {
        s.alone = true;
        s.subject.answerEveryLineWith(reply);
    };
}

Setup lockOfSleep(std::function<QByteArray(QByteArray pid)> format)
{
    return [format](Scene &s) {
        s.hold("sleep", { "60" });
        s.lockWith(format(s.holderPid()), 60);
    };
}

Setup systemFile(const char *path, std::function<QByteArray(const Scene &)> content)
{
    return [=](Scene &s) {
        QVERIFY(writeFile(s.root.filePath(path), content(s)));
        s.bench.component.setSystemRoot(s.root.path());
    };
}

// The trial run by user nobody, without groups, over the port owned by root and group dialout
// with `mode`, optionally held exclusively (by this process), and the healthy terminal open to
// all. The group file below the system root lists nobody in dialout.
Setup asNobody(mode_t mode, bool exclusive = false, bool listedInGroupFile = false)
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
        QVERIFY(QFile::setPermissions(s.root.path(), QFileDevice::Permissions(0x5555)));
        QVERIFY(writeFile(s.root.filePath("etc/group"), "root:x:0:\ndialout:x:20:nobody\n"));
        if (listedInGroupFile)
            s.trial << "--system-root" << s.root.path();
    };
}

// ModemManager on a private system bus, played by python-dbusmock, with a modem that owns the
// port, answering or `silent`; or only the bus, when `manufacturer` is null.
Setup modemManager(const char *manufacturer, bool silent = false)
{
    return [=](Scene &s) {
        s.trial = QStringList { QUORVANE_TRIAL };
        QProcess &bus = s.start("dbus-daemon", { "--session", "--nofork", "--print-address=1" });
        QVERIFY(bus.waitForReadyRead(10000));
        const QString address = QString::fromLatin1(bus.readLine().trimmed());
        s.environment.insert("DBUS_SYSTEM_BUS_ADDRESS", address);
        s.alone = silent;
        if (!manufacturer)
            return;
        s.start("/usr/bin/python3",
                { "-m", "dbusmock", "--system", "-t", QUORVANE_MODEMMANAGER_MOCK, "-p",
                  QStringLiteral("{\"ports\": [\"%1\"], \"device\": \"/sys/devices/usb1/1-2\", "
                                 "\"manufacturer\": \"%2\", \"silent\": %3}")
                      .arg(s.port.mid(5), manufacturer, silent ? "true" : "false") });
        QDBusConnection connection = QDBusConnection::connectToBus(address, "mock");
        QTRY_VERIFY_WITH_TIMEOUT(
            connection.interface()->isServiceRegistered("org.freedesktop.ModemManager1"), 30000);
        QDBusConnection::disconnectFromBus("mock");
    };
}

} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(Tree)

class TestTerminal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void PulisciSTR_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        row("echo and OK", "at\r\r\nOK\r\n", "at|||OK||");
        row("asterisk, number sign, apostrophe", "*#06# l'ora", "||06| l`ora");
        row("quotes and non-text bytes stay", QString::fromLatin1("\"\x00\xff\xe8", 4),
            QString::fromLatin1("\"\x00\xff\xe8", 4));
        row("past 32767 characters", QString(40000, '*') + "\n", QString(40001, '|'));
    }
    void PulisciSTR()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(::PulisciSTR(input), expected);
        QCOMPARE(input, expected);
    }

    void smapMARCA_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("marca");
        QTest::addColumn<QString>("rest");
        row("echo, name, OK", "at+gmi|||SIEMENS||||OK||", "SIEMENS", "SIEMENSOK");
        row("prefix and quotes", "||+GMI: \"Nokia\"||||OK||", "Nokia", " NokiaOK");
        row("echo and prefix", "AT+GMI|||+GMI: Motorola||OK||", "Motorola", " MotorolaOK");
        row("OK in the name is cut", "at+gmi|||NOKIA||||OK||", "N", "NOKIAOK");
        row("two lines joined", "at+gmi|||ACME MODEM||MODEL 900E||||OK||", "ACME MODEMMODEL 900E",
            "ACME MODEMMODEL 900EOK");
        row("no OK", "||Wavecom||", "Wavecom", "Wavecom");
        row("lower-case ok stays", "||Nokia ok||OK", "Nokia ok", "Nokia okOK");
        row("only spaces are trimmed", "||\tACME ||OK", "\tACME", "\tACME OK");
        row("only spaces", "at+gmi|||   ||OK", "", "   OK");
        // Upper-casing must not move positions: "\u00df" has a two-letter upper case.
        row("sharp s before the echo", "\u00dfat+gmi||Foo||OK", "Foo", "FooOK");
    }
    void smapMARCA()
    {
        QFETCH(QString, reply);
        QTEST(::smapMARCA(reply), "marca");
        QTEST(reply, "rest");
    }

    void foundPortNumber_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("number");
        row("COM3", "COM3", 1, 3);
        row("blank before the number", "COM 7", 1, 7);
        row("rounded", "COM3.6", 1, 4);
        row("half to even", "COM2.5", 1, 2);
        row("ttyUSB0 by position", "ttyUSB0", 2, 2);
        row("negative by position", "COM-2", 3, 3);
        row("too large by position", "COM99999", 4, 4);
        row("short name by position", "CO", 6, 6);
    }
    void foundPortNumber()
    {
        QFETCH(QString, name);
        QFETCH(int, position);
        QTEST(int(::foundPortNumber(name, qint16(position))), "number");
    }

    // Replies of a terminal (echo on) on a pseudo-terminal, each ending the exchange in its own
    // way; the turns it took tell whether it ended at once, past the first checkpoint, or at
    // the second for a reply that stopped growing.
    void exchangeOutcome_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("paced");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("expected"); // the cleaned reply
        QTest::addColumn<int>("checkpoints");
        const QByteArray model(130, 'x');
        row("OK at once", "at", QByteArray("\r\nOK\r\n"), false, "OK", "at|||OK||", 0);
        // Some 150 characters at 2400 baud need far more than 200,000 turns of a bare pump.
        row("a long reply at 2400 baud", "at+gmi", "\r\n" + model + "\r\nOK\r\n", true, "OK",
            "at+gmi|||" + QString::fromLatin1(model) + "||OK", 0);
        row("error in pieces at 2400 baud, then OK", "at",
            "\r\nERROR" + QByteArray(20, '\n') + "OK\r\n", true, "error", "at|||ERROR", 0);
        row("extended error", "at+cpin?", QByteArray("\r\n+CME ERROR: 10\r\n"), false, "error",
            "at+cpin?|||+CME ERROR: 10||", 0);
        row("OK and ERROR in one turn", "at", QByteArray("\r\nOK\r\nERROR\r\n"), false, "OK error",
            "at|||OK||ERROR||", 0);
        row("lower-case error", "at", QByteArray("\r\nerror\r\n"), false, "error", "at|||error||",
            0);
        row("busy in mixed case", "atd1;", QByteArray("\r\nBusy\r\n"), false, "error",
            "atd1;|||Busy||", 0);
        row("no carrier in pieces", "atd1;", QByteArray("\r\nNo Carrier\r\n"), true, "error",
            "atd1;|||No Carrier", 0);
        row("OK inside a name", "at+gmi", QByteArray("\r\nNOKIA\r\n"), false, "OK",
            "at+gmi|||NOKIA||", 0);
        row("non-text bytes", "at", QByteArray("\r\n\x00\xff\x01\xe8\r\nOK\r\n", 12), false, "OK",
            QString::fromLatin1("at|||\x00\xff\x01\xe8||OK||", 15), 0);
        // Still growing at the first checkpoint: the exchange goes on, but a reply that needed
        // a whole budget of turns counts as failed although its "OK" came.
        row("OK after the first checkpoint", "ati", "\r\n" + QByteArray(620, 'x') + "\r\nOK\r\n",
            true, "OK error", "ati|||" + QString(620, 'x') + "||OK", 1);
        row("lower-case ok stalls", "at", QByteArray("\r\nok\r\n"), false, "error", "at|||ok||", 2);
        row("silence", "", QByteArray(), false, "error", "", 2);
        // Text without end: the exchange ends all the same, with what arrived by then.
        row("still growing at the last checkpoint", "ati", "\r\n" + QByteArray(20000, 'x'), true,
            "error endless", "ati|||" + QString(20000, 'x'), 3);
        row("a flood past what a reply may hold", "at", QByteArray(1 << 20, 'A'), false,
            "error endless", "at|" + QString(1 << 20, 'A'), 0);
    }
    void exchangeOutcome()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, reply);
        QFETCH(bool, paced);
        QFETCH(QString, outcome);
        QFETCH(int, checkpoints);
        SimulatedTerminal terminal;
        terminal.setPaced(paced);
        terminal.setEcho(!command.isEmpty());
        terminal.setReply(command, reply);
        // Left on the line from before the port opened: no reply to this command.
        terminal.sendRaw("\r\nOK\r\n");
        QVERIFY(terminal.waitUntilSent(std::chrono::seconds(2)));
        ScanBench bench;
        QVERIFY(bench.open(terminal.portPath()));
        bench.exchange.InRicerca = true;

        bench.exchange.EseguiCMD(command);

        QCOMPARE(bench.exchange.RispostaOK, outcome.contains("OK"));
        QCOMPARE(bench.exchange.RispostaErrore, outcome.contains("error"));
        QCOMPARE(bench.exchange.replyNeverEnded(), outcome.contains("endless"));
        QString risposta = bench.exchange.Risposta;
        QFETCH(QString, expected);
        QVERIFY(risposta.size() <= CommandExchange::ReplyLimit);
        if (outcome.contains("endless")) {
            // Cut short: what arrived by then, from its start.
            QVERIFY2(expected.startsWith(risposta), qPrintable(risposta.left(80)));
        } else {
            // A paced reply ends the exchange at its keyword; the line ends after it may or may
            // not have arrived by then, as a busy machine lets the turns run late.
            while (paced && risposta.endsWith('|'))
                risposta.chop(1);
            QCOMPARE(risposta, expected);
        }
        const qint64 turns = bench.exchange.lastPollCount();
        const qint64 budget = CommandExchange::PollBudget;
        QVERIFY2(checkpoints >= 2 ? turns == checkpoints * budget
                                  : (turns >= budget) == (checkpoints == 1),
                 qPrintable(QString::number(turns)));
        QCOMPARE(terminal.commands(), Commands { command.toStdString() });
        QVERIFY(bench.lines.isEmpty());
        // The line as the program left it: 2400 baud, 8N1, no flow control.
        termios line {};
        QVERIFY(terminal.lineSettings(&line));
        QCOMPARE(cfgetospeed(&line), speed_t(B2400));
        QCOMPARE(cfgetispeed(&line), speed_t(B2400));
        QCOMPARE(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QCOMPARE(line.c_iflag & (IXON | IXOFF), tcflag_t(0));
    }

    // Without waiting, the tests of the one turn see the reply as it stood before the pump. On
    // a closed port the command goes nowhere and the exchange fails at once.
    void withoutWaitingAndOnAClosedPort()
    {
        ScanBench bench;
        ScriptedComponent component({ "COM1" });
        component.setScript([](ScriptedComponent &c, const QString &) { c.deliver("\r\nOK\r\n"); });
        CommandExchange exchange(component, bench.log);
        component.setPortOpen(true);
        exchange.SenzaAttesa = true;
        exchange.EseguiCMD("at");
        QVERIFY(!exchange.RispostaOK && !exchange.RispostaErrore);
        QCOMPARE(exchange.Risposta, QStringLiteral("||OK||")); // arrived in the pump, cleaned
        QCOMPARE(exchange.lastPollCount(), 0);

        component.setPortOpen(false);
        exchange.SenzaAttesa = false;
        exchange.EseguiCMD("at");
        QCOMPARE(component.sent, QStringList({ "at", "at" }));
        QCOMPARE(exchange.lastPollCount(), 0);
        QVERIFY(exchange.RispostaErrore && !exchange.RispostaOK);
    }

    void statusCodes_data()
    {
        QTest::addColumn<qint32>("status");
        QTest::addColumn<bool>("inRicerca");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("messages");
        row("not responding during a scan", -9, true, false, QStringList());
        row("not responding outside a scan", -9, false, false,
            QStringList { "Il terminale non risponde." });
        row("other codes are ignored", -1, false, true, QStringList());
        row("zero is ignored", 0, true, true, QStringList());
    }
    void statusCodes()
    {
        QFETCH(qint32, status);
        QFETCH(bool, ok);
        QFETCH(bool, inRicerca);
        ScanBench bench;
        ScriptedComponent component({ "COM1" });
        component.setScript([status](ScriptedComponent &c, const QString &) {
            c.raiseStatus(status);
            c.deliver("\r\nOK\r\n");
        });
        CommandExchange exchange(component, bench.log);
        exchange.InRicerca = inRicerca;
        component.setPortOpen(true);
        exchange.EseguiCMD("at");
        QCOMPARE(exchange.RispostaOK, ok);
        QCOMPARE(exchange.RispostaErrore, !ok);
        QTEST(messagesOf(bench.lines), "messages");
    }

    // A terminal that holds its line: the command cannot be written out within the write
    // timeout, and the component says the terminal does not respond.
    void componentWriteTimeout()
    {
        SimulatedTerminal terminal;
        terminal.setStalled(true);
        ScanBench bench;
        bench.component.setWriteTimeout(200);
        QVERIFY(bench.open(terminal.portPath()));
        QSignalSpy status(&bench.component, &SerialComponent::ComponentStatusEvent);
        bench.component.send(QString(256 * 1024, 'x'));
        QTRY_COMPARE(status.size(), 1);
        QCOMPARE(bench.component.status(), SerialComponent::StatusNotResponding);
    }

    // The device went away just before the port closes: closing meets the failure, and says
    // nothing of it (outside a scan it would log "Il terminale non risponde.", after "Uscita").
    void closingAPortWhoseDeviceIsGone()
    {
        SimulatedTerminal terminal;
        ScanBench bench;
        QVERIFY(bench.open(terminal.portPath()));
        QSignalSpy status(&bench.component, &SerialComponent::ComponentStatusEvent);
        terminal.hangUp();
        bench.component.setPortOpen(false);
        QCOMPARE(status.size(), 0);
        QVERIFY(!bench.component.isPortOpen());
    }

    // While the program has a port open it holds it every way other programs look for: a lock
    // file, exclusive mode and a flock. Closing discards what is unsent and gives all of it back.
    void ourPortIsHeldEveryWay()
    {
        SimulatedTerminal terminal;
        ScanBench bench;
        const QString port = terminal.portPath();
        // flock(1) exits 99 when the lock is taken (and 66 when the device cannot be opened).
        auto flock = [&port] {
            return QProcess::execute("flock", { "-n", "-E", "99", port, "true" });
        };
        QVERIFY(bench.open(port));
        QCOMPARE(contentOf(lockPathOf(port)).split('\n').value(0), QByteArray::number(getpid()));
        QVERIFY(terminal.isExclusive());
        QCOMPARE(flock(), 99);
        bench.component.send("at");
        QTRY_COMPARE(terminal.commands(), Commands { "at" });
        bench.component.setPortOpen(false);
        // Unsent output is discarded right before the close, so that a device that never reads
        // cannot hold the close for the driver's closing wait.
        const Commands lastEvents { "at", SimulatedTerminal::OutputDiscarded,
                                    SimulatedTerminal::Closed };
        QTRY_COMPARE(terminal.history(), lastEvents);
        QVERIFY(!QFile::exists(lockPathOf(port)));
        QVERIFY(!terminal.isExclusive());
        QCOMPARE(flock(), 0);
    }

    // A program that takes the port between the checks and the open: the open port is refused.
    void portTakenBeforeTheFirstByte()
    {
        Scene s;
        const int handle = ::open(s.port.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        heldWith("flock")(s);
        const OpenFailure taken = PortGuard().confirm(handle);
        ::close(handle);
        QCOMPARE(taken.reason, OpenFailure::Reason::InUse);
        QCOMPARE(taken.holder + QString::number(taken.holderPid), "python3" + s.holderPid());
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
        const QStringList none, siemens { "Trovato: -SIEMENS-" };
        row("at refused", replyTo("at", "\r\nERROR\r\n"), siemens, AllCommands, false);
        row("identification with OK and an error",
            replyTo("at+gmi", "\r\nSIEMENS\r\nOK\r\nERROR\r\n", false), none, AllCommands, false);
        row("identification slower than a budget",
            replyTo("at+gmi", "\r\n" + QByteArray(600, 'x') + "\r\n\r\nOK\r\n"), none, AllCommands,
            false);
        row("non-text bytes in the name",
            replyTo("at+gmi", QByteArray("\r\nSIE\x00MENS\xff\x01\r\n\r\nOK\r\n", 20)),
            QStringList { QString::fromLatin1("Trovato: -SIE\x00MENS\xff\x01-", 21) }, AllCommands,
            false);
        // More than a reply may hold: no manufacturer is taken from it.
        row("a name of 100,000 characters",
            replyTo("at+gmi", "\r\n" + QByteArray(100000, 'N') + "\r\n\r\nOK\r\n", false), none,
            AllCommands, false);
        row("unplugged during an exchange", Setup([](Scene &s) { s.subject.hangUpOnCommand(2); }),
            none, Commands { "", "at" }, false);
        row("unplugged during the settling wait", Setup([](Scene &s) {
                // Right after the port opens: the first events pumped are the wait's.
                QObject::connect(&s.bench.log, &ActivityLog::lineAdded, [&s](const QString &line) {
                    if (line.endsWith("Verifica " + s.port + " in corso..."))
                        QTimer::singleShot(0, [&s] { s.subject.hangUp(); });
                });
            }),
            none, Commands {}, false);
        // Devices that are no terminal: text that never ends ends the exchange all the same, and
        // the port gets nothing more after "at".
        const QStringList streams { "La porta PORT trasmette senza sosta e non risponde ai "
                                    "comandi: non viene verificata oltre." };
        const Commands probed { "", "at" };
        row("a GPS receiver, a burst every second",
            streaming(1000,
                      "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
                      "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n",
                      false),
            streams, probed, false);
        row("a board printing every 200 ms", streaming(200, "T=21.5C H=40%\r\n"), streams, probed,
            false);
        row("a board printing every 100 ms", streaming(100, "ADC 512\r\n"), streams, probed, false);
        row("a modem with unsolicited reports", Setup([](Scene &s) {
                s.alone = true;
                s.subject.sendEvery(std::chrono::milliseconds(700), "\r\n+CSQ: 17,99\r\n");
            }),
            siemens, AllCommands, false);
        row("a firmware that reports its state at length", Setup([](Scene &s) {
                s.alone = true;
                s.subject.setAfterFirstAnswer(QByteArray("+QSTATE: 1,2,3\r\n").repeated(38));
            }),
            siemens, AllCommands, false);
        row("a loopback plug", everyLineAnswered(""), none, AllCommands, false);
        row("another computer's login prompt",
            everyLineAnswered("\r\nDebian GNU/Linux 12 banco ttyS0\r\n\r\nbanco login: "), none,
            AllCommands, false);

        row("not a serial port", Setup([](Scene &s) { s.port = "/dev/null"; }),
            QStringList { "Impossibile aprire /dev/null: non \u00e8 una porta seriale." },
            Commands {}, true);

        const QString heldBy = "Impossibile aprire PORT: la porta \u00e8 gi\u00e0 in uso da %1 "
                               "(processo PID).";
        const QStringList byAnother { "Impossibile aprire PORT: la porta \u00e8 gi\u00e0 in uso "
                                      "da un altro programma." };
        // Holders whose descriptors cannot be seen, as another user's are to an ordinary user:
        // the lock they hold, or the port's exclusive mode, keeps the port out all the same.
        row("a flock holder", descriptorsUnseen(heldWith("flock")),
            QStringList { heldBy.arg("python3") }, Commands {}, true);
        row("an exclusive holder", descriptorsUnseen(heldWith("exclusive")), byAnother, Commands {},
            true);
        const QStringList bySleep { heldBy.arg("sleep") };
        row("a live minicom lock a minute old",
            lockOfSleep([](QByteArray pid) { return pid.rightJustified(10) + " minicom root\n"; }),
            bySleep, Commands {}, true);
        row("a PID-only lock", lockOfSleep([](QByteArray pid) { return pid + "\n"; }), bySleep,
            Commands {}, true);
        row("a binary PID lock", lockOfSleep([](QByteArray pid) {
                const qint32 binary = pid.toInt();
                return QByteArray(reinterpret_cast<const char *>(&binary), sizeof binary);
            }),
            bySleep, Commands {}, true);
        row("a Qt lock of another process", lockOfSleep([](QByteArray pid) {
                return pid + "\nminicom\n" + QSysInfo::machineHostName().toUtf8() + "\n";
            }),
            bySleep, Commands {}, true);
        row("a lock whose process is gone", Setup([](Scene &s) {
                s.hold("sleep", { "0" });
                const QByteArray pid = s.holderPid();
                QVERIFY(s.others.back().waitForFinished());
                s.lockWith(pid.rightJustified(10) + " minicom root\n", 0);
            }),
            siemens, AllCommands, false);
        row("a program that only has it open", heldWith("open"),
            QStringList { heldBy.arg("python3") }, Commands {}, true);
        row("a holder seen in /proc, a line end in its name", Setup([](Scene &s) {
                QVERIFY(plant(s.root.path(),
                              { { "proc/4242/fd/3", "-> " + s.port.toLocal8Bit() },
                                { "proc/4242/comm", "scr\neen\n" } }));
                s.bench.component.setSystemRoot(s.root.path());
            }),
            QStringList { "Impossibile aprire PORT: la porta \u00e8 gi\u00e0 in uso da scr?een "
                          "(processo 4242)." },
            Commands {}, true);
        row("a line discipline of a program gone", Setup([](Scene &s) {
                // pppd or hciattach would hold the port so; n_null stands in for them.
                constexpr int NullDiscipline = 27;
                const int line = ::open(s.port.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
                int discipline = NullDiscipline;
                if (::ioctl(line, TIOCSETD, &discipline) != 0)
                    s.cannot = "needs the n_null line discipline";
                ::close(line);
            }),
            byAnother, Commands {}, true);
        row("a FIFO named like the lock", Setup([](Scene &s) {
                s.lockNamedThing([](const QByteArray &path) { return ::mkfifo(path, 0644); });
            }),
            byAnother, Commands {}, true);
        row("a link to a FIFO named like the lock", Setup([](Scene &s) {
                const QByteArray fifo = s.root.filePath("fifo").toLocal8Bit();
                QCOMPARE(::mkfifo(fifo, 0644), 0);
                s.lockNamedThing([fifo](const QByteArray &path) { return ::symlink(fifo, path); });
            }),
            byAnother, Commands {}, true);
        row("a device named like the lock", Setup([](Scene &s) {
                if (geteuid() != 0) {
                    s.cannot = "needs root to make a device node";
                    return;
                }
                s.lockNamedThing([](const QByteArray &path) {
                    return ::mknod(path, S_IFCHR | 0644, makedev(1, 3)); // as /dev/null
                });
            }),
            byAnother, Commands {}, true);
        row("a folder named like the lock", Setup([](Scene &s) {
                s.lockNamedThing([](const QByteArray &path) { return ::mkdir(path, 0755); });
            }),
            byAnother, Commands {}, true);
        // Names any user can make: out of /dev and back, or through a link in /dev/shm.
        row("lock names that lead out of /dev or into /dev/shm", Setup([](Scene &s) {
                s.hold("sleep", { "60" });
                s.foreignLock = "/var/lock/LCK..pts_.._" + s.port.mid(5).replace('/', '_');
                QVERIFY(writeFile(s.foreignLock, s.holderPid() + "\n"));
                const QString shmLink = "quorvane-" + QString::number(getpid());
                s.leftovers << "/dev/shm/" + shmLink << "/var/lock/LCK..shm_" + shmLink;
                QCOMPARE(::symlink(s.port.toLocal8Bit(), s.leftovers.at(0).toLocal8Bit()), 0);
                QVERIFY(writeFile(s.leftovers.at(1), s.holderPid() + "\n"));
            }),
            siemens, AllCommands, false);
        row("another trial holds the port", Setup([](Scene &s) {
                s.subject.setSilent(true);
                s.start(QUORVANE_TRIAL, { s.port });
                QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lockPathOf(s.port)), 30000);
                s.trial = QStringList { QUORVANE_TRIAL };
            }),
            QStringList { heldBy.arg("quorvane-trial") }, Commands {}, false);

        const QStringList console { "La porta PORT \u00e8 una console del sistema: non viene "
                                    "verificata." };
        row("an active console",
            systemFile("proc/consoles",
                       [](const Scene &s) {
                           const dev_t device = deviceOf(s.port);
                           return QByteArray("ttyS0 -W- (EC p a) 4:64\nconsole -W- (E p a) %1:%2\n")
                               .replace("%1", QByteArray::number(major(device)))
                               .replace("%2", QByteArray::number(minor(device)));
                       }),
            console, Commands {}, true);
        row("a login program on the line",
            systemFile("proc/77/stat",
                       [](const Scene &s) {
                           return "77 (agetty) S 1 77 77 "
                               + QByteArray::number(quint64(deviceOf(s.port))) + " 77 4194560\n";
                       }),
            console, Commands {}, true);

        const QString managed = "La porta PORT \u00e8 gestita da ModemManager. Per liberarla "
                                "durante la verifica: mmcli --inhibit-device=/sys/devices/usb1/1-2";
        row("ModemManager knows the manufacturer", Setup([](Scene &s) {
                modemManager("Quectel")(s);
                // udev's stable link to the port, in a played /dev.
                QVERIFY(plant(s.root.path(),
                              { { "dev/serial/by-id/usb-Quectel_EC25-if02-port0",
                                  "-> ../../" + s.port.mid(5).toLocal8Bit() } }));
                s.trial << "--system-root" << s.root.path();
            }),
            QStringList { managed, "Trovato: -Quectel-",
                          "Percorso stabile: /dev/serial/by-id/usb-Quectel_EC25-if02-port0" },
            Commands {}, true);
        row("ModemManager without a manufacturer", modemManager(""), QStringList { managed },
            Commands {}, true);
        // It may be talking to every port: none is opened, the next one neither.
        row("ModemManager does not answer", modemManager("", true),
            QStringList { heldBy.arg("python3") }, Commands {}, true);
        row("a bus without ModemManager", modemManager(nullptr), siemens, AllCommands, false);

        const QString denied = "Impossibile aprire PORT: permesso negato";
        row("nobody, not in the group", asNobody(0660),
            QStringList { denied
                          + ". Aggiungere l'utente al gruppo dialout (sudo usermod -a -G dialout "
                            "$USER) e accedere di nuovo." },
            Commands {}, true);
        row("nobody, in the group file but not in the session", asNobody(0660, false, true),
            QStringList { denied
                          + ". L'utente \u00e8 gi\u00e0 nel gruppo dialout: uscire e accedere di "
                            "nuovo." },
            Commands {}, true);
        row("nobody, no group would help", asNobody(0600), QStringList { denied + "." },
            Commands {}, true);
        row("nobody, held exclusively", asNobody(0666, true),
            QStringList { "Impossibile aprire PORT: la porta \u00e8 gi\u00e0 in uso da un altro "
                          "programma." },
            Commands {}, true);
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

        const auto [result, logged, written] = s.scan();
        const bool found = lines.join(',').contains("Trovato");
        QCOMPARE(result, !s.trial.isEmpty() ? int(!found && s.alone) : found ? 1 : s.alone ? 0 : 2);

        lines.replaceInStrings("PORT", s.port).replaceInStrings("PID", s.holderPid());
        const QStringList expected = QStringList { "Ricerca del terminale in corso, attendere...",
                                                   "Verifica " + s.port + " in corso..." }
            + lines
            + (s.alone ? QStringList()
                       : QStringList { "Verifica " + s.healthy.portPath() + " in corso...",
                                       "Trovato: -SIEMENS-" });
        QCOMPARE(messagesOf(logged), expected);
        QCOMPARE(messagesOf(written), expected);
        QFETCH(Commands, commands);
        if (s.others.empty() || s.others.front().program() != QUORVANE_TRIAL)
            QCOMPARE(s.subject.commands(), commands); // else the other trial's
        QVERIFY(!s.bench.component.isPortOpen());
        QVERIFY(!s.bench.exchange.InRicerca);
        QVERIFY(s.bench.scan.Marca.isEmpty());
        QVERIFY(!QFile::exists(lockPathOf(s.healthy.portPath())));
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
            QVERIFY(!QFile::exists(lockPathOf(s.port)));
            if (!s.foreignLock.isEmpty() && s.foreignLock != lockPathOf(s.port))
                QCOMPARE(contentOf(s.foreignLock), lock); // no lock of this port: left alone
        }
    }

    // Open failures a pseudo-terminal cannot give a root user; ports that fail get no settling
    // wait and no command; the number of the first port found when the names carry one. A
    // Bluetooth port the listing left out gets its line.
    void scanReportsOpenFailuresAndTheFirstNumber()
    {
        ScanBench bench;
        ScriptedComponent component({ "COM1", "COM2", "COM3", "COM4", "COM7" });
        component.unconnectedBluetooth = { "rfcomm0" };
        OpenFailure failure;
        failure.reason = OpenFailure::Reason::NotInGroup;
        failure.group = "uucp";
        component.failOpen("COM1", failure);
        failure.reason = OpenFailure::Reason::InUse;
        component.failOpen("COM2", failure);
        failure.reason = OpenFailure::Reason::InputOutput;
        failure.systemText = "Input/output error";
        component.failOpen("COM3", failure);
        component.setScript([](ScriptedComponent &c, const QString &command) {
            const QString maker = c.selectedPort() == "COM4" ? "SIEMENS" : "Motorola";
            c.deliver(command == "at+gmi" ? "at+gmi\r\r\n" + maker + "\r\n\r\nOK\r\n"
                                          : command + "\r\r\nOK\r\n");
        });
        CommandExchange exchange(component, bench.log);
        PortScan scan(component, exchange, bench.log);
        QElapsedTimer clock;
        QList<qint64> times;
        connect(&bench.log, &ActivityLog::lineAdded, [&] { times << clock.elapsed(); });
        clock.start();

        QCOMPARE(scan.CercaCell(), qint16(4));
        QCOMPARE(messagesOf(bench.lines),
                 (QStringList {
                     "Ricerca del terminale in corso, attendere...",
                     "La porta rfcomm0 \u00e8 un collegamento Bluetooth non connesso: non viene "
                     "verificata.",
                     "Verifica COM1 in corso...",
                     "Impossibile aprire COM1: permesso negato. Aggiungere l'utente al gruppo uucp "
                     "(sudo usermod -a -G uucp $USER) e accedere di nuovo.",
                     "Verifica COM2 in corso...",
                     "Impossibile aprire COM2: la porta \u00e8 gi\u00e0 in uso da un altro "
                     "programma.",
                     "Verifica COM3 in corso...",
                     "Impossibile aprire COM3: errore di ingresso/uscita (Input/output error).",
                     "Verifica COM4 in corso...", "Trovato: -SIEMENS-", "Verifica COM7 in corso...",
                     "Trovato: -Motorola-" }));
        QCOMPARE(component.opened, (QStringList { "COM4", "COM7" }));
        const QStringList perPort { "", "at", "at", "", "", "at+gmi" };
        QCOMPARE(component.sent, perPort + perPort);
        QVERIFY(!component.isPortOpen());
        // Three settling waits would have taken two seconds at least.
        QVERIFY2(times.at(8) < 1500, qPrintable(QString::number(times.at(8))));
    }

    // The system's ports as a played sysfs tells them: those with a device behind them, in the
    // order of their device paths, the virtual null modem and gadget ports too; ghost UARTs,
    // virtual consoles and ptmx left out; a Bluetooth port bound but not connected apart.
    void portsListedFromSysfs()
    {
        QTemporaryDir root;
        auto tty = [&root](const char *name, const QString &parent, bool device = true,
                           const QByteArray &type = QByteArray()) {
            const QString folder = "sys/devices/" + parent + "/tty/" + name;
            QVERIFY(QDir().mkpath(root.filePath(folder)));
            QVERIFY(QDir().mkpath(root.filePath("sys/class/tty")));
            QCOMPARE(::symlink(("../../../" + folder).toLocal8Bit().constData(),
                               root.filePath(QString("sys/class/tty/") + name).toLocal8Bit()),
                     0);
            if (device)
                QCOMPARE(::symlink("../..", root.filePath(folder + "/device").toLocal8Bit()), 0);
            if (!type.isNull())
                QVERIFY(writeFile(root.filePath(folder + "/type"), type));
        };
        const QString usb = "pci0000:00/0000:00:14.0/usb1/";
        tty("ttyS0", "pnp0/00:05", true, "4\n");
        tty("ttyS1", "platform/serial8250", true, "0\n");
        tty("ttyS2", "platform/serial8250", true, "4\n");
        tty("ttyUSB0", usb + "1-2/1-2:1.0/ttyUSB0");
        tty("ttyACM0", usb + "1-3/1-3:1.0");
        tty("rfcomm1", usb + "1-4/1-4:1.0/bluetooth/hci0/hci0:12");
        tty("rfcomm0", "virtual", false);
        tty("ttyGS0", "virtual", false);
        tty("tty1", "virtual", false);
        tty("ptmx", "virtual", false);
        SerialComponent component;
        component.setSystemRoot(root.path());
        const PortList ports = component.listPorts();
        QCOMPARE(ports.names,
                 (QStringList { "ttyUSB0", "ttyACM0", "rfcomm1", "ttyS2", "ttyS0", "ttyGS0" }));
        QCOMPARE(ports.unconnectedBluetooth, QStringList { "rfcomm0" });
    }

    // The device behind a port and its stable path, from played sysfs and /dev trees, logged
    // around a found terminal.
    void whichDeviceEachPortIs_data()
    {
        QTest::addColumn<Tree>("tree");
        QTest::addColumn<QStringList>("lines"); // after "Verifica"
        // A port of a USB serial converter: its own entry, the device it hangs off, the USB
        // interface and the USB device above them.
        const QString usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/";
        auto usbPort = [&usb](const QByteArray &interface, const Tree &strings) {
            return Tree { { "sys/dev/char/1:3",
                            "-> ../../devices/pci0000:00/0000:00:14.0/usb1/"
                            "1-2/1-2:1.2/ttyUSB2/tty/ttyUSB2" },
                          { usb + "1-2:1.2/ttyUSB2/tty/ttyUSB2/device", "-> ../.." },
                          { usb + "1-2:1.2/bInterfaceNumber", interface },
                          { usb + "idVendor", "2c7c\n" },
                          { usb + "idProduct", "0125\n" } }
            + strings;
        };
        const Tree byId { { "dev/serial/by-id/usb-Quectel_EC25-if02-port0", "-> ../../null" } };
        const Tree byPath { { "dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.2-port0",
                              "-> ../../null" } };
        const QString found = "Trovato: -SIEMENS-";
        const QString atById = "Percorso stabile: /dev/serial/by-id/usb-Quectel_EC25-if02-port0";
        const QString atByPath =
            "Percorso stabile: /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.2-port0";
        row("a USB modem with strings and a serial number, by-id and by-path links",
            usbPort("02\n",
                    { { usb + "manufacturer", "Quectel\n" },
                      { usb + "product", "EC25\n" },
                      { usb + "serial", "0123456789ABCDEF\n" } })
                + byPath + byId,
            QStringList { "Dispositivo: Quectel EC25 (USB 2c7c:0125, interfaccia 2).", found,
                          atById });
        // Without a serial number every device of the kind gets the same by-id name.
        row("no serial number: by-path first; the product naming the maker, interface 10",
            usbPort(
                "0a\n",
                { { usb + "manufacturer", "HUAWEI\n" }, { usb + "product", "HUAWEI Mobile\n" } })
                + byId + byPath,
            QStringList { "Dispositivo: HUAWEI Mobile (USB 2c7c:0125, interfaccia 10).", found,
                          atByPath });
        row("no strings, only a by-id link", usbPort("02\n", {}) + byId,
            QStringList { "Dispositivo: USB 2c7c:0125, interfaccia 2.", found, atById });
        row("control characters in the strings, a by-id link to another port",
            usbPort("02\n",
                    { { usb + "manufacturer", "Quec\ttel\n" },
                      { usb + "product", "EC25\r\nTrovato: -X-\n" },
                      { "dev/serial/by-id/usb-FTDI-if00-port0", "-> ../../ttyUSB7" } }),
            QStringList {
                "Dispositivo: Quec?tel EC25??Trovato: -X- (USB 2c7c:0125, interfaccia 2).",
                found });
        row("not on USB, a by-path link",
            Tree { { "sys/dev/char/1:3", "-> ../../devices/pnp0/00:05/tty/ttyS0" },
                   { "sys/devices/pnp0/00:05/tty/ttyS0/device", "-> ../.." } }
                + byPath,
            QStringList { found, atByPath });
        // The port belongs to the phone at the other end, not to the computer's adapter.
        const QString adapter = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/";
        row("a Bluetooth link through a USB adapter",
            Tree { { "sys/dev/char/1:3",
                     "-> ../../devices/pci0000:00/0000:00:14.0/usb1/1-4/"
                     "1-4:1.0/bluetooth/hci0/hci0:12/tty/rfcomm1" },
                   { adapter + "1-4:1.0/bluetooth/hci0/hci0:12/tty/rfcomm1/device", "-> ../.." },
                   { adapter + "1-4:1.0/bInterfaceNumber", "00\n" },
                   { adapter + "idVendor", "8087\n" },
                   { adapter + "idProduct", "0a2b\n" } },
            QStringList { found });
        row("nothing known", Tree {}, QStringList { found });
    }
    void whichDeviceEachPortIs()
    {
        QFETCH(Tree, tree);
        QTemporaryDir root;
        QVERIFY(plant(root.path(), tree));
        ScanBench bench;
        ScriptedComponent component({ "/dev/null" }); // its device number is all that is read
        component.setSystemRoot(root.path());
        component.setScript(answerAsSiemens);
        CommandExchange exchange(component, bench.log);
        PortScan scan(component, exchange, bench.log);
        QCOMPARE(scan.CercaCell(), qint16(1));
        QFETCH(QStringList, lines);
        QCOMPARE(messagesOf(bench.lines),
                 QStringList({ "Ricerca del terminale in corso, attendere...",
                               "Verifica /dev/null in corso..." })
                     + lines);
    }

    // The trial's other exit codes: no terminal found, and bad usage.
    void trialToolExitCodes()
    {
        QTemporaryDir folder;
        auto run = [&folder](const QStringList &arguments) {
            QProcess trial;
            trial.setWorkingDirectory(folder.path());
            trial.start(QStringLiteral(QUORVANE_TRIAL), arguments);
            return trial.waitForFinished(30000) ? trial.exitCode() : -1;
        };
        QCOMPARE(run({ "/dev/quorvane-no-such-port" }), 1);
        QCOMPARE(messagesOf(linesOfFile(folder.filePath("Quorvane.txt"))).last(),
                 "Impossibile aprire /dev/quorvane-no-such-port: porta non trovata.");
        QCOMPARE(run({}), 2);
        QCOMPARE(run({ "--window-less", "/dev/null" }), 2);
    }
};

QTEST_GUILESS_MAIN(TestTerminal)
#include "tst_terminal.moc"

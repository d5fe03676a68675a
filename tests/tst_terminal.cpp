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

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using Commands = std::vector<std::string>;
const Commands AllCommands { "", "at", "at", "", "", "at+gmi" };

namespace {

// A log in a temporary folder that remembers the lines it was given.
struct RecordingLog
{
    QTemporaryDir folder;
    ActivityLog log { folder.path() };
    QStringList lines;
    RecordingLog()
    {
        QObject::connect(&log, &ActivityLog::lineAdded,
                         [this](const QString &line) { lines << line; });
    }
    QStringList messages() const { return messagesOf(lines); }
};

// The real component, an exchange and a scan over the ports listed in `ports`.
struct ScanBench
{
    QStringList ports;
    SerialComponent component { [this] { return ports; } };
    RecordingLog recorder;
    CommandExchange exchange { component, recorder.log };
    PortScan scan { component, exchange, recorder.log };

    bool open(const QString &port)
    {
        component.selectPort(port);
        component.setPortOpen(true);
        return component.isPortOpen();
    }
};

// Qt's lock file for a port, in the folder where Qt and minicom keep theirs here.
QString lockPathOf(const QString &port)
{
    return "/var/lock/LCK.." + QString(port).remove(0, 5).replace('/', '_');
}

QByteArray contentOf(const QString &path)
{
    if (path.isEmpty())
        return {};
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString deviceNumbers(const QString &port)
{
    struct stat info {};
    ::stat(port.toLocal8Bit().constData(), &info);
    return QStringLiteral("%1:%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev));
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A port with a terminal that the scan probes first, and a healthy terminal after it, with
// whatever holds the first one.
struct Scene
{
    SimulatedTerminal subject;
    SimulatedTerminal healthy;
    QProcess holder;
    QTemporaryDir root;
    QString foreignLock;
    ScanBench bench;

    QString port() const { return subject.portPath(); }
    // Another program, holding the port however `arguments` do; "ready" once it does.
    void hold(const QString &program, const QStringList &arguments)
    {
        holder.start(program, arguments);
        QVERIFY(holder.waitForStarted());
        if (program != "sleep")
            QVERIFY(holder.waitForReadyRead(10000));
    }
    void lockWith(const QByteArray &content, int ageSeconds = 0)
    {
        foreignLock = lockPathOf(port());
        QVERIFY(writeFile(foreignLock, content));
        QFile lock(foreignLock);
        QVERIFY(lock.open(QIODevice::ReadWrite));
        lock.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                         QFileDevice::FileModificationTime);
    }
    QByteArray holderPid() const { return QByteArray::number(holder.processId()); }
    ~Scene()
    {
        holder.kill();
        holder.waitForFinished();
        if (!foreignLock.isEmpty())
            QFile::remove(foreignLock);
    }
};

using Setup = std::function<void(Scene &)>;

const QString PythonHoldsExclusively = QStringLiteral(
    "import fcntl, os, sys, termios, time\n"
    "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
    "fcntl.ioctl(fd, termios.TIOCEXCL)\n"
    "print('ready', flush=True)\n"
    "time.sleep(60)\n");

} // namespace

Q_DECLARE_METATYPE(Setup)

class TestTerminal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void PulisciSTR_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("echo and OK")
            << QStringLiteral("at\r\r\nOK\r\n") << QStringLiteral("at|||OK||");
        QTest::newRow("asterisk, number sign, apostrophe")
            << QStringLiteral("*#06# l'ora") << QStringLiteral("||06| l`ora");
        QTest::newRow("quotes and non-text bytes stay") << QString::fromLatin1("\"\x00\xff\xe8", 4)
                                                        << QString::fromLatin1("\"\x00\xff\xe8", 4);
        QTest::newRow("past 32767 characters") << QString(40000, QLatin1Char('*'))
                + QStringLiteral("\n") << QString(40001, QLatin1Char('|'));
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
        QTest::newRow("echo, name, OK") << "at+gmi|||SIEMENS||||OK||" << "SIEMENS" << "SIEMENSOK";
        QTest::newRow("prefix and quotes") << "||+GMI: \"Nokia\"||||OK||" << "Nokia" << " NokiaOK";
        QTest::newRow("echo and prefix")
            << "AT+GMI|||+GMI: Motorola||OK||" << "Motorola" << " MotorolaOK";
        QTest::newRow("OK in the name is cut") << "at+gmi|||NOKIA||||OK||" << "N" << "NOKIAOK";
        QTest::newRow("two lines joined") << "at+gmi|||ACME MODEM||MODEL 900E||||OK||"
                                          << "ACME MODEMMODEL 900E" << "ACME MODEMMODEL 900EOK";
        QTest::newRow("no OK") << "||Wavecom||" << "Wavecom" << "Wavecom";
        QTest::newRow("lower-case ok stays") << "||Nokia ok||OK" << "Nokia ok" << "Nokia okOK";
        QTest::newRow("only spaces are trimmed") << "||\tACME ||OK" << "\tACME" << "\tACME OK";
        // Upper-casing must not move positions: "\u00df" has a two-letter upper case.
        QTest::newRow("sharp s before the echo") << "\u00dfat+gmi||Foo||OK" << "Foo" << "FooOK";
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
        QTest::newRow("COM3") << "COM3" << 1 << 3;
        QTest::newRow("blank before the number") << "COM 7" << 1 << 7;
        QTest::newRow("rounded") << "COM3.6" << 1 << 4;
        QTest::newRow("half to even") << "COM2.5" << 1 << 2;
        QTest::newRow("ttyUSB0 by position") << "ttyUSB0" << 2 << 2;
        QTest::newRow("negative by position") << "COM-2" << 3 << 3;
        QTest::newRow("too large by position") << "COM99999" << 4 << 4;
        QTest::newRow("short name by position") << "CO" << 6 << 6;
    }
    void foundPortNumber()
    {
        QFETCH(QString, name);
        QFETCH(int, position);
        QTEST(int(::foundPortNumber(name, qint16(position))), "number");
    }

    // Replies of a terminal on a pseudo-terminal, each ending the exchange in its own way; the
    // turns it took tell whether it ended at once, or at the first or second checkpoint.
    void exchangeOutcome_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("paced");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("error");
        QTest::addColumn<QString>("risposta");
        // 0: ended before the first checkpoint; 1: past it; 2: at the second, stalled.
        QTest::addColumn<int>("checkpoints");
        const QByteArray model = QByteArray(130, 'x');
        QTest::newRow("OK at once")
            << "at" << QByteArray("\r\nOK\r\n") << false << true << false << "at|||OK||" << 0;
        // Some 150 characters at 2400 baud need well over 200,000 turns of a bare event pump.
        QTest::newRow("a long reply at 2400 baud")
            << "at+gmi" << "\r\n" + model + "\r\nOK\r\n" << true << true << false
            << "at+gmi|||" + QString::fromLatin1(model) + "||OK" << 0;
        QTest::newRow("error in pieces at 2400 baud, then OK")
            << "at" << QByteArray("\r\nERROR\r\nOK\r\n") << true << false << true << "at|||ERROR"
            << 0;
        QTest::newRow("extended error") << "at+cpin?" << QByteArray("\r\n+CME ERROR: 10\r\n")
                                        << false << false << true << "at+cpin?|||+CME ERROR: 10||"
                                        << 0;
        QTest::newRow("OK and ERROR in one turn")
            << "at" << QByteArray("\r\nOK\r\nERROR\r\n") << false << true << true
            << "at|||OK||ERROR||" << 0;
        QTest::newRow("lower-case error")
            << "at" << QByteArray("\r\nerror\r\n") << false << false << true << "at|||error||" << 0;
        QTest::newRow("busy in mixed case")
            << "atd1;" << QByteArray("\r\nBusy\r\n") << false << false << true << "atd1;|||Busy||"
            << 0;
        QTest::newRow("no carrier in pieces") << "atd1;" << QByteArray("\r\nNo Carrier\r\n") << true
                                              << false << true << "atd1;|||No Carrier" << 0;
        QTest::newRow("OK inside a name")
            << "at+gmi" << QByteArray("\r\nNOKIA\r\n") << false << true << false
            << "at+gmi|||NOKIA||" << 0;
        QTest::newRow("non-text bytes")
            << "at" << QByteArray("\r\n\x00\xff\x01\xe8\r\nOK\r\n", 12) << false << true << false
            << QString::fromLatin1("at|||\x00\xff\x01\xe8||OK||", 15) << 0;
        // Text still arriving at the first checkpoint keeps the exchange going, but a reply
        // that needed a whole budget of turns counts as failed although its "OK" came.
        QTest::newRow("OK after the first checkpoint")
            << "ati" << "\r\n" + QByteArray(594, 'x') + "\r\nOK\r\n" << true << true << true
            << QString("ati|||" + QString(594, 'x') + "||OK") << 1;
        // Without "OK" a reply only ends when it stops growing.
        QTest::newRow("lower-case ok stalls")
            << "at" << QByteArray("\r\nok\r\n") << false << false << true << "at|||ok||" << 2;
        QTest::newRow("silence") << "" << QByteArray() << false << false << true << "" << 2;
    }
    void exchangeOutcome()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, reply);
        QFETCH(bool, paced);
        QFETCH(int, checkpoints);
        SimulatedTerminal terminal;
        terminal.setPaced(paced);
        terminal.setEcho(!command.isEmpty());
        terminal.setReply(command, reply);
        ScanBench bench;
        QVERIFY(bench.open(terminal.portPath()));
        bench.exchange.InRicerca = true;

        bench.exchange.EseguiCMD(command);

        QTEST(bench.exchange.RispostaOK, "ok");
        QTEST(bench.exchange.RispostaErrore, "error");
        QTEST(bench.exchange.Risposta, "risposta");
        const qint64 polls = bench.exchange.lastPollCount();
        if (checkpoints == 0)
            QVERIFY2(polls < CommandExchange::PollBudget, qPrintable(QString::number(polls)));
        else if (checkpoints == 1)
            QVERIFY2(polls >= CommandExchange::PollBudget, qPrintable(QString::number(polls)));
        else
            QCOMPARE(polls, 2 * CommandExchange::PollBudget);
        QCOMPARE(terminal.commands(), Commands { command.toStdString() });
        QVERIFY(bench.recorder.lines.isEmpty());
        // The line as the program left it: 2400 baud, 8 data bits, no parity, 1 stop bit, no
        // flow control.
        termios settings {};
        QVERIFY(terminal.lineSettings(&settings));
        QCOMPARE(cfgetospeed(&settings), speed_t(B2400));
        QCOMPARE(cfgetispeed(&settings), speed_t(B2400));
        QCOMPARE(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QCOMPARE(settings.c_iflag & (IXON | IXOFF), tcflag_t(0));
    }

    // Without waiting, the tests of the one turn see the reply as it stood before the pump.
    void withoutWaitingOneTurnRuns()
    {
        RecordingLog recorder;
        ScriptedComponent component({ QStringLiteral("COM1") });
        component.setScript(
            [](ScriptedComponent &c, const QString &) { c.deliver(QStringLiteral("\r\nOK\r\n")); });
        CommandExchange exchange(component, recorder.log);
        component.setPortOpen(true);
        exchange.SenzaAttesa = true;
        exchange.EseguiCMD(QStringLiteral("at"));
        QVERIFY(!exchange.RispostaOK);
        QVERIFY(!exchange.RispostaErrore);
        QCOMPARE(exchange.Risposta, QStringLiteral("||OK||")); // arrived in the pump, cleaned
        QCOMPARE(exchange.lastPollCount(), 0);

        // On a closed port the command goes nowhere and the exchange fails at once.
        component.setPortOpen(false);
        exchange.SenzaAttesa = false;
        exchange.EseguiCMD(QStringLiteral("at"));
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
        QTest::newRow("not responding during a scan") << -9 << true << false << QStringList();
        QTest::newRow("not responding outside a scan")
            << -9 << false << false << QStringList { QStringLiteral("Il terminale non risponde.") };
        QTest::newRow("other codes are ignored") << -1 << false << true << QStringList();
        QTest::newRow("zero is ignored") << 0 << true << true << QStringList();
    }
    void statusCodes()
    {
        QFETCH(qint32, status);
        QFETCH(bool, ok);
        RecordingLog recorder;
        ScriptedComponent component({ QStringLiteral("COM1") });
        component.setScript([status](ScriptedComponent &c, const QString &) {
            c.raiseStatus(status);
            c.deliver(QStringLiteral("\r\nOK\r\n"));
        });
        CommandExchange exchange(component, recorder.log);
        QFETCH(bool, inRicerca);
        exchange.InRicerca = inRicerca;
        component.setPortOpen(true);
        exchange.EseguiCMD(QStringLiteral("at"));
        QCOMPARE(exchange.RispostaOK, ok);
        QCOMPARE(exchange.RispostaErrore, !ok);
        QTEST(recorder.messages(), "messages");
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
        bench.component.send(QString(256 * 1024, QLatin1Char('x')));
        QTRY_COMPARE(status.size(), 1);
        QCOMPARE(bench.component.status(), SerialComponent::StatusNotResponding);
    }

    void componentSendsWholeLinesAndReceivesLatin1()
    {
        SimulatedTerminal terminal;
        terminal.setPaced(false);
        terminal.setEcho(false);
        ScanBench bench;
        QVERIFY(bench.open(terminal.portPath()));
        bench.component.send(QStringLiteral("at+gmi"));
        bench.component.send(QString());
        QTRY_COMPARE(terminal.commands(), (Commands { "at+gmi", "" }));
        QString &received = bench.exchange.Risposta; // gathered by the exchange's data handler
        QTRY_VERIFY(received.endsWith(QLatin1String("OK\r\n")));
        received.clear();
        bench.component.setNullDiscard(1);
        terminal.sendRaw(QByteArray("a\x00\xe8\xff", 4));
        QTRY_COMPARE(received, QString::fromLatin1("a\xe8\xff", 3));
    }

    // While the program has a port open it holds it every way other programs look for: a lock
    // file, exclusive mode and a flock. Closing gives all of it back.
    void ourPortIsHeldEveryWay()
    {
        SimulatedTerminal terminal;
        ScanBench bench;
        const QString port = terminal.portPath();
        auto flockIsFree = [&port] {
            return QProcess::execute("flock", { "--nonblock", port, "true" }) == 0;
        };
        QVERIFY(bench.open(port));
        QCOMPARE(contentOf(lockPathOf(port)).split('\n').value(0), QByteArray::number(getpid()));
        QVERIFY(terminal.isExclusive());
        QVERIFY(!flockIsFree());
        bench.component.setPortOpen(false);
        QVERIFY(!QFile::exists(lockPathOf(port)));
        QVERIFY(!terminal.isExclusive());
        QVERIFY(flockIsFree());
    }

    // The scan probes a port, then goes on to a healthy terminal on the next port. A port that
    // another program holds, or a console, gets not a byte: its line settings, exclusive flag
    // and lock file stay as they were.
    void scanGoesOnPastThePort_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QStringList>("lines"); // the first port's, after "Verifica"
        QTest::addColumn<Commands>("commands");
        QTest::addColumn<bool>("held");

        auto reply = [](const char *command, const QByteArray &text) {
            return Setup([=](Scene &s) { s.subject.setReply(command, text); });
        };
        QTest::newRow("prefix and quotes")
            << reply("at+gmi", "\r\n+GMI: \"Nokia\"\r\n\r\nOK\r\n")
            << QStringList { "Trovato: -Nokia-" } << AllCommands << false;
        QTest::newRow("two lines")
            << Setup([](Scene &s) { s.subject.setManufacturer("ACME MODEM\r\nMODEL 900E"); })
            << QStringList { "Trovato: -ACME MODEMMODEL 900E-" } << AllCommands << false;
        QTest::newRow("at refused") << reply("at", "\r\nERROR\r\n")
                                    << QStringList { "Trovato: -SIEMENS-" } << AllCommands << false;
        QTest::newRow("identification refused")
            << reply("at+gmi", "\r\nERROR\r\n") << QStringList() << AllCommands << false;
        QTest::newRow("identification with OK and an error")
            << Setup([](Scene &s) {
                   s.subject.setPaced(false);
                   s.subject.setReply("at+gmi", "\r\nSIEMENS\r\nOK\r\nERROR\r\n");
               })
            << QStringList() << AllCommands << false;
        QTest::newRow("identification slower than a budget")
            << Setup([](Scene &s) { s.subject.setManufacturer(QString(600, 'x')); })
            << QStringList() << AllCommands << false;
        QTest::newRow("unplugged during an exchange")
            << Setup([](Scene &s) { s.subject.hangUpOnCommand(2); }) << QStringList()
            << Commands { "", "at" } << false;
        QTest::newRow("unplugged during the settling wait")
            << Setup([](Scene &s) {
                   // Right after the port opens: the first events pumped are the wait's.
                   QObject::connect(&s.bench.recorder.log, &ActivityLog::lineAdded,
                                    [&s](const QString &line) {
                                        if (line.endsWith("Verifica " + s.port() + " in corso..."))
                                            QTimer::singleShot(0, [&s] { s.subject.hangUp(); });
                                    });
               })
            << QStringList() << Commands {} << false;
        QTest::newRow("a megabyte without a line end") << Setup([](Scene &s) {
            s.subject.setPaced(false);
            s.subject.setReply("at+gmi", QByteArray(1 << 20, 'A'));
        }) << QStringList() << AllCommands << false;
        QTest::newRow("non-text bytes in the name")
            << reply("at+gmi", QByteArray("\r\nSIE\x00MENS\xff\x01\r\n\r\nOK\r\n", 20))
            << QStringList { QString::fromLatin1("Trovato: -SIE\x00MENS\xff\x01-", 21) }
            << AllCommands << false;
        QTest::newRow("a name of 100,000 characters") << Setup([](Scene &s) {
            s.subject.setPaced(false);
            s.subject.setReply("at+gmi", "\r\n" + QByteArray(100000, 'N') + "\r\n\r\nOK\r\n");
        }) << QStringList { "Trovato: -" + QString(100000, 'N') + "-" } << AllCommands << false;

        const QStringList heldBy { "Impossibile aprire PORT: la porta \u00e8 gi\u00e0 in uso da "
                                   "HOLDER (processo PID)." };
        QTest::newRow("a flock holder")
            << Setup([](Scene &s) {
                   s.hold("flock", { s.port(), "sh", "-c", "echo ready; exec sleep 60" });
               })
            << QStringList(heldBy).replaceInStrings("HOLDER", "flock") << Commands {} << true;
        QTest::newRow("an exclusive holder")
            << Setup([](Scene &s) {
                   s.hold("/usr/bin/python3", { "-c", PythonHoldsExclusively, s.port() });
               })
            << QStringList(heldBy).replaceInStrings("HOLDER", "python3") << Commands {} << true;
        const QList<std::pair<const char *, std::function<QByteArray(QByteArray)>>> locks {
            { "a live minicom lock a minute old",
              [](QByteArray pid) { return pid.rightJustified(10, ' ') + " minicom root\n"; } },
            { "a PID-only lock", [](QByteArray pid) { return pid + "\n"; } },
            { "a binary PID lock",
              [](QByteArray pid) {
                  const qint32 binary = pid.toInt();
                  return QByteArray(reinterpret_cast<const char *>(&binary), sizeof binary);
              } },
            { "a Qt lock of another process",
              [](QByteArray pid) { return pid + "\nminicom\n" + QSysInfo::machineHostName().toUtf8() + "\n"; } },
        };
        for (const auto &[name, format] : locks) {
            QTest::newRow(name) << Setup([format](Scene &s) {
                s.hold("sleep", { "60" });
                s.lockWith(format(s.holderPid()), 60);
            }) << QStringList(heldBy).replaceInStrings("HOLDER", "sleep")
                                << Commands {} << true;
        }
        QTest::newRow("a lock whose process is gone")
            << Setup([](Scene &s) {
                   s.hold("sleep", { "0" });
                   const QByteArray pid = s.holderPid();
                   QVERIFY(s.holder.waitForFinished());
                   s.lockWith(pid.rightJustified(10, ' ') + " minicom root\n");
               })
            << QStringList { "Trovato: -SIEMENS-" } << AllCommands << false;
        const QStringList console { "La porta PORT \u00e8 una console del sistema: non viene "
                                    "verificata." };
        QTest::newRow("an active console") << Setup([](Scene &s) {
            QVERIFY(writeFile(s.root.filePath("proc/consoles"),
                              "ttyS0 -W- (EC p a) 4:64\nconsole -W- (E p a) "
                                  + deviceNumbers(s.port()).toLatin1() + "\n"));
            s.bench.component.setSystemRoot(s.root.path());
        }) << console << Commands {} << true;
        QTest::newRow("a login program on the line") << Setup([](Scene &s) {
            struct stat info {};
            ::stat(s.port().toLocal8Bit().constData(), &info);
            QVERIFY(writeFile(s.root.filePath("proc/77/stat"),
                              "77 (agetty) S 1 77 77 " + QByteArray::number(quint64(info.st_rdev))
                                  + " 77 4194560\n"));
            s.bench.component.setSystemRoot(s.root.path());
        }) << console << Commands {} << true;
    }
    void scanGoesOnPastThePort()
    {
        QFETCH(Setup, setup);
        QFETCH(QStringList, lines);
        QFETCH(bool, held);
        Scene s;
        s.bench.ports = QStringList { s.port(), s.healthy.portPath() };
        setup(s);
        termios before {};
        QVERIFY(s.subject.lineSettings(&before));
        const bool exclusive = s.subject.isExclusive();
        const QByteArray lock = contentOf(s.foreignLock);

        const bool found = lines.join(',').contains("Trovato");
        QCOMPARE(s.bench.scan.CercaCell(), qint16(found ? 1 : 2));

        lines.replaceInStrings("PORT", s.port()).replaceInStrings("PID", s.holderPid());
        const QStringList expected = QStringList { "Ricerca del terminale in corso, attendere...",
                                                   "Verifica " + s.port() + " in corso..." }
            + lines
            + QStringList { "Verifica " + s.healthy.portPath() + " in corso...",
                            "Trovato: -SIEMENS-" };
        QCOMPARE(s.bench.recorder.messages(), expected);
        QCOMPARE(messagesOf(linesOfFile(s.bench.recorder.log.filePath())), expected);
        QTEST(s.subject.commands(), "commands");
        QVERIFY(!s.bench.component.isPortOpen());
        QVERIFY(!s.bench.exchange.InRicerca);
        QVERIFY(s.bench.scan.Marca.isEmpty());
        QVERIFY(!QFile::exists(lockPathOf(s.healthy.portPath())));
        if (!held) {
            QVERIFY(!QFile::exists(lockPathOf(s.port())));
            return;
        }
        termios after {};
        QVERIFY(s.subject.lineSettings(&after));
        QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
        QCOMPARE(after.c_cflag, before.c_cflag);
        QCOMPARE(after.c_lflag, before.c_lflag);
        QCOMPARE(s.subject.isExclusive(), exclusive);
        QCOMPARE(contentOf(s.foreignLock), lock);
    }

    // Open failures a pseudo-terminal cannot give a root user; ports that fail get no settling
    // wait and no command; the number of the first port found when the names carry one.
    void scanReportsOpenFailuresAndTheFirstNumber()
    {
        RecordingLog recorder;
        ScriptedComponent component({ "COM1", "COM2", "COM3", "COM4", "COM7" });
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
            if (command == "at")
                c.deliver("at\r\r\nOK\r\n");
            else if (command == "at+gmi")
                c.deliver("at+gmi\r\r\n" + maker + "\r\n\r\nOK\r\n");
            else
                c.deliver("\r\n\r\nOK\r\n");
        });
        CommandExchange exchange(component, recorder.log);
        PortScan scan(component, exchange, recorder.log);
        QElapsedTimer clock;
        QList<qint64> times;
        connect(&recorder.log, &ActivityLog::lineAdded, [&] { times << clock.elapsed(); });
        clock.start();

        QCOMPARE(scan.CercaCell(), qint16(4));
        QCOMPARE(recorder.messages(),
                 (QStringList {
                     "Ricerca del terminale in corso, attendere...", "Verifica COM1 in corso...",
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
        QVERIFY2(times.at(7) < 1500, qPrintable(QString::number(times.at(7))));
    }

    // A ttyS entry whose UART is not there is left out of the list; other ports stay.
    void ghostPortsAreLeftOut()
    {
        QTemporaryDir root;
        QVERIFY(writeFile(root.filePath("sys/class/tty/ttyS7/type"), "0\n"));
        QVERIFY(writeFile(root.filePath("sys/class/tty/ttyS1/type"), "4\n"));
        PortGuard guard;
        guard.setSystemRoot(root.path());
        QVERIFY(!guard.isPresent("/dev/ttyS7"));
        QVERIFY(guard.isPresent("/dev/ttyS1"));
        QVERIFY(guard.isPresent("/dev/ttyUSB0"));
    }

    // The trial tool as the user runs it, a process of its own: over a port that ModemManager
    // may manage, or that another trial holds, or as an ordinary user (nobody) who may not open
    // it. The tool scans the port given, then a healthy terminal.
    void trialTool_data()
    {
        QTest::addColumn<QString>("scene");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("lines");
        const QStringList healthy { "Verifica HEALTHY in corso...", "Trovato: -SIEMENS-" };
        const QStringList both { "PORT", "HEALTHY" };
        QTest::newRow("no system bus: terminal found")
            << "" << QStringList { "PORT" } << 0
            << QStringList { "Verifica PORT in corso...", "Trovato: -SIEMENS-" };
        QTest::newRow("failures in Italian")
            << "" << QStringList { "/dev/quorvane-no-such-port", "/dev/null" } << 1
            << QStringList {
                   "Verifica /dev/quorvane-no-such-port in corso...",
                   "Impossibile aprire /dev/quorvane-no-such-port: porta non trovata.",
                   "Verifica /dev/null in corso...",
                   "Impossibile aprire /dev/null: non \u00e8 una porta seriale." };
        QTest::newRow("no ports") << "" << QStringList() << 2 << QStringList();
        QTest::newRow("an option") << "" << QStringList { "--window-less" } << 2 << QStringList();
        const QString managed = "La porta PORT \u00e8 gestita da ModemManager. Per liberarla "
                                "durante la verifica: mmcli --inhibit-device=/sys/devices/usb1/1-2";
        QTest::newRow("ModemManager knows the manufacturer")
            << "Quectel" << both << 0
            << QStringList { "Verifica PORT in corso...", managed, "Trovato: -Quectel-" } + healthy;
        QTest::newRow("ModemManager without a manufacturer")
            << "modem" << both << 0 << QStringList { "Verifica PORT in corso...", managed } + healthy;
        QTest::newRow("a bus without ModemManager")
            << "bus" << QStringList { "PORT" } << 0
            << QStringList { "Verifica PORT in corso...", "Trovato: -SIEMENS-" };
        QTest::newRow("another trial holds the port")
            << "second trial" << both << 0
            << QStringList { "Verifica PORT in corso...",
                             "Impossibile aprire PORT: la porta \u00e8 gi\u00e0 in uso da "
                             "quorvane-trial (processo PID)." }
                + healthy;
        const QString denied = "Impossibile aprire PORT: permesso negato";
        QTest::newRow("nobody, not in the group")
            << "nobody dialout" << QStringList { "PORT" } << 1
            << QStringList { "Verifica PORT in corso...",
                             denied + ". Aggiungere l'utente al gruppo dialout (sudo usermod -a "
                                      "-G dialout $USER) e accedere di nuovo." };
        QTest::newRow("nobody, in the group file but not in the session")
            << "nobody listed" << QStringList { "PORT" } << 1
            << QStringList { "Verifica PORT in corso...",
                             denied + ". L'utente \u00e8 gi\u00e0 nel gruppo dialout: uscire e "
                                      "accedere di nuovo." };
        QTest::newRow("nobody, no group would help")
            << "nobody owner only" << QStringList { "PORT" } << 1
            << QStringList { "Verifica PORT in corso...", denied + "." };
        QTest::newRow("nobody, held exclusively")
            << "nobody exclusive" << both << 0
            << QStringList { "Verifica PORT in corso...",
                             "Impossibile aprire PORT: la porta \u00e8 gi\u00e0 in uso da un "
                             "altro programma." }
                + healthy;
    }
    void trialTool()
    {
        QFETCH(QString, scene);
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, lines);
        SimulatedTerminal terminal, healthy;
        const QString port = terminal.portPath();
        QTemporaryDir folder, root;
        QVERIFY(QFile::setPermissions(folder.path(), QFileDevice::Permissions(0x7777)));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        QStringList command { QStringLiteral(QUORVANE_TRIAL) };
        QProcess bus, modemManager, first;
        auto cleanUp = qScopeGuard([&] {
            for (QProcess *process : { &bus, &modemManager, &first }) {
                process->kill();
                process->waitForFinished();
            }
        });

        if (scene.startsWith("nobody")) {
            if (geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
                QSKIP("needs root and setpriv to act as an ordinary user");
            command = QStringList { "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups" }
                + command;
            const QByteArray path = port.toLocal8Bit();
            const bool exclusive = scene.endsWith("exclusive");
            QCOMPARE(::chown(path.constData(), 0, 20), 0); // dialout
            QCOMPARE(::chmod(path.constData(), scene.endsWith("owner only") ? 0600 : exclusive ? 0666 : 0660), 0);
            QVERIFY(terminal.setExclusive(exclusive));
            QCOMPARE(::chmod(healthy.portPath().toLocal8Bit().constData(), 0666), 0);
            QVERIFY(QFile::setPermissions(root.path(), QFileDevice::Permissions(0x5555)));
            if (scene.endsWith("listed")) {
                QVERIFY(writeFile(root.filePath("etc/group"), "root:x:0:\ndialout:x:20:nobody\n"));
                command << "--system-root" << root.path();
            }
        } else if (scene == "second trial") {
            terminal.setSilent(true);
            first.setWorkingDirectory(root.path());
            first.start(QStringLiteral(QUORVANE_TRIAL), { port });
            QTRY_VERIFY(QFile::exists(lockPathOf(port)));
            lines.replaceInStrings("PID", QString::number(first.processId()));
        } else if (!scene.isEmpty()) {
            bus.start("dbus-daemon", { "--session", "--nofork", "--print-address=1" });
            QVERIFY(bus.waitForReadyRead(10000));
            const QString address = QString::fromLatin1(bus.readLine().trimmed());
            environment.insert("DBUS_SYSTEM_BUS_ADDRESS", address);
            if (scene != "bus") {
                modemManager.setProcessEnvironment(environment);
                modemManager.start("/usr/bin/python3",
                                   { "-m", "dbusmock", "--system", "-t", QUORVANE_MODEMMANAGER_MOCK,
                                     "-p",
                                     QStringLiteral("{\"ports\": [\"%1\"], \"device\": "
                                                    "\"/sys/devices/usb1/1-2\", "
                                                    "\"manufacturer\": \"%2\"}")
                                         .arg(port.mid(5), scene == "modem" ? "" : scene) });
                QDBusConnection connection = QDBusConnection::connectToBus(address, "mock");
                QTRY_VERIFY(connection.interface()->isServiceRegistered(
                    "org.freedesktop.ModemManager1"));
                QDBusConnection::disconnectFromBus("mock");
            }
        }

        QProcess trial;
        trial.setWorkingDirectory(folder.path());
        trial.setProcessEnvironment(environment);
        arguments.replaceInStrings("HEALTHY", healthy.portPath()).replaceInStrings("PORT", port);
        trial.start(command.first(), command.mid(1) + arguments);
        QVERIFY(trial.waitForFinished(60000));
        QTEST(trial.exitCode(), "exitCode");
        if (!lines.isEmpty())
            lines.prepend("Ricerca del terminale in corso, attendere...");
        lines.replaceInStrings("HEALTHY", healthy.portPath()).replaceInStrings("PORT", port);
        const QStringList printed =
            QString::fromLocal8Bit(trial.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(messagesOf(printed), lines);
        QCOMPARE(messagesOf(linesOfFile(folder.filePath("Quorvane.txt"))), lines);
        if (scene != "" && scene != "bus" && scene != "second trial")
            QCOMPARE(terminal.commands(), Commands {}); // not a byte to a port not ours
    }
};

QTEST_GUILESS_MAIN(TestTerminal)
#include "tst_terminal.moc"

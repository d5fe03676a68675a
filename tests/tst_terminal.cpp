#include "log_lines.h"
#include "scripted_component.h"
#include "simulated_terminal.h"
#include "terminal/command_exchange.h"
#include "terminal/port_scan.h"
#include "terminal/serial_component.h"
#include "window/activity_log.h"

#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A log in a temporary folder that remembers the messages it was given.
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

// The real component on the slave side of a pseudo-terminal with a simulated terminal on the
// master side.
struct PtyBench
{
    SimulatedTerminal terminal;
    SerialComponent component { [this] { return QStringList { terminal.portPath() }; } };
    RecordingLog recorder;
    CommandExchange exchange { component, recorder.log };

    bool open()
    {
        component.selectPort(terminal.portPath());
        component.setPortOpen(true);
        return component.isPortOpen();
    }
};

// A whole scan over several ports: simulated terminals, or any other device paths.
struct ScanBench
{
    QStringList ports;
    SerialComponent component { [this] { return ports; } };
    RecordingLog recorder;
    CommandExchange exchange { component, recorder.log };
    PortScan scan { component, exchange, recorder.log };

    qint16 run()
    {
        const qint16 found = scan.CercaCell();
        return found;
    }
};

void configure(SimulatedTerminal &terminal, const QString &kind)
{
    if (kind == QLatin1String("quoted with prefix"))
        terminal.setReply(QStringLiteral("at+gmi"), "\r\n+GMI: \"Nokia\"\r\n\r\nOK\r\n");
    else if (kind == QLatin1String("OK in the name"))
        terminal.setManufacturer(QStringLiteral("NOKIA"));
    else if (kind == QLatin1String("two lines"))
        terminal.setManufacturer(QStringLiteral("ACME MODEM\r\nMODEL 900E"));
    else if (kind == QLatin1String("identification refused"))
        terminal.setReply(QStringLiteral("at+gmi"), "\r\nERROR\r\n");
    else if (kind == QLatin1String("silent"))
        terminal.setSilent(true);
}

// Qt locks a serial port with a lock file in the first of these folders it may write.
bool lockFileExists(const QString &port)
{
    const QString name = "LCK.." + QString(port).remove(0, 5).replace('/', '_');
    for (const char *folder : { "/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                                "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock" }) {
        if (QFile::exists(QString::fromLatin1(folder) + '/' + name))
            return true;
    }
    return false;
}

} // namespace

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
        QTest::newRow("asterisk and number sign")
            << QStringLiteral("*#06#") << QStringLiteral("||06|");
        QTest::newRow("apostrophe") << QStringLiteral("l'ora") << QStringLiteral("l`ora");
        QTest::newRow("quotes stay")
            << QStringLiteral("+GMI: \"Nokia\"") << QStringLiteral("+GMI: \"Nokia\"");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("non-text bytes stay") << QString::fromLatin1("\x00\xff\xe8|\t", 5)
                                             << QString::fromLatin1("\x00\xff\xe8|\t", 5);
        QTest::newRow("past 32767 characters") << QString(40000, QLatin1Char('*'))
                + QStringLiteral("\n") << QString(40001, QLatin1Char('|'));
    }
    void PulisciSTR()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QString argument = input;
        QCOMPARE(::PulisciSTR(argument), expected);
        QCOMPARE(argument, expected);
    }

    // Replies of a terminal on a pseudo-terminal, each ending the exchange in its own way.
    void exchangeOutcome_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("echo");
        QTest::addColumn<bool>("paced");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("error");
        QTest::addColumn<QString>("risposta");

        QTest::newRow("echo and OK at once")
            << "at" << QByteArray("\r\nOK\r\n") << true << false << true << false << "at|||OK||";
        QTest::newRow("echo and OK at 2400 baud")
            << "at" << QByteArray("\r\nOK\r\n") << true << true << true << false << "at|||OK";
        QTest::newRow("no echo") << "at" << QByteArray("\r\nOK\r\n") << false << false << true
                                 << false << "||OK||";
        QTest::newRow("extended error")
            << "at+cpin?" << QByteArray("\r\n+CME ERROR: 10\r\n") << true << false << false << true
            << "at+cpin?|||+CME ERROR: 10||";
        QTest::newRow("OK and ERROR in one turn")
            << "at" << QByteArray("\r\nOK\r\nERROR\r\n") << false << false << true << true
            << "||OK||ERROR||";
        QTest::newRow("lower-case error fails") << "at" << QByteArray("\r\nerror\r\n") << false
                                                << false << false << true << "||error||";
        QTest::newRow("BUSY") << "atd123;" << QByteArray("\r\nBUSY\r\n") << false << false << false
                              << true << "||BUSY||";
        QTest::newRow("no carrier") << "atd123;" << QByteArray("\r\nNo Carrier\r\n") << false
                                    << false << false << true << "||No Carrier||";
        QTest::newRow("OK inside a name") << "at+gmi" << QByteArray("\r\nNOKIA\r\n") << false
                                          << false << true << false << "||NOKIA||";
        QTest::newRow("non-text bytes")
            << "at" << QByteArray("\r\n\x00\xff\x01\xe8\r\nOK\r\n", 12) << false << false << true
            << false << QString::fromLatin1("||\x00\xff\x01\xe8||OK||", 12);
        // Without "OK" the reply only ends when it stops growing: after two budgets of turns.
        QTest::newRow("lower-case ok does not complete")
            << "at" << QByteArray("\r\nok\r\n") << false << false << false << true << "||ok||";
    }
    void exchangeOutcome()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, reply);
        QFETCH(bool, echo);
        QFETCH(bool, paced);
        PtyBench bench;
        bench.terminal.setEcho(echo);
        bench.terminal.setPaced(paced);
        bench.terminal.setReply(command, reply);
        QVERIFY(bench.open());
        bench.exchange.InRicerca = true;

        bench.exchange.EseguiCMD(command);

        QTEST(bench.exchange.RispostaOK, "ok");
        QTEST(bench.exchange.RispostaErrore, "error");
        QTEST(bench.exchange.Risposta, "risposta");
        QCOMPARE(bench.terminal.commands(), std::vector<std::string> { command.toStdString() });
        QVERIFY(bench.recorder.lines.isEmpty());
    }

    void silenceFailsAtTheSecondCheckpoint()
    {
        PtyBench bench;
        bench.terminal.setSilent(true);
        QVERIFY(bench.open());
        bench.exchange.EseguiCMD(QStringLiteral("at"));
        QVERIFY(!bench.exchange.RispostaOK);
        QVERIFY(bench.exchange.RispostaErrore);
        QCOMPARE(bench.exchange.lastPollCount(), 2 * CommandExchange::PollBudget);
        QCOMPARE(bench.exchange.Risposta, QString());
    }

    // Text still arriving at the first checkpoint keeps the exchange going, but a reply that
    // needed a whole budget of turns counts as failed even though its "OK" came.
    void replyPastTheFirstCheckpointFails()
    {
        PtyBench bench;
        bench.terminal.setEcho(false);
        // 600 characters at 2400 baud: two and a half seconds of steady text.
        bench.terminal.setReply(QStringLiteral("ati"),
                                "\r\n" + QByteArray(594, 'x') + "\r\nOK\r\n");
        QVERIFY(bench.open());
        bench.exchange.EseguiCMD(QStringLiteral("ati"));
        QVERIFY(bench.exchange.RispostaOK);
        QVERIFY(bench.exchange.RispostaErrore);
        QVERIFY(bench.exchange.lastPollCount() >= CommandExchange::PollBudget);
    }

    void closedPortGetsTheCommandAndFails()
    {
        RecordingLog recorder;
        ScriptedComponent component;
        CommandExchange exchange(component, recorder.log);
        exchange.EseguiCMD(QStringLiteral("at"));
        QCOMPARE(component.sent, QStringList { QStringLiteral("at") });
        QCOMPARE(exchange.lastPollCount(), 0);
        QVERIFY(exchange.RispostaErrore);
        QVERIFY(!exchange.RispostaOK);
    }

    void lateReplyCountsInTheNextExchange()
    {
        PtyBench bench;
        QVERIFY(bench.open());
        bench.exchange.SenzaAttesa = true;
        bench.exchange.EseguiCMD(QStringLiteral("at"));
        QCOMPARE(bench.exchange.lastPollCount(), 0);
        QVERIFY(!bench.exchange.RispostaOK);
        QVERIFY(!bench.exchange.RispostaErrore);
        bench.exchange.SenzaAttesa = false;
        bench.exchange.EseguiCMD(QString());
        QVERIFY(bench.exchange.RispostaOK);
        QVERIFY(!bench.exchange.RispostaErrore);
        QVERIFY(bench.exchange.Risposta.contains(QLatin1String("OK")));
        QCOMPARE(bench.terminal.commands(), (std::vector<std::string> { "at", "" }));
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
        QFETCH(bool, inRicerca);
        RecordingLog recorder;
        ScriptedComponent component({ QStringLiteral("COM1") });
        component.setScript([status](ScriptedComponent &c, const QString &) {
            c.raiseStatus(status);
            c.deliver(QStringLiteral("\r\nOK\r\n"));
        });
        CommandExchange exchange(component, recorder.log);
        exchange.InRicerca = inRicerca;
        component.setPortOpen(true);
        exchange.EseguiCMD(QStringLiteral("at"));
        QTEST(exchange.RispostaOK, "ok");
        QFETCH(bool, ok);
        QCOMPARE(exchange.RispostaErrore, !ok);
        QTEST(recorder.messages(), "messages");
    }

    // A megabyte without a line end, then silence: the turns must not slow down with the
    // reply's length, and the exchange ends as a stalled one.
    void floodWithoutLineEndEnds()
    {
        PtyBench bench;
        bench.terminal.setPaced(false);
        bench.terminal.setEcho(false);
        bench.terminal.setSilent(true);
        QVERIFY(bench.open());
        bench.terminal.sendRaw(QByteArray(1 << 20, 'A'));
        bench.exchange.EseguiCMD(QStringLiteral("at"));
        QVERIFY(bench.exchange.RispostaErrore);
        QVERIFY(!bench.exchange.RispostaOK);
        QCOMPARE(bench.exchange.Risposta.size(), 1 << 20);
        QVERIFY(bench.exchange.lastPollCount() <= 3 * CommandExchange::PollBudget);
    }

    void componentOpenCloseAndLineSettings()
    {
        PtyBench bench;
        bench.component.setPortOpen(false); // closing a closed port is harmless
        QVERIFY(!bench.component.isPortOpen());
        QVERIFY(bench.open());
        bench.component.setPortOpen(false);
        QVERIFY(!bench.component.isPortOpen());
        QVERIFY(bench.open()); // and it opens again
        termios settings {};
        QVERIFY(bench.terminal.lineSettings(&settings));
        QCOMPARE(cfgetospeed(&settings), speed_t(B2400));
        QCOMPARE(cfgetispeed(&settings), speed_t(B2400));
        QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(settings.c_iflag & (IXON | IXOFF), tcflag_t(0));
    }

    void componentSendsWholeLinesAndReceivesLatin1()
    {
        PtyBench bench;
        bench.terminal.setPaced(false);
        bench.terminal.setEcho(false);
        QVERIFY(bench.open());
        bench.component.send(QStringLiteral("at+gmi"));
        bench.component.send(QString());
        QTRY_COMPARE(bench.terminal.commands(), (std::vector<std::string> { "at+gmi", "" }));

        // The exchange's data handler gathers what the component receives.
        QString &received = bench.exchange.Risposta;
        QTRY_VERIFY(received.endsWith(QLatin1String("OK\r\n")));
        received.clear();
        bench.terminal.sendRaw(QByteArray("\x00\xe8\xff", 3));
        QTRY_COMPARE(received, QString::fromLatin1("\x00\xe8\xff", 3));

        received.clear();
        bench.component.setNullDiscard(1);
        bench.terminal.sendRaw(QByteArray("a\x00z", 3));
        QTRY_COMPARE(received, QStringLiteral("az"));
    }

    void componentOpenFailures()
    {
        SerialComponent component(SerialComponent::PortSource {});
        component.selectPort(QStringLiteral("/dev/quorvane-no-such-port"));
        component.setPortOpen(true);
        QVERIFY(!component.isPortOpen());
        QCOMPARE(component.openError(), SerialComponent::OpenError::NotFound);
        QVERIFY(!component.openErrorText().isEmpty());

        // A port another program holds.
        PtyBench bench;
        QVERIFY(bench.open());
        SerialComponent other(SerialComponent::PortSource {});
        other.selectPort(bench.terminal.portPath());
        other.setPortOpen(true);
        QVERIFY(!other.isPortOpen());
        QCOMPARE(other.openError(), SerialComponent::OpenError::InUse);
        QVERIFY(bench.component.isPortOpen());
    }

    void componentReportsADeviceGoneOnce()
    {
        PtyBench bench;
        QVERIFY(bench.open());
        QSignalSpy status(&bench.component, &SerialComponent::ComponentStatusEvent);
        bench.terminal.hangUp();
        QTRY_COMPARE(status.size(), 1);
        QCOMPARE(bench.component.status(), SerialComponent::StatusNotResponding);
        QVERIFY(!bench.component.isPortOpen());
        QTest::qWait(100);
        QCOMPARE(status.size(), 1);
        bench.component.setPortOpen(false);
        QVERIFY(!bench.component.isPortOpen());
    }

    // A terminal that holds its line: the command cannot be written out within the write
    // timeout, and the component says the terminal does not respond.
    void componentWriteTimeout()
    {
        PtyBench bench;
        bench.terminal.setStalled(true);
        bench.component.setWriteTimeout(200);
        QVERIFY(bench.open());
        QSignalSpy status(&bench.component, &SerialComponent::ComponentStatusEvent);
        bench.component.send(QString(256 * 1024, QLatin1Char('x')));
        QTRY_COMPARE(status.size(), 1);
        QCOMPARE(bench.component.status(), SerialComponent::StatusNotResponding);
    }

    void smapMARCA_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("marca");
        QTest::addColumn<QString>("rest");
        QTest::newRow("echo, name, OK") << "at+gmi|||SIEMENS||||OK||"
                                        << "SIEMENS"
                                        << "SIEMENSOK";
        QTest::newRow("prefix and quotes") << "||+GMI: \"Nokia\"||||OK||"
                                           << "Nokia"
                                           << " NokiaOK";
        QTest::newRow("echo and prefix") << "AT+GMI|||+GMI: Motorola||OK||"
                                         << "Motorola"
                                         << " MotorolaOK";
        QTest::newRow("OK in the name is cut") << "at+gmi|||NOKIA||||OK||"
                                               << "N"
                                               << "NOKIAOK";
        QTest::newRow("two lines joined") << "at+gmi|||ACME MODEM||MODEL 900E||||OK||"
                                          << "ACME MODEMMODEL 900E"
                                          << "ACME MODEMMODEL 900EOK";
        QTest::newRow("no OK") << "||Wavecom||"
                               << "Wavecom"
                               << "Wavecom";
        QTest::newRow("lower-case ok stays") << "||Nokia ok||OK"
                                             << "Nokia ok"
                                             << "Nokia okOK";
        QTest::newRow("only spaces") << "at+gmi|||   ||OK"
                                     << ""
                                     << "   OK";
        QTest::newRow("empty") << ""
                               << ""
                               << "";
        QTest::newRow("only spaces are trimmed") << "||\tACME ||OK"
                                                 << "\tACME"
                                                 << "\tACME OK";
        // Upper-casing must not move positions: "\u00df" has a two-letter upper case.
        QTest::newRow("sharp s before the echo") << "\u00dfat+gmi||Foo||OK"
                                                 << "Foo"
                                                 << "FooOK";
    }
    void smapMARCA()
    {
        QFETCH(QString, reply);
        const QString marca = ::smapMARCA(reply);
        QTEST(marca, "marca");
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

    // One port, one terminal: the whole log of the scan, the result, and the port left closed.
    void scanOfOnePort_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("found");
        QTest::addColumn<std::vector<std::string>>("commands");
        const std::vector<std::string> all { "", "at", "at", "", "", "at+gmi" };
        QTest::newRow("echo, SIEMENS") << "" << QStringList { "Trovato: -SIEMENS-" } << all;
        QTest::newRow("quoted with prefix")
            << "quoted with prefix" << QStringList { "Trovato: -Nokia-" } << all;
        QTest::newRow("OK in the name")
            << "OK in the name" << QStringList { "Trovato: -N-" } << all;
        QTest::newRow("two lines")
            << "two lines" << QStringList { "Trovato: -ACME MODEMMODEL 900E-" } << all;
        QTest::newRow("identification refused") << "identification refused" << QStringList() << all;
        QTest::newRow("silent") << "silent" << QStringList() << all;
    }
    void scanOfOnePort()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, found);
        SimulatedTerminal terminal;
        configure(terminal, kind);
        ScanBench bench;
        bench.ports = QStringList { terminal.portPath() };

        const qint16 result = bench.run();

        const QStringList expected =
            QStringList { "Ricerca del terminale in corso, attendere...",
                          "Verifica " + terminal.portPath() + " in corso..." }
            + found;
        QCOMPARE(bench.recorder.messages(), expected);
        QCOMPARE(result, qint16(found.isEmpty() ? 0 : 1));
        QTEST(terminal.commands(), "commands");
        QVERIFY(!bench.component.isPortOpen());
        QVERIFY(!bench.exchange.InRicerca);
        QVERIFY(bench.scan.Marca.isEmpty());
    }

    void scanOfNoPorts()
    {
        ScanBench bench;
        QCOMPARE(bench.run(), qint16(0));
        QCOMPARE(bench.recorder.messages(),
                 QStringList { "Ricerca del terminale in corso, attendere..." });
        QVERIFY(!bench.exchange.InRicerca);
    }

    // Open failures a pseudo-terminal cannot give a root user, and the number of the first
    // port found when the names carry one.
    void scanReportsOpenFailuresAndTheFirstNumber()
    {
        RecordingLog recorder;
        ScriptedComponent component({ "COM1", "COM2", "COM4", "COM7" });
        component.failOpen("COM1", SerialComponent::OpenError::PermissionDenied,
                           "Permission denied");
        component.failOpen("COM2", SerialComponent::OpenError::InUse, "Device busy");
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

        QCOMPARE(scan.CercaCell(), qint16(4));
        QCOMPARE(recorder.messages(),
                 (QStringList {
                     "Ricerca del terminale in corso, attendere...", "Verifica COM1 in corso...",
                     "Impossibile aprire COM1: permesso negato. Aggiungere l'utente al gruppo "
                     "dialout (sudo usermod -a -G dialout $USER) e accedere di nuovo.",
                     "Verifica COM2 in corso...",
                     "Impossibile aprire COM2: la porta \u00e8 gi\u00e0 in uso da un altro "
                     "programma.",
                     "Verifica COM4 in corso...", "Trovato: -SIEMENS-", "Verifica COM7 in corso...",
                     "Trovato: -Motorola-" }));
        QCOMPARE(component.opened, (QStringList { "COM4", "COM7" }));
        QVERIFY(!component.isPortOpen());
    }

    // Faults of the device during a scan: the scan ends with the lines it should, the port is
    // closed and unlocked, and the same objects go on to find a healthy terminal.
    void faultDuringAScan_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("found");
        QTest::addColumn<std::vector<std::string>>("commands");
        const std::vector<std::string> all { "", "at", "at", "", "", "at+gmi" };
        QTest::newRow("unplugged during an exchange")
            << "unplugged during an exchange" << QStringList()
            << std::vector<std::string> { "", "at" };
        QTest::newRow("unplugged during the settling wait")
            << "unplugged during the settling wait" << QStringList() << std::vector<std::string> {};
        QTest::newRow("a megabyte without a line end")
            << "a megabyte without a line end" << QStringList() << all;
        QTest::newRow("non-text bytes in the name")
            << "non-text bytes in the name"
            << QStringList { QString::fromLatin1("Trovato: -SIE\x00MENS\xff\x01-", 21) } << all;
        QTest::newRow("a name of 100,000 characters")
            << "a name of 100,000 characters"
            << QStringList { "Trovato: -" + QString(100000, 'N') + "-" } << all;
    }
    void faultDuringAScan()
    {
        QFETCH(QString, fault);
        SimulatedTerminal terminal;
        ScanBench bench;
        bench.ports = QStringList { terminal.portPath() };
        if (fault == "unplugged during an exchange") {
            terminal.hangUpOnCommand(2);
        } else if (fault == "unplugged during the settling wait") {
            // Right after the port opens: the first events pumped are the settling wait's.
            QObject::connect(&bench.recorder.log, &ActivityLog::lineAdded,
                             [&terminal](const QString &line) {
                                 if (line.contains("Verifica "))
                                     QTimer::singleShot(0, [&terminal] { terminal.hangUp(); });
                             });
        } else if (fault == "a megabyte without a line end") {
            terminal.setPaced(false);
            terminal.setReply("at+gmi", QByteArray(1 << 20, 'A'));
        } else if (fault == "non-text bytes in the name") {
            terminal.setReply("at+gmi", QByteArray("\r\nSIE\x00MENS\xff\x01\r\n\r\nOK\r\n", 20));
        } else {
            terminal.setPaced(false);
            terminal.setReply("at+gmi", "\r\n" + QByteArray(100000, 'N') + "\r\n\r\nOK\r\n");
        }

        QFETCH(QStringList, found);
        QCOMPARE(bench.run(), qint16(found.isEmpty() ? 0 : 1));
        const QStringList expected =
            QStringList { "Ricerca del terminale in corso, attendere...",
                          "Verifica " + terminal.portPath() + " in corso..." }
            + found;
        QCOMPARE(bench.recorder.messages(), expected);
        QCOMPARE(messagesOf(linesOfFile(bench.recorder.log.filePath())), expected);
        QTEST(terminal.commands(), "commands");
        QVERIFY(!bench.component.isPortOpen());
        QVERIFY(!lockFileExists(terminal.portPath()));

        SimulatedTerminal healthy;
        bench.ports = QStringList { healthy.portPath() };
        QCOMPARE(bench.run(), qint16(1));
        QCOMPARE(bench.recorder.messages().last(), QStringLiteral("Trovato: -SIEMENS-"));
    }

    // Another program holds the port (its lock file is there): the scan says so and goes on.
    // When that program dies without closing, its stale lock does not keep the port from us.
    void portLockedByAnotherProgram()
    {
        SimulatedTerminal terminal;
        terminal.setSilent(true);
        QTemporaryDir folder;
        QProcess holder;
        holder.setWorkingDirectory(folder.path());
        holder.start(QStringLiteral(QUORVANE_TRIAL), { terminal.portPath() });
        QTRY_VERIFY(lockFileExists(terminal.portPath()));

        ScanBench bench;
        bench.ports = QStringList { terminal.portPath() };
        QCOMPARE(bench.run(), qint16(0));
        QCOMPARE(
            bench.recorder.messages(),
            (QStringList { "Ricerca del terminale in corso, attendere...",
                           "Verifica " + terminal.portPath() + " in corso...",
                           "Impossibile aprire " + terminal.portPath()
                               + ": la porta \u00e8 gi\u00e0 in uso da un altro programma." }));

        holder.kill(); // no chance to remove its lock file
        QVERIFY(holder.waitForFinished(5000));
        QVERIFY(lockFileExists(terminal.portPath()));
        terminal.setSilent(false);
        QCOMPARE(bench.run(), qint16(1));
        QCOMPARE(bench.recorder.messages().last(), QStringLiteral("Trovato: -SIEMENS-"));
        QVERIFY(!lockFileExists(terminal.portPath()));
    }

    // As an ordinary user (nobody), whose folder for the log is read-only: a port the user may
    // not open, and one another process holds exclusively.
    void openFailuresOfAnOrdinaryUser_data()
    {
        QTest::addColumn<bool>("exclusive");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not permitted")
            << false
            << ": permesso negato. Aggiungere l'utente al gruppo dialout (sudo usermod -a -G "
               "dialout $USER) e accedere di nuovo.";
        QTest::newRow("held exclusively")
            << true << ": la porta \u00e8 gi\u00e0 in uso da un altro programma.";
    }
    void openFailuresOfAnOrdinaryUser()
    {
        if (geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs root and setpriv to act as an ordinary user");
        QFETCH(bool, exclusive);
        SimulatedTerminal terminal;
        const QByteArray port = terminal.portPath().toLocal8Bit();
        QCOMPARE(::chmod(port.constData(), exclusive ? 0666 : 0600), 0);
        QVERIFY(terminal.setExclusive(exclusive));

        QTemporaryDir readOnly; // root's, 0700 by default: closed to nobody
        QVERIFY(QFile::setPermissions(readOnly.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | QFile::ReadOther | QFile::ExeOther));
        QTemporaryDir userData;
        QVERIFY(QFile::setPermissions(userData.path(), QFileDevice::Permissions(0x7777)));
        QProcess trial;
        trial.setWorkingDirectory(readOnly.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", userData.path());
        environment.insert("HOME", userData.path());
        trial.setProcessEnvironment(environment);
        trial.start("setpriv",
                    { "--reuid=65534", "--regid=65534", "--clear-groups",
                      QStringLiteral(QUORVANE_TRIAL), terminal.portPath() });
        QVERIFY(trial.waitForFinished(30000));
        if (trial.readAllStandardError().contains("failed to execute"))
            QSKIP("the build folder is closed to an ordinary user");
        QCOMPARE(trial.exitCode(), 1);

        const QString fallback = userData.filePath("quorvane-trial/Quorvane.txt");
        QFETCH(QString, reason);
        const QStringList expected {
            "Ricerca del terminale in corso, attendere...",
            "Impossibile scrivere il registro in " + readOnly.filePath("Quorvane.txt")
                + "; il registro viene scritto in " + fallback,
            "Verifica " + terminal.portPath() + " in corso...",
            "Impossibile aprire " + terminal.portPath() + reason,
        };
        QCOMPARE(messagesOf(QString::fromLocal8Bit(trial.readAllStandardOutput())
                                .split('\n', Qt::SkipEmptyParts)),
                 expected);
        QCOMPARE(messagesOf(linesOfFile(fallback)), expected);
        QVERIFY(!QFile::exists(readOnly.filePath("Quorvane.txt")));
    }

    void trialTool_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("terminal found")
            << QStringList { "TERMINAL" } << 0
            << QStringList { "Ricerca del terminale in corso, attendere...",
                             "Verifica TERMINAL in corso...", "Trovato: -SIEMENS-" };
        QTest::newRow("none found")
            << QStringList { "/dev/quorvane-no-such-port" } << 1
            << QStringList { "Ricerca del terminale in corso, attendere...",
                             "Verifica /dev/quorvane-no-such-port in corso...",
                             "Impossibile aprire /dev/quorvane-no-such-port: porta non trovata." };
        QTest::newRow("no ports") << QStringList() << 2 << QStringList();
        QTest::newRow("an option") << QStringList { "--window-less" } << 2 << QStringList();
    }
    void trialTool()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, messages);
        SimulatedTerminal terminal;
        arguments.replaceInStrings("TERMINAL", terminal.portPath());
        messages.replaceInStrings("TERMINAL", terminal.portPath());
        QTemporaryDir folder;
        QProcess trial;
        trial.setWorkingDirectory(folder.path());
        trial.start(QStringLiteral(QUORVANE_TRIAL), arguments);
        QVERIFY(trial.waitForFinished(30000));
        QTEST(trial.exitCode(), "exitCode");
        const QStringList printed =
            QString::fromLocal8Bit(trial.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(messagesOf(printed), messages);
        if (messages.isEmpty())
            QVERIFY(!QFile::exists(folder.filePath("Quorvane.txt")));
        else
            QCOMPARE(messagesOf(linesOfFile(folder.filePath("Quorvane.txt"))), messages);
    }
};

QTEST_GUILESS_MAIN(TestTerminal)
#include "tst_terminal.moc"

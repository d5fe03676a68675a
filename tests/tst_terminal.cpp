#include "benches.h"
#include "scripted_component.h"
#include "simulated_terminal.h"
#include "terminal/port_guard.h"
#include "terminal/system/modem_manager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>

#include <array>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using Commands = std::vector<std::string>;

namespace {

// A scripted terminal's answers: the echo, then OK, or its maker (Motorola on COM7, SIEMENS
// elsewhere) and OK to "at+gmi".
void answer(ScriptedComponent &c, const QString &command)
{
    const QString maker = c.selectedPort() == "COM7" ? "Motorola" : "SIEMENS";
    c.deliver(command == "at+gmi" ? "at+gmi\r\r\n" + maker + "\r\n\r\nOK\r\n"
                                  : command + "\r\r\nOK\r\n");
}

// Other programs' moves, played at the very moment the guard makes its own: armed for a lock,
// the next rename of that lock is preceded by a live program's lock put in its place (so that
// what is moved aside is not what was judged), and followed by yet another lock made at its name.
struct LockRace
{
    bool armed = false;
    QByteArray lock;
} lockRace;

} // namespace

// The C library's renameat2, for this program: as the system's, but for the race above.
extern "C" int renameat2(int fromFolder, const char *from, int toFolder, const char *to,
                         unsigned int flags)
{
    const bool race = lockRace.armed && lockRace.lock == from;
    if (race) {
        lockRace.armed = false;
        const QByteArray live = lockRace.lock + ".live";
        writeFile(QFile::decodeName(live), QByteArray::number(::getpid()) + "\n");
        ::rename(live.constData(), from);
    }
    const int renamed = int(::syscall(SYS_renameat2, fromFolder, from, toFolder, to, flags));
    if (race)
        writeFile(QFile::decodeName(lockRace.lock), QByteArray::number(::getpid()) + "\nthird\n");
    return renamed;
}

Q_DECLARE_METATYPE(Tree)

class TestTerminal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The cleaned text is returned and left in the argument; CR and LF are cleaned in every
    // exchangeOutcome row.
    void PulisciSTR()
    {
        checkCases<QString, QString>(
            [](QString text) {
                const QString cleaned = ::PulisciSTR(text);
                return text == cleaned ? cleaned : "left in the argument: " + text;
            },
            {
                { "asterisk, number sign, apostrophe", "*#06# l'ora", "||06| l`ora" },
                { "quotes and non-text bytes stay", QString::fromLatin1("\"\x00\xff\xe8", 4),
                  QString::fromLatin1("\"\x00\xff\xe8", 4) },
                { "past 32767 characters", QString(40000, '*') + "\n", QString(40001, '|') },
            });
    }

    // Text from outside in a log line: what would end, draw or turn a line, or reach the terminal
    // the log is read on as a command, becomes "?"; letters of any script stay.
    void printable()
    {
        checkCases<QString, QString>(
            ::printable,
            {
                { "tab, CR LF, DEL", "a\tb\r\nc\x7f", "a?b??c?" },
                { "C1 controls", "\u0085\u009b", "??" },
                { "escape sequences and the bell", "\x1b[2J\x1b]0;x\x07", "?[2J?]0;x?" },
                { "a direction override, line and paragraph separators", "a\u202eb\u2028c\u2029",
                  "a?b?c?" },
                { "a format character past 16 bits is one character", "\U000E0001x", "?x" },
                { "letters, accents and spaces stay", "Qu\u00e8 \u00a0\u4e2d",
                  "Qu\u00e8 \u00a0\u4e2d" },
            });
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

    // The number in the name from its fourth character, else the position given.
    void foundPortNumber()
    {
        checkCases<std::pair<QString, qint16>, int>(
            [](const std::pair<QString, qint16> &port) {
                return ::foundPortNumber(port.first, port.second);
            },
            {
                { "COM3", { "COM3", 1 }, 3 },
                { "blank before the number", { "COM 7", 1 }, 7 },
                { "rounded", { "COM3.6", 1 }, 4 },
                { "half to even", { "COM2.5", 1 }, 2 },
                { "ttyUSB0 by position", { "ttyUSB0", 2 }, 2 },
                { "negative by position", { "COM-2", 3 }, 3 },
                { "too large by position", { "COM99999", 4 }, 4 },
                { "short name by position", { "CO", 6 }, 6 },
            });
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
        // A row that waits out its checkpoints does so on a quarter of the budget: the same rules
        // in less time. Where a reply races a checkpoint, the budget is the program's.
        const qint64 budget = CommandExchange::PollBudget / (checkpoints >= 2 ? 4 : 1);
        bench.exchange.setPollBudget(budget);

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
        QVERIFY2(checkpoints >= 2 ? turns == checkpoints * budget
                                  : (turns >= budget) == (checkpoints == 1),
                 qPrintable(QString::number(turns)));
    }

    // Without waiting, the tests of the one turn see the reply as it stood before the pump. On
    // a closed port the command goes nowhere and the exchange fails at once. A terminal that
    // stops responding fails the exchange, and outside a scan the user is told (the whole scans
    // where a terminal is unplugged show that a scan logs nothing).
    void exchangesAPseudoTerminalCannotPlay()
    {
        ScriptedComponent component({ "COM1" });
        component.setScript([](ScriptedComponent &c, const QString &) { c.deliver("\r\nOK\r\n"); });
        ScanBench bench(&component);
        component.setPortOpen(true);
        bench.exchange.SenzaAttesa = true;
        bench.exchange.EseguiCMD("at");
        QVERIFY(!bench.exchange.RispostaOK && !bench.exchange.RispostaErrore);
        QCOMPARE(bench.exchange.Risposta, QStringLiteral("||OK||")); // arrived in the pump, cleaned
        QCOMPARE(bench.exchange.lastPollCount(), 0);

        component.setPortOpen(false);
        bench.exchange.SenzaAttesa = false;
        bench.exchange.EseguiCMD("at");
        QCOMPARE(component.sent, QStringList({ "at", "at" }));
        QCOMPARE(bench.exchange.lastPollCount(), 0);
        QVERIFY(bench.exchange.RispostaErrore && !bench.exchange.RispostaOK);

        component.setScript([](ScriptedComponent &c, const QString &) {
            c.raiseStatus(SerialComponent::StatusNotResponding);
            c.deliver("\r\nOK\r\n");
        });
        component.setPortOpen(true);
        bench.exchange.EseguiCMD("at");
        QVERIFY(bench.exchange.RispostaErrore && !bench.exchange.RispostaOK);
        QCOMPARE(messagesOf(bench.lines), QStringList { "Il terminale non risponde." });
    }

    // The real component on pseudo-terminals: the line settings it sets and the flock it holds
    // while a port is open; unsent output discarded right before each close (a device that never
    // reads would hold the close for the driver's closing wait); a command that cannot be
    // written out within the write timeout; a device gone before the close, which says nothing
    // (outside a scan that would log "Il terminale non risponde.", even after "Uscita").
    void componentOnPseudoTerminals()
    {
        SimulatedTerminal terminal, stalled;
        ScanBench bench;
        const QString port = terminal.portPath();
        // flock(1) exits 99 when the lock is taken (and 66 when the device cannot be opened).
        auto flock = [&port] {
            return QProcess::execute("flock", { "-n", "-E", "99", port, "true" });
        };
        QVERIFY(bench.open(port));
        termios line {};
        QVERIFY(terminal.lineSettings(&line));
        QCOMPARE(cfgetospeed(&line), speed_t(B2400));
        QCOMPARE(cfgetispeed(&line), speed_t(B2400));
        QCOMPARE(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QCOMPARE(line.c_iflag & (IXON | IXOFF), tcflag_t(0));
        QCOMPARE(flock(), 99);
        bench.component.send("at");
        QTRY_COMPARE(terminal.commands(), Commands { "at" });
        bench.component.setPortOpen(false);
        QTRY_COMPARE(
            terminal.history(),
            (Commands { "at", SimulatedTerminal::OutputDiscarded, SimulatedTerminal::Closed }));
        QCOMPARE(flock(), 0);

        QSignalSpy status(&bench.component, &SerialComponent::ComponentStatusEvent);
        stalled.setStalled(true);
        bench.component.setWriteTimeout(200);
        QVERIFY(bench.open(stalled.portPath()));
        bench.component.send(QString(256 * 1024, 'x'));
        QTRY_COMPARE(status.size(), 1);
        QCOMPARE(bench.component.status(), SerialComponent::StatusNotResponding);
        // What could not be written is dropped: it does not reach the terminal later, ahead of
        // the next command.
        stalled.setStalled(false);
        bench.component.send("at");
        QTRY_VERIFY(!stalled.commands().empty() && stalled.commands().back().ends_with("at"));
        QVERIFY(stalled.bytesReceived() < 256 * 1024);

        QVERIFY(bench.open(port));
        terminal.hangUp();
        bench.component.setPortOpen(false);
        QCOMPARE(status.size(), 1);
        QVERIFY(!bench.component.isPortOpen());
    }

    // A flock that /proc/locks shows keeps the port out before the device is opened, which
    // would raise the holder's modem lines: a played /proc names one on the port's node.
    // Between the checks and the open no other program can take the port: the guard keeps its
    // flock until the port is open. One that takes it in the moment the flock moves to the open
    // port (here this process, through a descriptor of its own) gets it: the component closes
    // the port right after Qt opened it, before any command, and names the holder.
    void flocksAroundTheOpen()
    {
        SimulatedTerminal terminal;
        const QByteArray port = terminal.portPath().toLocal8Bit();
        struct stat node = {};
        QCOMPARE(::stat(port.constData(), &node), 0);
        QTemporaryDir root;
        const QString pid = QString::number(::getppid());
        // A busy server's /proc/locks runs past 4 KiB: the port's lock comes after others'.
        QByteArray others;
        for (int line = 1; others.size() < 6000; ++line)
            others += QByteArray::number(line)
                + ": POSIX  ADVISORY  WRITE 99 fd:00:" + QByteArray::number(line) + " 0 EOF\n";
        QVERIFY(plant(root.path(),
                      { { "proc/locks",
                          others
                              + QStringLiteral("1: FLOCK  ADVISORY  WRITE %1 %2:%3:%4 0 EOF\n")
                                    .arg(pid)
                                    .arg(major(node.st_dev), 2, 16, QLatin1Char('0'))
                                    .arg(minor(node.st_dev), 2, 16, QLatin1Char('0'))
                                    .arg(node.st_ino)
                                    .toLatin1() },
                        { "proc/" + pid + "/comm", "picocom\n" } }));
        PortGuard guard;
        guard.setSystemRoot(root.path());
        const OpenFailure held = guard.claim(port);
        QCOMPARE(held.holder + ' ' + QString::number(held.holderPid), "picocom " + pid);
        // A program that only has the port open, where the kernel's list of terminal drivers
        // cannot be read (a container, hidepid): the port is still judged as a terminal.
        QTemporaryDir opened;
        QVERIFY(plant(opened.path(),
                      { { "proc/4242/fd/3", "-> " + port }, { "proc/4242/comm", "screen\n" } }));
        guard.setSystemRoot(opened.path());
        const OpenFailure open = guard.claim(port);
        QCOMPARE(open.holder + ' ' + QString::number(open.holderPid), "screen 4242");

        guard.setSystemRoot("/");
        const int other = ::open(port.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QCOMPARE(guard.claim(port).reason, OpenFailure::Reason::None);
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), -1);
        guard.abandon();

        struct TakenMeanwhile : PortGuard
        {
            int other = -1;
            OpenFailure confirm(qintptr handle) override
            {
                abandon();
                ::flock(other, LOCK_EX | LOCK_NB);
                return PortGuard::confirm(handle);
            }
        };
        auto racing = std::make_unique<TakenMeanwhile>();
        racing->other = other;
        SerialComponent component({}, std::move(racing));
        component.selectPort(port);
        component.setPortOpen(true);
        component.send("at");
        QVERIFY(!component.isPortOpen());
        const OpenFailure &taken = component.openFailure();
        QCOMPARE(taken.holder + QString::number(taken.holderPid),
                 "tst_terminal" + QString::number(::getpid()));
        ::close(other);
    }

    // The scan's own lines: none when a Bluetooth port is left out (a port all the same), and
    // those of the last scan only.
    void scanOwnLines()
    {
        ScriptedComponent bluetooth;
        bluetooth.unconnectedBluetooth = { "rfcomm0" };
        ScanBench withBluetooth(&bluetooth);
        withBluetooth.scan.CercaCell();
        QCOMPARE(withBluetooth.scan.messages(), QStringList {});
        ScriptedComponent none;
        ScanBench empty(&none);
        empty.scan.CercaCell();
        empty.scan.CercaCell();
        QCOMPARE(empty.scan.messages(), QStringList { "Nessuna porta seriale trovata." });
    }

    // Open failures a pseudo-terminal cannot give a root user; ports that fail get no settling
    // wait and no command; the number of the first port found when the names carry one (COM4,
    // third in the list). A Bluetooth port the listing left out gets its line.
    void scanReportsOpenFailuresAndTheFirstNumber()
    {
        ScriptedComponent component({ "COM1", "COM3", "COM4", "COM7" });
        component.unconnectedBluetooth = { "rfcomm0" };
        OpenFailure failure;
        failure.reason = OpenFailure::Reason::NotInGroup;
        failure.group = "uucp";
        component.failOpen("COM1", failure);
        failure.reason = OpenFailure::Reason::InputOutput;
        failure.systemText = "Input/output error";
        component.failOpen("COM3", failure);
        component.setScript(answer);
        ScanBench bench(&component);
        // When each line came, by the clock and by the number of event pumps so far.
        QElapsedTimer clock;
        QTimer pump;
        int pumped = 0;
        connect(&pump, &QTimer::timeout, [&] { ++pumped; });
        pump.start(0);
        QList<std::pair<int, qint64>> at;
        connect(&bench.log, &ActivityLog::lineAdded, [&] {
            at.append({ pumped, clock.elapsed() });
        });
        clock.start();

        QCOMPARE(bench.scan.CercaCell(), qint16(4));
        QCOMPARE(messagesOf(bench.lines),
                 (QStringList {
                     "Ricerca del terminale in corso, attendere...",
                     "La porta rfcomm0 \u00e8 un collegamento Bluetooth non connesso: non viene "
                     "verificata.",
                     "Verifica COM1 in corso...",
                     "Impossibile aprire COM1: permesso negato. Aggiungere l'utente al gruppo uucp "
                     "(sudo usermod -a -G uucp $USER) e accedere di nuovo.",
                     "Verifica COM3 in corso...",
                     "Impossibile aprire COM3: errore di ingresso/uscita (Input/output error).",
                     "Verifica COM4 in corso...", "Trovato: -SIEMENS-", "Verifica COM7 in corso...",
                     "Trovato: -Motorola-" }));
        const QStringList perPort { "", "at", "at", "", "", "at+gmi" };
        QCOMPARE(component.sent, perPort + perPort);
        // The ports that failed had no settling wait, which pumps events thousands of times; the
        // two that opened had theirs, each ending on a whole second.
        const int pumpsPastFailures = at.at(6).first - at.at(2).first;
        QVERIFY2(pumpsPastFailures < 50, qPrintable(QString::number(pumpsPastFailures)));
        QVERIFY(at.last().second - at.at(6).second >= 950);
    }

    // The system's ports as a played sysfs tells them: those with a device behind them, in the
    // order of their device paths, the virtual null modem and gadget ports too; ghost UARTs,
    // virtual consoles and ptmx left out; a Bluetooth port bound but not connected apart.
    void portsListedFromSysfs()
    {
        // A port's class entry and its folder below `parent`: the UART type the serial driver
        // writes (0 for one it found no UART for), and the link to the device behind it.
        auto tty = [](const QString &name, const QString &parent, bool device = true,
                      const QByteArray &type = "4\n") {
            const QString folder = "sys/devices/" + parent + "/tty/" + name;
            Tree tree { { "sys/class/tty/" + name, "-> ../../../" + folder.toLatin1() },
                        { folder + "/type", type } };
            if (device)
                tree.append({ folder + "/device", "-> ../.." });
            return tree;
        };
        const QString usb = "pci0000:00/0000:00:14.0/usb1/";
        QTemporaryDir root;
        QVERIFY(plant(root.path(),
                      tty("ttyS0", "pnp0/00:05") + tty("ttyS1", "platform/serial8250", true, "0\n")
                          + tty("ttyS2", "platform/serial8250")
                          + tty("ttyUSB0", usb + "1-2/1-2:1.0/ttyUSB0")
                          + tty("ttyACM0", usb + "1-3/1-3:1.0")
                          + tty("rfcomm1", usb + "1-4/1-4:1.0/bluetooth/hci0/hci0:12")
                          + tty("rfcomm0", "virtual", false) + tty("ttyGS0", "virtual", false)
                          + tty("tnt0", "virtual", false) + tty("tty1", "virtual", false)
                          + tty("ptmx", "virtual", false)));
        SerialComponent component;
        component.setSystemRoot(root.path());
        const PortList ports = component.listPorts();
        QCOMPARE(
            ports.names,
            (QStringList { "ttyUSB0", "ttyACM0", "rfcomm1", "ttyS2", "ttyS0", "tnt0", "ttyGS0" }));
        QCOMPARE(ports.unconnectedBluetooth, QStringList { "rfcomm0" });
    }

    // Who says which port of a modem is which: ModemManager's word wins over its rules' tag in
    // udev's record; where it says only "AT", the record's finer word stands.
    void whoSaysWhichPortIsWhich()
    {
        static const std::pair<PortRole, const char *> Names[] = {
            { PortRole::AtPrimary, "primary" },
            { PortRole::AtSecondary, "secondary" },
            { PortRole::AtData, "ppp" },
            { PortRole::At, "at" },
            { PortRole::Diagnostic, "diagnostic" }
        };
        QTemporaryDir root;
        checkCases<std::tuple<QByteArray, uint, bool>, QString>(
            [&root](const std::tuple<QByteArray, uint, bool> &said) {
                const auto &[tag, type, primary] = said;
                writeFile(root.filePath("run/udev/data/c1:3"), "E:" + tag + "=1\n");
                ModemManagerAnswer modems;
                modems.state = ModemManagerAnswer::State::Listed;
                modems.modems = { { "/sys/devices/usb1/1-2",
                                    "Quectel",
                                    "EC25",
                                    { { "null", type } },
                                    primary ? "null" : "ttyUSB3" } };
                return QString::fromLatin1(
                    std::find_if(std::begin(Names), std::end(Names), [&](const auto &name) {
                        return name.first == identifyPort(root.path(), "/dev/null", &modems).role;
                    })->second);
            },
            {
                { "its primary port, tagged secondary",
                  { "ID_MM_PORT_TYPE_AT_SECONDARY", ModemManagerAnswer::AtPort, true },
                  "primary" },
                { "its diagnostic port, tagged primary",
                  { "ID_MM_PORT_TYPE_AT_PRIMARY", ModemManagerAnswer::QcdmPort, false },
                  "diagnostic" },
                { "an AT port, tagged PPP", { "ID_MM_PORT_TYPE_AT_PPP", 3, false }, "ppp" },
                { "an AT port, tagged secondary",
                  { "ID_MM_PORT_TYPE_AT_SECONDARY", 3, false },
                  "secondary" },
                { "an AT port, no tag", { "ID_MM_CANDIDATE", 3, false }, "at" },
            });
    }

    // ModemManager's claim on a port, from what is known of it: only a modem's port, by its
    // strict filter, is one ModemManager may be examining or using; and only when ModemManager
    // runs.
    void modemManagerClaim()
    {
        using Claim = PortGuard::ModemManagerClaim;
        using State = ModemManagerAnswer::State;
        // A port of a USB interface bound to `driver`, of class `kind` (class, subclass,
        // protocol), udev's record of it `age` seconds old.
        auto port = [](const QString &driver, std::array<int, 3> kind = { 0xff, 0xff, 0xff },
                       double age = 5) {
            PortIdentity identity;
            identity.usb = UsbInterface { {}, 0, kind[0], kind[1], kind[2], driver };
            identity.record = PortIdentity::Record { true, false, age };
            return identity;
        };
        PortIdentity tagged = port("ch341"), besideNet = port("ch341"), managed = port("option");
        tagged.record->tagged = true;
        besideNet.besideNetworkPort = true;
        managed.modem = PortIdentity::ManagedModem { "/sys/devices/usb1/1-2", "Quectel" };
        PortIdentity ignored = port("option"), unrecorded = port("option");
        ignored.record->forModemManager = false;
        unrecorded.record.reset();
        checkCases<std::pair<PortIdentity, State>, Claim>(
            [](const std::pair<PortIdentity, State> &c) {
                return PortGuard::modemManagerClaim(c.first, c.second);
            },
            {
                { "a modem's port just plugged in",
                  { port("option"), State::Listed },
                  Claim::Examining },
                { "the same, ModemManager silent",
                  { port("option"), State::NoAnswer },
                  Claim::Unanswered },
                { "the same, no ModemManager", { port("option"), State::CannotAsk }, Claim::None },
                { "the same, a minute later",
                  { port("option", { 0xff, 0xff, 0xff }, 60), State::Listed },
                  Claim::None },
                { "its modem listed", { managed, State::Listed }, Claim::Manages },
                { "to be ignored", { ignored, State::NoAnswer }, Claim::None },
                { "no udev record", { unrecorded, State::NoAnswer }, Claim::None },
                { "a CH340 adapter", { port("ch341"), State::NoAnswer }, Claim::None },
                { "an FTDI adapter", { port("ftdi_sio"), State::Listed }, Claim::None },
                { "a CDC ACM port that speaks AT",
                  { port("cdc_acm", { 2, 2, 1 }), State::Listed },
                  Claim::Examining },
                { "a CDC ACM port that speaks no AT",
                  { port("cdc_acm", { 2, 2, 0 }), State::NoAnswer },
                  Claim::None },
                { "an adapter its rules name a modem's",
                  { tagged, State::NoAnswer },
                  Claim::Unanswered },
                { "an adapter beside a network port",
                  { besideNet, State::Listed },
                  Claim::Examining },
            });
    }

    // Missing hardware: a device the system cannot open, for there is nothing behind it (a
    // pseudo-terminal nobody unlocked: EIO; a device number no driver serves: ENXIO), is a port
    // whose device fails, not a refusal of the system's.
    void missingHardware()
    {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0);
        QStringList devices { QString::fromLatin1(::ptsname(master)) };
        QTemporaryDir folder;
        if (geteuid() == 0) {
            devices << folder.filePath("unserved");
            QCOMPARE(::mknod(devices.last().toLocal8Bit(), S_IFCHR | 0600, makedev(240, 77)), 0);
        }
        PortGuard guard;
        for (const QString &device : std::as_const(devices)) {
            const OpenFailure failure = guard.claim(device);
            QCOMPARE(failure.reason, OpenFailure::Reason::InputOutput);
            QVERIFY(!failure.systemText.isEmpty());
        }
        ::close(master);
    }

    // A stale lock is moved aside to be removed; if another program had put a live lock in its
    // place just before, and yet another took the name meanwhile, nothing is overwritten: the
    // live lock stays aside, named in the log, and the newest lock keeps the port out.
    void lockThatCannotGoBack()
    {
        if (geteuid() != 0)
            QSKIP("needs root: in /run/lock only root's locks of gone processes are believed");
        SimulatedTerminal terminal;
        QProcess gone;
        gone.start("true");
        const qint64 goneId = gone.processId();
        QVERIFY(gone.waitForFinished());
        const QString lock = lockPathOf(terminal.portPath());
        QVERIFY(writeFile(lock, QByteArray::number(goneId).rightJustified(10) + "\n"));
        lockRace = { true, QFile::encodeName(lock) };
        ScanBench bench;
        bench.ports = { terminal.portPath() };
        bench.scan.CercaCell();
        lockRace = {};
        const QStringList aside =
            QDir(QFileInfo(lock).path()).entryList({ QFileInfo(lock).fileName() + ".quorvane-*" });
        for (const QString &name : aside)
            QFile::remove(QFileInfo(lock).path() + '/' + name);
        const QByteArray newest = contentOf(lock);
        QFile::remove(lock);
        QCOMPARE(newest, QByteArray::number(::getpid()) + "\nthird\n");
        QCOMPARE(aside.size(), 1);
        QCOMPARE(messagesOf(bench.lines).mid(1),
                 (QStringList { "Verifica " + terminal.portPath() + " in corso...",
                                "Il file di blocco di un altro programma \u00e8 rimasto in "
                                    + QFileInfo(lock).path() + '/' + aside.first()
                                    + ": non ha potuto tornare al suo posto.",
                                "Impossibile aprire " + terminal.portPath()
                                    + ": la porta \u00e8 gi\u00e0 in uso da tst_terminal (processo "
                                    + QString::number(::getpid()) + ")." }));
    }

    // The device behind a port and its stable path, from played sysfs and /dev trees, logged
    // around a found terminal.
    void whichDeviceEachPortIs_data()
    {
        QTest::addColumn<Tree>("tree");
        QTest::addColumn<QStringList>("lines"); // after "Verifica"
        QTest::addColumn<bool>("byLink"); // the port named by a link of the user's own
        // A port below the USB interface 1-2:1.2 (`tail` leads from the interface to the port's
        // entry), the interface's number as sysfs writes it, and the USB device's strings by
        // name.
        const QString usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/";
        auto usbPort = [&usb](const QString &tail, const QByteArray &number, const Tree &strings) {
            Tree tree { { "sys/dev/char/1:3",
                          "-> ../../" + (usb.mid(4) + "1-2:1.2/" + tail).toLatin1() },
                        { usb + "1-2:1.2/" + tail + "/device", "-> ../.." },
                        { usb + "1-2:1.2/bInterfaceNumber", number },
                        { usb + "idVendor", "2c7c\n" },
                        { usb + "idProduct", "0125\n" } };
            for (const auto &[name, value] : strings)
                tree.append({ name.contains("/") ? name : usb + name, value });
            return tree;
        };
        const QString converter = "ttyUSB2/tty/ttyUSB2";
        const Tree byId { { "dev/serial/by-id/usb-Quectel_EC25-if02-port0", "-> ../../null" } };
        const Tree byPath { { "dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.2-port0",
                              "-> ../../null" } };
        const QString found = "Trovato: -SIEMENS-";
        const QString atById = "Percorso stabile: /dev/serial/by-id/usb-Quectel_EC25-if02-port0";
        const QString atByPath =
            "Percorso stabile: /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.2-port0";
        const Tree quectel = usbPort(
            converter, "02\n",
            { { "manufacturer", "Quectel\n" }, { "product", "EC25\n" }, { "serial", "0123\n" } });
        const QStringList foundOnQuectel {
            "Dispositivo: Quectel EC25 (USB 2c7c:0125, interfaccia 2).", found, atById
        };
        row("a USB modem with strings and a serial number, by-id and by-path links",
            quectel + byPath + byId, foundOnQuectel, false);
        // As the manual page suggests a configuration does (quorvane-check /dev/serial/by-id/...).
        row("the same, the port named by a link", quectel + byId, foundOnQuectel, true);
        // Without a serial number every device of the kind gets the same by-id name.
        row("no serial number: by-path first; the product naming the maker, interface 10",
            usbPort(converter, "0a\n",
                    { { "manufacturer", "HUAWEI\n" }, { "product", "HUAWEI Mobile\n" } })
                + byId + byPath,
            QStringList { "Dispositivo: HUAWEI Mobile (USB 2c7c:0125, interfaccia 10).", found,
                          atByPath },
            false);
        row("a modem's own interface (ttyACM), no strings, only a by-id link",
            usbPort("tty/ttyACM0", "02\n", byId),
            QStringList { "Dispositivo: USB 2c7c:0125, interfaccia 2.", found, atById }, false);
        row("control characters in the strings and the link's name, a link to another port",
            usbPort(converter, "02\n",
                    { { "manufacturer", "Quec\ttel\n" },
                      { "product", "EC25\r\nTrovato: -X-\n" },
                      { "dev/serial/by-id/usb-FTDI-if00-port0", "-> ../../ttyUSB7" },
                      { "dev/serial/by-id/usb-Quec\ttel-if02-port0", "-> ../../null" } }),
            QStringList {
                "Dispositivo: Quec?tel EC25??Trovato: -X- (USB 2c7c:0125, interfaccia 2).", found,
                "Percorso stabile: /dev/serial/by-id/usb-Quec?tel-if02-port0" },
            false);
        row("not on USB, a by-path link",
            Tree { { "sys/dev/char/1:3", "-> ../../devices/pnp0/00:05/tty/ttyS0" },
                   { "sys/devices/pnp0/00:05/tty/ttyS0/device", "-> ../.." } }
                + byPath,
            QStringList { found, atByPath }, false);
        // The port belongs to the phone at the other end, not to the computer's adapter.
        row("a Bluetooth link through a USB adapter",
            usbPort("bluetooth/hci0/hci0:12/tty/rfcomm1", "00\n", {}), QStringList { found },
            false);
        // The part in its modem that ModemManager's rules gave the port, as udev keeps it. A
        // port that speaks no AT gets no byte: only a line after its device's.
        auto tagged = [&](const QByteArray &tag, const char *number) {
            return usbPort(
                converter, number,
                { { "dev/serial/by-id/usb-Quectel_EC25-if02-port0", "-> ../../null" },
                  { "run/udev/data/c1:3", "I:1\nE:ID_MM_CANDIDATE=1\nE:" + tag + "=1\n" } });
        };
        const QString skipped = "La porta /dev/null \u00e8 la porta %1 del modem: non viene "
                                "verificata.";
        row("a modem's diagnostic port", tagged("ID_MM_PORT_TYPE_QCDM", "00\n"),
            QStringList { "Dispositivo: USB 2c7c:0125, interfaccia 0.",
                          skipped.arg("diagnostica (QCDM)") },
            false);
        row("a modem's GPS port", tagged("ID_MM_PORT_TYPE_GPS", "01\n"),
            QStringList { "Dispositivo: USB 2c7c:0125, interfaccia 1.", skipped.arg("GPS") },
            false);
        row("a modem's audio port", tagged("ID_MM_PORT_TYPE_AUDIO", "04\n"),
            QStringList { "Dispositivo: USB 2c7c:0125, interfaccia 4.", skipped.arg("audio") },
            false);
        row("a modem's primary AT port", tagged("ID_MM_PORT_TYPE_AT_PRIMARY", "02\n"),
            QStringList { "Dispositivo: USB 2c7c:0125, interfaccia 2, porta AT principale.", found,
                          atById },
            false);
        row("a modem's secondary AT port", tagged("ID_MM_PORT_TYPE_AT_SECONDARY", "03\n"),
            QStringList { "Dispositivo: USB 2c7c:0125, interfaccia 3, porta AT secondaria.", found,
                          atById },
            false);
        row("a modem's data port", tagged("ID_MM_PORT_TYPE_AT_PPP", "03\n"),
            QStringList { "Dispositivo: USB 2c7c:0125, interfaccia 3, porta dati (PPP).", found,
                          atById },
            false);
    }
    void whichDeviceEachPortIs()
    {
        QFETCH(Tree, tree);
        QFETCH(bool, byLink);
        QTemporaryDir root;
        QVERIFY(plant(root.path(), tree));
        // Its device number is all that is read.
        const QString port = byLink ? root.filePath("my-modem") : "/dev/null";
        QVERIFY(!byLink || QFile::link("/dev/null", port));
        ScriptedComponent component({ port });
        component.setSystemRoot(root.path());
        component.setScript(answer);
        ScanBench bench(&component);
        QFETCH(QStringList, lines);
        const bool found = lines.join('|').contains("Trovato");
        QCOMPARE(bench.scan.CercaCell(), qint16(found));
        QCOMPARE(component.sent.size(), found ? 6 : 0); // a port not checked gets no command
        QCOMPARE(messagesOf(bench.lines),
                 QStringList({ "Ricerca del terminale in corso, attendere...",
                               "Verifica " + port + " in corso..." })
                     + lines);
    }
};

QTEST_GUILESS_MAIN(TestTerminal)
#include "tst_terminal.moc"

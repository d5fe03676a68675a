#include "scripted_component.h"
#include "simulated_terminal.h"
#include "terminal/command_exchange.h"
#include "terminal/serial_component.h"
#include "window/activity_log.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

QStringList messagesOf(const QStringList &lines)
{
    QStringList messages;
    for (const QString &line : lines)
        messages << line.mid(QStringLiteral("yyyy-mm-dd hh:nn:ss - ").size());
    return messages;
}

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

} // namespace

class TestTerminal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void PulisciSTR_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("echo and OK") << QStringLiteral("at\r\r\nOK\r\n")
                                     << QStringLiteral("at|||OK||");
        QTest::newRow("asterisk and number sign") << QStringLiteral("*#06#")
                                                  << QStringLiteral("||06|");
        QTest::newRow("apostrophe") << QStringLiteral("l'ora") << QStringLiteral("l`ora");
        QTest::newRow("quotes stay") << QStringLiteral("+GMI: \"Nokia\"")
                                     << QStringLiteral("+GMI: \"Nokia\"");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("non-text bytes stay")
            << QString::fromLatin1("\x00\xff\xe8|\t", 5) << QString::fromLatin1("\x00\xff\xe8|\t", 5);
        QTest::newRow("past 32767 characters")
            << QString(40000, QLatin1Char('*')) + QStringLiteral("\n")
            << QString(40001, QLatin1Char('|'));
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

        QTest::newRow("echo and OK at once") << "at" << QByteArray("\r\nOK\r\n") << true << false
                                             << true << false << "at|||OK||";
        QTest::newRow("echo and OK at 2400 baud")
            << "at" << QByteArray("\r\nOK\r\n") << true << true << true << false << "at|||OK";
        QTest::newRow("no echo") << "at" << QByteArray("\r\nOK\r\n") << false << false << true
                                 << false << "||OK||";
        QTest::newRow("extended error") << "at+cpin?" << QByteArray("\r\n+CME ERROR: 10\r\n")
                                        << true << false << false << true
                                        << "at+cpin?|||+CME ERROR: 10||";
        QTest::newRow("OK and ERROR in one turn")
            << "at" << QByteArray("\r\nOK\r\nERROR\r\n") << false << false << true << true
            << "||OK||ERROR||";
        QTest::newRow("lower-case error fails")
            << "at" << QByteArray("\r\nerror\r\n") << false << false << false << true
            << "||error||";
        QTest::newRow("BUSY") << "atd123;" << QByteArray("\r\nBUSY\r\n") << false << false
                              << false << true << "||BUSY||";
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

    void hangUpDuringTheWaitEndsTheExchange_data()
    {
        QTest::addColumn<bool>("inRicerca");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("during a scan") << true << QStringList();
        QTest::newRow("outside a scan")
            << false << QStringList { QStringLiteral("Il terminale non risponde.") };
    }
    void hangUpDuringTheWaitEndsTheExchange()
    {
        QFETCH(bool, inRicerca);
        PtyBench bench;
        bench.terminal.hangUpOnCommand(1);
        QVERIFY(bench.open());
        bench.exchange.InRicerca = inRicerca;
        bench.exchange.EseguiCMD(QStringLiteral("at"));
        QVERIFY(bench.exchange.RispostaErrore);
        QVERIFY(!bench.exchange.RispostaOK);
        QVERIFY(!bench.component.isPortOpen());
        QVERIFY(bench.exchange.lastPollCount() < CommandExchange::PollBudget);
        QTest::qWait(50); // the failure keeps being reported by the port: it must be said once
        QTEST(bench.recorder.messages(), "messages");
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
        component.setScript([](ScriptedComponent &c, const QString &) {
            c.deliver(QStringLiteral("\r\nOK\r\n"));
        });
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
            << -9 << false << false
            << QStringList { QStringLiteral("Il terminale non risponde.") };
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

    void componentLineSettings()
    {
        PtyBench bench;
        QVERIFY(bench.open());
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

    void componentOpenAndClose()
    {
        PtyBench bench;
        bench.component.setPortOpen(false); // closing a closed port is harmless
        QVERIFY(!bench.component.isPortOpen());
        QVERIFY(bench.open());
        QCOMPARE(bench.component.openError(), SerialComponent::OpenError::None);
        bench.component.setPortOpen(false);
        QVERIFY(!bench.component.isPortOpen());
        bench.component.setPortOpen(false);
        QVERIFY(bench.open()); // and it opens again
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
};

QTEST_GUILESS_MAIN(TestTerminal)
#include "tst_terminal.moc"

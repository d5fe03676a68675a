#include "benches.h"
#include "check/headless_check.h"
#include "scripted_component.h"
#include "simulated_terminal.h"
#include "terminal/port_scan.h"
#include "window/activity_log.h"
#include "window/frmInviaRicevi.h"

#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

QStringList itemsOf(const QListWidget &list)
{
    QStringList items;
    for (int i = 0; i < list.count(); ++i)
        items << list.item(i)->text();
    return items;
}

// quorvane-check copied to a folder of its own, where it writes its log, with no display.
struct CheckBench
{
    QTemporaryDir folder;
    QString program = folder.filePath("quorvane-check");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    CheckBench()
    {
        QFile::copy(QUORVANE_CHECK, program);
        for (const char *name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
            environment.remove(name);
    }
    TrialRun run(const QStringList &arguments) const
    {
        return runTrial(QStringList { program } + arguments, folder.path(), environment);
    }
};

// The window over the given component, shown, in a temporary folder, with every logged line
// recorded with the time it came and the state of "Verifica" at that moment.
struct WindowBench
{
    QTemporaryDir folder;
    QElapsedTimer clock;
    QStringList lines;
    QList<qint64> times;
    QList<bool> verificaEnabled;
    int endRequests = 0;
    std::unique_ptr<frmInviaRicevi> window;

    explicit WindowBench(SerialComponent *component)
    {
        clock.start();
        window = std::make_unique<frmInviaRicevi>(folder.path(), component);
        // Lines of the constructor's own load were logged before this connection: read them
        // back from the list.
        for (const QString &line : itemsOf(*window->listLog))
            record(line);
        QObject::connect(&window->log(), &ActivityLog::lineAdded,
                         [this](const QString &line) { record(line); });
        window->setEndProgram([this] { ++endRequests; });
        window->show();
        // Shortcuts reach only an active window.
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }
    void record(const QString &line)
    {
        lines << line;
        times << clock.elapsed();
        verificaEnabled << window->Command1->isEnabled();
    }
    QStringList messages() const { return messagesOf(lines); }
    qint64 timeOf(const QString &message, int from = 0) const
    {
        return times.at(messages().indexOf(message, from));
    }
    bool waitForVerifica(int timeoutMs = 20000)
    {
        return QTest::qWaitFor([this] { return window->Command1->isEnabled(); }, timeoutMs);
    }
};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The line format in the list and the file; each reads the clock, so the file's line may
    // be a second later. The file is Latin-1 with CR LF, and grows across runs. At its limit the
    // list drops its oldest line for each new one.
    void linesInTheListAndTheFile()
    {
        QTemporaryDir folder;
        QListWidget list;
        QDateTime now(QDate(2026, 1, 5), QTime(7, 3, 9));
        auto clock = [&now] {
            const QDateTime reading = now;
            now = now.addSecs(1);
            return reading;
        };
        {
            ActivityLog first(folder.path(), &list);
            first.setClock(clock);
            first.AddLog(QStringLiteral("Il terminale GSM non \u00e8 stato trovato. "));
        }
        ActivityLog second(folder.path(), &list);
        second.setClock(clock);
        second.AddLog(QString());
        second.AddLog(QStringLiteral("Nuova verifica..."));
        QCOMPARE(
            list.item(0)->text(),
            QStringLiteral("2026-01-05 07:03:09 - Il terminale GSM non \u00e8 stato trovato. "));
        QCOMPARE(list.item(1)->text(), QStringLiteral("2026-01-05 07:03:11 - "));
        QCOMPARE(list.item(2)->text(), QStringLiteral("2026-01-05 07:03:13 - Nuova verifica..."));
        QCOMPARE(list.currentRow(), 2);
        QCOMPARE(contentOf(folder.filePath(QStringLiteral("Quorvane.txt"))),
                 QByteArray("2026-01-05 07:03:10 - Il terminale GSM non \xe8 stato trovato. \r\n"
                            "2026-01-05 07:03:12 - \r\n"
                            "2026-01-05 07:03:14 - Nuova verifica...\r\n"));

        while (list.count() < 32767)
            list.addItem(QString());
        second.AddLog(QStringLiteral("ultima"));
        QCOMPARE(list.count(), 32767);
        QCOMPARE(list.item(0)->text(), QStringLiteral("2026-01-05 07:03:11 - "));
        QCOMPARE(list.item(32766)->text(), QStringLiteral("2026-01-05 07:03:15 - ultima"));
    }

    // The program's folder is read-only (or the file is a full disk): the lines go to the
    // fallback folder, the list says so once, and no line is lost from the list.
    void unwritableLogFile_data()
    {
        QTest::addColumn<bool>("fullDisk");
        QTest::newRow("missing folder") << false;
        QTest::newRow("full disk") << true;
    }
    void unwritableLogFile()
    {
        QFETCH(bool, fullDisk);
        QTemporaryDir folder, fallback;
        const QString logFolder = fullDisk ? folder.path() : folder.filePath("not-there");
        if (fullDisk)
            QVERIFY(QFile::link("/dev/full", folder.filePath("Quorvane.txt")));
        const QString failed = QDir(logFolder).filePath("Quorvane.txt");
        QListWidget list;
        ActivityLog log(logFolder, &list);
        log.setFallbackFolder(fallback.path());
        log.AddLog("uno");
        log.AddLog("due");
        const QString moved = fallback.filePath("Quorvane.txt");
        QCOMPARE(log.filePath(), moved);
        const QStringList expected { "uno",
                                     "Impossibile scrivere il registro in " + failed
                                         + "; il registro viene scritto in " + moved,
                                     "due" };
        QCOMPARE(messagesOf(itemsOf(list)), expected);
        QCOMPARE(messagesOf(linesOfFile(moved)), expected);

        // Nowhere to write at all: the list keeps every line and says so once.
        QListWidget bare;
        ActivityLog stranded(logFolder, &bare);
        stranded.setFallbackFolder(QString());
        stranded.AddLog("tre");
        stranded.AddLog("quattro");
        stranded.reportFilePath(); // no file to name
        QCOMPARE(messagesOf(itemsOf(bare)),
                 (QStringList { "tre",
                                "Impossibile scrivere il registro in " + failed
                                    + "; le righe restano solo nell'elenco.",
                                "quattro" }));
    }

    // Start-up without a port, then "Verifica": each check comes three seconds after it was
    // armed, the advice follows a check that found nothing, and "Verifica" comes back only
    // after the three seconds' pause that follows the advice.
    void checkCycleWithoutPorts()
    {
        auto *component = new ScriptedComponent;
        WindowBench bench(component);
        // At start: the component's four settings written, the first check armed.
        QCOMPARE(component->writeTimeout(), 1000);
        QVERIFY(component->readBufferLimit() == 0 && component->handshaking() == 0);
        QVERIFY(!component->discardsNulls());
        QCOMPARE(bench.window->Timer1->interval(), 3000);
        QVERIFY(bench.waitForVerifica());
        const QStringList search { "Ricerca del terminale in corso, attendere...",
                                   "Nessuna porta seriale trovata." };
        const QStringList firstCheck =
            QStringList { "Verifica presenza terminali compatibili" } + search + NotFoundAdvice;
        QCOMPARE(bench.messages(), firstCheck);
        const qint64 enabledAt = bench.clock.elapsed();
        QVERIFY(bench.timeOf("Ricerca del terminale in corso, attendere...") >= 2900);
        QVERIFY(enabledAt - bench.times.last()
                >= 1900); // a three-second wait, counted in whole seconds
        QVERIFY(!bench.window->Timer1->isActive());

        const qint64 clickedAt = bench.clock.elapsed();
        QTest::mouseClick(bench.window->Command1, Qt::LeftButton);
        QCOMPARE(bench.messages().mid(firstCheck.size()),
                 (QStringList { QString(), "Nuova verifica..." }));

        QVERIFY(bench.waitForVerifica());
        QCOMPARE(bench.messages().mid(firstCheck.size()),
                 QStringList({ QString(), "Nuova verifica..." }) + search + NotFoundAdvice);
        QVERIFY(bench.timeOf("Ricerca del terminale in corso, attendere...", firstCheck.size())
                    - clickedAt
                >= 2900);
        QCOMPARE(bench.verificaEnabled.count(true), 0); // from the start, through either check
    }

    // A check that finds a terminal adds no advice; a logout (SIGTERM) then closes the window as
    // "Uscita" does: the port left open is closed.
    void terminalFoundThenTheWindowClosed()
    {
        SimulatedTerminal terminal;
        const QString port = terminal.portPath();
        WindowBench bench(new SerialComponent([port] { return QStringList { port }; }));
        QVERIFY(bench.waitForVerifica());
        QCOMPARE(bench.messages(),
                 (QStringList { "Verifica presenza terminali compatibili",
                                "Ricerca del terminale in corso, attendere...",
                                "Verifica " + port + " in corso...", "Trovato: -SIEMENS-" }));

        bench.window->comSMS->selectPort(port);
        bench.window->comSMS->setPortOpen(true);
        QVERIFY(bench.window->comSMS->isPortOpen());
        ::raise(SIGTERM);
        QTRY_COMPARE(bench.endRequests, 1);
        QVERIFY(!bench.window->comSMS->isPortOpen());
    }

    // "Uscita" pressed in the middle of a check: the process ends at once, nothing more is
    // logged, and the port is given back.
    void uscitaDuringACheckEndsTheProcess()
    {
        SimulatedTerminal terminal;
        terminal.setSilent(true); // a check of a silent port lasts about nine seconds
        QTemporaryDir folder; // the trial's window shows on this test's platform
        const TrialRun run = runTrial(
            { QUORVANE_TRIAL, "--window", "--press-uscita-after", "5500", terminal.portPath() },
            folder.path());
        QCOMPARE(run.exitCode, 0);
        const QStringList expected { "Verifica presenza terminali compatibili",
                                     "Ricerca del terminale in corso, attendere...",
                                     "Verifica " + terminal.portPath() + " in corso..." };
        QCOMPARE(messagesOf(run.printed), expected);
        QCOMPARE(messagesOf(run.logged), expected);
        QVERIFY(!terminal.commands().empty()); // the check was under way
        // The port was closed on the way out: its lock file is gone.
        QVERIFY(!QFile::exists(lockPathOf(terminal.portPath())));
    }

    // The programs' command lines without a display: help and version touch no port, bad usage
    // says where to look, and the window program points to quorvane-check instead of aborting.
    void commandLines_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output"); // its first line; standard error's when it fails
        row("help", QStringList { "--help" }, 0,
            QString("Uso: quorvane-check [OPZIONI] [PORTA...]"));
        row("version", QStringList { "-v" }, 0, QString("quorvane-check " QUORVANE_VERSION));
        row("an unknown option", QStringList { "--bogus", "/dev/null" }, 2,
            QString("quorvane-check: opzione sconosciuta --bogus (quorvane-check --help)"));
        row("a value to an option that takes none", QStringList { "--json=yes" }, 2,
            QString("quorvane-check: l'opzione --json non accetta un valore (quorvane-check "
                    "--help)"));
        row("the window program", QStringList { QUORVANE_PROGRAM }, 2,
            QString("quorvane: nessuno schermo su cui aprire la finestra; per verificare i "
                    "terminali dal terminale: quorvane-check"));
    }
    void commandLines()
    {
        QFETCH(QStringList, command);
        const CheckBench check;
        const TrialRun run = command.first() == QUORVANE_PROGRAM
            ? runTrial(command, check.folder.path(), check.environment)
            : check.run(command);
        QTEST(run.exitCode, "status");
        QTEST((run.exitCode == 0 ? run.printed : run.errors).value(0), "output");
        QVERIFY(run.logged.isEmpty());
    }

    // A check from a terminal finds a simulated terminal, names it in its JSON document and
    // writes its log beside itself. (The lines it prints otherwise are the trial tool's, which
    // runs the same check in every whole scan that it plays.)
    void checkFromATerminal()
    {
        SimulatedTerminal terminal;
        const CheckBench check;
        const QStringList expected { "Ricerca del terminale in corso, attendere...",
                                     "Verifica " + terminal.portPath() + " in corso...",
                                     "Trovato: -SIEMENS-" };
        const TrialRun run = check.run({ "--json", terminal.portPath() });
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(messagesOf(run.logged), expected);
        const QJsonObject report =
            QJsonDocument::fromJson(run.printed.join('\n').toUtf8()).object();
        const QJsonObject found = report["terminals"].toArray().at(0).toObject();
        QCOMPARE(found["port"].toString(), terminal.portPath());
        QCOMPARE(found["manufacturer"].toString(), "SIEMENS");
        QVERIFY(found["stable_path"].isNull() && found["device"].isNull());
        const QJsonObject port = report["ports"].toArray().at(0).toObject();
        QCOMPARE(port["result"].toString(), "found");
        QCOMPARE(port["messages"].toVariant().toStringList(), expected.mid(1));
    }

    // What a script reads in the document: why each port came to nothing, in one word; and in the
    // status, whether a port could not be checked (another program holds it here).
    void checkForScripts()
    {
        ScriptedComponent component({ "COM1", "COM2", "COM3", "COM4" });
        component.unconnectedBluetooth = { "rfcomm0" };
        component.setScript([](ScriptedComponent &c, const QString &command) {
            if (c.selectedPort() == "COM1")
                c.deliver(command == "at+gmi" ? "\r\nSIEMENS\r\nOK\r\n" : "\r\nOK\r\n");
        });
        OpenFailure refused;
        refused.reason = OpenFailure::Reason::NotInGroup;
        component.failOpen("COM3", refused);
        OpenFailure held;
        held.reason = OpenFailure::Reason::InUse;
        component.failOpen("COM4", held);
        ScanBench bench(&component);
        bench.exchange.setPollBudget(CommandExchange::PollBudget / 4);
        bench.scan.CercaCell();
        const QJsonObject report = QJsonDocument::fromJson(checkReport(bench.scan)).object();
        QCOMPARE(report["version"].toInt(), 1);
        QStringList reasons;
        for (const QJsonValue port : report["ports"].toArray())
            reasons << port["result"].toString() + ' ' + port["reason"].toString();
        QCOMPARE(reasons,
                 (QStringList { "skipped bluetooth", "found found", "not_found no_answer",
                                "not_found permission_denied", "kept_out in_use" }));
        QCOMPARE(report["ports"][1]["port"], "/dev/COM1"); // by its device path

        SimulatedTerminal terminal;
        const int holder = ::open(terminal.portPath().toLocal8Bit(), O_RDWR | O_NOCTTY);
        const TrialRun run = CheckBench().run({ "--json", terminal.portPath() });
        ::close(holder);
        QCOMPARE(run.exitCode, 3);
        QCOMPARE(QJsonDocument::fromJson(run.printed.join('\n').toUtf8())["ports"][0]["reason"],
                 "in_use");
    }

    // A check that waits: for a port named to it that appears after it started, and one that
    // never does (reported missing when the time is up, with the status of nothing found).
    void checkWaitsForItsPort()
    {
        SimulatedTerminal terminal;
        const CheckBench check;
        const QString late = check.folder.filePath("late");
        QProcess process;
        process.setProcessEnvironment(check.environment);
        process.start(check.program, { "--wait", "60", "--json", late });
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(check.folder.filePath("Quorvane.txt")), 10000);
        QVERIFY(QFile::link(terminal.portPath(), late)); // once "In attesa di ..." is written
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        // Named by a link, by the device in the document.
        QCOMPARE(QJsonDocument::fromJson(process.readAllStandardOutput())["terminals"][0]["port"],
                 terminal.portPath());
        QCOMPARE(messagesOf(linesOfFile(check.folder.filePath("Quorvane.txt"))),
                 (QStringList { "In attesa di " + late + " (fino a 60 secondi)...",
                                "Ricerca del terminale in corso, attendere...",
                                "Verifica " + late + " in corso...", "Trovato: -SIEMENS-" }));

        const QString never = check.folder.filePath("never");
        const TrialRun run = check.run({ "--wait=2", never });
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(messagesOf(run.printed).mid(0, 4),
                 (QStringList { "In attesa di " + never + " (fino a 2 secondi)...",
                                "Ricerca del terminale in corso, attendere...",
                                "Verifica " + never + " in corso...",
                                "Impossibile aprire " + never + ": porta non trovata." }));
    }

    // Ctrl-C or SIGTERM in the middle of a check of a silent port: the port closed as at the end
    // of a probe (unsent output discarded, then closed), the line logged, the signal's status.
    // The document is printed all the same, the port being checked named as interrupted. A
    // signal the check was started to ignore (a job in the background of a script) stays
    // ignored: the check goes on to its end.
    void checkInterrupted_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<bool>("ignored");
        row("Ctrl-C", int(SIGINT), false);
        row("SIGTERM", int(SIGTERM), false);
        row("SIGHUP: the SSH session dropped", int(SIGHUP), false);
        row("Ctrl-C to a job that ignores it", int(SIGINT), true);
    }
    void checkInterrupted()
    {
        QFETCH(int, signalNumber);
        QFETCH(bool, ignored);
        SimulatedTerminal terminal;
        terminal.setSilent(!ignored);
        const CheckBench check;
        QProcess process;
        process.setProcessEnvironment(check.environment);
        if (ignored)
            process.setChildProcessModifier([] { ::signal(SIGINT, SIG_IGN); });
        process.start(check.program, { "--json", terminal.portPath() });
        QTRY_VERIFY_WITH_TIMEOUT(!terminal.commands().empty(), 10000);
        QCOMPARE(process.state(), QProcess::Running);
        ::kill(process.processId(), signalNumber);
        QVERIFY(process.waitForFinished(10000));
        const QJsonDocument report = QJsonDocument::fromJson(process.readAllStandardOutput());
        if (ignored) {
            QCOMPARE(process.exitCode(), 0);
            QCOMPARE(report["ports"][0]["reason"], "found");
            return;
        }
        QCOMPARE(process.exitCode(), 128 + signalNumber);
        QCOMPARE(report["ports"][0]["reason"], "interrupted");
        QCOMPARE(messagesOf(linesOfFile(check.folder.filePath("Quorvane.txt"))).last(),
                 "Verifica interrotta.");
        const auto history = terminal.history();
        QCOMPARE((std::vector(history.end() - 2, history.end())),
                 (std::vector<std::string> { SimulatedTerminal::OutputDiscarded,
                                             SimulatedTerminal::Closed }));
    }

    // The reader of its lines gone (`quorvane-check | head -n 1`): the check finishes the port it
    // is on and closes it, says so in the log file and ends with its own status; the next port
    // gets nothing.
    void checkOutlivesItsReader()
    {
        SimulatedTerminal first, second;
        const CheckBench check;
        const TrialRun run =
            runTrial({ "bash", "-c", "\"$0\" \"$1\" \"$2\" | head -n 1; exit ${PIPESTATUS[0]}",
                       check.program, first.portPath(), second.portPath() },
                     check.folder.path(), check.environment);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(messagesOf(run.printed),
                 QStringList { "Ricerca del terminale in corso, attendere..." });
        QCOMPARE(messagesOf(run.logged),
                 (QStringList { "Ricerca del terminale in corso, attendere...",
                                "Verifica " + first.portPath() + " in corso...",
                                "Trovato: -SIEMENS-", "Verifica interrotta." }));
        QCOMPARE(first.history().back(), SimulatedTerminal::Closed);
        QVERIFY(second.history().empty());
    }

    // At the first size every line of a modem's scan is there whole: a long one wraps, with no
    // scrolling sideways, and its whole text is its tooltip. What the window gains goes to the
    // list; the buttons keep their size and gap, centred below it (other sizes or another gap
    // would move "Verifica").
    void listAtEverySize()
    {
        WindowBench bench(new ScriptedComponent);
        QListWidget *list = bench.window->listLog;
        QCOMPARE(bench.window->size(), QSize(435, 369));
        for (const char *message :
             { "Dispositivo: Quectel EC25 (USB 2c7c:0125, interfaccia 2, porta AT principale).",
               "La porta /dev/ttyUSB2 \u00e8 gestita da ModemManager. Per liberarla durante la "
               "verifica: mmcli --inhibit-device=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2",
               "Percorso stabile: /dev/serial/by-id/usb-Quectel_EC25_0123456789ABCDEF-if02-port0" })
            bench.window->log().AddLog(QString::fromUtf8(message));
        QCoreApplication::processEvents();
        QCOMPARE(list->horizontalScrollBar()->maximum(), 0);
        const QFontMetrics metrics(list->font());
        const int width = list->viewport()->width();
        for (int row = 0; row < list->count(); ++row) {
            const QListWidgetItem *item = list->item(row);
            const QRect rect = list->visualItemRect(item);
            // Within the list's width, and at least as many lines high as the text is wider.
            const int lines = 1 + metrics.horizontalAdvance(item->text()) / width;
            QVERIFY2(rect.right() < width && rect.height() >= lines * metrics.height(),
                     qPrintable(item->text()));
            QCOMPARE(item->toolTip(), item->text());
        }

        bench.window->resize(701, 500);
        QCOMPARE(bench.window->listLog->geometry(), QRect(8, 8, 683, 447));
        QCOMPARE(bench.window->Command1->geometry(), QRect(229, 467, 97, 25));
    }

    // Ctrl+A and Ctrl+C copy the selected lines as shown; on a "Percorso stabile" line the menu
    // copies the path alone, and every line.
    void copyingLines()
    {
        WindowBench bench(new ScriptedComponent);
        QListWidget *list = bench.window->listLog;
        bench.window->log().AddLog("Percorso stabile: /dev/serial/by-id/usb-Quectel-if02-port0");
        bench.window->log().AddLog("Trovato: -Quectel-");
        QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
        list->item(1)->setSelected(false); // the first line and the last
        const QString chosen = list->item(0)->text() + '\n' + list->item(2)->text();
        QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), chosen);
        Q_EMIT list->customContextMenuRequested(list->visualItemRect(list->item(1)).center());
        const QList<QAction *> menu = QApplication::activePopupWidget()->actions();
        menu.value(2)->trigger(); // "Copia percorso"
        QCOMPARE(QGuiApplication::clipboard()->text(), "/dev/serial/by-id/usb-Quectel-if02-port0");
        // A line logged while the menu is open selects itself alone, as every new line does...
        bench.window->log().AddLog("nuova");
        QCOMPARE(list->selectedItems(), QList { list->item(list->count() - 1) });
        menu.value(0)->trigger(); // ... and "Copia" copies what was selected as the menu opened
        QCOMPARE(QGuiApplication::clipboard()->text(), chosen);
        menu.value(1)->trigger(); // "Copia tutto"
        QCOMPARE(QGuiApplication::clipboard()->text(), itemsOf(*list).join('\n'));
        QApplication::activePopupWidget()->close();
        // With nothing selected the clipboard keeps what it had; a line without a path offers
        // no path to copy.
        list->clearSelection();
        QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), itemsOf(*list).join('\n'));
        Q_EMIT list->customContextMenuRequested(list->visualItemRect(list->item(2)).center());
        QCOMPARE(QApplication::activePopupWidget()->actions().size(), 2);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"

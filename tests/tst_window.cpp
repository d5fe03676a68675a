#include "log_lines.h"
#include "scripted_component.h"
#include "simulated_terminal.h"
#include "terminal/port_scan.h"
#include "window/activity_log.h"
#include "window/frmInviaRicevi.h"

#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QStringList NotFoundAdvice {
    "Nessun terminale trovato",
    "******************",
    "Il terminale GSM non \u00e8 stato trovato. ",
    "Verificare il collegamento con il pc.",
    "Se il problema persiste scollegare il ",
    "terminale dal computer, ",
    "attendere 5 secondi ",
    "e poi ricollegarlo.",
    "******************",
};

// The window over the given component, in a temporary folder, with every logged line recorded
// with the time it came and the state of "Verifica" at that moment.
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
        for (int i = 0; i < window->listLog->count(); ++i)
            record(window->listLog->item(i)->text());
        QObject::connect(&window->log(), &ActivityLog::lineAdded,
                         [this](const QString &line) { record(line); });
        window->setEndProgram([this] { ++endRequests; });
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
    void lineFormat_data()
    {
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("line");
        QTest::newRow("plain") << QDateTime(QDate(2004, 9, 2), QTime(22, 57, 50))
                               << QStringLiteral("Nuova verifica...")
                               << QStringLiteral("2004-09-02 22:57:50 - Nuova verifica...");
        QTest::newRow("leading zeros")
            << QDateTime(QDate(2026, 1, 5), QTime(7, 3, 9)) << QStringLiteral("x")
            << QStringLiteral("2026-01-05 07:03:09 - x");
        QTest::newRow("empty message") << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59))
                                       << QString() << QStringLiteral("2026-12-31 23:59:59 - ");
    }
    void lineFormat()
    {
        QFETCH(QDateTime, when);
        QFETCH(QString, message);
        QTemporaryDir folder;
        QListWidget list;
        ActivityLog log(folder.path(), &list);
        log.setClock([when] { return when; });
        log.AddLog(message);
        QFETCH(QString, line);
        QCOMPARE(list.count(), 1);
        QCOMPARE(list.item(0)->text(), line);
        QCOMPARE(readAll(folder.filePath(QStringLiteral("Quorvane.txt"))),
                 line.toLatin1() + "\r\n");
    }

    // List and file read the clock each; the file's line may be a second later.
    void listAndFileReadTheClockEach()
    {
        QTemporaryDir folder;
        QListWidget list;
        ActivityLog log(folder.path(), &list);
        QDateTime now(QDate(2026, 3, 4), QTime(10, 20, 30));
        log.setClock([&now] {
            const QDateTime reading = now;
            now = now.addSecs(1);
            return reading;
        });
        log.AddLog(QStringLiteral("a"));
        log.AddLog(QStringLiteral("b"));
        QCOMPARE(list.item(0)->text(), QStringLiteral("2026-03-04 10:20:30 - a"));
        QCOMPARE(list.item(1)->text(), QStringLiteral("2026-03-04 10:20:32 - b"));
        QCOMPARE(readAll(log.filePath()),
                 QByteArray("2026-03-04 10:20:31 - a\r\n2026-03-04 10:20:33 - b\r\n"));
        QCOMPARE(list.currentRow(), 1);
    }

    void fileIsLatin1AndGrowsAcrossRuns()
    {
        QTemporaryDir folder;
        const QDateTime when(QDate(2026, 5, 6), QTime(1, 2, 3));
        {
            ActivityLog first(folder.path());
            first.setClock([when] { return when; });
            first.AddLog(QStringLiteral("Il terminale GSM non \u00e8 stato trovato. "));
        }
        ActivityLog second(folder.path());
        second.setClock([when] { return when; });
        second.AddLog(QStringLiteral("Nuova verifica..."));
        second.AddLog(QStringLiteral("Nuova verifica..."));
        QCOMPARE(readAll(folder.filePath(QStringLiteral("Quorvane.txt"))),
                 QByteArray("2026-05-06 01:02:03 - Il terminale GSM non \xe8 stato trovato. \r\n"
                            "2026-05-06 01:02:03 - Nuova verifica...\r\n"
                            "2026-05-06 01:02:03 - Nuova verifica...\r\n"));
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
        QTemporaryDir folder;
        QTemporaryDir fallback;
        QString logFolder = folder.filePath(QStringLiteral("not-there"));
        if (fullDisk) {
            if (!QFile::exists(QStringLiteral("/dev/full")))
                QSKIP("no /dev/full here");
            logFolder = folder.path();
            QVERIFY(QFile::link(QStringLiteral("/dev/full"),
                                folder.filePath(QStringLiteral("Quorvane.txt"))));
        }
        QListWidget list;
        ActivityLog log(logFolder, &list);
        log.setFallbackFolder(fallback.path());
        log.AddLog(QStringLiteral("uno"));
        log.AddLog(QStringLiteral("due"));
        const QString fallbackFile = fallback.filePath(QStringLiteral("Quorvane.txt"));
        QCOMPARE(log.filePath(), fallbackFile);
        QCOMPARE(list.count(), 3);
        QVERIFY(list.item(0)->text().endsWith(QLatin1String(" - uno")));
        QVERIFY(list.item(1)->text().contains(
            QLatin1String(" - Impossibile scrivere il registro in ")));
        QVERIFY(list.item(1)->text().endsWith(fallbackFile));
        QVERIFY(list.item(2)->text().endsWith(QLatin1String(" - due")));
        const QList<QByteArray> fileLines = readAll(fallbackFile).split('\n');
        QCOMPARE(fileLines.size(), 4); // three lines and what follows the last line end
        QVERIFY(fileLines.at(0).endsWith(" - uno\r"));
        QVERIFY(fileLines.at(2).endsWith(" - due\r"));

        // Nowhere to write at all: the list keeps every line and says so once.
        QListWidget bare;
        ActivityLog stranded(logFolder, &bare);
        stranded.setFallbackFolder(QString());
        stranded.AddLog(QStringLiteral("tre"));
        stranded.AddLog(QStringLiteral("quattro"));
        QCOMPARE(bare.count(), 3);
        QVERIFY(bare.item(1)->text().endsWith(QLatin1String("le righe restano solo nell'elenco.")));
        QVERIFY(bare.item(2)->text().endsWith(QLatin1String(" - quattro")));
    }

    void listDropsItsOldestLinesAtTheLimit()
    {
        QTemporaryDir folder;
        QListWidget list;
        ActivityLog log(folder.path(), &list);
        for (int i = 0; i < ActivityLog::ListLineLimit; ++i)
            list.addItem(QString::number(i));
        log.AddLog(QStringLiteral("ultima"));
        QCOMPARE(list.count(), 32767);
        QCOMPARE(list.item(0)->text(), QStringLiteral("1"));
        QVERIFY(list.item(32766)->text().endsWith(QLatin1String(" - ultima")));
        QCOMPARE(list.currentRow(), 32766);
    }

    void controlsAtStart()
    {
        auto *component = new ScriptedComponent;
        WindowBench bench(component);
        frmInviaRicevi &w = *bench.window;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.windowTitle(), QStringLiteral("Quorvane"));
        QCOMPARE(w.size(), QSize(435, 369));
        QCOMPARE(w.listLog->geometry(), QRect(8, 8, 417, 316));
        QCOMPARE(w.Command1->geometry(), QRect(88, 336, 97, 25));
        QCOMPARE(w.Command2->geometry(), QRect(232, 336, 97, 25));
        QCOMPARE(w.Command1->text(), QStringLiteral("Verifica"));
        QCOMPARE(w.Command2->text(), QStringLiteral("Uscita"));
        QCOMPARE(w.listLog->font().family(), QStringLiteral("Verdana"));
        QCOMPARE(w.listLog->font().pointSizeF(), 8.25);
        QCOMPARE(w.Command1->font().pointSizeF(), 9.75);
        QVERIFY(!w.Command1->isEnabled());
        QVERIFY(w.Command2->isEnabled());
        QVERIFY(w.Timer1->isActive());
        QCOMPARE(w.Timer1->interval(), 3000);
        QList<QWidget *> tabOrder;
        for (QWidget *widget = w.nextInFocusChain(); widget != &w;
             widget = widget->nextInFocusChain()) {
            if (widget == w.listLog || widget == w.Command1 || widget == w.Command2)
                tabOrder << widget;
        }
        QCOMPARE(tabOrder, (QList<QWidget *> { w.listLog, w.Command1, w.Command2 }));
        QTRY_COMPARE(QApplication::focusWidget(), w.listLog);
        const QList<QSize> iconSizes = w.windowIcon().availableSizes();
        QVERIFY(iconSizes.contains(QSize(16, 16)));
        QVERIFY(iconSizes.contains(QSize(32, 32)));
        QCOMPARE(component->readBufferLimit(), 0);
        QCOMPARE(component->writeTimeout(), 1000);
        QCOMPARE(component->handshaking(), 0);
        QVERIFY(!component->discardsNulls());
        QCOMPARE(bench.messages(), QStringList { "Verifica presenza terminali compatibili" });
    }

    // Start-up without a port, then "Verifica": each check comes three seconds after it was
    // armed, the advice follows a check that found nothing, and "Verifica" comes back only
    // after the three seconds' pause that follows the advice.
    void checkCycleWithoutPorts()
    {
        WindowBench bench(new ScriptedComponent);
        bench.window->show();
        QVERIFY(bench.waitForVerifica());
        const QStringList firstCheck =
            QStringList { "Verifica presenza terminali compatibili",
                          "Ricerca del terminale in corso, attendere..." }
            + NotFoundAdvice;
        QCOMPARE(bench.messages(), firstCheck);
        const qint64 enabledAt = bench.clock.elapsed();
        QVERIFY(bench.timeOf("Ricerca del terminale in corso, attendere...") >= 2900);
        QVERIFY(enabledAt - bench.times.last()
                >= 1900); // a three-second wait, counted in whole seconds
        QVERIFY(!bench.verificaEnabled.contains(true));
        QVERIFY(!bench.window->Timer1->isActive());

        const qint64 clickedAt = bench.clock.elapsed();
        QTest::mouseClick(bench.window->Command1, Qt::LeftButton);
        QVERIFY(!bench.window->Command1->isEnabled());
        QVERIFY(bench.window->Timer1->isActive());
        QCOMPARE(bench.messages().mid(firstCheck.size()),
                 (QStringList { QString(), "Nuova verifica..." }));
        QVERIFY(bench.lines.last().endsWith(QLatin1String(" - Nuova verifica...")));
        QVERIFY(bench.lines.at(bench.lines.size() - 2).endsWith(QLatin1String(" - ")));
        // Pressing the disabled button again, however often, does nothing.
        for (int i = 0; i < 10; ++i)
            QTest::mouseClick(bench.window->Command1, Qt::LeftButton);
        QCOMPARE(bench.messages().size(), firstCheck.size() + 2);

        QVERIFY(bench.waitForVerifica());
        QCOMPARE(bench.messages().mid(firstCheck.size()),
                 QStringList({ QString(), "Nuova verifica...",
                               "Ricerca del terminale in corso, attendere..." })
                     + NotFoundAdvice);
        QVERIFY(bench.timeOf("Ricerca del terminale in corso, attendere...", firstCheck.size())
                    - clickedAt
                >= 2900);
        QCOMPARE(bench.verificaEnabled.count(true), 0);

        QCOMPARE(messagesOf(linesOfFile(bench.window->log().filePath())), bench.messages());
    }

    void terminalFoundGivesNoAdvice()
    {
        SimulatedTerminal terminal;
        const QString port = terminal.portPath();
        WindowBench bench(new SerialComponent([port] { return QStringList { port }; }));
        bench.window->show();
        QVERIFY(bench.waitForVerifica());
        QCOMPARE(bench.messages(),
                 (QStringList { "Verifica presenza terminali compatibili",
                                "Ricerca del terminale in corso, attendere...",
                                "Verifica " + port + " in corso...", "Trovato: -SIEMENS-" }));
        QVERIFY(!bench.window->comSMS->isPortOpen());
    }

    void closingTheWindowClosesThePortAndEnds()
    {
        SimulatedTerminal terminal;
        const QString port = terminal.portPath();
        WindowBench bench(new SerialComponent([port] { return QStringList { port }; }));
        bench.window->show();
        bench.window->comSMS->selectPort(port);
        bench.window->comSMS->setPortOpen(true);
        QVERIFY(bench.window->comSMS->isPortOpen());
        bench.window->close();
        QCOMPARE(bench.endRequests, 1);
        QVERIFY(!bench.window->comSMS->isPortOpen());
        QVERIFY(!bench.window->Timer1->isActive());
    }

    // "Uscita" pressed in the middle of a check: the process ends at once, nothing more is
    // logged, and the port is given back.
    void uscitaDuringACheckEndsTheProcess()
    {
        SimulatedTerminal terminal;
        terminal.setSilent(true); // a check of a silent port lasts about nine seconds
        QTemporaryDir folder;
        QProcess program;
        program.setWorkingDirectory(folder.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(QUORVANE_TRIAL),
                      { "--window", "--press-uscita-after", "5500", terminal.portPath() });
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        const QStringList expected { "Verifica presenza terminali compatibili",
                                     "Ricerca del terminale in corso, attendere...",
                                     "Verifica " + terminal.portPath() + " in corso..." };
        QCOMPARE(messagesOf(QString::fromLocal8Bit(program.readAllStandardOutput())
                                .split('\n', Qt::SkipEmptyParts)),
                 expected);
        QCOMPARE(messagesOf(linesOfFile(folder.filePath("Quorvane.txt"))), expected);
        QVERIFY(!terminal.commands().empty()); // the check was under way
        // The port's lock file went with the port.
        const QString lockName = "LCK.." + terminal.portPath().mid(5).replace('/', '_');
        for (const char *lockFolder : { "/var/lock", "/run/lock", "/tmp" })
            QVERIFY2(!QFile::exists(QString::fromLatin1(lockFolder) + "/" + lockName),
                     qPrintable(lockName));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"

#include "window/activity_log.h"

#include <QFile>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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
        QTest::newRow("leading zeros") << QDateTime(QDate(2026, 1, 5), QTime(7, 3, 9))
                                       << QStringLiteral("x")
                                       << QStringLiteral("2026-01-05 07:03:09 - x");
        QTest::newRow("empty message") << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59))
                                       << QString() << QStringLiteral("2026-12-31 23:59:59 - ");
        QTest::newRow("trailing spaces")
            << QDateTime(QDate(2026, 6, 1), QTime(0, 0, 0))
            << QStringLiteral("terminale dal computer, ")
            << QStringLiteral("2026-06-01 00:00:00 - terminale dal computer, ");
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
        QVERIFY(list.item(1)->text().contains(QLatin1String(" - Impossibile scrivere il registro in ")));
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
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"

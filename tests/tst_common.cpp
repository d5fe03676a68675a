#include "common/Globali.h"

#include <QTest>
#include <QTimer>

class TestCommon : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Waiting 0 seconds or less returns at once, without pumping the event that is waiting.
    void nothingToWaitReturnsWithoutPumping()
    {
        bool served = false;
        QTimer::singleShot(0, this, [&] { served = true; });
        for (const qint16 secondi : { 0, -5, -32768 })
            Globali::Attendi(secondi);
        QVERIFY(!served);
        QTRY_VERIFY(served);
    }

    // The wait ends when the seconds reading reaches start + secondi, counted in whole seconds
    // (on from midnight when it passes it), and serves events between readings.
    void waitEndsOnTheWholeSecond_data()
    {
        QTest::addColumn<QTime>("start");
        QTest::addColumn<int>("secondi");
        QTest::addColumn<QTime>("lastReading");
        QTest::newRow("late in a second") << QTime(10, 0, 0, 900) << 1 << QTime(10, 0, 1, 0);
        QTest::newRow("early in a second") << QTime(10, 0, 0, 0) << 1 << QTime(10, 0, 1, 0);
        QTest::newRow("three seconds") << QTime(12, 30, 59, 500) << 3 << QTime(12, 31, 2, 0);
        QTest::newRow("crossing midnight") << QTime(23, 59, 58, 500) << 3 << QTime(0, 0, 1, 0);
        QTest::newRow("ending on midnight") << QTime(23, 59, 59, 0) << 1 << QTime(0, 0, 0, 0);
    }
    void waitEndsOnTheWholeSecond()
    {
        QFETCH(QTime, start);
        QFETCH(int, secondi);
        int readings = 0, served = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++served; });
        timer.start(0);
        // A clock that moves on by 100 ms at every reading.
        Globali::Attendi(static_cast<qint16>(secondi),
                         [&] { return start.addMSecs(100 * readings++); });
        QTEST(start.addMSecs(100 * (readings - 1)), "lastReading");
        QCOMPARE(served > 0, readings > 2); // events are served while it waits
        QVERIFY(served <= readings - 2); // at most one pump between two readings
    }
};

QTEST_GUILESS_MAIN(TestCommon)
#include "tst_common.moc"

#include "common/Globali.h"

#include <QTest>
#include <QTimer>

// A clock that moves on by `step` milliseconds at every reading.
class SteppingClock
{
public:
    SteppingClock(QTime start, int stepMs)
        : m_now(start)
        , m_stepMs(stepMs)
    {
    }
    QTime operator()()
    {
        const QTime reading = m_now;
        m_now = m_now.addMSecs(m_stepMs);
        ++readings;
        return reading;
    }
    int readings = 0;

private:
    QTime m_now;
    int m_stepMs;
};

class TestCommon : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nothingToWaitReturnsWithoutPumping_data()
    {
        QTest::addColumn<int>("secondi");
        QTest::newRow("zero") << 0;
        QTest::newRow("negative") << -5;
        QTest::newRow("most negative") << -32768;
    }
    void nothingToWaitReturnsWithoutPumping()
    {
        QFETCH(int, secondi);
        bool served = false;
        QTimer::singleShot(0, this, [&] { served = true; });
        Globali::Attendi(static_cast<qint16>(secondi));
        QVERIFY(!served);
        QTRY_VERIFY(served); // the event was waiting all along
    }

    // The wait ends when the seconds reading reaches start + secondi, counted in whole seconds.
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
        QFETCH(QTime, lastReading);
        SteppingClock clock(start, 100);
        QTime last;
        Globali::Attendi(static_cast<qint16>(secondi), [&] {
            last = clock();
            return last;
        });
        QCOMPARE(last, lastReading);
    }

    void eventsAreServedWhileWaiting()
    {
        int served = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++served; });
        timer.start(0);
        SteppingClock clock(QTime(8, 0, 0), 10);
        Globali::Attendi(2, std::ref(clock));
        QVERIFY(served > 0);
        QVERIFY(served <= clock.readings - 2); // at most one pump between two readings
    }
};

QTEST_GUILESS_MAIN(TestCommon)
#include "tst_common.moc"

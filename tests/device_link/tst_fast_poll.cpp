// The schedule and the learned pause of fast readings, on a clock the test drives.
#include "device_link/fast_poll.h"

#include <QtTest>

using namespace lqs;
using namespace std::chrono_literals;

class tst_FastPoll : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void schedule_data();
    void schedule();
    void gap_data();
    void gap();
};

void tst_FastPoll::schedule_data() {
    QTest::addColumn<QStringList>("steps");  // "+N": N ms on, then next(); "rb Q": Q read back
    QTest::addColumn<QStringList>("asked");
    QTest::newRow("measured values in turn")
        << QStringList{"+5", "+5", "+5", "+5", "+5"}
        << QStringList{"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "VOUT1?"};
    QTest::newRow("status once a second, then on in turn")
        << QStringList{"+400", "+599", "+1", "+1", "+998", "+1"}
        << QStringList{"VOUT1?", "IOUT1?", "STATUS?", "VOUT2?", "IOUT2?", "STATUS?"};
    QTest::newRow("set points every ten seconds, one per turn, status first")
        << QStringList{"+10000", "+1", "+1", "+1", "+1", "+1"}
        << QStringList{"STATUS?", "VSET1?", "ISET1?", "VSET2?", "ISET2?", "VOUT1?"};
    QTest::newRow("a set point just sent is read back before anything, once")
        << QStringList{"+5", "rb ISET2?", "rb VSET1?", "rb ISET2?", "+2000", "+1", "+1"}
        << QStringList{"VOUT1?", "ISET2?", "VSET1?", "STATUS?"};
}

void tst_FastPoll::schedule() {
    QFETCH(QStringList, steps);
    QFETCH(QStringList, asked);
    const auto start = FastSchedule::Clock::time_point() + 1h;
    FastSchedule s(FastPollTimings(), start);
    auto now = start;
    QStringList got;
    for (const QString& step : steps) {
        if (step.startsWith(QLatin1String("rb "))) {
            s.readBack(step.mid(3));
        } else {
            now += std::chrono::milliseconds(step.mid(1).toInt());
            got << s.next(now);
        }
    }
    QCOMPARE(got, asked);
}

void tst_FastPoll::gap_data() {
    QTest::addColumn<QStringList>("events");  // "m": missed; "rN": replied in N ms
    QTest::addColumn<QList<int>>("gaps");     // the pause after each
    QTest::addColumn<QList<int>>("deadlines");
    QTest::addColumn<QList<int>>("commands");  // the pause before a command with no reply

    QTest::newRow("a miss doubles it, up to the normal pace")
        << QStringList{"m", "r10", "m", "r10", "m", "r10", "m", "r10", "m", "r10", "m"}
        << QList<int>{40, 40, 80, 80, 160, 160, 320, 320, 640, 640, 900}
        << QList<int>{500, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100}
        << QList<int>{900, 52, 102, 102, 202, 202, 402, 402, 802, 802, 900};
    QTest::newRow("clean runs shrink it, never to a pause that missed")
        << QStringList{"m", "m", "r5", "r5", "r5", "r5", "r5", "r5", "r5", "r5"}
        << QList<int>{40, 80, 80, 60, 60, 50, 50, 50, 50, 50}
        << QList<int>{500, 500, 100, 100, 100, 100, 100, 100, 100, 100}
        << QList<int>{900, 900, 102, 102, 77, 77, 64, 64, 64, 64};
    QTest::newRow("down to the shortest, a quarter at a time")
        << QStringList{"r5", "r5", "r5", "r5", "r5", "r5", "r5", "r5", "r5", "r5",
                       "r5", "r5", "r5", "r5", "r5", "r5", "r5", "r5", "r5", "r5"}
        << QList<int>{20, 15, 15, 12, 12, 9, 9, 7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 2, 2}
        << QList<int>(20, 100)
        << QList<int>{27, 27, 20, 20, 17, 17, 13, 13, 10, 10, 9, 9, 8, 8, 7, 7, 5, 5, 4, 4};
    QTest::newRow("three times the reply time")
        << QStringList{"r50", "r50", "r10"} << QList<int>{20, 15, 15} << QList<int>{150, 150, 135}
        << QList<int>{27, 27, 20};
    QTest::newRow("a reply between misses starts the count again")
        << QStringList{"m", "m", "r5", "m", "m"} << QList<int>{40, 80, 80, 160, 320}
        << QList<int>{500, 500, 100, 100, 100} << QList<int>{900, 900, 102, 202, 402};
}

void tst_FastPoll::gap() {
    QFETCH(QStringList, events);
    QFETCH(QList<int>, gaps);
    QFETCH(QList<int>, deadlines);
    QFETCH(QList<int>, commands);

    FastPollTimings t;
    t.cleanRunToShrink = 2;
    AdaptiveGap g(t);
    QList<int> gotGaps, gotDeadlines, gotCommands;
    for (const QString& e : events) {
        if (e == QLatin1String("m"))
            g.missed();
        else
            g.replied(std::chrono::milliseconds(e.mid(1).toInt()));
        gotGaps << int(g.gap().count());
        gotDeadlines << int(g.deadline().count());
        gotCommands << int(g.commandGap().count());
    }
    QCOMPARE(gotGaps, gaps);
    QCOMPARE(gotDeadlines, deadlines);
    QCOMPARE(gotCommands, commands);
}

QTEST_APPLESS_MAIN(tst_FastPoll)
#include "tst_fast_poll.moc"

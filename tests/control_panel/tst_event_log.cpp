// The event log on its own: a repeated note is one event, the oldest go
// first once it is full, and its text is what a spreadsheet reads.
#include "control_panel/event_log.h"

#include <QSignalSpy>
#include <QtTest>

using namespace lqs;

class tst_EventLog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void keepsNotesInOrder();
};

void tst_EventLog::keepsNotesInOrder() {
    EventLog log;
    QSignalSpy dropped(&log, &EventLog::dropped);
    const QDateTime t0(QDate(2026, 12, 10), QTime(9, 5, 7, 42));
    log.add(t0, QStringLiteral("Line lost: /dev/ttyUSB0"), EventSource::Instrument);
    log.add(t0.addMSecs(1), QStringLiteral("Line lost: /dev/ttyUSB0"), EventSource::Operator);
    log.add(t0.addMSecs(2), QString(), EventSource::Operator);
    log.add(t0.addMSecs(3), QStringLiteral("Remote: 1 client"), EventSource::Script);
    QCOMPARE(log.events().size(), std::size_t(2));
    QCOMPARE(log.text(),
             QStringLiteral("2026-12-10 09:05:07.042\tLine lost: /dev/ttyUSB0\tinstrument\n"
                            "2026-12-10 09:05:07.045\tRemote: 1 client\tscript\n"));
    for (std::size_t i = 0; i < EventLog::Capacity; ++i)
        log.add(t0, QString::number(i), EventSource::Operator);
    QCOMPARE(log.events().size(), EventLog::Capacity);
    QCOMPARE(dropped.count(), 2);
    QCOMPARE(log.events().front().what, QStringLiteral("0"));
    QCOMPARE(log.events().back().what, QString::number(EventLog::Capacity - 1));
}

QTEST_GUILESS_MAIN(tst_EventLog)
#include "tst_event_log.moc"

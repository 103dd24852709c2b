#include "common/error_box.h"
#include "recorder/plot_math.h"
#include "recorder/readings_plot.h"
#include "recorder/readings_window.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace lqs;

namespace {

// 1076 x 600 gives panes 1000 pixels wide and 266 high: volts from y 22,
// amps from y 310, both from x 64.
const QSize kPlotSize(1076, 600);
constexpr int kLeft = 64, kVoltsTop = 22, kAmpsTop = 310, kPaneHeight = 266;

// CH1 at 12.000 V and `amps` read every second over [0, endMs].
void fillConstant(ReadingLog& log, qint64 endMs, double amps = 2.0) {
    log.start(QDateTime(QDate(2026, 12, 9), QTime(10, 0)));
    for (qint64 t = 0; t <= endMs; t += 1000) {
        log.add(t, 0, 12.0, 3);
        log.add(t, 1, amps, 3);
    }
}

void wheel(QWidget* w, QPoint pos, int delta, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWheelEvent ev(pos, w->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton, modifiers,
                   Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &ev);
}

void drag(QWidget* w, Qt::MouseButton button, QPoint from, QPoint to,
          Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::mousePress(w, button, modifiers, from);
    // In steps, as a hand moves it.
    for (int k = 1; k <= 4; ++k) QTest::mouseMove(w, from + (to - from) * k / 4);
    QTest::mouseRelease(w, button, modifiers, to);
}

PlotView view1000() {
    PlotView v;  // 1000 ms a pixel; 0.1 V and 0.01 A a row
    v.t0 = 100000;
    v.t1 = 1100000;
    v.v0 = 0;
    v.v1 = 26.6;
    v.a0 = 0;
    v.a1 = 2.66;
    return v;
}

}  // namespace

class tst_ReadingsPlot : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void wheelZoomKeepsTimeUnderMouse_data();
    void wheelZoomKeepsTimeUnderMouse();
    void ctrlWheelZoomsPaneUnderMouse_data();
    void ctrlWheelZoomsPaneUnderMouse();
    void panMovesByDraggedPixels_data();
    void panMovesByDraggedPixels();
    void rectangleZoom_data();
    void rectangleZoom();
    void fitShowsEverything_data();
    void fitShowsEverything();
    void cursorsMeasure();
    void followStopsOnPanAndResumes();
    void dropNotice();
    void readoutTakesNewReadingsBetweenCursors();
    void exportBetweenCursors();
    void exportFailureSaysWhy();
    void spikeIsDrawnFullyZoomedOut();
    void traceColoursReadAndDiffer();

private:
    std::unique_ptr<ReadingLog> m_log;
    std::unique_ptr<ReadingsPlot> m_plot;
    ReadingsPlot* shownPlot();
};

void tst_ReadingsPlot::init() {
    m_log = std::make_unique<ReadingLog>();
    fillConstant(*m_log, 7200000);
}

void tst_ReadingsPlot::cleanup() {
    m_plot.reset();
    m_log.reset();
}

ReadingsPlot* tst_ReadingsPlot::shownPlot() {
    m_plot = std::make_unique<ReadingsPlot>(m_log.get());
    m_plot->resize(kPlotSize);
    m_plot->show();
    if (!QTest::qWaitForWindowExposed(m_plot.get())) return nullptr;
    m_plot->setView(view1000());
    return m_plot.get();
}

void tst_ReadingsPlot::wheelZoomKeepsTimeUnderMouse_data() {
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("delta");
    QTest::newRow("in at the left edge") << kLeft << 120;
    QTest::newRow("in, middle") << 537 << 120;
    QTest::newRow("out, middle") << 537 << -120;
    QTest::newRow("three steps in, right") << 1013 << 360;
    QTest::newRow("two steps out, left") << 100 << -240;
}

void tst_ReadingsPlot::wheelZoomKeepsTimeUnderMouse() {
    QFETCH(int, x);
    QFETCH(int, delta);
    ReadingsPlot* plot = shownPlot();
    QVERIFY(plot);
    const QRect pane = plotPanes(plot->size()).volts;
    const PlotView before = plot->view();
    const double at = msAt(before, pane, x);
    wheel(plot, QPoint(x, 150), delta);
    const PlotView after = plot->view();
    QVERIFY2(std::abs(xOf(after, pane, at) - x) < 0.01,
             qPrintable(QString::number(xOf(after, pane, at))));
    const double span = 1e6 * std::pow(0.8, delta / 120.0);
    QVERIFY(std::abs(double(after.t1 - after.t0) - span) <= 1);
    QCOMPARE(after.v0, before.v0);
    QCOMPARE(after.a1, before.a1);
    QVERIFY(!plot->follows());
}

void tst_ReadingsPlot::ctrlWheelZoomsPaneUnderMouse_data() {
    QTest::addColumn<int>("y");
    QTest::addColumn<bool>("volts");
    QTest::newRow("volts") << kVoltsTop + 66 << true;
    QTest::newRow("amps") << kAmpsTop + 200 << false;
}

void tst_ReadingsPlot::ctrlWheelZoomsPaneUnderMouse() {
    QFETCH(int, y);
    QFETCH(bool, volts);
    ReadingsPlot* plot = shownPlot();
    QVERIFY(plot);
    const PlotPanes panes = plotPanes(plot->size());
    const QRect& pane = volts ? panes.volts : panes.amps;
    const PlotView before = plot->view();
    const double lo = volts ? before.v0 : before.a0, hi = volts ? before.v1 : before.a1;
    const double at = valueAt(lo, hi, pane, y);
    wheel(plot, QPoint(500, y), 120, Qt::ControlModifier);
    const PlotView after = plot->view();
    const double lo2 = volts ? after.v0 : after.a0, hi2 = volts ? after.v1 : after.a1;
    QVERIFY(std::abs(yOf(lo2, hi2, pane, at) - y) < 1e-6);
    QVERIFY(std::abs((hi2 - lo2) - (hi - lo) * 0.8) < 1e-9);
    // The other pane and the times stay.
    QCOMPARE(volts ? after.a1 : after.v1, volts ? before.a1 : before.v1);
    QCOMPARE(after.t0, before.t0);
    QCOMPARE(after.t1, before.t1);
}

void tst_ReadingsPlot::panMovesByDraggedPixels_data() {
    QTest::addColumn<int>("dx");
    QTest::addColumn<int>("dy");
    QTest::addColumn<int>("y");
    QTest::newRow("right in volts") << 137 << 0 << kVoltsTop + 100;
    QTest::newRow("left and down in amps") << -250 << 40 << kAmpsTop + 100;
    QTest::newRow("up in volts") << 10 << -53 << kVoltsTop + 200;
}

void tst_ReadingsPlot::panMovesByDraggedPixels() {
    QFETCH(int, dx);
    QFETCH(int, dy);
    QFETCH(int, y);
    ReadingsPlot* plot = shownPlot();
    QVERIFY(plot);
    const PlotView before = plot->view();
    drag(plot, Qt::LeftButton, QPoint(500, y), QPoint(500 + dx, y + dy));
    const PlotView after = plot->view();
    QCOMPARE(after.t0, before.t0 - dx * 1000);
    QCOMPARE(after.t1, before.t1 - dx * 1000);
    const bool volts = y < kAmpsTop;
    const double shift = dy * (volts ? 0.1 : 0.01);
    QVERIFY(std::abs((volts ? after.v0 : after.a0) - (volts ? before.v0 : before.a0) - shift) <
            1e-9);
    QVERIFY(std::abs((volts ? after.v1 : after.a1) - (volts ? before.v1 : before.a1) - shift) <
            1e-9);
    QCOMPARE(volts ? after.a0 : after.v0, volts ? before.a0 : before.v0);
    QVERIFY(!plot->follows());
    QVERIFY(!plot->cursorA());  // a drag places no cursor
}

void tst_ReadingsPlot::rectangleZoom_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("right drag") << int(Qt::RightButton) << int(Qt::NoModifier);
    QTest::newRow("shift and left drag") << int(Qt::LeftButton) << int(Qt::ShiftModifier);
}

void tst_ReadingsPlot::rectangleZoom() {
    QFETCH(int, button);
    QFETCH(int, modifiers);
    ReadingsPlot* plot = shownPlot();
    QVERIFY(plot);
    const PlotView before = plot->view();
    drag(plot, Qt::MouseButton(button), QPoint(kLeft + 300, kVoltsTop + 150),
         QPoint(kLeft + 100, kVoltsTop + 50), Qt::KeyboardModifiers(modifiers));
    const PlotView after = plot->view();
    QCOMPARE(after.t0, 200000);
    QCOMPARE(after.t1, 400000);
    QVERIFY(std::abs(after.v0 - 11.6) < 1e-9);
    QVERIFY(std::abs(after.v1 - 21.6) < 1e-9);
    QCOMPARE(after.a0, before.a0);
    QCOMPARE(after.a1, before.a1);
    QVERIFY(!plot->follows());
    QVERIFY(!plot->cursorA());
}

void tst_ReadingsPlot::fitShowsEverything_data() {
    QTest::addColumn<bool>("key");
    QTest::newRow("Fit button") << false;
    QTest::newRow("Home key") << true;
}

void tst_ReadingsPlot::fitShowsEverything() {
    QFETCH(bool, key);
    ReadingLog log;
    log.start(QDateTime(QDate(2026, 12, 9), QTime(10, 0)));
    for (qint64 t = 5000; t <= 125000; t += 500) {
        log.add(t, 0, t == 60000 ? 13.5 : 12.0, 3);
        log.add(t, 1, t == 70000 ? 0.5 : 1.0, 3);
    }
    ReadingsWindow window(&log);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* plot = window.findChild<ReadingsPlot*>(QStringLiteral("plot"));
    plot->setView(view1000());
    if (key)
        QTest::keyClick(plot, Qt::Key_Home);
    else
        QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("plotFit")),
                          Qt::LeftButton);
    const PlotView v = plot->view();
    QCOMPARE(v.t0, 5000);
    QCOMPARE(v.t1, 125000);
    QVERIFY(v.v0 < 12.0 && v.v1 > 13.5 && v.v1 < 14.0);
    QVERIFY(v.a0 < 0.5 && v.a0 > 0.4 && v.a1 > 1.0);
}

void tst_ReadingsPlot::cursorsMeasure() {
    ReadingsWindow window(m_log.get());
    window.resize(kPlotSize + QSize(40, 200));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* plot = window.findChild<ReadingsPlot*>(QStringLiteral("plot"));
    auto* readout = window.findChild<QLabel*>(QStringLiteral("readout"));
    auto* exportButton = window.findChild<QPushButton*>(QStringLiteral("exportBetweenCursors"));
    const QRect pane = plotPanes(plot->size()).volts;
    PlotView v = view1000();
    v.t0 = 0;
    v.t1 = 1000LL * pane.width();  // a second a pixel at any window size
    plot->setView(v);
    const int y = kVoltsTop + 100;
    QVERIFY(!exportButton->isEnabled());
    QTest::mouseClick(plot, Qt::LeftButton, {}, QPoint(pane.left() + 100, y));
    QCOMPARE(plot->cursorA(), 100000);
    QVERIFY(!exportButton->isEnabled());
    QTest::mouseClick(plot, Qt::LeftButton, {}, QPoint(pane.left() + 400, y));
    QCOMPARE(plot->cursorB(), 400000);
    QVERIFY(exportButton->isEnabled());
    // 2 A at 12 V for 300 s.
    QVERIFY2(readout->text().contains(QStringLiteral("Δt 0:05:00.000")),
             qPrintable(readout->text()));
    QVERIFY(readout->text().contains(QStringLiteral("0.166667 Ah")));
    QVERIFY(readout->text().contains(QStringLiteral("2.00000 Wh")));
    QVERIFY(readout->text().contains(QStringLiteral("12.000 V")));
    QVERIFY(readout->textInteractionFlags() & Qt::TextSelectableByMouse);
    // A third click moves the nearer cursor.
    QTest::mouseClick(plot, Qt::LeftButton, {}, QPoint(pane.left() + 380, y));
    QCOMPARE(plot->cursorA(), 100000);
    QCOMPARE(plot->cursorB(), 380000);
    QVERIFY(readout->text().contains(QStringLiteral("Δt 0:04:40.000")));
    // Dragging a cursor moves it; the view stays.
    drag(plot, Qt::LeftButton, QPoint(pane.left() + 100, y), QPoint(pane.left() + 150, y + 30));
    QCOMPARE(plot->cursorA(), 150000);
    QCOMPARE(plot->view().t0, 0);
    QVERIFY(readout->text().contains(QStringLiteral("Δt 0:03:50.000")));
    QVERIFY(readout->text().contains(QStringLiteral("0.127778 Ah")));
    // A click nearer A than B moves A.
    QTest::mouseClick(plot, Qt::LeftButton, {}, QPoint(pane.left() + 170, y));
    QCOMPARE(plot->cursorA(), 170000);
    QCOMPARE(plot->cursorB(), 380000);
}

void tst_ReadingsPlot::followStopsOnPanAndResumes() {
    ReadingLog log;
    fillConstant(log, 200000);
    ReadingsWindow window(&log);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* plot = window.findChild<ReadingsPlot*>(QStringLiteral("plot"));
    auto* follow = window.findChild<QPushButton*>(QStringLiteral("plotFollow"));
    QVERIFY(plot->follows() && follow->isChecked());
    plot->readingsAdded();
    QCOMPARE(plot->view().t1, 200000);
    QCOMPARE(plot->view().t0, 140000);  // the width kept

    drag(plot, Qt::LeftButton, QPoint(300, 100), QPoint(400, 100));
    QVERIFY(!plot->follows() && !follow->isChecked());
    const PlotView paused = plot->view();
    for (qint64 t = 201000; t <= 300000; t += 1000) log.add(t, 0, 12.0, 3);
    plot->readingsAdded();
    QCOMPARE(plot->view().t0, paused.t0);
    QCOMPARE(plot->view().t1, paused.t1);

    QTest::mouseClick(follow, Qt::LeftButton);
    QVERIFY(plot->follows());
    QCOMPARE(plot->view().t1, 300000);
    QCOMPARE(plot->view().t1 - plot->view().t0, paused.t1 - paused.t0);
}

void tst_ReadingsPlot::dropNotice() {
    ReadingLog log(1000);
    fillConstant(log, 1000000);  // 2002 readings: the first 1002 dropped
    ReadingsWindow window(&log);
    auto* plot = window.findChild<ReadingsPlot*>(QStringLiteral("plot"));
    auto* notice = window.findChild<QLabel*>(QStringLiteral("dropNotice"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!notice->isVisible());
    QSignalSpy moved(plot, &ReadingsPlot::viewChanged);
    for (int k = 0; k < 20; ++k) window.readingsAdded();
    QVERIFY(moved.wait());  // once the repaint timer has run
    QCOMPARE(moved.count(), 1);
    QVERIFY(notice->isVisible());
    QCOMPARE(notice->text(),
             QStringLiteral("Readings before 10:08:21 were dropped to keep memory bounded."));
}

void tst_ReadingsPlot::readoutTakesNewReadingsBetweenCursors() {
    ReadingLog log;
    fillConstant(log, 200000);
    ReadingsWindow window(&log);
    auto* plot = window.findChild<ReadingsPlot*>(QStringLiteral("plot"));
    auto* readout = window.findChild<QLabel*>(QStringLiteral("readout"));
    plot->setCursors(100000, 400000);
    // 2 A held from 200 s on: 0.166667 Ah over the 300 s; then 4 A from 201 s.
    QVERIFY2(readout->text().contains(QStringLiteral("0.166667 Ah")), qPrintable(readout->text()));
    for (qint64 t = 201000; t <= 400000; t += 1000) log.add(t, 1, 4.0, 3);
    QSignalSpy moved(plot, &ReadingsPlot::viewChanged);
    window.readingsAdded();
    QVERIFY(moved.wait());
    QVERIFY2(readout->text().contains(QStringLiteral("0.277222 Ah")), qPrintable(readout->text()));
}

void tst_ReadingsPlot::exportBetweenCursors() {
    QTemporaryDir dir;
    ReadingsWindow window(m_log.get());
    auto* plot = window.findChild<ReadingsPlot*>(QStringLiteral("plot"));
    const QString path = dir.filePath(QStringLiteral("between.csv"));
    window.chooseExportPath = [&] { return path; };
    plot->setCursors(400000, 100500);
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("exportBetweenCursors")),
                      Qt::LeftButton);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QBuffer want;
    want.open(QIODevice::WriteOnly);
    QVERIFY(writeReadingsCsv(&want, *m_log, 100500, 400000));
    const QByteArray got = file.readAll();
    QCOMPARE(got, want.data());
    QVERIFY(got.split('\n').value(1).startsWith("2026-12-09T10:01:41.000"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("between.csv")});
}

void tst_ReadingsPlot::exportFailureSaysWhy() {
    QTemporaryDir dir;
    ReadingsWindow window(m_log.get());
    const QString path = dir.filePath(QStringLiteral("missing/between.csv"));
    window.chooseExportPath = [&] { return path; };
    window.findChild<ReadingsPlot*>(QStringLiteral("plot"))->setCursors(0, 1000);
    QStringList shown;
    setErrorBoxHook([&](QWidget*, const QString& text) { shown << text; });
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("exportBetweenCursors")),
                      Qt::LeftButton);
    setErrorBoxHook({});
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown[0].startsWith(QStringLiteral("The readings could not be written to ") +
                                 QDir::toNativeSeparators(path) + QStringLiteral(": ")),
             qPrintable(shown[0]));
    QVERIFY(shown[0].size() > path.size() + 40);  // a reason follows
    QVERIFY(!QFile::exists(path));
}

void tst_ReadingsPlot::spikeIsDrawnFullyZoomedOut() {
    // Two hours, 29 ms apart, one reading of 2.5 A among 1 A.
    ReadingLog log;
    log.start(QDateTime(QDate(2026, 12, 9), QTime(10, 0)));
    const qint64 spikeAt = 29 * 200001;
    for (qint64 t = 0; t < 7200000; t += 29) log.add(t, 1, t == spikeAt ? 2.5 : 1.0, 3);
    ReadingsPlot plot(&log);
    plot.resize(kPlotSize);
    PlotView v = view1000();
    v.t0 = 0;
    v.t1 = 7200000;
    plot.setView(v);  // amps 0 to 2.66, 0.01 A a row
    QImage image(kPlotSize, QImage::Format_RGB32);
    QPainter p(&image);
    plot.draw(p);
    p.end();
    const QRect pane = plotPanes(kPlotSize).amps;
    const int x = int(xOf(v, pane, double(spikeAt)));
    const int spikeY = int(yOf(v.a0, v.a1, pane, 2.5));
    const QRgb trace = readingsTraceColor(1).rgb();
    auto traceNear = [&](int px, int py) {
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                if (image.pixel(px + dx, py + dy) == trace) return true;
        return false;
    };
    QVERIFY(traceNear(x, spikeY));
    QVERIFY(traceNear(x, (spikeY + int(yOf(v.a0, v.a1, pane, 1.0))) / 2));
    QVERIFY(!traceNear(x + 20, spikeY));
}

void tst_ReadingsPlot::traceColoursReadAndDiffer() {
    for (int s = 0; s < kReadingSeries; ++s) {
        QVERIFY(contrastRatio(readingsTraceColor(s), readingsPlotBackground()) >= 4.5);
        for (int t = 0; t < s; ++t) QVERIFY(readingsTraceColor(s) != readingsTraceColor(t));
    }
}

QTEST_MAIN(tst_ReadingsPlot)
#include "tst_readings_plot.moc"

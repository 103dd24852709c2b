// The sequence editor's plot: the set points a plan gives over time, the
// thinning of long lines to the pixels they cover, and the widget painting
// and answering the mouse whatever it is given.
#include "control_panel/sequence_plot.h"

#include "recorder/plot_math.h"

#include <QCheckBox>
#include <QLabel>
#include <QtTest>

#include <cmath>
#include <limits>

using namespace lqs;
using namespace std::chrono_literals;

using Points = std::vector<PlotPoint>;
Q_DECLARE_METATYPE(Points)
Q_DECLARE_METATYPE(lqs::HeldValues)

namespace lqs {
// QCOMPARE's message when two curves differ.
char* toString(const Points& p) {
    QString s;
    for (const PlotPoint& x : p) s += QStringLiteral("(%1, %2) ").arg(x.seconds).arg(x.value);
    return qstrdup(qPrintable(s));
}
bool operator==(const PlotPoint& a, const PlotPoint& b) {
    return std::abs(a.seconds - b.seconds) < 1e-9 &&
           (std::abs(a.value - b.value) < 1e-9 || (std::isnan(a.value) && std::isnan(b.value)));
}
}  // namespace lqs

class tst_SequencePlot : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void expectedCurve_data();
    void expectedCurve();
    void powerOfTwoRampsIsCurved();
    void decimationKeepsExtremes_data();
    void decimationKeepsExtremes();
    void paintsWhateverItIsGiven_data();
    void paintsWhateverItIsGiven();
    void quantitiesChosenByTheOperator();
    void mouseReadsTheNearestPoint();
};

namespace {

PlanStep step(std::optional<double> v1, std::optional<double> a1, std::chrono::milliseconds dwell,
              bool ramp = false) {
    PlanStep s;
    s.channels[0] = {v1, a1};
    s.dwell = dwell;
    s.ramp = ramp;
    return s;
}

StepPlan plan(std::vector<PlanStep> steps) {
    StepPlan p;
    p.steps = std::move(steps);
    return p;
}

const std::nullopt_t blank = std::nullopt;

// A thousand 100 ms steps, three times over.
StepPlan burnIn() {
    StepPlan p;
    for (int i = 0; i < 1000; ++i) p.steps.push_back(step(1 + i % 20, 0.5 + (i % 7) * 0.1, 100ms));
    p.repeats = 3;
    return p;
}

// Pixels of about the given colour in what the plot draws, below its check boxes.
int pixelsOf(SequencePlot& plot, const QColor& colour) {
    const QImage image = plot.grab().toImage();
    int top = 0;
    for (const QCheckBox* b : plot.findChildren<QCheckBox*>())
        top = std::max(top, b->geometry().bottom() + 1);
    int n = 0;
    for (int y = top; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            n += std::abs(c.red() - colour.red()) < 16 &&
                 std::abs(c.green() - colour.green()) < 16 &&
                 std::abs(c.blue() - colour.blue()) < 16;
        }
    return n;
}

// The mouse at a fraction of the plot's width and height.
void hover(SequencePlot& plot, double x, double y) {
    QTest::mouseMove(&plot, QPoint(int(plot.width() * x), int(plot.height() * y)));
}

QString readout(SequencePlot& plot) {
    return plot.findChild<QLabel*>(QStringLiteral("readout"))->text();
}

}  // namespace

void tst_SequencePlot::expectedCurve_data() {
    QTest::addColumn<StepPlan>("plan");
    QTest::addColumn<HeldValues>("start");
    QTest::addColumn<int>("channel");
    QTest::addColumn<PlotQuantity>("q");
    QTest::addColumn<int>("passes");
    QTest::addColumn<Points>("want");
    const HeldValues none{};
    const HeldValues at3V{ChannelTarget{3.0, 0.2}, ChannelTarget{7.0, 1.0}};
    const auto V = PlotQuantity::Volts;

    QTest::newRow("holds merge, a change is two points at one time")
        << plan({step(5, 1, 1s), step(5, blank, 1s), step(8, blank, 2s)}) << none << 1 << V << 1
        << Points{{0, 5}, {2, 5}, {2, 8}, {4, 8}};
    QTest::newRow("a first blank keeps the start")
        << plan({step(blank, 1, 1s), step(6, blank, 1s)}) << at3V << 1 << V << 1
        << Points{{0, 3}, {1, 3}, {1, 6}, {2, 6}};
    QTest::newRow("nothing held before the first value")
        << plan({step(blank, 1, 1s), step(6, blank, 1s)}) << none << 1 << V << 1
        << Points{{1, 6}, {2, 6}};
    QTest::newRow("a ramp is a slope over its dwell")
        << plan({step(2, 1, 1s), step(4, blank, 2s, true), step(blank, blank, 1s)}) << none << 1
        << V << 1 << Points{{0, 2}, {1, 2}, {3, 4}, {4, 4}};
    QTest::newRow("a ramp leaves what it does not give flat")
        << plan({step(2, 1, 1s), step(4, blank, 2s, true)}) << none << 1 << PlotQuantity::Amps << 1
        << Points{{0, 1}, {3, 1}};
    QTest::newRow("a first ramp starts from the start")
        << plan({step(10, blank, 2s, true)}) << at3V << 1 << V << 1 << Points{{0, 3}, {2, 10}};
    QTest::newRow("a ramp from nothing jumps")
        << plan({step(10, blank, 2s, true)}) << none << 1 << V << 1 << Points{{0, 10}, {2, 10}};
    QTest::newRow("repeats follow each other")
        << plan({step(1, blank, 1s), step(2, blank, 1s)}) << none << 1 << V << 2
        << Points{{0, 1}, {1, 1}, {1, 2}, {2, 2}, {2, 1}, {3, 1}, {3, 2}, {4, 2}};
    QTest::newRow("a blank in the next pass keeps the last step's")
        << plan({step(blank, 1, 1s), step(2, blank, 1s)}) << at3V << 1 << V << 2
        << Points{{0, 3}, {1, 3}, {1, 2}, {4, 2}};
    PlanStep recall = step(blank, blank, 1s);
    recall.recall = 2;
    QTest::newRow("a recalled memory is a gap until given")
        << plan({step(5, 1, 1s), recall, step(7, blank, 1s, true)}) << none << 1 << V << 1
        << Points{{0, 5}, {1, 5}, {1, std::nan("")}, {2, 7}, {3, 7}};
    QTest::newRow("a channel the plan never gives has none")
        << plan({step(5, 1, 1s)}) << at3V << 2 << V << 1 << Points{};
    QTest::newRow("no steps, no points") << plan({}) << at3V << 1 << V << 1 << Points{};
    QTest::newRow("watts from the set points")
        << plan({step(10, 1, 1s), step(blank, 2, 1s)}) << none << 1 << PlotQuantity::Watts << 1
        << Points{{0, 10}, {1, 10}, {1, 20}, {2, 20}};
    QTest::newRow("watts wait for both")
        << plan({step(10, blank, 1s), step(blank, 2, 1s)}) << none << 1 << PlotQuantity::Watts << 1
        << Points{{1, 20}, {2, 20}};
    PlanStep two = step(blank, blank, 1s);
    two.channels[1] = {12.0, 0.5};
    QTest::newRow("channel 2 with channel 1's start left alone")
        << plan({two}) << at3V << 2 << PlotQuantity::Watts << 1 << Points{{0, 6}, {1, 6}};
}

void tst_SequencePlot::expectedCurve() {
    QFETCH(StepPlan, plan);
    QFETCH(HeldValues, start);
    QFETCH(int, channel);
    QFETCH(PlotQuantity, q);
    QFETCH(int, passes);
    QFETCH(Points, want);
    QCOMPARE(lqs::expectedCurve(plan, start, channel, q, passes), want);
}

// Volts and amps both ramping make the power a parabola, not a straight line.
void tst_SequencePlot::powerOfTwoRampsIsCurved() {
    const Points w = lqs::expectedCurve(plan({step(0, 0, 1s), step(10, 2, 2s, true)}), {}, 1,
                                        PlotQuantity::Watts);
    QVERIFY(!w.empty());
    QCOMPARE(w.back(), (PlotPoint{3, 20}));
    bool sawMiddle = false;
    for (const PlotPoint& p : w) {
        if (p.seconds <= 1) continue;
        const double f = (p.seconds - 1) / 2;
        QCOMPARE(p.value, (10 * f) * (2 * f));
        sawMiddle |= std::abs(f - 0.5) < 1e-9;
    }
    QVERIFY(sawMiddle);
}

void tst_SequencePlot::decimationKeepsExtremes_data() {
    QTest::addColumn<Points>("line");
    QTest::addColumn<int>("columns");
    QTest::addColumn<double>("high");
    QTest::addColumn<double>("low");
    QTest::addColumn<int>("gaps");
    const auto flat = [](int n, double v) {
        Points p;
        for (int i = 0; i < n; ++i) p.push_back({i * 0.01, v});
        return p;
    };
    Points spike = flat(100000, 1);
    spike[54321].value = 100;
    QTest::newRow("a spike survives") << spike << 200 << 100.0 << 1.0 << 0;
    Points dip = flat(100000, 5);
    dip[99999].value = -3;  // the very last point
    dip[0].value = 7;
    QTest::newRow("the ends survive") << dip << 300 << 7.0 << -3.0 << 0;
    Points gap = flat(50000, 2);
    for (int i = 20000; i < 20010; ++i) gap[std::size_t(i)].value = std::nan("");
    gap[30000].value = std::numeric_limits<double>::infinity();
    QTest::newRow("NaN and inf leave gaps") << gap << 100 << 2.0 << 2.0 << 2;
    Points flicker = flat(100000, 3);
    for (std::size_t i = 0; i < flicker.size(); i += 2) flicker[i].value = std::nan("");
    QTest::newRow("a reading lost every other time") << flicker << 100 << 3.0 << 3.0 << 100;
    QTest::newRow("one column takes all") << spike << 1 << 100.0 << 1.0 << 0;
    Points instant(1000, PlotPoint{5, 1});
    instant[500].value = 9;
    QTest::newRow("all at one time") << instant << 50 << 9.0 << 1.0 << 0;
}

void tst_SequencePlot::decimationKeepsExtremes() {
    QFETCH(Points, line);
    QFETCH(int, columns);
    QFETCH(double, high);
    QFETCH(double, low);
    QFETCH(int, gaps);
    const Points out = decimateForPixels(line, line.front().seconds, line.back().seconds, columns);
    QVERIFY2(int(out.size()) <= 4 * columns + 5 * gaps, qPrintable(QString::number(out.size())));
    double hi = -1e300, lo = 1e300;
    int nans = 0;
    for (const PlotPoint& p : out) {
        if (!std::isfinite(p.value)) {
            ++nans;
            continue;
        }
        hi = std::max(hi, p.value);
        lo = std::min(lo, p.value);
    }
    QCOMPARE(hi, high);
    QCOMPARE(lo, low);
    QCOMPARE(nans, gaps);
    QVERIFY(std::is_sorted(out.begin(), out.end(), [](const PlotPoint& a, const PlotPoint& b) {
        return a.seconds < b.seconds;
    }));
    QCOMPARE(out.back().seconds, line.back().seconds);
}

// Each case paints into an image without crashing; what has a line shows
// channel 1's colour, what has none shows none.
void tst_SequencePlot::paintsWhateverItIsGiven_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("drawsLine");
    QTest::newRow("empty") << 0 << false;
    QTest::newRow("one point") << 1 << true;
    QTest::newRow("NaN and inf readings") << 2 << true;
    QTest::newRow("all at one time") << 3 << true;
    QTest::newRow("1000 steps three times") << 4 << true;
    QTest::newRow("a refused dry run") << 5 << true;
}

void tst_SequencePlot::paintsWhateverItIsGiven() {
    QFETCH(int, kind);
    QFETCH(bool, drawsLine);
    SequencePlot plot;
    plot.resize(480, 240);
    const double inf = std::numeric_limits<double>::infinity();
    switch (kind) {
        case 1:
            plot.startMeasured();
            plot.addMeasured(2.5, 1, Quantity::Voltage, 4);
            break;
        case 2: {
            plot.startMeasured();
            const double nan = std::nan("");
            const std::pair<double, double> readings[] = {
                {1, 1}, {2, nan}, {3, 3}, {4, inf}, {5, 5}, {6, -inf}, {7, 7}, {nan, 1}, {inf, 2}};
            for (const auto& [t, v] : readings) plot.addMeasured(t, 1, Quantity::Voltage, v);
            plot.addMeasured(nan, 1, Quantity::Current, 1);
            plot.addMeasured(8, 1, Quantity::Current, std::numeric_limits<double>::max());
            plot.markStep(nan, 1);
            break;
        }
        case 3:
            plot.startMeasured();
            for (int i = 0; i < 10; ++i) plot.addMeasured(0, 1, Quantity::Voltage, i);
            plot.markStep(0, 1);
            break;
        case 4: {
            const StepPlan p = burnIn();
            plot.setExpected(p, {});
            DryRunResult r;
            for (int i = 0; i < 30000; ++i) r.samples.push_back({i * 0.01, 1, 5.0 + i % 13, 0.5});
            for (int i = 0; i < 3000; ++i) r.stepStarts.push_back(i * 0.1);
            plot.setPredicted(r);
            plot.startMeasured();
            for (int i = 0; i < 3000; ++i) {
                plot.markStep(i * 0.1, i % 1000 + 1);
                plot.addMeasured(i * 0.1, 1, Quantity::Voltage, 1 + i % 20);
                plot.addMeasured(i * 0.1, 1, Quantity::Current, 0.5);
            }
            break;
        }
        case 5: {
            const StepPlan p = plan({step(5, 1, 1s), step(45, 1, 1s), step(5, 1, 1s)});
            plot.setExpected(p, {});
            DryRunResult r;
            r.violations = {{2, QStringLiteral("beyond the range")}, {0, QStringLiteral("all")}};
            plot.setPredicted(r);
            break;
        }
        default:
            break;
    }
    QCOMPARE(plot.grab().size(), QSize(480, 240));
    QCOMPARE(pixelsOf(plot, PlotColors::activeCaption()) > 0, drawsLine);
    if (kind == 4) QVERIFY(pixelsOf(plot, QColor(0xFF, 0xC8, 0x00)) > 100);  // step markers
    if (kind == 5) QVERIFY(pixelsOf(plot, QColor(0xFF, 0x60, 0x60)) > 0);    // its number
    plot.resize(60, 30);  // far below its least size: still paints
    plot.grab();
}

// The check boxes choose the panes, top to bottom V, A, W, and the channels.
void tst_SequencePlot::quantitiesChosenByTheOperator() {
    SequencePlot plot;
    plot.resize(480, 240);
    plot.setExpected(plan({step(5, 1, 10s)}), {});
    plot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plot));
    const auto click = [&](const char* name) {
        auto* box = plot.findChild<QCheckBox*>(QString::fromLatin1(name));
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    };
    const auto reads = [&](const char* text) {
        return readout(plot).startsWith(QString::fromUtf8(text));
    };
    hover(plot, 0.5, 0.25);
    QTRY_VERIFY(reads("Ch 1 set point: 5 V"));
    hover(plot, 0.5, 0.75);
    QTRY_VERIFY(reads("Ch 1 set point: 1 A"));
    click("showWatts");  // the mouse rests where the watts pane now is
    QTRY_VERIFY(reads("Ch 1 set point: 5 W"));
    click("showVolts");
    hover(plot, 0.5, 0.25);
    QTRY_VERIFY(reads("Ch 1 set point: 1 A"));
    QVERIFY(pixelsOf(plot, PlotColors::activeCaption()) > 0);
    click("showChannel1");
    QCOMPARE(pixelsOf(plot, PlotColors::activeCaption()), 0);
    QTRY_VERIFY(reads("4.7"));  // only the time
}

// Near a reading the readout names it rather than the set point's line.
void tst_SequencePlot::mouseReadsTheNearestPoint() {
    SequencePlot plot;
    plot.resize(480, 240);
    plot.setExpected(plan({step(5, 1, 10s)}), {});
    plot.startMeasured();
    plot.addMeasured(5, 1, Quantity::Voltage, 3);
    plot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plot));
    // 3 V of about 5.5 V full scale lies lower in the volts pane than 5 V.
    hover(plot, 0.52, 0.33);
    QTRY_COMPARE(readout(plot), QStringLiteral("Ch 1 measured: 3 V at 5.00 s"));
    hover(plot, 0.52, 0.14);
    QTRY_VERIFY(readout(plot).startsWith(QStringLiteral("Ch 1 set point: 5 V")));
    hover(plot, 0.01, 0.98);  // off the panes
    QTRY_VERIFY(readout(plot).isEmpty());
}

QTEST_MAIN(tst_SequencePlot)
#include "tst_sequence_plot.moc"

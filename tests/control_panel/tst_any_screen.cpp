// The windows on any screen and palette: they grow and scroll, their texts
// fit at larger fonts and scales, each curve has a colour of its own named
// in a legend, and fixed colours read in a light palette and a dark one.
#include "control_panel/app_windows.h"
#include "control_panel/main_window.h"
#include "recorder/plot_area.h"
#include "recorder/plot_math.h"
#include "recorder/readings_plot.h"
#include "recorder/readings_window.h"
#include "recorder/wave_window.h"

#include "named.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace lqs;

namespace {

// Where a widget's text is inked, in its parent.
QRect textRect(const QWidget* w) {
    const QFontMetrics fm(w->font());
    const auto ink = [&](const QString& text, Qt::Alignment a, const QRect& in) {
        const QRect line = QStyle::alignedRect(Qt::LeftToRight, a,
                                               QSize(fm.horizontalAdvance(text), fm.height()), in);
        return fm.tightBoundingRect(text).translated(line.left(), line.top() + fm.ascent());
    };
    if (auto* l = qobject_cast<const QLabel*>(w))
        return ink(l->text(), l->alignment(), l->contentsRect()).translated(l->pos());
    if (auto* b = qobject_cast<const QPushButton*>(w))
        return ink(b->text(), Qt::AlignCenter, b->rect()).translated(b->pos());
    if (qobject_cast<const QComboBox*>(w)) return w->geometry();
    if (auto* c = qobject_cast<const QAbstractButton*>(w))
        return QStyle::alignedRect(Qt::LeftToRight, Qt::AlignLeft | Qt::AlignVCenter, c->sizeHint(),
                                   c->rect())
            .translated(c->pos());
    return {};
}

// Every text under root drawn wider or taller than its place, as "name: text".
QStringList clippedTexts(QWidget* root) {
    QStringList out;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(root) || w->isWindow() != (w == root)) continue;
        const QFontMetrics fm(w->font());
        QString text;
        bool clipped = false;
        if (auto* l = qobject_cast<QLabel*>(w); l && !l->wordWrap() && !l->text().isEmpty()) {
            text = l->text();
            const QRect r = l->contentsRect();
            clipped = fm.horizontalAdvance(text) > r.width() - 2 * l->margin() ||
                      fm.height() > r.height() - 2 * l->margin();
        } else if (auto* b = qobject_cast<QPushButton*>(w); b && !b->text().isEmpty()) {
            text = b->text();
            clipped = fm.horizontalAdvance(text) + 8 > b->width() || fm.height() > b->height();
        } else if (auto* box = qobject_cast<QComboBox*>(w)) {
            text = box->currentText();
            clipped = box->sizeHint().width() > box->width();
        } else if (qobject_cast<QRadioButton*>(w) || qobject_cast<QCheckBox*>(w)) {
            auto* c = static_cast<QAbstractButton*>(w);
            text = c->text();
            clipped = c->sizeHint().width() > c->width() || c->sizeHint().height() > c->height();
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            text = g->title();
            clipped = fm.horizontalAdvance(text) + 16 > g->width();
        }
        // A text drawn past its parent is cut there, and one over another hides it.
        if (!clipped && !text.isEmpty() && w->parentWidget() && !w->isWindow()) {
            clipped = !w->parentWidget()->rect().contains(w->geometry());
            for (QWidget* s :
                 w->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (s != w && !s->isHidden() && textRect(s).intersects(textRect(w))) clipped = true;
            }
        }
        if (clipped) out << QStringLiteral("%1: %2").arg(w->objectName(), text);
    }
    return out;
}

QPalette darkPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    p.setColor(QPalette::WindowText, QColor(0xe0, 0xe0, 0xe0));
    p.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    p.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x26));
    p.setColor(QPalette::Text, QColor(0xe0, 0xe0, 0xe0));
    p.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    p.setColor(QPalette::ButtonText, QColor(0xe0, 0xe0, 0xe0));
    p.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
    p.setColor(QPalette::HighlightedText, Qt::white);
    return p;
}

bool holdsColor(const QImage& image, const QRect& area, const QColor& color) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixelColor(x, y).rgb() == color.rgb()) return true;
    return false;
}

// The main window, its recorder and its readings window, as the menus open them.
struct Windows {
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
    TForm_Wave* wave = nullptr;
    ReadingsWindow* readings = nullptr;

    Windows() {
        TForm_Wave::LocateRecordDir = [this] { return dir.path(); };
        form.reset(createWindows());
        form->show();
    }
    void openRecorder() {
        test::action(form, "Wave1")->trigger();
        wave = form->findChild<TForm_Wave*>();
        wave->showReadings();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* r = qobject_cast<ReadingsWindow*>(w)) readings = r;
        QVERIFY(wave && readings);
    }
    // Pictures for a reader, into the folder LQS_SHOTS names, if any.
    void saveShots(const QString& tag) {
        const QString into = qEnvironmentVariable("LQS_SHOTS");
        if (into.isEmpty()) return;
        QCoreApplication::processEvents();  // the layouts a resize asked for
        wave->grab().save(QStringLiteral("%1/recorder-%2.png").arg(into, tag));
        test::action(form, "Control1")->trigger();
        form->grab().save(QStringLiteral("%1/main-window-%2.png").arg(into, tag));
    }
};

}  // namespace

class tst_AnyScreen : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        m_font = QApplication::font();
    }
    void cleanup() {
        QApplication::setFont(m_font);
        QApplication::setPalette(QPalette());
    }
    void contrastRatioOfKnownPairs();
    void textsFit_data();
    void textsFit();
    void windowsGrowAndScroll();
    void curvesHaveTheirOwnColours();
    void legendsArePainted();
    void fixedColoursRead_data();
    void fixedColoursRead();

private:
    QFont m_font;
};

void tst_AnyScreen::contrastRatioOfKnownPairs() {
    QCOMPARE(contrastRatio(Qt::black, Qt::white), 21.0);
    QCOMPARE(contrastRatio(Qt::white, Qt::black), 21.0);
    QCOMPARE(contrastRatio(QColor(0x2b2b2b), QColor(0x2b2b2b)), 1.0);
    QCOMPARE(qRound(contrastRatio(QColor(0x777777), Qt::white) * 100), 448);  // just under AA
    QCOMPARE(qRound(contrastRatio(QColor(0xe0e0e0), QColor(0x1e1e1e)) * 100), 1263);
}

void tst_AnyScreen::textsFit_data() {
    QTest::addColumn<int>("points");  // 0: the platform's font
    QTest::newRow("default font") << 0;
    QTest::newRow("10 pt") << 10;
    QTest::newRow("12 pt") << 12;
}

void tst_AnyScreen::textsFit() {
    QFETCH(int, points);
    if (points) {
        QFont f = QApplication::font();
        f.setPointSize(points);
        QApplication::setFont(f);
    }
    Windows w;
    QStringList clipped = clippedTexts(w.form.get());
    // The coupling selected stands out in bold, and still fits.
    for (const char* name : {"RadioButton2", "RadioButton3", "RadioButton1"}) {
        auto* selected = test::onMain<QRadioButton>(w.form, name);
        selected->setChecked(true);
        for (auto* b : selected->parentWidget()->findChildren<QRadioButton*>())
            QCOMPARE(b->font().bold(), b == selected);
        clipped << clippedTexts(selected->parentWidget());
    }
    w.openRecorder();
    clipped << clippedTexts(w.wave) << clippedTexts(w.readings);
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("; "))));
    w.saveShots(QStringLiteral("%1pt").arg(points));
}

void tst_AnyScreen::windowsGrowAndScroll() {
    Windows w;
    auto* panel = test::onMain(w.form, "Panel1");
    auto* edit = test::field(w.form, "Edit8");
    const QPoint editAt = edit->mapTo(panel, QPoint());
    QVERIFY(w.form->minimumSize() != w.form->maximumSize());
    w.form->resize(1200, 800);
    QCoreApplication::processEvents();
    QVERIFY(panel->width() >= 1150 && panel->height() >= 650);
    QCOMPARE(edit->mapTo(panel, QPoint()), editAt);  // where users know it

    w.openRecorder();
    auto* plot = test::named<PlotArea>(w.wave, "pb1");
    auto* channels = test::named<QWidget>(w.wave, "grp_Channels");
    QVERIFY2(plot->width() >= 600 + 400 && plot->height() >= 250 + 250,
             qPrintable(QStringLiteral("%1x%2").arg(plot->width()).arg(plot->height())));
    QCOMPARE(w.wave->width() - channels->geometry().right(), 766 - (695 + 61) + 1);
    QVERIFY(plot->mapTo(w.wave, QPoint(plot->width(), 0)).x() < channels->x());
    QVERIFY2(clippedTexts(w.wave).isEmpty(), qPrintable(clippedTexts(w.wave).join(u';')));

    // A screen smaller than the panel: the panel keeps its size and scrolls.
    test::action(w.form, "Control1")->trigger();
    w.form->resize(500, 300);
    QCoreApplication::processEvents();
    auto* scroll = w.form->findChild<QScrollArea*>();
    QVERIFY(scroll);
    QVERIFY(panel->width() >= 761 && panel->height() >= 413);
    QVERIFY(scroll->horizontalScrollBar()->maximum() > 0);
    QVERIFY(scroll->verticalScrollBar()->maximum() > 0);
}

void tst_AnyScreen::curvesHaveTheirOwnColours() {
    Windows w;
    w.openRecorder();
    auto colours = [&] {
        QList<QRgb> out;
        for (const char* s : {"pnl_Ch1v", "pnl_Ch1A", "pnl_Ch2v", "pnl_Ch2A"})
            out << w.wave->curveColor(test::named<QFrame>(w.wave, s)).rgb();
        return out;
    };
    auto distinct = [](const QList<QRgb>& c) {
        for (int i = 0; i < c.size(); ++i)
            for (int j = 0; j < i; ++j)
                if (c[i] == c[j]) return false;
        return true;
    };
    QVERIFY(distinct(colours()));
    // Any colour a setup gives a channel: its current differs from its voltage.
    for (QRgb rgb : {0xFF0000u, 0xFFFFFFu, 0xFFFF00u, 0x000080u, 0x00FF00u, 0x808080u}) {
        SetupChoices c = w.wave->setupInUse().value_or(SetupChoices());
        c.Ch1Color = QColor(rgb);
        c.Ch2Color = QColor(0x00FFFF);
        w.wave->applySetup(c);
        const QList<QRgb> now = colours();
        QVERIFY2(distinct(now), qPrintable(QColor(rgb).name()));
        const QColor amps = QColor(now[1]);
        QVERIFY2(contrastRatio(amps, QColor(now[0])) >= 1.4, qPrintable(amps.name()));
        if (contrastRatio(QColor(rgb), Qt::black) >= 4.5)
            QVERIFY2(contrastRatio(amps, Qt::black) >= 4.5, qPrintable(amps.name()));
    }
    for (int s = 0; s < 4; ++s)
        for (int t = 0; t < s; ++t) QVERIFY(readingsTraceColor(s) != readingsTraceColor(t));
}

void tst_AnyScreen::legendsArePainted() {
    Windows w;
    w.openRecorder();
    auto* plot = test::named<PlotArea>(w.wave, "pb1");
    QStringList names;
    for (const PlotArea::LegendEntry& e : plot->legend()) names << e.name;
    QCOMPARE(names, (QStringList{"CH1 V", "CH1 A", "CH2 V", "CH2 A"}));
    const QImage image = plot->grab().toImage();
    QVERIFY(plot->rect().contains(plot->legendRect()));
    for (int i = 0; i < plot->legend().size(); ++i)
        QVERIFY2(holdsColor(image, plot->legendLineRect(i), plot->legend()[i].color),
                 qPrintable(names[i]));
    // A curve hidden leaves the legend.
    test::named<QCheckBox>(w.wave, "fltchckbxckbx2")->click();
    QCOMPARE(plot->legend().size(), 3);
    QCOMPARE(plot->legend()[1].name, QStringLiteral("CH2 V"));

    auto* readings = w.readings->findChild<ReadingsPlot*>();
    readings->resize(640, 480);
    const QImage r = readings->grab().toImage();
    const PlotPanes panes = plotPanes(readings->size());
    const int rowHeight = readings->fontMetrics().height() + 6;
    for (int s = 0; s < 4; ++s) {
        const QRect pane = s % 2 ? panes.amps : panes.volts;
        const QRect legendRow(pane.left(), pane.top() - rowHeight, pane.width(), rowHeight - 1);
        QVERIFY2(holdsColor(r, legendRow, readingsTraceColor(s)), qPrintable(QString::number(s)));
    }
}

void tst_AnyScreen::fixedColoursRead_data() {
    QTest::addColumn<bool>("dark");
    QTest::newRow("light palette") << false;
    QTest::newRow("dark palette") << true;
}

// Every enabled text against the ground it is drawn on, with the list of
// saved records in both its colours.
void tst_AnyScreen::fixedColoursRead() {
    QFETCH(bool, dark);
    if (dark) QApplication::setPalette(darkPalette());
    Windows w;
    QStringList poor;
    auto check = [&](QWidget* root) {
        for (QWidget* c : root->findChildren<QWidget*>()) {
            if (!c->isEnabled() || c->isWindow()) continue;
            const QPalette& p = c->palette();
            double ratio = 21;
            if (qobject_cast<QListWidget*>(c))
                ratio = contrastRatio(p.color(QPalette::Text), p.color(QPalette::Base));
            else if (qobject_cast<QLabel*>(c) || qobject_cast<QRadioButton*>(c) ||
                     qobject_cast<QCheckBox*>(c) || qobject_cast<QGroupBox*>(c))
                ratio = contrastRatio(p.color(c->foregroundRole()), p.color(c->backgroundRole()));
            if (ratio < 4.5)
                poor << QStringLiteral("%1 %2").arg(c->objectName()).arg(ratio, 0, 'f', 1);
        }
    };
    check(w.form.get());
    w.openRecorder();
    w.wave->btn_LoadClick();
    check(w.wave);
    test::named<QPushButton>(w.wave, "btn_Delete")->click();
    check(w.wave);
    check(w.readings);
    w.saveShots(dark ? QStringLiteral("dark") : QStringLiteral("light"));
    poor.removeDuplicates();
    QVERIFY2(poor.isEmpty(), qPrintable(poor.join(QStringLiteral("; "))));
}

QTEST_MAIN(tst_AnyScreen)
#include "tst_any_screen.moc"

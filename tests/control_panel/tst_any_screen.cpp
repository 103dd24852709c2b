// The windows on any screen and palette: they grow and scroll, their texts
// fit at larger fonts and scales, each curve has a colour of its own named
// in a legend, and fixed colours read in a light palette and a dark one.
#include "control_panel/app_windows.h"
#include "control_panel/main_window.h"
#include "control_panel/window_fit.h"
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

using namespace lqs;

namespace {

// Where a widget's text is inked, in its parent; for a combo box all of it.
QRect textRect(const QWidget* w) {
    const QFontMetrics fm(w->font());
    const auto ink = [&](const QString& text, Qt::Alignment a, const QRect& in) {
        const QRect line = QStyle::alignedRect(Qt::LeftToRight, a,
                                               QSize(fm.horizontalAdvance(text), fm.height()), in);
        return fm.tightBoundingRect(text).translated(line.left() + w->x(),
                                                     line.top() + fm.ascent() + w->y());
    };
    if (auto* l = qobject_cast<const QLabel*>(w); l && !l->wordWrap())
        return ink(l->text(), l->alignment(), l->contentsRect());
    if (auto* b = qobject_cast<const QPushButton*>(w))
        return ink(b->text(), Qt::AlignCenter, b->rect());
    if (qobject_cast<const QCheckBox*>(w) || qobject_cast<const QRadioButton*>(w) ||
        qobject_cast<const QComboBox*>(w))
        return QRect(w->pos(), w->sizeHint());
    return {};
}

// Every text under root wider or taller than its place, past its parent's
// edge or drawn over another, by name.
QStringList clippedTexts(QWidget* root) {
    QStringList out;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(root) || w->isWindow()) continue;
        const QFontMetrics fm(w->font());
        QSize need, room = w->size();
        if (auto* l = qobject_cast<QLabel*>(w); l && !l->wordWrap() && !l->text().isEmpty()) {
            need = QSize(fm.horizontalAdvance(l->text()), fm.height());
            room = l->contentsRect().size();
        } else if (auto* b = qobject_cast<QPushButton*>(w); b && !b->text().isEmpty()) {
            need = QSize(fm.horizontalAdvance(b->text()) + 8, fm.height());
        } else if (auto* g = qobject_cast<QGroupBox*>(w); g && !g->title().isEmpty()) {
            need = QSize(fm.horizontalAdvance(g->title()) + 16, 0);
        } else if (!textRect(w).isEmpty()) {
            need = w->sizeHint();
        } else {
            continue;
        }
        bool cut = need.width() > room.width() || need.height() > room.height() ||
                   !w->parentWidget()->rect().contains(w->geometry());
        for (QWidget* s : w->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            cut = cut || (s != w && !s->isHidden() && textRect(s).intersects(textRect(w)));
        if (cut) out << w->objectName();
    }
    return out;
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
    QFont m_font = QApplication::font();
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup() {
        QApplication::setFont(m_font);
        QApplication::setPalette(QPalette());
    }

    void contrastRatioOfKnownPairs() {
        QCOMPARE(contrastRatio(Qt::black, Qt::white), 21.0);
        QCOMPARE(contrastRatio(QColor(0x2b2b2b), QColor(0x2b2b2b)), 1.0);
        QCOMPARE(qRound(contrastRatio(QColor(0x777777), Qt::white) * 100), 448);  // just under AA
        QCOMPARE(qRound(contrastRatio(QColor(0xe0e0e0), QColor(0x1e1e1e)) * 100), 1263);
    }

    void textsFit_data() {
        QTest::addColumn<int>("points");  // 0: the platform's font
        QTest::newRow("default font") << 0;
        QTest::newRow("10 pt") << 10;
        QTest::newRow("12 pt") << 12;
    }
    void textsFit() {
        QFETCH(int, points);
        QFont f = m_font;
        if (points) f.setPointSize(points);
        QApplication::setFont(f);
        Windows w;
        QStringList cut = clippedTexts(w.form.get());
        // The coupling selected stands out in bold, and still fits.
        for (const char* name : {"RadioButton2", "RadioButton3", "RadioButton1"}) {
            auto* selected = test::onMain<QRadioButton>(w.form, name);
            selected->setChecked(true);
            for (auto* b : selected->parentWidget()->findChildren<QRadioButton*>())
                QCOMPARE(b->font().bold(), b == selected);
            cut << clippedTexts(selected->parentWidget());
        }
        w.openRecorder();
        cut << clippedTexts(w.wave) << clippedTexts(w.readings);
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(u' ')));
        w.saveShots(QStringLiteral("%1pt").arg(points));
    }

    void windowsGrowAndScroll() {
        Windows w;
        auto* panel = test::onMain(w.form, "Panel1");
        auto* edit = test::field(w.form, "Edit8");
        const QPoint editAt = edit->mapTo(panel, QPoint());
        w.form->resize(1200, 800);
        QCoreApplication::processEvents();
        QVERIFY(panel->width() >= 1150 && panel->height() >= 650);
        QCOMPARE(edit->mapTo(panel, QPoint()), editAt);  // where users know it
        // The recorder's plot takes the room; its channel column keeps to the edge.
        w.openRecorder();
        auto* plot = test::named<PlotArea>(w.wave, "pb1");
        auto* channels = test::named<QWidget>(w.wave, "grp_Channels");
        QVERIFY(plot->width() >= 1000 && plot->height() >= 500);
        QCOMPARE(w.wave->width() - channels->geometry().right(), 766 - (695 + 61) + 1);
        // Painted at its size, not stretched: the grid's lines stay as wide as
        // at the plot's own size on this screen, each where its share of the
        // width puts it.
        const QImage grid = plot->grab().toImage();
        const qreal ratio = grid.devicePixelRatio();
        const int y =
            int(137 * plot->height() / 250.0 * ratio);  // between grid rows, below the legend
        QList<int> lineAt, lineWidth;
        for (int x = 0; x < grid.width(); ++x) {
            if (grid.pixelColor(x, y) != PlotColors::AppWorkspace) continue;
            if (!lineAt.isEmpty() && lineAt.back() + lineWidth.back() == x)
                ++lineWidth.back();
            else
                lineAt << x, lineWidth << 1;
        }
        QCOMPARE(lineAt.size(), 10);  // the middle one is white, the last past the edge
        for (int i = 0; i < 10; ++i) {
            const int n = i < 5 ? i + 1 : i + 2;
            QCOMPARE(lineWidth[i], int(std::max<qreal>(1, std::round(ratio))));
            QVERIFY(std::abs(lineAt[i] - 50 * n * plot->width() / 600.0 * ratio) <= ratio + 1);
        }
        // A screen smaller than the panel: the panel keeps its size and scrolls.
        test::action(w.form, "Control1")->trigger();
        w.form->resize(500, 300);
        QCoreApplication::processEvents();
        auto* scroll = w.form->findChild<QScrollArea*>();
        QVERIFY(panel->width() >= 761 && panel->height() >= 413);
        QVERIFY(scroll->horizontalScrollBar()->maximum() > 0);
        QVERIFY(scroll->verticalScrollBar()->maximum() > 0);
    }

    void curvesHaveColoursAndLegends() {
        Windows w;
        w.openRecorder();
        auto* plot = test::named<PlotArea>(w.wave, "pb1");
        // Any colour a setup gives a channel: its current differs from its
        // voltage, and reads on the plot when the voltage does.
        for (QRgb rgb : {0xFF0000u, 0xFFFFFFu, 0xFFFF00u, 0x000080u, 0x00FF00u, 0x808080u}) {
            SetupChoices c = w.wave->setupInUse().value_or(SetupChoices());
            c.Ch1Color = QColor(rgb);
            w.wave->applySetup(c);
            const QColor amps = w.wave->curveColor(test::named<QFrame>(w.wave, "pnl_Ch1A"));
            QVERIFY2(contrastRatio(amps, QColor(rgb)) >= 1.4, qPrintable(amps.name()));
            QVERIFY(contrastRatio(QColor(rgb), Qt::black) < 4.5 ||
                    contrastRatio(amps, Qt::black) >= 4.5);
        }
        // Four curves in four colours, each named and painted in the legend.
        const QImage image = plot->grab().toImage();
        QStringList names;
        for (int i = 0; i < plot->legend().size(); ++i) {
            names << plot->legend()[i].name;
            for (int j = 0; j < i; ++j) QVERIFY(plot->legend()[j].color != plot->legend()[i].color);
            QVERIFY(holdsColor(image, plot->legendLineRect(i), plot->legend()[i].color));
        }
        QCOMPARE(names, (QStringList{"CH1 V", "CH1 A", "CH2 V", "CH2 A"}));
        test::named<QCheckBox>(w.wave, "fltchckbxckbx2")->click();  // a curve hidden leaves it
        QCOMPARE(plot->legend().size(), 3);
        // The readings plot's legend, above each pane.
        auto* readings = w.readings->findChild<ReadingsPlot*>();
        const QImage r = readings->grab().toImage();
        const PlotPanes panes = plotPanes(readings->size());
        const int row = readings->fontMetrics().height() + 6;
        for (int s = 0; s < 4; ++s) {
            const QRect pane = s % 2 ? panes.amps : panes.volts;
            QVERIFY(holdsColor(r, QRect(pane.left(), pane.top() - row, pane.width(), row - 1),
                               readingsTraceColor(s)));
        }
    }

    void fixedColoursRead_data() {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light palette") << false;
        QTest::newRow("dark palette") << true;
    }
    // Every enabled text against the ground it is drawn on, with the list of
    // saved records in both its colours.
    void fixedColoursRead() {
        QFETCH(bool, dark);
        QPalette p;
        if (dark) {
            for (auto [role, rgb] : {std::pair{QPalette::Window, 0x2b2b2b},
                                     {QPalette::WindowText, 0xe0e0e0},
                                     {QPalette::Base, 0x1e1e1e},
                                     {QPalette::Text, 0xe0e0e0},
                                     {QPalette::Button, 0x353535},
                                     {QPalette::ButtonText, 0xe0e0e0},
                                     {QPalette::Highlight, 0x2a82da}})
                p.setColor(role, QColor(QRgb(rgb)));
            QApplication::setPalette(p);
        }
        Windows w;
        QStringList poor;
        auto check = [&](QWidget* root) {
            for (QWidget* c : root->findChildren<QWidget*>()) {
                const QPalette& cp = c->palette();
                const bool list = qobject_cast<QListWidget*>(c);
                const double ratio =
                    list ? contrastRatio(cp.color(QPalette::Text), cp.color(QPalette::Base))
                         : contrastRatio(cp.color(c->foregroundRole()),
                                         cp.color(c->backgroundRole()));
                const bool text = list || qobject_cast<QLabel*>(c) ||
                                  qobject_cast<QRadioButton*>(c) || qobject_cast<QCheckBox*>(c);
                if (text && c->isEnabled() && ratio < 4.5) poor << c->objectName();
            }
        };
        check(w.form.get());
        w.openRecorder();
        w.wave->btn_LoadClick();
        check(w.wave);
        test::named<QPushButton>(w.wave, "btn_Delete")->click();
        check(w.wave);
        check(w.readings);
        const QPalette now = QApplication::palette();
        if (contrastRatio(markedTextColor(now), now.color(QPalette::Base)) < 4.5)
            poor << QStringLiteral("a marked set point");
        w.saveShots(dark ? QStringLiteral("dark") : QStringLiteral("light"));
        QVERIFY2(poor.isEmpty(), qPrintable(poor.join(u' ')));
    }
};

QTEST_MAIN(tst_AnyScreen)
#include "tst_any_screen.moc"

#include "recorder/setup_dialog.h"

#include "common/dialog_flags.h"

#include "recorder/plot_math.h"
#include "recorder/wave_window.h"

#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace lqs {

namespace {

struct NamedColor {
    const char* name;
    QRgb rgb;
};

// The standard sixteen and the extended four.
const NamedColor kColors[] = {
    {"Black", 0x000000}, {"Maroon", 0x800000},      {"Green", 0x008000},
    {"Olive", 0x808000}, {"Navy", 0x000080},        {"Purple", 0x800080},
    {"Teal", 0x008080},  {"Gray", 0x808080},        {"Silver", 0xC0C0C0},
    {"Red", 0xFF0000},   {"Lime", 0x00FF00},        {"Yellow", 0xFFFF00},
    {"Blue", 0x0000FF},  {"Fuchsia", 0xFF00FF},     {"Aqua", 0x00FFFF},
    {"White", 0xFFFFFF}, {"Money Green", 0xC0DCC0}, {"Sky Blue", 0xA6CAF0},
    {"Cream", 0xFFFBF0}, {"Medium Gray", 0xA4A0A0},
};

// System colours fixed as this program draws them.
const NamedColor kFixedSystemColors[] = {
    {"Inactive Caption", 0x808080}, {"Button Face", 0xC0C0C0}, {"Button Text", 0x000000},
    {"Window", 0xFFFFFF},           {"Window Text", 0x000000}, {"App Workspace", 0x808080},
};

const char* const kActiveCaption = "Active Caption";

const char* const kScales[] = {"1 Second", "2 Seconds", "5 Seconds", "10 Seconds", "30 Seconds",
                               "1 min",    "5 mins",    "10 mins",   "30 mins",    "1 Hour"};
const int kSliceMs[] = {1000, 2000, 5000, 10000, 30000, 60000, 300000, 600000, 1800000, 3600000};

QComboBox* numbers(QWidget* parent, const char* name, int from, int to, int step) {
    auto* c = new QComboBox(parent);
    c->setObjectName(QString::fromLatin1(name));
    for (int v = from; v <= to; v += step) c->addItem(QString::number(v));
    return c;
}

void addColor(QComboBox* box, const QString& name, const QColor& color) {
    QPixmap chip(16, 12);
    chip.fill(color);
    QPainter(&chip).drawRect(0, 0, 15, 11);
    box->addItem(QIcon(chip), name, color);
}

// The palette's colours are read when the dialog is made, so each name
// shows the colour that choosing it gives.
QComboBox* colorBox(QWidget* parent, const char* name) {
    auto* c = new QComboBox(parent);
    c->setObjectName(QString::fromLatin1(name));
    for (const NamedColor& nc : kColors) addColor(c, QString::fromLatin1(nc.name), QColor(nc.rgb));
    addColor(c, QString::fromLatin1(kActiveCaption), PlotColors::activeCaption());
    for (const NamedColor& nc : kFixedSystemColors)
        addColor(c, QString::fromLatin1(nc.name), QColor(nc.rgb));
    addColor(c, QStringLiteral("Highlight"),
             QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight).toRgb());
    return c;
}

}  // namespace

TFrm_Setup::TFrm_Setup(QWidget* parent) : QDialog(parent, kFixedDialogFlags) {
    setObjectName(QStringLiteral("Frm_Setup"));
    setWindowTitle(QStringLiteral("Setup"));
    setModal(true);
    setFixedSize(218, 366);

    // The colour choosers start further left: their names must show whole.
    auto row = [](QWidget* group, const QString& caption, QComboBox* box, int y, int x = 110,
                  int right = 198) {
        auto* l = new QLabel(caption, group);
        l->setGeometry(8, y + 3, x - 8, 16);
        box->setGeometry(x, y, right - x, 21);
    };
    auto* length = new QGroupBox(this);
    length->setGeometry(5, 4, 208, 122);
    cbb1 = numbers(length, "cbb1", 0, 7, 1);
    cbb2 = numbers(length, "cbb2", 0, 23, 1);
    cbb3 = numbers(length, "cbb3", 0, 59, 1);
    cbb4 = numbers(length, "cbb4", 0, 55, 5);
    row(length, QStringLiteral("Days:"), cbb1, 12);
    row(length, QStringLiteral("Hours:"), cbb2, 38);
    row(length, QStringLiteral("Mintues:"), cbb3, 64);
    row(length, QStringLiteral("Seconds:"), cbb4, 90);

    auto* sampling = new QGroupBox(this);
    sampling->setGeometry(5, 130, 208, 70);
    cbb5 = new QComboBox(sampling);
    cbb5->setObjectName(QStringLiteral("cbb5"));
    for (const char* s : kScales) cbb5->addItem(QString::fromLatin1(s));
    cbb6 = new QComboBox(sampling);
    cbb6->setObjectName(QStringLiteral("cbb6"));
    cbb6->addItems(
        {QStringLiteral("Maximum"), QStringLiteral("Minimum"), QStringLiteral("Average")});
    row(sampling, QStringLiteral("Scale:"), cbb5, 12);
    row(sampling, QStringLiteral("Point Operation: "), cbb6, 40);

    auto* colours = new QGroupBox(this);
    colours->setGeometry(5, 204, 208, 100);
    clrbx_ch1 = colorBox(colours, "clrbx_ch1");
    clrbx_ch2 = colorBox(colours, "clrbx_ch2");
    clrbx_ch3 = colorBox(colours, "clrbx_ch3");
    row(colours, QStringLiteral("Ch1 Color:"), clrbx_ch1, 12, 72, 206);
    row(colours, QStringLiteral("Ch2 Color:"), clrbx_ch2, 40, 72, 206);
    row(colours, QStringLiteral("Ch3 Color:"), clrbx_ch3, 68, 72, 206);

    btn_OK = new QPushButton(QStringLiteral("OK"), this);
    btn_Cancel = new QPushButton(QStringLiteral("Cancel"), this);
    btn_OK->setObjectName(QStringLiteral("btn_OK"));
    btn_Cancel->setObjectName(QStringLiteral("btn_Cancel"));
    btn_OK->setGeometry(24, 322, 75, 25);
    btn_Cancel->setGeometry(118, 322, 75, 25);
    btn_OK->setDefault(true);

    connect(cbb5, &QComboBox::currentIndexChanged, this, &TFrm_Setup::cbb5Change);
    connect(btn_OK, &QPushButton::clicked, this, &TFrm_Setup::btn_OKClick);
    connect(btn_Cancel, &QPushButton::clicked, this, &TFrm_Setup::reject);
}

// Placed where the recorder's setup has always opened, unless that is off
// the screen, as on a small display; then centred.
void TFrm_Setup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    const QPoint classic(1109, 143);
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen && screen->availableGeometry().contains(QRect(classic, frameGeometry().size()))) {
        move(classic);
    } else if (screen) {
        move(screen->availableGeometry().center() - rect().center());
    }
    FormShow();
}

void TFrm_Setup::FormShow() {
    cbb1->setCurrentText(QStringLiteral("0"));
    cbb2->setCurrentText(QStringLiteral("0"));
    cbb3->setCurrentText(QStringLiteral("10"));
    cbb4->setCurrentText(QStringLiteral("10"));
    cbb5->setCurrentText(QStringLiteral("2 Seconds"));
    cbb6->setCurrentText(QStringLiteral("Maximum"));
    cbb5Change();
    // By name: the colour may equal a standard one, but it is the title bar's.
    clrbx_ch1->setCurrentText(QString::fromLatin1(kActiveCaption));
    selectColor(clrbx_ch2, PlotColors::Lime);
}

void TFrm_Setup::cbb5Change() {
    if (cbb5->currentIndex() == 0) {
        cbb6->setCurrentText(QStringLiteral("Maximum"));
        cbb6->setEnabled(false);
    } else {
        cbb6->setEnabled(true);
    }
}

int TFrm_Setup::sliceMsOf(const QString& item) {
    for (std::size_t i = 0; i < std::size(kScales); ++i) {
        if (item == QLatin1String(kScales[i])) return kSliceMs[i];
    }
    return 0;
}

void TFrm_Setup::selectColor(QComboBox* box, const QColor& color) {
    const int i = box->findData(color);
    if (i >= 0) box->setCurrentIndex(i);
}

QColor TFrm_Setup::chosenColor(const QComboBox* box) {
    return box->currentData().value<QColor>();
}

void TFrm_Setup::btn_OKClick() {
    if (m_wave) {
        TForm_Wave& w = *m_wave;
        w.setCurveColor(w.pnl_Ch1v, chosenColor(clrbx_ch1));
        w.setCurveColor(w.pnl_Ch1A, chosenColor(clrbx_ch1));
        w.setCurveColor(w.pnl_Ch2v, chosenColor(clrbx_ch2));
        w.setCurveColor(w.pnl_Ch2A, chosenColor(clrbx_ch2));
        const int length =
            cbb1->currentText().toInt() * 86400000 + cbb2->currentText().toInt() * 3600000 +
            cbb3->currentText().toInt() * 60000 + cbb4->currentText().toInt() * 1000 + 1000;
        // A timer given the interval it already has keeps its schedule; a new
        // interval restarts a running timer from now.
        if (w.tmr_All->interval() != length) w.tmr_All->setInterval(length);
        w.state.RecordLengthMs = length;
        const int slice = sliceMsOf(cbb5->currentText());
        w.state.PointOperation = cbb6->currentText();
        if (w.tmr_Scale->interval() != slice) w.tmr_Scale->setInterval(slice);
        w.state.TimeSliceMs = slice;
        w.setSummary({QStringLiteral("Total Time:0d 0:0:0"),
                      QStringLiteral("Time Slice: %1sec").arg(roundHalfEven(slice / 1000.0)),
                      QStringLiteral("Sample: 0"), QStringLiteral("CH1 Max:V A"),
                      QStringLiteral("CH1 Min:V A"), QStringLiteral("CH2 Max:V A"),
                      QStringLiteral("CH2 Min:V A")});
    }
    accept();
}

}  // namespace lqs

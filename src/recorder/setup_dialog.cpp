#include "recorder/setup_dialog.h"

#include "common/dialog_flags.h"

#include "recorder/plot_math.h"
#include "ui_setup_dialog.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

#include <algorithm>

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

void addColor(QComboBox* box, const QString& name, const QColor& color) {
    QPixmap chip(16, 12);
    chip.fill(color);
    QPainter(&chip).drawRect(0, 0, 15, 11);
    box->addItem(QIcon(chip), name, color);
}

// The palette's colours are read when the dialog is made, so each name
// shows the colour that choosing it gives.
void fillColors(QComboBox* c) {
    for (const NamedColor& nc : kColors) addColor(c, QString::fromLatin1(nc.name), QColor(nc.rgb));
    addColor(c, QString::fromLatin1(kActiveCaption), PlotColors::activeCaption());
    for (const NamedColor& nc : kFixedSystemColors)
        addColor(c, QString::fromLatin1(nc.name), QColor(nc.rgb));
    addColor(c, QStringLiteral("Highlight"),
             QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight).toRgb());
}

}  // namespace

TFrm_Setup::TFrm_Setup(QWidget* parent)
    : QDialog(parent, kFixedDialogFlags), ui(std::make_unique<Ui::TFrm_Setup>()) {
    ui->setupUi(this);
    // One table gives each scale its text and its slice.
    for (const char* s : kScales) ui->cbb5->addItem(QString::fromLatin1(s));
    for (QComboBox* c : {ui->clrbx_ch1, ui->clrbx_ch2, ui->clrbx_ch3}) fillColors(c);
    ui->btn_OK->setDefault(true);

    connect(ui->cbb5, &QComboBox::currentIndexChanged, this, &TFrm_Setup::cbb5Change);
    connect(ui->btn_OK, &QPushButton::clicked, this, &TFrm_Setup::btn_OKClick);
    connect(ui->btn_Cancel, &QPushButton::clicked, this, &TFrm_Setup::reject);
}

TFrm_Setup::~TFrm_Setup() = default;

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
    ui->cbb1->setCurrentText(QStringLiteral("0"));
    ui->cbb2->setCurrentText(QStringLiteral("0"));
    ui->cbb3->setCurrentText(QStringLiteral("10"));
    ui->cbb4->setCurrentText(QStringLiteral("10"));
    ui->cbb5->setCurrentText(QStringLiteral("2 Seconds"));
    ui->cbb6->setCurrentText(QStringLiteral("Maximum"));
    cbb5Change();
    // By name: the colour may equal a standard one, but it is the title bar's.
    ui->clrbx_ch1->setCurrentText(QString::fromLatin1(kActiveCaption));
    selectColor(ui->clrbx_ch2, PlotColors::Lime);
    if (!m_inUse) return;
    // Pressing OK only to look must leave the recorder as it is.
    const SetupChoices& c = *m_inUse;
    const int seconds = (c.RecordLengthMs - 1000) / 1000;
    ui->cbb1->setCurrentText(QString::number(seconds / 86400));
    ui->cbb2->setCurrentText(QString::number(seconds / 3600 % 24));
    ui->cbb3->setCurrentText(QString::number(seconds / 60 % 60));
    ui->cbb4->setCurrentText(QString::number(seconds % 60));
    for (std::size_t i = 0; i < std::size(kSliceMs); ++i)
        if (kSliceMs[i] == c.TimeSliceMs) ui->cbb5->setCurrentIndex(static_cast<int>(i));
    cbb5Change();
    if (ui->cbb6->isEnabled()) ui->cbb6->setCurrentText(c.PointOperation);
    selectColor(ui->clrbx_ch1, c.Ch1Color);
    selectColor(ui->clrbx_ch2, c.Ch2Color);
}

void TFrm_Setup::showChoices(const SetupChoices& choices) {
    m_inUse = choices;
}

bool TFrm_Setup::offers(const SetupChoices& c) {
    const int lengthMs = c.RecordLengthMs - 1000;
    const bool slice =
        std::find(std::begin(kSliceMs), std::end(kSliceMs), c.TimeSliceMs) != std::end(kSliceMs);
    const bool operation =
        QStringList{QStringLiteral("Maximum"), QStringLiteral("Minimum"), QStringLiteral("Average")}
            .contains(c.PointOperation);
    // Up to seven days, 23:59:55, in steps of five seconds, is what the boxes can say.
    return lengthMs >= 0 && lengthMs % 5000 == 0 && lengthMs / 1000 < 8 * 86400 && slice &&
           operation && c.Ch1Color.isValid() && c.Ch2Color.isValid();
}

void TFrm_Setup::cbb5Change() {
    if (ui->cbb5->currentIndex() == 0) {
        ui->cbb6->setCurrentText(QStringLiteral("Maximum"));
        ui->cbb6->setEnabled(false);
    } else {
        ui->cbb6->setEnabled(true);
    }
}

int TFrm_Setup::sliceMsOf(const QString& item) {
    for (std::size_t i = 0; i < std::size(kScales); ++i) {
        if (item == QLatin1String(kScales[i])) return kSliceMs[i];
    }
    return 0;
}

void TFrm_Setup::setRecordCounters(bool on) {
    ui->chk_Counters->setChecked(on);
}

void TFrm_Setup::selectColor(QComboBox* box, const QColor& color) {
    const int i = box->findData(color);
    if (i >= 0) box->setCurrentIndex(i);
}

QColor TFrm_Setup::chosenColor(const QComboBox* box) {
    return box->currentData().value<QColor>();
}

// The recorder applies choices() once the dialog has closed.
void TFrm_Setup::btn_OKClick() {
    accept();
}

SetupChoices TFrm_Setup::choices() const {
    SetupChoices c;
    c.Ch1Color = chosenColor(ui->clrbx_ch1);
    c.Ch2Color = chosenColor(ui->clrbx_ch2);
    c.RecordLengthMs =
        ui->cbb1->currentText().toInt() * 86400000 + ui->cbb2->currentText().toInt() * 3600000 +
        ui->cbb3->currentText().toInt() * 60000 + ui->cbb4->currentText().toInt() * 1000 + 1000;
    c.TimeSliceMs = sliceMsOf(ui->cbb5->currentText());
    c.PointOperation = ui->cbb6->currentText();
    c.RecordCounters = ui->chk_Counters->isChecked();
    return c;
}

}  // namespace lqs

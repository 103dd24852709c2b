#include "control_panel/main_window.h"

#include "control_panel/set_point_entry.h"
#include "device_link/link_client.h"
#include "serial/comm.h"
#include "ui_main_window.h"

namespace lqs {

QLineEdit* TForm1::edit(int number) const {
    QLineEdit* const edits[] = {ui->Edit1, ui->Edit2, ui->Edit3, ui->Edit4,
                                ui->Edit5, ui->Edit6, ui->Edit7, ui->Edit8};
    return number >= 1 && number <= 8 ? edits[number - 1] : nullptr;
}

QString TForm1::fieldText(int number) const {
    const QLineEdit* e = edit(number);
    return e ? e->text() : QString();
}

// A measured value is judged as it is shown: its age counts from now.
void TForm1::setFieldText(int number, const QString& text) {
    QLineEdit* e = edit(number);
    if (!e) return;
    e->setText(text);
    if (number <= 4) judgeReading(number, text);
}

void TForm1::selectCoupling(int button) {
    QRadioButton* const buttons[] = {ui->RadioButton1, ui->RadioButton2, ui->RadioButton3};
    if (button >= 1 && button <= 3) buttons[button - 1]->setChecked(true);
}

// A reading no longer current is no reading: the recorder leaves a gap.
QStringList TForm1::readingTexts() const {
    return m_readings.currentTexts();
}

bool TForm1::readingCurrent(int index) const {
    return m_readings.current(index);
}

// What the recorder reads: the button's "ON", or "OFF" for anything else.
QString TForm1::outputCaption() const {
    return ui->BitBtn4->text() == QLatin1String("ON") ? QStringLiteral("ON")
                                                      : QStringLiteral("OFF");
}

void TForm1::setFastReadings(bool on) {
    ui->FastReadings1->setChecked(on);
}

// Latched by a trip, "on" is not even asked: the button would show ON for a
// moment. Should the trip come while the "on" is on its way, the link refuses it.
void TForm1::setOutput(bool on, Done done) {
    const auto refused = [this] {
        const QString note = QStringLiteral("The output stays off until the trip is cleared.");
        if (!m_tripText.isEmpty() && !m_tripText.endsWith(note))
            m_tripText += QLatin1Char(' ') + note;
        showGuardBanner();
    };
    if (on && m_client->trip()) {
        refused();
        if (done) done(false);
        return;
    }
    if (!on) Q_EMIT outputStopping();
    m_client->setOutput(on, [this, on, refused, done = std::move(done)](bool tookEffect) {
        if (on && !tookEffect && m_client->trip()) refused();
        if (done) done(tookEffect);
    });
}

// As the button's click does it; the button shows it at once.
void TForm1::setCoupling(int button, Done done) {
    if (button < 1 || button > 3 || button == coupling()) {
        if (done) done(true);
        return;
    }
    if (m_client->outputIntended())
        noteInLinkPanel(QStringLiteral("the output goes off to change the coupling"));
    stopRecorderIfOutputOn();
    m_client->selectCoupling(Coupling(button), std::move(done));
    showCoupling(Coupling(button), false);
}

// A save or a recall with the output on leaves it off and the readings empty:
// the recorder stops first, as it does for the output button.
void TForm1::stopRecorderIfOutputOn() {
    if (m_client->output().state == OutputState::On) Q_EMIT outputStopping();
}

void TForm1::saveMemorySlot(const QString& slot, Done done) {
    if (m_client->outputIntended())
        noteInLinkPanel(QStringLiteral("the output goes off to save memory %1").arg(slot));
    stopRecorderIfOutputOn();
    m_client->saveMemory(slot, std::move(done));
}

void TForm1::recallMemorySlot(const QString& slot, Done done) {
    stopRecorderIfOutputOn();
    m_client->recallMemory(slot, std::move(done));
}

// The link button, without its question: a script asked for it.
bool TForm1::linkWithoutQuestion(QString* why) {
    if (!ui->ToolButton1->isEnabled() || !comm1->IsOpen()) {
        if (why) *why = QStringLiteral("no serial port is open");
        return false;
    }
    if (!reopenSilentPort(why)) return false;
    startLink();
    return true;
}

void TForm1::enterSetPoint(int edit, const QString& text, Done done) {
    m_entry->enter(edit, text, Origin::Script, std::move(done));
}

int TForm1::coupling() const {
    if (ui->RadioButton2->isChecked()) return 2;
    if (ui->RadioButton3->isChecked()) return 3;
    return 1;
}

}  // namespace lqs

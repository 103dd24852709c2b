#include "control_panel/main_window.h"

#include "common/convert.h"
#include "control_panel/about_box.h"
#include "control_panel/model_recheck.h"
#include "control_panel/window_fit.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"
#include "device_link/protocol.h"
#include "device_link/set_point_math.h"
#include "ui_main_window.h"

namespace lqs {

void TForm1::setStartModel(int index) {
    if (!modelProfile(index)) return;
    m_startModel = index;
    if (m_shownOnce) chooseModel(index);
}

void TForm1::InitialiseModel() {
    m_model = m_startModel;
    m_client->setModel(m_model);
    ShowModelProfile();
    ResetSetPointFields();
    setWindowTitle(programCaption());
    m_windows.Form2->showCaption(programCaption());
    for (QAction* a : {ui->Delay1, ui->OutMode1, ui->AutoMode1, ui->OutPut1, ui->AutoRun1,
                       ui->ClearErrorofProtection1})
        a->setEnabled(false);
    ui->Record1->setEnabled(false);  // the menu widget: its item follows it
    for (QAction* a : {ui->btn1, ui->btn2, ui->btn5, ui->btn7, ui->btn8, ui->btn3, ui->btn4})
        a->setEnabled(false);
}

void TForm1::ResetModelCaptions() {
    for (int i = 0; i < 3; ++i) m_seriesItems[i]->setText(seriesCaption(i + 1));
}

void TForm1::ShowModelProfile() {
    ResetModelCaptions();
    const int index = m_model;
    const ModelProfile* profile = modelProfile(index);
    if (!profile) return;
    m_seriesItems[index - 1]->setText(QStringLiteral("->") + seriesCaption(index));
    setWindowTitle(QString::fromLatin1(profile->resolution));
}

void TForm1::ResetSetPointFields() {
    const ModelProfile* profile = modelProfile(m_model);
    if (!profile) return;
    const QString zero = QString::fromLatin1(profile->zeroText);
    for (QLineEdit* e : {ui->Edit5, ui->Edit6, ui->Edit7, ui->Edit8}) e->setText(zero);
}

// Unlinked, a model change starts the fields from its zero. Linked, they
// show what the instrument holds, which a menu choice does not change: each
// keeps its value in the new model's format, and one the new model could not
// take is marked, never sent.
void TForm1::chooseModel(int index) {
    m_model = index;
    m_client->setModel(index);
    if (!m_linkedPicture) {
        ShowModelProfile();
        ResetSetPointFields();
        return;
    }
    QLineEdit* const fields[] = {ui->Edit5, ui->Edit6, ui->Edit7, ui->Edit8};
    const auto checked = recheckForModel(
        index, {fields[0]->text(), fields[1]->text(), fields[2]->text(), fields[3]->text()});
    ShowModelProfile();
    if (m_client->linked() && !m_client->fastReadings()) setLinkText(linkedText());
    for (int i = 0; i < 4; ++i) {
        const FieldRecheck& r = checked[size_t(i)];
        if (!r.number) continue;
        fields[i]->setText(r.text);
        if (!r.note.isEmpty()) markField(fields[i], r.note);
    }
}

// A field whose text needs a word: red, with the word as its tooltip, until the text changes.
void TForm1::markField(QLineEdit* field, const QString& why) {
    QPalette p = field->palette();
    p.setColor(QPalette::Text, markedTextColor(p));
    field->setPalette(p);
    field->setToolTip(why);
    const QString marked = field->text();
    auto* watch = new QObject(field);
    connect(field, &QLineEdit::textChanged, watch, [field, watch, marked](const QString& text) {
        if (text == marked) return;
        field->setPalette(QPalette());
        field->setToolTip(QString());
        watch->deleteLater();
    });
}

void TForm1::LQS6200A1Click() {
    selectModel(1);
}
void TForm1::LQS6200B1Click() {
    selectModel(2);
}
void TForm1::LQS6500B1Click() {
    selectModel(3);
}

void TForm1::selectModel(int index) {
    m_modelByIdentity.chosen();
    m_identityModelNote.clear();
    chooseModel(index);
}

// Before the link text is made, so it says the model it chose.
void TForm1::adoptIdentityModel() {
    m_identityModelNote.clear();
    const int index = m_modelByIdentity.atLink(m_client->identity());
    if (index == 0 || index == m_model) return;
    m_identityModelNote = QStringLiteral("model set to the %1 from its identity")
                              .arg(QLatin1String(modelProfile(index)->name));
    chooseModel(index);
}

void TForm1::EnableSetPointControls(int upDown1, int edit5, int upDown2, int edit6, int upDown3,
                                    int edit7, int upDown4, int edit8) {
    ui->UpDown1->setEnabled(upDown1 == 1);
    ui->Edit5->setEnabled(edit5 == 1);
    ui->UpDown2->setEnabled(upDown2 == 1);
    ui->Edit6->setEnabled(edit6 == 1);
    ui->UpDown3->setEnabled(upDown3 == 1);
    ui->Edit7->setEnabled(edit7 == 1);
    ui->UpDown4->setEnabled(upDown4 == 1);
    ui->Edit8->setEnabled(edit8 == 1);
}

// A coupling button that became selected, by a click or from code. With the
// output on, the change leaves it off.
void TForm1::couplingSelected(QRadioButton* button, std::uint8_t code, const int (&e)[8]) {
    if (!button->isChecked()) return;
    EnableSetPointControls(e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7]);
    showChannel2For(code);
    // What the link did itself (a coupling the instrument reported) is only shown.
    if (m_reportedCoupling) return;
    if (m_client->outputIntended())
        noteInLinkPanel(QStringLiteral("the output goes off to change the coupling"));
    stopRecorderIfOutputOn();
    m_client->selectCoupling(Coupling(code - Op::CouplingIndep + 1));
}

void TForm1::showCoupling(Coupling coupling, bool fromInstrument) {
    if (coupling == Coupling(this->coupling())) return;
    m_reportedCoupling = true;
    m_couplingFromInstrument = fromInstrument;
    selectCoupling(int(coupling));
    m_reportedCoupling = false;
    m_couplingFromInstrument = false;
}

// Coupled, the instrument runs channel 2 from channel 1: in parallel wholly,
// tracking only its voltage; channel 2's current stays its own. On the
// operator's click the followed values are shown at once, so channel 2 never
// shows what the instrument no longer holds until the next reading; back to
// independent, its own again. A coupling the instrument reported changes no
// field: they hold its replies. Followed fields say so.
void TForm1::showChannel2For(std::uint8_t code) {
    const bool voltageFollows = code != Op::CouplingIndep;
    const bool currentFollows = code == Op::CouplingParall;
    const QString follows = QStringLiteral("Follows channel 1's %1 while the channels are %2");
    const QString mode =
        currentFollows ? QStringLiteral("in parallel") : QStringLiteral("tracking");
    ui->Edit7->setToolTip(voltageFollows ? follows.arg(QStringLiteral("voltage"), mode)
                                         : QString());
    ui->Edit8->setToolTip(currentFollows ? follows.arg(QStringLiteral("current"), mode)
                                         : QString());
    if (!m_linkedPicture) return;
    if (m_couplingFromInstrument) {
        m_channel2Own.reset();
        return;
    }
    if (voltageFollows) {
        if (!m_channel2Own) m_channel2Own = std::make_pair(ui->Edit7->text(), ui->Edit8->text());
        ui->Edit7->setText(ui->Edit5->text());
        ui->Edit8->setText(currentFollows ? ui->Edit6->text() : m_channel2Own->second);
    } else if (m_channel2Own) {
        ui->Edit7->setText(m_channel2Own->first);
        ui->Edit8->setText(m_channel2Own->second);
        m_channel2Own.reset();
    }
}

void TForm1::RadioButton1Click() {
    couplingSelected(ui->RadioButton1, Op::CouplingIndep, {1, 1, 1, 1, 1, 1, 1, 1});
}
void TForm1::RadioButton2Click() {
    couplingSelected(ui->RadioButton2, Op::CouplingParall, {1, 1, 1, 1, 0, 0, 0, 0});
}
void TForm1::RadioButton3Click() {
    couplingSelected(ui->RadioButton3, Op::CouplingTrack, {1, 1, 1, 1, 0, 0, 1, 1});
}

}  // namespace lqs

#include "control_panel/remote_control.h"

#include "common/convert.h"
#include "control_panel/main_window.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"
#include "remote/remote_dialog.h"
#include "remote/scpi_server.h"
#include "remote/scpi_session.h"

#include <QHostAddress>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace lqs {

namespace {
// Edit1 .. Edit4 are the readings, Edit5 .. Edit8 the set points, each
// channel's voltage before its current.
int readingField(int channel, bool current) {
    return (channel == 2 ? 3 : 1) + (current ? 1 : 0);
}
int setPointField(int channel, bool current) {
    return readingField(channel, current) + 4;
}
}  // namespace

RemoteControl::RemoteControl(TForm1* form)
    : QObject(form),
      m_form(form),
      m_server(new ScpiServer(
          [this] {
              return std::make_unique<ScpiSession>(*this, maker(), QStringLiteral(LQS_VERSION));
          },
          this)) {
    connect(m_server, &ScpiServer::clientsChanged, this, &RemoteControl::clientsChanged);
    connect(m_server, &ScpiServer::runningChanged, this, &RemoteControl::clientsChanged);
}

// The window is going: its clients go without a word to it.
RemoteControl::~RemoteControl() {
    m_server->disconnect(this);
    m_server->stop();
}

QString RemoteControl::maker() {
    return QStringLiteral("LQS Control");
}

// A null address: the loopback addresses only.
bool RemoteControl::start(const QHostAddress& address, quint16 port, QString* error) {
    return address.isNull() ? m_server->start(port, false, error)
                            : m_server->start(address, port, error);
}

void RemoteControl::showDialog() {
    if (!m_dialog) m_dialog = new RemoteDialog(m_server, m_form);
    m_dialog->show();
    m_dialog->raise();
    m_dialog->activateWindow();
}

void RemoteControl::clientsChanged() {
    if (!m_server->running()) {
        m_form->setRemoteNote(QString());
        return;
    }
    const int n = m_server->clientCount();
    m_form->setRemoteNote(n == 1 ? QStringLiteral("Remote: 1 client")
                                 : QStringLiteral("Remote: %1 clients").arg(n));
}

QString RemoteControl::modelName() const {
    static const char* const names[] = {"LQS-6200A", "LQS-6200B", "LQS-6500B"};
    const int index = m_form->model();
    return index >= 1 && index <= 3 ? QString::fromLatin1(names[index - 1]) : QString();
}

QString RemoteControl::instrumentIdentity() const {
    return m_form->linkClient()->identity();
}

bool RemoteControl::linked() const {
    return m_form->linkedPicture() && m_form->linkClient()->linked();
}

bool RemoteControl::startLink(QString* why) {
    return m_form->linkWithoutQuestion(why);
}

void RemoteControl::whenLinkSettled(std::function<void(bool)> done) {
    m_form->linkClient()->whenIdle([this, done] { done(linked()); });
}

double RemoteControl::voltageLimit() const {
    const ModelProfile* p = modelProfile(m_form->model());
    return p ? p->voltageCeiling : 0;
}

double RemoteControl::currentLimit() const {
    const ModelProfile* p = modelProfile(m_form->model());
    return p ? p->currentCeiling : 0;
}

int RemoteControl::decimals() const {
    const ModelProfile* p = modelProfile(m_form->model());
    return p ? p->decimals : 2;
}

QString RemoteControl::setPoint(int channel, bool current) const {
    return m_form->fieldText(setPointField(channel, current));
}

void RemoteControl::setSetPoint(int channel, bool current, const QString& text, Done done) {
    m_form->enterSetPoint(setPointField(channel, current), text, std::move(done));
}

// Parallel runs channel 2 wholly from channel 1; tracking only its voltage.
bool RemoteControl::channel2Follows(bool current) const {
    const int c = coupling();
    return c == 2 || (c == 3 && !current);
}

// With fast readings the field is at most a few exchanges old; otherwise the
// link asks, or takes the poll's next reply to that value.
// A reading asked after every command before it has ended, never one from
// before: the link answers, or says that none came.
void RemoteControl::measure(int channel, bool current,
                            std::function<void(std::optional<double>)> done) {
    m_form->linkClient()->measure(channel, current ? Quantity::Current : Quantity::Voltage,
                                  std::move(done));
}

std::optional<bool> RemoteControl::outputOn() const {
    const OutputView v = m_form->linkClient()->output();
    if (v.target == OutputState::Unknown) return std::nullopt;
    return v.target == OutputState::On;
}

void RemoteControl::setOutput(bool on, Done done) {
    m_form->setOutput(on, std::move(done));
}

int RemoteControl::coupling() const {
    return m_form->coupling();
}

void RemoteControl::setCoupling(int coupling, Done done) {
    m_form->setCoupling(coupling, std::move(done));
}

void RemoteControl::saveMemory(int slot, Done done) {
    m_form->saveMemorySlot(QString::number(slot), std::move(done));
}

void RemoteControl::recallMemory(int slot, Done done) {
    m_form->recallMemorySlot(QString::number(slot), std::move(done));
}

// The remote names of the limits are the guard's, in the same order.
static_assert(int(RemoteInstrument::Protection::Charge) == int(GuardLimit::Charge));
static_assert(int(RemoteInstrument::Protection::Energy) == int(GuardLimit::Energy));
static_assert(int(RemoteInstrument::Protection::EnteringCc) == int(GuardLimit::EnteringCc));
static_assert(RemoteInstrument::kProtections == kGuardLimits);

RemoteInstrument::ProtectionSetting RemoteControl::protection(int channel, Protection limit) const {
    const GuardSetting& g = m_form->linkClient()->guardSetting(channel, GuardLimit(limit));
    return {g.armed, g.level, std::chrono::duration<double>(g.delay).count()};
}

QString RemoteControl::setProtection(int channel, Protection limit,
                                     const ProtectionSetting& setting) {
    const GuardLimit l = GuardLimit(limit);
    const QString why = checkGuardLevel(l, setting.level, modelProfile(m_form->model()));
    // A level of 0 that is not armed only says none is set yet; a level kept
    // as it was must not stop a limit being disarmed (another model chosen since).
    const bool newLevel =
        setting.level != 0 && setting.level != m_form->linkClient()->guardSetting(channel, l).level;
    if (!why.isEmpty() && (setting.on || newLevel)) return why;
    const auto delay = std::chrono::round<std::chrono::milliseconds>(
        std::chrono::duration<double>(setting.delaySeconds));
    m_form->linkClient()->setGuard(channel, l, {setting.on, setting.level, delay});
    return {};
}

bool RemoteControl::protectionTripped() const {
    return m_form->linkClient()->trip().has_value();
}

void RemoteControl::clearProtection() {
    m_form->linkClient()->clearTrip();
}

RemoteInstrument::Counters RemoteControl::counters(int channel) const {
    const ChannelCounters c = m_form->linkClient()->counters(channel);
    return {c.ampHours, c.wattHours};
}

void RemoteControl::clearCounters(int channel) {
    m_form->linkClient()->clearCounters(channel);
}

void RemoteControl::whenIdle(std::function<void()> done) {
    m_form->linkClient()->whenIdle(std::move(done));
}

}  // namespace lqs

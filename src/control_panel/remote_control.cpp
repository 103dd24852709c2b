#include "control_panel/remote_control.h"

#include "common/convert.h"
#include "control_panel/main_window.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"
#include "remote/remote_dialog.h"
#include "remote/scpi_server.h"
#include "remote/scpi_session.h"
#include "remote/sequence_files.h"

#include <QHostAddress>
#include <QLabel>
#include <QTimer>
#include <QToolBar>

#include <algorithm>
#include <cmath>
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

using ListRun = RemoteInstrument::ListRun;

// Value i of a list, or its one value for every step; none for an empty
// list, nor past the end of a short one.
std::optional<double> valueAt(const std::vector<double>& list, std::size_t i) {
    if (list.empty()) return std::nullopt;
    if (list.size() == 1) return list.front();
    return i < list.size() ? std::optional<double>(list[i]) : std::nullopt;
}

// The plan a run gives: the one read from a file while the lists are
// untouched, otherwise one step per list value, the first switching the
// output on. The session has checked the lengths.
std::optional<StepPlan> planOf(const ListRun& run, QString* why) {
    StepPlan plan;
    if (!run.asLoaded.isEmpty()) {
        plan = planFromCsv(run.asLoaded, why);
        if (!why->isEmpty()) return std::nullopt;
    } else {
        std::size_t steps = run.dwellSeconds.size();
        for (std::size_t c = 0; c < 2; ++c)
            steps = std::max({steps, run.volts[c].size(), run.amps[c].size()});
        for (std::size_t i = 0; i < steps; ++i) {
            PlanStep s;
            for (std::size_t c = 0; c < 2; ++c)
                s.channels[c] = {valueAt(run.volts[c], i), valueAt(run.amps[c], i)};
            if (const auto dwell = valueAt(run.dwellSeconds, i))
                s.dwell = std::chrono::milliseconds(std::llround(*dwell * 1000));
            s.output = i == 0 ? OutputChange::On : OutputChange::Unchanged;
            plan.steps.push_back(s);
        }
    }
    plan.repeats = run.count;
    plan.end = run.end == ListRun::End::HoldLast      ? EndState::HoldLast
               : run.end == ListRun::End::BackToFirst ? EndState::BackToFirst
                                                      : EndState::OutputOff;
    return plan;
}

// One value when every step has the same.
std::vector<double> shortened(std::vector<double> list) {
    if (!list.empty() &&
        std::all_of(list.begin(), list.end(), [&](double v) { return v == list.front(); }))
        list.resize(1);
    return list;
}

// The lists nearest to a plan read from a file: each step's value, a blank
// taking the one held before it (or the first one given).
ListRun listsOf(const StepPlan& plan) {
    ListRun run;
    const std::vector<HeldValues> held = heldAfterEachStep(plan, {});
    for (std::size_t c = 0; c < 2; ++c) {
        for (const bool volts : {true, false}) {
            std::optional<double> first;
            for (const HeldValues& h : held)
                if (const auto& v = volts ? h[c].volts : h[c].amps; v && !first) first = v;
            if (!first) continue;
            std::vector<double> list;
            for (const HeldValues& h : held)
                list.push_back((volts ? h[c].volts : h[c].amps).value_or(*first));
            (volts ? run.volts : run.amps)[c] = shortened(std::move(list));
        }
    }
    std::vector<double> dwell;
    for (const PlanStep& s : plan.steps) dwell.push_back(double(s.dwell.count()) / 1000);
    run.dwellSeconds = shortened(std::move(dwell));
    run.count = plan.repeats;
    run.end = plan.end == EndState::HoldLast      ? ListRun::End::HoldLast
              : plan.end == EndState::BackToFirst ? ListRun::End::BackToFirst
                                                  : ListRun::End::OutputOff;
    return run;
}

RemoteInstrument::FileOutcome outcomeOf(SequenceFile file) {
    switch (file) {
        case SequenceFile::Done:
            return RemoteInstrument::FileOutcome::Done;
        case SequenceFile::Missing:
            return RemoteInstrument::FileOutcome::Missing;
        case SequenceFile::Refused:
            return RemoteInstrument::FileOutcome::Refused;
        case SequenceFile::Failed:
            break;
    }
    return RemoteInstrument::FileOutcome::Failed;
}
}  // namespace

namespace {
// A client's lines run with the window's notes said to come from a script.
class ScriptSession : public LineSession {
public:
    ScriptSession(TForm1* form, std::unique_ptr<LineSession> inner)
        : m_form(form), m_inner(std::move(inner)) {
        m_inner->write = [this](const QByteArray& reply) {
            if (write) write(reply);
        };
        m_inner->finished = [this] {
            if (finished) finished();
        };
    }
    void takeLine(const QByteArray& line) override {
        const EventSource was = m_form->setNoteSource(EventSource::Script);
        m_inner->takeLine(line);
        m_form->setNoteSource(was);
    }
    void lineTooLong() override { m_inner->lineTooLong(); }

private:
    TForm1* m_form;
    std::unique_ptr<LineSession> m_inner;
};
}  // namespace

RemoteControl::RemoteControl(TForm1* form)
    : QObject(form),
      m_form(form),
      m_errors(std::make_shared<ScpiErrorQueue>()),
      m_server(new ScpiServer(
          [this] {
              return std::make_unique<ScriptSession>(
                  m_form, std::make_unique<ScpiSession>(*this, m_errors, maker(),
                                                        QStringLiteral(LQS_VERSION)));
          },
          this)) {
    // A client coming or going is the network's doing, heard as a script's;
    // the server started or stopped is whoever did that: the operator from
    // the dialog or the command line.
    connect(m_server, &ScpiServer::clientsChanged, this, [this] {
        const EventSource was = m_form->setNoteSource(EventSource::Script);
        clientsChanged();
        m_form->setNoteSource(was);
    });
    connect(m_server, &ScpiServer::runningChanged, this, &RemoteControl::clientsChanged);
    connect(m_server, &ScpiServer::runningChanged, this, &RemoteControl::showOpenBar);
    LinkClient* link = m_form->linkClient();
    connect(link, &LinkClient::planStepStarted, this,
            [this](int, int step, qint64) { m_planStep = step + 1; });
    connect(link, &LinkClient::planEnded, this, [this](PlanEnd end, const QString& why) {
        m_planStep = 1;
        m_planEndedEarly = end != PlanEnd::Completed && end != PlanEnd::Stopped;
        m_planEndWhy = why;
    });
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
    if (!m_dialog) {
        m_dialog = new RemoteDialog(m_server, m_form);
        if (m_choice) m_dialog->setChoice(m_choice->port, m_choice->allowOthers, m_choice->allow);
    }
    m_dialog->show();
    m_dialog->raise();
    m_dialog->activateWindow();
}

void RemoteControl::setDialogChoice(quint16 port, bool allowOthers, const AllowList& allow) {
    m_choice = DialogChoice{port, allowOthers, allow};
    if (m_dialog) m_dialog->setChoice(port, allowOthers, allow);
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

// Listening beyond loopback is said in the window while it lasts, not only
// in a tooltip: a bar under the panel, the window growing by its height so
// the panel keeps its size.
void RemoteControl::showOpenBar() {
    const bool open = m_server->running() && !m_server->loopbackOnly();
    if (!m_openBar) {
        if (!open) return;
        m_openBar = new QToolBar(m_form);
        m_openBar->setObjectName(QStringLiteral("RemoteOpenBar"));
        m_openBar->setMovable(false);
        m_openBar->setFloatable(false);
        m_openBar->toggleViewAction()->setVisible(false);
        auto* text = new QLabel(m_openBar);
        text->setObjectName(QStringLiteral("RemoteOpenText"));
        text->setWordWrap(true);
        text->setAutoFillBackground(true);
        text->setMargin(4);
        // White on dark amber, as the guard's banner: readable in either palette.
        QPalette p = text->palette();
        p.setColor(QPalette::Window, QColor(0x9a, 0x5b, 0x00));
        p.setColor(QPalette::WindowText, Qt::white);
        text->setPalette(p);
        m_openBar->addWidget(text);
        m_openBar->hide();
        m_form->addToolBar(Qt::BottomToolBarArea, m_openBar);
    }
    auto* text = m_openBar->findChild<QLabel*>(QStringLiteral("RemoteOpenText"));
    if (open) {
        const AllowList& allow = m_server->allowList();
        text->setText(QStringLiteral("Remote control is open to other computers on %1, %2. "
                                     "Anyone who can reach them may set the outputs.")
                          .arg(m_server->listeningAddresses(),
                               allow.isEmpty()
                                   ? QStringLiteral("from any address")
                                   : QStringLiteral("only from %1").arg(allowListText(allow))));
    }
    // Hidden or not by this code, whether or not the window is shown yet.
    const bool shown = !m_openBar->isHidden();
    if (open == shown) return;
    const int before = shown ? m_openBar->sizeHint().height() : 0;
    m_openBar->setVisible(open);
    const int after = open ? m_openBar->sizeHint().height() : 0;
    m_form->resize(m_form->width(), m_form->height() - before + after);
}

QString RemoteControl::modelName() const {
    const ModelProfile* p = modelProfile(m_form->model());
    return p ? QString::fromLatin1(p->name) : QString();
}

// A run's steps were checked against the model it started on.
RemoteInstrument::ModelChange RemoteControl::setModel(const QString& name, QString* why) {
    const int index = modelNamed(name);
    if (index == 0) return ModelChange::Unknown;
    if (m_form->linkClient()->planRunning()) {
        if (why) *why = QStringLiteral("a run of steps is under way; stop it first");
        return ModelChange::Refused;
    }
    m_form->selectModel(index);
    return ModelChange::Done;
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

std::optional<RemoteInstrument::ListRefusal> RemoteControl::runList(
    const ListRun& run, std::function<void(QString why)> ended) {
    QString why;
    const std::optional<StepPlan> plan = planOf(run, &why);
    if (!plan) return ListRefusal{why, false};
    const int c = m_form->coupling();
    const std::vector<PlanViolation> wrong =
        checkPlan(*plan, m_form->model(), Coupling(c), Envelope{});
    if (!wrong.empty()) {
        const PlanViolation& v = wrong.front();
        return ListRefusal{
            v.step > 0 ? QStringLiteral("step %1: %2").arg(v.step).arg(v.what) : v.what,
            v.coupling};
    }
    m_planStep = 1;
    m_form->linkClient()->runPlan(*plan, Envelope{}, [this, ended](bool completed) {
        if (!completed && m_planEndedEarly && ended) ended(m_planEndWhy);
    });
    return std::nullopt;
}

void RemoteControl::stopList() {
    m_form->linkClient()->stopPlan();
}

std::optional<int> RemoteControl::listStep() const {
    if (!m_form->linkClient()->planRunning()) return std::nullopt;
    return m_planStep;
}

RemoteInstrument::FileOutcome RemoteControl::saveList(const QString& name, const ListRun& run,
                                                      QString* why) {
    const std::optional<StepPlan> plan = planOf(run, why);
    if (!plan) return FileOutcome::Malformed;
    return outcomeOf(writeSequenceFile(sequencesFolder(), name, planToCsv(*plan), why));
}

RemoteInstrument::FileOutcome RemoteControl::loadList(const QString& name, ListRun* run,
                                                      QString* why) {
    QByteArray bytes;
    const SequenceFile read = readSequenceFile(sequencesFolder(), name, &bytes, why);
    if (read != SequenceFile::Done) return outcomeOf(read);
    const StepPlan plan = planFromCsv(bytes, why);
    if (!why->isEmpty()) return FileOutcome::Malformed;
    *run = listsOf(plan);
    run->asLoaded = bytes;
    return FileOutcome::Done;
}

void RemoteControl::whenIdle(std::function<void()> done) {
    m_form->linkClient()->whenIdle(std::move(done));
}

}  // namespace lqs

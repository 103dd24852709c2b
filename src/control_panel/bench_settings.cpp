#include "control_panel/bench_settings.h"

#include "control_panel/main_window.h"
#include "control_panel/remote_control.h"
#include "device_link/model_profile.h"
#include "recorder/readings_window.h"
#include "recorder/setup_dialog.h"
#include "recorder/wave_window.h"
#include "remote/scpi_server.h"
#include "serial/comm.h"
#include "serial/port_dialog.h"

#include <QAction>
#include <QChildEvent>
#include <QEvent>
#include <QSettings>

#include <memory>

namespace lqs {

namespace {

const QString kPort = QStringLiteral("port");
const QString kModel = QStringLiteral("model");
const QString kFast = QStringLiteral("fastReadings");
const QString kLength = QStringLiteral("recorder/lengthMs");
const QString kSlice = QStringLiteral("recorder/sliceMs");
const QString kOperation = QStringLiteral("recorder/pointOperation");
const QString kCh1 = QStringLiteral("recorder/ch1Color");
const QString kCh2 = QStringLiteral("recorder/ch2Color");
const QString kCounters = QStringLiteral("recorder/counters");
const QString kGeometry = QStringLiteral("window/main");
const QString kReadingsGeometry = QStringLiteral("window/readings");
const QString kRemotePort = QStringLiteral("remote/port");
const QString kRemoteOthers = QStringLiteral("remote/allowOthers");
const QString kRemoteAllow = QStringLiteral("remote/allowList");

const char* const kSeries[] = {"LQS6200A1", "LQS6200B1", "LQS6500B1"};

// An INI file holds text: "true" and "false" only, anything else is no answer.
std::optional<bool> readBool(const QSettings& s, const QString& key) {
    const QString text = s.value(key).toString();
    if (text == QLatin1String("true")) return true;
    if (text == QLatin1String("false")) return false;
    return std::nullopt;
}

std::optional<int> readInt(const QSettings& s, const QString& key) {
    bool ok = false;
    const int v = s.value(key).toString().toInt(&ok);
    return ok ? std::optional<int>(v) : std::nullopt;
}

std::optional<SetupChoices> readRecorder(const QSettings& s) {
    const std::optional<int> length = readInt(s, kLength), slice = readInt(s, kSlice);
    const std::optional<bool> counters = readBool(s, kCounters);
    if (!length || !slice || !counters) return std::nullopt;
    SetupChoices c;
    c.RecordLengthMs = *length;
    c.TimeSliceMs = *slice;
    c.PointOperation = s.value(kOperation).toString();
    c.Ch1Color = QColor::fromString(s.value(kCh1).toString());
    c.Ch2Color = QColor::fromString(s.value(kCh2).toString());
    c.RecordCounters = *counters;
    if (!TFrm_Setup::offers(c)) return std::nullopt;
    return c;
}

void writeRecorder(QSettings& s, const SetupChoices& c) {
    s.setValue(kLength, c.RecordLengthMs);
    s.setValue(kSlice, c.TimeSliceMs);
    s.setValue(kOperation, c.PointOperation);
    s.setValue(kCh1, c.Ch1Color.name());
    s.setValue(kCh2, c.Ch2Color.name());
    s.setValue(kCounters, c.RecordCounters);
}

// A window put back where it stood at its first showing, and its place kept
// in the settings as it moves and at the latest when it goes.
class WindowPlace : public QObject {
public:
    WindowPlace(QWidget* window, QSettings& settings, QString key, QByteArray geometry,
                QObject* parent)
        : QObject(parent),
          m_window(window),
          m_settings(settings),
          m_key(std::move(key)),
          m_geometry(std::move(geometry)) {
        window->installEventFilter(this);
    }

    // After the window's own placing at its first showing.
    void shown() {
        if (m_shown) return;
        m_shown = true;
        QMetaObject::invokeMethod(
            this, [this] { place(); }, Qt::QueuedConnection);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_window && event->type() == QEvent::Show) {
            shown();
        } else if (watched == m_window && m_placed &&
                   (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
                    event->type() == QEvent::Hide)) {
            m_settings.setValue(m_key, m_window->saveGeometry());
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // restoreGeometry refuses data it cannot read, and brings a window left
    // where no screen shows it now (a monitor since unplugged) back onto one.
    void place() {
        if (m_window && !m_geometry.isEmpty()) m_window->restoreGeometry(m_geometry);
        m_placed = true;
    }

    QPointer<QWidget> m_window;
    QSettings& m_settings;
    QString m_key;
    QByteArray m_geometry;
    bool m_shown = false;
    bool m_placed = false;
};

// Each change is written at once (sync replaces the file whole, so a kill
// leaves the old one or the new one); the window's place as it moves, and
// on the disk at the latest when the window goes.
class BenchKeeper : public QObject {
public:
    BenchKeeper(TForm1* form, const BenchSettings& bench)
        : QObject(form),
          m_form(form),
          m_settings(benchSettingsPath(), QSettings::IniFormat),
          m_readingsGeometry(bench.readingsGeometry) {
        new WindowPlace(form, m_settings, kGeometry, bench.mainGeometry, this);
        for (int i = 0; i < 3; ++i) {
            if (auto* item = form->findChild<QAction*>(QLatin1String(kSeries[i])))
                connect(item, &QAction::triggered, this, [this, i] { store(kModel, i + 1); });
        }
        if (auto* fast = form->findChild<QAction*>(QStringLiteral("FastReadings1")))
            connect(fast, &QAction::toggled, this, [this](bool on) { store(kFast, on); });
        connect(form->windows().Form3, &TForm3::portOpened, this,
                [this] { store(kPort, m_form->comm1->CommName()); });
        connect(form->remote()->server(), &ScpiServer::runningChanged, this, [this](bool on) {
            const ScpiServer* server = m_form->remote()->server();
            if (!on || server->port() == 0) return;
            m_settings.setValue(kRemotePort, server->port());
            // A list matters only with others let in; a loopback start keeps
            // the one remembered for the next time they are.
            if (!server->loopbackOnly())
                m_settings.setValue(kRemoteAllow, allowListText(server->allowList()));
            store(kRemoteOthers, !server->loopbackOnly());
        });
        connect(form, &TForm1::recorderMade, this, [this, bench](TForm_Wave* wave) {
            if (bench.recorder) wave->applySetup(*bench.recorder);
            // The readings window is made on first use, as the recorder's child.
            wave->installEventFilter(this);
            connect(wave, &TForm_Wave::setupApplied, this, [this](const SetupChoices& c) {
                writeRecorder(m_settings, c);
                m_settings.sync();
            });
        });
    }

protected:
    // A child is announced before its own constructor has run: what it is
    // shows at its first showing, which comes before any queued call.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ChildAdded) {
            QObject* child = static_cast<QChildEvent*>(event)->child();
            if (child->isWidgetType()) child->installEventFilter(this);
        } else if (event->type() == QEvent::Show && !qobject_cast<TForm_Wave*>(watched)) {
            watched->removeEventFilter(this);
            if (auto* readings = qobject_cast<ReadingsWindow*>(watched); readings && !m_readings) {
                m_readings = readings;
                (new WindowPlace(readings, m_settings, kReadingsGeometry, m_readingsGeometry, this))
                    ->shown();
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void store(const QString& key, const QVariant& value) {
        m_settings.setValue(key, value);
        m_settings.sync();
    }

    TForm1* m_form;
    QSettings m_settings;
    QByteArray m_readingsGeometry;
    QPointer<ReadingsWindow> m_readings;
};

}  // namespace

BenchSettings loadBenchSettings(QSettings& s) {
    BenchSettings b;
    const QString port = s.value(kPort).toString();
    if (port.size() < 4096) b.port = port;
    if (const std::optional<int> model = readInt(s, kModel); model && modelProfile(*model))
        b.model = *model;
    b.fastReadings = readBool(s, kFast);
    b.recorder = readRecorder(s);
    b.mainGeometry = s.value(kGeometry).toByteArray();
    b.readingsGeometry = s.value(kReadingsGeometry).toByteArray();
    const std::optional<int> remote = readInt(s, kRemotePort);
    const std::optional<bool> others = readBool(s, kRemoteOthers);
    if (remote && *remote > 0 && *remote <= 65535 && others) {
        b.remotePort = static_cast<quint16>(*remote);
        b.remoteAllowOthers = *others;
    }
    // All of it or none (a bad item leaves it empty): a list cut short would
    // let in fewer than meant.
    parseAllowList(s.value(kRemoteAllow).toString(), &b.remoteAllow, nullptr);
    return b;
}

void saveBenchSettings(QSettings& s, const BenchSettings& b) {
    if (!b.port.isEmpty()) s.setValue(kPort, b.port);
    if (b.model != 0) s.setValue(kModel, b.model);
    if (b.fastReadings) s.setValue(kFast, *b.fastReadings);
    if (b.recorder) writeRecorder(s, *b.recorder);
    if (!b.mainGeometry.isEmpty()) s.setValue(kGeometry, b.mainGeometry);
    if (!b.readingsGeometry.isEmpty()) s.setValue(kReadingsGeometry, b.readingsGeometry);
    if (b.remotePort != 0) {
        s.setValue(kRemotePort, b.remotePort);
        s.setValue(kRemoteOthers, b.remoteAllowOthers);
    }
    if (!b.remoteAllow.isEmpty()) s.setValue(kRemoteAllow, allowListText(b.remoteAllow));
    s.sync();
}

// The one place the file is named: the keeper, the start-up read and the
// tests all go through here.
QString benchSettingsPath() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("lqs-control"),
                     QStringLiteral("bench"))
        .fileName();
}

void keepBenchSettings(TForm1* form) {
    QSettings file(benchSettingsPath(), QSettings::IniFormat);
    const BenchSettings bench = loadBenchSettings(file);
    if (!bench.port.isEmpty()) form->windows().Form3->setPreferredPort(bench.port);
    if (bench.model != 0) form->setStartModel(bench.model);
    if (bench.fastReadings) form->setFastReadings(*bench.fastReadings);
    if (bench.remotePort != 0)
        form->remote()->setDialogChoice(bench.remotePort, bench.remoteAllowOthers,
                                        bench.remoteAllow);
    new BenchKeeper(form, bench);
}

}  // namespace lqs

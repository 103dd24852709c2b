#include "control_panel/app_windows.h"

#include "control_panel/frame_area.h"
#include "device_link/guard.h"
#include "device_link/link_client.h"
#include "recorder/wave_window.h"

#include <QChildEvent>
#include <QPointer>
#include <QTimer>

namespace lqs {

namespace {

// The guard's trips, the charge counters and a sequence's steps, in the
// terms the recorder takes.
void wireRecorder(TForm_Wave* wave, LinkClient* client) {
    for (int channel : {1, 2}) {
        const ChannelCounters c = client->counters(channel);
        wave->setCounters(channel, c.ampHours, c.wattHours);
    }
    QObject::connect(client, &LinkClient::countersChanged, wave,
                     [wave](int channel, const ChannelCounters& c) {
                         wave->setCounters(channel, c.ampHours, c.wattHours);
                     });
    QObject::connect(client, &LinkClient::guardTripped, wave, [wave](const GuardTrip& t) {
        wave->recordTrip(t.channel, guardLimitName(t.limit), t.reading, t.level,
                         guardLimitUnit(t.limit));
    });
    QObject::connect(client, &LinkClient::planStepStarted, wave,
                     [wave](int pass, int step, qint64) { wave->recordStep(step + 1, pass + 1); });
    // A refused sequence never ran; the one running, if any, goes on.
    QObject::connect(client, &LinkClient::planEnded, wave, [wave](PlanEnd end, const QString& why) {
        if (end != PlanEnd::Refused) wave->recordPlanEnd(why);
    });
}

// The recorder window is made on first use, in the frame area: wired when it
// arrives there. A child is announced before its own constructor has run, so
// it is looked at once that has returned.
class RecorderWiring : public QObject {
public:
    RecorderWiring(QWidget* frame, LinkClient* client) : QObject(frame), m_client(client) {
        frame->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ChildAdded) {
            QObject* child = static_cast<QChildEvent*>(event)->child();
            QMetaObject::invokeMethod(
                child,
                [child, client = m_client] {
                    auto* wave = qobject_cast<TForm_Wave*>(child);
                    if (wave && client) wireRecorder(wave, client);
                },
                Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QPointer<LinkClient> m_client;
};

}  // namespace

TForm1* createWindows(const PortListSources& ports, const LinkOptions& link) {
    auto* form1 = new TForm1(ports, nullptr, link);
    if (auto* frame = form1->findChild<FrameArea*>(); frame && form1->linkClient())
        new RecorderWiring(frame, form1->linkClient());
    // Once the main window is up: a recording a killed program left behind.
    QTimer::singleShot(0, form1, [form1] { offerLeftRecording(form1); });
    return form1;
}

}  // namespace lqs

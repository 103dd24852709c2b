// TForm1: the program's frame. Toolbar, the control panel Panel1, the status
// bar and the menus; it owns the serial port comm1 and holds the recorder
// window as its only child, covered whenever Panel1 is visible.
#pragma once

#include "control_panel/event_log.h"
#include "control_panel/readings_model.h"
#include "device_link/guard.h"
#include "device_link/link_types.h"
#include "device_link/model_profile.h"
#include "recorder/recorder_host.h"
#include "serial/port_list.h"

#include <QDateTime>
#include <QMainWindow>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

class QAction;
class QLabel;
class QLineEdit;
class QRadioButton;
class QMessageBox;
class QThread;
class QTimer;

namespace lqs {

class CommLinkPort;
class DeviceLink;
class LinkClient;
class LinkPort;
class PortReturnWatch;
struct LinkSetup;
class RemoteControl;
class SetPointEntry;
class TComm;
class TForm2;
class TForm3;
class TForm_ReadTime;
class TForm_Wave;
class TFormProtection;
class SequenceEditor;
class TFrm_Setup;
class TMessages;
class TQuerying;
class Tsave;
class Trecall;

namespace Ui {
class TForm1;
}

// How the main window makes its link. The program gives it a thread of its
// own on the steady clock; a test may keep it in the window's thread, on a
// clock it drives, and on a line of its own instead of comm1's.
struct LinkOptions {
    std::shared_ptr<const LinkSetup> setup;  // null: the instrument's own pauses
    bool ownThread = true;
    LinkPort* port = nullptr;  // null: comm1
};

class TForm1 : public QMainWindow, public RecorderHost {
    Q_OBJECT
public:
    // The dialogs are made here too, in their start-up order; ports says
    // where the port dialog, and the watch for a lost port, look for ports.
    explicit TForm1(const PortListSources& ports = {}, QWidget* parent = nullptr,
                    const LinkOptions& link = LinkOptions());
    ~TForm1() override;

    // The windows created after this one, in their start-up order.
    struct Windows {
        TQuerying* Querying = nullptr;
        Tsave* save = nullptr;
        Trecall* recall = nullptr;
        TForm2* Form2 = nullptr;
        TMessages* Messages = nullptr;
        TForm3* Form3 = nullptr;
        TFrm_Setup* Frm_Setup = nullptr;
        TForm_ReadTime* Form_ReadTime = nullptr;
    };
    const Windows& windows() const { return m_windows; }

    TComm* comm1;
    // Lives in its own thread: speak to it through linkClient() only.
    DeviceLink* link;
    LinkClient* linkClient() const { return m_client; }
    int model() const { return m_model; }
    // As the operator's Series click: it stands over the identity's model.
    void selectModel(int index);
    // The model the first showing starts with (1 unless set); once shown, chosen now.
    void setStartModel(int index);

    QString statusText(int panel) const;

    // "Disabling the main window" (setFrameEnabled) disables its contents,
    // not the window itself, so that the dialogs it owns stay usable.
    bool frameEnabled() const { return m_frameEnabled; }
    void setFrameEnabled(bool enabled);
    bool panelEnabled() const;
    bool linkedPicture() const { return m_linkedPicture; }

    // Seams: the sounds and questions that tests answer themselves. Without
    // ConfirmReset the link button asks "Do you Reset?" in a box.
    std::function<void(int hz, int ms)> Beep;
    std::function<bool()> ConfirmReset;

    // The system or the session ends the program: no box may hold it, so an
    // unsaved recording is saved quietly (kept in its journal should that
    // fail) and the program ends with status 0.
    void endOnRequest();
    // An unsaved recording saved under the usual name without a box.
    void saveRecordingQuietly();

    QString fieldText(int edit) const;
    void setFieldText(int edit, const QString& text);
    void selectCoupling(int button);
    // The output button's click; a remote client's OUTP takes it too.
    void BitBtn4Click();

    // RecorderHost
    QStringList readingTexts() const override;
    QString outputCaption() const override;
    void showControlPanel() override;
    // The recorder's close ends the program this way.
    void closeMainWindow() override;
    void setStatusText(int panel, const QString& text) override;

    // The recorder window, made on first use.
    TForm_Wave* ensureWaveWindow();

    // What a remote client does, by the window's own paths, so the window
    // shows it and the wire carries what the same click or key would send.
    RemoteControl* remote() const { return m_remote; }
    bool linkWithoutQuestion(QString* why);
    // What a script asks, by the window's own paths; done hears whether it
    // reached the instrument.
    using Done = std::function<void(bool tookEffect)>;
    void enterSetPoint(int edit, const QString& text,
                       Done done = {});  // typed into Edit5 .. Edit8, then Enter
    // The output set as the button sets it, with the recorder stopped first when it goes off.
    void setOutput(bool on, Done done = {});
    // A coupling chosen as its button's click chooses it.
    void setCoupling(int button, Done done = {});
    // Ticks or clears Function > Fast Readings, as the menu does.
    void setFastReadings(bool on);
    void saveMemorySlot(const QString& slot, Done done = {});
    void recallMemorySlot(const QString& slot, Done done = {});
    int coupling() const;  // 1 INDEP, 2 PARALL, 3 TRACK
    bool readingsCurrent() const { return !m_readings.stale(); }
    // A reading is current while it is younger than its limit and the link stands.
    bool readingCurrent(int index) const;
    // Said after the link panel's text while the remote server runs.
    void setRemoteNote(const QString& note);

    // Every note the window gives, with who caused it: the operator unless
    // a script's command or the instrument is being heard.
    EventLog* events() const { return m_events; }
    EventSource noteSource() const { return m_noteSource; }
    EventSource setNoteSource(EventSource who) { return std::exchange(m_noteSource, who); }
    void logEvent(const QString& what) { logEvent(what, m_noteSource); }
    void logEvent(const QString& what, EventSource who);

Q_SIGNALS:
    void closed();
    // For the recorder: the output is going off, the link is lost or the
    // program closes.
    void outputStopping();
    void fastReadingsChanged(bool on);
    // The recorder window was made, wired to this one.
    void recorderMade(TForm_Wave* wave);
    // Every measured value as it comes, index 0 to 3 as in readingTexts().
    void readingArrived(int index, const QString& text);
    // The same reading with its value and when its reply ended: on the
    // link's monotonic clock (ms) and the wall-clock time that maps to.
    void readingTimed(int index, const QString& text, double value, qint64 monoMs,
                      const QDateTime& wall);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void makeDialogs(const PortListSources& ports);
    void connectDialogs();
    void setUpToolBar();
    void setUpPanel();
    void buildStatusBar();
    void connectActions();

    // Start-up and model profile.
    void InitialiseModel();
    void ShowModelProfile();
    void ResetModelCaptions();
    void ResetSetPointFields();

    // Handlers.
    void FormCreate();
    void FormShow();
    void FormClose();
    void Exit1Click();
    void LQS6200A1Click();
    void LQS6200B1Click();
    void LQS6500B1Click();
    void SaveMemory1Click();
    void RecallMemory1Click();
    void ReadTime1Click();
    void OutPut1Click();
    void Control1Click();
    void Wave1Click();
    void Readings1Click();
    void Events1Click();
    void oolbar1Click();
    void StatusBar2Click();
    void About1Click();
    void ToolButton1Click();
    void ToolButton3Click();
    void btn5Click();
    void BitBtn5Click();
    void BitBtn6Click();
    void RadioButton1Click();
    void RadioButton2Click();
    void RadioButton3Click();
    void EnableSetPointControls(int upDown1, int edit5, int upDown2, int edit6, int upDown3,
                                int edit7, int upDown4, int edit8);
    void showLinkText(const QString& text);  // without a new event
    void setLinkText(const QString& text);
    void setLinkedPicture(bool linked);
    QString linkedText() const;
    void showOutput(const OutputView& output);
    void showReading(const Reading& reading);
    void clearReadings();
    // fromInstrument: the instrument reported it, and channel 2's fields
    // hold its replies; otherwise a script's selection, shown as a click's.
    void showCoupling(Coupling coupling, bool fromInstrument = true);
    void showFastStats(const FastStats& stats, const QString& note, bool givenUp);
    void lineLost();
    // The instrument stopped answering on a port that stays: after the
    // time-out box the program stands down, and the next link opens the port anew.
    void noAnswer();
    bool reopenSilentPort(QString* why);

    // The guard: its dialog, the banner of a trip or of the guard being down,
    // and the counters.
    void Protection1Click();
    void Sequence1Click();
    void connectGuard();
    void showTrip(const GuardTrip& trip);
    void showTripConfirmed(TripConfirmation confirmation);
    void showTripCleared();
    void showGuardDown(LinkMode mode);
    void showGuardBanner();
    void showCounters(int channel, const ChannelCounters& counters);
    void applyFastChoice();
    bool fastByGuard() const;
    QString guardNote() const;  // what the link panel adds for the guard

    void chooseModel(int index);
    void adoptIdentityModel();
    void markField(QLineEdit* field, const QString& why);
    void showChannel2For(std::uint8_t code);
    bool outputOffBeforeClose();
    void greyReading(QLineEdit* e, const QString& tip);
    void judgeReading(int edit, const QString& text);
    void showReadingAged(int channel, Quantity q, const QDateTime& readAt, int ageSeconds);
    void showChannelMode(int channel);
    void noteInLinkPanel(const QString& note);
    void setSendingEnabled(bool enabled);
    void standDown(const QString& linkText);
    void couplingSelected(QRadioButton* button, std::uint8_t code, const int (&enable)[8]);
    QLineEdit* edit(int number) const;
    void showBlocking(QWidget* dialog);
    void stopRecorderIfOutputOn();
    void connectLink();
    void showSendFailed();
    void showConversionError(const QString& message);
    void showReadingsStale(const QDateTime& since, StaleReason why);
    void showReadingsFresh();
    void showSetPointNotHeld(int edit, const QString& holds, const QString& sent);
    void startLink();
    void watchLostPort();
    void offerPortBack(const QString& port);
    void stopWatchingLostPort();

    std::unique_ptr<CommLinkPort> m_commPort;
    QThread* m_linkThread = nullptr;
    LinkClient* m_client = nullptr;
    int m_model = 0;
    ModelByIdentity m_modelByIdentity;
    QString m_identityModelNote;  // said in the link panel until another choice
    int m_startModel = 1;
    bool m_reportedCoupling = false;  // a coupling button selected to show what the link did
    bool m_couplingFromInstrument = false;
    OutputView m_outputShown;
    std::unique_ptr<Ui::TForm1> ui;
    Windows m_windows;
    TForm_Wave* m_wave = nullptr;  // the recorder window; null until first used
    QTimer* tmr1;                  // the arrows' hold timer
    QLabel* m_panels[3] = {};
    QLabel* m_linkPanel = nullptr;  // our own, after the three
    EventLog* m_events = new EventLog(this);
    EventSource m_noteSource = EventSource::Operator;
    QPointer<EventsWindow> m_eventsWindow;
    QString m_linkText;  // what it says, before the remote note
    QString m_remoteNote;
    SetPointEntry* m_entry = nullptr;
    RemoteControl* m_remote = nullptr;
    // The port whose device went away, watched until it is back.
    QString m_lostPort;
    PortReturnWatch* m_portWatch = nullptr;
    QString m_silentPort;  // the port of an instrument that stopped answering
    // The USB adapter of the linked port, read at the link: once it is
    // unplugged the system no longer says what it was.
    QString m_linkedAdapter;
    PortListSources m_portSources;
    QPointer<QMessageBox> m_backQuestion;
    QAction* m_seriesItems[3] = {};
    bool m_frameEnabled = true;
    bool m_shownOnce = false;
    bool m_linkedPicture = false;
    // Channel 2's own set points while coupling runs it from channel 1's.
    std::optional<std::pair<QString, QString>> m_channel2Own;
    bool m_outputAsked = false;  // the close asked once whether to switch the output off
    QPointer<QMessageBox> m_outputQuestion;  // that question, while it waits
    QPointer<QMessageBox> m_resetQuestion;   // "Do you Reset?", while it waits
    bool m_closing = false;                  // the close is asking about the recording
    QLabel* m_modeLabels[2] = {};            // CC or CV, per channel
    ReadingsModel m_readings;
    QPointer<QWidget> m_linkBox;                // the one box the link raised that is still open
    TFormProtection* m_protection = nullptr;    // made on first use
    SequenceEditor* m_sequence = nullptr;       // made on first use
    QString m_tripText;                         // the trip that holds the output off, until cleared
    QString m_guardDownText;                    // why nothing guards now, while limits are armed
    bool m_fastEffective = false;               // ticked, or kept fast by the guard
    LinkMode m_guardMode = LinkMode::Unlinked;  // the link's mode as the guard last saw it
};

}  // namespace lqs

#include "device_link.h"

#include "comm.h"
#include "convert.h"
#include "guarded.h"
#include "link_view.h"
#include "messages_box.h"
#include "querying_dialog.h"
#include "set_point_math.h"
#include "set_point_ops.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>

#include <algorithm>

namespace lqs {

namespace {

const char* const kFullQuery[] = {"*IDN?",  "VSET1?", "VSET2?", "ISET1?", "ISET2?",
                                  "VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "STATUS?"};

bool isNumber(const QString& text) {
    try {
        StrToFloat(text);
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

bool isWholeNumber(const QString& text, int* value) {
    try {
        *value = StrToInt(text);
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

QString remainingText(int position) {
    static const int seconds[] = {60, 54, 48, 42, 30, 18, 8, 4, 3, 2, 1};
    const int i = std::clamp(position / 10, 0, 10);
    return QStringLiteral("Remaining %1 seconds!").arg(seconds[i]);
}

}  // namespace

LinkTimings LinkTimings::scaled(int divisor) const {
    LinkTimings t = *this;
    for (int* v : {&t.replyGraceMs, &t.recallStopWaitMs, &t.pollStartMs, &t.pollEndMs, &t.holdCheckMs, &t.couplingWaitMs,
                   &t.outputOffWaitMs, &t.saveWaitMs, &t.statusRetryWaitMs, &t.countdownStepMs}) {
        *v = std::max(1, *v / divisor);
    }
    t.fullQueryPasses = std::max(1, t.fullQueryPasses / divisor);
    t.pollPasses = std::max(1, t.pollPasses / divisor);
    t.recallPasses = std::max(1, t.recallPasses / divisor);
    return t;
}

DeviceLink::DeviceLink(TComm* comm, LinkView* view, QObject* parent)
    : QObject(parent), m_comm(comm), m_view(view) {
    ShowSendFailed = [this] {
        QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(), QStringLiteral("发送失败 !"),
                        QMessageBox::Yes, m_view->viewWidget());
        box.setObjectName(QStringLiteral("sendFailed"));
        box.exec();
    };
    // Raised in the user-interface thread when the receive or send thread
    // finds the device gone.
    if (m_comm) m_comm->OnRequestHangup = [this](TComm*) { lineLost(); };
}

void DeviceLink::attachDialogs(TQuerying* querying, TMessages* messages) {
    m_querying = querying;
    m_messages = messages;
    if (m_querying) {
        connect(m_querying, &TQuerying::dialogClosed, this, &DeviceLink::queryingClosed);
    }
    if (m_messages) connect(m_messages, &TMessages::dialogClosed, this, [this] { m_view->closeMainWindow(); });
}

void DeviceLink::ClearMeasuredFields() {
    for (int edit = 1; edit <= 4; ++edit) m_view->setFieldText(edit, QString());
}

// ---- The dispatcher ----

void DeviceLink::OperationDispatcher() {
    LinkState& s = linkState();
    const std::uint8_t code = s.PendingOperation;
    switch (code) {
        case Op::StartupQuery: FullQuery(); break;
        case Op::Polling: StartPollThread(); break;
        case Op::CouplingIndep:
        case Op::CouplingParall:
        case Op::CouplingTrack: {
            const QString command = code == Op::CouplingIndep    ? QStringLiteral("TRACK0")
                                    : code == Op::CouplingParall ? QStringLiteral("TRACK2")
                                                                 : QStringLiteral("TRACK1");
            if (s.OutputOn == 1) {
                stopPolling();
                m_waits.ResponsiveWait(m_timings.couplingWaitMs);
                SendDeferredSetPoint();
            }
            SendCommand(command);
            s.CouplingCommand = command;
            break;
        }
        case Op::StepVset1:
        case Op::StepVset2:
        case Op::StepIset1:
        case Op::StepIset2:
            if (s.OutputOn == 1) {
                const int edit = setPointOfCode(code).edit;
                deferSetPoint(edit, m_view->fieldText(edit));
            } else {
                sendSetPointOf(code);
                s.PendingOperation = Op::None;
            }
            break;
        case Op::SaveMemory: {
            m_view->closeSaveDialog();
            const QString slot = m_view->saveSlotText();
            if (s.OutputOn == 0) {
                SendCommand(QStringLiteral("SAV") + slot);
                s.PendingOperation = Op::None;
            } else {
                stopPolling();
                m_waits.ResponsiveWait(m_timings.saveWaitMs);
                SendDeferredSetPoint();  // so that the slot keeps what the operator confirmed
                SendCommand(QStringLiteral("SAV") + slot);
                SendCommand(s.CouplingCommand);
                SendCommand(QStringLiteral("OUT0"));
                s.PendingOperation = Op::None;
                s.OutputOn = 0;
                m_view->setOutputCaption(QStringLiteral("OFF"));
                ClearMeasuredFields();
            }
            break;
        }
        case Op::OutputOn: SendCommand(QStringLiteral("OUT1")); break;
        case Op::OutputOff:
            SendDeferredSetPoint();  // confirmed while on: they still go out
            SendCommand(QStringLiteral("OUT0"));
            break;
        case Op::EnterVset1:
        case Op::EnterVset2:
        case Op::EnterIset1:
        case Op::EnterIset2: {
            const int edit = setPointOfCode(code).edit;
            const QString text = m_view->fieldText(edit);
            if (text == s.lastSent(edit)) {
                dropWaitingSetPoints(edit);  // the instrument holds it already
                break;
            }
            if (s.OutputOn == 1) {
                deferSetPoint(edit, text);
            } else {
                sendSetPointOf(code);
            }
            break;
        }
        case Op::BeepOn: SendCommand(QStringLiteral("BEEP1:")); break;
        case Op::BeepOff: SendCommand(QStringLiteral("BEEP0:")); break;
        default: break;  // 10 (a recall sends its own commands), 255 and unknown codes
    }
}

// An immediate send from the user-interface thread: the field always holds a
// number here, as the set-point controls write one before they call. An
// arrow's send counts as sent too, so that a later Enter of the older text is
// not taken for one the instrument already holds.
void DeviceLink::sendSetPointOf(int code) {
    const SetPointOp op = setPointOfCode(code);
    const QString field = m_view->fieldText(op.edit);
    QString text = field;
    const QString number = FormatSetPoint(text);
    SendCommand(QString::fromLatin1(op.command) + number);
    linkState().setLastSent(op.edit, field);
}

void DeviceLink::FullQuery() {
    for (const char* query : kFullQuery) {
        SendCommand(QString::fromLatin1(query));
        m_waits.PacedWait(m_timings.fullQueryPasses, m_timings.passMs);
    }
}

void DeviceLink::ResetLink() {
    LinkState& s = linkState();
    s.ReplyCounter = 0;
    s.PendingOperation = Op::StartupQuery;
    s.ParserMode = Parse::Startup;
    s.OutputOn = 0;
    s.CouplingCommand = QStringLiteral("TRACK0");
    dropWaitingSetPoints();  // the link reads the instrument's own set points again
}

void DeviceLink::OutputOnAction() {
    LinkState& s = linkState();
    s.PendingOperation = Op::OutputOn;
    OperationDispatcher();
    s.ParserMode = Parse::Polling;
    m_view->setOutputCaption(QStringLiteral("ON"));
    s.OutputOn = 1;
    s.PollingEnabled = 1;
    s.ReplyCounter = 0;
}

void DeviceLink::OutputOffAction() {
    LinkState& s = linkState();
    stopPolling();
    m_waits.ResponsiveWait(m_timings.outputOffWaitMs);
    s.PendingOperation = Op::OutputOff;
    OperationDispatcher();
    s.ParserMode = Parse::Ignore;
    m_view->setOutputCaption(QStringLiteral("OFF"));
    s.OutputOn = 0;
    s.PendingOperation = Op::None;
    s.ReplyCounter = 255;
    ClearMeasuredFields();
}

// ---- Receiving and parsing ----

void DeviceLink::comm1ReceiveData(const void* buffer, std::uint16_t length) {
    // A conversion error ends the handling of the block in the error box; the
    // steps after it, the clearing of AwaitingReply among them, do not run.
    runGuarded(m_view->viewWidget(), [&] {
        LinkState& s = linkState();
        const auto* bytes = static_cast<const char*>(buffer);
        const std::size_t stored = std::min<std::size_t>(length, s.ReceiveBuffer.size());
        std::copy(bytes, bytes + stored, s.ReceiveBuffer.begin());
        s.ReceiveLength = length;
        if (length > 0 && bytes[length - 1] == '\r') s.ReplyCounter = std::uint8_t(s.ReplyCounter + 1);
        ReplyParser();
        s.AwaitingReply = 0;
    });
}

// The block without its two terminator bytes, read only from what was stored.
void DeviceLink::ExtractReplyText() {
    LinkState& s = linkState();
    const int stored = std::min<int>(s.ReceiveLength, int(s.ReceiveBuffer.size()));
    const int n = std::min(stored, int(s.ReceiveLength) - 2);
    s.ReplyText = n > 0 ? QString::fromLatin1(s.ReceiveBuffer.data(), n) : QString();
}

// Bytes of the status reply by position; a byte past the end of the block reads as nothing.
QString DeviceLink::statusChars(int first, int count) const {
    const LinkState& s = linkState();
    const int stored = std::min<int>(s.ReceiveLength, int(s.ReceiveBuffer.size()));
    QString out;
    for (int i = first; i < first + count; ++i) {
        if (i < stored) out += QLatin1Char(s.ReceiveBuffer[std::size_t(i)]);
    }
    return out;
}

void DeviceLink::ReplyParser() {
    ExtractReplyText();
    LinkState& s = linkState();
    const QString& reply = s.ReplyText;
    const QString coupling = statusChars(4, 1) + statusChars(6, 1);
    const QString output = statusChars(12, 1);

    switch (s.ParserMode.load()) {
        case Parse::Startup: {
            const std::uint8_t count = s.ReplyCounter;
            const int fields[] = {0, 0, 5, 7, 6, 8};
            if (count == 1) {
                m_identity = reply;  // shown beside the port once linked, never read
            } else if (count >= 2 && count <= 5) {
                if (isNumber(reply)) {
                    showReply(fields[count], reply);
                } else {
                    QueryProgress();
                }
            } else if (count >= 6 && count <= 9) {
                QueryProgress();
            } else if (count == 10) {
                QueryProgress();
                CloseQuerying();
                m_view->setLinkText(m_identity.isEmpty()
                                        ? QStringLiteral("Linked: %1").arg(portName())
                                        : QStringLiteral("Linked: %1 \u2014 %2").arg(portName(), m_identity));
                s.AwaitingReply = 0;
                ApplyCouplingStatus(coupling);
                ApplyOutputStatusAtStartup(output);
            }
            break;
        }
        case Parse::Polling: {
            const Answered answered = answeredQuery();
            const QString& query = answered.query;
            static const struct {
                const char* query;
                int edit;
            } map[] = {{"VOUT1?", 1}, {"IOUT1?", 2}, {"VOUT2?", 3}, {"IOUT2?", 4},
                       {"VSET1?", 5}, {"ISET1?", 6}, {"VSET2?", 7}, {"ISET2?", 8}};
            for (const auto& row : map) {
                if (query == QLatin1String(row.query) && !answered.held && s.PendingOperation != Op::None &&
                    isNumber(reply)) {
                    showReply(row.edit, reply);
                }
            }
            // The first block answering the status starts the next cycle, cut
            // short or not; the query is then answered, so the rest of a
            // reply split by a pause on the line starts nothing.
            if (query == QLatin1String("STATUS?")) {
                s.ReplyCounter = 0;
                s.setLastQuery(QString());
                StartPollThread();
            }
            break;
        }
        case Parse::Recall: {
            const std::uint8_t count = s.ReplyCounter;
            const int fields[] = {0, 5, 7, 6, 8, 1, 2, 3, 4};
            if (count >= 1 && count <= 8) {
                if (isNumber(reply)) showReply(fields[count], reply);
                QueryProgress();
            } else if (count == 9) {
                ApplyCouplingStatus(coupling);
                QueryProgress();
                ApplyOutputStatus(output);
            } else {
                s.ParserMode = Parse::Ignore;
            }
            break;
        }
        default: break;
    }
}

// A set point the instrument reports is what it holds: Enter sends a field
// whenever its text differs from that, so an entry equal to an older Enter
// still goes out after a recall or another link changed the instrument.
void DeviceLink::showReply(int edit, const QString& text) {
    m_view->setFieldText(edit, text);
    if (edit >= 5) linkState().setLastSent(edit, text);
}

void DeviceLink::ApplyCouplingStatus(const QString& digits) {
    LinkState& s = linkState();
    m_view->setStatusText(1, QString());
    int value = 0;
    if (!isWholeNumber(digits, &value)) {
        m_view->setStatusText(1, QStringLiteral("TRACK 出错重发!"));
        s.ReplyCounter = 8;
        SendCommand(QStringLiteral("STATUS?"));
        m_waits.ResponsiveWait(m_timings.statusRetryWaitMs);
        return;
    }
    if (value == 1) m_view->selectCoupling(1);
    if (value == 10) m_view->selectCoupling(2);
    if (value == 11) m_view->selectCoupling(3);
}

void DeviceLink::ApplyOutputStatus(const QString& digit) {
    LinkState& s = linkState();
    m_view->setStatusText(2, QString());
    const bool isDigit = digit.size() == 1 && digit.at(0).isDigit();
    if (!isDigit) m_view->setStatusText(2, QStringLiteral("输出 出错"));
    const int value = StrToInt(digit);  // a character that is not a digit ends the block here
    if (value == s.OutputOn) return;
    if (value == 0) {
        OutputOffAction();
    } else if (value == 1) {
        OutputOnAction();
        s.PendingOperation = Op::Polling;
        OperationDispatcher();
    }
}

void DeviceLink::ApplyOutputStatusAtStartup(const QString& digit) {
    LinkState& s = linkState();
    const int value = StrToInt(digit);
    if (value == 1) {
        OutputOnAction();
        s.PendingOperation = Op::Polling;
        OperationDispatcher();
    } else if (value == 0) {
        OutputOffAction();
    }
}

// ---- The querying dialog ----

void DeviceLink::ShowQuerying() {
    m_view->setFrameEnabled(false);
    if (!m_querying) return;
    m_querying->show();
    m_querying->raise();
    m_querying->Label2->setText(QStringLiteral("Remaining 60 seconds!"));
}

void DeviceLink::QueryProgress() {
    LinkState& s = linkState();
    if (!m_querying) return;
    QProgressBar* bar = m_querying->ProgressBar1;
    if (s.ProgressMode == Progress::PerReply) {
        bar->setValue(std::min(bar->value() + 10, 100));
        m_querying->Label2->setText(remainingText(bar->value()));
    } else if (s.ProgressMode == Progress::Countdown) {
        for (int n = 0; n <= 60; ++n) {
            m_querying->Label2->setText(QStringLiteral("Remaining %1 seconds!").arg(n));
            bar->setValue(std::min(bar->value() + 1, 100));
            m_waits.ResponsiveWait(m_timings.countdownStepMs);
        }
        CloseQuerying();
        ShowTimeoutMessage();
    }
}

// However the dialog closes, nothing more goes out until a control sets a new code.
void DeviceLink::queryingClosed() {
    linkState().PendingOperation = Op::None;
    m_view->setFrameEnabled(true);
}

void DeviceLink::CloseQuerying() {
    // The close handling runs even when the dialog is no longer shown (a
    // Cancel may have hidden it already).
    if (m_querying && m_querying->isVisible()) {
        m_querying->close();
    } else {
        queryingClosed();
    }
    linkState().ProgressMode = Progress::None;
    if (m_querying) m_querying->ProgressBar1->setValue(0);
    m_view->setFrameEnabled(true);
}

void DeviceLink::ShowTimeoutMessage() {
    if (m_messages) {
        m_messages->show();
        m_messages->raise();
    }
    m_view->setFrameEnabled(false);
}

void DeviceLink::RecallMemory(const QString& slot, const std::function<void()>& closeDialog) {
    LinkState& s = linkState();
    stopPolling();
    m_waits.ResponsiveWait(m_timings.recallStopWaitMs);
    dropWaitingSetPoints();  // the slot's values replace them
    if (closeDialog) closeDialog();
    ShowQuerying();
    s.PendingOperation = Op::RecallMemory;
    s.ParserMode = Parse::Recall;
    s.ProgressMode = Progress::PerReply;
    s.ReplyCounter = 0;
    const auto pace = [this] { m_waits.PacedWait(m_timings.recallPasses, m_timings.recallPassMs); };
    pace();
    SendCommand(QStringLiteral("OUT0"));
    SendCommand(QStringLiteral("RCL") + slot);
    for (const char* query : {"VSET1?", "VSET2?", "ISET1?", "ISET2?", "VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?",
                              "STATUS?"}) {
        pace();
        SendCommand(QString::fromLatin1(query));
    }
    pace();
    QueryProgress();
    CloseQuerying();
    ClearMeasuredFields();
}

// Polling stops first, as switching the output off stops it: its queries
// and replies would otherwise be counted as the start-up query's.
void DeviceLink::LinkSequence() {
    if (linkState().PollingEnabled == 1 || pollThreadsRunning() > 0) {
        stopPolling();
        m_waits.ResponsiveWait(m_timings.outputOffWaitMs);
    }
    m_timeoutShown = false;
    m_identity.clear();
    m_view->setLinkText(QString());
    ShowQuerying();
    linkState().ProgressMode = Progress::PerReply;
    ResetLink();
    OperationDispatcher();
}

QString DeviceLink::portName() const { return m_comm ? m_comm->CommName() : QString(); }

// The device went away under an open port: said at once, beside the status
// panels; the next command then runs into the usual time-out.
void DeviceLink::lineLost() {
    m_view->setLinkText(QStringLiteral("Line lost: %1").arg(portName()));
    m_view->setLinkedPicture(false);
}

}  // namespace lqs

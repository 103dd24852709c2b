// One remote client's SCPI interpreter: runs each line's commands in order
// against a RemoteInstrument, answers the line's queries in one reply
// ("21.00;1" for "VOLT?;OUTP?") and keeps the client's selected channel.
// The error queue is the server's, shared by all its clients. The syntax
// and its limits are described in scpi_parser.h.
//
// Besides the usual commands it knows two of its own:
//   SYSTem:LINK    starts the link as the window's link button does (nothing
//                  while linked), and holds
//                  the rest of the line (and the next line) until the link
//                  stands or failed; -200 when it cannot start or failed.
//   SYSTem:LINK?   1 while linked, 0 otherwise.
//
// Runs of steps (LIST:...) are made from the client's own lists: each
// channel's voltage and current list (INST selects which), a dwell list and
// the count and end. Lists of a run have the same length, or one value for
// every step; unequal lengths are a settings conflict (-221). LIST:RUN
// switches the output on with the first step. A list file's name is a plain
// name in the program's sequences folder (-257 otherwise, -256 when missing).
//
// Commands that reach the instrument (setting VOLT, CURR, OUTP, OUTP:PAIR,
// *SAV, *RCL, *RST's switch-off, LIST:RUN and MEAS:VOLT?, :CURR?, :POW?)
// queue -200 and send nothing while not linked; so does OUTP ON while the
// guard's trip is latched. Every MEAS? form, *OPC?, *WAI, OUTP:PROT:CLE and SYST:LINK wait
// for the instrument's callback; the line goes on from there, and finished()
// follows the line's last command.
//
// Each client has its own standard event status register (*ESR?, *ESE) and
// status byte (*STB?: 4 while the shared error queue holds an error, 32 while
// an event enabled by *ESE is set). *CLS clears the shared queue for all.
#pragma once

#include "remote/line_session.h"
#include "remote/remote_instrument.h"
#include "remote/scpi_error_queue.h"
#include "remote/scpi_parser.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace lqs {

class ScpiSession : public LineSession {
public:
    // maker and version make the first and last fields of the *IDN? answer.
    ScpiSession(RemoteInstrument& instrument, std::shared_ptr<ScpiErrorQueue> errors, QString maker,
                QString version);
    ~ScpiSession() override;

    ScpiSession(const ScpiSession&) = delete;
    ScpiSession& operator=(const ScpiSession&) = delete;

    void takeLine(const QByteArray& line) override;
    void lineTooLong() override;

    static constexpr int kErrorQueueSize = ScpiErrorQueue::kSize;

private:
    // One command waiting for the instrument's callback.
    struct Wait {
        bool returned = false;  // the call that took the callback has returned
        bool called = false;
    };

    void runOn();
    // Runs one command; false when it waits for a callback that runs on.
    bool run(const ScpiCall& call);
    void finishLine();
    // The instrument's callback for a wait: handle runs once, only while the
    // session exists, and a late call runs the rest of the line.
    template <typename Handle>
    auto later(const std::shared_ptr<Wait>& wait, Handle handle);

    void setLevel(const ScpiCall& call, bool current);
    void queryLevel(const ScpiCall& call, bool current);
    std::optional<int> measuredChannel(const ScpiCall& call);
    bool measure(const ScpiCall& call, bool current);
    bool measurePower(const ScpiCall& call);
    bool accumulated(const ScpiCall& call, bool energy);
    bool afterIdle(std::function<void()> then);
    void reset();
    void setEventEnable(const ScpiCall& call);
    int statusByte() const;
    void selectChannel(const ScpiCall& call);
    void setOutput(const ScpiCall& call);
    void setPair(const ScpiCall& call);
    void memory(const ScpiCall& call, bool save);
    void protection(const ScpiCall& call);
    bool link();
    void setModel(const ScpiCall& call);
    void listValues(const ScpiCall& call);
    void listSettings(const ScpiCall& call);
    void runList();
    void listFile(const ScpiCall& call);
    QString listProblem() const;

    bool requireLink();
    RemoteInstrument::Done unlessDone(const QString& what);
    void pushError(int code, const QString& detail = QString());
    QString format(double value) const;
    void answer(const QString& text);

    RemoteInstrument& m_instrument;
    QString m_maker;
    QString m_version;
    std::shared_ptr<ScpiErrorQueue> m_errors;
    int m_channel = 1;
    int m_eventStatus = 0;
    int m_eventEnable = 0;
    int m_clears = 0;  // a *OPC given before the last *CLS sets nothing
    RemoteInstrument::ListRun m_list;

    std::vector<ScpiCall> m_calls;  // the line under way
    std::size_t m_next = 0;
    QList<QByteArray> m_answers;

    // Callbacks hold it weakly: once the session is gone they do nothing.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

}  // namespace lqs

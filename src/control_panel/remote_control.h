// The SCPI server's place in the program: it owns the server and its dialog
// and answers for the instrument through the main window, so a script's
// command takes the path of the operator's own click or key.
#pragma once

#include "remote/listen_address.h"
#include "remote/remote_instrument.h"

#include <QObject>
#include <QPointer>

#include <memory>
#include <optional>

class QHostAddress;
class QToolBar;

namespace lqs {

class RemoteDialog;
class ScpiErrorQueue;
class ScpiServer;
class TForm1;

class RemoteControl : public QObject, public RemoteInstrument {
    Q_OBJECT
public:
    explicit RemoteControl(TForm1* form);
    ~RemoteControl() override;

    ScpiServer* server() const { return m_server; }
    // The one error queue of every client's session.
    const std::shared_ptr<ScpiErrorQueue>& errors() const { return m_errors; }
    bool start(const QHostAddress& address, quint16 port, QString* error);
    void showDialog();
    // What the dialog offers to start with; the server itself stays as it is.
    void setDialogChoice(quint16 port, bool allowOthers, const AllowList& allow = {});

    // The "maker" field of *IDN?.
    static QString maker();

    // RemoteInstrument
    QString modelName() const override;
    QString instrumentIdentity() const override;
    ModelChange setModel(const QString& name, QString* why) override;
    bool linked() const override;
    bool startLink(QString* why) override;
    void whenLinkSettled(std::function<void(bool linked)> done) override;
    double voltageLimit() const override;
    double currentLimit() const override;
    int decimals() const override;
    QString setPoint(int channel, bool current) const override;
    void setSetPoint(int channel, bool current, const QString& text, Done done) override;
    bool channel2Follows(bool current) const override;
    void measure(int channel, bool current,
                 std::function<void(std::optional<double>)> done) override;
    std::optional<bool> outputOn() const override;
    void setOutput(bool on, Done done) override;
    int coupling() const override;
    void setCoupling(int coupling, Done done) override;
    void saveMemory(int slot, Done done) override;
    void recallMemory(int slot, Done done) override;
    ProtectionSetting protection(int channel, Protection limit) const override;
    QString setProtection(int channel, Protection limit, const ProtectionSetting& setting) override;
    bool protectionTripped() const override;
    void clearProtection() override;
    Counters counters(int channel) const override;
    void clearCounters(int channel) override;
    std::optional<ListRefusal> runList(const ListRun& run,
                                       std::function<void(QString why)> ended) override;
    void stopList() override;
    std::optional<int> listStep() const override;
    FileOutcome saveList(const QString& name, const ListRun& run, QString* why) override;
    FileOutcome loadList(const QString& name, ListRun* run, QString* why) override;
    void whenIdle(std::function<void()> done) override;

private:
    void clientsChanged();
    void showOpenBar();

    TForm1* m_form;
    std::shared_ptr<ScpiErrorQueue> m_errors;
    ScpiServer* m_server;
    QPointer<RemoteDialog> m_dialog;
    QToolBar* m_openBar = nullptr;
    int m_planStep = 1;  // 1-based, of the run under way
    QString m_planEndWhy;
    bool m_planEndedEarly = false;
    struct DialogChoice {
        quint16 port;
        bool allowOthers;
        AllowList allow;
    };
    std::optional<DialogChoice> m_choice;
};

}  // namespace lqs

#include "remote/scpi_parser.h"
#include "remote/scpi_session.h"

#include <QtTest>

#include <map>

#include <memory>
#include <vector>

using namespace lqs;

namespace {

// Records what reached the instrument; answers as told.
class FakeInstrument : public RemoteInstrument {
public:
    enum class Reading { AtOnce, Later, None };

    bool isLinked = true;
    bool follows = false;
    std::optional<bool> output = false;
    int pair = 1;
    Reading reading = Reading::AtOnce;
    double measured = 1.234;
    double amps = 0.5;
    Counters counted[2] = {{0.25, 3.5}, {0.125, 1.75}};
    QString identity = QStringLiteral("LQS-6200B, V2.1 ");
    bool linkStarts = true;
    bool settleAtOnce = false;
    bool idleAtOnce = true;
    QString sets[2][2] = {{"21.00", "1.50"}, {"12.00", "0.50"}};

    QStringList calls;
    std::vector<std::function<void(std::optional<double>)>> pendingMeasures;
    std::function<void(bool)> pendingSettle;
    std::function<void()> pendingIdle;

    QString model = QStringLiteral("LQS-6200B");
    QString modelName() const override { return model; }
    // Takes a name spelled as the program's models are; refuses while a run is under way.
    ModelChange setModel(const QString& name, QString* why) override {
        static const QStringList names = {"LQS-6200A", "LQS-6200B", "LQS-6500B"};
        if (!names.contains(name.toUpper())) return ModelChange::Unknown;
        if (step) {
            *why = QStringLiteral("a run is under way");
            return ModelChange::Refused;
        }
        calls << QStringLiteral("model %1").arg(model = name.toUpper());
        return ModelChange::Done;
    }
    QString instrumentIdentity() const override { return identity; }
    bool linked() const override { return isLinked; }
    bool startLink(QString* why) override {
        calls << "link";
        if (!linkStarts) *why = "no port is open";
        return linkStarts;
    }
    void whenLinkSettled(std::function<void(bool)> done) override {
        if (settleAtOnce)
            done(isLinked = true);
        else
            pendingSettle = std::move(done);
    }
    double voltageLimit() const override { return 32; }
    double currentLimit() const override { return 3.2; }
    int decimals() const override { return 2; }
    QString setPoint(int channel, bool current) const override {
        return sets[channel - 1][current];
    }
    void setSetPoint(int channel, bool current, const QString& text, Done done) override {
        calls << QStringLiteral("set %1%2 %3").arg(current ? "I" : "V").arg(channel).arg(text);
        sets[channel - 1][current] = text;
        finish(std::move(done));
    }
    bool channel2Follows(bool) const override { return follows; }
    void measure(int channel, bool current,
                 std::function<void(std::optional<double>)> done) override {
        calls << QStringLiteral("measure %1%2").arg(current ? "I" : "V").arg(channel);
        if (reading == Reading::AtOnce) done(current ? amps : measured);
        if (reading == Reading::None) done(std::nullopt);
        if (reading == Reading::Later) pendingMeasures.push_back(std::move(done));
    }
    std::optional<bool> outputOn() const override { return output; }
    void setOutput(bool on, Done done) override {
        calls << QStringLiteral("output %1").arg(on);
        output = on;
        finish(std::move(done));
    }
    int coupling() const override { return pair; }
    void setCoupling(int coupling, Done done) override {
        calls << QStringLiteral("pair %1").arg(coupling);
        pair = coupling;
        finish(std::move(done));
    }
    void saveMemory(int slot, Done done) override {
        calls << QStringLiteral("save %1").arg(slot);
        finish(std::move(done));
    }
    void recallMemory(int slot, Done done) override {
        calls << QStringLiteral("recall %1").arg(slot);
        finish(std::move(done));
    }
    // Commands end at once, having reached the instrument, unless kept for later.
    bool keepDone = false;
    std::vector<Done> pendingDone;
    void finish(Done done) {
        if (keepDone)
            pendingDone.push_back(std::move(done));
        else if (done)
            done(true);
    }
    std::map<std::pair<int, int>, ProtectionSetting> guards;
    bool tripped = false;
    ProtectionSetting protection(int channel, Protection limit) const override {
        const auto it = guards.find({channel, int(limit)});
        return it == guards.end() ? ProtectionSetting{} : it->second;
    }
    QString setProtection(int channel, Protection limit, const ProtectionSetting& s) override {
        if (limit == Protection::OverVoltage && s.level > 32) return QStringLiteral("above 32 V");
        calls << QStringLiteral("guard %1 %2 %3 %4 %5")
                     .arg(channel)
                     .arg(int(limit))
                     .arg(s.on)
                     .arg(s.level)
                     .arg(s.delaySeconds);
        guards[{channel, int(limit)}] = s;
        return {};
    }
    bool protectionTripped() const override { return tripped; }
    void clearProtection() override {
        calls << QStringLiteral("clear trip");
        tripped = false;
    }
    Counters counters(int channel) const override { return counted[channel - 1]; }
    void clearCounters(int channel) override {
        calls << QStringLiteral("clear counters %1").arg(channel);
        counted[channel - 1] = {};
    }
    std::optional<int> step;  // a run under way
    std::optional<ListRefusal> refusal;
    bool endsEarly = false;
    std::map<QString, ListRun> files = {{"ramp", {{{{2, 8}, {}}}, {}, {1, 2}, 1, {}, "a ramp"}}};
    static QString describe(const ListRun& r) {
        QStringList parts;
        if (!r.asLoaded.isEmpty()) parts << "loaded";
        const auto add = [&](const char* tag, const std::vector<double>& list) {
            QStringList values;
            for (const double v : list) values << QString::number(v);
            if (!values.isEmpty()) parts << tag + (' ' + values.join(','));
        };
        add("V1", r.volts[0]);
        add("V2", r.volts[1]);
        add("I1", r.amps[0]);
        add("I2", r.amps[1]);
        add("D", r.dwellSeconds);
        parts << QStringLiteral("x%1 end%2").arg(r.count).arg(int(r.end));
        return parts.join(' ');
    }
    std::optional<ListRefusal> runList(const ListRun& run,
                                       std::function<void(QString)> ended) override {
        if (refusal) return refusal;
        calls << "run " + describe(run);
        if (endsEarly) ended("Stopped by the guard.");
        return std::nullopt;
    }
    void stopList() override { calls << "stop list"; }
    std::optional<int> listStep() const override { return step; }
    FileOutcome saveList(const QString& name, const ListRun& run, QString*) override {
        calls << "save list " + name;
        files[name] = run;
        return FileOutcome::Done;
    }
    FileOutcome loadList(const QString& name, ListRun* run, QString* why) override {
        calls << "load list " + name;
        if (name == "bad") {
            *why = "Line 2: a value is not a number.";
            return FileOutcome::Malformed;
        }
        if (!files.count(name)) return FileOutcome::Missing;
        *run = files[name];
        return FileOutcome::Done;
    }
    void whenIdle(std::function<void()> done) override {
        if (idleAtOnce)
            done();
        else
            pendingIdle = std::move(done);
    }
};

// A session as the server holds it, with what it wrote and how often it finished.
struct Client {
    FakeInstrument fake;
    std::unique_ptr<ScpiSession> session;
    QList<QByteArray> replies;
    int finished = 0;

    explicit Client(std::shared_ptr<ScpiErrorQueue> queue = std::make_shared<ScpiErrorQueue>()) {
        session = std::make_unique<ScpiSession>(fake, std::move(queue), "LQS Control", "11.9.2.1");
        session->write = [this](const QByteArray& reply) { replies << reply; };
        session->finished = [this] { ++finished; };
    }
    // Drains the error queue through SYST:ERR?, leaving replies as they were.
    QStringList errors() {
        const QList<QByteArray> before = replies;
        QStringList out;
        for (int i = 0; i <= ScpiSession::kErrorQueueSize; ++i) {
            session->takeLine("SYST:ERR?");
            if (replies.last().startsWith("0,")) break;
            out << QString::fromUtf8(replies.last());
        }
        replies = before;
        return out;
    }
    QString errorCodes() {
        QStringList codes;
        for (const QString& e : errors()) codes << e.section(',', 0, 0);
        return codes.join(' ');
    }
};

enum Flag {
    Unlinked = 1,
    Follows = 2,
    NoReading = 4,
    NoIdentity = 8,
    OutputUnknown = 16,
    Tripped = 32,
    Armed = 64,     // over-voltage at 13 V on channel 1, a charge budget on channel 2, output on
    Running = 128,  // a run at its step 2
    OutOfRange = 256,
    ByCoupling = 512,
    EndsEarly = 1024,
};

QString describe(const std::vector<ScpiCall>& calls) {
    // clang-format off
    static const char* const kNames[] = {
        "Identify", "ClearStatus", "OperationComplete", "Wait", "Reset", "EventStatus",
        "EventEnable", "StatusByte", "Save", "Recall", "SystemError", "SystemLink", "SystemModel",
        "InstrumentSelect", "InstrumentNumber", "Voltage", "Current", "MeasureVoltage",
        "MeasureCurrent", "Output", "OutputPair", "VoltageProtection", "VoltageProtectionState",
        "VoltageProtectionDelay", "VoltageFloor", "VoltageFloorState", "VoltageFloorDelay",
        "CurrentProtection", "CurrentProtectionState", "CurrentProtectionDelay",
        "CurrentProtectionCc", "PowerProtection", "PowerProtectionState", "PowerProtectionDelay",
        "ProtectionTripped", "ProtectionClear", "MeasurePower", "MeasureCharge", "MeasureEnergy",
        "AccumulateClear", "ChargeProtection", "ChargeProtectionState", "ChargeProtectionDelay",
        "EnergyProtection", "EnergyProtectionState", "EnergyProtectionDelay", "ListVoltage",
        "ListCurrent", "ListDwell", "ListCount", "ListTerminate", "ListRun", "ListStop",
        "ListState", "ListSave", "ListLoad"};
    // clang-format on
    static_assert(std::size(kNames) == std::size_t(ScpiCommand::ListLoad) + 1);
    QStringList out;
    for (const ScpiCall& c : calls) {
        if (c.error) {
            out << QString::number(c.error);
            continue;
        }
        QString text = QLatin1String(kNames[int(c.command)]) + (c.query ? "?" : "");
        if (!c.parameter.isEmpty()) text += ' ' + QString::fromLatin1(c.parameter);
        out << text;
    }
    return out.join(" | ");
}

}  // namespace

class tst_ScpiSession : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void forms_data();
    void forms();
    void numbers_data();
    void numbers();
    void commands_data();
    void commands();
    void errorQueue();
    void errorQueueIsShared();
    void measureLater();
    void goneWhileWaiting_data();
    void goneWhileWaiting();
    void linkWaitsForSettled_data();
    void linkWaitsForSettled();
    void linkThatStandsIsKept();
    void commandThatNeverArrived();
    void opcWaitsForIdle_data();
    void opcWaitsForIdle();
    void opcSetsItsEvent();
};

void tst_ScpiSession::forms_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("parsed");
    struct Row {
        const char* line;
        const char* parsed;
    };
    const Row rows[] = {
        {"VOLT 5", "Voltage 5"},
        {"VoLtAgE 5", "Voltage 5"},
        {":VOLT 5", "Voltage 5"},
        {"SOUR:VOLT 5", "Voltage 5"},
        {"VOLT:LEV:IMM:AMPL 5", "Voltage 5"},
        {"source:voltage:level:immediate:amplitude 5", "Voltage 5"},
        {"VOLT\t 5 ", "Voltage 5"},
        {"VOLT?", "Voltage?"},
        {"CURR? MAX", "Current? MAX"},
        {"VOLTA 5", "-113"},
        {"VOLT:LEVE 5", "-113"},
        {"VOLT:AMPL:LEV 5", "-113"},
        {"VOLT5", "-113"},
        {"VOLT", "-100"},
        {"VOLT::LEV 5", "-100"},
        {"VOLT?:LEV 5", "-100"},
        {":*IDN?", "-100"},
        {"5", "-100"},
        {"*IDN?", "Identify?"},
        {"*IDN", "-113"},
        {"*CLS", "ClearStatus"},
        {"*CLS?", "-113"},
        {"*CLS 1", "-100"},
        {"*OPC;*OPC?", "OperationComplete | OperationComplete?"},
        {"*WAI;*WAI?", "Wait | -113"},
        {"*SAV 1;*rcl 4", "Save 1 | Recall 4"},
        {"*SAV", "-100"},
        {"SYST:ERR?", "SystemError?"},
        {"system:error:next?", "SystemError?"},
        {"SYST:LINK;SYST:LINK?", "SystemLink | SystemLink?"},
        {"SYST:LINK 1", "-100"},
        {"SYST:MOD LQS6500B;system:model?", "SystemModel LQS6500B | SystemModel?"},
        {"SYST:MOD", "-100"},
        {"INST CH2", "InstrumentSelect CH2"},
        {"INSTRUMENT:SELECT?", "InstrumentSelect?"},
        {"INST:NSEL 2;inst:nselect?", "InstrumentNumber 2 | InstrumentNumber?"},
        {"MEAS:VOLT?", "MeasureVoltage?"},
        {"MEAS:SCAL:CURR:DC? (@2)", "MeasureCurrent? (@2)"},
        {"MEAS:VOLT", "-113"},
        {"OUTP ON;OUTPUT:STATE?", "Output ON | Output?"},
        {"OUTP:PAIR SER;OUTP:PAIR?", "OutputPair SER | OutputPair?"},
        {"MEAS:POW?", "MeasurePower?"},
        {"measure:scalar:power:dc? (@2)", "MeasurePower? (@2)"},
        {"MEAS:POW", "-113"},
        {"MEAS:CHAR?;MEASURE:ENERGY? (@1)", "MeasureCharge? | MeasureEnergy? (@1)"},
        {"MEAS:SCAL:ENER?", "MeasureEnergy?"},
        {"SENS:ACC:CLE;accumulate:clear", "AccumulateClear | AccumulateClear"},
        {"SENS:ACC:CLE?", "-113"},
        {"SENS:ACC:CHAR:PROT 2;SENSE:ACCUMULATE:CHARGE:PROTECTION:LEVEL?",
         "ChargeProtection 2 | ChargeProtection?"},
        {"ACC:ENER:PROT:STAT ON;ACC:ENER:PROT:DEL?",
         "EnergyProtectionState ON | EnergyProtectionDelay?"},
        {"SENS:ACC:CHAR:PROT", "-100"},
        {"*RST;*ESR?;*ESE 32;*ESE?;*STB?",
         "Reset | EventStatus? | EventEnable 32 | EventEnable? | StatusByte?"},
        {"*RST?;*ESR;*STB;*ESE;*RST 1", "-113 | -113 | -113 | -100 | -100"},
        {"VOLT 5;CURR 1;VOLT?", "Voltage 5 | Current 1 | Voltage?"},
        {" VOLT 5 ; :CURR 1 ", "Voltage 5 | Current 1"},
        {"VOLTA 5;VOLT 6", "-113 | Voltage 6"},
        {"VOLT 5;;CURR 1;", "Voltage 5 | Current 1"},
        {"", ""},
    };
    for (const auto& r : rows) QTest::newRow(r.line) << QByteArray(r.line) << QString(r.parsed);
    // Bytes a terminal or a broken script sends.
    QTest::newRow("NUL in header") << QByteArray("VO\0LT 5", 7) << "-100";
    QTest::newRow("binary header") << QByteArray("\xff\xfe\x01") << "-100";
    QTest::newRow("binary parameter")
        << QByteArray("VOLT \x01\xff", 7) << QString("Voltage ") + QString::fromLatin1("\x01\xff");
}

void tst_ScpiSession::forms() {
    QFETCH(QByteArray, line);
    QFETCH(QString, parsed);
    QCOMPARE(describe(parseScpiLine(line)), parsed);
}

void tst_ScpiSession::numbers_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("value");
    const int V = int(ScpiUnit::Volt), A = int(ScpiUnit::Ampere), N = int(ScpiUnit::None);
    const int Ah = int(ScpiUnit::AmpHour), Wh = int(ScpiUnit::WattHour);
    const int Bad = int(ScpiNumber::Kind::Invalid), Val = int(ScpiNumber::Kind::Value);
    const int Min = int(ScpiNumber::Kind::Minimum), Max = int(ScpiNumber::Kind::Maximum);
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        const char* text;
        int unit, kind;
        double value;
    };
    const Row rows[] = {
        {"5", V, Val, 5},         {"+5.0", V, Val, 5},      {"5e0", V, Val, 5},
        {".5", V, Val, 0.5},      {"5.", V, Val, 5},        {"-5E-1", V, Val, -0.5},
        {"5V", V, Val, 5},        {"5 v", V, Val, 5},       {"500mV", V, Val, 0.5},
        {"500 MV", V, Val, 0.5},  {"3200mA", A, Val, 3.2},  {"2A", A, Val, 2},
        {"1e999", V, Val, inf},   {"-1e999", V, Val, -inf}, {"3", N, Val, 3},
        {"MIN", V, Min, 0},       {"minimum", A, Min, 0},   {"Max", N, Max, 0},
        {"MAXIMUM", V, Max, 0},   {"MAXI", V, Bad, 0},      {"2A", V, Bad, 0},
        {"2mAh", Ah, Val, 0.002}, {"1.5 WH", Wh, Val, 1.5}, {"2A", Ah, Bad, 0},
        {"5V", N, Bad, 0},        {"5 5", V, Bad, 0},       {"", V, Bad, 0},
        {".", V, Bad, 0},         {"e5", V, Bad, 0},        {"5e", V, Bad, 0},
        {"0x10", V, Bad, 0},      {"inf", V, Bad, 0},       {"5,0", V, Bad, 0},
    };
    for (const auto& r : rows)
        QTest::newRow(QByteArray(r.text).append(" /").append(QByteArray::number(r.unit)))
            << QByteArray(r.text) << r.unit << r.kind << r.value;
}

void tst_ScpiSession::numbers() {
    QFETCH(QByteArray, text);
    QFETCH(int, unit);
    QFETCH(int, kind);
    QFETCH(double, value);
    const ScpiNumber n = parseScpiNumber(text, ScpiUnit(unit));
    QCOMPARE(int(n.kind), kind);
    if (n.kind == ScpiNumber::Kind::Value) QCOMPARE(n.value, value);
}

void tst_ScpiSession::commands_data() {
    QTest::addColumn<int>("flags");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("reply");  // empty: nothing written
    QTest::addColumn<QString>("calls");     // what reached the instrument
    QTest::addColumn<QString>("errors");

    const auto row = [](const char* tag, int flags, const char* line, const char* reply,
                        const char* calls, const char* errors) {
        QTest::newRow(tag) << flags << QByteArray(line) << QByteArray(reply) << QString(calls)
                           << QString(errors);
    };
    row("idn", 0, "*IDN?", "LQS Control,LQS-6200B,LQS-6200B  V2.1,11.9.2.1", "", "");
    row("idn unknown", NoIdentity, "*idn?", "LQS Control,LQS-6200B,0,11.9.2.1", "", "");
    row("set voltage", 0, "VOLT 5", "", "set V1 5.00", "");
    row("set then query", 0, "VOLT 5;VOLT?", "5.00", "set V1 5.00", "");
    row("millivolts", 0, "volt 5000 mV", "", "set V1 5.00", "");
    row("current at limit", 0, "CURR 3200MA;CURR 3.2", "", "set I1 3.20|set I1 3.20", "");
    row("MIN MAX", 0, "VOLT MIN;CURR MAX", "", "set V1 0.00|set I1 3.20", "");
    row("rounds to decimals", 0, "VOLT 31.999", "", "set V1 32.00", "");
    row("minus zero", 0, "VOLT -0", "", "set V1 0.00", "");
    row("above limit", 0, "VOLT 35", "", "", "-222");
    row("below zero", 0, "VOLT -1;CURR 3.21", "", "", "-222 -222");
    row("huge", 0, "VOLT 1e999", "", "", "-222");
    row("not a number", 0, "VOLT abc", "", "", "-100");
    row("wrong unit", 0, "VOLT 5 A", "", "", "-100");
    row("limits", 0, "VOLT? MAX;CURR? MIN;curr? maximum", "32.00;0.00;3.20", "", "");
    row("query with a number", 0, "VOLT? 5", "", "", "-224");
    row("channel 2", 0, "INST CH2;VOLT 5;INST?;INST:NSEL?;CURR?", "CH2;2;0.50", "set V2 5.00", "");
    row("channel by number", 0, "INST:NSEL 2;CURR 1;INST:NSEL 1.0;INST?", "CH1", "set I2 1.00", "");
    row("no channel 3", 0, "INST CH3;INST 2;INST:NSEL 3;INST:NSEL CH2", "", "",
        "-224 -224 -222 -100");
    row("channel 2 follows", Follows, "INST CH2;VOLT 5;VOLT?", "12.00", "", "-221");
    row("channel 1 while following", Follows, "VOLT 5", "", "set V1 5.00", "");
    row("unlinked set", Unlinked, "VOLT 5;CURR 1", "", "", "-200 -200");
    row("unlinked instrument commands", Unlinked, "OUTP ON;OUTP:PAIR SER;*SAV 1;*RCL 1;MEAS:VOLT?",
        "", "", "-200 -200 -200 -200 -200");
    row("unlinked queries", Unlinked, "VOLT?;INST?;OUTP?;OUTP:PAIR?;SYST:LINK?",
        "21.00;CH1;0;OFF;0", "", "");
    row("unlinked out of range", Unlinked, "VOLT 35", "", "", "-222");
    row("model", Unlinked, "SYST:MOD?;SYST:MOD \"lqs-6500b\";SYST:MOD?", "LQS-6200B;LQS-6500B",
        "model LQS-6500B", "");
    row("no such model", 0, "SYST:MOD LQS-6300A;SYST:MOD ''", "", "", "-224 -224");
    row("model while a run is under way", Running, "SYST:MOD 'LQS-6200A';SYST:MOD?", "LQS-6200B",
        "", "-221");
    row("measure", 0, "MEAS:VOLT?", "1.23", "measure V1", "");
    row("measure list", 0, "INST CH2;MEAS:CURR? (@1);MEAS:VOLT?", "0.50;1.23",
        "measure I1|measure V2", "");
    row("measure bad list", 0, "MEAS:VOLT? (@3);MEAS:VOLT? 1;MEAS:VOLT? (@1,2)", "", "",
        "-222 -100 -100");
    row("no reading", NoReading, "MEAS:VOLT?;VOLT?", "21.00", "measure V1", "-200");
    row("output on", 0, "OUTP ON;OUTP?", "1", "output 1", "");
    row("output as it is", 0, "OUTP OFF;OUTP 0", "", "", "");
    row("output twice", 0, "OUTP 1;OUTPUT:STATE ON", "", "output 1", "");
    row("output bad", 0, "OUTP 2;OUTP YES", "", "", "-224 -224");
    row("pair", 0, "OUTP:PAIR PAR;OUTP:PAIR?;OUTP:PAIR series;OUTP:PAIR?", "PAR;SER",
        "pair 2|pair 3", "");
    row("pair as it is or bad", 0, "OUTP:PAIR OFF;OUTP:PAIR BOTH", "", "", "-224");
    row("memories", 0, "*SAV 1;*RCL 4;*SAV 2.0", "", "save 1|recall 4|save 2", "");
    row("memory range", 0, "*SAV 5;*SAV 0;*RCL 1.5;*RCL x", "", "", "-222 -222 -222 -100");
    row("errors in between", 0, "VOLTA 5;VOLT 6;*CLS?;CURR?", "1.50", "set V1 6.00", "-113 -113");
    row("opc", 0, "*OPC;*OPC?", "1", "", "");
    row("wai", 0, "*WAI;VOLT?", "21.00", "", "");
    row("output not known", OutputUnknown, "OUTP?;OUTP OFF", "", "output 0", "-200");
    // The guard: limits as guard CHANNEL LIMIT ON LEVEL DELAY, limits 0 OV, 1 floor, 2 OC,
    // 3 OP, 6 CC.
    row("over-voltage armed", 0, "VOLT:PROT 13;VOLT:PROT:STAT ON;VOLT:PROT?;VOLT:PROT:STAT?",
        "13;1", "guard 1 0 0 13 0|guard 1 0 1 13 0", "");
    row("armed before a level", 0, "CURR:PROT:STAT ON;POW:PROT:STAT 1", "", "", "-221 -221");
    row("a level the model cannot reach", 0, "VOLT:PROT 40 V;VOLT:PROT?", "0", "", "-222");
    row("floor, delay and units", 0,
        "INST CH2;SOUR:VOLT:PROT:LOW 3000 mV;VOLT:PROT:LOW:DEL 250 ms;VOLT:PROT:LOW:DEL?", "0.25",
        "guard 2 1 0 3 0|guard 2 1 0 3 0.25", "");
    row("delay out of range", 0, "CURR:PROT:DEL 61;CURR:PROT:DEL -1;CURR:PROT:DEL MAX", "", "",
        "-222 -222 -100");
    row("power and CC", 0, "POW:PROT 12.5 W;CURR:PROT:CC ON;CURR:PROT:CC?;POW:PROT?", "1;12.5",
        "guard 1 3 0 12.5 0|guard 1 6 1 0 0", "");
    row("tripped and clear", 0, "OUTP:PROT:TRIP?;OUTP:PROT:CLE;OUTP:PROT:CLE?", "0", "clear trip",
        "-113");
    // Power from both fresh readings of the channel: 1.234 V times 0.5 A.
    row("power", 0, "MEAS:POW?", "0.62", "measure V1|measure I1", "");
    row("power of channel 2", 0, "MEASURE:SCALAR:POWER:DC? (@2);INST CH2;MEAS:POW?", "0.62;0.62",
        "measure V2|measure I2|measure V2|measure I2", "");
    row("power bad list", 0, "MEAS:POW? (@3);MEAS:POW? 2", "", "", "-222 -100");
    row("power unlinked", Unlinked, "MEAS:POW?", "", "", "-200");
    row("power unanswered", NoReading, "MEAS:POW?;VOLT?", "21.00", "measure V1|measure I1", "-200");
    // The program's own counters: no link needed.
    row("charge and energy", Unlinked,
        "MEAS:CHAR?;MEAS:ENER?;INST CH2;MEASURE:SCALAR:ENERGY?;MEAS:CHAR? (@1)",
        "0.25;3.5;1.75;0.25", "", "");
    row("charge bad list", 0, "MEAS:CHAR? (@0);MEAS:ENER? CH1", "", "", "-222 -100");
    row("counters cleared", 0, "INST CH2;SENS:ACC:CLE;MEAS:CHAR?;MEAS:ENER?;MEAS:CHAR? (@1)",
        "0;0;0.25", "clear counters 2", "");
    // Budgets: limit 4 is the charge, 5 the energy.
    row("charge budget", 0,
        "SENS:ACC:CHAR:PROT 2.5;SENS:ACC:CHAR:PROT:STAT ON;SENS:ACC:CHAR:PROT:DEL 1;"
        "SENS:ACC:CHAR:PROT?;SENS:ACC:CHAR:PROT:STAT?;SENS:ACC:CHAR:PROT:DEL?",
        "2.5;1;1", "guard 1 4 0 2.5 0|guard 1 4 1 2.5 0|guard 1 4 1 2.5 1", "");
    row("energy budget in mWh", 0,
        "INST CH2;ACC:ENER:PROT 500 mWh;ACC:ENER:PROT:STAT 1;ACCUMULATE:ENERGY:PROTECTION:LEVEL?",
        "0.5", "guard 2 5 0 0.5 0|guard 2 5 1 0.5 0", "");
    row("budget errors", 0,
        "ACC:ENER:PROT:STAT ON;ACC:CHAR:PROT 2 V;ACC:CHAR:PROT:DEL 61;ACC:CHAR:PROT:STAT MAYBE", "",
        "", "-221 -100 -222 -224");
    // Nothing goes out to be refused, and the window never shows it on.
    row("on while latched", Tripped, "OUTP ON;OUTPUT:STATE 1;OUTP?", "0", "", "-200 -200");
    row("off while latched", Tripped | OutputUnknown, "OUTP OFF", "", "output 0", "");
    row("cleared, then on", Tripped, "OUTP:PROT:CLE;OUTP ON", "", "clear trip|output 1", "");
    row("reset", Armed, "INST CH2;*RST;OUTP?;INST?;VOLT:PROT:STAT?;VOLT:PROT?;*ESR?",
        "0;CH1;0;13;0", "output 0|guard 1 0 0 13 0|guard 2 4 0 2 1", "");
    row("reset unlinked", Armed | Unlinked, "*RST", "", "guard 1 0 0 13 0|guard 2 4 0 2 1", "-200");
    row("reset with nothing to do", 0, "*RST", "", "", "");
    // The standard event status register: 32 command error, 16 execution error.
    row("events", 0, "VOLTA;VOLT 99;*ESR?;*ESR?", "48;0", "", "-113 -222");
    row("status byte", 0, "*STB?;VOLTA;*STB?;*ESE 32;*STB?;*ESR?;*STB?", "0;4;36;32;4", "", "-113");
    row("clear status", 0, "VOLTA;*CLS;*ESR?;*STB?;SYST:ERR?", "0;0;0,\"No error\"", "", "");
    row("operation complete", 0, "*OPC;*ESR?;*ESR?", "1;0", "", "");
    row("event enable range", 0, "*ESE 256;*ESE -1;*ESE x;*ESE MAX;*ESE 16.0;*ESE?", "16", "",
        "-222 -222 -100 -100");
    // Runs of steps: as the fake says, V1 channel 1's voltages, D the dwell, x the count,
    // end 0 output off, 1 hold, 2 back to the first.
    row("list run", 0, "LIST:VOLT 5,6,7;LIST:DWEL 0.5;LIST:RUN", "", "run V1 5,6,7 D 0.5 x1 end0",
        "");
    row("list long forms", 0,
        "SOUR:LIST:VOLTAGE 5;LIST:CURRENT:LEV 1,2;LIST:DWELL 1 S, 500 ms;LIST:COUNT INF;"
        "LIST:TERMINATE FIRST;LIST:VOLT?;LIST:CURR?;LIST:DWEL?;LIST:COUN?;LIST:TERM?;LIST:RUN",
        "5.00;1.00,2.00;1,0.5;INF;FIRS", "run V1 5 I1 1,2 D 1,0.5 x0 end2", "");
    row("list per channel", 0,
        "LIST:VOLT 1;INST CH2;LIST:VOLT 2,3;LIST:VOLT?;INST CH1;LIST:VOLT?;LIST:COUN 3;"
        "LIST:TERM LAST;LIST:RUN",
        "2.00,3.00;1.00", "run V1 1 V2 2,3 x3 end1", "");
    row("list empty", 0, "LIST:VOLT?;LIST:COUN?;LIST:TERM?", ";1;OFF", "", "");
    row("list unequal lengths", 0, "LIST:VOLT 1,2,3;LIST:CURR 1,2;LIST:RUN", "", "", "-221");
    row("list dwell of another length", 0, "LIST:VOLT 1,2,3;LIST:DWEL 1,2;LIST:RUN", "", "",
        "-221");
    row("list with nothing to set", 0, "LIST:DWEL 1;LIST:RUN", "", "", "-221");
    row("list bad values", 0,
        "LIST:VOLT 1,x;LIST:VOLT 1,,2;LIST:VOLT -1;LIST:CURR 1e999;LIST:DWEL 0;LIST:DWEL 1e9;"
        "LIST:VOLT 1 A",
        "", "", "-100 -100 -222 -222 -222 -222 -100");
    row("list bad settings", 0, "LIST:COUN 0;LIST:COUN 1.5;LIST:COUN x;LIST:TERM MAYBE", "", "",
        "-222 -222 -100 -224");
    row("list bad value keeps the list", 0, "LIST:VOLT 1,2;LIST:VOLT 3,x;LIST:VOLT?", "1.00,2.00",
        "", "-100");
    row("list out of range", OutOfRange, "LIST:VOLT 40;LIST:RUN", "", "", "-222");
    row("list against the coupling", ByCoupling, "INST CH2;LIST:VOLT 4;LIST:RUN", "", "", "-221");
    row("list unlinked", Unlinked, "LIST:VOLT 4;LIST:RUN", "", "", "-200");
    row("list running", Running, "LIST:STAT?;LIST:VOLT 1;LIST:RUN;LIST:STOP", "RUN,2", "stop list",
        "-221");
    row("list idle", 0, "LIST:STAT?;LIST:STOP", "IDLE", "stop list", "");
    row("list ended early", EndsEarly, "LIST:VOLT 1;LIST:RUN", "", "run V1 1 x1 end0", "-200");
    row("reset stops a run", Running, "*RST", "", "stop list", "");
    row("list save and load", 0,
        "LIST:VOLT 1,2;LIST:SAVE \"run 1\";LIST:VOLT 3;LIST:LOAD 'run 1';LIST:VOLT?", "1.00,2.00",
        "save list run 1|load list run 1", "");
    row("list names", 0,
        "LIST:SAVE \"../x\";LIST:SAVE \"a/b\";LIST:LOAD \".\";LIST:LOAD \"..\";LIST:LOAD \"\";"
        "LIST:LOAD \"a;b\";LIST:LOAD \"tab\there\"",
        "", "", "-257 -257 -257 -257 -257 -257 -257");
    row("list name unquoted", 0, "LIST:LOAD run;LIST:LOAD \"run", "", "", "-100 -100");
    row("list name lengths", 0,
        QByteArray("LIST:VOLT 1;LIST:SAVE \"" + QByteArray(100, 'a') + "\";LIST:SAVE \"" +
                   QByteArray(101, 'a') + "\"")
            .constData(),
        "", ("save list " + QByteArray(100, 'a')).constData(), "-257");
    row("list loaded runs as read", 0, "LIST:LOAD 'ramp';LIST:COUN 3;LIST:TERM LAST;LIST:RUN", "",
        "load list ramp|run loaded V1 2,8 D 1,2 x3 end1", "");
    row("list changed after loading", 0, "LIST:LOAD 'ramp';LIST:DWEL 1,2;LIST:RUN", "",
        "load list ramp|run V1 2,8 D 1,2 x1 end0", "");
    row("list save with no list", 0, "LIST:SAVE \"x\"", "", "", "-221");
    row("list file missing or bad", 0, "LIST:LOAD \"none\";LIST:LOAD \"bad\"", "",
        "load list none|load list bad", "-256 -222");
}

void tst_ScpiSession::commands() {
    QFETCH(int, flags);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, reply);
    QFETCH(QString, calls);
    QFETCH(QString, errors);
    Client client;
    client.fake.isLinked = !(flags & Unlinked);
    client.fake.follows = flags & Follows;
    if (flags & NoReading) client.fake.reading = FakeInstrument::Reading::None;
    if (flags & OutputUnknown) client.fake.output.reset();
    if (flags & NoIdentity) client.fake.identity.clear();
    client.fake.tripped = flags & Tripped;
    if (flags & Running) client.fake.step = 2;
    if (flags & (OutOfRange | ByCoupling))
        client.fake.refusal = RemoteInstrument::ListRefusal{"no", bool(flags & ByCoupling)};
    client.fake.endsEarly = flags & EndsEarly;
    if (flags & Armed) {
        client.fake.output = true;
        client.fake.guards[{1, int(RemoteInstrument::Protection::OverVoltage)}] = {true, 13, 0};
        client.fake.guards[{1, int(RemoteInstrument::Protection::UnderVoltage)}] = {false, 2, 0};
        client.fake.guards[{2, int(RemoteInstrument::Protection::Charge)}] = {true, 2, 1};
    }

    client.session->takeLine(line);
    QCOMPARE(client.finished, 1);
    QCOMPARE(client.replies.size(), reply.isEmpty() ? 0 : 1);
    if (!reply.isEmpty()) QCOMPARE(client.replies.first(), reply);
    QCOMPARE(client.fake.calls.join('|'), calls);
    QCOMPARE(client.errorCodes(), errors);
}

void tst_ScpiSession::errorQueue() {
    Client client;
    client.session->takeLine("VOLT 35;INST CH3;CURR -2mA");
    client.session->takeLine("MEAS:VOLT? (@\"9\")");
    client.session->lineTooLong();
    QCOMPARE(client.finished, 2);
    QCOMPARE(client.errors(),
             QStringList({"-222,\"Data out of range;35 V is above the 32 V limit\"",
                          "-224,\"Illegal parameter value;CH3 is not CH1 or CH2\"",
                          "-222,\"Data out of range;-0.002 A is below zero\"",
                          "-100,\"Command error;(@\"\"9\"\") is not a channel list such as (@1)\"",
                          "-100,\"Command error;line too long\""}));

    // Two answers on one line, each a quoted string of its own.
    client.session->takeLine("VOLTA 1");
    client.session->takeLine("SYST:ERR?;SYST:ERR?");
    QCOMPARE(client.replies.last(), "-113,\"Undefined header;VOLTA\";0,\"No error\"");

    // Full: the oldest stay, the last place says it overflowed.
    for (int i = 1; i <= 12; ++i)
        client.session->takeLine("INST:NSEL " + QByteArray::number(i + 2));
    QStringList expected;
    for (int i = 1; i < ScpiSession::kErrorQueueSize; ++i)
        expected << QString("-222,\"Data out of range;there is no channel %1\"").arg(i + 2);
    expected << "-350,\"Queue overflow\"";
    QCOMPARE(client.errors(), expected);

    client.session->takeLine("VOLTA;VOLTA;*CLS;SYST:ERR?");
    QCOMPARE(client.replies.last(), "0,\"No error\"");
}

// One queue for all the server's clients, each with its own event status.
void tst_ScpiSession::errorQueueIsShared() {
    const auto queue = std::make_shared<ScpiErrorQueue>();
    Client a(queue);
    Client b(queue);
    // One line and gone: its error waits for whoever asks next.
    a.session->takeLine("VOLTA 1");
    a.session.reset();
    b.session->takeLine("*STB?;*ESR?;SYST:ERR?;*STB?");
    QCOMPARE(b.replies.last(), "4;0;-113,\"Undefined header;VOLTA\";0");

    // *CLS from one client clears the queue for all, not the others' events.
    Client c(queue);
    b.session->takeLine("VOLT 99");
    c.session->takeLine("VOLTA;*CLS");
    b.session->takeLine("*STB?;SYST:ERR?;*ESR?");
    QCOMPARE(b.replies.last(), "0;0,\"No error\";16");

    // Filled by both: the oldest stay, the last place says it overflowed.
    QStringList expected;
    for (int i = 3; i <= 8; ++i) {
        b.session->takeLine("INST:NSEL " + QByteArray::number(i));
        c.session->takeLine("INST:NSEL " + QByteArray::number(i + 10));
        expected << QString("-222,\"Data out of range;there is no channel %1\"").arg(i)
                 << QString("-222,\"Data out of range;there is no channel %1\"").arg(i + 10);
    }
    expected = expected.mid(0, ScpiSession::kErrorQueueSize - 1);
    expected << "-350,\"Queue overflow\"";
    QCOMPARE(c.errors(), expected);
    QCOMPARE(b.errors(), QStringList());
}

void tst_ScpiSession::measureLater() {
    Client client;
    client.fake.reading = FakeInstrument::Reading::Later;
    client.session->takeLine("MEAS:VOLT?;VOLT 5;MEAS:CURR? (@2);OUTP?");
    QCOMPARE(client.fake.calls, QStringList({"measure V1"}));
    QCOMPARE(client.finished, 0);

    auto first = client.fake.pendingMeasures.at(0);
    first(12.5);
    QCOMPARE(client.fake.calls, QStringList({"measure V1", "set V1 5.00", "measure I2"}));
    QCOMPARE(client.finished, 0);
    QVERIFY(client.replies.isEmpty());

    // A second call of a spent callback must not run the line again.
    first(1.0);
    client.fake.pendingMeasures.at(1)(std::nullopt);
    QCOMPARE(client.replies, QList<QByteArray>({"12.50;0"}));
    QCOMPARE(client.finished, 1);
    first(2.0);
    QCOMPARE(client.finished, 1);
    QCOMPARE(client.errors(),
             QStringList({"-200,\"Execution error;no reply from the instrument\""}));
}

void tst_ScpiSession::goneWhileWaiting_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("measure") << QByteArray("MEAS:VOLT?;VOLT 5");
    QTest::newRow("opc") << QByteArray("*OPC?;VOLT 5");
    QTest::newRow("link") << QByteArray("SYST:LINK;VOLT 5");
}

void tst_ScpiSession::goneWhileWaiting() {
    QFETCH(QByteArray, line);
    Client client;
    client.fake.reading = FakeInstrument::Reading::Later;
    client.fake.idleAtOnce = false;
    client.fake.isLinked = !line.startsWith("SYST:LINK");  // linking waits only when unlinked
    client.session->takeLine(line);
    QCOMPARE(client.finished, 0);

    // The client hung up; the instrument answers afterwards.
    client.session.reset();
    for (const auto& done : client.fake.pendingMeasures) done(3.0);
    if (client.fake.pendingIdle) client.fake.pendingIdle();
    if (client.fake.pendingSettle) client.fake.pendingSettle(true);
    QCOMPARE(client.finished, 0);
    QVERIFY(client.replies.isEmpty());
    QVERIFY(!client.fake.calls.contains("set V1 5.00"));
}

void tst_ScpiSession::linkWaitsForSettled_data() {
    QTest::addColumn<bool>("starts");
    QTest::addColumn<bool>("atOnce");
    QTest::addColumn<bool>("linked");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("errors");
    QTest::newRow("links") << true << false << true << QByteArray("1") << QStringList();
    QTest::newRow("settled at once") << true << true << true << QByteArray("1") << QStringList();
    QTest::newRow("fails") << true << false << false << QByteArray("0")
                           << QStringList({"-200,\"Execution error;the link failed\""});
    QTest::newRow("cannot start") << false << false << false << QByteArray("0")
                                  << QStringList({"-200,\"Execution error;no port is open\""});
}

void tst_ScpiSession::linkWaitsForSettled() {
    QFETCH(bool, starts);
    QFETCH(bool, atOnce);
    QFETCH(bool, linked);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, errors);
    Client client;
    client.fake.isLinked = false;
    client.fake.linkStarts = starts;
    client.fake.settleAtOnce = atOnce;
    client.session->takeLine("SYST:LINK;SYST:LINK?");
    if (client.fake.pendingSettle) {
        QCOMPARE(client.finished, 0);
        QVERIFY(client.replies.isEmpty());
        client.fake.isLinked = linked;
        client.fake.pendingSettle(linked);
    }
    QCOMPARE(client.finished, 1);
    QCOMPARE(client.replies, QList<QByteArray>({reply}));
    QCOMPARE(client.errors(), errors);
}

// A script that links first, as a matter of habit, keeps a link that stands.
void tst_ScpiSession::linkThatStandsIsKept() {
    Client client;
    client.fake.isLinked = true;
    client.session->takeLine("SYST:LINK;SYST:LINK?");
    QCOMPARE(client.finished, 1);
    QCOMPARE(client.replies, QList<QByteArray>({"1"}));
    QVERIFY(!client.fake.calls.contains("link"));
    QVERIFY(client.errors().isEmpty());
}

// A command the link could not carry out (the line went meanwhile) is an
// error the client reads, however much later that is known.
void tst_ScpiSession::commandThatNeverArrived() {
    Client client;
    client.fake.keepDone = true;
    client.session->takeLine("VOLT 5;OUTP ON;*SAV 2");
    QCOMPARE(client.fake.pendingDone.size(), std::size_t(3));
    client.fake.pendingDone[0](true);
    client.fake.pendingDone[1](false);
    client.fake.pendingDone[2](false);
    QCOMPARE(
        client.errors(),
        QStringList({"-200,\"Execution error;the output command did not reach the instrument\"",
                     "-200,\"Execution error;the save did not reach the instrument\""}));
    // Told after the client left: nothing.
    client.fake.pendingDone.clear();
    client.session->takeLine("VOLT 6");
    const auto late = std::move(client.fake.pendingDone.at(0));
    client.session.reset();
    late(false);
}

void tst_ScpiSession::opcWaitsForIdle_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("before");  // what reached the instrument before the wait ended
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("*OPC? answers 1 then")
        << QByteArray("VOLT 5;*OPC?;VOLT?") << "set V1 5.00" << QByteArray("1;5.00");
    QTest::newRow("*WAI lets the next run then")
        << QByteArray("VOLT 5;*WAI;OUTP ON;VOLT?") << "set V1 5.00" << QByteArray("5.00");
    // The latch is gone only once the link has taken the clear.
    QTest::newRow("a clear lets the next run then")
        << QByteArray("OUTP:PROT:CLE;VOLT 5;VOLT?") << "clear trip" << QByteArray("5.00");
    // The counters as they stand once the commands before have run.
    QTest::newRow("charge read then")
        << QByteArray("VOLT 5;MEAS:CHAR?;VOLT?") << "set V1 5.00" << QByteArray("0.5;5.00");
}

// Nothing after them runs before every command before them has ended.
void tst_ScpiSession::opcWaitsForIdle() {
    QFETCH(QByteArray, line);
    QFETCH(QString, before);
    QFETCH(QByteArray, reply);
    Client client;
    client.fake.idleAtOnce = false;
    client.session->takeLine(line);
    QCOMPARE(client.finished, 0);
    QCOMPARE(client.fake.calls, QStringList{before});
    client.fake.counted[0].ampHours = 0.5;
    client.fake.pendingIdle();
    QCOMPARE(client.replies, QList<QByteArray>({reply}));
    QCOMPARE(client.finished, 1);
}

// *OPC sets its bit once the commands before it have ended; a *CLS in
// between forgets it.
void tst_ScpiSession::opcSetsItsEvent() {
    Client client;
    client.fake.idleAtOnce = false;
    client.session->takeLine("VOLT 5;*OPC;*ESR?");
    QCOMPARE(client.replies.last(), "0");
    client.fake.pendingIdle();
    client.session->takeLine("*ESR?");
    QCOMPARE(client.replies.last(), "1");

    client.session->takeLine("*OPC;*CLS");
    client.fake.pendingIdle();
    client.session->takeLine("*ESR?");
    QCOMPARE(client.replies.last(), "0");
}

QTEST_GUILESS_MAIN(tst_ScpiSession)
#include "tst_scpi_session.moc"

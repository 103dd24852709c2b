#include <QtTest>

#include <random>

#include "instrument.h"

using lqs::sim::Coupling;
using lqs::sim::Instrument;
using lqs::sim::Model;
using lqs::sim::Settings;

namespace {

Model modelOf(char c) {
    return c == 'A' ? Model::A : c == 'C' ? Model::C : Model::B;
}

QByteArray feed(Instrument& in, const QByteArray& bytes) {
    return QByteArray::fromStdString(in.feed(std::string_view(bytes.constData(), bytes.size())));
}

// "A|B" -> "A\r\nB\r\n"
QByteArray frames(const QByteArray& commands) {
    if (commands.isEmpty()) return {};
    QByteArray out;
    for (const QByteArray& c : commands.split('|')) out += c + "\r\n";
    return out;
}

// Everything a command can change: set points, coupling, output, beeper.
std::pair<Settings, std::string> state(const Instrument& in) {
    return {in.settings(), in.statusText()};
}

}  // namespace

class TestInstrument : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void queries_data();
    void queries();
    void statusLayout_data();
    void statusLayout();
    void framing_data();
    void framing();
    void ignoredCommands_data();
    void ignoredCommands();
    void arbitraryBytes();
    void apiStateReachesReplies();
};

void TestInstrument::queries_data() {
    QTest::addColumn<char>("model");
    QTest::addColumn<QByteArray>("setup");  // commands separated by '|'
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");  // without terminator
    auto row = [](const char* name, char model, const char* setup, const char* query,
                  const char* reply) {
        QTest::newRow(name) << model << QByteArray(setup) << QByteArray(query) << QByteArray(reply);
    };

    // Power-up: CH1 12 V / 1 A on 10 ohm (current limited), CH2 5 V / 0.5 A on 20 ohm.
    row("A idn", 'A', "", "*IDN?", "LQS-6200A V2.1");
    row("B idn", 'B', "", "*IDN?", "LQS-6200B V2.1");
    row("C idn", 'C', "", "*IDN?", "LQS-6500B V2.1");
    row("A vset1", 'A', "", "VSET1?", "12.000");
    row("B iset2", 'B', "", "ISET2?", "0.50");
    row("off vout1", 'B', "", "VOUT1?", "0.00");
    row("OUT0 again", 'A', "OUT1|OUT0", "IOUT2?", "0.000");

    // Load model with the outputs on.
    row("cc vout1", 'B', "OUT1", "VOUT1?", "10.00");
    row("cc iout1", 'B', "OUT1", "IOUT1?", "1.00");
    row("cv vout2", 'B', "OUT1", "VOUT2?", "5.00");
    row("A cv iout2", 'A', "OUT1", "IOUT2?", "0.250");

    // Number forms, rounding to the model's resolution, clamping.
    row("A 12.5", 'A', "VSET1:12.5", "VSET1?", "12.500");
    row("B 12.5", 'B', "VSET1:12.5", "VSET1?", "12.50");
    row("trailing point", 'C', "VSET2:30.", "VSET2?", "30.00");
    row("A 1 mA", 'A', "ISET1:0.001", "ISET1?", "0.001");
    row("B 1 mA rounds", 'B', "ISET1:0.001", "ISET1?", "0.00");
    row("vset max", 'B', "VSET1:40", "VSET1?", "32.00");
    row("vset min", 'B', "VSET2:-3", "VSET2?", "0.00");
    row("A iset max", 'A', "ISET1:9", "ISET1?", "3.200");
    row("C iset max", 'C', "ISET2:9", "ISET2?", "5.10");

    // Coupled: what of channel 2 follows channel 1 ignores its own commands
    // meanwhile; tracking, only the voltage follows.
    row("series vset2", 'B', "TRACK1|VSET1:8", "VSET2?", "8.00");
    row("series vset2 ignored", 'B', "TRACK1|VSET2:3", "VSET2?", "12.00");
    row("series iset2 its own", 'B', "TRACK1|ISET2:0.1", "ISET2?", "0.10");
    row("parallel iset2 ignored", 'B', "TRACK2|ISET2:0.1", "ISET2?", "1.00");
    row("own value back", 'B', "TRACK2|VSET2:3|TRACK0", "VSET2?", "5.00");
    row("series iout2 at its own limit", 'B', "TRACK1|OUT1", "IOUT2?", "0.50");
    row("parallel iout1", 'B', "TRACK2|OUT1", "IOUT1?", "1.20");
    row("parallel vout2", 'B', "TRACK2|OUT1", "VOUT2?", "12.00");
    row("parallel iout2", 'B', "TRACK2|OUT1", "IOUT2?", "0.60");
    row("parallel cc", 'B', "TRACK2|ISET1:0.3|OUT1", "VOUT1?", "6.00");

    // Memory slots: defaults, round trip with coupling, out-of-range slots.
    row("rcl2 default", 'B', "RCL2", "ISET2?", "0.50");
    row("rcl3 series", 'B', "RCL3", "VSET2?", "15.00");
    row("sav rcl", 'A', "VSET1:1.234|SAV1|VSET1:9|RCL1", "VSET1?", "1.234");
    row("sav rcl coupling", 'B', "TRACK2|SAV2|TRACK0|RCL2", "VSET2?", "12.00");
    row("rcl5 ignored", 'B', "RCL5", "VSET1?", "12.00");
}

void TestInstrument::queries() {
    QFETCH(char, model);
    QFETCH(QByteArray, setup);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);

    Instrument in(modelOf(model));
    QCOMPARE(feed(in, frames(setup)), QByteArray());
    QCOMPARE(feed(in, query + "\r\n"), reply + "\n\r");
}

void TestInstrument::statusLayout_data() {
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QByteArray>("status");

    // Bytes: 0 CH1 CV, 1 CH2 CV, 2 beeper, 4/6 coupling, 12 output.
    QTest::newRow("power-up") << QByteArray() << QByteArray("1110001000000");
    QTest::newRow("on, ch1 cc") << QByteArray("OUT1") << QByteArray("0110001000001");
    QTest::newRow("ch2 cc") << QByteArray("ISET2:0.1|VSET1:1|OUT1") << QByteArray("1010001000001");
    QTest::newRow("series") << QByteArray("TRACK1") << QByteArray("1110101000000");
    QTest::newRow("parallel on") << QByteArray("TRACK2|OUT1") << QByteArray("1110100000001");
    QTest::newRow("independent again")
        << QByteArray("TRACK2|TRACK0") << QByteArray("1110001000000");
    QTest::newRow("rcl4 parallel") << QByteArray("RCL4") << QByteArray("1110100000000");
    QTest::newRow("beep0 colon") << QByteArray("BEEP0:") << QByteArray("1100001000000");
    QTest::newRow("beep0 bare") << QByteArray("BEEP0") << QByteArray("1100001000000");
}

void TestInstrument::statusLayout() {
    QFETCH(QByteArray, setup);
    QFETCH(QByteArray, status);

    Instrument in;
    feed(in, frames(setup));
    const QByteArray reply = feed(in, "STATUS?\r\n");
    QCOMPARE(reply.size(), 15);
    QCOMPARE(reply, status + "\n\r");
}

void TestInstrument::framing_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("replies");

    QTest::newRow("cr lf") << QByteArray("*IDN?\r\n") << QByteArray("LQS-6200B V2.1\n\r");
    QTest::newRow("lf only") << QByteArray("VSET2?\n") << QByteArray("5.00\n\r");
    QTest::newRow("two queries") << QByteArray("VSET1?\r\nISET1?\r\n")
                                 << QByteArray("12.00\n\r1.00\n\r");
    QTest::newRow("empty frames") << QByteArray("\r\n\n\r\nISET2?\r\n") << QByteArray("0.50\n\r");
    QTest::newRow("set between") << QByteArray("VSET1:3\r\nVSET1?\n") << QByteArray("3.00\n\r");
    QTest::newRow("unterminated") << QByteArray("*IDN?") << QByteArray();
    QTest::newRow("cr is not a cut") << QByteArray("VSET1?\rISET1?\r\n") << QByteArray();
}

// Whole, and one byte per feed() as the program writes: same replies either way.
void TestInstrument::framing() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, replies);

    Instrument whole;
    QCOMPARE(feed(whole, input), replies);

    Instrument dribble;
    QByteArray got;
    for (char c : input) got += feed(dribble, QByteArray(1, c));
    QCOMPARE(got, replies);
}

void TestInstrument::ignoredCommands_data() {
    QTest::addColumn<QByteArray>("frame");

    for (const char* c : {"IDN?",      "*idn?",     "vset1?",      "VSET3?",    "VSET1",
                          "VSET1:",    "VSET1:abc", "VSET1:1.2.3", "VSET1:1e3", "VSET1: 5",
                          "VSET1:--1", "VSET1:.",   "ISET0:1",     "OUT2",      "OUT",
                          "OUT11",     "TRACK3",    "TRACK",       "SAV0",      "SAV5",
                          "RCL",       "RCL9",      "BEEP2",       "BEEP1:x",   "BEEP",
                          "STATUS",    "STATUS??",  " *IDN?",      "*IDN? "})
        QTest::newRow(c) << QByteArray(c);
    QTest::newRow("nul") << QByteArray("OUT1\0", 5);
    QTest::newRow("high bytes") << QByteArray("\xff\xfe\x80");
}

void TestInstrument::ignoredCommands() {
    QFETCH(QByteArray, frame);

    Instrument in;
    const auto before = state(in);
    QCOMPARE(feed(in, frame + "\r\n"), QByteArray());
    QVERIFY(state(in) == before);
    const auto exchanges = in.process(frame.toStdString() + "\n");
    QVERIFY(exchanges.size() == 1);
    QVERIFY(!exchanges[0].recognized);
}

// Any byte stream: no crash, no runaway buffer, and the next frame still works.
void TestInstrument::arbitraryBytes() {
    Instrument in;
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    in.feed(all);

    std::mt19937 rng(20240607);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string noise;
    for (int i = 0; i < 20000; ++i) noise.push_back(static_cast<char>(byte(rng)));
    in.feed(noise);
    QVERIFY(in.pendingInput().size() <= Instrument::kMaxFrame);

    // An overlong frame is dropped even if it starts like a valid command.
    in.feed("VSET1:1" + std::string(2 * Instrument::kMaxFrame, '0') + "\n");
    QCOMPARE(feed(in, "\nVSET1?\r\n").right(7), QByteArray("12.00\n\r"));
}

void TestInstrument::apiStateReachesReplies() {
    Instrument in(Model::A);
    in.setTerminator("\r\n");
    QCOMPARE(feed(in, "ISET1?\r\n"), QByteArray("1.000\r\n"));

    in.setOutput(true);
    in.setLoad(1, 0.0);  // short circuit: current limited at zero volts
    QCOMPARE(feed(in, "VOUT1?\nIOUT1?\n"), QByteArray("0.000\r\n1.000\r\n"));
    in.setLoad(2, std::numeric_limits<double>::infinity());
    QCOMPARE(feed(in, "IOUT2?\n"), QByteArray("0.000\r\n"));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, in.setLoad(1, -1.0));
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, in.setLoad(3, 1.0));

    in.setSlot(2, Settings{1.5, 0.25, 2.5, 0.75, Coupling::Series});
    feed(in, "RCL2\n");
    QCOMPARE(in.coupling(), Coupling::Series);
    // Tracking: channel 1's voltage, channel 2's own current.
    QCOMPARE(feed(in, "VSET2?\nISET2?\n"), QByteArray("1.500\r\n0.750\r\n"));
    QCOMPARE(in.settings().vset2, 2.5);  // channel 2's own value survives the coupling

    in.setModel(Model::B);
    in.setCurrentSet(1, 4.0);
    QCOMPARE(in.currentSet(1), 3.2);
}

QTEST_APPLESS_MAIN(TestInstrument)
#include "tst_instrument.moc"

#include "device_link/link_state.h"
#include "device_link/reply_parser.h"

#include <QtTest>

#include <algorithm>

using namespace lqs;

Q_DECLARE_METATYPE(lqs::ReplyInput)

namespace {

enum Flag { Refused = 1, Held = 2, Overlong = 4 };

// Effects as names, so a failing row prints what came instead.
QString names(const std::vector<ReplyEffect>& effects) {
    static const char* const kNames[] = {"Identity",
                                         "ShowField",
                                         "Progress",
                                         "CloseQuerying",
                                         "ClearAwaiting",
                                         "ApplyCoupling",
                                         "ApplyOutputAtStartup",
                                         "ApplyOutput"};
    QStringList out;
    for (ReplyEffect e : effects) out << QLatin1String(kNames[int(e)]);
    return out.join(QLatin1Char(' '));
}

// modeAfter -1: the mode stays.
void row(const QByteArray& tag, std::uint8_t mode, int counter, const char* query,
         const QByteArray& bytes, int flags, const char* effects, int field, int counterAfter,
         int modeAfter = -1) {
    ReplyInput in;
    in.mode = mode;
    in.counter = std::uint8_t(counter);
    in.query = QLatin1String(query);
    in.bytes = bytes;
    in.sendingAllowed = !(flags & Refused);
    in.held = flags & Held;
    in.overlong = flags & Overlong;
    QTest::newRow(tag.constData()) << in << QString::fromLatin1(effects) << field << counterAfter
                                   << (modeAfter < 0 ? int(mode) : modeAfter);
}

const char* const kStatusEffects =
    "Progress CloseQuerying ClearAwaiting ApplyCoupling ApplyOutputAtStartup";

}  // namespace

class tst_ReplyParser : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parse_data();
    void parse();
    void text_data();
    void text();
    void coupling_data();
    void coupling();
};

void tst_ReplyParser::parse_data() {
    QTest::addColumn<ReplyInput>("in");
    QTest::addColumn<QString>("effects");
    QTest::addColumn<int>("field");  // shown field, 0 for none
    QTest::addColumn<int>("counter");
    QTest::addColumn<int>("mode");
    const QByteArray num = "12.50\n\r";
    const QByteArray status = "1101001000000\n\r";
    const std::uint8_t S = Parse::Startup, P = Parse::Polling, R = Parse::Recall, I = Parse::Ignore;

    row("start *IDN?", S, 0, "*IDN?", "LQS-6200B V2.1\n\r", 0, "Identity", 0, 1);
    row("start VSET1?", S, 1, "VSET1?", num, 0, "ShowField", 5, 2);
    row("start VSET2?", S, 2, "VSET2?", num, 0, "ShowField", 7, 3);
    row("start ISET1?", S, 3, "ISET1?", num, 0, "ShowField", 6, 4);
    row("start ISET2?", S, 4, "ISET2?", num, 0, "ShowField", 8, 5);
    row("start set point not a number", S, 1, "VSET1?", "1x.5z\n\r", 0, "Progress", 0, 2);
    row("start set point cut before CR", S, 1, "VSET1?", "10.0", 0, "Progress", 0, 2);
    row("start set point overlong", S, 1, "VSET1?", "", Overlong, "Progress", 0, 2);
    row("start measured VOUT1?", S, 5, "VOUT1?", num, 0, "Progress", 0, 6);
    row("start measured IOUT2?", S, 8, "IOUT2?", num, 0, "Progress", 0, 9);
    row("start STATUS?", S, 9, "STATUS?", status, 0, kStatusEffects, 0, 10);
    row("start STATUS? past count 10", S, 10, "STATUS?", status, 0, "", 0, 11);
    row("start VSET1? past count 10", S, 10, "VSET1?", num, 0, "", 0, 11);
    row("start counter saturates", S, 255, "*IDN?", num, 0, "", 0, 255);

    const struct {
        const char* query;
        int field;
    } polled[] = {{"VOUT1?", 1}, {"IOUT1?", 2}, {"VOUT2?", 3}, {"IOUT2?", 4},
                  {"VSET1?", 5}, {"ISET1?", 6}, {"VSET2?", 7}, {"ISET2?", 8}};
    for (const auto& q : polled)
        row(QByteArray("poll ") + q.query, P, 3, q.query, num, 0, "ShowField", q.field, 4);
    row("poll sending refused", P, 3, "VSET1?", num, Refused, "", 0, 4);
    row("poll field held", P, 3, "VSET1?", num, Held, "", 0, 4);
    row("poll not a number", P, 3, "VOUT1?", "garbage\n\r", 0, "", 0, 4);
    row("poll cut before CR", P, 3, "VOUT1?", "10.0", 0, "", 0, 4);
    row("poll overlong", P, 3, "VOUT1?", "", Overlong, "", 0, 4);
    row("poll STATUS? resets counter", P, 8, "STATUS?", status, 0, "", 0, 0);
    row("poll STATUS? at 255 resets", P, 255, "STATUS?", status, 0, "", 0, 0);
    row("poll counter saturates", P, 255, "VOUT1?", num, 0, "ShowField", 1, 255);

    row("recall VSET1?", R, 0, "VSET1?", num, 0, "ShowField Progress", 5, 1);
    row("recall IOUT2?", R, 7, "IOUT2?", num, 0, "ShowField Progress", 4, 8);
    row("recall not a number", R, 2, "ISET1?", "x\n\r", 0, "Progress", 0, 3);
    row("recall STATUS?", R, 8, "STATUS?", status, 0, "ApplyCoupling Progress ApplyOutput", 0, 9);
    row("recall past count 9", R, 9, "VSET1?", num, 0, "", 0, 10, I);
    row("recall STATUS? past count 9", R, 9, "STATUS?", status, 0, "", 0, 10, I);
    row("recall counter saturated", R, 255, "VSET1?", num, 0, "", 0, 255, I);

    row("ignore *IDN?", I, 0, "*IDN?", num, 0, "", 0, 1);
    row("ignore VSET1?", I, 1, "VSET1?", num, 0, "", 0, 2);
    row("ignore STATUS?", I, 9, "STATUS?", status, 0, "", 0, 10);
}

void tst_ReplyParser::parse() {
    QFETCH(ReplyInput, in);
    QFETCH(QString, effects);
    QFETCH(int, field);
    QFETCH(int, counter);
    QFETCH(int, mode);
    const ReplyOutcome out = ReplyParser(in);
    QCOMPARE(names(out.effects), effects);
    // The field matters only to ShowField.
    const bool shown = std::count(out.effects.begin(), out.effects.end(), ReplyEffect::ShowField);
    QCOMPARE(shown ? out.field : 0, field);
    QCOMPARE(int(out.counter), counter);
    QCOMPARE(int(out.mode), mode);
}

void tst_ReplyParser::text_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("overlong");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<QString>("digits");  // "coupling/output"; empty: not a status, not checked
    QTest::newRow("LF CR") << QByteArray("10.00\n\r") << false << "10.00" << true << "";
    QTest::newRow("CR") << QByteArray("10.00\r") << false << "10.00" << true << "";
    QTest::newRow("many") << QByteArray("10.00\r\n\r\n\r") << false << "10.00" << true << "";
    QTest::newRow("inner LF kept") << QByteArray("1\n2\r") << false << "1\n2" << true << "";
    QTest::newRow("cut before CR") << QByteArray("10.0") << false << "10.0" << false << "";
    QTest::newRow("only CR") << QByteArray("\r") << false << "" << true << "";
    QTest::newRow("status indep off")
        << QByteArray("1101001000000\n\r") << false << "1101001000000" << true << "01/0";
    QTest::newRow("status track on")
        << QByteArray("1101101000001\r") << false << "1101101000001" << true << "11/1";
    QTest::newRow("status cut short") << QByteArray("11\n\r") << false << "11" << true << "/";
    QTest::newRow("status short of byte 12")
        << QByteArray("110100100000\r") << false << "110100100000" << true << "/";
    QTest::newRow("status, its CR never came")
        << QByteArray("1101001000001") << false << "1101001000001" << false << "/";
    QTest::newRow("status after the last reply's LF")
        << QByteArray("\n1101001000001\r") << false << "1101001000001" << true << "01/1";
    QTest::newRow("number after the last reply's LF")
        << QByteArray("\n12.50\r") << false << "12.50" << true << "";
    QTest::newRow("overlong") << QByteArray() << true << "" << false << "/";
    QTest::newRow("overlong, bytes kept anyway")
        << QByteArray("1101101000001\r") << true << "" << false << "/";
}

void tst_ReplyParser::text() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, overlong);
    QFETCH(QString, text);
    QFETCH(bool, readable);
    QFETCH(QString, digits);
    ReplyInput in;
    in.query = QStringLiteral("STATUS?");
    in.bytes = bytes;
    in.overlong = overlong;
    const ReplyOutcome out = ReplyParser(in);
    QCOMPARE(out.text, text);
    QCOMPARE(out.readable, readable);
    if (!digits.isEmpty())
        QCOMPARE(out.couplingDigits + QLatin1Char('/') + out.outputDigit, digits);
    if (!overlong) QCOMPARE(ExtractReplyText(bytes), text);
}

void tst_ReplyParser::coupling_data() {
    QTest::addColumn<QString>("digits");
    QTest::addColumn<int>("coupling");
    QTest::newRow("01 indep") << "01" << 1;
    QTest::newRow("10 parallel") << "10" << 2;
    QTest::newRow("11 track") << "11" << 3;
    QTest::newRow("00 other") << "00" << 0;
    QTest::newRow("garbled") << "x0" << -1;
    QTest::newRow("missing") << "" << -1;
    QTest::newRow("terminator") << "\r" << -1;
}

void tst_ReplyParser::coupling() {
    QFETCH(QString, digits);
    QFETCH(int, coupling);
    QCOMPARE(couplingOfDigits(digits), coupling);
}

QTEST_APPLESS_MAIN(tst_ReplyParser)
#include "tst_reply_parser.moc"

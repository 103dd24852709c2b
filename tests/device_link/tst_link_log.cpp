// The logging categories: silent unless enabled, and with the link's debug
// output on, the frames sent and the replies matched to them are in the log.
#include "control_panel/panel_log.h"
#include "device_link/link_log.h"
#include "recorder/recorder_log.h"
#include "remote/remote_log.h"
#include "serial/serial_log.h"
#include "sim_program.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

using namespace lqs;

namespace {

struct Logged {
    QtMsgType type;
    QString category;
    QString text;
};

// Takes every message of the lqs.* categories while it lives; the rest go on
// to the handler before it. Messages come from the poll worker too.
class Capture {
public:
    Capture() {
        s_self = this;
        m_previous = qInstallMessageHandler(&Capture::handle);
    }
    ~Capture() {
        qInstallMessageHandler(m_previous);
        s_self = nullptr;
    }
    std::vector<Logged> logged() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_logged;
    }
    // The index of the first message from `from` on of category "lqs.link"
    // at debug level that starts with text, -1 when none.
    int linkDebug(const QString& text, int from = 0) const {
        const std::vector<Logged> all = logged();
        for (std::size_t i = std::size_t(std::max(from, 0)); i < all.size(); ++i) {
            if (all[i].type == QtDebugMsg && all[i].category == QLatin1String("lqs.link") &&
                all[i].text.startsWith(text))
                return int(i);
        }
        return -1;
    }
    QString dump() const {
        QStringList lines;
        for (const Logged& l : logged()) lines << l.category + QStringLiteral(": ") + l.text;
        return lines.join(QLatin1Char('\n'));
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        Capture* self = s_self;
        if (self && context.category && std::strncmp(context.category, "lqs.", 4) == 0) {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_logged.push_back({type, QString::fromLatin1(context.category), text});
            return;
        }
        if (self && self->m_previous) self->m_previous(type, context, text);
    }

    static inline Capture* s_self = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable std::mutex m_mutex;
    std::vector<Logged> m_logged;
};

}  // namespace

class tst_LinkLog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { QLoggingCategory::setFilterRules(QString()); }
    void categoriesOffBelowWarning();
    void nothingLoggedByDefault();
    void framesAndRepliesAtDebug();
};

void tst_LinkLog::categoriesOffBelowWarning() {
    const QLoggingCategory* categories[] = {&lqsSerial(), &lqsLink(), &lqsRecorder(), &lqsRemote(),
                                            &lqsUi()};
    QStringList names;
    for (const QLoggingCategory* c : categories) {
        names << QString::fromLatin1(c->categoryName());
        QVERIFY2(!c->isDebugEnabled(), c->categoryName());
        QVERIFY2(!c->isInfoEnabled(), c->categoryName());
        QVERIFY2(c->isWarningEnabled(), c->categoryName());
    }
    QCOMPARE(names,
             QStringList({"lqs.serial", "lqs.link", "lqs.recorder", "lqs.remote", "lqs.ui"}));
}

// Port opened, linked, polling, port closed: not a word without rules.
void tst_LinkLog::nothingLoggedByDefault() {
    Capture capture;
    {
        test::SimProgram f;
        f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
        f.linkStart();
        // The start-up queries, OUT1, then poll queries from the worker.
        QTRY_VERIFY_WITH_TIMEOUT(test::frames(f.sim).size() > test::kStartupQueries.size() + 2,
                                 15000);
    }
    QVERIFY2(capture.logged().empty(), qPrintable(capture.dump()));
}

void tst_LinkLog::framesAndRepliesAtDebug() {
    QLoggingCategory::setFilterRules(QStringLiteral("lqs.link.debug=true"));
    QVERIFY(lqsLink().isDebugEnabled());
    QVERIFY(!lqsSerial().isInfoEnabled());
    Capture capture;
    {
        test::SimProgram f;
        f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
        f.linkStart();
        const auto pollReply = [&] {
            const int poll = capture.linkDebug(QStringLiteral("sent VOUT1? (poll query)"));
            return poll >= 0 &&
                   capture.linkDebug(QStringLiteral("reply to VOUT1? -> "), poll) > poll;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(pollReply(), qPrintable(capture.dump()), 15000);
    }
    const int sent = capture.linkDebug(QStringLiteral("sent *IDN?"));
    const int reply = capture.linkDebug(QStringLiteral("reply to *IDN? -> \"LQS-6200B V2.1\""));
    QVERIFY2(sent >= 0, qPrintable(capture.dump()));
    QVERIFY2(reply > sent, qPrintable(capture.dump()));
    QVERIFY2(capture.linkDebug(QStringLiteral("sent VOUT1? (poll query)")) > reply,
             qPrintable(capture.dump()));
    // The rule enables one category at one level.
    for (const Logged& l : capture.logged()) {
        QCOMPARE(l.category, QStringLiteral("lqs.link"));
        QCOMPARE(l.type, QtDebugMsg);
    }
}

int main(int argc, char** argv) {
    // The defaults are under test: no rules from the environment or the user's files.
    qunsetenv("QT_LOGGING_RULES");
    qunsetenv("QT_LOGGING_CONF");
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    tst_LinkLog tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_link_log.moc"

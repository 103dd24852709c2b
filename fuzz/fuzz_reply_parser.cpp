// libFuzzer target: arbitrary received blocks through the device link's
// receive handler, in every parser mode, with the link's port closed. One
// link, view and dialog serve every input; their state is reset between.
//
// Input: byte 0 picks the parser mode, byte 1 the last poll query; then
// blocks, each a length byte and that many bytes. A length byte of 255 takes
// the next byte as well (255 + n, at most 300), so blocks longer than the
// 256-byte receive buffer occur.
#include "comm.h"
#include "device_link.h"
#include "error_box.h"
#include "fake_link_view.h"
#include "link_state.h"
#include "querying_dialog.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace lqs;

constexpr std::size_t kMaxBlock = 300;
constexpr int kThreadDeadlineMs = 5000;

const std::uint8_t kModes[] = {Parse::Startup, Parse::Polling, Parse::Recall, Parse::Ignore};
const char* const kPollQueries[] = {"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "VSET1?",
                                    "VSET2?", "ISET1?", "ISET2?", "STATUS?"};

struct Harness {
    test::FakeLinkView view;
    TComm comm;  // never opened: every send is refused
    TQuerying querying;
    DeviceLink link{&comm, &view};
    long errorBoxes = 0;
    long sendsRefused = 0;

    Harness() {
        link.attachDialogs(&querying, nullptr);
        // No pauses at all: every wait returns at once, so an input costs
        // only its parsing (a held stepper is never simulated here).
        LinkTimings t;
        for (int* ms : {&t.replyGraceMs, &t.fullQueryPasses, &t.pollStartMs, &t.pollPasses, &t.pollEndMs,
                        &t.couplingWaitMs, &t.outputOffWaitMs, &t.saveWaitMs, &t.statusRetryWaitMs,
                        &t.countdownStepMs, &t.recallStopWaitMs, &t.recallPasses}) {
            *ms = 0;
        }
        link.setTimings(t);
        link.ShowSendFailed = [this] { ++sendsRefused; };
        // A modal box would wait for a click that never comes.
        setErrorBoxHook([this](QWidget*, const QString&) { ++errorBoxes; });
    }
};

// Made once and never destroyed: libFuzzer ends the process itself, and the
// widgets must not outlive the application object.
Harness& harness() {
    static int argc = 1;
    static char name[] = "fuzz_reply_parser";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    static Harness* h = new Harness;
    (void)app;
    return *h;
}

// Stops polling and lets every started poll thread end, so that no thread
// touches the link state while the next input resets it.
void settle(DeviceLink& link) {
    LinkState& s = linkState();
    s.PollingEnabled = 0;
    s.PendingOperation = Op::None;
    if (link.pollThreadsRunning() > 0) {
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (link.pollThreadsRunning() == 0) loop.quit();
        });
        check.start(1);
        QTimer::singleShot(kThreadDeadlineMs, &loop, &QEventLoop::quit);
        loop.exec();
        if (link.pollThreadsRunning() > 0) {
            std::fprintf(stderr, "poll thread still running %d ms after polling stopped\n",
                         kThreadDeadlineMs);
            std::abort();
        }
    }
    // Queued work from the threads (the send-failed box, a lost-link countdown).
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace

// fontconfig keeps what it loads with the first font for the life of the
// process; the same entry as tests/lsan.supp, so the target runs alone too.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so.1\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness& h = harness();
    LinkState& s = linkState();
    s.resetForTests();
    h.link.resetForTests();
    h.view.fields.fill(QString());
    h.view.couplingSelections.clear();  // grows with every applied status otherwise
    h.querying.hide();

    std::size_t at = 0;
    if (at < size) s.ParserMode = kModes[data[at++] % 4];
    if (at < size) s.setLastQuery(QString::fromLatin1(kPollQueries[data[at++] % 9]));
    while (at < size) {
        std::size_t length = data[at++];
        if (length == 255 && at < size) length = std::min<std::size_t>(255 + data[at++], kMaxBlock);
        length = std::min(length, size - at);
        // A block of its own, so that reading past its end is caught.
        const std::vector<char> block(data + at, data + at + length);
        at += length;
        h.link.comm1ReceiveData(block.data(), std::uint16_t(block.size()));
    }
    settle(h.link);
    return 0;
}

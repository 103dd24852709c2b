#include "control_panel/end_signals.h"

#include "control_panel/main_window.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace lqs {

namespace {

int g_wake[2] = {-1, -1};

extern "C" void onEndSignal(int signo) {
    const int saved = errno;  // the interrupted code may be about to read it
    const unsigned char b = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(g_wake[1], &b, 1);  // a full pipe already wakes
    errno = saved;
}

}  // namespace

void endOnSignals(TForm1* form) {
    auto saveQuietly = [form] { form->saveRecordingQuietly(); };
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, form,
                     [saveQuietly](QSessionManager&) { saveQuietly(); });
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, form, saveQuietly);

    if (g_wake[0] < 0 && ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("Cannot watch for signals to end");
        return;
    }
    auto* notifier = new QSocketNotifier(g_wake[0], QSocketNotifier::Read, form);
    QObject::connect(notifier, &QSocketNotifier::activated, form, [form] {
        unsigned char drained[64];
        while (::read(g_wake[0], drained, sizeof drained) > 0) {
        }
        form->endOnRequest();
    });
    struct sigaction sa {};
    sa.sa_handler = onEndSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signo, &sa, nullptr);
}

}  // namespace lqs

#include "common/error_box.h"
#include "control_panel/app_windows.h"
#include "control_panel/bench_settings.h"
#include "control_panel/end_signals.h"
#include "control_panel/main_window.h"
#include "control_panel/remote_control.h"
#include "device_link/model_profile.h"
#include "remote/listen_address.h"
#include "remote/scpi_server.h"
#include "serial/port_dialog.h"
#include "sim_link.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>

namespace {

struct Options {
    QString port;
    bool fastReadings = false;
    bool noSettings = false;
    bool remote = false;
    int model = 0;  // none given
    lqs::ListenAddress listen;
    lqs::AllowList allow;
};

// Qt's own options (-style Fusion, --platform=offscreen, -reverse …) are
// for QApplication, which takes them out of argv itself; left out here so
// the parser does not refuse them.
QStringList withoutQtOptions(const QStringList& args) {
    static const QStringList withValue = {
        QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
        QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
        QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
        QStringLiteral("qwindowtitle"),    QStringLiteral("session"),
        QStringLiteral("display"),         QStringLiteral("style"),
        QStringLiteral("stylesheet"),      QStringLiteral("qmljsdebugger")};
    static const QStringList flags = {QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                      QStringLiteral("nograb"), QStringLiteral("dograb")};
    QStringList kept;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (i == 0 || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("--")) {
            kept << arg;
            continue;
        }
        QString name = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1);
        const bool joined = name.contains(QLatin1Char('='));
        name = name.section(QLatin1Char('='), 0, 0);
        if (flags.contains(name)) continue;
        if (withValue.contains(name)) {
            if (!joined) ++i;  // its value follows
            continue;
        }
        kept << arg;
    }
    return kept;
}

// Read before any window exists, so --help and --version answer on the
// terminal even where no display is.
int readOptions(int argc, char* argv[], Options& options) {
    QStringList args;
    for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    args = withoutQtOptions(args);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Controls an LQS-6200A, LQS-6200B or LQS-6500B power supply."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the program's version."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Open the serial port PATH at start, as if picked in the port dialog."),
        QStringLiteral("PATH"));
    const QCommandLineOption remote(
        QStringLiteral("remote"),
        QStringLiteral(
            "Start the SCPI server on PORT; on the loopback addresses only unless ADDRESS is given "
            "(0.0.0.0 for every address)."),
        QStringLiteral("[ADDRESS:]PORT"));
    const QCommandLineOption allow(
        QStringLiteral("allow"),
        QStringLiteral("With --remote on other addresses, let clients connect only from these "
                       "addresses and networks (and this computer), e.g. 192.168.1.0/24,10.0.0.7."),
        QStringLiteral("LIST"));
    const QCommandLineOption fast(
        QStringLiteral("fast-readings"),
        QStringLiteral("Start with Fast Readings ticked: while the output is on, the measured "
                       "values are asked one after another as fast as the instrument answers."));
    const QCommandLineOption model(
        QStringLiteral("model"),
        QStringLiteral("Start as the model NAME (LQS-6200A, LQS-6200B or LQS-6500B) until a link "
                       "reads an identity that names the instrument's model."),
        QStringLiteral("NAME"));
    const QCommandLineOption noSettings(
        QStringLiteral("no-settings"),
        QStringLiteral("Start from the defaults, without the port, model, recorder setup and "
                       "window place remembered from the last run, and remember nothing of "
                       "this one."));
    parser.addOptions({help, version, port, remote, allow, fast, model, noSettings});
    if (!parser.parse(args)) {
        std::fprintf(stderr, "%s\nTry lqs-control --help.\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help)) {
        // No application object yet to name the program.
        std::fputs(qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                        QStringLiteral("lqs-control"))),
                   stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("lqs-control %s\n", LQS_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "Unexpected argument: %s\n",
                     qPrintable(parser.positionalArguments().first()));
        return 2;
    }
    options.port = parser.value(port);
    options.fastReadings = parser.isSet(fast);
    options.noSettings = parser.isSet(noSettings);
    if (parser.isSet(remote)) {
        QString why;
        if (!lqs::parseListenAddress(parser.value(remote), &options.listen, &why)) {
            std::fprintf(stderr, "--remote: %s\n", qPrintable(why));
            return 2;
        }
        options.remote = true;
    }
    if (parser.isSet(model)) {
        options.model = lqs::modelNamed(parser.value(model));
        if (options.model == 0) {
            std::fprintf(stderr, "--model: \"%s\" is not LQS-6200A, LQS-6200B or LQS-6500B\n",
                         qPrintable(parser.value(model)));
            return 2;
        }
    }
    if (parser.isSet(allow)) {
        QString why;
        if (!lqs::parseAllowList(parser.value(allow), &options.allow, &why)) {
            std::fprintf(stderr, "--allow: %s\n", qPrintable(why));
            return 2;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char* argv[]) {
    Options options;
    if (const int rc = readOptions(argc, argv, options); rc >= 0) return rc;
    QApplication app(argc, argv);
    QApplication::setApplicationName(lqs::programTitle());
    // Closing the main window ends the program, whatever dialogs it owns.
    QApplication::setQuitOnLastWindowClosed(false);
    // The simulator's links are offered after the machine's own ports, so it
    // can stand in for an instrument without typing a path.
    lqs::PortListSources ports;
    ports.linkDirectories.append({QString::fromStdString(lqs::sim::linkDirectory()),
                                  QStringLiteral("simulated instrument")});
    lqs::TForm1* form1 = lqs::createWindows(ports);
    QObject::connect(form1, &lqs::TForm1::closed, &app, &QApplication::quit, Qt::QueuedConnection);
    lqs::endOnSignals(form1);
    // Before the command line's options, which win over what is remembered.
    if (!options.noSettings) lqs::keepBenchSettings(form1);
    if (options.remote) {
        QString why;
        form1->remote()->server()->setAllowList(options.allow);
        if (!form1->remote()->start(options.listen.address, options.listen.port, &why)) {
            std::fprintf(stderr, "--remote: %s\n", qPrintable(why));
            delete form1;
            return 1;
        }
        // Said on the terminal, so a script that asked for port 0 learns which.
        std::printf("SCPI server listening on %s\n",
                    qPrintable(form1->remote()->server()->listeningText()));
        std::fflush(stdout);
    }
    if (options.fastReadings) form1->setFastReadings(true);
    form1->show();
    // After show, which starts the window on the first model.
    if (options.model != 0) form1->selectModel(options.model);
    // After the window is up, so an error box has a window to stand over.
    if (!options.port.isEmpty()) {
        QTimer::singleShot(
            0, form1, [form1, path = options.port] { form1->windows().Form3->openPort(path); });
    }
    const int rc = app.exec();
    delete form1;
    return rc;
}

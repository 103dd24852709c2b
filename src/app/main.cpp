#include "app_windows.h"
#include "end_signals.h"
#include "error_box.h"
#include "sim_link.h"

#include <QApplication>

int main(int argc, char* argv[]) {
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
    form1->show();
    const int rc = app.exec();
    delete form1;
    return rc;
}

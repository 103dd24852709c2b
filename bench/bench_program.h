// The real program for a benchmark: its port dialog offers the simulator's
// pseudo-terminal, which is opened as an operator opens it, and the series
// is the LQS-6200B the simulator answers as.
#pragma once

#include "control_panel/app_windows.h"
#include "control_panel/main_window.h"
#include "serial/port_dialog.h"

#include <QAction>
#include <QFile>
#include <QObject>
#include <QPushButton>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace lqs::bench {

// A control by its object name; the main window's names are unique in it.
template <typename T>
T* control(const QObject* root, const char* name) {
    T* found = root->findChild<T*>(QString::fromLatin1(name));
    if (!found) qFatal("no control named %s", name);
    return found;
}

// dir holds the port's link and must outlive the program.
inline std::unique_ptr<TForm1> programOn(const QString& slave, const QTemporaryDir& dir) {
    QFile::link(slave, dir.filePath(QStringLiteral("ttyBench")));
    PortListSources ports;
    ports.sysClassTty = ports.dev = dir.filePath(QStringLiteral("none"));
    ports.linkDirectories = {{dir.path(), QStringLiteral("simulated instrument")}};
    std::unique_ptr<TForm1> form(createWindows(ports));
    form->Beep = [](int, int) {};
    form->ConfirmReset = [] { return true; };
    form->show();
    control<QAction>(form.get(), "ToolButton3")->trigger();
    control<QPushButton>(form->windows().Form3, "Button1")->click();
    control<QAction>(form.get(), "LQS6200B1")->trigger();
    return form;
}

}  // namespace lqs::bench

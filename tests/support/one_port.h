// A port list for tests that offers one device and reads no system ports.
#pragma once

#include "serial/port_list.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <string>

namespace lqs::test {

// A port list that offers only one device, as the simulator's link ttyLQS0
// inside dir; no system ports are read.
inline PortListSources onePortSources(const QString& dir, const std::string& device) {
    QDir(dir).mkpath(QStringLiteral("sim"));
    QFile::link(QString::fromStdString(device), dir + QStringLiteral("/sim/ttyLQS0"));
    PortListSources sources;
    sources.sysClassTty = dir + QStringLiteral("/none");
    sources.dev = dir + QStringLiteral("/none");
    sources.linkDirectories = {
        {dir + QStringLiteral("/sim"), QStringLiteral("simulated instrument")}};
    return sources;
}

}  // namespace lqs::test

// The bench as the operator left it: the port last opened, the model, Fast
// Readings, the recorder's setup, the remote server's port, scope and allowed
// addresses and
// where the main and readings windows stood. Remembered choices only prefill: nothing read
// back opens a port, links, switches an output on or starts the server.
#pragma once

#include "recorder/recorder_state.h"
#include "remote/listen_address.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QSettings;

namespace lqs {

class TForm1;

struct BenchSettings {
    QString port;   // empty: none opened yet
    int model = 0;  // 0: none chosen
    std::optional<bool> fastReadings;
    std::optional<SetupChoices> recorder;
    QByteArray mainGeometry;
    QByteArray readingsGeometry;
    quint16 remotePort = 0;  // 0: the server never started
    bool remoteAllowOthers = false;
    AllowList remoteAllow;  // empty: none remembered, or every address
};

// A value that is missing or makes no sense (an unknown model, a slice the
// recorder does not offer) is left out, as if never written.
BenchSettings loadBenchSettings(QSettings& settings);
void saveBenchSettings(QSettings& settings, const BenchSettings& bench);

// The user's settings file (an INI file in the configuration folder).
QString benchSettingsPath();

// Applies what the user's settings file remembers to a window just made, and
// keeps the file up to date with the operator's choices from then on. Called
// before the command line's options are applied, so those win.
void keepBenchSettings(TForm1* form);

}  // namespace lqs

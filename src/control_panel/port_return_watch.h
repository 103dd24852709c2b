// After a hang-up, whether the instrument's port is back. Only the same
// instrument is offered: its USB adapter by serial number, under any node; a
// node that went and came back; a link made anew (a simulator started
// again). A bare pseudo-terminal is never offered: its number goes to
// whichever program opens a terminal next. Nothing is opened to find out.
#pragma once

#include "serial/port_list.h"

#include <QObject>

class QFileSystemWatcher;

namespace lqs {

// The decision alone, from what the lost port's path showed at the loss and
// shows now.
class PortReturn {
public:
    explicit PortReturn(const PortSight& atLoss) : m_atLoss(atLoss), m_wasGone(!atLoss.exists) {}
    bool back(const PortSight& now);

private:
    PortSight m_atLoss;
    bool m_wasGone;
};

class PortReturnWatch : public QObject {
    Q_OBJECT
public:
    // adapter: the linked port's USB identity, or empty.
    PortReturnWatch(const QString& lostPort, const QString& adapter, const PortListSources& sources,
                    QObject* parent = nullptr);

    // Looks now, as a change in the watched folders does.
    void look();

Q_SIGNALS:
    void back(const QString& port);

private:
    QString m_lostPort;
    QString m_adapter;
    PortListSources m_sources;
    PortReturn m_node;
    bool m_adapterWasGone = false;
    QFileSystemWatcher* m_watch = nullptr;
};

}  // namespace lqs

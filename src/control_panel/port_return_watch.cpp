#include "control_panel/port_return_watch.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

namespace lqs {

bool PortReturn::back(const PortSight& now) {
    // A link is the simulator's: back when made anew and leading somewhere.
    // The old link still standing may lead to an unrelated terminal that
    // took its target's number.
    if (m_atLoss.link) return now.exists && now.self != m_atLoss.self;
    if (m_atLoss.pseudoTerminal || now.pseudoTerminal) return false;
    if (!now.exists) {
        m_wasGone = true;
        return false;
    }
    return m_wasGone || now.self != m_atLoss.self;
}

PortReturnWatch::PortReturnWatch(const QString& lostPort, const QString& adapter,
                                 const PortListSources& sources, QObject* parent)
    : QObject(parent),
      m_lostPort(lostPort),
      m_adapter(adapter),
      m_sources(sources),
      m_node(lookAtPort(lostPort)),
      m_adapterWasGone(portWithUsbIdentity(adapter, sources).isEmpty()),
      m_watch(new QFileSystemWatcher(this)) {
    m_watch->addPath(QFileInfo(lostPort).absolutePath());
    if (!adapter.isEmpty()) m_watch->addPath(sources.dev);
    connect(m_watch, &QFileSystemWatcher::directoryChanged, this, [this] {
        look();
        // The node can appear before the system has its adapter's attributes.
        QTimer::singleShot(500, this, &PortReturnWatch::look);
    });
}

void PortReturnWatch::look() {
    if (!m_adapter.isEmpty()) {
        // Known by its serial number: another adapter on the old node is not it.
        const QString port = portWithUsbIdentity(m_adapter, m_sources);
        if (port.isEmpty()) m_adapterWasGone = true;
        if (!port.isEmpty() && m_adapterWasGone) Q_EMIT back(port);
        return;
    }
    if (m_node.back(lookAtPort(m_lostPort))) Q_EMIT back(m_lostPort);
}

}  // namespace lqs

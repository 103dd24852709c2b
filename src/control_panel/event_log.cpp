#include "control_panel/event_log.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace lqs {

namespace {
QString timeText(const QDateTime& at) {
    return at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}
QString line(const Event& e) {
    return timeText(e.at) + QLatin1Char('\t') + e.what + QLatin1Char('\t') + eventSourceName(e.who);
}
}  // namespace

QString eventSourceName(EventSource who) {
    switch (who) {
        case EventSource::Script:
            return QStringLiteral("script");
        case EventSource::Instrument:
            return QStringLiteral("instrument");
        case EventSource::Operator:
            break;
    }
    return QStringLiteral("operator");
}

void EventLog::add(const QDateTime& at, const QString& what, EventSource who) {
    if (what.isEmpty()) return;
    if (!m_events.empty() && m_events.back().what == what) return;
    m_events.push_back({at, what, who});
    if (m_events.size() > Capacity) {
        m_events.pop_front();
        Q_EMIT dropped();
    }
    Q_EMIT added(m_events.back());
}

QString EventLog::text() const {
    QString all;
    for (const Event& e : m_events) all += line(e) + QLatin1Char('\n');
    return all;
}

EventsWindow::EventsWindow(EventLog* log, QWidget* parent)
    : QDialog(parent), m_log(log), m_list(new QTreeWidget(this)) {
    setObjectName(QStringLiteral("Events"));
    setWindowTitle(QStringLiteral("Events"));
    m_list->setObjectName(QStringLiteral("EventList"));
    m_list->setHeaderLabels(
        {QStringLiteral("Time"), QStringLiteral("What"), QStringLiteral("From")});
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setWordWrap(true);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_list->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    m_list->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    auto* copySelection = new QAction(m_list);
    copySelection->setShortcut(QKeySequence::Copy);
    copySelection->setShortcutContext(Qt::WidgetShortcut);
    m_list->addAction(copySelection);
    connect(copySelection, &QAction::triggered, this, &EventsWindow::copySelected);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* copy = buttons->addButton(QStringLiteral("Copy"), QDialogButtonBox::ActionRole);
    copy->setObjectName(QStringLiteral("CopyEvents"));
    copy->setToolTip(QStringLiteral("Copies every event, one a line, tab-separated"));
    connect(copy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(m_log->text()); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    layout->addWidget(buttons);
    resize(720, 320);

    for (const Event& e : m_log->events()) append(e);
    connect(m_log, &EventLog::added, this, &EventsWindow::append);
    connect(m_log, &EventLog::dropped, this, [this] { delete m_list->takeTopLevelItem(0); });
}

void EventsWindow::append(const Event& event) {
    auto* item = new QTreeWidgetItem({timeText(event.at), event.what, eventSourceName(event.who)});
    item->setToolTip(1, event.what);
    m_list->addTopLevelItem(item);
    m_list->scrollToItem(item);
}

void EventsWindow::copySelected() const {
    QStringList lines;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = m_list->topLevelItem(i);
        if (item->isSelected())
            lines << item->text(0) + QLatin1Char('\t') + item->text(1) + QLatin1Char('\t') +
                         item->text(2);
    }
    if (!lines.isEmpty())
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

}  // namespace lqs

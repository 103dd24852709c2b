// The notes the window gives, kept with their time and who caused them, so a
// note cut short in the status bar, or gone by the next one, can be read and
// copied whole (View > Events).
#pragma once

#include <QDateTime>
#include <QDialog>
#include <QObject>
#include <QString>

#include <deque>

class QTreeWidget;

namespace lqs {

enum class EventSource { Operator, Script, Instrument };

QString eventSourceName(EventSource who);

struct Event {
    QDateTime at;
    QString what;
    EventSource who = EventSource::Operator;
};

class EventLog : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t Capacity = 1000;

    explicit EventLog(QObject* parent = nullptr) : QObject(parent) {}

    // The same note again, right after itself, is one event: the first's.
    void add(const QDateTime& at, const QString& what, EventSource who);
    const std::deque<Event>& events() const { return m_events; }
    // One line a note, tab-separated: time, what, from whom.
    QString text() const;

Q_SIGNALS:
    void added(const lqs::Event& event);
    void dropped();  // the oldest went to make room

private:
    std::deque<Event> m_events;
};

// Newest last; "Copy" takes every line, Ctrl+C the selected ones.
class EventsWindow : public QDialog {
    Q_OBJECT
public:
    explicit EventsWindow(EventLog* log, QWidget* parent = nullptr);

private:
    void append(const Event& event);
    void copySelected() const;

    EventLog* m_log;
    QTreeWidget* m_list;
};

}  // namespace lqs

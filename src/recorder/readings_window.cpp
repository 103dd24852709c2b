#include "recorder/readings_window.h"

#include "recorder/readings_plot.h"

#include "common/error_box.h"

#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

#include <limits>

namespace lqs {

ReadingsWindow::ReadingsWindow(const ReadingLog* log, QWidget* parent)
    : QWidget(parent), m_log(log) {
    setWindowTitle(tr("Readings"));
    m_plot = new ReadingsPlot(log, this);
    m_plot->setObjectName(QStringLiteral("plot"));
    m_plot->setAccessibleName(tr("Readings plot"));
    m_plot->setToolTip(
        tr("Wheel: zoom in time. Ctrl+wheel: zoom the values. Drag: pan. Right drag or "
           "Shift+drag: zoom to a rectangle. Click: place cursor A, then B."));
    m_fit = new QPushButton(tr("Fit"), this);
    m_fit->setObjectName(QStringLiteral("plotFit"));
    m_fit->setToolTip(tr("Show every kept reading (Home)"));
    m_follow = new QPushButton(tr("Follow"), this);
    m_follow->setObjectName(QStringLiteral("plotFollow"));
    m_follow->setCheckable(true);
    m_follow->setChecked(m_plot->follows());
    m_follow->setToolTip(tr("Keep the newest readings in sight as they come"));
    m_export = new QPushButton(tr("Export Between Cursors…"), this);
    m_export->setObjectName(QStringLiteral("exportBetweenCursors"));
    m_export->setEnabled(false);
    m_dropNotice = new QLabel(this);
    m_dropNotice->setObjectName(QStringLiteral("dropNotice"));
    m_dropNotice->hide();
    m_readout = new QLabel(this);
    m_readout->setObjectName(QStringLiteral("readout"));
    m_readout->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_readout->setToolTip(
        tr("Means are weighted by time: each reading holds until the next one. Charge and "
           "energy add up the held current and voltage between the cursors."));
    m_readout->setText(tr("Click the plot to place cursor A, then B."));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_fit);
    buttons->addWidget(m_follow);
    buttons->addWidget(m_export);
    buttons->addStretch(1);
    buttons->addWidget(m_dropNotice);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(m_plot, 1);
    layout->addWidget(m_readout);

    connect(m_fit, &QPushButton::clicked, m_plot, &ReadingsPlot::fit);
    connect(m_follow, &QPushButton::toggled, m_plot, &ReadingsPlot::setFollow);
    connect(m_plot, &ReadingsPlot::followChanged, m_follow, &QPushButton::setChecked);
    connect(m_plot, &ReadingsPlot::cursorsChanged, this, &ReadingsWindow::updateReadout);
    connect(m_export, &QPushButton::clicked, this, &ReadingsWindow::exportBetweenCursors);

    // Readings come up to ~35 a second; the plot is redrawn for them at most
    // every kRepaintMs.
    m_repaint.setSingleShot(true);
    m_repaint.setInterval(kRepaintMs);
    connect(&m_repaint, &QTimer::timeout, this, &ReadingsWindow::refresh);

    chooseExportPath = [this] {
        QString path = QFileDialog::getSaveFileName(this, tr("Export Readings Between Cursors"),
                                                    QString(), tr("Readings (*.csv)"));
        if (!path.isEmpty() && !path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
            path += QLatin1String(".csv");
        return path;
    };
    resize(1000, 640);
}

void ReadingsWindow::readingsAdded() {
    if (!m_repaint.isActive()) m_repaint.start();
}

void ReadingsWindow::refresh() {
    m_plot->readingsAdded();
    if (m_log->dropped() > 0 && !m_log->isEmpty()) {
        const QString before = m_log->started()
                                   .addMSecs(m_log->firstMs())
                                   .toLocalTime()
                                   .toString(QStringLiteral("HH:mm:ss"));
        m_dropNotice->setText(
            tr("Readings before %1 were dropped to keep memory bounded.").arg(before));
        m_dropNotice->show();
    } else {
        m_dropNotice->hide();
    }
    // Only readings up to the later cursor, or dropped ones, change the figures;
    // a long span takes tens of ms to add up.
    const auto a = m_plot->cursorA(), b = m_plot->cursorB();
    if (a && b && (std::max(*a, *b) >= m_readoutLastMs || m_log->dropped() != m_readoutDropped))
        updateReadout();
}

namespace {

QString duration(qint64 ms) {
    const qint64 s = ms / 1000;
    const QString frac = QStringLiteral(".%1").arg(ms % 1000, 3, 10, QLatin1Char('0'));
    if (s < 60) return QString::number(s) + frac + QStringLiteral(" s");
    return QStringLiteral("%1:%2:%3")
               .arg(s / 3600)
               .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
               .arg(s % 60, 2, 10, QLatin1Char('0')) +
           frac;
}

QString signedNumber(double v, int decimals) {
    const QString text = QString::number(v, 'f', decimals);
    return v >= 0 && !text.startsWith(QLatin1Char('-')) ? QStringLiteral("+") + text : text;
}

}  // namespace

QString ReadingsWindow::readoutText(const ReadingLog& log, qint64 a, qint64 b) {
    const qint64 t0 = std::min(a, b), t1 = std::max(a, b);
    QString html = QStringLiteral("<b>Δt %1</b>").arg(duration(t1 - t0));
    const QDateTime started = log.started();
    if (started.isValid()) {
        const QString format = QStringLiteral("HH:mm:ss.zzz");
        html += QStringLiteral(" (A %1, B %2)")
                    .arg(started.addMSecs(a).toLocalTime().toString(format),
                         started.addMSecs(b).toLocalTime().toString(format));
    }
    html += QStringLiteral(
        "<table cellspacing=\"0\" cellpadding=\"4\"><tr><th></th><th align=\"right\">Mean</th>"
        "<th align=\"right\">Min</th><th align=\"right\">Max</th><th align=\"right\">Change</th>"
        "<th align=\"right\">Readings</th><th align=\"right\">Charge</th>"
        "<th align=\"right\">Energy</th></tr>");
    auto cell = [](const QString& text) {
        return QStringLiteral("<td align=\"right\">&nbsp;%1</td>").arg(text);
    };
    const QString none = QStringLiteral("–");
    for (int channel = 1; channel <= 2; ++channel) {
        const ChannelStats s = log.stats(channel, t0, t1);
        for (int quantity = 0; quantity < 2; ++quantity) {
            const SeriesStats& q = quantity == 0 ? s.volts : s.amps;
            const QString unit = quantity == 0 ? QStringLiteral(" V") : QStringLiteral(" A");
            const int decimals = quantity == 0 ? 3 : 4;
            html += QStringLiteral("<tr><td>CH%1 %2</td>")
                        .arg(channel)
                        .arg(quantity == 0 ? QStringLiteral("V") : QStringLiteral("I"));
            html += cell(q.held ? QString::number(q.mean, 'f', decimals) + unit : none);
            html += cell(q.count ? QString::number(q.min, 'f', decimals) + unit : none);
            html += cell(q.count ? QString::number(q.max, 'f', decimals) + unit : none);
            html += cell(q.count ? signedNumber(q.change, decimals) + unit : none);
            html += cell(QString::number(q.count));
            if (quantity == 0) {
                html +=
                    cell(s.amps.held ? QString::number(s.ampHours, 'f', 6) + QStringLiteral(" Ah")
                                     : none);
                html += cell(s.amps.held && s.volts.held
                                 ? QString::number(s.wattHours, 'f', 5) + QStringLiteral(" Wh")
                                 : none);
            }
            html += QStringLiteral("</tr>");
        }
    }
    html += QStringLiteral("</table>");
    return html;
}

void ReadingsWindow::updateReadout() {
    const auto a = m_plot->cursorA(), b = m_plot->cursorB();
    m_export->setEnabled(a && b);
    m_readoutLastMs = m_log->isEmpty() ? std::numeric_limits<qint64>::min() : m_log->lastMs();
    m_readoutDropped = m_log->dropped();
    if (a && b)
        m_readout->setText(readoutText(*m_log, *a, *b));
    else
        m_readout->setText(tr("Click the plot to place cursor B."));
}

void ReadingsWindow::exportBetweenCursors() {
    const auto a = m_plot->cursorA(), b = m_plot->cursorB();
    if (!a || !b || !chooseExportPath) return;
    const QString path = chooseExportPath();
    if (path.isEmpty()) return;
    // Written aside and renamed over the path, so a failure leaves no half file.
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    QSaveFile file(path);
    QString reason;
    bool ok = file.open(QIODevice::WriteOnly);
    if (ok) ok = writeReadingsCsv(&file, *m_log, std::min(*a, *b), std::max(*a, *b), &reason);
    if (ok) ok = file.commit();
    QGuiApplication::restoreOverrideCursor();
    if (!ok) {
        if (reason.isEmpty()) reason = file.errorString();
        file.cancelWriting();
        showErrorBox(this, tr("The readings could not be written to %1: %2")
                               .arg(QDir::toNativeSeparators(path), reason));
    }
}

}  // namespace lqs

#include "remote/scpi_error_queue.h"

#include "remote/scpi_parser.h"

namespace lqs {

bool ScpiErrorQueue::push(int code, const QString& detail) {
    if (int(m_errors.size()) < kSize) {
        // A ";" would cut the reply to SYST:ERR? as a client splits it.
        m_errors.push_back({code, QString(detail).replace(QLatin1Char(';'), QLatin1Char(','))});
        return true;
    }
    m_errors.back() = {ScpiError::QueueOverflow, QString()};
    return false;
}

QString ScpiErrorQueue::pop() {
    if (m_errors.empty()) return QStringLiteral("0,\"%1\"").arg(scpiErrorText(ScpiError::None));
    const Queued error = m_errors.front();
    m_errors.pop_front();
    QString text = scpiErrorText(error.code);
    if (!error.detail.isEmpty()) text += QLatin1Char(';') + error.detail;
    // A quote inside a SCPI string is doubled.
    text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QStringLiteral("%1,\"%2\"").arg(error.code).arg(text);
}

}  // namespace lqs

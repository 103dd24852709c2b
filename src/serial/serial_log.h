// The serial layer's logging category, "lqs.serial": opens, closes and line
// errors at info level. Off unless enabled, e.g. QT_LOGGING_RULES="lqs.serial.info=true".
#pragma once

#include <QLoggingCategory>

namespace lqs {
Q_DECLARE_LOGGING_CATEGORY(lqsSerial)
}  // namespace lqs

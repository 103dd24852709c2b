// The recorder's logging category, "lqs.recorder": saves, loads and journal
// recovery at info level. Off unless enabled, e.g. QT_LOGGING_RULES="lqs.recorder.info=true".
#pragma once

#include <QLoggingCategory>

namespace lqs {
Q_DECLARE_LOGGING_CATEGORY(lqsRecorder)
}  // namespace lqs

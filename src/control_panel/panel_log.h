// The windows' logging category, "lqs.ui": the link panel's texts at info
// level. Off unless enabled, e.g. QT_LOGGING_RULES="lqs.ui.info=true".
#pragma once

#include <QLoggingCategory>

namespace lqs {
Q_DECLARE_LOGGING_CATEGORY(lqsUi)
}  // namespace lqs

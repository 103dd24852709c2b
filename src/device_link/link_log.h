// The link's logging category, "lqs.link": frames sent and replies matched
// at debug level. Off unless enabled, e.g. QT_LOGGING_RULES="lqs.link.debug=true".
#pragma once

#include <QLoggingCategory>

namespace lqs {
Q_DECLARE_LOGGING_CATEGORY(lqsLink)
}  // namespace lqs

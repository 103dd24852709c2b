// The remote server's logging category, "lqs.remote": listening, clients
// arriving, leaving and refused, at info level. Off unless enabled, e.g.
// QT_LOGGING_RULES="lqs.remote.info=true".
#pragma once

#include <QLoggingCategory>

namespace lqs {
Q_DECLARE_LOGGING_CATEGORY(lqsRemote)
}  // namespace lqs

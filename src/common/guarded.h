// Runs a user action so that a failure ends in the error box instead of
// unwinding through Qt's event loop, which Qt does not support.
#pragma once

#include "common/convert.h"
#include "common/error_box.h"

#include <QString>

#include <exception>
#include <utility>

class QWidget;

namespace lqs {

// True when f ran to the end; false when it threw and the box was shown.
template <class F>
bool runGuarded(QWidget* parent, F&& f) {
    try {
        std::forward<F>(f)();
        return true;
    } catch (const std::exception& e) {
        showErrorBox(parent, QString::fromUtf8(e.what()));
        return false;
    }
}

}  // namespace lqs

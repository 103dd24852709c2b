// The program's one error box, used wherever a failure is reported to the user.
#pragma once

#include <QString>

#include <functional>

class QMessageBox;
class QWidget;

namespace lqs {

QString programTitle();

// The message as the box shows it: a full stop is added after a final letter
// or digit, so texts raised without one read as sentences.
QString errorBoxText(const QString& message);

// Modal; returns once the user has pressed OK. The box is named "errorBox".
// A detail, when given, is shown under the message as the box's informative text.
void showErrorBox(QWidget* parent, const QString& message, const QString& detail = QString());

// The same box, opened without waiting: for failures that arrive from the
// event loop rather than from the user's own action. Deleted when closed;
// null when the hook took it.
QMessageBox* openErrorBox(QWidget* parent, const QString& message);

// Where the error box goes instead, for harnesses that cannot answer a modal
// box (a fuzzer); an empty function restores the box.
using ErrorBoxHook = std::function<void(QWidget* parent, const QString& text)>;
void setErrorBoxHook(ErrorBoxHook hook);

}  // namespace lqs

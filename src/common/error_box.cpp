#include "common/error_box.h"

#include <QLabel>
#include <QMessageBox>

namespace lqs {

namespace {

bool isMark(char32_t c) {
    switch (QChar::category(c)) {
        case QChar::Mark_NonSpacing:
        case QChar::Mark_SpacingCombining:
        case QChar::Mark_Enclosing:
            return true;
        default:
            return false;
    }
}

// The last code point that is not a combining mark, so a decomposed "é" still
// counts as a letter; 0 when there is none.
char32_t lastBaseCodePoint(const QString& s) {
    qsizetype i = s.size();
    while (i > 0) {
        char32_t c = s.at(i - 1).unicode();
        --i;
        if (QChar::isLowSurrogate(c) && i > 0 && s.at(i - 1).isHighSurrogate()) {
            c = QChar::surrogateToUcs4(s.at(i - 1), s.at(i));
            --i;
        }
        if (!isMark(c)) return c;
    }
    return 0;
}

}  // namespace

QString programTitle() {
    return QStringLiteral("LQS Control");
}

QString errorBoxText(const QString& message) {
    const char32_t last = lastBaseCodePoint(message);
    if (last != 0 && (QChar::isLetter(last) || QChar::isDigit(last)))
        return message + QLatin1Char('.');
    return message;
}

namespace {
ErrorBoxHook& hookSlot() {
    static ErrorBoxHook hook;
    return hook;
}
}  // namespace

void setErrorBoxHook(ErrorBoxHook hook) {
    hookSlot() = std::move(hook);
}

namespace {
QMessageBox* makeErrorBox(QWidget* parent, const QString& message, const QString& detail) {
    auto* box = new QMessageBox(QMessageBox::Critical, programTitle(), errorBoxText(message),
                                QMessageBox::Ok, parent);
    box->setObjectName(QStringLiteral("errorBox"));
    if (!detail.isEmpty()) {
        box->setInformativeText(detail);
        // So a command it gives can be copied.
        if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
            label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    box->setDefaultButton(QMessageBox::Ok);
    box->setEscapeButton(QMessageBox::Ok);
    return box;
}
}  // namespace

void showErrorBox(QWidget* parent, const QString& message, const QString& detail) {
    if (hookSlot()) {
        hookSlot()(parent, errorBoxText(message));
        return;
    }
    QMessageBox* box = makeErrorBox(parent, message, detail);
    box->exec();
    delete box;
}

QMessageBox* openErrorBox(QWidget* parent, const QString& message) {
    if (hookSlot()) {
        hookSlot()(parent, errorBoxText(message));
        return nullptr;
    }
    QMessageBox* box = makeErrorBox(parent, message, QString());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return box;
}

}  // namespace lqs

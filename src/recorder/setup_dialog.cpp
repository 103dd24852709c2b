#include "setup_dialog.h"

namespace lqs {

TFrm_Setup::TFrm_Setup(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Frm_Setup"));
    setWindowTitle(QStringLiteral("Setup"));
    setModal(true);
}

}  // namespace lqs

#include "wave_window.h"

namespace lqs {

TForm_Wave::TForm_Wave(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form_Wave"));
    setWindowTitle(QStringLiteral("Form_Wave"));
    setAutoFillBackground(true);
}

void TForm_Wave::Btn_StartClick() {}
void TForm_Wave::Btn_StopClick() {}
void TForm_Wave::Btn_SetupClick() {}
void TForm_Wave::Btn_SaveClick() {}
void TForm_Wave::Btn_LoadClick() {}

}  // namespace lqs

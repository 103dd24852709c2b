// TForm_Wave: the recorder window, shown inside the main window.
#pragma once

#include <QWidget>

namespace lqs {

class TForm_Wave : public QWidget {
    Q_OBJECT
public:
    explicit TForm_Wave(QWidget* parent = nullptr);

    // The recorder's buttons, pressed by the main window's Record menu.
    void Btn_StartClick();
    void Btn_StopClick();
    void Btn_SetupClick();
    void Btn_SaveClick();
    void Btn_LoadClick();
};

}  // namespace lqs

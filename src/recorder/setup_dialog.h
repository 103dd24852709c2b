// TFrm_Setup: the recorder's setup dialog.
#pragma once

#include <QDialog>

namespace lqs {

class TFrm_Setup : public QDialog {
    Q_OBJECT
public:
    explicit TFrm_Setup(QWidget* parent = nullptr);
};

}  // namespace lqs

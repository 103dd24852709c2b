// TForm_ReadTime: seconds for one set of queries, 0 to 120. Only the dialog
// keeps the value.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace lqs {

class TUpDown;

class TForm_ReadTime : public QDialog {
    Q_OBJECT
public:
    explicit TForm_ReadTime(QWidget* parent = nullptr);

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLineEdit* se1;
    TUpDown* se1Arrows;
    QPushButton* Button1;
    QPushButton* Button2;

    void se1Change();
    void se1Step(bool up);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace lqs

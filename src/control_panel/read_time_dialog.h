// TForm_ReadTime: seconds for one set of queries, 0 to 120. Only the dialog
// keeps the value.
#pragma once

#include <QDialog>

#include <memory>

namespace lqs {

namespace Ui {
class TForm_ReadTime;
}

class TForm_ReadTime : public QDialog {
    Q_OBJECT
public:
    explicit TForm_ReadTime(QWidget* parent = nullptr);
    ~TForm_ReadTime() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void se1Change();
    void se1Step(bool up);

    std::unique_ptr<Ui::TForm_ReadTime> ui;
};

}  // namespace lqs

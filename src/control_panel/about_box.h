// TForm2: the About box.
#pragma once

#include <QDialog>

#include <memory>

namespace lqs {

namespace Ui {
class TForm2;
}

class TForm2 : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);
    ~TForm2() override;

    static QString versionCaption(const QString& version);
    // The model's caption in place of the picture.
    void showCaption(const QString& caption);

Q_SIGNALS:
    void dialogClosed();

private:
    std::unique_ptr<Ui::TForm2> ui;
};

}  // namespace lqs

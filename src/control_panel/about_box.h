// TForm2: the About box.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace lqs {

class TForm2 : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);

    static QString versionCaption(const QString& version);
    // The model's caption in place of the picture.
    void showCaption(const QString& caption);

    QLabel* Image1;
    QLabel* Label1;
    QLabel* Label2;
    QPushButton* Button1;

Q_SIGNALS:
    void dialogClosed();
};

}  // namespace lqs

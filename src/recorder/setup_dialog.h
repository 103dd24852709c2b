// TFrm_Setup: record length, time slice, point operation and curve colours.
#pragma once

#include <QDialog>

class QComboBox;
class QPushButton;

namespace lqs {

class TForm_Wave;

// A colour chooser: the standard colours, the extended ones and the system
// colours, each with its name.
class ColorBox;

class TFrm_Setup : public QDialog {
    Q_OBJECT
public:
    explicit TFrm_Setup(QWidget* parent = nullptr);
    void attachRecorder(TForm_Wave* wave) { m_wave = wave; }

    QComboBox* cbb1;  // days
    QComboBox* cbb2;  // hours
    QComboBox* cbb3;  // minutes
    QComboBox* cbb4;  // seconds
    QComboBox* cbb5;  // scale
    QComboBox* cbb6;  // point operation
    QComboBox* clrbx_ch1;
    QComboBox* clrbx_ch2;
    QComboBox* clrbx_ch3;
    QPushButton* btn_OK;
    QPushButton* btn_Cancel;

    void FormShow();
    void cbb5Change();
    void btn_OKClick();

    static int sliceMsOf(const QString& scaleItem);
    static void selectColor(QComboBox* box, const QColor& color);
    static QColor chosenColor(const QComboBox* box);

protected:
    void showEvent(QShowEvent* event) override;

private:
    TForm_Wave* m_wave = nullptr;
};

}  // namespace lqs

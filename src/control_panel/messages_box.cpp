#include "control_panel/messages_box.h"

#include "common/dialog_flags.h"

#include <QLabel>
#include <QPushButton>

namespace lqs {

TMessages::TMessages(QWidget* parent)
    : QDialog(parent, kFixedDialogFlags),
      Label1(new QLabel(QStringLiteral("Operation TimerOut\uFF0C"
                                       "Causes Reset Now!"),
                        this)),
      Button1(new QPushButton(QStringLiteral("OK"), this)) {
    setObjectName(QStringLiteral("Messages"));
    setWindowTitle(QStringLiteral("Messages"));
    connect(this, &QDialog::finished, this, &TMessages::dialogClosed);
    setFixedSize(330, 100);
    Label1->setObjectName(QStringLiteral("Label1"));
    Button1->setObjectName(QStringLiteral("Button1"));
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setGeometry(10, 16, 310, 24);
    Button1->setGeometry(128, 58, 75, 25);
    connect(Button1, &QPushButton::clicked, this, &TMessages::close);
}

}  // namespace lqs

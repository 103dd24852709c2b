// What the device link needs of the main window. The window implements it;
// the link never includes a window's header. Called in the user-interface
// thread only.
#pragma once

#include <QString>

class QWidget;

namespace lqs {

class LinkView {
public:
    virtual ~LinkView() = default;
    // Edit1 .. Edit8 by number.
    virtual QString fieldText(int edit) const = 0;
    virtual void setFieldText(int edit, const QString& text) = 0;
    virtual void setOutputCaption(const QString& caption) = 0;
    virtual void setStatusText(int panel, const QString& text) = 0;
    // 1 INDEP, 2 PARALL, 3 TRACK: checks the button; a button that was not
    // checked runs its click handling as a user's click would.
    virtual void selectCoupling(int button) = 0;
    virtual void setFrameEnabled(bool enabled) = 0;
    virtual void closeSaveDialog() = 0;
    virtual QString saveSlotText() const = 0;
    virtual void closeMainWindow() = 0;
    virtual QWidget* viewWidget() = 0;
    // The window's own panel after the three: the state of the line in words.
    virtual void setLinkText(const QString& text) = 0;
    // The link button's picture.
    virtual void setLinkedPicture(bool linked) = 0;
};

}  // namespace lqs

// Tests reach a window's controls the way an operator names them: by the
// object name the layout gives each one.
#pragma once

#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QObject>
#include <QString>

namespace lqs::test {

// The control called name under root (the window itself, its menus and
// its dialogs). A missing control ends the run, naming it.
template <typename T = QWidget>
T* named(const QObject* root, const char* name) {
    T* found = root ? root->findChild<T*>(QString::fromLatin1(name)) : nullptr;
    if (!found) qFatal("no control named %s", name);
    return found;
}

// A control of the main window by its object name, looked for in the
// window's own parts only: its dialogs have an Edit1, a Label1 and a Button1
// of their own. form is a pointer to the window, raw or smart.
template <typename T = QWidget, typename Form>
T* onMain(const Form& form, const char* name) {
    const QMainWindow* w = &*form;
    const QString n = QString::fromLatin1(name);
    if (T* t = w->centralWidget()->findChild<T*>(n)) return t;
    if (T* t = w->findChild<T*>(n, Qt::FindDirectChildrenOnly)) return t;  // actions, bars
    if (T* t = w->menuBar()->findChild<T*>(n)) return t;
    return named<T>(w->centralWidget(), name);  // fails, naming it
}

// The two kinds asked for most: menu and toolbar items, and the value fields.
template <typename Form>
QAction* action(const Form& form, const char* name) {
    return onMain<QAction>(form, name);
}
template <typename Form>
QLineEdit* field(const Form& form, const char* name) {
    return onMain<QLineEdit>(form, name);
}

}  // namespace lqs::test

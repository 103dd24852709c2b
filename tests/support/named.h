// Tests reach a window's controls the way an operator names them: by the
// object name the layout gives each one.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTest>

namespace lqs::test {

// The control called name under root (the window itself, its menus and
// its dialogs). A missing control fails the test where it is asked for.
template <typename T = QWidget>
T* named(const QObject* root, const char* name) {
    T* found = root ? root->findChild<T*>(QString::fromLatin1(name)) : nullptr;
    if (!found) {
        QTest::qFail(QByteArray("no control named ") + name, __FILE__, __LINE__);
        qFatal("no control named %s", name);
    }
    return found;
}

}  // namespace lqs::test

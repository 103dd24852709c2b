#include <QApplication>
#include <QMainWindow>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Multi-Output Programmable Linear DC power supply"));
    window.resize(761, 459);
    window.show();
    return app.exec();
}

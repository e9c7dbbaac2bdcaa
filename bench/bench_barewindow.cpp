// The yardstick of the idle benchmark: the smallest Qt Widgets program that
// shows a window with a line of text, and nothing else.
#include <QApplication>
#include <QLabel>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLabel window(QStringLiteral("A bare Qt Widgets window"));
    window.resize(800, 640);
    window.show();
    return app.exec();
}

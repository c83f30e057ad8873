// The start-up reference: a bare Qt window of the console's size, nothing else.
#include <QApplication>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(537, 453);
    window.show();
    return app.exec();
}

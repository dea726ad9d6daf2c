#include <QApplication>

#include "StationWindow.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CStationWindow window;
    window.show();
    return app.exec();
}

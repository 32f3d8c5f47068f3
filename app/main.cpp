// Program entry: the data module, then the main window, then the event loop.
#include <QApplication>

#include "CPort.h"
#include "datasrc.h"
#include "mainwindow.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lorvane"));

    SetComDeviceResolver(ComDeviceFromSettings);

    Tdsrc data;
    dsrc = &data;
    TLorvane window(data);
    Lorvane = &window;
    window.show();
    const int result = QApplication::exec();

    Lorvane = nullptr;
    dsrc = nullptr;
    return result;
}

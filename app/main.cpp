// Program entry: the data module, then the main window, then the event loop.
#include <QApplication>

#include "CPort.h"
#include "datasrc.h"
#include "filemodes.h"
#include "mainwindow.h"

int main(int argc, char* argv[]) {
    // The card list decides who opens a door; the file system is its real
    // protection. Every file the program keeps is its user's alone; exported
    // workbooks get the user's usual permissions.
    KeepOwnFilesPrivate();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lorvane"));
    // Ties the windows to the menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.quillon.Lorvane"));

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

// Program entry: the data module, then the main window, then the event loop.
#include <QApplication>

#include "CPort.h"
#include "cmdline.h"
#include "datasrc.h"
#include "filemodes.h"
#include "mainwindow.h"

namespace {

const char* const kHelp =
    "Usage: lorvane [--help] [--version]\n"
    "Keeps the list of access cards of a Quillon RFID access controller (card\n"
    "number, holder name, group, access flag) and uploads the granted cards to\n"
    "the controller over a serial port. Everything is done in its one window.\n"
    "\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "The card list is cardlist.mdb beside the program (a portable copy) or in\n"
    "$XDG_DATA_HOME/Quillon/Lorvane/ (~/.local/share/Quillon/Lorvane/); the\n"
    "settings are in $XDG_CONFIG_HOME/Quillon/Lorvane.ini. Qt's own options\n"
    "(-platform, -style, ...) are accepted too.\n";

}  // namespace

int main(int argc, char* argv[]) {
    // Answered before anything else starts: no window, no files.
    if (AnswerHelpOrVersion(argc, argv, "lorvane", kHelp)) return 0;
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

// Handlers of commands that are not in the program yet. Each one moves to the
// file of its command when that command is written.
#include "export.h"
#include "mainwindow.h"

void TLorvane::bExportClick() {
    ::bExportClick(*this);
}

// (being written) placeholders so that the main window can wire its buttons.
#include "commands.h"

void cbPortChange(IMainWindow&) {}
void bUploadClick(IMainWindow&, Tdsrc&) {}
void bInfoClick(IMainWindow&) {}
void bDenyAllClick(IMainWindow&) {}

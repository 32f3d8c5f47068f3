// The card editing handlers of the main window: each forwards to its command.
#include "editcmds.h"
#include "mainwindow.h"

void TLorvane::bEditClick() {
    ::bEditClick(*this, FData);
}

void TLorvane::dbgListDblClick() {
    ::bEditClick(*this, FData);
}

void TLorvane::bDeleteClick() {
    ::bDeleteClick(*this);
}

void TLorvane::bClearClick() {
    ::bClearClick(*this);
}

void TLorvane::bAllGrantedClick() {
    ::bAllGrantedClick(*this);
}

void TLorvane::bAllDenyClick() {
    ::bAllDenyClick(*this);
}

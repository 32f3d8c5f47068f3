// The main window's card command handlers: each forwards to its command, which
// lives in its own file and reaches the window only through IMainWindow.
#include "cardmodel.h"
#include "cardread.h"
#include "editcmds.h"
#include "export.h"
#include "filecmds.h"
#include "history.h"
#include "listgrid.h"
#include "mainwindow.h"
#include "newcard.h"
#include "options.h"
#include "search.h"

// --- Card editing ---

void TLorvane::bEditClick() {
    ::bEditClick(*this, FData);
}

void TLorvane::dbgListDblClick() {
    ::bEditClick(*this, FData);
}

void TLorvane::bNewCardClick() {
    ::bNewCardClick(
        *this, FData,
        [this](const std::function<bool()>& stop, const std::function<void(int)>& secondsLeft) {
            return ReadPresentedCard(*this, stop, secondsLeft);
        });
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

void TLorvane::bHistoryClick() {
    ::bHistoryClick(*this, FData);
}

// --- Sorting, search and options ---

void TLorvane::dbgListTitleClick(int column) {
    ::dbgListTitleClick(*this, TCardModel::FieldName(column));
}

void TLorvane::bSearchClick() {
    ::bSearchClick(*this);
}

void TLorvane::bOptionsClick() {
    ::bOptionsClick(*this);
}

// --- Database files and card import ---

void TLorvane::bSaveClick() {
    ::bSaveClick(*this, FData);
}

void TLorvane::bOpenClick() {
    ::bOpenClick(*this, FData);
}

void TLorvane::bMergeClick() {
    ::bMergeClick(*this);
}

void TLorvane::bAddClick() {
    ::bAddClick(*this);
}

// --- Export ---

void TLorvane::bExportClick() {
    ::bExportClick(*this);
}

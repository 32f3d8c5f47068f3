// The main window's card command handlers: each forwards to its command, which
// lives in its own file and reaches the window only through IMainWindow. The
// commands that change cards first ask whether the list takes changes.
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
    if (CheckListWritable()) ::bEditClick(*this, FData);
}

void TLorvane::dbgListDblClick() {
    if (CheckListWritable()) ::bEditClick(*this, FData);
}

void TLorvane::bNewCardClick() {
    if (!CheckListWritable()) return;
    ::bNewCardClick(
        *this, FData,
        [this](const std::function<bool()>& stop, const std::function<void(int)>& secondsLeft) {
            return ReadPresentedCard(*this, stop, secondsLeft);
        });
}

void TLorvane::bDeleteClick() {
    if (CheckListWritable()) ::bDeleteClick(*this);
}

void TLorvane::bClearClick() {
    if (CheckListWritable()) ::bClearClick(*this);
}

void TLorvane::bAllGrantedClick() {
    if (CheckListWritable()) ::bAllGrantedClick(*this);
}

void TLorvane::bAllDenyClick() {
    if (CheckListWritable()) ::bAllDenyClick(*this);
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
    if (CheckListWritable()) ::bOpenClick(*this, FData);
}

void TLorvane::bMergeClick() {
    if (CheckListWritable()) ::bMergeClick(*this);
}

void TLorvane::bAddClick() {
    if (CheckListWritable()) ::bAddClick(*this);
}

// --- Export ---

void TLorvane::bExportClick() {
    ::bExportClick(*this);
}

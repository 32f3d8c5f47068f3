// New Card: one card added to the list by hand, its number typed or read from
// the card held to the controller's reader.
#pragma once

#include "edit.h"

class IMainWindow;
class Tdsrc;

// Opens the edit dialog as "New Card"; Confirm appends the card through the
// list query and selects it. A number already in the table is refused with a
// message and the dialog stays open; Esc cancels. readCard serves "Read Card".
void bNewCardClick(IMainWindow& host, Tdsrc& data, const TDlgEdit::TCardReadFn& readCard);

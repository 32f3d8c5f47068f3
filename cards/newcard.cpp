#include "newcard.h"

#include <QCheckBox>
#include <QLineEdit>
#include <exception>
#include <string>

#include "datasrc.h"
#include "dbengine.h"
#include "mainhost.h"
#include "prompts.h"

namespace {

// Whether the table holds the card now, whatever the list shows (a filter, or
// another running copy that added it since the list was read).
bool CardInTable(Tdsrc& data, int number) {
    TDbQuery probe("newcard");
    probe.SetConnection(&data.adosrc);
    probe.SQLAdd("select cardno from cardlist where cardno=" + std::to_string(number));
    probe.Open();
    const bool found = probe.RecordCount() > 0;
    probe.Close();
    return found;
}

void RefuseTaken(TDlgEdit& dialog, int number) {
    ShowError(
        QStringLiteral("Card %1 is already in the card list. Nothing was changed.").arg(number));
    dialog.eCardno->setFocus(Qt::OtherFocusReason);
    dialog.eCardno->selectAll();
}

// Confirm of the dialog: true when the card was appended.
bool AppendCard(IMainWindow& host, Tdsrc& data, TDlgEdit& dialog) {
    const std::optional<int> number = dialog.CardNumber();
    if (!number) {
        ShowError(QStringLiteral("The card number must be a whole number from 1 to 16,777,215."));
        dialog.eCardno->setFocus(Qt::OtherFocusReason);
        dialog.eCardno->selectAll();
        return false;
    }
    try {
        if (CardInTable(data, *number)) {
            RefuseTaken(dialog, *number);
            return false;
        }
    } catch (const std::exception&) {
        // The append below meets the same fault and reports it.
    }
    TDbQuery& list = host.CardList();
    const TActivityScope activity(list, "New Card");
    try {
        list.Append();
        list.FieldByName("cardno").SetAsInteger(*number);
        // Empty texts are stored as empty strings; the engine cuts what is
        // longer than its column, as Edit does.
        list.FieldByName("descx").SetAsString(dialog.eName->text().toStdString());
        list.FieldByName("grp").SetAsString(dialog.eGroup->text().toStdString());
        list.FieldByName("granted").SetAsBoolean(dialog.cbGranted->isChecked());
        list.Post();
    } catch (const std::exception&) {
        try {
            list.Cancel();
        } catch (const std::exception&) {
        }
        // Most likely another running copy took the number meanwhile.
        bool taken = false;
        try {
            taken = CardInTable(data, *number);
        } catch (const std::exception&) {
        }
        if (taken)
            RefuseTaken(dialog, *number);
        else
            ShowError(QStringLiteral("Error in updating database. Please retry."));
        return false;
    }
    host.ShowRecordCount();
    return true;
}

}  // namespace

void bNewCardClick(IMainWindow& host, Tdsrc& data, const TDlgEdit::TCardReadFn& readCard) {
    TDlgEdit dialog(host.Window(), data.dgrp);
    dialog.SetNewCard(readCard);
    dialog.OnConfirm = [&] { return AppendCard(host, data, dialog); };
    // The appended card is the list's current row, which the grid selects.
    if (dialog.exec() == QDialog::Accepted) host.FocusCardGrid();
}

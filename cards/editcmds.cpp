// Each card change goes through the list query row by row; every post is
// committed to the file at once. The row loops let pending events run once
// per row and hold the long-command guard meanwhile, so the operator cannot
// start another list command or close the window under them.
#include "editcmds.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QLineEdit>
#include <exception>

#include "datasrc.h"
#include "dbengine.h"
#include "edit.h"
#include "fields.h"
#include "guards.h"
#include "mainhost.h"
#include "pgbar.h"
#include "prompts.h"

namespace {

struct TBulkAccess {
    const char* question;
    const char* caption;
    bool granted;
    const char* command;  // as the history names it
};

// Drops a pending change; a failure to do so must not hide the one reported.
void CancelQuietly(TDbQuery& list) {
    try {
        list.Cancel();
    } catch (const std::exception&) {
    }
}

void SetAllAccess(IMainWindow& host, const TBulkAccess& what) {
    // Closing the box without an answer is no consent to change every card.
    if (!AskConfirm(QString::fromLatin1(what.question))) return;
    const TLongCommand busy(host);
    const TActivityScope activity(host.CardList(), what.command, TActivityScope::Bulk);
    try {
        ReopenWholeCardList(host);
    } catch (...) {
        host.RefreshCardList();
        throw;
    }
    TDbQuery& list = host.CardList();
    host.SetGridVisible(false);
    const TWaitCursor wait;
    {
        Tpbar bar(host.Window(), QString::fromLatin1(what.caption), list.RecordCount());
        try {
            TField granted = list.FieldByName("granted");
            list.First();
            while (!list.Eof()) {
                QCoreApplication::processEvents();
                list.Edit();
                granted.SetAsBoolean(what.granted);
                list.Post();
                bar.Advance();
                list.Next();
            }
        } catch (const std::exception&) {
            CancelQuietly(list);
            ShowError(QStringLiteral("Database error"));
        }
        bar.Finish();
    }
    host.RefreshCardList();
}

}  // namespace

void ReopenWholeCardList(IMainWindow& host) {
    TDbQuery& list = host.CardList();
    list.Close();
    list.SQLClear();
    list.SQLAdd("select * from cardlist");
    list.Open();
}

void bEditClick(IMainWindow& host, Tdsrc& data) {
    if (host.CheckListEmpty()) return;
    TDbQuery& list = host.CardList();
    TDlgEdit dialog(host.Window(), data.dgrp);
    dialog.eCardno->setText(QString::number(ReadFieldInt(list, "cardno")));
    dialog.eName->setText(ReadFieldText(list, "descx"));
    dialog.eGroup->setText(ReadFieldText(list, "grp"));
    dialog.cbGranted->setChecked(ReadFieldBool(list, "granted"));
    if (dialog.exec() != QDialog::Accepted) return;
    const TActivityScope activity(list, "Edit");
    try {
        list.Edit();
        // Empty texts are stored as empty strings; the engine cuts what is
        // longer than its column.
        list.FieldByName("descx").SetAsString(dialog.eName->text().toStdString());
        list.FieldByName("grp").SetAsString(dialog.eGroup->text().toStdString());
        list.FieldByName("granted").SetAsBoolean(dialog.cbGranted->isChecked());
        list.Post();
    } catch (const std::exception&) {
        CancelQuietly(list);
        ShowError(QStringLiteral("Error in updating database. Please retry."));
    }
}

void bDeleteClick(IMainWindow& host) {
    if (host.CheckListEmpty()) return;
    TDbQuery& list = host.CardList();
    QString name = ReadFieldText(list, "descx");
    if (!name.isEmpty()) name.prepend(QStringLiteral(", "));
    // Read directly: a number that cannot be read stops the command before
    // the question, through the general error display.
    const QString number = QString::number(list.FieldByName("cardno").AsInteger());
    if (!AskConfirm(QStringLiteral("Are you sure to delete the card: ") + number + name)) return;
    const TActivityScope activity(list, "Delete");
    try {
        list.Delete();
        host.ShowRecordCount();
    } catch (const std::exception&) {
        ShowError(QStringLiteral("Error deleting the record. Please retry."));
    }
}

void bClearClick(IMainWindow& host) {
    if (host.CheckListEmpty()) return;
    if (!AskConfirm(QStringLiteral("Are you sure to delete all cards in the card list?"))) return;
    const TLongCommand busy(host);
    TDbQuery& list = host.CardList();
    const TActivityScope activity(list, "Delete All", TActivityScope::Bulk);
    const QDateTime start = QDateTime::currentDateTime();
    host.SetGridVisible(false);
    Tpbar bar(host.Window(), QStringLiteral("Delete all cards"), list.RecordCount());
    try {
        list.First();
        while (!list.Eof()) {
            QCoreApplication::processEvents();
            list.Delete();
            bar.Advance();
        }
        host.ShowElapsed(start);
        ShowInfo(QStringLiteral("Operation completed."));
        host.ShowStatusText(QString());
    } catch (const std::exception&) {
        ShowError(QStringLiteral("Error occurs. Please retry."));
    }
    bar.Finish();
    host.SetGridVisible(true);
    host.ShowRecordCount();
}

void bAllGrantedClick(IMainWindow& host) {
    SetAllAccess(host, {"Are you sure to grant access rights to all cards.",
                        "Granting access rights", true, "Grant All"});
}

void bAllDenyClick(IMainWindow& host) {
    SetAllAccess(host, {"Are you sure to deny access rights from all cards.",
                        "Denying access rights", false, "Deny All"});
}

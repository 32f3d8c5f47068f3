// The card editing commands through the real main window, offscreen, on real
// card database files; prompts answered by a fake unless a test answers the
// real box.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>
#include <functional>
#include <memory>
#include <optional>

#include "app/card_files.h"
#include "datasrc.h"
#include "edit.h"
#include "mainwindow.h"
#include "newcard.h"
#include "select.h"
#include "settings.h"
#include "support/fake_prompts.h"
#include "support/pump.h"
#include "support/when_modal.h"
#include "support/window_test.h"

namespace {

const std::vector<TestCard> FiveCards = {
    {30, "Carol", "Sales", true}, {10, "  Alice  ", "Admin", false}, {50, "Eve", "", true},
    {20, "   ", "Admin", false},  {40, "Dave", " Sales", false},
};

void DoubleClick(QTableView& grid, QPoint at = {5, 5}) {
    QMouseEvent event(QEvent::MouseButtonDblClick, at, grid.viewport()->mapToGlobal(at),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(grid.viewport(), &event);
}

QString AccessibleName(QWidget* widget) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QString();
}

void Key(QWidget& target, Qt::Key key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&target, &press);
}

// A stored value straight from the file: its text, "<null>", or "<none>".
std::string StoredValue(const std::string& path, const std::string& column, int cardno) {
    return StoredText(path,
                      "select " + column + " from cardlist where cardno=" + std::to_string(cardno));
}

class EditCommands : public TWindowTest {
  protected:
    void Start(const std::vector<TestCard>& cards = FiveCards, bool grantedOnly = false) {
        StartWith(cards);
        window->SetGrantedFilter(grantedOnly);
        prompts.Clear();
    }
    std::string Stored(const char* column, int cardno) {
        return StoredValue(workDb, column, cardno);
    }
    QStringList Column(int column) {
        QStringList out;
        QAbstractItemModel* model = window->dbgList->model();
        for (int r = 0; r < model->rowCount(); ++r)
            out << model->index(r, column).data().toString();
        return out;
    }
    // A second copy of the program, as far as the file is concerned.
    void OtherCopy(const char* sql) {
        sqlite3* db = OpenKeyed(workDb, kCardDatabasePassword);
        sqlite3_busy_timeout(db, 2000);
        Exec(db, sql);
        sqlite3_close(db);
    }

    FakePrompts prompts;
};

TEST_F(EditCommands, EditFromADoubleClickStoresTrimmedCutAndEmptyTextsInTheSameRow) {
    Start();
    window->dbcard.SetRecNo(1);  // card 10, "  Alice  "
    const int refreshes = window->RefreshCount();
    WhenModal<TDlgEdit>([](TDlgEdit& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Edit Information");
        EXPECT_EQ(dialog.eCardno->text(), "10");
        EXPECT_FALSE(dialog.eCardno->isEnabled());
        EXPECT_EQ(dialog.eName->text(), "Alice");
        EXPECT_EQ(dialog.eGroup->text(), "Admin");
        EXPECT_FALSE(dialog.cbGranted->isChecked());
        // A screen reader names each box by its label.
        EXPECT_EQ(AccessibleName(dialog.eCardno), "Card No.:");
        EXPECT_EQ(AccessibleName(dialog.eName), "Name:");
        EXPECT_EQ(AccessibleName(dialog.eGroup), "Group:");
        dialog.eName->setText(QStringLiteral("\t  ") + QString(60, u'é') + QStringLiteral("  "));
        dialog.eGroup->setText(QStringLiteral("   "));
        dialog.cbGranted->setChecked(true);
        Key(dialog, Qt::Key_Return);  // Enter presses "Confirm"
    });
    DoubleClick(*window->dbgList);

    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
    EXPECT_EQ(Stored("descx", 10), QString(50, u'é').toStdString());
    EXPECT_EQ(Stored("grp", 10), "");  // empty string, not null
    EXPECT_EQ(Stored("granted", 10), "1");
    EXPECT_EQ(window->RefreshCount(), refreshes);
    EXPECT_EQ(window->dbcard.RecNo(), 1);
    EXPECT_EQ(Column(2).front(), "");
}

TEST_F(EditCommands, CancelOrAFailedPostLeavesTheCardAsStored) {
    Start();
    window->dbcard.SetRecNo(2);  // card 20
    WhenModal<TDlgEdit>([](TDlgEdit& dialog) {
        dialog.eName->setText("Changed");
        Key(dialog, Qt::Key_Escape);
    });
    window->bEdit->click();
    EXPECT_EQ(Stored("descx", 20), "   ");

    // Another copy of the program deletes the card while the dialog is open.
    WhenModal<TDlgEdit>([this](TDlgEdit& dialog) {
        OtherCopy("delete from cardlist where cardno=20");
        dialog.eName->setText("Changed");
        dialog.OKBtn->click();
    });
    window->bEdit->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Error),
              QStringList{"Error in updating database. Please retry."});
    EXPECT_EQ(window->dbcard.State(), TDbQuery::TState::Browse);
    EXPECT_EQ(Stored("descx", 20), "<none>");
    EXPECT_EQ(Column(1).at(1), "   ");
}

TEST_F(EditCommands, GroupPickerListsTrimmedGroupsUnsortedWithoutNullsOrBlanks) {
    Start({{1, "a", "Sales", false},
           {2, "b", " Sales", false},
           {3, "c", "", false},
           {4, "d", "Ünïcode 組", false},
           {5, "e", "   ", false},
           {6, "f", "Admin", false}});
    OtherCopy("update cardlist set grp=null where cardno=3");
    std::optional<QStringList> lines;
    WhenModal<TDlgEdit>([&lines](TDlgEdit& dialog) {
        WhenModal<TdlgSelect>([&lines](TdlgSelect& picker) {
            EXPECT_EQ(picker.windowTitle(), "Select Group");
            lines.emplace();
            for (int i = 0; i < picker.lbList->count(); ++i)
                *lines << picker.lbList->item(i)->text();
            // A double click on a line acts as "Select".
            picker.lbList->setCurrentRow(2);
            emit picker.lbList->itemDoubleClicked(picker.lbList->item(2));
        });
        dialog.bBrowse->click();
        EXPECT_EQ(dialog.eGroup->text(), "Ünïcode 組");
        dialog.CancelBtn->click();
    });
    window->bEdit->click();
    ASSERT_TRUE(lines);
    // In the order the database returns them, duplicates kept.
    EXPECT_EQ(*lines, QStringList({"Sales", "Sales", "Ünïcode 組", "Admin"}));
    EXPECT_FALSE(data.dgrp.Active());
}

TEST_F(EditCommands, GroupPickerWithoutGroupsLeavesTheGroupAsItWas) {
    Start({{1, "a", "", false}});
    WhenModal<TDlgEdit>([](TDlgEdit& dialog) {
        dialog.eGroup->setText("Kept");
        WhenModal<TdlgSelect>([](TdlgSelect& picker) {
            EXPECT_EQ(picker.lbList->count(), 0);
            picker.OKBtn->click();
        });
        dialog.bBrowse->click();
        EXPECT_EQ(dialog.eGroup->text(), "Kept");
        dialog.CancelBtn->click();
    });
    window->bEdit->click();
}

TEST_F(EditCommands, ADoubleClickOnAnEmptyGridSaysNoRecord) {
    Start({});
    DoubleClick(*window->dbgList);
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList{"No record."});
}

TEST_F(EditCommands, DeleteNamesTheCardTrimmedOrByNumberAlone) {
    Start();
    window->dbcard.SetRecNo(1);  // card 10, "  Alice  "
    prompts.confirmAnswers = {true};
    window->bDelete->click();
    window->dbcard.SetRecNo(1);  // card 20, a blank name
    prompts.confirmAnswers = {false};
    window->bDelete->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Confirm),
              QStringList({"Are you sure to delete the card: 10, Alice",
                           "Are you sure to delete the card: 20"}));
    EXPECT_EQ(CountCards(workDb), 4);
    EXPECT_EQ(Stored("cardno", 10), "<none>");
    EXPECT_EQ(window->PanelText(1), "4 record(s).");
}

TEST_F(EditCommands, UnreadableCardNumberStopsDeleteBeforeTheQuestion) {
    // A foreign file whose cardno holds text.
    sqlite3* db = nullptr;
    sqlite3_open_v2(workDb.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_key(db, kCardDatabasePassword, static_cast<int>(strlen(kCardDatabasePassword)));
    Exec(db, "PRAGMA cipher_compatibility = 3");
    Exec(db, "create table cardlist (cardno TEXT, descx TEXT, grp TEXT, granted BOOLEAN)");
    Exec(db, "insert into cardlist values ('A-17', 'Foreign', null, 1)");
    sqlite3_close(db);
    window = std::make_unique<TLorvane>(data, appFolder);
    prompts.Clear();

    window->bDelete->click();
    EXPECT_TRUE(prompts.Messages(PromptKind::Confirm).isEmpty());
    EXPECT_EQ(prompts.Messages(PromptKind::AppError),
              QStringList{"'A-17' is not a valid integer value."});
    EXPECT_EQ(CountCards(workDb), 1);
}

TEST_F(EditCommands, DeleteAllWithTheFilterOnDeletesOnlyTheGrantedCards) {
    Start(FiveCards, true);
    window->bClear->click();
    EXPECT_EQ(prompts.All(), QStringList({"Are you sure to delete all cards in the card list?",
                                          "Operation completed."}));
    EXPECT_EQ(CountCards(workDb), 3);
    EXPECT_EQ(Stored("cardno", 30), "<none>");
    EXPECT_EQ(window->PanelText(1), "0 record(s).");
    EXPECT_EQ(window->PanelText(2), "");
    EXPECT_FALSE(window->dbgList->isHidden());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(EditCommands, GrantAllWithTheFilterOnCoversEveryCardOfTheTable) {
    Start(FiveCards, true);
    const int refreshes = window->RefreshCount();
    window->bAllGranted->click();
    EXPECT_EQ(prompts.All(), QStringList{"Are you sure to grant access rights to all cards."});
    for (int no : {10, 20, 30, 40, 50}) EXPECT_EQ(Stored("granted", no), "1") << no;
    EXPECT_EQ(window->RefreshCount(), refreshes + 1);
    EXPECT_EQ(window->dbcard.SQLLines().size(), 3u);  // filter and order back
    EXPECT_EQ(Column(0), QStringList({"10", "20", "30", "40", "50"}));
    EXPECT_EQ(window->PanelText(2), "Show granted card only");
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// Only Yes changes every card's access: No, Esc and the title bar's close
// button leave the table and the list alone.
TEST_F(EditCommands, GrantAllAndDenyAllRunOnlyOnYes) {
    Start();
    const int refreshes = window->RefreshCount();
    prompts.confirmAnswers = {false};
    window->bAllGranted->click();
    {
        IPromptSeam* fake = SetPromptSeam(nullptr);  // the real box
        WhenModal<QMessageBox>([](QMessageBox& box) { Key(box, Qt::Key_Escape); });
        window->bAllGranted->click();
        WhenModal<QMessageBox>([](QMessageBox& box) { box.close(); });
        window->bAllDeny->click();
        SetPromptSeam(fake);
    }
    for (int no : {10, 20, 40}) EXPECT_EQ(Stored("granted", no), "0") << no;
    for (int no : {30, 50}) EXPECT_EQ(Stored("granted", no), "1") << no;
    EXPECT_EQ(window->RefreshCount(), refreshes);
}

TEST_F(EditCommands, DenyAllStopsAtAFailedRowAndRefreshes) {
    Start();
    // Another copy deletes card 40 while the loop runs.
    QTimer::singleShot(0, [this] { OtherCopy("delete from cardlist where cardno=40"); });
    window->bAllDeny->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList{"Database error"});
    for (int no : {10, 20, 30}) EXPECT_EQ(Stored("granted", no), "0") << no;
    EXPECT_EQ(Stored("granted", 50), "1");
    EXPECT_EQ(Column(0), QStringList({"10", "20", "30", "50"}));
    EXPECT_FALSE(window->dbgList->isHidden());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(EditCommands, DeleteAllStopsAtAFailedRowKeepingTheRest) {
    Start();
    // Another copy holds the write lock longer than the engine waits.
    sqlite3* other = OpenKeyed(workDb, kCardDatabasePassword);
    QTimer everyPass;  // fires once per pass of pending events, once per row
    int passes = 0;
    QObject::connect(&everyPass, &QTimer::timeout, [&] {
        if (++passes == 3) Exec(other, "begin immediate");
    });
    everyPass.start(0);
    window->bClear->click();
    everyPass.stop();
    Exec(other, "rollback");
    sqlite3_close(other);
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList{"Error occurs. Please retry."});
    EXPECT_TRUE(prompts.Messages(PromptKind::Info).isEmpty());
    const int left = CountCards(workDb);
    EXPECT_GT(left, 0);
    EXPECT_LT(left, 5);
    EXPECT_EQ(window->PanelText(1), QStringLiteral("%1 record(s).").arg(left));
    EXPECT_FALSE(window->dbgList->isHidden());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(EditCommands, ListCommandsAndACloseWaitForARunningLoop) {
    Start();
    window->show();
    bool looked = false;
    QTimer::singleShot(0, [&] {
        looked = true;
        bool progress = false;
        for (QWidget* w : QApplication::topLevelWidgets())
            progress |= w->isVisible() && w->windowTitle() == "Granting access rights";
        EXPECT_TRUE(progress);
        EXPECT_TRUE(window->dbgList->isHidden());
        ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        window->bClear->click();
        window->bDelete->click();
        window->bAllDeny->click();
        DoubleClick(*window->dbgList);
        EXPECT_FALSE(window->close());
    });
    window->bAllGranted->click();
    EXPECT_TRUE(looked);
    EXPECT_EQ(prompts.All(), QStringList{"Are you sure to grant access rights to all cards."});
    EXPECT_EQ(CountCards(workDb), 5);
    for (int no : {10, 20, 30, 40, 50}) EXPECT_EQ(Stored("granted", no), "1") << no;
    // The close asked for during the loop comes once it has ended.
    EXPECT_TRUE(PumpUntil([&] { return !window->isVisible(); }));
}

// Another running copy grants every card while this one shows the list: an
// edit or a delete of a card it changed fails with its box instead of
// undoing the grant. Cards nobody else changed post as ever, also with a flag
// stored as -1 or 2, a null group and a name longer than its column.
TEST_F(EditCommands, ChangesOfCardsAnotherCopyChangedFailInsteadOfUndoingThem) {
    const std::string longName = QString(60, u'ü').toStdString();
    CreateCardDatabase(workDb, kCardDatabasePassword);
    InsertCards(workDb, {{1, "Ann", "", false}, {2, "Bo", "", false}, {3, longName, "", false}});
    OtherCopy(
        "update cardlist set granted=2 where cardno=2; "
        "update cardlist set granted=-1 where cardno=3");
    window = std::make_unique<TLorvane>(data, appFolder);
    prompts.Clear();
    auto locate = [&](int no) { return window->dbcard.Locate("cardno", TValue{std::int64_t{no}}); };
    WhenModal<TDlgEdit>([](TDlgEdit& dialog) {
        dialog.eGroup->setText("Staff");
        dialog.OKBtn->click();
    });
    ASSERT_TRUE(locate(3));
    window->bEdit->click();
    ASSERT_TRUE(locate(2));
    prompts.confirmAnswers = {true};
    window->bDelete->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList());
    EXPECT_EQ(Stored("descx || grp || granted", 3), QString(50, u'ü').toStdString() + "Staff1");
    EXPECT_EQ(Stored("cardno", 2), "<none>");

    QProcess other;
    other.start(QStringLiteral(LORVANE_DURABILITY_CHILD),
                {QString::fromStdString(workDb), QStringLiteral("grant-all")});
    ASSERT_TRUE(other.waitForFinished(60000));
    ASSERT_EQ(other.exitCode(), 0) << other.readAllStandardError().toStdString();
    EXPECT_EQ(other.readAllStandardOutput().trimmed(), "2");

    ASSERT_TRUE(locate(1));
    EXPECT_FALSE(window->dbcard.FieldByName("granted").AsBoolean());  // what this copy read
    WhenModal<TDlgEdit>([](TDlgEdit& dialog) {
        dialog.eName->setText("Anna");
        dialog.OKBtn->click();
    });
    window->bEdit->click();
    prompts.confirmAnswers = {true};
    window->bDelete->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Error),
              QStringList({"Error in updating database. Please retry.",
                           "Error deleting the record. Please retry."}));
    EXPECT_EQ(Stored("descx || granted", 1), "Ann1");
}

std::string JournalMode(const std::string& path) {
    sqlite3* db = OpenKeyed(path, kCardDatabasePassword);
    sqlite3_stmt* st = nullptr;
    std::string mode;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        mode = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return mode;
}

// A post that returned is in the file after the program is killed, and a
// connection that was open meanwhile sees it. Reading alone leaves the file
// as it was.
TEST_F(EditCommands, APostSurvivesAKillOfTheProgram) {
    CreateCardDatabase(workDb, kCardDatabasePassword);
    InsertCards(workDb, {{1, "before", "", false}});
    TDbQuery reader("reader");
    reader.SetConnectionString(BuildConnectionString(workDb));
    reader.SQLAdd("select descx from cardlist");
    reader.Open();
    reader.Close();
    EXPECT_EQ(JournalMode(workDb), "delete");

    QProcess child;
    child.start(QStringLiteral(LORVANE_DURABILITY_CHILD), {QString::fromStdString(workDb)});
    ASSERT_TRUE(child.waitForStarted());
    ASSERT_TRUE(PumpUntil([&] { return child.canReadLine(); }, 20000))
        << child.readAllStandardError().toStdString();
    EXPECT_EQ(child.readLine().trimmed(), "posted");
    child.kill();  // SIGKILL
    ASSERT_TRUE(child.waitForFinished());
    EXPECT_TRUE(QFile::exists(QString::fromStdString(workDb + "-wal")));

    reader.Open();
    EXPECT_EQ(reader.FieldByName("descx").AsString(), "posted before the kill");
    reader.Close();
    sqlite3* db = OpenKeyed(workDb, kCardDatabasePassword);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);
    EXPECT_EQ(JournalMode(workDb), "wal");
}

// The grid's context menu, from the mouse on a card and from the menu key.
QStringList OpenGridMenu(QTableView& grid, std::optional<int> row) {
    if (row) {
        const QPoint at = grid.visualRect(grid.model()->index(*row, 1)).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, grid.viewport()->mapToGlobal(at));
        QApplication::sendEvent(grid.viewport(), &event);
    } else {
        QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                grid.mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(&grid, &event);
    }
    QStringList entries;
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget()))
        for (QAction* action : menu->actions()) entries << action->text();
    return entries;
}

void TriggerMenuEntry(const QString& text) {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    for (QAction* action : menu->actions())
        if (action->text() == text) {
            menu->close();
            action->trigger();
            return;
        }
    ADD_FAILURE() << "no menu entry " << text.toStdString();
}

TEST_F(EditCommands, NewCardFromTheGridMenuIsAppendedAndSelected) {
    Start();
    window->show();
    const QStringList entries{QStringLiteral("New Card\u2026"), "Edit", "Delete",
                              QStringLiteral("History\u2026")};
    EXPECT_EQ(OpenGridMenu(*window->dbgList, std::nullopt), entries);
    QApplication::activePopupWidget()->close();
    // A right click picks the card that Edit and Delete then work on.
    EXPECT_EQ(OpenGridMenu(*window->dbgList, 3), entries);
    EXPECT_EQ(window->dbcard.RecNo(), 4);

    const QString name = QStringLiteral("Zoë 李 🚪");
    bool stayedOpen = false;
    WhenModal<TDlgEdit>([&](TDlgEdit& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "New Card");
        EXPECT_TRUE(dialog.eCardno->isEnabled());
        EXPECT_TRUE(dialog.eCardno->text().isEmpty());
        EXPECT_TRUE(dialog.lCardRange->text().contains("1 to 16,777,215"));
        EXPECT_TRUE(dialog.bReadCard->isVisible());
        // One past the controller's range: refused, and the dialog stays.
        dialog.eCardno->setText("16777216");
        dialog.eName->setText("  " + name + "\t");
        dialog.eGroup->setText(QStringLiteral(" Night shift "));
        dialog.cbGranted->setChecked(true);
        dialog.OKBtn->click();
        stayedOpen = dialog.isVisible();
        dialog.eCardno->setText("16777215");
        Key(dialog, Qt::Key_Return);
    });
    TriggerMenuEntry(entries[0]);

    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(prompts.All(),
              QStringList{"The card number must be a whole number from 1 to 16,777,215."});
    EXPECT_EQ(Stored("descx", 16777215), name.toStdString());
    EXPECT_EQ(Stored("grp", 16777215), "Night shift");
    EXPECT_EQ(Stored("granted", 16777215), "1");
    // Appended at the end of the list as shown, and selected there.
    EXPECT_EQ(window->dbcard.RecordCount(), 6);
    EXPECT_EQ(window->dbcard.RecNo(), 6);
    EXPECT_EQ(window->dbgList->currentIndex().row(), 5);
    EXPECT_EQ(window->PanelText(1), "6 record(s).");
}

// With the granted-only filter on, card 10 is in the table but not in the
// list; card 77 comes from another copy of the program while the dialog is open.
TEST_F(EditCommands, NewCardWithATakenNumberChangesNothing) {
    Start(FiveCards, true);
    window->show();
    window->activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return window->isActiveWindow(); }));
    QStringList refusals;
    WhenModal<TDlgEdit>([&](TDlgEdit& dialog) {
        dialog.eName->setText("Intruder");
        for (const char* number : {"10", "77"}) {
            if (QByteArray(number) == "77")
                OtherCopy("insert into cardlist values (77, 'x', '', 0)");
            dialog.eCardno->setText(number);
            dialog.OKBtn->click();
            refusals << (dialog.isVisible() ? prompts.All().join('|') : "closed");
            prompts.Clear();
        }
        Key(dialog, Qt::Key_Escape);
    });
    QTest::keyClick(window.get(), Qt::Key_Insert);

    EXPECT_EQ(refusals, (QStringList{"Card 10 is already in the card list. Nothing was changed.",
                                     "Card 77 is already in the card list. Nothing was changed."}));
    EXPECT_EQ(Stored("descx", 10), "  Alice  ");
    EXPECT_EQ(Stored("descx", 77), "x");
    EXPECT_EQ(StoredText(workDb, "select count(*) from cardlist"), "6");
    EXPECT_EQ(window->dbcard.RecordCount(), 2);
    EXPECT_EQ(window->dbcard.State(), TDbQuery::TState::Browse);
}

}  // namespace

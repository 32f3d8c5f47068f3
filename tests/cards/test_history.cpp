// The activity history on a card database file: what each command family
// leaves in it, files without it, the retention, and the History window.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <functional>
#include <memory>

#include "app/card_files.h"
#include "edit.h"
#include "file_history.h"
#include "history.h"
#include "historymodel.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"
#include "support/when_modal.h"
#include "support/window_test.h"

namespace {

const std::vector<TestCard> Cards = {
    {10, "O'Neil", "Admin", false}, {20, "Zoë 🚪 李", "", true}, {30, "Carol", "Sales", false}};

// An entry as one line: "command|card|before|after|detail".
std::string Line(const THistoryEntry& e) {
    return e.command + "|" + (e.card ? std::to_string(*e.card) : "-") + "|" +
           e.before.value_or("-") + "|" + e.after.value_or("-") + "|" + e.detail;
}

class HistoryTest : public TWindowTest {
  protected:
    // Every entry of a card database file, newest first, read as the window does.
    std::vector<std::string> Entries(const std::string& path) {
        TDbConnection connection;
        connection.SetConnectionString(BuildConnectionString(path));
        std::vector<std::string> lines;
        for (const THistoryEntry& e : connection.ReadHistory({})) lines.push_back(Line(e));
        return lines;
    }
    std::string File(const char* name, const std::vector<TestCard>& cards) {
        const std::string path = tmp.filePath(name).toStdString();
        CreateCardDatabase(path, kCardDatabasePassword);
        InsertCards(path, cards);
        return path;
    }
    bool HasHistoryTable(const std::string& path) {
        return StoredText(path, "select name from sqlite_master where name='history'") == "history";
    }
    void Sql(const std::string& path, const std::string& sql) {
        sqlite3* db = OpenKeyed(path, kCardDatabasePassword);
        Exec(db, sql.c_str());
        sqlite3_close(db);
    }

    FakePrompts prompts;
};

TEST_F(HistoryTest, EditAndDeleteRecordTheCardBeforeAndAfterWithUserAndTime) {
    StartWith(Cards);
    window->dbcard.SetRecNo(2);  // card 20
    WhenModal<TDlgEdit>([](TDlgEdit& dialog) {
        dialog.eName->setText(QStringLiteral("Zoë 🚪 李 \"quoted\""));
        dialog.eGroup->setText(QStringLiteral("Gäste"));
        dialog.cbGranted->setChecked(false);
        dialog.OKBtn->click();
    });
    window->bEdit->click();
    window->dbcard.SetRecNo(1);  // card 10
    window->bDelete->click();

    EXPECT_EQ(Entries(workDb),
              (std::vector<std::string>{"Delete|10|name='O''Neil'; group='Admin'; granted=0|-|",
                                        "Edit|20|name='Zoë 🚪 李'; group=NULL; granted=1|"
                                        "name='Zoë 🚪 李 \"quoted\"'; group='Gäste'; granted=0|"}));
    TDbConnection connection;
    connection.SetConnectionString(BuildConnectionString(workDb));
    const THistoryEntry last = connection.ReadHistory({}).front();
    EXPECT_EQ(last.user, OperatingSystemUser());
    const QDateTime at =
        QDateTime::fromString(QString::fromStdString(last.time), Qt::ISODateWithMs);
    ASSERT_TRUE(at.isValid()) << last.time;
    EXPECT_EQ(at.timeSpec(), Qt::UTC);
    EXPECT_LT(std::abs(at.secsTo(QDateTime::currentDateTimeUtc())), 60);
}

TEST_F(HistoryTest, BulkCommandsRecordTheCardsTheyChangedAndOneEntryOfTheirOwn) {
    StartWith(Cards);
    Sql(workDb, "update cardlist set granted=-1 where cardno=30");  // not through the program
    EXPECT_TRUE(Entries(workDb).empty());
    window->bAllGranted->click();  // 10 and 30 change; 20 is granted already
    window->bAllDeny->click();     // all three change
    window->bClear->click();

    const std::vector<std::string> entries = Entries(workDb);
    ASSERT_EQ(entries.size(), 11u);
    EXPECT_EQ(entries[0], "Delete All|-|-|-|3 card(s) changed; completed");
    EXPECT_EQ(entries[3], "Delete All|10|name='O''Neil'; group='Admin'; granted=0|-|");
    EXPECT_EQ(entries[4], "Deny All|-|-|-|3 card(s) changed; completed");
    EXPECT_EQ(entries[8], "Grant All|-|-|-|2 card(s) changed; completed");
    // An update records the values that changed.
    EXPECT_EQ(entries[9], "Grant All|30|granted=-1|granted=1|");
    EXPECT_EQ(entries[10], "Grant All|10|granted=0|granted=1|");
}

TEST_F(HistoryTest, ABulkCommandStoppedByAFailureSaysSo) {
    StartWith(Cards);
    // Another copy of the program deletes the last card while the loop runs.
    QTimer::singleShot(0, [this] { Sql(workDb, "delete from cardlist where cardno=30"); });
    window->bAllGranted->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList{"Database error"});
    const std::vector<std::string> entries = Entries(workDb);
    ASSERT_EQ(entries.size(), 2u);  // card 10 changed, then the command's own
    EXPECT_EQ(entries[0],
              std::string("Grant All|-|-|-|1 card(s) changed; 1 failed: ") + kRowChangedMessage);
}

TEST_F(HistoryTest, ImportsAndOpenRecordEachCardAndNeverCopyAnotherFilesHistory) {
    // A card list that has a history of its own, which must stay there.
    const std::string other =
        File("other.mdb", {{20, "Zoë 🚪 李", "", false}, {40, "Dan", "", true}});
    {
        TDbConnection connection;
        connection.SetConnectionString(BuildConnectionString(other));
        connection.AddHistoryEntry("Edit", "elsewhere");
    }
    StartWith(Cards);
    prompts.fileAnswers = {QString::fromStdString(other)};
    window->bMerge->click();  // adds 40 only
    std::vector<std::string> entries = Entries(workDb);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], "Merge|-|-|-|1 card(s) changed from " + other + "; completed");
    EXPECT_EQ(entries[1], "Merge|40|-|name='Dan'; group=NULL; granted=1|");

    prompts.fileAnswers = {QString::fromStdString(other)};
    window->bOpen->click();  // 10, 30 removed; 20 changed; 40 stays
    entries = Entries(workDb);
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0], "Open|-|-|-|3 card(s) changed from " + other + "; completed");
    EXPECT_EQ(entries[1], "Open|30|name='Carol'; group='Sales'; granted=0|-|");
    EXPECT_EQ(entries[3], "Open|20|granted=1|granted=0|");
    for (const std::string& e : entries) EXPECT_EQ(e.find("elsewhere"), std::string::npos) << e;
    EXPECT_EQ(CountCards(workDb), 2);
}

TEST_F(HistoryTest, ACardDatabaseWithoutTheHistoryTableOpensSavesAndMerges) {
    const std::string plain = File("plain.mdb", {{7, "Seven", "", true}});
    ASSERT_FALSE(HasHistoryTable(plain));
    StartWith(Cards);
    ASSERT_FALSE(HasHistoryTable(workDb));  // nothing written yet
    const std::string saved = tmp.filePath("saved.mdb").toStdString();
    prompts.fileAnswers = {QString::fromStdString(saved), QString::fromStdString(plain),
                           QString::fromStdString(plain)};
    window->bSave->click();
    window->bMerge->click();
    window->bOpen->click();
    EXPECT_TRUE(prompts.Messages(PromptKind::Error).isEmpty())
        << prompts.All().join('|').toStdString();
    EXPECT_EQ(CountCards(saved), 3);
    EXPECT_FALSE(HasHistoryTable(plain));  // read, never written
    EXPECT_EQ(CountCards(workDb), 1);
    EXPECT_EQ(Entries(workDb).size(), 6u);  // merged 7; opened: 10, 20, 30 removed

    // The saved file carries the history it had when saved: none yet.
    EXPECT_TRUE(Entries(saved).empty());
    prompts.fileAnswers = {QString::fromStdString(saved)};
    window->bSave->click();
    EXPECT_EQ(Entries(saved), Entries(workDb));
}

TEST_F(HistoryTest, RetentionAtStartUpRemovesOnlyOldEntriesAndSaysSo) {
    CreateCardDatabase(workDb, kCardDatabasePassword);
    InsertCards(workDb, Cards);
    {
        TDbConnection connection;
        connection.SetConnectionString(BuildConnectionString(workDb));
        connection.AddHistoryEntry("Upload", "young");
        connection.AddHistoryEntry("Upload", "younger");
    }
    Sql(workDb,
        "insert into history (id, at, who, command, detail) values "
        "(-2, '2001-01-01T00:00:00.000Z', 'x', 'Upload', 'old'), "
        "(-1, strftime('%Y-%m-%dT%H:%M:%fZ','now','-31 days'), 'x', 'Upload', 'a month ago')");
    // No retention set: everything stays.
    window = std::make_unique<TLorvane>(data, appFolder);
    EXPECT_EQ(Entries(workDb).size(), 4u);
    window.reset();

    WriteSettingInt("HISTORYDAYS", 30);
    window = std::make_unique<TLorvane>(data, appFolder);
    const std::vector<std::string> entries = Entries(workDb);
    EXPECT_EQ(entries,
              (std::vector<std::string>{"Retention|-|-|-|2 entries older than 30 days removed",
                                        "Upload|-|-|-|younger", "Upload|-|-|-|young"}));
    // A command never expires entries: only start-up does.
    window->bAllGranted->click();
    EXPECT_EQ(Entries(workDb).size(), 6u);
}

TEST_F(HistoryTest, WindowOpensOnTheSelectedCardReadsPagesLazilyAndFilters) {
    StartWith(Cards);
    // 2,500 entries of card 20, 2,500 of 30.
    {
        TDbConnection connection;
        connection.SetConnectionString(BuildConnectionString(workDb));
        connection.AddHistoryEntry("Upload", "first");
    }
    Sql(workDb,
        "with recursive n(i) as (select 1 union all select i+1 from n where i<5000) "
        "insert into history (at, who, command, cardno, before, after) select "
        "'2024-05-01T10:00:00.000Z', 'op', 'Edit', 20 + 10*(i%2), "
        "'name=''Émile ' || i || '''', 'name=''x'''  from n");
    window->dbcard.SetRecNo(2);  // card 20
    bool checked = false;
    WhenModal<TdlgHistory>([&](TdlgHistory& dialog) {
        checked = true;
        EXPECT_EQ(dialog.windowTitle(), "History");
        EXPECT_EQ(dialog.eCard->text(), "20");
        THistoryModel& model = dialog.Model();
        EXPECT_EQ(model.rowCount(), THistoryModel::kPageRows);
        EXPECT_EQ(model.data(model.index(0, THistoryModel::ColChange)).toString(),
                  QStringLiteral("name='Émile 5000' \u2192 name='x'"));
        // Scrolling to the end reads every page, yet keeps only a few.
        for (int k = 0; k < 30 && model.canFetchMore({}); ++k) {
            model.fetchMore({});
            dialog.dbgHistory->scrollToBottom();
            QApplication::processEvents();
        }
        EXPECT_EQ(model.rowCount(), 2500);
        EXPECT_LE(model.CachedPages(), 8);
        EXPECT_EQ(model.data(model.index(0, THistoryModel::ColCard)).toInt(), 20);
        // Text, case and accents ignored, on every card.
        dialog.eCard->clear();
        dialog.eFind->setText(QStringLiteral("EMILE 4999"));
        dialog.ApplyFilter();
        ASSERT_EQ(model.rowCount(), 1);
        EXPECT_EQ(model.data(model.index(0, THistoryModel::ColCard)).toInt(), 30);
        EXPECT_EQ(model.data(model.index(0, THistoryModel::ColTime)).toString(),
                  QDateTime(QDate(2024, 5, 1), QTime(10, 0), Qt::UTC)
                      .toLocalTime()
                      .toString("yyyy-MM-dd HH:mm:ss"));
        dialog.bClose->click();
    });
    // The card grid's menu offers it.
    QAction* entry = nullptr;
    for (QAction* a : window->dbgList->actions())
        if (a->text() == QStringLiteral("History\u2026")) entry = a;
    ASSERT_NE(entry, nullptr);
    entry->trigger();
    EXPECT_TRUE(checked);
}

TEST_F(HistoryTest, ExportWritesTheFilteredEntriesAsCsvAndWorkbook) {
    StartWith(Cards);
    window->bAllGranted->click();
    const QString csv = tmp.filePath("history.csv");
    const QString xlsx = tmp.filePath("history.xlsx");
    prompts.fileAnswers = {csv, xlsx};
    WhenModal<TdlgHistory>([&](TdlgHistory& dialog) {
        dialog.eCard->setText("10");
        dialog.ApplyFilter();
        dialog.bExportClick();
        dialog.bExportClick();
        dialog.bClose->click();
    });
    window->bHistoryClick();
    EXPECT_EQ(prompts.Messages(PromptKind::Info),
              QStringList({"Entries exported: 1.", "Entries exported: 1."}));
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));  // tells spreadsheets it is UTF-8
    const QStringList lines = QString::fromUtf8(bytes.mid(3)).split("\r\n");
    ASSERT_EQ(lines.size(), 3);  // header, one entry, the end
    EXPECT_EQ(lines[0],
              QStringLiteral("Time,Time (UTC),User,Command,Card No.,Before,After,Detail"));
    EXPECT_TRUE(lines[1].contains(QStringLiteral(",Grant All,10,granted=0,granted=1,")))
        << lines[1].toStdString();
    EXPECT_GT(QFile(xlsx).size(), 1000);
    EXPECT_TRUE(QFile(xlsx).permissions() & QFile::ReadOwner);
    EXPECT_FALSE(QFile(xlsx).permissions() & QFile::ReadOther);
}

}  // namespace

// The working card list on a real PostgreSQL server (the private one of the
// CTest fixture, or one of the test's own where the test stops it): every
// command once through the real main window, a second operator's window in
// a process of its own for the conflicts, the live list and Open, a role that
// may only read, a password, and a server that goes away mid-session.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "CPort.h"
#include "about.h"
#include "app/card_files.h"
#include "datasrc.h"
#include "edit.h"
#include "location.h"
#include "mainwindow.h"
#include "options.h"
#include "search.h"
#include "settings.h"
#include "support/controller_sim.h"
#include "support/fake_prompts.h"
#include "support/pg_test.h"
#include "support/pump.h"
#include "support/window_test.h"

namespace {

using lorvane_test::ControllerSim;

// Names where operators' names vary: accents, emoji, CJK, a full-length one.
const std::string kFifty = "Ünïcödé " + std::string(42, 'n');
const std::vector<TestCard> Cards = {
    {30, "Zoë 🙂", "Sales", true},  {10, "émile", "Admin", false},   {50, "Emily", "", true},
    {20, "Holder 10", "Admin", false}, {40, "Holder 2", "北京", false}, {60, kFifty, "", true},
};

// Runs `act` on the next modal dialog of type T once it shows.
template <typename T>
void WhenModal(std::function<void(T&)> act) {
    auto* poll = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, act] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(*dialog);
        } else if (clock->elapsed() > 10000) {
            poll->stop();
            poll->deleteLater();
            ADD_FAILURE() << "no dialog appeared";
            if (QWidget* w = QApplication::activeModalWidget()) w->close();
        }
    });
    poll->start(5);
}

// A second operator: the real main window in a process of its own
// (tests/cards/server_window.cpp) on the same server.
class TOtherWindow {
  public:
    explicit TOtherWindow(const std::string& uri) {
        EXPECT_TRUE(FConfig.isValid());
        QDir().mkpath(FConfig.filePath("Quillon"));
        QFile ini(FConfig.filePath("Quillon/Lorvane.ini"));
        EXPECT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(("[General]\nDATABASE=" + uri + "\n").c_str());
        ini.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), FConfig.path());
        FProcess.setProcessEnvironment(env);
        FProcess.start(QStringLiteral(LORVANE_SERVER_WINDOW), {});
        EXPECT_TRUE(FProcess.waitForStarted());
        EXPECT_TRUE(WaitFor("ready"));
    }
    ~TOtherWindow() {
        FProcess.write("quit\n");
        if (!FProcess.waitForFinished(5000)) FProcess.kill();
    }

    // Sends a command and collects its lines until "done".
    QStringList Do(const QString& command) {
        const qsizetype from = FLines.size();
        FProcess.write((command + "\n").toUtf8());
        EXPECT_TRUE(WaitFor("done")) << command.toStdString();
        return FLines.mid(from);
    }
    // Every line the window printed so far.
    const QStringList& Lines() {
        Read();
        return FLines;
    }
    bool WaitFor(const QString& line, int limitMs = 20000) {
        const qsizetype from = FLines.size();
        return PumpUntil(
            [&] {
                Read();
                return FLines.indexOf(line, from) >= 0;
            },
            limitMs);
    }

  private:
    void Read() {
        while (FProcess.canReadLine()) FLines << QString::fromUtf8(FProcess.readLine()).trimmed();
    }
    QTemporaryDir FConfig;
    QProcess FProcess;
    QStringList FLines;
};

class ServerListTest : public TWindowTest {
  protected:
    void SetUp() override {
        TWindowTest::SetUp();
        LORVANE_NEED_PG_SERVER();
        db = std::make_unique<TPgTestDatabase>();
    }
    void TearDown() override {
        Lorvane = nullptr;
        dsrc = nullptr;
        TWindowTest::TearDown();
        db.reset();
    }
    // The window on the server, as the role.
    void Open(const std::string& role = "postgres") {
        WriteSettingString("DATABASE", db->Uri(role));
        window = std::make_unique<TLorvane>(data, appFolder);
        dsrc = &data;
        Lorvane = window.get();
        window->show();
    }
    std::string File(const char* name) { return tmp.filePath(name).toStdString(); }
    std::string CardFile(const char* name, const std::vector<TestCard>& cards) {
        CreateCardDatabase(File(name), kCardDatabasePassword);
        InsertCards(File(name), cards);
        return File(name);
    }
    std::vector<int> ShownCards() {
        std::vector<int> out;
        const int col = window->dbcard.FieldIndex("cardno");
        for (int r = 0; r < window->dbcard.RecordCount(); ++r)
            out.push_back(static_cast<int>(std::get<std::int64_t>(window->dbcard.Cell(r, col))));
        return out;
    }
    int Current() { return window->dbcard.FieldByName("cardno").AsInteger(); }
    void Select(int card) {
        ASSERT_TRUE(window->dbcard.Locate("cardno", TValue(std::int64_t{card})));
    }
    void Edit(int card, const QString& name, bool granted) {
        Select(card);
        WhenModal<TDlgEdit>([=](TDlgEdit& d) {
            d.eName->setText(name);
            d.cbGranted->setChecked(granted);
            d.OKBtn->click();
        });
        window->bEdit->click();
    }

    FakePrompts prompts;
    std::unique_ptr<TPgTestDatabase> db;
};

TEST_F(ServerListTest, ListSortsSearchesAndFiltersAsTheFileDoes) {
    db->Insert(Cards);
    Open();
    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
    EXPECT_EQ(window->PanelText(1), "6 record(s).");
    EXPECT_EQ(ShownCards(), (std::vector<int>{10, 20, 30, 40, 50, 60}));
    // Where the list lives: the record count's tooltip and the About box.
    const std::string where =
        "Card list: PostgreSQL server postgres@" + db->Folder() + ":5432, database " + db->Name();
    bool tooltip = false;
    for (QLabel* label : window->sbInfo->findChildren<QLabel*>())
        tooltip = tooltip || label->toolTip().toStdString() == where;
    EXPECT_TRUE(tooltip);
    WhenModal<Taboutbox>([&](Taboutbox& box) {
        EXPECT_TRUE(box.Memo1->toPlainText().contains(QString::fromStdString(where)));
        box.close();
    });
    window->bAbout->click();

    // The same collation as the file: case and accents after their letter,
    // numbers by value, whatever the server's own collation.
    emit window->dbgList->horizontalHeader()->sectionClicked(1);
    EXPECT_EQ(ShownCards(), (std::vector<int>{10, 50, 40, 20, 60, 30}));
    WhenModal<TDlgSearch>([](TDlgSearch& d) {
        d.eName->setText(QStringLiteral("HOLDER 1"));
        d.OKBtn->click();
    });
    window->bSearch->click();
    EXPECT_EQ(Current(), 20);

    window->SetGrantedFilter(true);
    EXPECT_EQ(ShownCards(), (std::vector<int>{50, 60, 30}));
    EXPECT_EQ(window->dbcard.FieldByName("descx").AsString(), "Emily");
    ASSERT_TRUE(window->dbcard.Locate("cardno", TValue(std::int64_t{60})));
    EXPECT_EQ(window->dbcard.FieldByName("descx").AsString(), kFifty);
    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
}

TEST_F(ServerListTest, EditingCommandsCommitEachChangeOnTheServer) {
    db->Insert(Cards);
    Open();
    // The name is cut to the column's 50 characters, counted as characters.
    Edit(30, QString::fromStdString(kFifty) + "xyz", false);
    EXPECT_EQ(db->Stored("descx", 30), kFifty);
    EXPECT_EQ(db->Stored("granted", 30), "false");
    EXPECT_EQ(db->Stored("grp", 30), "Sales");

    Select(40);
    window->bDelete->click();
    EXPECT_EQ(db->Stored("cardno", 40), "<none>");
    EXPECT_EQ(window->PanelText(1), "5 record(s).");

    window->bAllGranted->click();
    EXPECT_EQ(db->Run("SELECT count(*) FROM cardlist WHERE granted")[0][0], "5");
    window->bAllDeny->click();
    EXPECT_EQ(db->Run("SELECT count(*) FROM cardlist WHERE granted")[0][0], "0");

    window->bClear->click();
    EXPECT_EQ(db->Count(), 0);
    EXPECT_EQ(window->PanelText(1), "0 record(s).");
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList{});
}

TEST_F(ServerListTest, FileCommandsExportAndUploadWorkOnTheServersList) {
    db->Insert(Cards);
    ControllerSim sim;
    SetComDeviceResolver(ComDeviceFromSettings);
    WriteSettingString("COM1", sim.DevicePath());
    Open();

    // Save: a card database file holding the server's cards.
    prompts.fileAnswers = {tmp.filePath("saved.mdb")};
    window->bSave->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Info), QStringList{"The card database is saved."});
    EXPECT_EQ(CountCards(File("saved.mdb")), 6);
    EXPECT_EQ(StoredText(File("saved.mdb"), "select descx from cardlist where cardno=30"),
              "Zoë 🙂");

    // Merge adds only what is new, also skipping a card another operator
    // added after this window read the list; Open replaces the whole list.
    prompts.Clear();
    prompts.fileAnswers = {QString::fromStdString(CardFile(
        "merge.mdb",
        {{10, "Other", "", true}, {70, "新しい", "", true}, {80, "From the file", "", true}}))};
    db->Run("INSERT INTO cardlist (cardno, descx) VALUES (80, 'Added meanwhile')");
    window->bMerge->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Plain).join('|').count("New card added = 1"), 1)
        << prompts.All().join('|').toStdString();
    EXPECT_TRUE(prompts.Messages(PromptKind::Error).isEmpty());
    EXPECT_EQ(db->Stored("descx", 70), "新しい");
    EXPECT_EQ(db->Stored("descx", 80), "Added meanwhile");
    EXPECT_EQ(db->Stored("descx", 10), "émile");

    prompts.Clear();
    prompts.fileAnswers = {QString::fromStdString(CardFile("open.mdb", {{5, "Five", "G", true}}))};
    window->bOpen->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Info), QStringList{"The card database is opened."});
    EXPECT_EQ(db->Count(), 1);
    EXPECT_EQ(window->PanelText(1), "1 record(s).");

    prompts.Clear();
    prompts.fileAnswers = {tmp.filePath("cards.xlsx")};
    window->bExport->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Info), QStringList{"Export completed."});
    EXPECT_TRUE(QFile::exists(tmp.filePath("cards.xlsx")));

    prompts.Clear();
    window->bUpload->click();
    EXPECT_TRUE(prompts.All().join('|').contains("1 record(s) sent."))
        << prompts.All().join('|').toStdString();
    SetComDeviceResolver({});
}

TEST_F(ServerListTest, ChangingTheLocationInOptionsReadsTheServerAtOnce) {
    CreateCardDatabase(workDb, kCardDatabasePassword);
    InsertCards(workDb, {{1, "In the file", "", false}});
    db->Insert({{2, "On the server", "", false}});
    window = std::make_unique<TLorvane>(data, appFolder);
    EXPECT_EQ(ShownCards(), std::vector<int>{1});

    WhenModal<TDlgOptions>([&](TDlgOptions& options) {
        WhenModal<TDlgLocation>([&, &options = options](TDlgLocation& d) {
            EXPECT_TRUE(d.rbFile->isChecked());
            // Not a URI: the dialog says so and stays.
            d.rbServer->setChecked(true);
            d.eServer->setText(QStringLiteral("cards.example.com"));
            d.OKBtn->click();
            EXPECT_TRUE(d.isVisible());
            d.eServer->setText(QString::fromStdString(db->Uri()));
            d.OKBtn->click();
            QTimer::singleShot(0, &options, [&options] { options.bCancel->click(); });
        });
        options.bLocation->click();
    });
    window->bOptions->click();
    EXPECT_EQ(ReadSettingString("DATABASE", ""), db->Uri());
    EXPECT_EQ(ShownCards(), std::vector<int>{2});
    EXPECT_EQ(prompts.Messages(PromptKind::Error).size(), 1);
}

TEST_F(ServerListTest, AStaleEditFailsAndTheOtherWindowsChangeStays) {
    db->Insert(Cards);
    Open();
    TOtherWindow other(db->Uri());
    // This window's dialog shows card 10 while the other operator changes it.
    Select(10);
    WhenModal<TDlgEdit>([&](TDlgEdit& d) {
        other.Do(QStringLiteral("edit 10 1 Changed elsewhere"));
        d.eName->setText(QStringLiteral("Mine"));
        d.OKBtn->click();
    });
    window->bEdit->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Error),
              QStringList{"Error in updating database. Please retry."});
    EXPECT_EQ(db->Stored("descx", 10), "Changed elsewhere");
    EXPECT_EQ(db->Stored("granted", 10), "true");

    // The other window's change shows here once the box is gone.
    EXPECT_TRUE(PumpUntil(
        [&] { return window->dbcard.FieldByName("descx").AsString() == "Changed elsewhere"; }));
    EXPECT_EQ(Current(), 10);
}

TEST_F(ServerListTest, OtherOperatorsChangesAppearWithTheSelectionKept) {
    db->Insert(Cards);
    Open();
    Select(40);
    TOtherWindow other(db->Uri());
    other.Do(QStringLiteral("edit 10 1 Seen live"));
    EXPECT_TRUE(PumpUntil([&] {
        return window->dbcard.Locate("cardno", TValue(std::int64_t{10})) &&
               window->dbcard.FieldByName("descx").AsString() == "Seen live";
    }));
    // The check above moved the cursor; put it back and watch a second change.
    Select(40);
    db->Run("INSERT INTO cardlist (cardno, descx) VALUES (5, 'New at the door')");
    EXPECT_TRUE(PumpUntil([&] { return window->PanelText(1) == "7 record(s)."; }));
    EXPECT_EQ(Current(), 40);
    // Changed cards keep their place, new ones come at the end (as after this
    // window's own posts); the next refresh sorts them in.
    EXPECT_EQ(ShownCards(), (std::vector<int>{10, 20, 30, 40, 50, 60, 5}));
    db->Run("DELETE FROM cardlist WHERE cardno = 40");
    EXPECT_TRUE(PumpUntil([&] { return window->PanelText(1) == "6 record(s)."; }));
    EXPECT_EQ(Current(), 50);
    // This window's own change does not come back as another's.
    const int refreshes = window->RefreshCount();
    Edit(50, QStringLiteral("Own"), true);
    PumpFor(300);
    EXPECT_EQ(window->RefreshCount(), refreshes);
    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
}

TEST_F(ServerListTest, OpenReplacesTheListInOneStepForEveryoneElse) {
    std::vector<TestCard> old, replacement;
    for (int i = 1; i <= 1000; ++i) old.push_back({i, "Old " + std::to_string(i), "", false});
    for (int i = 1; i <= 3000; ++i) replacement.push_back({i + 5000, "New", "", true});
    db->Insert(old);
    const std::string file = CardFile("replacement.mdb", replacement);
    Open();
    TOtherWindow other(db->Uri());
    other.Do(QStringLiteral("counts on"));
    // A reader of its own that counts all the while.
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::set<int> seen;
    std::thread reader([&] {
        PgConn conn = db->Admin();
        while (!stop) {
            seen.insert(std::stoi(PgRun(conn.get(), "SELECT count(*) FROM cardlist")[0][0]));
            ++reads;
        }
    });
    while (reads == 0) std::this_thread::yield();
    prompts.fileAnswers = {QString::fromStdString(file)};
    window->bOpen->click();
    EXPECT_TRUE(other.WaitFor(QStringLiteral("count 3000")));
    stop = true;
    reader.join();
    EXPECT_EQ(seen, (std::set<int>{1000, 3000}));
    for (const QString& line : other.Lines()) {
        if (!line.startsWith("count ")) continue;
        // -1: closed for a moment while it refreshes.
        EXPECT_TRUE(line == "count 1000" || line == "count 3000" || line == "count -1")
            << line.toStdString();
    }
    EXPECT_EQ(prompts.Messages(PromptKind::Info), QStringList{"The card database is opened."});
}

TEST_F(ServerListTest, AReadOnlyRoleReadsAndUploadsButChangesNothing) {
    db->Insert(Cards);
    const std::string desk = db->MakeRole("reader");
    Open(desk);
    EXPECT_EQ(window->PanelText(1), "6 record(s).");
    const QString refused =
        QString::fromStdString("The card list cannot be changed: the server role " + desk +
                               " may only read the card list.");
    Select(10);
    window->bEdit->click();  // no dialog: the message comes first
    window->bAllGranted->click();
    window->bDelete->click();
    EXPECT_EQ(prompts.All(), (QStringList{refused, refused, refused}));
    EXPECT_EQ(db->Stored("descx", 10), "émile");
    EXPECT_EQ(db->Run("SELECT count(*) FROM cardlist WHERE granted")[0][0], "3");
    // What the upload reads.
    data.daccess.Open();
    EXPECT_EQ(data.daccess.RecordCount(), 3);
    data.daccess.Close();
}

// A refresh goes on with its session: what the role may do is read again.
TEST_F(ServerListTest, ARoleMadeReadOnlyMeanwhileIsToldAtTheNextRefresh) {
    db->Insert(Cards);
    const std::string role = db->MakeRole("writer");
    Open(role);
    db->Run("REVOKE INSERT, UPDATE, DELETE ON cardlist FROM " + role);
    window->RefreshCardList();
    ASSERT_NE(data.adosrc.ReadOnlyReason(), "");  // else the edit dialog would wait for input
    Select(10);
    window->bEdit->click();  // no dialog: the message comes first
    EXPECT_EQ(
        prompts.All(),
        QStringList{QString::fromStdString("The card list cannot be changed: the server role " +
                                           role + " may only read the card list.")});
    EXPECT_EQ(db->Stored("descx", 10), "émile");
}

TEST_F(ServerListTest, APasswordIsAskedOnceAndNeverStored) {
    db->Insert(Cards);
    const std::string role = db->MakeRole("writer", "s3cr%t pw");
    // A wrong answer fails with the server's reason and is asked again.
    prompts.passwordAnswers = {QStringLiteral("wrong"), QStringLiteral("s3cr%t pw")};
    Open(role);
    EXPECT_EQ(prompts.passwordPrompts.size(), 1);
    EXPECT_EQ(prompts.Messages(PromptKind::AppError).size(), 1);
    EXPECT_FALSE(window->dbcard.Active());
    window->RefreshCardList();
    EXPECT_EQ(prompts.passwordPrompts.size(), 2);
    EXPECT_EQ(window->PanelText(1), "6 record(s).");
    // Reconnects (every refresh) and Save's own reading use it without asking.
    window->RefreshCardList();
    prompts.fileAnswers = {tmp.filePath("saved.mdb")};
    window->bSave->click();
    EXPECT_EQ(CountCards(File("saved.mdb")), 6);
    EXPECT_EQ(prompts.passwordPrompts.size(), 2);
    QFile ini(QDir(tmp.filePath("config")).filePath("Quillon/Lorvane.ini"));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    EXPECT_FALSE(ini.readAll().contains("s3cr"));
}

TEST_F(ServerListTest, AServerThatGoesAwayIsReconnectedByTheNextCommand) {
    TPgOwnServer server("restart");
    TPgTestDatabase own("restart");
    std::vector<TestCard> many;
    for (int i = 1; i <= 400; ++i) many.push_back({i, "Card", "", false});
    own.Insert(many);
    WriteSettingString("DATABASE", own.Uri());

    // Unreachable at start: the server and the reason, an empty grid.
    server.Stop();
    window = std::make_unique<TLorvane>(data, appFolder);
    const QStringList errors = prompts.Messages(PromptKind::AppError);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith(QString::fromStdString(
        "Cannot reach the card list on the PostgreSQL server postgres@" + own.Folder())))
        << errors[0].toStdString();
    EXPECT_FALSE(window->dbcard.Active());
    server.Restart();
    emit window->dbgList->horizontalHeader()->sectionClicked(0);
    EXPECT_EQ(window->PanelText(1), "400 record(s).");

    // Restarted while idle: the next command just works.
    server.Restart();
    prompts.Clear();
    Edit(1, QStringLiteral("After the restart"), true);
    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
    EXPECT_EQ(own.Stored("descx", 1), "After the restart");

    // Gone during Grant All: "Database error", the cards granted before stay.
    int advanced = 0;
    QTimer stopper;
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (++advanced == 20) server.Stop();
    });
    stopper.start(0);
    window->bAllGranted->click();
    stopper.stop();
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList{"Database error"});
    server.Restart();
    const int granted = std::stoi(own.Run("SELECT count(*) FROM cardlist WHERE granted")[0][0]);
    EXPECT_GT(granted, 1);
    EXPECT_LT(granted, 400);
    prompts.Clear();
    window->bAllGranted->click();
    EXPECT_EQ(own.Run("SELECT count(*) FROM cardlist WHERE granted")[0][0], "400");
    EXPECT_TRUE(prompts.Messages(PromptKind::Error).isEmpty());
}

TEST(ServerCardList, CreationRefusesAnExistingCardList) {
    LORVANE_NEED_PG_SERVER();
    TPgTestDatabase db;  // made with CreateServerCardList
    db.Insert({{1, "Kept", "", true}});
    EXPECT_THROW(CreateServerCardList(db.Uri()), EDatabaseError);
    EXPECT_EQ(db.Stored("descx", 1), "Kept");
    const auto columns = db.Run(
        "SELECT column_name, data_type, character_maximum_length, is_nullable, "
        "coalesce(column_default, '') FROM information_schema.columns "
        "WHERE table_name = 'cardlist' ORDER BY ordinal_position");
    EXPECT_EQ(columns, (std::vector<std::vector<std::string>>{
                           {"cardno", "integer", "", "NO", ""},
                           {"descx", "character varying", "50", "YES", ""},
                           {"grp", "character varying", "50", "YES", ""},
                           {"granted", "boolean", "", "NO", "false"}}));
}

}  // namespace

// The server's history: every change through the program and outside it,
// with the role and the command; a command's own entries.
TEST_F(ServerListTest, TheServerRecordsEveryChangeWithItsRoleAndCommand) {
    db->Insert(Cards);
    const std::string operatorRole = db->MakeRole("writer");
    db->Run("GRANT SELECT ON history TO " + operatorRole);
    const std::string file =
        CardFile("opened.mdb", {{10, "émile", "", false}, {70, "Néo", "", true}});
    Open(operatorRole);
    Edit(30, QStringLiteral("Zoë 🚪"), true);
    window->bAllDeny->click();
    prompts.fileAnswers = {QString::fromStdString(file)};
    window->bOpen->click();
    db->Run("UPDATE cardlist SET descx = 'by hand' WHERE cardno = 70");  // outside the program

    std::vector<std::string> entries;
    std::vector<std::string> users;
    TDbConnection reader;
    reader.SetConnectionString(db->Uri(operatorRole));
    for (const THistoryEntry& e : reader.ReadHistory({})) {
        entries.push_back(e.command + "|" + (e.card ? std::to_string(*e.card) : "-") + "|" +
                          e.before.value_or("-") + "|" + e.after.value_or("-") + "|" + e.detail);
        users.push_back(e.user);
    }
    ASSERT_GE(entries.size(), 6u);
    EXPECT_EQ(entries[0], "|70|name='Néo'|name='by hand'|");
    EXPECT_EQ(users[0], "postgres");
    EXPECT_EQ(entries[1].substr(0, 20), "Open|-|-|-|7 card(s)");  // 20..60 gone, 10 and 70
    const auto edit = std::find_if(entries.begin(), entries.end(),
                                   [](const std::string& e) { return e.starts_with("Edit|"); });
    ASSERT_NE(edit, entries.end());
    EXPECT_EQ(*edit, "Edit|30|name='Zoë 🙂'|name='Zoë 🚪'|");
    EXPECT_EQ(users[edit - entries.begin()], operatorRole);
    const auto denied = std::find_if(entries.begin(), entries.end(), [](const std::string& e) {
        return e.starts_with("Deny All|-|");
    });
    ASSERT_NE(denied, entries.end());
    EXPECT_TRUE(denied->ends_with("card(s) changed; completed")) << *denied;
    // Filters: the card's entries, newest first; a text, case ignored.
    THistoryQuery query;
    query.card = 30;
    EXPECT_EQ(reader.ReadHistory(query).size(), 4u);  // added, edited, denied, removed by Open
    query = {};
    query.text = "ZOë";
    EXPECT_EQ(reader.ReadHistory(query).size(), 3u);
}

TEST_F(ServerListTest, ARoleAddsEntriesButCanNeitherChangeNorDeleteThem) {
    const std::string operatorRole = db->MakeRole("writer");
    const std::string desk = db->MakeRole("reader");
    db->Run(
        "INSERT INTO history (at, command, detail) VALUES "
        "(now() - interval '400 days', 'Upload', 'old'), (now(), 'Upload', 'young')");
    for (const std::string& role : {operatorRole, desk}) {
        PgConn conn = PgConnect(db->Uri(role));
        for (const char* sql :
             {"DELETE FROM history", "UPDATE history SET detail = 'forged'", "TRUNCATE history",
              "INSERT INTO history (command, detail) VALUES ('Upload', 'forged')",
              "UPDATE history_retention SET days = 1", "ALTER TABLE cardlist DISABLE TRIGGER ALL"})
            EXPECT_THROW(PgRun(conn.get(), sql), std::runtime_error) << role << ": " << sql;
        // Its own entries, stamped by the server with its role.
        PgRun(conn.get(), "SELECT lorvane_add_history('Upload', 'port COM1; completed')");
        // No retention set: nothing goes.
        EXPECT_EQ(PgRun(conn.get(), "SELECT lorvane_expire_history()")[0][0], "0");
    }
    EXPECT_EQ(db->Run("SELECT count(*) FROM history")[0][0], "4");
    EXPECT_EQ(db->Run("SELECT who FROM history WHERE command = 'Upload' ORDER BY id DESC")[0][0],
              desk);

    // The administrator keeps a year; start-up of any operator's window
    // expires what is older, whatever the program's own setting says.
    db->Run("UPDATE history_retention SET days = 365");
    WriteSettingInt("HISTORYDAYS", 10000);
    Open(operatorRole);
    const auto rows = db->Run("SELECT command, detail FROM history ORDER BY id DESC");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0][0] + ": " + rows[0][1], "Retention: 1 entries older than 365 days removed");
    EXPECT_EQ(db->Run("SELECT count(*) FROM history WHERE detail = 'old'")[0][0], "0");
}

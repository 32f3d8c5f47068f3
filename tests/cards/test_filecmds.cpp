// Save, Open, Merge and Add Card through the main window's buttons, on real
// card database files in a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "app/card_files.h"
#include "cardlist.h"
#include "datasrc.h"
#include "import.h"
#include "jetheader.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"
#include "support/jet_writer.h"
#include "support/scratch_mount.h"
#include "support/window_test.h"

namespace {

const std::vector<TestCard> ThreeCards = {
    {10, "Alice", "Admin", false}, {20, "Bob", "Admin", true}, {30, "Carol", "Sales", true}};

// Runs a statement on a card database file without the program's engine.
void Sql(const std::string& path, const char* sql,
         const std::string& password = kCardDatabasePassword) {
    sqlite3* db = OpenKeyed(path, password);
    try {
        Exec(db, sql);
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    sqlite3_close(db);
}

// One text value read without the engine: the first column of the first row.
std::string Value(const std::string& path, const char* sql) {
    return StoredText(path, sql);
}

class FileCommandsTest : public TWindowTest {
  protected:
    std::string File(const char* name) { return tmp.filePath(name).toStdString(); }
    std::string CardList(const char* name, const std::vector<TestCard>& cards) {
        const std::string path = File(name);
        CreateCardDatabase(path, kCardDatabasePassword);
        InsertCards(path, cards);
        return path;
    }
    std::string Batch(const char* name, int first, int count) {
        const std::string path = File(name);
        CreateCardBatchDatabase(path, kCardDatabasePassword);
        std::string sql = "insert into card values ";
        for (int i = 0; i < count; ++i) sql += (i ? ",(" : "(") + std::to_string(first + i) + ")";
        Sql(path, sql.c_str());
        return path;
    }
    void Start(const std::vector<TestCard>& cards = ThreeCards) {
        StartWith(cards);
        prompts.Clear();
    }
    void Answer(const std::string& file) {
        prompts.fileAnswers.push_back(QString::fromStdString(file));
    }
    // Add Card with the file as the dialog's answer.
    void AddCard(const std::string& file) {
        Answer(file);
        window->bAdd->click();
    }
    void Merge(const std::string& file) {
        Answer(file);
        window->bMerge->click();
    }
    QStringList Plain() { return prompts.Messages(PromptKind::Plain); }
    QString Summary(int count, int before, int added, int total, bool batch = true) {
        return QString(batch ? "Number of purchased card = %1" : "Cards to be merged = %1")
                   .arg(count) +
               QString(
                   "\r\nCards in database before adding = %1\r\nNew card added = %2\r\n"
                   "Total cards in database now = %3")
                   .arg(before)
                   .arg(added)
                   .arg(total);
    }
    // The list is open again with the grid shown.
    void ExpectRefreshed() {
        EXPECT_TRUE(window->dbcard.Active());
        EXPECT_FALSE(window->dbgList->isHidden());
        EXPECT_EQ(QDir::currentPath() + "/", QString::fromStdString(appFolder));
    }

    FakePrompts prompts;
};

TEST_F(FileCommandsTest, DialogsShowTheirTitlesFiltersAndRememberedFiles) {
    Start();
    WriteSettingString("SAVED", "/x/saved.mdb");
    window->bSave->click();
    window->bOpen->click();
    window->bMerge->click();
    prompts.confirmAnswers = {false, true};  // the CD-ROM box: closed, then OK
    window->bAdd->click();
    window->bAdd->click();
    ASSERT_EQ(prompts.fileDialogs.size(), 4u);
    const char* titles[] = {"Save Card Database", "Open Card Database", "Merge Card Database",
                            "Select Card Database"};
    for (int i = 0; i < 4; ++i) {
        const auto& d = prompts.fileDialogs[i];
        EXPECT_EQ(d.caption, titles[i]);
        EXPECT_EQ(d.save, i == 0);
        EXPECT_EQ(d.defaultExt, "mdb");
        EXPECT_EQ(d.filter, i < 3 ? "Card Database (*.mdb)|*.mdb"
                                  : "Card Database|*.mdb|Spreadsheet or CSV (*.xlsx *.xls "
                                    "*.csv)|*.xlsx;*.xls;*.csv");
        EXPECT_EQ(d.initial, i < 3 ? "/x/saved.mdb" : QDir::homePath());
    }
    ASSERT_EQ(prompts.shown.size(), 2u);
    EXPECT_EQ(prompts.shown[0].kind, PromptKind::Proceed);
    EXPECT_EQ(prompts.shown[0].title, "Confirm");
    EXPECT_EQ(prompts.shown[0].message, "Please insert the ID card CDROM.");
    EXPECT_EQ(window->RefreshCount(), 4);  // cancelled Save, Open, Merge refresh; Add does not
    EXPECT_EQ(QtFileFilter("Card Database|*.mdb"), "Card Database (*.mdb)");
    EXPECT_EQ(QtFileFilter("Card Database (*.mdb)|*.mdb"), "Card Database (*.mdb)");
    EXPECT_EQ(QtFileFilter(prompts.fileDialogs[3].filter),
              "Card Database (*.mdb);;Spreadsheet or CSV (*.xlsx *.xls *.csv)");

    // The chosen file is remembered at once, even when it is no database.
    const std::string junk = File("junk.mdb");
    QFile(QString::fromStdString(junk)).open(QIODevice::WriteOnly);
    AddCard(junk);
    EXPECT_EQ(ReadSettingString("ADD", ""), junk);
    AddCard("");
    EXPECT_EQ(prompts.fileDialogs.back().initial, QString::fromStdString(junk));
}

TEST_F(FileCommandsTest, SaveCopiesCommittedCardsHeldInAnotherProgramsLog) {
    Start();
    // Another copy of the program holds the file open in WAL mode with a
    // commit that is still in its log.
    sqlite3* other = OpenKeyed(workDb, kCardDatabasePassword);
    Exec(other, "PRAGMA journal_mode=WAL");
    Exec(other, "insert into cardlist (cardno, descx, granted) values (40, 'Dave', 1)");
    ASSERT_TRUE(QFile::exists(QString::fromStdString(workDb + "-wal")));

    const std::string saved = File("saved.mdb");
    Answer(saved);
    window->bSave->click();
    sqlite3_close(other);
    EXPECT_EQ(prompts.Messages(PromptKind::Info), QStringList{"The card database is saved."});
    EXPECT_EQ(ReadSettingString("SAVED", ""), saved);
    EXPECT_EQ(CountCards(saved), 4);
    EXPECT_EQ(Value(saved, "select descx from cardlist where cardno=40"), "Dave");
    // Readable from read-only media: no write-ahead log needed.
    EXPECT_EQ(Value(saved, "pragma journal_mode"), "delete");
    struct stat st {};
    ASSERT_EQ(::stat(saved.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"saved.mdb"}));
    ExpectRefreshed();

    // The files the engine keeps beside the working database are no place
    // for a copy: it would be lost, or taken for the database's own log.
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        SCOPED_TRACE(suffix);
        prompts.Clear();
        Answer(workDb + suffix);
        window->bSave->click();
        EXPECT_EQ(prompts.Messages(PromptKind::Error),
                  QStringList{"The card database cannot be saved. Please try."});
        EXPECT_EQ(window->dbcard.RecordCount(), 4);
    }

    // A folder that cannot take the file.
    prompts.Clear();
    Answer(File("no/such/folder/x.mdb"));
    window->bSave->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Error),
              QStringList{"The card database cannot be saved. Please try."});
    ExpectRefreshed();
}

TEST_F(FileCommandsTest, OpenReplacesTheWorkingDatabaseOnlyWhenConfirmed) {
    Start();
    const std::string other = CardList("other.mdb", {{7, "Zed", "Guests", true}});
    prompts.confirmAnswers = {false};
    Answer(other);
    window->bOpen->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Confirm),
              QStringList{"The current card list will be lost. Are you sure to proceed?"});
    EXPECT_EQ(window->dbcard.RecordCount(), 3);
    EXPECT_EQ(ReadSettingString("SAVED", ""), other);
    ExpectRefreshed();

    // The working database has a log of its own held open by another program.
    sqlite3* holder = OpenKeyed(workDb, kCardDatabasePassword);
    Exec(holder, "PRAGMA journal_mode=WAL");
    Exec(holder, "insert into cardlist (cardno, descx, granted) values (99, 'Old', 0)");
    prompts.Clear();
    Answer(other);
    window->bOpen->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Info), QStringList{"The card database is opened."});
    sqlite3_close(holder);
    window->RefreshCardList();
    ASSERT_EQ(window->dbcard.RecordCount(), 1);
    EXPECT_EQ(window->dbcard.FieldByName("grp").AsString(), "Guests");
    // The program's own connection keeps a log while it is open; once the last
    // connection has closed, the file stands alone.
    data.adosrc.Disconnect();
    EXPECT_EQ(QDir(QString::fromStdString(appFolder)).entryList(QDir::Files | QDir::Hidden),
              QStringList({"cardlist.mdb"}));
}

// Another copy of the program holds the working database while this one
// runs Open: each of its later posts goes into the working file or fails,
// and none is reported saved and lost.
TEST_F(FileCommandsTest, OpenKeepsAnotherCopysLaterPostsInTheWorkingFile) {
    Start();
    TDbQuery other("dbcard");
    other.SetConnectionString(BuildConnectionString(workDb));
    other.SQLAdd("select * from cardlist order by cardno");
    other.Open();
    other.Edit();
    other.FieldByName("descx").SetAsString("Alicia");
    other.Post();

    Answer(CardList(
        "chosen.mdb",
        {{10, "Alice", "Admin", false}, {30, "Carol", "Sales", true}, {40, "Dave", "", true}}));
    window->bOpen->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Info), QStringList{"The card database is opened."});
    EXPECT_EQ(window->dbcard.RecordCount(), 3);

    std::vector<int> saved;
    for (int no : {10, 20, 30}) {
        ASSERT_TRUE(other.Locate("cardno", TValue{std::int64_t{no}}));
        other.Edit();
        other.FieldByName("descx").SetAsString("late " + std::to_string(no));
        try {
            other.Post();
            saved.push_back(no);
        } catch (const EDatabaseError&) {
            other.Cancel();
        }
    }
    EXPECT_EQ(saved, std::vector<int>{30});  // the one card the new list holds unchanged
    EXPECT_EQ(Value(workDb, "select descx from cardlist where cardno=30"), "late 30");
    EXPECT_EQ(Value(workDb, "select descx from cardlist where cardno=10"), "Alice");
    EXPECT_EQ(CountCards(workDb), 3);
}

TEST_F(FileCommandsTest, BadFilesAreRefusedAndLoseNothing) {
    Start();
    const std::string text = File("text.mdb");
    QFile t(QString::fromStdString(text));
    ASSERT_TRUE(t.open(QIODevice::WriteOnly));
    t.write("This is not a database at all, just some text.\n");
    t.close();
    const std::string empty = File("empty.mdb");
    QFile(QString::fromStdString(empty)).open(QIODevice::WriteOnly);
    const std::string otherKey = File("otherkey.mdb");
    CreateCardDatabase(otherKey, "another password");
    const std::string plain = File("plain.mdb");
    CreateCardDatabase(plain, "");
    std::vector<std::string> bad = {text, empty, otherKey, plain};
    if (::geteuid() != 0) {  // root reads every file
        const std::string unreadable = CardList("unreadable.mdb", ThreeCards);
        ::chmod(unreadable.c_str(), 0);
        bad.push_back(unreadable);
    }
    for (const std::string& file : bad) {
        SCOPED_TRACE(file);
        prompts.Clear();
        Answer(file);
        window->bOpen->click();
        Merge(file);
        AddCard(file);
        EXPECT_EQ(prompts.Messages(PromptKind::Error),
                  QStringList({"Invalid Database", "Invalid Database"}));
        EXPECT_EQ(Plain(),
                  QStringList{"Error opening input file: " + QString::fromStdString(file)});
        EXPECT_EQ(prompts.Messages(PromptKind::Info), QStringList());
        EXPECT_EQ(CountCards(workDb), 3);
        EXPECT_EQ(window->dbcard.RecordCount(), 3);
        ExpectRefreshed();
        EXPECT_EQ(window->PanelText(2), "");
    }
    EXPECT_EQ(QFileInfo(QString::fromStdString(empty)).size(), 0);  // nothing written into it
}

// Card numbers that are no whole numbers within 32 bits make Open refuse the
// file before its question, naming them.
TEST_F(FileCommandsTest, OpenRefusesCardNumbersThatAreNoWhole32BitNumbers) {
    Start();
    const std::string odd = File("odd.numbers v2.mdb");
    CreateCardDatabase(odd, kCardDatabasePassword);
    Sql(odd,
        "drop table cardlist; create table cardlist (cardno, descx varchar(50), grp "
        "varchar(50), granted boolean); insert into cardlist values (7, 'Åsa', null, -1), "
        "('12abc', 'a', null, 1), (5000000000, 'b', null, 1), (2.5, 'c', null, 0), "
        "(null, 'd', null, 2)");
    Answer(odd);
    window->bOpen->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Error),
              QStringList{"The card database cannot be opened: 4 card numbers are not a whole "
                          "number from -2147483648 to 2147483647 ('12abc', '5000000000', '2.5', "
                          "...)."});
    EXPECT_EQ(prompts.Messages(PromptKind::Confirm), QStringList());
    EXPECT_EQ(CountCards(workDb), 3);
    ExpectRefreshed();
}

// A named pipe, a device or a folder chosen in a dialog is refused before
// anything opens it: opening a pipe would wait for a writer for good.
TEST_F(FileCommandsTest, PipesDevicesAndFoldersAreRefusedAtOnce) {
    Start();
    const std::string pipe = File("batch.mdb");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::string folder = File("folder.mdb");
    QDir().mkpath(QString::fromStdString(folder));
    // Should the program open the pipe after all, a writer comes and goes, so
    // that the test fails instead of hanging.
    std::atomic<bool> stop{false}, opened{false};
    std::thread writer([&] {
        while (!stop) {
            const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                opened = true;
                const std::string junk(4096, 'x');
                [[maybe_unused]] const ssize_t n = ::write(fd, junk.data(), junk.size());
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const std::pair<std::string, const char*> choices[] = {
        {pipe, "a named pipe"}, {"/dev/null", "a device"}, {folder, "a folder"}};
    for (const auto& [file, kind] : choices) {
        SCOPED_TRACE(file);
        prompts.Clear();
        Answer(file);
        window->bOpen->click();
        EXPECT_EQ(ReadSettingString("SAVED", ""), file);
        Merge(file);
        AddCard(file);
        EXPECT_EQ(ReadSettingString("ADD", ""), file);
        const QString refusal =
            QString::fromStdString(file) + " cannot be used: it is " + kind + ", not a file.";
        EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList({refusal, refusal, refusal}));
        EXPECT_EQ(Plain(), QStringList());
        EXPECT_EQ(window->dbcard.RecordCount(), 3);
        ExpectRefreshed();
    }
    stop = true;
    writer.join();
    EXPECT_FALSE(opened);
}

TEST_F(FileCommandsTest, BatchImportAddsNewCardsOnceAndSummarises) {
    Start();
    const std::string batch = Batch("batch.mdb", 25, 10);  // 25..34: 30 is in the list
    AddCard(batch);
    EXPECT_EQ(Plain(), QStringList{Summary(10, 3, 9, 12)});
    ASSERT_TRUE(window->dbcard.Locate("cardno", TValue{std::int64_t{25}}));
    EXPECT_EQ(window->dbcard.FieldByName("descx").AsString(), "");
    EXPECT_TRUE(window->dbcard.FieldByName("grp").IsNull());
    EXPECT_FALSE(window->dbcard.FieldByName("granted").AsBoolean());
    EXPECT_EQ(window->PanelText(2), "");
    ExpectRefreshed();
    EXPECT_FALSE(window->LongCommandRunning());

    // Names given in between stay; the second import adds nothing.
    window->dbcard.Edit();
    window->dbcard.FieldByName("descx").SetAsString("Given");
    window->dbcard.Post();
    prompts.Clear();
    AddCard(batch);
    EXPECT_EQ(Plain(), QStringList{Summary(10, 12, 0, 12)});
    EXPECT_EQ(Value(workDb, "select descx from cardlist where cardno=25"), "Given");

    // With the granted-only filter on, new cards are not in the totals.
    window->SetGrantedFilter(true);
    prompts.Clear();
    AddCard(Batch("batch2.mdb", 100, 5));
    EXPECT_EQ(Plain(), QStringList{Summary(5, 2, 5, 2)});
    EXPECT_EQ(CountCards(workDb), 17);
}

TEST_F(FileCommandsTest, MergeKeepsTheListsCardsAndNeverCopiesTheGroup) {
    Start();
    WriteSettingString("SAVED", "/media/cd/old.mdb");
    WriteSettingString("ADD", "/media/cd/batch.mdb");
    const std::string other = CardList(
        "other.mdb", {{20, "Robert", "Other", false}, {40, std::string(60, 'x'), "Guests", true}});
    Sql(other, "insert into cardlist (cardno, descx, granted) values (50, null, 0)");
    Merge(other);
    EXPECT_EQ(ReadSettingString("SAVED", ""), other);
    EXPECT_EQ(ReadSettingString("ADD", ""), "/media/cd/batch.mdb");
    EXPECT_EQ(Plain(), QStringList{Summary(3, 3, 2, 5, false)});
    EXPECT_EQ(Value(workDb, "select descx || grp || granted from cardlist where cardno=20"),
              "BobAdmin1");
    EXPECT_EQ(Value(workDb, "select descx from cardlist where cardno=40"), std::string(50, 'x'));
    EXPECT_EQ(Value(workDb, "select grp from cardlist where cardno=40"), "<null>");
    EXPECT_EQ(Value(workDb, "select granted from cardlist where cardno=40"), "1");
    EXPECT_EQ(Value(workDb, "select descx from cardlist where cardno=50"), "<null>");
    ExpectRefreshed();

    // The source kind comes from the tables: a card list through Add Card is a
    // merge, a file with both tables through Merge is a batch.
    prompts.Clear();
    AddCard(CardList("list2.mdb", {{60, "Fay", "", false}}));
    const std::string both = CardList("both.mdb", {{70, "Gus", "", true}});
    Sql(both, "create table card (cardno integer); insert into card values (80), (90)");
    Merge(both);
    EXPECT_EQ(Plain(), QStringList({Summary(1, 5, 1, 6, false), Summary(2, 6, 2, 8)}));
}

TEST_F(FileCommandsTest, BatchWithRepeatsAndBadNumbers) {
    Start();
    // A batch without a key may list a card twice; the appended row is found.
    const std::string repeats = File("repeats.mdb");
    CreateCardDatabase(repeats, kCardDatabasePassword);
    Sql(repeats, "create table card (cardno integer); insert into card values (5), (5), (6)");
    AddCard(repeats);
    EXPECT_EQ(Plain(), QStringList{Summary(3, 3, 2, 5)});
    EXPECT_TRUE(LocateCard(*window, 10));  // the index exists before the append
    window->dbcard.Append();
    window->dbcard.FieldByName("cardno").SetAsInteger(77);
    window->dbcard.Post();
    window->dbcard.First();
    EXPECT_TRUE(LocateCard(*window, 77));
    EXPECT_EQ(window->dbcard.FieldByName("cardno").AsInteger(), 77);
    EXPECT_FALSE(LocateCard(*window, 78));
    EXPECT_EQ(window->dbcard.FieldByName("cardno").AsInteger(), 77);

    // A number that is no integer stops the import after the closing steps.
    const std::string text = File("text.mdb");
    CreateCardDatabase(text, kCardDatabasePassword);
    Sql(text,
        "create table card (cardno text); insert into card values ('1'), ('2'), ('abc'), ('4')");
    const std::string huge = File("huge.mdb");
    CreateCardDatabase(huge, kCardDatabasePassword);
    Sql(huge, "create table card (cardno integer); insert into card values (3), (5000000000)");
    prompts.Clear();
    AddCard(text);
    AddCard(huge);
    ASSERT_EQ(prompts.shown.size(), 6u);
    EXPECT_EQ(prompts.shown[1].message, Summary(4, 6, 3, 9));  // 'abc' sorts last
    EXPECT_EQ(prompts.shown[2].kind, PromptKind::AppError);
    EXPECT_EQ(prompts.shown[2].message, "'abc' is not a valid integer value.");
    EXPECT_EQ(prompts.shown[4].message, Summary(2, 9, 1, 10));
    EXPECT_EQ(prompts.shown[5].message, "'5000000000' is not a valid integer value.");
    ExpectRefreshed();
    EXPECT_FALSE(window->LongCommandRunning());
}

// The working database fills its disk during Add Card: the import stops at
// once with the reason, and the summary counts what was stored.
TEST_F(FileCommandsTest, AFullDiskStopsAnImportAtOnceWithTheReason) {
    if (!TScratchMount::Unavailable().empty()) GTEST_SKIP() << TScratchMount::Unavailable();
    TScratchMount disk(appFolder, 384 * 1024);
    ASSERT_TRUE(disk.Mounted()) << disk.Error();
    Start();
    AddCard(Batch("batch.mdb", 1000, 20000));
    const int stored = CountCards(workDb) - 3;
    EXPECT_GT(stored, 0);
    EXPECT_LT(stored, 20000);
    ASSERT_EQ(prompts.shown.size(), 3u) << prompts.All().join('|').toStdString();
    EXPECT_EQ(prompts.shown[1].message, Summary(20000, 3, stored, 3 + stored));
    EXPECT_EQ(prompts.shown[2].kind, PromptKind::AppError);
    EXPECT_EQ(prompts.shown[2].message, "database or disk is full.");
    ExpectRefreshed();
}

// Card databases in write-ahead-log mode where nothing can be written beside
// them: a merge source on read-only media imports, and a working database on
// a full disk is shown read-only, with the reason, and loses nothing.
TEST_F(FileCommandsTest, LoggedDatabasesOnReadOnlyMediaAndAFullDiskAreRead) {
    if (!TScratchMount::Unavailable().empty()) GTEST_SKIP() << TScratchMount::Unavailable();
    TScratchMount disk(appFolder, 512 * 1024);
    TScratchMount stick(File("stick"), 512 * 1024);
    ASSERT_TRUE(disk.Mounted() && stick.Mounted()) << disk.Error() << stick.Error();
    const std::string source = File("stick") + "/Ünïon cards.mdb";
    CreateCardDatabase(source, kCardDatabasePassword);
    InsertCards(source, {{40, "山田 太郎 😀", "", true}});
    Sql(source, "pragma journal_mode=wal");
    ASSERT_TRUE(stick.MakeReadOnly());

    Start();
    Merge(source);
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList());
    EXPECT_EQ(Plain(), QStringList{Summary(1, 3, 1, 4, false)});
    window.reset();
    data.adosrc.Disconnect();  // the working database is now in log mode, and closed

    disk.Fill("filler");
    prompts.Clear();
    window = std::make_unique<TLorvane>(data, appFolder);
    EXPECT_EQ(prompts.Messages(PromptKind::Error),
              QStringList{"The card list is shown read-only: the disk is full, so changes "
                          "cannot be saved."});
    ASSERT_EQ(window->dbcard.RecordCount(), 4);
    ASSERT_TRUE(window->dbcard.Locate("cardno", TValue{std::int64_t{40}}));
    EXPECT_EQ(window->dbcard.FieldByName("descx").AsString(), "山田 太郎 😀");
    EXPECT_THROW(window->dbcard.Edit(), EDatabaseError);
    prompts.Clear();
    window->RefreshCardList();
    EXPECT_EQ(prompts.All(), QStringList());  // told once
    ::unlink((appFolder + "filler").c_str());
    EXPECT_EQ(CountCards(workDb), 4);
}

TEST_F(FileCommandsTest, JetCardListOpensAsAConvertedCopy) {
    using namespace jetwriter;
    Start();
    jetwriter::TOptions options;
    options.password = kCardDatabasePassword;
    const std::string list = File("old list.mdb");
    // A name as long as the Jet column holds: 50 characters.
    std::string fifty = "Émile Zoë ";
    for (int i = 0; i < 37; ++i) fifty += "ß";
    fifty += " 日本";
    WriteFile(
        list,
        FileBytes({CardListTable({{std::int32_t{9}, fifty, TCell(), true},
                                  {std::int32_t{2}, std::string(), std::string("staff"), false}})},
                  options));
    Answer(list);
    window->bOpen->click();
    EXPECT_EQ(prompts.Messages(PromptKind::Info), QStringList{"The card database is opened."});
    EXPECT_FALSE(IsJetFile(workDb));
    EXPECT_EQ(CountCards(workDb), 2);
    EXPECT_EQ(Value(workDb, "select descx || granted from cardlist where cardno=9"), fifty + "1");
    EXPECT_EQ(Value(workDb, "select grp from cardlist where cardno=2"), "staff");
    ExpectRefreshed();
}

// Save and Open in a child process killed at random moments: the
// destination is the old list or the new one, whole; Save leaves nothing else
// beside it.
TEST_F(FileCommandsTest, KilledCopiesLeaveTheOldFileOrTheNewOne) {
    const std::string big = CardList("big.mdb", ManyCards(20000));
    const std::string folder = File("dest");
    QDir().mkpath(QString::fromStdString(folder));
    const std::string dest = folder + "/cardlist.mdb";
    auto oldList = [&] {
        for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((dest + suffix).c_str());
        CreateCardDatabase(dest, kCardDatabasePassword);
        InsertCards(dest, ThreeCards);
    };
    auto copy = [&](bool open) {
        if (open)
            ReplaceCardList(BuildConnectionString(dest), BuildConnectionString(big));
        else
            CopyCardDatabase(BuildConnectionString(big), dest);
    };
    std::chrono::steady_clock::duration took[2];
    for (bool open : {false, true}) {  // how long each takes here
        oldList();
        const auto t0 = std::chrono::steady_clock::now();
        copy(open);
        took[open] = std::chrono::steady_clock::now() - t0;
        ASSERT_EQ(CountCards(dest), 20000);
    }

    std::mt19937 random(42);
    int olds = 0, news = 0;
    for (int round = 0; round < 16; ++round) {
        const bool open = round % 2 == 1;
        oldList();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                copy(open);
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        std::this_thread::sleep_for(took[open] * (random() % 100) / 80);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        const int count = CountCards(dest);
        ASSERT_TRUE(count == 3 || count == 20000) << count << (open ? " open" : " save");
        EXPECT_EQ(Value(dest, "pragma integrity_check"), "ok");
        (count == 3 ? olds : news)++;
        if (!open) {
            EXPECT_EQ(QDir(QString::fromStdString(folder)).entryList(QDir::Files | QDir::Hidden),
                      QStringList({"cardlist.mdb"}));
        }
    }
    EXPECT_GT(olds, 0);
}

}  // namespace

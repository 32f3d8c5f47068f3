// Jet 4 files brought by operators, through the main window's Add Card, Merge
// and Open: read through the engine's Jet reader.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <memory>
#include <numeric>

#include "app/card_files.h"
#include "datasrc.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"
#include "support/jet_writer.h"
#include "support/window_test.h"

namespace {

using namespace jetwriter;

class JetFilesTest : public TWindowTest {
  protected:
    void SetUp() override {
        TWindowTest::SetUp();
        StartWith({{10, "Alice", "Admin", false}, {30, "Carol", "Sales", true}});
        prompts.Clear();
    }
    std::string Jet(const char* name, const std::vector<TTable>& tables,
                    const std::string& password = kCardDatabasePassword) {
        const std::string path = tmp.filePath(name).toStdString();
        TOptions o;
        o.password = password;
        WriteFile(path, FileBytes(tables, o));
        return path;
    }
    void Click(QPushButton* button, const std::string& file) {
        prompts.fileAnswers.push_back(QString::fromStdString(file));
        button->click();
    }
    QStringList Plain() { return prompts.Messages(PromptKind::Plain); }

    FakePrompts prompts;
};

TEST_F(JetFilesTest, AddCardOfAJetBatchAndMergeOfAJetList) {
    Click(window->bAdd, Jet("batch.mdb", {CardBatchTable({35, 30, 25, 25, 40})}));
    EXPECT_EQ(Plain(), QStringList{"Number of purchased card = 5\r\n"
                                   "Cards in database before adding = 2\r\n"
                                   "New card added = 3\r\n"
                                   "Total cards in database now = 5"});
    ASSERT_TRUE(window->dbcard.Locate("cardno", TValue{std::int64_t{25}}));
    EXPECT_EQ(window->dbcard.FieldByName("descx").AsString(), "");
    EXPECT_FALSE(window->dbcard.FieldByName("granted").AsBoolean());

    // Names longer than the working table's column are cut to its 50.
    const std::string longName(60, 'n');
    prompts.Clear();
    Click(window->bMerge,
          Jet("list.mdb",
              {CardListTable({{std::int32_t{50}, longName, std::string("Guests"), true},
                              {std::int32_t{10}, std::string("Other"), TCell(), true}})}));
    EXPECT_EQ(Plain(), QStringList{"Cards to be merged = 2\r\n"
                                   "Cards in database before adding = 5\r\n"
                                   "New card added = 1\r\n"
                                   "Total cards in database now = 6"});
    ASSERT_TRUE(window->dbcard.Locate("cardno", TValue{std::int64_t{50}}));
    EXPECT_EQ(window->dbcard.FieldByName("descx").AsString(), std::string(50, 'n'));
    EXPECT_TRUE(window->dbcard.FieldByName("grp").IsNull());
    EXPECT_TRUE(window->dbcard.FieldByName("granted").AsBoolean());
    ASSERT_TRUE(window->dbcard.Locate("cardno", TValue{std::int64_t{10}}));
    EXPECT_EQ(window->dbcard.FieldByName("descx").AsString(), "Alice");
}

// Every Jet file the engine refuses is an invalid database for Open and
// an unreadable input for Add Card, and the list loses nothing.
TEST_F(JetFilesTest, BadJetFilesAreRefusedAndLoseNothing) {
    std::vector<std::uint8_t> damaged =
        FileBytes({CardListTable({{std::int32_t{1}, std::string("x"), TCell(), true}})},
                  TOptions{kCardDatabasePassword});
    damaged.resize(kPage + 10);
    const std::string cut = tmp.filePath("cut.mdb").toStdString();
    WriteFile(cut, damaged);
    TOptions jet3{kCardDatabasePassword};
    jet3.version = 0;
    const std::string old = tmp.filePath("jet3.mdb").toStdString();
    WriteFile(old, FileBytes({CardListTable({})}, jet3));
    // A batch and a card list cut short by their last pages, and a batch with a
    // card without number: libmdb reads them without a word, cards missing or a
    // card 0 among them.
    std::vector<std::int32_t> thousand(1000);
    std::iota(thousand.begin(), thousand.end(), 1);
    std::vector<TRow> listRows;
    for (std::int32_t no : thousand)
        listRows.push_back({no, "Holder " + std::to_string(no), TCell(), no % 2 == 0});
    auto cutShort = [&](const char* name, const TTable& table) {
        std::vector<std::uint8_t> bytes = FileBytes({table}, TOptions{kCardDatabasePassword});
        bytes.resize(bytes.size() - 2 * kPage);
        const std::string path = tmp.filePath(name).toStdString();
        WriteFile(path, bytes);
        return path;
    };
    TTable nullCard = CardBatchTable({100, 200, 300});
    nullCard.rows[1][0] = TCell();
    for (const std::string& bad :
         {Jet("other.mdb", {CardListTable({})}, "Other"), old, cut,
          cutShort("short batch.mdb", CardBatchTable(thousand)),
          cutShort("short list.mdb", CardListTable(listRows)), Jet("null.mdb", {nullCard})}) {
        SCOPED_TRACE(bad);
        prompts.Clear();
        Click(window->bOpen, bad);
        Click(window->bAdd, bad);
        EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList{"Invalid Database"});
        EXPECT_EQ(Plain(), QStringList{"Error opening input file: " + QString::fromStdString(bad)});
        EXPECT_EQ(CountCards(workDb), 2);
        EXPECT_EQ(window->dbcard.RecordCount(), 2);
    }
    prompts.Clear();
    Click(window->bOpen, Jet("batch.mdb", {CardBatchTable({1})}));  // a batch is no card list
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList{"Invalid Database"});
}

}  // namespace

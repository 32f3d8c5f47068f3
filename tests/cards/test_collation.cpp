// Order and search of card names and groups through the engine, on a real file.
#include <gtest/gtest.h>
#include <unicode/uloc.h>
#include <unistd.h>

#include <filesystem>

#include "app/card_files.h"
#include "collation.h"
#include "dbengine.h"

namespace fs = std::filesystem;

namespace {

class Collation : public ::testing::Test {
  protected:
    void SetUp() override {
        // The order of the common locale; a Swedish machine puts Å after Z.
        UErrorCode err = U_ZERO_ERROR;
        uloc_setDefault("en_GB", &err);
        char tmpl[] = "/tmp/lorvane-coll-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = (dir / "cardlist.mdb").string();
        CreateCardDatabase(path, kCardDatabasePassword);
    }
    void TearDown() override {
        q.Close();
        fs::remove_all(dir);
    }
    void Open(const std::vector<TestCard>& cards, const std::string& order) {
        InsertCards(path, cards);
        q.SetConnectionString(BuildConn());
        q.SQLAdd("select * from cardlist");
        q.SQLAdd("order by " + order);
        q.Open();
    }
    std::string BuildConn() const {
        return "Data Source=\"" + path + "\";Jet OLEDB:Database Password=" + kCardDatabasePassword;
    }
    std::vector<std::string> Column(const char* name) {
        std::vector<std::string> out;
        for (q.First(); !q.Eof(); q.Next()) out.push_back(q.FieldByName(name).AsString());
        return out;
    }
    int Found(const char* field, const std::string& text) {
        if (!q.Locate(field, text, TDbQuery::loPartialKey | TDbQuery::loCaseInsensitive)) return -1;
        return q.FieldByName("cardno").AsInteger();
    }

    fs::path dir;
    std::string path;
    TDbQuery q{"dbcard"};
};

TEST_F(Collation, NamesSortByLetterThenAccentIgnoringCaseAndDigitsByValue) {
    const std::vector<std::string> names = {"Holder 10", "zed",   "Émile",   "Åsa",
                                            "holder 2",  "abel",  "Eve",     "Zoë",
                                            "emile",     "Ängel", "Holder 1"};
    std::vector<TestCard> cards;
    for (size_t i = 0; i < names.size(); ++i)
        cards.push_back({static_cast<int>(i + 1), names[i], "", i % 2 == 0});
    Open(cards, "descx asc");
    EXPECT_EQ(Column("descx"),
              (std::vector<std::string>{"abel", "Ängel", "Åsa", "emile", "Émile", "Eve", "Holder 1",
                                        "holder 2", "Holder 10", "zed", "Zoë"}));
    // An order by list that SQLite sorts itself (an expression in it) sorts
    // names and booleans alike.
    const std::vector<std::string> sorted = Column("descx");
    q.Close();
    q.SQLClear();
    q.SQLAdd("select * from cardlist order by descx, cardno + 0");
    q.Open();
    EXPECT_EQ(Column("descx"), sorted);
    q.Close();
    q.SQLClear();
    q.SQLAdd("select * from cardlist order by granted, cardno + 0");
    q.Open();
    EXPECT_EQ(Column("cardno").front(), "1");
    EXPECT_EQ(Column("cardno").back(), "10");
    q.Close();
    q.SQLClear();
    q.SQLAdd("select * from cardlist order by granted asc, cardno desc");
    q.Open();
    EXPECT_EQ(Column("cardno").front(), "11");  // granted first, then by number
    EXPECT_EQ(Column("cardno").back(), "2");
}

TEST_F(Collation, PrefixSearchIgnoresCaseAndAccentsAndTakesSpecialCharactersLiterally) {
    Open({{1, "Zoe", "", false},
          {2, "\xC3\xA9mile", "", false},  // é composed
          {3, "Emily", "", false},
          {4, "e\xCC\x81mile Roux", "", false},  // é decomposed
          {5, "O'Brien 50%_off*?", "", false},
          {6, "Ob", "", false},
          {7, "Holder 10", "", false},
          {8, "Holder 9", "", false}},
         "cardno desc");
    EXPECT_EQ(Found("descx", "EMI"), 2);  // émile before Emily, and before émile Roux
    EXPECT_EQ(Found("descx", "E\xCC\x81MILE R"), 4);
    EXPECT_EQ(Found("descx", "Holder 1"), 7);
    EXPECT_EQ(Found("descx", "Holder"), 8);  // 9 before 10, whatever the list order
    EXPECT_EQ(Found("descx", "o'brien 50%_OFF*?"), 5);
    EXPECT_EQ(Found("descx", "O%"), -1);
    EXPECT_EQ(Found("descx", "_b"), -1);
    EXPECT_EQ(Found("descx", "O?"), -1);
    EXPECT_EQ(Found("descx", "'"), -1);
    EXPECT_EQ(Found("descx", std::string(10000, 'Z')), -1);
    EXPECT_EQ(Found("descx", "\x01\x02\x7F"), -1);
    EXPECT_EQ(Found("descx", "\xFF\xFE"), -1);          // malformed bytes
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 5);  // not found: the row stays
}

}  // namespace

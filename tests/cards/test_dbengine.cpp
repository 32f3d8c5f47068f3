// Card database engine on real, encrypted files in temporary folders.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "collation.h"
#include "dbengine.h"
#include "file_backend.h"

namespace fs = std::filesystem;

namespace {

std::string ConnStr(const std::string& path) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"" + path +
           "\";Persist Security Info=False;Jet OLEDB:Database Password=" + kCardDatabasePassword;
}

struct Card {
    int cardno;
    std::optional<std::string> descx, grp;
    int granted;
};

const std::vector<Card> kCards = {
    {5, "bob", "staff", 1},    {1, "Alice", std::nullopt, 0},
    {9, "Émile", "guests", 2}, {3, "carol", "staff", 0},
    {7, "Zed", "", 1},         {2, "éva", "guests", 1},
};

class DbEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lorvane-db-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // Blanks, ';', '=' and non-ASCII letters in the path.
        dbPath = (dir / "my cards;x=1 Ünï.mdb").string();
        CreateCardDatabase(dbPath, kCardDatabasePassword);
        conn.SetConnectionString(ConnStr(dbPath));
        conn.Connect();
        sqlite3* db = FileHandle(conn);
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "insert into cardlist values (?,?,?,?)", -1, &st, nullptr),
                  SQLITE_OK);
        for (const Card& c : kCards) {
            sqlite3_bind_int(st, 1, c.cardno);
            if (c.descx)
                sqlite3_bind_text(st, 2, c.descx->c_str(), -1, SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(st, 2);
            if (c.grp)
                sqlite3_bind_text(st, 3, c.grp->c_str(), -1, SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(st, 3);
            sqlite3_bind_int(st, 4, c.granted);
            ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
    }
    void TearDown() override {
        conn.Disconnect();
        fs::remove_all(dir);
    }
    void OpenList(TDbQuery& q, const std::vector<std::string>& lines) {
        q.SetConnection(&conn);
        q.SQLClear();
        for (const auto& l : lines) q.SQLAdd(l);
        q.Open();
    }
    static std::vector<int> CardNos(TDbQuery& q) {
        std::vector<int> out;
        for (q.First(); !q.Eof(); q.Next()) out.push_back(q.FieldByName("CardNo").AsInteger());
        return out;
    }
    // Message of the EDatabaseError that f raises, or "" when none.
    template <class F>
    static std::string ErrorOf(F f) {
        try {
            f();
        } catch (const EDatabaseError& e) {
            return e.what();
        }
        return {};
    }
    // How two cells of a column compare in the list's order.
    static int Order(const TValue& a, const TValue& b, const std::string& column) {
        auto rank = [](const TValue& v) { return static_cast<int>(v.index() != 0); };
        if (rank(a) != rank(b)) return rank(a) - rank(b);
        if (rank(a) == 0) return 0;
        if (column == "granted")
            return (std::get<std::int64_t>(b) != 0) - (std::get<std::int64_t>(a) != 0);
        if (const auto* s = std::get_if<std::string>(&a))
            return TCollator().Compare(*s, std::get<std::string>(b));
        return a < b ? -1 : (b < a ? 1 : 0);
    }
    fs::path dir;
    std::string dbPath;
    TDbConnection conn;
};

TEST(ConnectionString, PathWithBlanksQuotesAndNonAscii) {
    const std::string path = "/home/op/Kärtchen; \"x\"=1 ;/card list.mdb";
    const TConnectionParams p = ParseConnectionString(ConnStr(path));
    EXPECT_EQ(p.dataSource, path);
    EXPECT_EQ(p.password, "Kx7mQ2vRp9LwTz");
    const TConnectionParams q =
        ParseConnectionString("data source=\"/a b/c.mdb\";JET OLEDB:DATABASE PASSWORD=pw");
    EXPECT_EQ(q.dataSource, "/a b/c.mdb");
    EXPECT_EQ(q.password, "pw");
    EXPECT_THROW(ParseConnectionString("Provider=x;Jet OLEDB:Database Password=pw"),
                 EDatabaseError);
}

TEST_F(DbEngine, OpenFailuresNameTheFileAndTheReason) {
    TDbConnection c;
    const std::string locked = (dir / "locked.mdb").string();
    fs::copy_file(dbPath, locked);
    fs::permissions(locked, fs::perms::none);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    c.SetConnectionString(ConnStr(locked));
    // Root reads everything: try as nobody.
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::seteuid(65534), 0);
    }
    const std::string unreadable = ErrorOf([&] { c.Connect(); });
    if (root) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    EXPECT_EQ(unreadable, "Cannot open file '" + locked + "': Permission denied");

    const std::string plain = (dir / "plain.mdb").string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(plain.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "create table cardlist (cardno integer)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    c.SetConnectionString(ConnStr(plain));
    EXPECT_EQ(ErrorOf([&] { c.Connect(); }),
              "'" + plain + "' is an unencrypted SQLite database, not a card database.");
}

TEST_F(DbEngine, PrefixLocateLandsOnTheLeastOfSeveralValues) {
    TDbQuery q("dbcard");
    OpenList(q, {"select * from cardlist", "order by cardno"});
    // In list order: Alice (1) first, ..., Albert (22) last; least: alan.
    for (const auto& [cardno, name] :
         {std::pair{20, "Alma"}, std::pair{21, "alan"}, std::pair{22, "Albert"}}) {
        q.Append();
        q.FieldByName("cardno").SetAsInteger(cardno);
        q.FieldByName("descx").SetAsString(name);
        q.Post();
    }
    ASSERT_TRUE(
        q.Locate("descx", std::string("AL"), TDbQuery::loPartialKey | TDbQuery::loCaseInsensitive));
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 21);
}

TEST_F(DbEngine, FailuresCarryTheEngineMessageAndCreateNothing) {
    const std::string missing = (dir / "nothere.mdb").string();
    TDbConnection c;
    c.SetConnectionString(ConnStr(missing));
    EXPECT_EQ(ErrorOf([&] { c.Connect(); }), "Could not find file '" + missing + "'.");
    TDbQuery own("probe");
    own.SetConnectionString(ConnStr(missing));
    own.SQLAdd("select * from cardlist");
    EXPECT_THROW(own.Open(), EDatabaseError);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(c.Connected());

    c.SetConnectionString(ConnStr(dir.string()));
    EXPECT_THROW(c.Connect(), EDatabaseError);

    c.SetConnectionString(ConnStr(dbPath).substr(0, ConnStr(dbPath).size() - 1));
    EXPECT_EQ(ErrorOf([&] { c.Connect(); }), "file is encrypted or is not a database");

    const std::string text = (dir / "notes.mdb").string();
    std::ofstream(text) << "just a text file, not a database\n";
    c.SetConnectionString(ConnStr(text));
    EXPECT_EQ(ErrorOf([&] { c.Connect(); }), "file is encrypted or is not a database");
    EXPECT_EQ(fs::file_size(text), 33u);

    const std::string empty = (dir / "empty.mdb").string();
    std::ofstream{empty};
    c.SetConnectionString(ConnStr(empty));
    EXPECT_THROW(c.Connect(), EDatabaseError);
    EXPECT_EQ(fs::file_size(empty), 0u);
}

TEST_F(DbEngine, MissingTableAndColumn) {
    const std::string batch = (dir / "batch.mdb").string();
    CreateCardBatchDatabase(batch, kCardDatabasePassword);
    TDbQuery q("probe");
    q.SetConnectionString(ConnStr(batch));
    q.SQLAdd("select * from cardlist");
    EXPECT_EQ(ErrorOf([&] { q.Open(); }), "no such table: cardlist");
    EXPECT_FALSE(q.Active());
    q.SQLClear();
    q.SQLAdd("select * from card order by cardno");
    q.Open();
    EXPECT_EQ(q.RecordCount(), 0);
    EXPECT_EQ(q.FieldCount(), 1);

    TDbQuery list("dbcard");
    EXPECT_EQ(ErrorOf([&] {
                  OpenList(list, {"select * from cardlist", "order by nosuch asc"});
              }),
              "no such column: nosuch");
}

TEST_F(DbEngine, CreateRefusesAnExistingFile) {
    EXPECT_THROW(CreateCardDatabase(dbPath, kCardDatabasePassword), EDatabaseError);
    TDbQuery q("dbcard");
    OpenList(q, {"select * from cardlist order by cardno"});
    EXPECT_EQ(q.RecordCount(), 6);
}

TEST_F(DbEngine, EverySortWithAndWithoutFilter) {
    for (bool filter : {false, true})
        for (const char* col : {"cardno", "descx", "grp", "granted"})
            for (const char* dir : {"asc", "desc"}) {
                SCOPED_TRACE(std::string(col) + " " + dir + (filter ? " filtered" : ""));
                TDbQuery q("dbcard");
                std::vector<std::string> lines = {"select * from cardlist"};
                if (filter) lines.push_back("where granted=true");
                lines.push_back(std::string("order by ") + col + " " + dir);
                OpenList(q, lines);
                std::multiset<int> expected;
                for (const Card& c : kCards)
                    if (!filter || c.granted != 0) expected.insert(c.cardno);
                const std::vector<int> got = CardNos(q);
                EXPECT_EQ(std::multiset<int>(got.begin(), got.end()), expected);
                // The sort column is in order, NULL first ascending, last
                // descending; granted cards first ascending.
                const int ci = q.FieldIndex(col);
                for (int r = 1; r < q.RecordCount(); ++r) {
                    const int c = Order(q.Cell(r - 1, ci), q.Cell(r, ci), col);
                    EXPECT_TRUE(std::string(dir) == "asc" ? c <= 0 : c >= 0) << r;
                }
            }
    // Names sort without regard to case, accented letters beside their base.
    TDbQuery names("dbcard");
    OpenList(names, {"select * from cardlist", "order by descx asc"});
    EXPECT_EQ(CardNos(names), (std::vector<int>{1, 5, 3, 9, 2, 7}));
    names.Close();
    names.SQLClear();
    names.SQLAdd("select * from cardlist where descx <> 'x'");
    names.SQLAdd("order by descx desc, cardno");
    names.Open();
    EXPECT_EQ(CardNos(names), (std::vector<int>{7, 2, 9, 3, 5, 1}));

    TDbQuery q("dbcard");
    OpenList(q, {"select * from cardlist", "order by grp asc"});
    EXPECT_TRUE(q.FieldByName("grp").IsNull());
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 1);
}

TEST_F(DbEngine, SharedQueriesAndBooleans) {
    TDbQuery access("daccess");
    OpenList(access, {"select cardno from cardlist where granted=true"});
    EXPECT_EQ(access.FieldCount(), 1);
    std::vector<int> got = CardNos(access);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int>{2, 5, 7, 9}));  // 2 stored in granted counts as true

    TDbQuery grp("dgrp");
    OpenList(grp, {"select distinct grp from cardlist"});
    EXPECT_TRUE(grp.ReadOnly());
    std::multiset<std::string> groups;
    int nulls = 0;
    for (grp.First(); !grp.Eof(); grp.Next())
        grp.FieldByName("grp").IsNull() ? ++nulls
                                        : (groups.insert(grp.FieldByName("GRP").AsString()), 0);
    EXPECT_EQ(nulls, 1);
    EXPECT_EQ(groups, (std::multiset<std::string>{"", "guests", "staff"}));
    EXPECT_THROW(grp.Edit(), EDatabaseError);

    TDbQuery q("dbcard");
    OpenList(q, {"select * from cardlist", "where granted=false", "order by cardno asc"});
    EXPECT_EQ(CardNos(q), (std::vector<int>{1, 3}));
    ASSERT_TRUE(q.Locate("cardno", std::int64_t{1}));
    EXPECT_FALSE(q.FieldByName("granted").AsBoolean());
    EXPECT_EQ(q.FieldByName("granted").AsString(), "False");
    EXPECT_EQ(q.FieldDef(q.FieldIndex("granted")).type, TFieldType::Boolean);
    EXPECT_EQ(q.FieldDef(q.FieldIndex("descx")).type, TFieldType::Text);
    EXPECT_EQ(q.FieldDef(q.FieldIndex("descx")).size, 50);
    EXPECT_EQ(q.FieldDef(q.FieldIndex("cardno")).type, TFieldType::Integer);

    // A literal inside quotes is left alone.
    q.Close();
    q.SQLClear();
    q.SQLAdd("select * from cardlist where descx='x=true' or granted = TRUE order by cardno");
    q.Open();
    EXPECT_EQ(CardNos(q), (std::vector<int>{2, 5, 7, 9}));
}

TEST_F(DbEngine, CursorAndClosedDataset) {
    TDbQuery q("dbcard");
    EXPECT_EQ(ErrorOf([&] { q.RecordCount(); }),
              "dbcard: Cannot perform this operation on a closed dataset");
    EXPECT_THROW(q.FieldByName("cardno"), EDatabaseError);
    EXPECT_THROW(q.First(), EDatabaseError);
    EXPECT_THROW(q.Append(), EDatabaseError);
    OpenList(q, {"select * from cardlist", "order by cardno desc"});
    EXPECT_EQ(q.RecordCount(), 6);
    EXPECT_EQ(q.RecNo(), 1);
    EXPECT_EQ(q.FieldByName("CARDNO").AsInteger(), 9);
    q.SetRecNo(6);
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 1);
    EXPECT_FALSE(q.Eof());
    q.Next();
    EXPECT_TRUE(q.Eof());
    EXPECT_EQ(q.RecNo(), 6);
    for (int bad : {0, -1, 7}) EXPECT_THROW(q.SetRecNo(bad), EDatabaseError) << bad;
    EXPECT_EQ(q.RecNo(), 6);
    EXPECT_THROW(q.FieldByName("nosuch"), EDatabaseError);
    q.Close();
    EXPECT_EQ(ErrorOf([&] { q.Eof(); }),
              "dbcard: Cannot perform this operation on a closed dataset");
}

TEST_F(DbEngine, Locate) {
    TDbQuery q("dbcard");
    OpenList(q, {"select * from cardlist", "order by cardno desc"});
    ASSERT_TRUE(q.Locate("cardno", std::int64_t{3}));
    EXPECT_EQ(q.FieldByName("descx").AsString(), "carol");
    EXPECT_FALSE(q.Locate("cardno", std::int64_t{4}));
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 3);  // not found: row unchanged
    EXPECT_TRUE(q.Locate("cardno", std::string("7")));
    EXPECT_EQ(q.FieldByName("descx").AsString(), "Zed");

    EXPECT_FALSE(q.Locate("descx", std::string("ALI"), TDbQuery::loPartialKey));
    EXPECT_EQ(q.FieldByName("descx").AsString(), "Zed");
    ASSERT_TRUE(q.Locate("descx", std::string("ALI"),
                         TDbQuery::loPartialKey | TDbQuery::loCaseInsensitive));
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 1);
    ASSERT_TRUE(
        q.Locate("descx", std::string("ÉV"), TDbQuery::loPartialKey | TDbQuery::loCaseInsensitive));
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 2);
    EXPECT_FALSE(q.Locate("descx", std::string("bo")));  // exact, not prefix
    EXPECT_TRUE(q.Locate("descx", std::string("bob")));
    // Several matches: the least value wins, whatever the sort.
    ASSERT_TRUE(q.Locate("grp", std::string("s"), TDbQuery::loPartialKey));
    EXPECT_EQ(q.FieldByName("grp").AsString(), "staff");
    ASSERT_TRUE(q.Locate("grp", std::string("g"), TDbQuery::loPartialKey));
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 9);  // first "guests" row of the list

    // The cardno index follows appends, key changes and deletes.
    q.Append();
    q.FieldByName("cardno").SetAsInteger(40);
    q.Post();
    ASSERT_TRUE(q.Locate("cardno", std::int64_t{40}));
    q.Edit();
    q.FieldByName("cardno").SetAsInteger(41);
    q.Post();
    EXPECT_FALSE(q.Locate("cardno", std::int64_t{40}));
    q.Edit();  // the row is still found in the file under its new key
    q.FieldByName("descx").SetAsString("moved");
    EXPECT_NO_THROW(q.Post());
    ASSERT_TRUE(q.Locate("cardno", std::int64_t{9}));
    q.Delete();
    EXPECT_FALSE(q.Locate("cardno", std::int64_t{9}));
    ASSERT_TRUE(q.Locate("cardno", std::int64_t{41}));
    EXPECT_EQ(q.RecNo(), q.RecordCount());
}

TEST_F(DbEngine, PostedChangesAreInTheFile) {
    int resets = 0, currents = 0;
    std::vector<int> changed;
    {
        TDbQuery q("dbcard");
        q.OnReset = [&] { ++resets; };
        q.OnRowChanged = [&](int row) { changed.push_back(row); };
        q.OnCurrentChanged = [&](int) { ++currents; };
        OpenList(q, {"select * from cardlist", "order by cardno asc"});
        q.Append();
        EXPECT_EQ(q.State(), TDbQuery::TState::Insert);
        q.FieldByName("cardno").SetAsInteger(100);
        q.FieldByName("descx").SetAsString(std::string(60, 'x'));
        q.Post();  // granted left to its default
        EXPECT_FALSE(q.FieldByName("granted").IsNull());
        EXPECT_EQ(q.FieldByName("descx").AsString(), std::string(50, 'x'));
        // Text the column stores as a number is held as the number it became.
        q.Edit();
        q.FieldByName("cardno").SetAsString("101");
        q.Post();
        EXPECT_EQ(q.FieldByName("cardno").Value(), TValue{std::int64_t{101}});
        ASSERT_TRUE(q.Locate("cardno", std::int64_t{3}));
        q.Edit();
        std::string longName;
        for (int i = 0; i < 30; ++i) longName += "éÜ";  // 60 characters, 120 bytes
        q.FieldByName("descx").SetAsString(longName);
        q.FieldByName("grp").SetNull();
        q.FieldByName("granted").SetAsBoolean(true);
        q.Post();
        EXPECT_EQ(changed, (std::vector<int>{6, 6, 2}));
        EXPECT_GE(resets, 2);
        EXPECT_GE(currents, 2);
        // Edit with Cancel leaves the row as it was.
        q.Edit();
        q.FieldByName("descx").SetAsString("nobody");
        q.Cancel();
        EXPECT_EQ(q.FieldByName("descx").AsString(), longName.substr(0, 100));
        EXPECT_THROW(q.FieldByName("descx").SetAsString("x"), EDatabaseError);  // browsing
    }
    TDbConnection fresh;
    fresh.SetConnectionString(ConnStr(dbPath));
    fresh.Connect();
    TDbQuery q("dbcard");
    q.SetConnection(&fresh);
    q.SQLAdd("select * from cardlist order by cardno");
    q.Open();
    EXPECT_EQ(q.RecordCount(), 7);
    ASSERT_TRUE(q.Locate("cardno", std::int64_t{101}));
    EXPECT_EQ(q.FieldByName("descx").AsString().size(), 50u);
    EXPECT_FALSE(q.FieldByName("granted").AsBoolean());
    ASSERT_TRUE(q.Locate("cardno", std::int64_t{3}));
    std::string expected;
    for (int i = 0; i < 25; ++i) expected += "éÜ";
    EXPECT_EQ(q.FieldByName("descx").AsString(), expected);
    EXPECT_TRUE(q.FieldByName("grp").IsNull());
    EXPECT_TRUE(q.FieldByName("granted").AsBoolean());
}

TEST_F(DbEngine, FailedPostKeepsTheInsertForCancel) {
    TDbQuery q("dbcard");
    OpenList(q, {"select * from cardlist order by cardno"});
    q.SetRecNo(2);
    q.Append();
    q.FieldByName("cardno").SetAsInteger(5);
    EXPECT_EQ(ErrorOf([&] { q.Post(); }),
              "The changes you requested to the table were not successful because they would "
              "create duplicate values in the index, primary key, or relationship.");
    EXPECT_EQ(q.State(), TDbQuery::TState::Insert);
    q.Cancel();
    EXPECT_EQ(q.RecordCount(), 6);
    EXPECT_EQ(q.RecNo(), 2);
    q.Edit();
    q.FieldByName("cardno").SetAsInteger(9);
    EXPECT_THROW(q.Post(), EDatabaseError);
    EXPECT_EQ(q.State(), TDbQuery::TState::Edit);
    q.Cancel();
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 2);
}

TEST_F(DbEngine, DeleteMakesTheNextRowCurrent) {
    TDbQuery q("dbcard");
    OpenList(q, {"select * from cardlist", "order by cardno asc"});
    q.SetRecNo(2);
    q.Delete();  // card 2
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 3);
    EXPECT_EQ(q.RecNo(), 2);
    q.SetRecNo(q.RecordCount());
    q.Delete();  // card 9, the last
    EXPECT_EQ(q.FieldByName("cardno").AsInteger(), 7);
    EXPECT_TRUE(q.Eof());
    // Delete all, as the command does it.
    for (q.First(); !q.Eof();) q.Delete();
    EXPECT_EQ(q.RecordCount(), 0);
    EXPECT_EQ(q.RecNo(), 0);
    EXPECT_THROW(q.Delete(), EDatabaseError);
    q.Close();
    q.Open();
    EXPECT_EQ(q.RecordCount(), 0);
}

TEST_F(DbEngine, LargeListKeepsRowsAlignedAfterDelete) {
    sqlite3* db = FileHandle(conn);
    ASSERT_EQ(sqlite3_exec(db, "begin", nullptr, nullptr, nullptr), SQLITE_OK);
    for (int n = 1000; n < 4000; ++n) {
        const std::string sql = "insert into cardlist values (" + std::to_string(n) + ", 'n" +
                                std::to_string(n) + "', null, 0)";
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ASSERT_EQ(sqlite3_exec(db, "commit", nullptr, nullptr, nullptr), SQLITE_OK);
    TDbQuery q("dbcard");
    OpenList(q, {"select * from cardlist order by cardno"});
    q.SetRecNo(10);  // card 1003
    q.Delete();
    ASSERT_EQ(q.RecordCount(), 3005);
    const int no = q.FieldIndex("cardno"), name = q.FieldIndex("descx");
    for (int r = 6; r < q.RecordCount(); ++r) {
        const auto n = std::get<std::int64_t>(q.Cell(r, no));
        ASSERT_EQ(n, r < 9 ? 994 + r : 995 + r) << r;
        ASSERT_EQ(std::get<std::string>(q.Cell(r, name)), "n" + std::to_string(n));
    }
    q.Close();
    q.Open();  // reuses the snapshot's memory
    EXPECT_EQ(q.RecordCount(), 3005);
    EXPECT_FALSE(q.Locate("cardno", std::int64_t{1003}));
    EXPECT_TRUE(q.Locate("cardno", std::int64_t{3999}));
    EXPECT_EQ(q.FieldByName("descx").AsString(), "n3999");
}

bool FileIsOpen(const std::string& path) {
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec) == fs::path(path)) return true;
    }
    return false;
}

TEST_F(DbEngine, ConnectionsReleaseTheFile) {
    TDbQuery bound("dbcard");
    OpenList(bound, {"select * from cardlist"});
    conn.Disconnect();
    EXPECT_FALSE(bound.Active());
    EXPECT_FALSE(FileIsOpen(dbPath));

    auto own = std::make_unique<TDbQuery>("probe");
    own->SetConnectionString(ConnStr(dbPath));
    own->SQLAdd("select * from cardlist");
    own->Open();
    EXPECT_TRUE(FileIsOpen(dbPath));
    own->Close();
    EXPECT_FALSE(FileIsOpen(dbPath));
    own->Open();
    own.reset();
    EXPECT_FALSE(FileIsOpen(dbPath));
}

// A card database of its own at path holding the one card number n.
void MakeOneCardFile(const std::string& path, int n) {
    CreateCardDatabase(path, kCardDatabasePassword);
    TDbQuery q("dbcard");
    q.SetConnectionString(ConnStr(path));
    q.SQLAdd("select * from cardlist");
    q.Open();
    q.Append();
    q.FieldByName("cardno").SetAsInteger(n);
    q.Post();
}

// Card numbers of the file at path, read through a connection of the engine.
std::vector<int> CardNosOf(const std::string& path, const std::string& password) {
    TDbConnection c;
    c.SetConnectionString("Data Source=\"" + path + "\";Jet OLEDB:Database Password=" + password);
    c.Connect();
    TDbQuery q("dbcard");
    q.SetConnection(&c);
    q.SQLAdd("select cardno from cardlist order by cardno");
    q.Open();
    std::vector<int> out;
    for (q.First(); !q.Eof(); q.Next()) out.push_back(q.FieldByName("cardno").AsInteger());
    return out;
}

// Keyed with the passphrase by SQLCipher itself, bypassing the engine.
struct PassphraseHandle {
    explicit PassphraseHandle(const std::string& path) {
        EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        const std::string pw = kCardDatabasePassword;
        EXPECT_EQ(sqlite3_key(db, pw.data(), static_cast<int>(pw.size())), SQLITE_OK);
    }
    ~PassphraseHandle() { sqlite3_close(db); }
    int Exec(const std::string& sql) {
        return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    std::string Text(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        std::string out = "<error>";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        return out;
    }
    sqlite3* db = nullptr;
};

TEST_F(DbEngine, ReconnectsWithTheCachedKeyReadAndWriteTheSameFile) {
    // The fixture's connect derived the key and cached it; these reconnect with it.
    for (int i = 0; i < 3; ++i) {
        conn.Disconnect();
        conn.Connect();
        TDbQuery q("dbcard");
        OpenList(q, {"select * from cardlist order by cardno"});
        ASSERT_EQ(CardNos(q), (std::vector<int>{1, 2, 3, 5, 7, 9}));
        ASSERT_TRUE(q.Locate("cardno", std::int64_t{9}));
        EXPECT_EQ(q.FieldByName("descx").AsString(), "Émile");
        if (i == 0) {
            q.Append();
            q.FieldByName("cardno").SetAsInteger(77);
            q.FieldByName("descx").SetAsString("raw key");
            q.Post();
            q.Delete();
            q.Append();
            q.FieldByName("cardno").SetAsInteger(7700);
            q.FieldByName("descx").SetAsString("raw key");
            q.Post();
            q.Locate("cardno", std::int64_t{7700});
            q.Delete();
        }
    }
    conn.Disconnect();
    {
        // What the cached key wrote reads with the passphrase, and back.
        PassphraseHandle plain(dbPath);
        EXPECT_EQ(plain.Text("select count(*) from cardlist"), "6");
        EXPECT_EQ(plain.Text("select descx from cardlist where cardno=9"), "Émile");
        EXPECT_EQ(plain.Exec("insert into cardlist values (88, 'passphrase', null, 1)"), SQLITE_OK);
        EXPECT_EQ(plain.Text("PRAGMA integrity_check"), "ok");
    }
    conn.Connect();
    TDbQuery q("dbcard");
    OpenList(q, {"select * from cardlist order by cardno"});
    EXPECT_EQ(CardNos(q), (std::vector<int>{1, 2, 3, 5, 7, 9, 88}));
    ASSERT_TRUE(q.Locate("cardno", std::int64_t{88}));
    EXPECT_EQ(q.FieldByName("descx").AsString(), "passphrase");
}

TEST_F(DbEngine, WrongPasswordsFailBeforeAndAfterTheRightOneWasCached) {
    // A file no connection of the engine has opened yet: wrong passwords come first.
    const std::string other = (dir / "other.mdb").string();
    CreateCardDatabase(other, kCardDatabasePassword);
    EXPECT_EQ(PassphraseHandle(other).Exec("insert into cardlist values (31, 'x', null, 0)"),
              SQLITE_OK);
    for (const std::string& path : {other, dbPath}) {
        SCOPED_TRACE(path);
        for (int round = 0; round < 2; ++round)
            for (const char* wrong : {"Kx7mQ2vRp9LwT", "kx7mQ2vRp9LwTz", "Kx7mQ2vRp9LwTzz", "x"})
                EXPECT_EQ(ErrorOf([&] { CardNosOf(path, wrong); }),
                          "file is encrypted or is not a database")
                    << wrong;
        EXPECT_EQ(CardNosOf(path, kCardDatabasePassword).size(), path == other ? 1u : 6u);
    }
    EXPECT_EQ(CardNosOf(other, kCardDatabasePassword), std::vector<int>{31});
    EXPECT_EQ(ErrorOf([&] { CardNosOf(other, "Kx7mQ2vRp9LwT"); }),
              "file is encrypted or is not a database");
}

TEST_F(DbEngine, AFileReplacedByAnotherAtTheSamePathOpens) {
    const std::string seen = (dir / "seen.mdb").string();
    const std::string unseen = (dir / "unseen.mdb").string();
    const std::string saved = (dir / "saved.mdb").string();
    MakeOneCardFile(seen, 41);
    EXPECT_EQ(CardNosOf(seen, kCardDatabasePassword), std::vector<int>{41});
    conn.Disconnect();
    fs::copy_file(dbPath, saved);

    fs::rename(seen, dbPath);  // a file whose key is cached under another path
    conn.Connect();
    {
        TDbQuery q("dbcard");
        OpenList(q, {"select * from cardlist"});
        EXPECT_EQ(CardNos(q), std::vector<int>{41});
    }
    conn.Disconnect();

    MakeOneCardFile(unseen, 42);
    fs::rename(unseen, dbPath);
    EXPECT_EQ(CardNosOf(dbPath, kCardDatabasePassword), std::vector<int>{42});

    fs::rename(saved, dbPath);  // back to the first file
    EXPECT_EQ(CardNosOf(dbPath, kCardDatabasePassword), (std::vector<int>{1, 2, 3, 5, 7, 9}));

    const std::string text = (dir / "text.mdb").string();
    std::ofstream(text) << "a text file where the card database was\n";
    fs::rename(text, dbPath);
    EXPECT_EQ(ErrorOf([&] { conn.Connect(); }), "file is encrypted or is not a database");
    EXPECT_FALSE(conn.Connected());
}

TEST_F(DbEngine, FilesTooShortForASaltAreNoDatabases) {
    for (int size : {1, 2, 15}) {
        const std::string path = (dir / ("short" + std::to_string(size) + ".mdb")).string();
        std::ofstream(path, std::ios::binary) << std::string(static_cast<size_t>(size), 'S');
        EXPECT_EQ(ErrorOf([&] { CardNosOf(path, kCardDatabasePassword); }),
                  "file is encrypted or is not a database")
            << size;
        EXPECT_EQ(fs::file_size(path), static_cast<uintmax_t>(size));
    }
}

TEST_F(DbEngine, MoreFilesThanTheCacheHoldsEachOpenWithItsOwnKey) {
    constexpr int kFiles = 19;  // more than the cache keeps
    std::vector<std::string> paths;
    for (int i = 0; i < kFiles; ++i) {
        paths.push_back((dir / ("file" + std::to_string(i) + ".mdb")).string());
        MakeOneCardFile(paths.back(), 500 + i);
    }
    // Forward, backward (hits first, then keys evicted meanwhile), and a mix.
    std::vector<int> order;
    for (int i = 0; i < kFiles; ++i) order.push_back(i);
    for (int i = kFiles - 1; i >= 0; --i) order.push_back(i);
    for (int i : {0, 18, 1, 17, 0, 9, 9, 2}) order.push_back(i);
    for (int i : order)
        ASSERT_EQ(CardNosOf(paths[i], kCardDatabasePassword), std::vector<int>{500 + i}) << i;
}

// Every thread must get its own file's key; built with ThreadSanitizer this
// also catches an unguarded key cache.
TEST_F(DbEngine, ConnectsFromSeveralThreadsAtOnce) {
    std::vector<std::string> paths = {dbPath};
    for (int i = 0; i < 2; ++i) {
        paths.push_back((dir / ("thread" + std::to_string(i) + ".mdb")).string());
        MakeOneCardFile(paths.back(), 600 + i);
    }
    std::vector<std::size_t> counts(4 * 12);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int k = 0; k < 12; ++k) try {
                        counts[t * 12 + k] =
                            CardNosOf(paths[(t + k) % paths.size()], kCardDatabasePassword).size();
                    } catch (const EDatabaseError&) {
                    }
            });
    }
    for (int t = 0; t < 4; ++t)
        for (int k = 0; k < 12; ++k)
            EXPECT_EQ(counts[t * 12 + k], (t + k) % 3 == 0 ? 6u : 1u) << t << " " << k;
}

}  // namespace

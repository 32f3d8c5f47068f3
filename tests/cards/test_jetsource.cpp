// Jet 4 files read through the engine and the lorvane-jetread helper; the
// files come from our own writer, checked against libmdb's mdb-export.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "dbengine.h"
#include "jetsource.h"
#include "support/jet_writer.h"

namespace fs = std::filesystem;
using namespace jetwriter;

namespace {

std::string ConnStr(const std::string& path) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"" + path +
           "\";Persist Security Info=False;Jet OLEDB:Database Password=" + kCardDatabasePassword;
}

std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

class JetSource : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lorvane-jet-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        saved = JetReaderOptions();
    }
    void TearDown() override {
        SetJetReaderOptions(saved);
        fs::remove_all(dir);
    }
    std::string Write(const std::string& name, const std::vector<TTable>& tables,
                      TOptions o = Options()) {
        const std::string path = (dir / name).string();
        WriteFile(path, FileBytes(tables, o));
        return path;
    }
    static TOptions Options() {
        TOptions o;
        o.password = kCardDatabasePassword;
        return o;
    }
    // Opens the statement on the file; the query stays open for reading.
    void Open(const std::string& path, const std::string& sql) {
        query = std::make_unique<TDbQuery>("dbjet");
        query->SetConnectionString(ConnStr(path));
        query->SQLAdd(sql);
        query->Open();
    }
    std::string OpenError(const std::string& path, const std::string& sql) {
        try {
            Open(path, sql);
        } catch (const EDatabaseError& e) {
            return e.what();
        }
        return "(opened)";
    }
    fs::path dir;
    TJetReaderOptions saved;
    std::unique_ptr<TDbQuery> query;
};

TEST_F(JetSource, BatchOverSeveralPagesReadsSortedByCardNumber) {
    std::vector<std::int32_t> numbers;
    for (int i = 0; i < 700; ++i) numbers.push_back((i * 7919) % 100003 - 50000);
    const std::string path = Write("batch é.mdb", {CardBatchTable(numbers)});
    // Our writer's file as libmdb itself exports it.
    const std::string exported = RunCommand("mdb-export '" + path + "' card");
    EXPECT_EQ(exported.substr(0, 7), "cardno\n");
    EXPECT_NE(exported.find("\n" + std::to_string(numbers[699]) + "\n"), std::string::npos);

    Open(path, "select * from card order by cardno");
    EXPECT_TRUE(query->ReadOnly());
    ASSERT_EQ(query->RecordCount(), 700);
    EXPECT_EQ(query->FieldDef(0).type, TFieldType::Integer);
    std::sort(numbers.begin(), numbers.end());
    for (int i = 0; !query->Eof(); query->Next(), ++i)
        ASSERT_EQ(query->FieldByName("CARDNO").AsInteger(), numbers[i]);
    EXPECT_TRUE(query->Locate("cardno", TValue(std::in_place_type<std::int64_t>, numbers[350])));
    EXPECT_EQ(query->RecNo(), 351);
}

TEST_F(JetSource, CardListKeepsTextFlagsAndNulls) {
    const std::string path = Write(
        "list.mdb", {CardListTable({{std::int32_t{9}, std::string("Émile Zoë"), TCell(), true},
                                    {std::int32_t{2}, std::string(), std::string("staff"), false},
                                    {std::int32_t{5}, TCell(), TCell(), true}})});
    const std::string exported = RunCommand("mdb-export '" + path + "' cardlist");
    EXPECT_NE(exported.find("9,\"Émile Zoë\",,1"), std::string::npos) << exported;

    Open(path, "select * from cardlist");  // the file's own order
    ASSERT_EQ(query->RecordCount(), 3);
    EXPECT_EQ(query->FieldByName("descx").AsString(), "Émile Zoë");
    EXPECT_EQ(query->FieldDef(query->FieldIndex("descx")).size, 50);
    EXPECT_TRUE(query->FieldByName("granted").AsBoolean());
    EXPECT_EQ(query->FieldDef(query->FieldIndex("granted")).type, TFieldType::Boolean);
    query->Next();
    EXPECT_EQ(query->FieldByName("grp").AsString(), "staff");
    EXPECT_FALSE(query->FieldByName("granted").AsBoolean());
    query->Next();
    // libmdb reads a null text as the empty text.
    EXPECT_FALSE(query->FieldByName("descx").IsNull());
    EXPECT_EQ(query->FieldByName("descx").AsString(), "");
    EXPECT_THROW(query->Edit(), EDatabaseError);

    Open(path, "select * from cardlist order by cardno desc");
    EXPECT_EQ(query->FieldByName("cardno").AsInteger(), 9);
    EXPECT_NE(OpenError(path, "select cardno from cardlist where granted=true"), "(opened)");
}

// libmdb binds 16 KB by default: a longer memo must come whole.
TEST_F(JetSource, LongMemoComesWhole) {
    std::string memo;
    for (int i = 0; i < 1500; ++i) memo += "Émile 日本 ";  // 21,000 bytes
    TTable t{"cardlist",
             {{"cardno", TKind::Long}, {"descx", TKind::Memo}},
             {{std::int32_t{1}, memo}, {std::int32_t{2}, std::string("short é")}}};
    Open(Write("memo.mdb", {t}), "select * from cardlist order by cardno");
    ASSERT_EQ(query->RecordCount(), 2);
    const std::string read = query->FieldByName("descx").AsString();
    EXPECT_TRUE(read == memo) << read.size() << " bytes of " << memo.size();
    query->Next();
    EXPECT_EQ(query->FieldByName("descx").AsString(), "short é");
}

TEST_F(JetSource, PasswordIsCheckedOnConnectAndOpen) {
    TOptions other = Options();
    other.password = "Secret1";
    const std::string wrong = Write("other.mdb", {CardBatchTable({1})}, other);
    TOptions none = Options();
    none.password = "";
    const std::string open = Write("none.mdb", {CardBatchTable({1})}, none);

    EXPECT_NE(OpenError(wrong, "select * from card").find("not a valid password"),
              std::string::npos);
    TDbConnection conn;
    conn.SetConnectionString(ConnStr(wrong));
    EXPECT_THROW(conn.Connect(), EDatabaseError);
    EXPECT_FALSE(conn.Connected());

    EXPECT_EQ(OpenError(open, "select * from card"), "(opened)");
    conn.SetConnectionString(ConnStr(open));
    conn.Connect();
    EXPECT_TRUE(conn.Connected());
    conn.Disconnect();
    EXPECT_FALSE(conn.Connected());
}

TEST_F(JetSource, FilesThatAreNoCardDatabaseFailCleanly) {
    const std::string neither = Write("neither.mdb", {CardListTable({}, "people")});
    EXPECT_NE(OpenError(neither, "select * from card order by cardno").find("no table 'card'"),
              std::string::npos);
    EXPECT_NE(OpenError(neither, "select * from cardlist"), "(opened)");

    TOptions jet3 = Options();
    jet3.version = 0;
    EXPECT_NE(OpenError(Write("jet3.mdb", {CardBatchTable({1})}, jet3), "select * from card")
                  .find("not a Jet 4"),
              std::string::npos);

    std::vector<std::uint8_t> bytes = FileBytes({CardBatchTable({1, 2, 3})}, Options());
    bytes.resize(kPage + 100);
    const std::string cut = (dir / "cut.mdb").string();
    WriteFile(cut, bytes);
    EXPECT_NE(OpenError(cut, "select * from card").find("cannot be opened"), std::string::npos);
}

TEST_F(JetSource, TextCardNumberReadsAsTextAndFailsAsInteger) {
    TTable t{"card", {{"cardno", TKind::Text, 10}}, {{std::string("12")}, {std::string("x7")}}};
    Open(Write("text.mdb", {t}), "select * from card order by cardno");
    EXPECT_EQ(query->FieldDef(0).type, TFieldType::Text);
    EXPECT_EQ(query->FieldByName("cardno").AsInteger(), 12);
    query->Next();
    EXPECT_THROW(query->FieldByName("cardno").AsInteger(), EDatabaseError);
}

// A helper that hangs, crashes or writes without end costs one failed open.
TEST_F(JetSource, MisbehavingHelperIsStopped) {
    const std::string path = Write("ok.mdb", {CardBatchTable({1})});
    auto script = [&](const std::string& name, const std::string& body) {
        const std::string p = (dir / name).string();
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(p, fs::perms::owner_all);
        return p;
    };
    TJetReaderOptions o = saved;
    o.timeoutMs = 300;
    o.maxOutput = 1 << 20;
    for (const std::string& helper :
         {script("hang", "exec /bin/sleep 60"), script("crash", "kill -SEGV $$"),
          script("flood", "exec /usr/bin/yes"), script("garbage", "echo LJR1C")}) {
        o.helperPath = helper;
        SetJetReaderOptions(o);
        EXPECT_NE(OpenError(path, "select * from card").find("cannot be opened"), std::string::npos)
            << helper;
    }
}

// Random damage: every file gives rows or an error, never a crash or hang.
TEST_F(JetSource, RandomlyDamagedFilesNeverTakeTheProgramDown) {
    std::vector<TRow> rows;
    for (int i = 0; i < 300; ++i)
        rows.push_back(
            {std::int32_t{i}, "Holder " + std::to_string(i), std::string("G"), i % 2 == 0});
    const std::vector<std::uint8_t> good = FileBytes({CardListTable(rows)}, Options());
    TJetReaderOptions o = saved;
    o.cpuSeconds = 2;
    o.timeoutMs = 10000;
    SetJetReaderOptions(o);
    std::mt19937 rng(20261209);
    const std::string path = (dir / "damaged.mdb").string();
    int opened = 0;
    for (int round = 0; round < 100; ++round) {
        std::vector<std::uint8_t> bytes = good;
        // Past the header, which is checked before libmdb sees the file; half
        // of the damage in the maps, the catalog and the table definition.
        std::uniform_int_distribution<size_t> at(kPage, bytes.size() - 1), meta(kPage, 5 * kPage);
        for (int k = 0; k < 40; ++k)
            bytes[k % 2 ? at(rng) : meta(rng)] = static_cast<std::uint8_t>(rng());
        WriteFile(path, bytes);
        const std::string error = OpenError(path, "select * from cardlist order by cardno");
        if (error == "(opened)")
            ++opened;
        else
            EXPECT_NE(error.find("cannot be opened"), std::string::npos) << error;
    }
    RecordProperty("opened", opened);
}

}  // namespace

// Add Card of card lists in CSV files and workbooks through the main window:
// every separator and encoding, the program's own exports read back, and
// damaged or hostile files that must change nothing.
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile-zip.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "app/card_files.h"
#include "cardsheet.h"
#include "export.h"
#include "mainwindow.h"
#include "support/fake_prompts.h"
#include "support/window_test.h"
#include "xlswriter.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::uint32_t Le(const std::string& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= std::uint32_t{static_cast<unsigned char>(b[at + i])} << (8 * i);
    return v;
}

void PutLe(std::string& b, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Makes a zip declare another unpacked size for one of its parts, in the
// central directory and in the part's local header.
void DeclareSize(std::string& zip, const std::string& part, std::uint32_t size) {
    const std::size_t end = zip.rfind("PK\x05\x06");
    ASSERT_NE(end, std::string::npos);
    std::size_t at = Le(zip, end + 16, 4);
    bool found = false;
    for (std::uint32_t i = 0, n = Le(zip, end + 10, 2); i < n; ++i) {
        const std::uint32_t nameLength = Le(zip, at + 28, 2);
        if (zip.compare(at + 46, nameLength, part) == 0) {
            PutLe(zip, at + 24, size, 4);
            PutLe(zip, Le(zip, at + 42, 4) + 22, size, 4);
            found = true;
        }
        at += 46 + nameLength + Le(zip, at + 30, 2) + Le(zip, at + 32, 2);
    }
    ASSERT_TRUE(found) << part;
}

// Walks the BIFF records of a small workbook written by the export (its one
// stream lies in one piece after the compound file's header), up to the
// sheet's end.
void EachRecord(std::string& xls,
                const std::function<void(std::uint32_t type, std::size_t at)>& f) {
    std::size_t at = xls.find(std::string("\x09\x08\x10\x00\x00\x06\x05\x00", 8));
    ASSERT_NE(at, std::string::npos);
    for (int ends = 0; ends < 2 && at + 4 <= xls.size();) {
        const std::uint32_t type = Le(xls, at, 2);
        f(type, at);
        ends += type == 0x000A;  // EOF
        at += 4 + Le(xls, at + 2, 2);
    }
}

// An .xls workbook of the export's table, written by the program's writer.
void WriteXls(const std::string& path, int rows) {
    const std::string connection = BuildExcelConnectionString(path);
    CreateExcelTable(connection, CardListTable());
    TExcelTable table;
    table.Open(connection, CardListTable());
    for (int i = 1; i <= rows; ++i) {
        table.Append();
        table.SetInteger("CARD_NO", i);
        table.SetBoolean("GRANTED", true);
        table.Post();
    }
    table.Close();
}

// A zip of the given parts, written with libgsf.
void WriteZip(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& parts) {
    GsfOutput* sink = gsf_output_stdio_new(path.c_str(), nullptr);
    ASSERT_TRUE(sink);
    GsfOutfile* zip = gsf_outfile_zip_new(sink, nullptr);
    std::map<std::string, GsfOutfile*> folders{{"", zip}};
    for (const auto& [name, text] : parts) {
        std::string folder;
        std::size_t from = 0;
        for (std::size_t slash; (slash = name.find('/', from)) != std::string::npos;
             from = slash + 1) {
            const std::string next = name.substr(0, slash);
            if (!folders.count(next))
                folders[next] = GSF_OUTFILE(gsf_outfile_new_child(
                    folders[folder], name.substr(from, slash - from).c_str(), TRUE));
            folder = next;
        }
        GsfOutput* part = gsf_outfile_new_child(folders[folder], name.substr(from).c_str(), FALSE);
        gsf_output_write(part, text.size(), reinterpret_cast<const guint8*>(text.data()));
        gsf_output_close(part);
        g_object_unref(part);
    }
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        gsf_output_close(GSF_OUTPUT(it->second));
        g_object_unref(it->second);
    }
    g_object_unref(sink);
}

// Fifty characters of names that mix scripts: accents, CJK and emoji.
const std::string kFullName = [] {
    std::string s;
    for (int i = 0; i < 10; ++i) s += "é名🎉ab";
    return s;
}();

class SheetImportTest : public TWindowTest {
  protected:
    void SetUp() override {
        TWindowTest::SetUp();
        StartWith(
            {{10, "Alice", "Admin", false}, {20, "Bob", "Admin", true}, {30, "Carol", "", true}});
    }
    std::string File(const std::string& name) {
        return tmp.filePath(QString::fromStdString(name)).toStdString();
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        Spit(File(name), bytes);
        return File(name);
    }
    void AddCard(const std::string& file) {
        prompts.Clear();
        prompts.fileAnswers.push_back(QString::fromStdString(file));
        window->bAdd->click();
    }
    std::string Card(int number,
                     const char* column = "descx || '|' || ifnull(grp, '-') || '|' || granted") {
        return StoredText(workDb, std::string("select ") + column +
                                      " from cardlist where cardno=" + std::to_string(number));
    }
    QString Summary(int count, int before, int added, int total, const QString& skipped) {
        return QString(
                   "Cards to be merged = %1\r\nCards in database before adding = %2\r\nNew card "
                   "added = %3\r\nTotal cards in database now = %4\r\nRows skipped = ")
                   .arg(count)
                   .arg(before)
                   .arg(added)
                   .arg(total) +
               skipped;
    }
    // Every card as "number|name|group|flag", in number order.
    std::string AllCards() {
        return StoredText(workDb,
                          "select group_concat(cardno || '|' || ifnull(descx, '-') || '|' || "
                          "ifnull(grp, '-') || '|' || granted, ';') from "
                          "(select * from cardlist order by cardno)");
    }

    FakePrompts prompts;
};

TEST_F(SheetImportTest, CsvInEverySeparatorAndEncoding) {
    // Comma, UTF-8 without a mark, CR LF, titles in any case; a quoted
    // separator and quote; card 10 is in the list already and stays as it is.
    AddCard(Write("comma.csv",
                  "card_no,Description,GROUP,granted\r\n"
                  "101,\"Zoë Ñúñez, Jr.\",Sales,yes\r\n"
                  "102,\"Ana \"\"🎉\"\" Lee\",,no\r\n"
                  "103,山田太郎,開発,TRUE\r\n"
                  "104," +
                      kFullName +
                      ",G,1\r\n"
                      "0,Zero,,1\r\n"
                      "10,Changed,Other,0\r\n"));
    EXPECT_EQ(prompts.Messages(PromptKind::Plain), QStringList{Summary(5, 3, 4, 7, "1 (row 6)")});
    EXPECT_EQ(Card(101), "Zoë Ñúñez, Jr.|Sales|1");
    EXPECT_EQ(Card(102), "Ana \"🎉\" Lee|-|0");
    EXPECT_EQ(Card(103), "山田太郎|開発|1");
    EXPECT_EQ(Card(104), kFullName + "|G|1");
    EXPECT_EQ(Card(10), "Alice|Admin|0");

    // Semicolon, UTF-8 with its mark, LF, other column order, a name over two
    // lines (one row, as a spreadsheet shows it); rows without a whole card
    // number from 1 to 16,777,215 are counted.
    AddCard(Write("semicolon.csv",
                  "\xEF\xBB\xBFGRANTED;CARD_NO;DESCRIPTION\n"
                  "0;201;\"two\nlines\"\n"
                  "-1;202;Émile\n"
                  "1;abc;letters\n"
                  "1;16777216;too large\n"
                  "1;12.5;fraction\n"
                  "\n"
                  "2;16777215;Max\n"
                  "1;;no number\n"
                  "1;-3;negative\n"));
    EXPECT_EQ(prompts.Messages(PromptKind::Plain),
              QStringList{Summary(3, 7, 3, 10, "5 (rows 4, 5, 6, 9, 10)")});
    EXPECT_EQ(Card(201), "two\nlines|-|0");
    EXPECT_EQ(Card(202), "Émile|-|1");
    EXPECT_EQ(Card(16777215), "Max|-|1");

    // Tab, Windows-1252 (bytes that are no UTF-8).
    AddCard(Write("tab.csv",
                  "CARD_NO\tDESCRIPTION\tGRANTED\r\n"
                  "301\tM\xFCller \x80 5\tno\r\n"
                  "302\t\"Fran\xE7ois\tD.\"\tYES\r\n"));
    EXPECT_EQ(prompts.Messages(PromptKind::Plain), QStringList{Summary(2, 10, 2, 12, "0")});
    EXPECT_EQ(Card(301), "Müller € 5|-|0");
    EXPECT_EQ(Card(302), "François\tD.|-|1");

    // No header: the first column holds the card numbers, nothing else is read.
    AddCard(Write("numbers.csv", "401;Someone\n402;Else\n403\n"));
    EXPECT_EQ(prompts.Messages(PromptKind::Plain), QStringList{Summary(3, 12, 3, 15, "0")});
    EXPECT_EQ(Card(402), "|-|0");
    EXPECT_EQ(window->dbcard.RecordCount(), 15);
}

TEST_F(SheetImportTest, TheProgramsOwnWorkbooksReadBack) {
    InsertCards(workDb, {{40, kFullName, "開発", true}, {50, "Zoë 🎉 山田", "", false}});
    window->RefreshCardList();
    const std::string before = AllCards();
    for (const char* name : {"list.xlsx", "list.xls"}) {
        SCOPED_TRACE(name);
        prompts.fileAnswers.push_back(QString::fromStdString(File(name)));
        window->bExport->click();
        ASSERT_EQ(prompts.Messages(PromptKind::Info).last(), "Export completed.");
        // Edited in between: two cards gone, one renamed.
        sqlite3* db = OpenKeyed(workDb, kCardDatabasePassword);
        Exec(db,
             "delete from cardlist where cardno in (40, 50); "
             "update cardlist set descx='Renamed' where cardno=10");
        sqlite3_close(db);
        window->RefreshCardList();

        AddCard(File(name));
        EXPECT_EQ(prompts.Messages(PromptKind::Plain), QStringList{Summary(5, 3, 2, 5, "0")});
        EXPECT_EQ(Card(10, "descx"), "Renamed");
        Exec(db = OpenKeyed(workDb, kCardDatabasePassword),
             "update cardlist set descx='Alice' where cardno=10");
        sqlite3_close(db);
        EXPECT_EQ(AllCards(), before);
        window->RefreshCardList();
    }
}

// As spreadsheet programs write them: shared strings (rich text with a
// phonetic guide), booleans, a header away from A1, the first sheet of the
// workbook in a part that is not the first one, an absolute target.
TEST_F(SheetImportTest, XlsxAsSpreadsheetProgramsWriteIt) {
    const std::string ns =
        R"( xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main")"
        R"( xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships")";
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    auto relationships = [](const std::string& items) {
        return R"(<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)" +
               items + "</Relationships>";
    };
    auto link = [&](const char* id, const char* type, const char* target) {
        return std::string("<Relationship Id=\"") + id + "\" Type=\"" + rel + type +
               "\" Target=\"" + target + "\"/>";
    };
    WriteZip(
        File("others.xlsx"),
        {{"_rels/.rels", relationships(link("rId1", "officeDocument", "xl/workbook.xml"))},
         {"xl/workbook.xml",
          "<workbook" + ns +
              R"(><sheets><sheet name="Cards" sheetId="2" r:id="rId7"/>)"
              R"(<sheet name="Other" sheetId="1" r:id="rId1"/></sheets></workbook>)"},
         {"xl/_rels/workbook.xml.rels",
          relationships(link("rId1", "worksheet", "worksheets/sheet1.xml") +
                        link("rId7", "worksheet", "/xl/worksheets/cards.xml") +
                        link("rId3", "sharedStrings", "sharedStrings.xml"))},
         {"xl/sharedStrings.xml",
          "<sst" + ns +
              "><si><t>Card_No</t></si><si><t>Granted</t></si>"
              "<si><r><t>Zoë </t></r><r><rPr><b/></rPr><t>山田</t></r>"
              "<rPh sb=\"0\" eb=\"2\"><t>ヤマダ</t></rPh></si>"
              "<si><t xml:space=\"preserve\">DESCRIPTION </t></si><si><t>0042</t></si></sst>"},
         {"xl/worksheets/sheet1.xml", "<worksheet" + ns +
                                          R"(><sheetData><row r="1"><c r="A1"><v>999</v></c></row>)"
                                          "</sheetData></worksheet>"},
         {"xl/worksheets/cards.xml",
          "<worksheet" + ns +
              R"(><sheetData>)"
              R"(<row r="3"><c r="B3" t="s"><v>0</v></c><c r="C3" t="s"><v>3</v></c>)"
              R"(<c r="E3" t="s"><v>1</v></c></row>)"
              R"(<row r="4"><c r="B4"><v>501</v></c><c r="C4" t="s"><v>2</v></c>)"
              R"(<c r="E4" t="b"><v>1</v></c></row>)"
              R"(<row r="5"><c r="B5" t="s"><v>4</v></c>)"
              R"(<c r="C5" t="inlineStr"><is><t>Inline &amp; 🎉</t></is></c>)"
              R"(<c r="E5" t="b"><v>0</v></c></row>)"
              R"(<row r="7"><c r="B7"><v>5E2</v></c><c r="E7" t="str"><f>TRUE()</f><v>TRUE</v></c></row>)"
              R"(<row r="8"><c r="B8" t="e"><v>#N/A</v></c></row>)"
              "</sheetData></worksheet>"}});
    AddCard(File("others.xlsx"));
    EXPECT_EQ(prompts.Messages(PromptKind::Plain), QStringList{Summary(3, 3, 3, 6, "1 (row 8)")});
    EXPECT_EQ(Card(501), "Zoë 山田|-|1");
    EXPECT_EQ(Card(42), "Inline & 🎉|-|0");
    EXPECT_EQ(Card(500), "|-|1");
    EXPECT_EQ(Card(999), "<none>");
}

TEST_F(SheetImportTest, DamagedAndHostileFilesChangeNothing) {
    const std::string cards = AllCards();
    const std::string exported = File("export.xlsx");
    prompts.fileAnswers.push_back(QString::fromStdString(exported));
    window->bExport->click();
    const std::string xlsx = Slurp(exported);
    WriteXls(File("export.xls"), 50);
    const std::string xls = Slurp(File("export.xls"));

    std::string bomb = xlsx;  // a sheet that unpacks to 4 GB
    DeclareSize(bomb, "xl/worksheets/sheet1.xml", 0xFFFFFFF0u);
    std::string liar = xlsx;  // a sheet that unpacks to more than it declares
    DeclareSize(liar, "xl/worksheets/sheet1.xml", 100);
    std::string lockedXls = xls;  // WINDOW1 made FILEPASS: a password to open
    EachRecord(lockedXls, [&](std::uint32_t type, std::size_t at) {
        if (type == 0x003D) PutLe(lockedXls, at, 0x002F, 2);
    });
    // An encrypted .xlsx is a compound file holding the encrypted package.
    const std::string lockedXlsx = File("locked.xlsx");
    {
        GsfOutput* sink = gsf_output_stdio_new(lockedXlsx.c_str(), nullptr);
        ASSERT_TRUE(sink);
        GsfOutfile* ole = gsf_outfile_msole_new(sink);
        for (const char* stream : {"EncryptionInfo", "EncryptedPackage"}) {
            GsfOutput* child = gsf_outfile_new_child(ole, stream, FALSE);
            const std::string junk(5000, 'x');
            gsf_output_write(child, junk.size(), reinterpret_cast<const guint8*>(junk.data()));
            gsf_output_close(child);
            g_object_unref(child);
        }
        gsf_output_close(GSF_OUTPUT(ole));
        g_object_unref(ole);
        g_object_unref(sink);
    }
    const std::string huge = File("huge.csv");  // 100 MB, sparse
    ASSERT_EQ(::truncate(Write("huge.csv", "CARD_NO\n").c_str(), 100 << 20), 0);

    const std::string damaged = "The workbook is damaged.";
    const std::string encrypted =
        "The workbook is encrypted. Save it without a password and try again.";
    const std::vector<std::pair<std::string, std::string>> files = {
        {Write("photo.xlsx", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)),
         "The file is not a spreadsheet or CSV file."},
        {Write("cut.xlsx", xlsx.substr(0, xlsx.size() / 2)), damaged},
        {Write("cut.xls", xls.substr(0, 3000)), damaged},
        {Write("bomb.xlsx", bomb), "The workbook unpacks to more than 512 MB."},
        {Write("liar.xlsx", liar), damaged},
        {lockedXlsx, encrypted},
        {Write("locked.xls", lockedXls), encrypted},
        {huge, "The file is larger than 64 MB."},
        {Write("open.csv", "CARD_NO\n1\n\"2\n3\n"),
         "The CSV file is damaged: a quote is out of place in row 3."},
        {Write("stray.csv", "CARD_NO,DESCRIPTION\n1,Bob\n2,\"Bob\" Smith\n3,Eve\n"),
         "The CSV file is damaged: a quote is out of place in row 3."},
        {Write("titles.csv", "DESCRIPTION,GROUP\nA,B\n"), "The header row has no CARD_NO column."},
    };
    for (const auto& [file, reason] : files) {
        SCOPED_TRACE(file);
        AddCard(file);
        EXPECT_EQ(prompts.Messages(PromptKind::Error),
                  QStringList{QString::fromStdString("Error opening input file: " + file + "\r\n" +
                                                     reason)});
        EXPECT_TRUE(prompts.Messages(PromptKind::Plain).isEmpty());
        EXPECT_EQ(AllCards(), cards);
        EXPECT_TRUE(window->dbcard.Active());
        EXPECT_FALSE(window->dbgList->isHidden());
        EXPECT_FALSE(window->LongCommandRunning());
    }
}

// FreeXL counts the days of a date one by one: a huge date value keeps it
// busy for minutes. The helper that runs it is held in by its limits, and
// nothing stalls on a file that is no regular file.
TEST(SheetReaderTest, XlsReaderStopsAtItsLimits) {
    QTemporaryDir tmp;
    const std::string path = tmp.filePath("dates.xls").toStdString();
    WriteXls(path, 20);
    std::string xls = Slurp(path);
    EachRecord(xls, [&](std::uint32_t type, std::size_t at) {
        if (type == 0x00E0) PutLe(xls, at + 6, 14, 2);  // every XF a date format
        if (type == 0x0203) {                           // NUMBER: day 2,000,000,000
            const double day = 2e9;
            std::memcpy(xls.data() + at + 4 + 6, &day, sizeof day);
        }
    });
    Spit(path, xls);
    // A named pipe would block a plain open for good.
    const std::string pipe = tmp.filePath("pipe.csv").toStdString();
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_THROW(ReadCardSheet(pipe), ESheetError);

    TSheetLimits limits;
    limits.xlsCpuSeconds = 1;
    limits.xlsTimeoutMs = 20000;
    try {
        ReadCardSheet(path, limits);
        FAIL() << "read";
    } catch (const ESheetError& e) {
        EXPECT_STREQ(e.what(), "The workbook is damaged or too large to read.");
    }
}

}  // namespace

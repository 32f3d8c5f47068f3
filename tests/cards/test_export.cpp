// The Excel export through the main window, each workbook read back by an
// independent reader: xlrd for .xls, openpyxl for .xlsx.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <csignal>
#include <ctime>
#include <memory>

#include "app/card_files.h"
#include "datasrc.h"
#include "export.h"
#include "filemodes.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"
#include "support/window_test.h"
#include "xlswriter.h"

// Readable failures.
void PrintTo(const QStringList& list, std::ostream* os) {
    *os << '"' << list.join(QStringLiteral("\", \"")).toStdString() << '"';
}

namespace {

// Each cell as "<kind>:<value>", kind n (number), s (text), b (logical) or
// e (empty); whole numbers as integers. Sheets by name, "(hidden)" added to a
// hidden one. An .xlsx is read with openpyxl, or with xlrd when asked: xlrd
// also undoes the format's _xHHHH_ escapes.
const char* const kReader = R"(
import json, sys
path = sys.argv[1]
reader = sys.argv[2] if len(sys.argv) > 2 else ''
out = {}
def cell(kind, value):
    if kind == 'n' and value == int(value): value = int(value)
    if kind == 'b': value = int(bool(value))
    if kind == 'e': value = ''
    return kind + ':' + str(value)
if path.lower().endswith('.xlsx') and reader != 'xlrd':
    import openpyxl
    book = openpyxl.load_workbook(path)
    sheet = book.worksheets[0]
    out['sheets'] = [s.title + ('' if s.sheet_state == 'visible' else ' (hidden)')
                     for s in book.worksheets]
    out['rows'] = [[cell('e' if c.value is None else c.data_type, c.value) for c in row]
                   for row in sheet.iter_rows()]
else:
    import xlrd
    book = xlrd.open_workbook(path)
    sheet = book.sheet_by_index(0)
    kinds = {0: 'e', 1: 's', 2: 'n', 4: 'b'}
    out['sheets'] = [s.name + ('' if s.visibility == 0 else ' (hidden)') for s in book.sheets()]
    out['rows'] = [[cell(kinds.get(sheet.cell_type(r, c), '?'), sheet.cell_value(r, c))
                    for c in range(sheet.ncols)] for r in range(sheet.nrows)]
print(json.dumps(out))
)";

struct Workbook {
    QStringList sheets;
    std::vector<QStringList> rows;
    QString error;  // the reader's complaint; empty when it read the file
};

Workbook ReadBack(const QString& path, const QString& reader = {}) {
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), kReader, path, reader});
    Workbook book;
    if (!python.waitForFinished(120000) || python.exitCode() != 0) {
        book.error = QString::fromUtf8(python.readAllStandardError());
        if (book.error.isEmpty()) book.error = QStringLiteral("reader did not finish");
        return book;
    }
    const QJsonObject out = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
    for (const auto& s : out[QStringLiteral("sheets")].toArray()) book.sheets << s.toString();
    for (const auto& r : out[QStringLiteral("rows")].toArray()) {
        QStringList row;
        for (const auto& c : r.toArray()) row << c.toString();
        book.rows.push_back(row);
    }
    return book;
}

const QStringList kHeader = {"s:CARD_NO", "s:DESCRIPTION", "s:GROUP", "s:GRANTED"};

class ExportTest : public TWindowTest {
  protected:
    void Start(const std::vector<TestCard>& cards) { StartWith(cards); }
    // Runs the command with the dialog answered by name.
    void Export(const QString& name) {
        prompts.fileAnswers.push_back(name);
        window->bExport->click();
    }
    bool ProgressWindowShown() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->windowTitle() == "Exporting to Excel") return true;
        return false;
    }

    FakePrompts prompts;
};

// Records what the window showed while "Export completed." was up.
class WatchingPrompts : public FakePrompts {
  public:
    std::function<void(const QString&)> onPrompt;
    bool Prompt(PromptKind kind, const QString& title, const QString& message) override {
        if (onPrompt) onPrompt(message);
        return FakePrompts::Prompt(kind, title, message);
    }
};

TEST_F(ExportTest, EmptyListGivesTheHeaderOnlyAndReportsWhileTheProgressWindowShows) {
    // As the program starts: the user's usual umask noted, its own files private.
    const mode_t usual = ::umask(022);
    KeepOwnFilesPrivate();
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    ASSERT_TRUE(QDir().mkpath(documents));
    WatchingPrompts watching;
    Start({});
    const int refreshes = window->RefreshCount();
    bool progressShown = false, busy = false;
    watching.onPrompt = [&](const QString& message) {
        if (message != "Export completed.") return;
        progressShown = ProgressWindowShown();
        busy = window->LongCommandRunning();
    };
    const QString path = tmp.filePath("empty.xls");
    watching.fileAnswers.push_back(path);
    window->bExport->click();

    EXPECT_EQ(watching.All(), QStringList{"Export completed."});
    // The first dialog opens in the documents folder, not the private data folder.
    EXPECT_EQ(watching.fileDialogs.front().initial, documents);
    // The workbook is for others to open; the settings stay the user's alone.
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(
        ::stat(QFile::encodeName(tmp.filePath("config/Quillon/Lorvane.ini")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::umask(usual);
    EXPECT_TRUE(progressShown);
    EXPECT_TRUE(busy);
    EXPECT_FALSE(ProgressWindowShown());
    EXPECT_FALSE(window->dbgList->isHidden());
    EXPECT_EQ(window->RefreshCount(), refreshes + 1);
    EXPECT_EQ(QString::fromStdString(ReadSettingString("EXPORT", "")), path);
    const Workbook book = ReadBack(path);
    ASSERT_TRUE(book.error.isEmpty()) << book.error.toStdString();
    EXPECT_EQ(book.sheets, QStringList{"CARD_LIST"});
    ASSERT_EQ(book.rows.size(), 1u);
    EXPECT_EQ(book.rows[0], kHeader);

    // The next dialog is preset from the stored path.
    watching.fileAnswers.push_back({});
    window->bExport->click();
    EXPECT_EQ(watching.dialogs.back(), "Export Card List to Excel|" + path);
    EXPECT_TRUE(watching.fileDialogs.back().save);
    EXPECT_EQ(watching.fileDialogs.back().defaultExt, "xls");
    EXPECT_TRUE(watching.fileDialogs.back().filter.startsWith("MS Excel (*.xls)|*.xls|"));
    EXPECT_EQ(window->RefreshCount(), refreshes + 2);
}

TEST_F(ExportTest, RowsFollowTheShownOrderWithTheirCellKinds) {
    std::string cyrillic;
    for (int i = 0; i < 40000; ++i) cyrillic += "\xD0\x96";  // Zhe, 40,000 times
    // An emoji and a letter of CJK Extension B (outside the 16-bit plane);
    // flags stored as -1 and 2, which the grid shows as granted.
    Start({{7, "Anna \"Q\" O'Neil\t\x01", "Night shift", true},
           {4294, "Zoe \xF0\x9F\x98\x80", "", false},
           {-3, cyrillic, "\xE6\x97\xA5\xE6\x9C\xAC \xF0\xA0\x80\x80", true},
           {2147483647, "", "Admin", false}});
    sqlite3* db = OpenKeyed(workDb, kCardDatabasePassword);
    Exec(db, "update cardlist set granted = -1 where cardno = 7");
    Exec(db, "update cardlist set granted = 2 where cardno = -3");
    sqlite3_close(db);
    WriteSettingString("SORT", "descx");
    WriteSettingString("ORDER", "desc");
    window->RefreshCardList();
    Export(tmp.filePath("sorted.xls"));

    EXPECT_EQ(prompts.All(), QStringList{"Export completed."});
    const Workbook book = ReadBack(tmp.filePath("sorted.xls"));
    ASSERT_TRUE(book.error.isEmpty()) << book.error.toStdString();
    ASSERT_EQ(book.rows.size(), 5u);
    EXPECT_EQ(book.rows[0], kHeader);
    // A longer text is cut to what a cell holds.
    EXPECT_EQ(book.rows[1],
              QStringList({"n:-3", "s:" + QString(32767, QChar(0x416)), "s:日本 𠀀", "b:1"}));
    EXPECT_EQ(book.rows[2], QStringList({"n:4294", "s:Zoe 😀", "e:", "b:0"}));
    EXPECT_EQ(book.rows[3],
              QStringList({"n:7", "s:Anna \"Q\" O'Neil\t\x01", "s:Night shift", "b:1"}));
    EXPECT_EQ(book.rows[4], QStringList({"n:2147483647", "e:", "s:Admin", "b:0"}));
}

TEST_F(ExportTest, FilterOnReplacesAnEarlierWorkbookNamedWithoutExtension) {
    Start(ManyCards(6));
    // A folder with a dot and a blank in its name: the name still has none.
    const QString folder = tmp.filePath("Q1.2024 lists");
    ASSERT_TRUE(QDir().mkpath(folder));
    Export(folder + "/cards");
    const QString path = folder + "/cards.xls";
    ASSERT_EQ(ReadBack(path).rows.size(), 7u);

    window->SetGrantedFilter(true);
    prompts.Clear();
    Export(folder + "/cards");
    EXPECT_EQ(prompts.All(), QStringList{"Export completed."});
    const Workbook book = ReadBack(path);
    ASSERT_TRUE(book.error.isEmpty()) << book.error.toStdString();
    ASSERT_EQ(book.rows.size(), 3u);
    EXPECT_EQ(book.rows[1], QStringList({"n:3", "s:Holder 3", "s:Group 3", "b:1"}));
    EXPECT_EQ(book.rows[2], QStringList({"n:6", "s:Holder 6", "s:Group 6", "b:1"}));
    EXPECT_FALSE(QFile::exists(folder + "/cards"));
}

TEST_F(ExportTest, TheCardAfterTheSheetIsFullFailsAndKeepsTheRowsBefore) {
    Start(ManyCards(65536));
    Export(tmp.filePath("full.xls"));

    EXPECT_EQ(prompts.All(), QStringList{"Cannot export to the Excel file."});
    EXPECT_FALSE(ProgressWindowShown());
    EXPECT_FALSE(window->dbgList->isHidden());
    const Workbook book = ReadBack(tmp.filePath("full.xls"));
    ASSERT_TRUE(book.error.isEmpty()) << book.error.toStdString();
    ASSERT_EQ(book.rows.size(), 65536u);
    EXPECT_EQ(book.rows[1], QStringList({"n:1", "s:Holder 1", "s:Group 1", "b:0"}));
    EXPECT_EQ(book.rows[65535], QStringList({"n:65535", "s:Holder 65535", "s:Group 5", "b:1"}));
}

TEST_F(ExportTest, XlsxFilterWritesAWorkbookWithTheSameSheet) {
    Start({{30, std::string(40000, 'c'), "", true},
           {10, "Ünal \"Q\"\t\x01 \xF0\x9F\x98\x80", "\xF0\xA0\x80\x81", false}});
    Export(tmp.filePath("cards.xlsx"));

    EXPECT_EQ(prompts.All(), QStringList{"Export completed."});
    const Workbook book = ReadBack(tmp.filePath("cards.xlsx"));
    ASSERT_TRUE(book.error.isEmpty()) << book.error.toStdString();
    EXPECT_EQ(book.sheets, QStringList{"CARD_LIST"});
    ASSERT_EQ(book.rows.size(), 3u);
    EXPECT_EQ(book.rows[0], kHeader);
    // A control character is kept in the file's own escape, which the reader
    // does not undo.
    EXPECT_EQ(book.rows[1], QStringList({"n:10", "s:Ünal \"Q\"\t_x0001_ 😀", "s:𠀁", "b:0"}));
    EXPECT_EQ(book.rows[2], QStringList({"n:30", "s:" + QString(32767, u'c'), "e:", "b:1"}));
}

// Texts that readers refused: an emoji whose two halves would fall on either
// side of a record of the .xls string table, and characters that XML cannot
// carry raw in an .xlsx, next to text that looks like the format's escape.
TEST_F(ExportTest, EveryTextReadsBackFromBothFormats) {
    std::string emoji;
    for (int i = 0; i < 6000; ++i) emoji += "\xF0\x9F\x98\x80";  // over two records
    // U+FFFE, U+FFFF, control characters, an escape look-alike, CR LF and a
    // surrogate without its other half, as a lenient converter stores it.
    const std::string odd = "A\xEF\xBF\xBE B\xEF\xBF\xBF C\x02\x1F D_x0041_ E\r\nF\xED\xA0\x80";
    Start({{1, emoji, "", true}, {2, odd, "_x00e9_", false}});
    Export(tmp.filePath("odd.xls"));
    Export(tmp.filePath("odd.xlsx"));
    EXPECT_EQ(prompts.All(), QStringList({"Export completed.", "Export completed."}));

    const QString emojis = QString::fromUtf8(emoji);
    QString text = QString::fromUtf8(odd.substr(0, odd.size() - 3));
    const Workbook xls = ReadBack(tmp.filePath("odd.xls"));
    ASSERT_TRUE(xls.error.isEmpty()) << xls.error.toStdString();
    ASSERT_EQ(xls.rows.size(), 3u);
    EXPECT_TRUE(xls.rows[1][1] == "s:" + emojis) << xls.rows[1][1].size();
    // .xls readers refuse the lone half: it becomes U+FFFD.
    EXPECT_EQ(xls.rows[2], QStringList({"n:2", "s:" + text + QChar(0xFFFD), "s:_x00e9_", "b:0"}));

    const Workbook xlsx = ReadBack(tmp.filePath("odd.xlsx"));  // well-formed for openpyxl
    ASSERT_TRUE(xlsx.error.isEmpty()) << xlsx.error.toStdString();
    ASSERT_EQ(xlsx.rows.size(), 3u);
    EXPECT_TRUE(xlsx.rows[1][1] == "s:" + emojis);
    const Workbook unescaped = ReadBack(tmp.filePath("odd.xlsx"), "xlrd");
    ASSERT_TRUE(unescaped.error.isEmpty()) << unescaped.error.toStdString();
    ASSERT_EQ(unescaped.rows.size(), 3u);
    EXPECT_EQ(unescaped.rows[2],
              QStringList({"n:2", "s:" + text + QChar(0xD800), "s:_x00e9_", "b:0"}));
}

// A kill during an export leaves its temporary file beside the target; the
// next export into that folder removes it, and nothing else.
TEST_F(ExportTest, LeftoversOfKilledExportsGoAtTheNextExport) {
    Start(ManyCards(2));
    const QString folder = tmp.filePath("out");
    ASSERT_TRUE(QDir().mkpath(folder));
    auto make = [&](const char* name, mode_t mode, bool old) {
        const QByteArray path = QFile::encodeName(folder + "/" + name);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, mode);
        ASSERT_GE(fd, 0);
        ::fchmod(fd, mode);
        ::close(fd);
        const timeval hourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
        if (old) ::utimes(path.constData(), hourAgo);
    };
    make("cards.xls.k9Xw2Q", 0600, true);  // left by killed exports
    make("list.XLSX.Ab12Cd", 0600, true);
    make("cards.xls.backup", 0644, true);   // the user's own copy
    make("notes.txt.Ab12Cd", 0600, true);   // another program's
    make("cards.xls.Fresh1", 0600, false);  // just begun
    make("cards.xls.Held12", 0600, true);   // locked by an export under way
    const int held = ::open(QFile::encodeName(folder + "/cards.xls.Held12").constData(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    Export(folder + "/cards.xls");
    ::close(held);
    EXPECT_EQ(prompts.All(), QStringList{"Export completed."});
    QStringList left = QDir(folder).entryList(QDir::Files);
    left.sort();
    EXPECT_EQ(left, QStringList({"cards.xls", "cards.xls.Fresh1", "cards.xls.Held12",
                                 "cards.xls.backup", "notes.txt.Ab12Cd"}));
}

// A hand-made list may hold a card number as text or with a fraction: each
// goes into the sheet as what it is, never as another number.
TEST_F(ExportTest, CardNumbersAreWrittenAsStored) {
    CreateCardDatabase(workDb, kCardDatabasePassword);
    sqlite3* db = OpenKeyed(workDb, kCardDatabasePassword);
    Exec(db,
         "drop table cardlist; create table cardlist (cardno not null, descx varchar(50), "
         "grp varchar(50), granted boolean not null default 0); insert into cardlist values "
         "(5, 'Five', null, 1), ('12abc', 'Text', null, 0), (12.5, 'Half', null, 0)");
    sqlite3_close(db);
    window = std::make_unique<TLorvane>(data, appFolder);
    for (const char* name : {"numbers.xls", "numbers.xlsx"}) {
        SCOPED_TRACE(name);
        Export(tmp.filePath(name));
        const Workbook book = ReadBack(tmp.filePath(name));
        ASSERT_TRUE(book.error.isEmpty()) << book.error.toStdString();
        ASSERT_EQ(book.rows.size(), 4u);
        EXPECT_EQ(book.rows[1], QStringList({"n:5", "s:Five", "e:", "b:1"}));
        EXPECT_EQ(book.rows[2], QStringList({"n:12.5", "s:Half", "e:", "b:0"}));
        EXPECT_EQ(book.rows[3], QStringList({"s:12abc", "s:Text", "e:", "b:0"}));
    }
    EXPECT_EQ(prompts.All(), QStringList({"Export completed.", "Export completed."}));
}

TEST_F(ExportTest, UndeletableFileAndMissingFolderAreReported) {
    Start(ManyCards(3));
    // A folder in the file's place cannot be deleted as a file.
    const QString held = tmp.filePath("held.xls");
    ASSERT_TRUE(QDir().mkpath(held + "/inside"));
    Export(held);
    EXPECT_EQ(prompts.All(), QStringList{"Cannot delete the file: " + held});
    EXPECT_TRUE(QFile::exists(held + "/inside"));
    prompts.fileAnswers.push_back({});
    window->bExport->click();
    EXPECT_EQ(prompts.dialogs.back(), "Export Card List to Excel|" + held);

    // Nor can the working database, which is in use.
    prompts.Clear();
    const QString workDb = QString::fromStdString(window->WorkDbPath());
    Export(workDb);
    EXPECT_EQ(prompts.All(), QStringList{"Cannot delete the file: " + workDb});
    EXPECT_EQ(window->dbcard.RecordCount(), 3);

    prompts.Clear();
    Export(tmp.filePath("missing/cards.xls"));
    EXPECT_EQ(prompts.All(), QStringList{"Cannot create the Excel file."});
    EXPECT_FALSE(window->dbgList->isHidden());
    EXPECT_EQ(QDir::currentPath().toStdString() + "/", appFolder);
}

// A disk that fills up while the rows are written: in a child process with a
// small file size limit, so that nothing else is hit by it.
TEST(ExcelWriter, AFailedWriteKeepsTheLastCompleteWorkbook) {
    QTemporaryDir tmp;
    const std::string path = tmp.filePath("limited.xls").toStdString();
    const std::string connection = BuildExcelConnectionString(path);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        int result = 1;
        try {
            CreateExcelTable(connection, CardListTable());
            TExcelTable table;
            table.Open(connection, CardListTable());
            for (int i = 1; i <= 20000; ++i) {
                table.Append();
                table.SetInteger("CARD_NO", i);
                table.SetText("DESCRIPTION", "Holder " + std::to_string(i));
                table.SetBoolean("GRANTED", true);
                table.Post();
            }
            table.Close();
        } catch (const EExcelError&) {
            result = 0;  // the write failed as it must
        } catch (...) {
            result = 2;
        }
        _exit(result);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const Workbook book = ReadBack(QString::fromStdString(path));
    ASSERT_TRUE(book.error.isEmpty()) << book.error.toStdString();
    ASSERT_EQ(book.rows.size(), 1u);
    EXPECT_EQ(book.rows[0], kHeader);
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::Files), QStringList{"limited.xls"});
}

}  // namespace

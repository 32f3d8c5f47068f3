// The main window against real card database files in temporary folders, with
// its own settings folder per test and the prompts answered by a fake.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSettings>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>

#include "app/card_files.h"
#include "cardlist.h"
#include "cardmodel.h"
#include "clockfmt.h"
#include "datasrc.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"
#include "support/pump.h"
#include "support/window_test.h"

namespace {

const std::vector<TestCard> FiveCards = {
    {30, "Carol", "Sales", true}, {10, "Alice", "Admin", false}, {50, "Eve", "", true},
    {20, "Bob", "Admin", false},  {40, "Dave", "Sales", false},
};

class MainWindowTest : public TWindowTest {
  protected:
    void MakeWorkDb(const std::vector<TestCard>& cards = FiveCards) {
        CreateCardDatabase(workDb, kCardDatabasePassword);
        InsertCards(workDb, cards);
    }
    void Set(const char* name, const char* value) {
        SetSettingsApplication("Lorvane");
        WriteSettingString(name, value);
    }
    // The stored text of a value, or "<absent>".
    QString Stored(const char* name) {
        QSettings ini(tmp.filePath("config/Quillon/Lorvane.ini"), QSettings::IniFormat);
        return ini.value(QString::fromLatin1(name), QStringLiteral("<absent>")).toString();
    }
    void Start() { window = std::make_unique<TLorvane>(data, appFolder); }

    QTableView& Grid() { return *window->dbgList; }
    int GridRows() { return Grid().model()->rowCount(); }
    int GridCurrentRow() { return Grid().selectionModel()->currentIndex().row(); }
    QString Cell(int row, int column) {
        return Grid().model()->index(row, column).data().toString();
    }
    QStringList CardNumbers() {
        QStringList out;
        for (int r = 0; r < GridRows(); ++r) out << Cell(r, 0);
        return out;
    }
    // What the engine says when it connects to the given file.
    QString ConnectFailure(const std::string& path) {
        TDbConnection connection;
        connection.SetConnectionString(BuildConnectionString(path));
        try {
            connection.Connect();
        } catch (const std::exception& e) {
            return QString::fromUtf8(e.what());
        }
        return QStringLiteral("<connected>");
    }

    FakePrompts prompts;
};

TEST_F(MainWindowTest, FirstStartOpensTheListSortedAtTheTopLeft) {
    MakeWorkDb();
    Start();
    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
    EXPECT_EQ(window->pos(), QPoint(0, 0));
    EXPECT_EQ(window->windowTitle(), "Lorvane");
    EXPECT_EQ(window->size(), QSize(631, 446));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window->font().pixelSize(), 11);

    // COM1 to COM8, then whatever serial devices this machine has.
    ASSERT_GE(window->cbPort->count(), 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(window->cbPort->itemText(i), QStringLiteral("COM%1").arg(i + 1));
    EXPECT_EQ(window->cbPort->currentIndex(), 0);
    EXPECT_EQ(window->cbPort->currentText(), "COM1");
    EXPECT_FALSE(window->cbGranted->isChecked());
    EXPECT_FALSE(Grid().isColumnHidden(3));
    EXPECT_EQ(window->RefreshCount(), 1);

    EXPECT_EQ(CardNumbers(), QStringList({"10", "20", "30", "40", "50"}));
    EXPECT_EQ(window->dbcard.RecNo(), 1);
    EXPECT_EQ(GridCurrentRow(), 0);
    EXPECT_EQ(window->PanelText(1), "5 record(s).");
    EXPECT_EQ(window->PanelText(2), "");
    // Default widths by field kind: integer and wide text 100, boolean 50.
    EXPECT_EQ(Grid().columnWidth(0), 100);
    EXPECT_EQ(Grid().columnWidth(1), 100);
    EXPECT_EQ(Grid().columnWidth(2), 100);
    EXPECT_EQ(Grid().columnWidth(3), 50);
    EXPECT_EQ(QDir::currentPath() + "/", QString::fromStdString(appFolder));

    window->show();
    EXPECT_EQ(window->focusWidget(), window->bExit);
    EXPECT_FALSE(window->cbGranted->isVisible());
    EXPECT_FALSE(window->bAllGranted->isVisible());
    EXPECT_FALSE(window->bAllDeny->isVisible());
    EXPECT_TRUE(window->bOptions->isVisible());
    EXPECT_EQ(window->bExit->toolTip(), "Quit this software.");
}

TEST_F(MainWindowTest, GridShowsTheCardsReadOnlyWithTitlesAndKinds) {
    MakeWorkDb();
    Start();
    QAbstractItemModel& model = *Grid().model();
    const QStringList titles = {"Card No", "Name", "Group", "Granted"};
    const FieldKind kinds[] = {FieldKind::Integer, FieldKind::WideText, FieldKind::WideText,
                               FieldKind::Boolean};
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(model.headerData(c, Qt::Horizontal).toString(), titles[c]);
        EXPECT_EQ(model.headerData(c, Qt::Horizontal, FieldKindRole).toInt(),
                  static_cast<int>(kinds[c]));
        EXPECT_EQ(model.headerData(c, Qt::Horizontal, Qt::TextAlignmentRole).toInt(),
                  int(Qt::AlignCenter));
    }
    // Row 2 is card 30.
    EXPECT_EQ(Cell(2, 1), "Carol");
    EXPECT_EQ(Cell(2, 2), "Sales");
    EXPECT_EQ(Cell(2, 3), "True");
    EXPECT_EQ(Cell(0, 3), "False");
    EXPECT_EQ(Cell(4, 2), "");  // null group
    EXPECT_FALSE(model.flags(model.index(0, 1)) & Qt::ItemIsEditable);
    EXPECT_EQ(Grid().selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(Grid().selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(Grid().verticalHeader()->sectionResizeMode(0), QHeaderView::Fixed);
}

TEST_F(MainWindowTest, GridAndListKeepTheSameCurrentRow) {
    MakeWorkDb();
    Start();
    QAbstractItemModel& model = *Grid().model();
    // Operator picks a row in the grid.
    Grid().selectionModel()->setCurrentIndex(
        model.index(3, 1), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    EXPECT_EQ(window->dbcard.RecNo(), 4);
    EXPECT_EQ(window->dbcard.FieldByName("cardno").AsInteger(), 40);
    // A command moves the list.
    window->dbcard.SetRecNo(2);
    EXPECT_EQ(GridCurrentRow(), 1);
    EXPECT_TRUE(Grid().selectionModel()->isRowSelected(1, {}));
    ASSERT_TRUE(window->dbcard.Locate("cardno", TValue{std::int64_t{50}}));
    EXPECT_EQ(GridCurrentRow(), 4);
    // The row indicator marks the current row only.
    EXPECT_FALSE(model.headerData(4, Qt::Vertical).toString().isEmpty());
    EXPECT_TRUE(model.headerData(1, Qt::Vertical).toString().isEmpty());
    // A hidden grid catches up when it is shown again.
    window->SetGridVisible(false);
    window->dbcard.SetRecNo(3);
    window->dbcard.Next();
    window->SetGridVisible(true);
    EXPECT_EQ(GridCurrentRow(), 3);
    // Deleting moves the grid with the list.
    window->dbcard.SetRecNo(2);
    window->dbcard.Delete();
    EXPECT_EQ(GridRows(), 4);
    EXPECT_EQ(GridCurrentRow(), window->dbcard.RecNo() - 1);
}

TEST_F(MainWindowTest, StoredFilterOpensTheListTwiceWithGrantedCardsOnly) {
    MakeWorkDb();
    Set("GRANTED", "1");
    Start();
    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
    EXPECT_TRUE(window->cbGranted->isChecked());
    EXPECT_EQ(window->RefreshCount(), 2);
    EXPECT_TRUE(Grid().isColumnHidden(3));
    EXPECT_EQ(window->PanelText(2), "Show granted card only");
    EXPECT_EQ(CardNumbers(), QStringList({"30", "50"}));
    EXPECT_EQ(window->PanelText(1), "2 record(s).");
    const std::vector<std::string> lines = {"select * from cardlist", "where granted=true",
                                            "order by cardno asc"};
    EXPECT_EQ(window->dbcard.SQLLines(), lines);
    EXPECT_EQ(Stored("GRANTED"), "1");
}

TEST_F(MainWindowTest, FilterChangesRefreshOnlyOnARealChange) {
    MakeWorkDb();
    Start();
    window->cbGranted->setChecked(true);
    EXPECT_EQ(window->RefreshCount(), 2);
    EXPECT_EQ(Stored("GRANTED"), "1");
    EXPECT_EQ(GridRows(), 2);
    window->cbGranted->setChecked(true);
    EXPECT_EQ(window->RefreshCount(), 2);
    window->SetGrantedFilter(false);
    EXPECT_EQ(window->RefreshCount(), 3);
    EXPECT_EQ(Stored("GRANTED"), "0");
    EXPECT_FALSE(Grid().isColumnHidden(3));
    EXPECT_EQ(window->PanelText(2), "");
    EXPECT_EQ(GridRows(), 5);
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainWindowTest, StoredPortIsSelectedWithoutRunningTheChangeHandler) {
    MakeWorkDb();
    struct Case {
        const char* stored;
        int index;
    } cases[] = {{"9", -1}, {"abc", 0}, {"3", 3}, {"-1", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        Set("PORT", c.stored);
        Start();
        EXPECT_EQ(window->cbPort->currentIndex(), c.index);
        EXPECT_EQ(window->PortIndex(), c.index);
        // The change handler would have written the index back.
        EXPECT_EQ(Stored("PORT"), c.stored);
        window.reset();
    }
}

TEST_F(MainWindowTest, OperatorPortChoiceReachesTheCommand) {
    MakeWorkDb();
    Start();
    window->cbPort->setCurrentIndex(2);  // as a choice from the drop-down list
    EXPECT_EQ(Stored("PORT"), "2");
    window->SetPortSelectorEnabled(false);
    EXPECT_FALSE(window->cbPort->isEnabled());
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainWindowTest, TextTypedOverThePortSelectorNamesThePort) {
    MakeWorkDb();
    Start();
    QLineEdit* edit = window->cbPort->lineEdit();
    ASSERT_NE(edit, nullptr);
    // Typed as the operator would, one key at a time: the list keeps "COM1"
    // selected, but the text no longer names it.
    edit->clear();
    for (QChar c : QStringLiteral("COM9")) edit->insert(QString(c));
    EXPECT_EQ(window->cbPort->currentText(), "COM9");
    EXPECT_EQ(window->PortIndex(), -1);
    EXPECT_EQ(Stored("PORT"), "-1");

    // A port spelt out in full is that item, whatever was selected before.
    edit->setText(QStringLiteral("com3"));
    EXPECT_EQ(window->PortIndex(), 2);
    EXPECT_EQ(Stored("PORT"), "2");
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainWindowTest, ATypedDevicePathIsThePortAndIsRemembered) {
    MakeWorkDb();
    Start();
    const QString device = QStringLiteral("/dev/serial/by-id/usb-FTDI_Ölçer 2.0-if00-port0");
    QLineEdit* edit = window->cbPort->lineEdit();
    edit->clear();
    for (QChar c : device) edit->insert(QString(c));
    EXPECT_EQ(window->PortIndex(), -1);
    EXPECT_EQ(window->PortDevice(), QFile::encodeName(device).toStdString());
    EXPECT_EQ(Stored("PORT"), device);

    window.reset();
    Start();
    EXPECT_EQ(window->cbPort->currentText(), device);
    EXPECT_EQ(window->PortDevice(), QFile::encodeName(device).toStdString());
    EXPECT_EQ(Stored("PORT"), device);  // shown without running the change handler

    window->cbPort->setCurrentIndex(4);
    EXPECT_EQ(window->PortDevice(), "");
    EXPECT_EQ(Stored("PORT"), "4");
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainWindowTest, StoredRowIsSelectedOrTheFirstWhenItIsGone) {
    MakeWorkDb();
    struct Case {
        const char* stored;
        int row;
    } cases[] = {{"2", 1}, {"5", 4}, {"6", 0}, {"0", 0}, {"-7", 0}, {"x", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        Set("POS", c.stored);
        Start();
        EXPECT_EQ(window->dbcard.RecNo(), c.row + 1);
        EXPECT_EQ(GridCurrentRow(), c.row);
        EXPECT_TRUE(prompts.shown.empty());
        window.reset();
    }
}

TEST_F(MainWindowTest, EmptyListShowsNoRecordsAndTheGuardSaysSo) {
    MakeWorkDb({});
    Set("POS", "3");
    Start();
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(window->PanelText(1), "0 record(s).");
    EXPECT_EQ(GridRows(), 0);
    EXPECT_TRUE(window->CheckListEmpty());
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList({"No record."}));
    // Exit with an empty list keeps the older row number.
    window->bExit->click();
    EXPECT_EQ(Stored("POS"), "3");
    EXPECT_EQ(prompts.shown.size(), 1u);
}

TEST_F(MainWindowTest, CheckListEmptyIsSilentWithRows) {
    MakeWorkDb();
    Start();
    EXPECT_FALSE(window->CheckListEmpty());
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainWindowTest, CheckListEmptyCountsTheFilteredRows) {
    MakeWorkDb({{1, "A", "", false}, {2, "B", "", false}});
    Set("GRANTED", "1");
    Start();
    EXPECT_TRUE(window->CheckListEmpty());
    EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList({"No record."}));
}

TEST_F(MainWindowTest, ExitSavesLayoutPlacementRowAndFilter) {
    MakeWorkDb();
    Start();
    window->show();
    window->move(30, 40);
    const int widths[] = {120, 130, 140, 60};
    for (int c = 0; c < 4; ++c) Grid().setColumnWidth(c, widths[c]);
    window->dbcard.SetRecNo(3);
    window->bExit->click();
    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(Stored("LIST_0"), "120");
    EXPECT_EQ(Stored("LIST_1"), "130");
    EXPECT_EQ(Stored("LIST_2"), "140");
    EXPECT_EQ(Stored("LIST_3"), "60");
    EXPECT_EQ(Stored("POS"), "3");
    EXPECT_EQ(Stored("GRANTED"), "0");
    EXPECT_EQ(Stored("LORVANE_MAX"), "0");
    EXPECT_EQ(Stored("LORVANE_LEFT"), QString::number(window->frameGeometry().left()));
    EXPECT_EQ(Stored("LORVANE_TOP"), QString::number(window->frameGeometry().top()));

    // The next start restores it all.
    window.reset();
    Start();
    EXPECT_EQ(window->frameGeometry().topLeft(), QPoint(30, 40));
    EXPECT_EQ(window->dbcard.RecNo(), 3);
    EXPECT_EQ(Grid().columnWidth(1), 130);
    EXPECT_EQ(Grid().columnWidth(3), 60);
}

TEST_F(MainWindowTest, ExitWithTheFilterOnStoresAHiddenGrantedColumn) {
    MakeWorkDb();
    Set("GRANTED", "1");
    Start();
    window->bExit->click();
    EXPECT_EQ(Stored("LIST_3"), "-1");
    EXPECT_EQ(Stored("GRANTED"), "1");
    EXPECT_EQ(Stored("POS"), "1");
}

TEST_F(MainWindowTest, ClosingTheWindowOtherwiseSavesNothing) {
    MakeWorkDb();
    Start();
    window->show();
    window->dbcard.SetRecNo(4);
    window->close();
    EXPECT_EQ(Stored("POS"), "<absent>");
    EXPECT_EQ(Stored("LIST_0"), "<absent>");
}

TEST_F(MainWindowTest, EnterAndKeypadEnterPressTheFocusedButton) {
    MakeWorkDb();
    Start();
    FakePrompts fake;
    fake.defaultConfirm = false;  // Clear is asked and refused
    int presses = 0;
    QObject::connect(window->bClear, &QPushButton::clicked, [&] { ++presses; });
    for (const auto& [key, modifiers] : {std::pair{Qt::Key_Return, Qt::NoModifier},
                                         std::pair{Qt::Key_Enter, Qt::KeypadModifier}}) {
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(window->bClear, &press);
    }
    EXPECT_EQ(presses, 2);
    EXPECT_EQ(GridRows(), 5);
}

// Without a mouse: Tab walks every visible control once round, in and out of
// the grid; the arrows move in the grid and Enter there edits the card.
TEST_F(MainWindowTest, TabLeavesTheGridAndVisitsEveryControlOnce) {
    MakeWorkDb();
    Start();
    window->show();
    window->activateWindow();
    auto press = [](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* focused = QApplication::focusWidget();
        if (!focused) return;
        QKeyEvent event(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(focused, &event);
    };
    // The focused control; the port selector's text box stands for the selector.
    auto focused = [this]() -> QWidget* {
        QWidget* w = window->focusWidget();
        if (w && w->parentWidget() == window->cbPort) return window->cbPort;
        return w;
    };
    ASSERT_TRUE(PumpUntil([this] { return QApplication::focusWidget() == window->bExit; }));

    QList<QWidget*> visited;
    for (int i = 0; i < 40 && (visited.isEmpty() || focused() != window->bExit); ++i) {
        press(Qt::Key_Tab);
        visited << focused();
    }
    const QList<QWidget*> expected = {
        window->dbgList,  window->bDelete,  window->bClear, window->bEdit,   window->bAdd,
        window->bSearch,  window->bOptions, window->cbPort, window->bUpload, window->bInfo,
        window->bDenyAll, window->bSave,    window->bOpen,  window->bMerge,  window->bExport,
        window->bAbout,   window->bExit};
    EXPECT_EQ(visited, expected);

    press(Qt::Key_Tab);
    ASSERT_EQ(focused(), window->dbgList);
    press(Qt::Key_Down);
    press(Qt::Key_Down);
    EXPECT_EQ(GridCurrentRow(), 2);
    EXPECT_EQ(window->dbcard.RecNo(), 3);
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(focused(), window->bExit);

    press(Qt::Key_Tab);
    QString edited;
    QTimer::singleShot(0, [&] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            edited = dialog->windowTitle();
            dialog->reject();
        }
    });
    press(Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(edited, "Edit Information");
    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
}

class StartWithoutDatabase : public MainWindowTest,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(StartWithoutDatabase, ShowsTheEngineMessageAndOpensEmpty) {
    const std::string kind = GetParam();
    if (kind == "text") {
        QFile file(QString::fromStdString(workDb));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("this is not a database\n");
    } else if (kind == "password") {
        CreateCardDatabase(workDb, "another password");
    }
    const QString expected = WithFullStop(ConnectFailure(workDb));
    Set("PORT", "4");
    Set("GRANTED", "1");
    Start();
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].kind, PromptKind::AppError);
    EXPECT_EQ(prompts.shown[0].message, expected);
    EXPECT_NE(expected, "<connected>.");
    // The rest of start-up was skipped.
    EXPECT_EQ(window->cbPort->currentIndex(), 0);
    EXPECT_FALSE(window->cbGranted->isChecked());
    EXPECT_FALSE(window->ClockRunning());
    EXPECT_EQ(GridRows(), 0);
    window->show();
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(window->PanelText(0), "");

    // Exit fails at the row number; layout and placement were already written.
    prompts.Clear();
    window->bExit->click();
    EXPECT_EQ(prompts.Messages(PromptKind::AppError),
              QStringList({"dbcard: Cannot perform this operation on a closed dataset."}));
    EXPECT_TRUE(window->isVisible());
    EXPECT_NE(Stored("LIST_0"), "<absent>");
    EXPECT_NE(Stored("LORVANE_TOP"), "<absent>");
    EXPECT_EQ(Stored("GRANTED"), "1");
    // The program never creates the working database.
    if (kind == "missing") {
        EXPECT_FALSE(QFile::exists(QString::fromStdString(workDb)));
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, StartWithoutDatabase,
                         ::testing::Values("missing", "text", "password"));

TEST_F(MainWindowTest, TamperedSortOrderIsRefusedBeforeTheEngine) {
    MakeWorkDb();
    const char* const tampered[][2] = {
        {"cardno; drop table cardlist", "asc"},
        {"cardno", "asc; delete from cardlist"},
        {"", "asc"},
        {"cardno", "upward"},
        {"1cardno", "asc"},
    };
    for (const auto& t : tampered) {
        SCOPED_TRACE(t[0] + std::string("|") + t[1]);
        prompts.Clear();
        Set("SORT", t[0]);
        Set("ORDER", t[1]);
        Start();
        ASSERT_EQ(prompts.Messages(PromptKind::AppError).size(), 1);
        EXPECT_TRUE(prompts.Messages(PromptKind::AppError)[0].startsWith(
            "Invalid sort order in the settings: "));
        EXPECT_EQ(GridRows(), 0);
        EXPECT_FALSE(window->ClockRunning());
        window.reset();
        EXPECT_EQ(CountCards(workDb), 5);
    }
}

TEST_F(MainWindowTest, StoredSortIsUsedAndAMissingColumnFailsInTheEngine) {
    MakeWorkDb();
    Set("SORT", "descx");
    Set("ORDER", "DESC");
    Start();
    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
    EXPECT_EQ(CardNumbers(), QStringList({"50", "40", "30", "20", "10"}));
    window.reset();

    Set("SORT", "colour");
    Set("ORDER", "asc");
    Start();
    const QStringList errors = prompts.Messages(PromptKind::AppError);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("colour")) << errors[0].toStdString();
    EXPECT_FALSE(errors[0].startsWith("Invalid sort order"));
    EXPECT_EQ(GridRows(), 0);
}

TEST_F(MainWindowTest, RefreshReturnsToTheProgramFolder) {
    MakeWorkDb();
    Start();
    QDir::setCurrent(QDir::tempPath());
    window->RefreshCardList();
    EXPECT_EQ(QDir::currentPath() + "/", QString::fromStdString(appFolder));
    EXPECT_TRUE(data.adosrc.Connected());
    EXPECT_TRUE(window->dbcard.Active());
    EXPECT_TRUE(Grid().isVisibleTo(window.get()));
}

TEST_F(MainWindowTest, FailedRefreshFromAControlIsShownAndTheProgramGoesOn) {
    MakeWorkDb();
    Start();
    QFile::remove(QString::fromStdString(workDb));
    window->cbGranted->setChecked(true);
    EXPECT_EQ(prompts.Messages(PromptKind::AppError).size(), 1);
    EXPECT_EQ(GridRows(), 0);
}

TEST_F(MainWindowTest, ClockShowsTheTimeAfterANormalStart) {
    MakeWorkDb();
    const QDateTime before = QDateTime::currentDateTime();
    Start();
    EXPECT_TRUE(window->ClockRunning());
    ASSERT_TRUE(PumpUntil([&] { return !window->PanelText(0).isEmpty(); }, 5000));
    const QDateTime after = QDateTime::currentDateTime();
    QStringList possible;
    for (QDateTime t = before.addMSecs(-1000); t <= after.addMSecs(1000); t = t.addSecs(1))
        possible << FormatClock(t, QLocale::system());
    EXPECT_TRUE(possible.contains(window->PanelText(0))) << window->PanelText(0).toStdString();
}

TEST_F(MainWindowTest, StatusHelpersWriteTheirPanels) {
    MakeWorkDb();
    Start();
    window->ShowStatusText("Loading");
    EXPECT_EQ(window->PanelText(2), "Loading");
    window->ShowStatusText("");
    EXPECT_EQ(window->PanelText(2), "");
    const QDateTime start = QDateTime::currentDateTime().addSecs(-65);
    window->ShowElapsed(start);
    const QString shown = window->PanelText(2);
    EXPECT_TRUE(shown == FormatElapsed(65000, QLocale::system()) ||
                shown == FormatElapsed(66000, QLocale::system()))
        << shown.toStdString();
}

TEST_F(MainWindowTest, ValidCardDatabaseTest) {
    MakeWorkDb();
    Start();
    const QString other = tmp.filePath("other");
    QDir().mkpath(other);
    const std::string good = other.toStdString() + "/good file é.mdb";
    const std::string password = other.toStdString() + "/password.mdb";
    const std::string batch = other.toStdString() + "/batch.mdb";
    const std::string text = other.toStdString() + "/text.mdb";
    CreateCardDatabase(good, kCardDatabasePassword);
    CreateCardDatabase(password, "not the card password");
    CreateCardBatchDatabase(batch, kCardDatabasePassword);
    {
        QFile file(QString::fromStdString(text));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("cardno,descx\n1,x\n");
    }
    prompts.Clear();
    EXPECT_TRUE(window->IsValidCardDatabase(good));
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(QDir::currentPath(), other);
    for (const std::string& bad : {password, batch, text, other.toStdString() + "/none.mdb"}) {
        SCOPED_TRACE(bad);
        prompts.Clear();
        EXPECT_FALSE(window->IsValidCardDatabase(bad));
        EXPECT_EQ(prompts.Messages(PromptKind::Error), QStringList({"Invalid Database"}));
        EXPECT_EQ(prompts.shown.size(), 1u);
    }
    // A relative name still means the file it names, not one in its folder.
    QDir::setCurrent(tmp.path());
    prompts.Clear();
    EXPECT_TRUE(window->IsValidCardDatabase("other/good file é.mdb"));
    EXPECT_TRUE(prompts.shown.empty());
    // The refresh is unaffected by the tests' own connections.
    window->RefreshCardList();
    EXPECT_EQ(GridRows(), 5);
}

TEST(ConnectionString, HoldsThePathUnchangedBetweenQuotes) {
    EXPECT_EQ(BuildConnectionString("/tmp/a b/ü.mdb"),
              "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"/tmp/a b/ü.mdb\";Persist Security "
              "Info=False;Jet OLEDB:Database Password=Kx7mQ2vRp9LwTz");
}

TEST(SortClause, AcceptsPlainNamesAndDirectionsOnly) {
    EXPECT_EQ(CheckedSortClause("cardno", "asc"), "cardno asc");
    EXPECT_EQ(CheckedSortClause("_Grp2", "DeSc"), "_Grp2 DeSc");
    EXPECT_THROW(CheckedSortClause("card no", "asc"), std::runtime_error);
    EXPECT_THROW(CheckedSortClause("cardno--", "asc"), std::runtime_error);
    EXPECT_THROW(CheckedSortClause("cardno", "asc "), std::runtime_error);
    EXPECT_THROW(CheckedSortClause("cardno", ""), std::runtime_error);
    EXPECT_THROW(CheckedSortClause("cärdno", "asc"), std::runtime_error);
}

class UrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> urls;
  public slots:
    void handle(const QUrl& url) { urls << url; }
};

TEST_F(MainWindowTest, LogoClickAsksForTheMakersWebSite) {
    MakeWorkDb();
    Start();
    window->show();
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "handle");
    const QPointF at(10, 10);
    QMouseEvent press(QEvent::MouseButtonPress, at, window->imgLogo->mapToGlobal(at),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, window->imgLogo->mapToGlobal(at),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window->imgLogo, &press);
    QCoreApplication::sendEvent(window->imgLogo, &release);
    QDesktopServices::unsetUrlHandler("https");
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls[0], QUrl("https://www.quillon.example/"));
    EXPECT_EQ(window->imgLogo->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(window->imgLogo->toolTip(), "Visit Quillon's website.");
}

TEST_F(MainWindowTest, AboutOpensTheAboutBoxModally) {
    MakeWorkDb();
    Start();
    window->show();
    QString seen;
    QTimer::singleShot(0, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            seen = QString::fromLatin1(box->metaObject()->className());
            box->close();
        }
    });
    window->bAbout->click();
    EXPECT_EQ(seen, "Taboutbox");
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainWindowTest, ComDevicesComeFromTheSettingsOrTheSerialDevices) {
    EXPECT_EQ(ComDeviceFromSettings("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ComDeviceFromSettings("COM8"), "/dev/ttyS7");
    Set("COM1", "/dev/ttyUSB0");
    Set("com2", "");
    EXPECT_EQ(ComDeviceFromSettings("COM1"), "/dev/ttyUSB0");
    EXPECT_EQ(ComDeviceFromSettings("COM2"), "/dev/ttyS1");
    EXPECT_EQ(ComDeviceFromSettings("COMx"), "");
    // Never a relative path that could name a file in the current folder.
    EXPECT_EQ(ComDeviceFromSettings("COM0"), "");
}

}  // namespace

#include "test_mainwindow.moc"

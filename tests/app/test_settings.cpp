#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QSettings>
#include <QStandardItemModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QWidget>
#include <string>
#include <vector>

#include "settings.h"

namespace {

// Each test gets its own empty configuration root and the program's
// application key; the environment and key are put back afterwards.
class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(FTemp.isValid());
        FOldXdg = qgetenv("XDG_CONFIG_HOME");
        FOldHome = qgetenv("HOME");
        FHadXdg = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        root = FTemp.path() + "/config";
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(root));
        FOldApp = SettingsApplication();
        SetSettingsApplication("Lorvane");
    }
    void TearDown() override {
        if (FHadXdg)
            qputenv("XDG_CONFIG_HOME", FOldXdg);
        else
            qunsetenv("XDG_CONFIG_HOME");
        qputenv("HOME", FOldHome);
        SetSettingsApplication(FOldApp);
    }

    QString File(const QString& app = "Lorvane") const { return root + "/Quillon/" + app + ".ini"; }

    // Replaces the file as another program would.
    void WriteRaw(const QByteArray& content) {
        QDir().mkpath(root + "/Quillon");
        QFile f(File());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }
    QByteArray ReadRaw() {
        QFile f(File());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QString root;
    QTemporaryDir FTemp;

  private:
    QByteArray FOldXdg, FOldHome;
    bool FHadXdg = false;
    std::string FOldApp;
};

template <typename F>
std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const ESettingsError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST_F(SettingsTest, FirstReadLeavesEmptyMakerFolderAndFirstWriteCreatesFile) {
    EXPECT_EQ(ReadSettingInt("PORT", 4), 4);
    EXPECT_EQ(ReadSettingString("SORT", "cardno"), "cardno");
    EXPECT_TRUE(ReadSettingBool("GRANTED", true));
    ASSERT_TRUE(QFileInfo(root + "/Quillon").isDir());
    EXPECT_TRUE(
        QDir(root + "/Quillon").isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));

    WriteSettingInt("PORT", 2);
    EXPECT_EQ(ReadSettingInt("PORT", 0), 2);
    // Nothing but the application's file is left behind (no lock files).
    EXPECT_EQ(
        QDir(root + "/Quillon").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList{"Lorvane.ini"});
}

TEST_F(SettingsTest, TextComesBackExactly) {
    const std::vector<std::string> texts = {
        "",
        "plain",
        "a,b,c",
        "\"quoted\"",
        "back\\slash\\",
        "  leading and trailing  ",
        " ",
        "semi;colon",
        "key=value",
        "# not a comment",
        "; not a comment either",
        "[Section]",
        "line\nbreak\r\nand\ttab",
        "@ByteArray(abc)",
        "@Variant(x)",
        "@Invalid()",
        "@@",
        "@",
        "\\x41\\0",
        "C:\\Cards\\batch, 2024;\"new\".mdb",
        "/home/ärger/Grüße €/卡片.mdb",
        std::string("nul\0inside", 10),
    };
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string name = "TEXT" + std::to_string(i);
        WriteSettingString(name, texts[i]);
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string name = "TEXT" + std::to_string(i);
        EXPECT_EQ(ReadSettingString(name, "default"), texts[i]) << "value " << i;
    }
    // A second application file must not disturb the first one.
    SetSettingsApplication("Other");
    EXPECT_EQ(ReadSettingString("TEXT2", "absent"), "absent");
}

TEST_F(SettingsTest, IntegersAndBooleansComeBack) {
    for (int v : {0, 1, -1, 42, 2147483647, -2147483647 - 1}) {
        WriteSettingInt("N", v);
        EXPECT_EQ(ReadSettingInt("N", 7), v);
        EXPECT_EQ(ReadSettingString("N", ""), std::to_string(v));
    }
    WriteSettingBool("B", true);
    EXPECT_EQ(ReadSettingString("B", ""), "1");
    EXPECT_TRUE(ReadSettingBool("B", false));
    WriteSettingBool("B", false);
    EXPECT_EQ(ReadSettingString("B", ""), "0");
    EXPECT_FALSE(ReadSettingBool("B", true));
}

TEST_F(SettingsTest, NamesIgnoreCase) {
    WriteSettingInt("PORT", 3);
    EXPECT_EQ(ReadSettingInt("port", 0), 3);
    WriteSettingInt("port", 5);
    EXPECT_EQ(ReadSettingInt("Port", 0), 5);
    EXPECT_EQ(ReadRaw().toLower().count("port="), 1) << ReadRaw().constData();

    // A value written by hand in another case is found and updated in place.
    WriteRaw("[General]\nsort=grp\n");
    EXPECT_EQ(ReadSettingString("SORT", "cardno"), "grp");
    WriteSettingString("SORT", "descx");
    EXPECT_EQ(ReadSettingString("sort", "cardno"), "descx");
    EXPECT_EQ(ReadRaw().toLower().count("sort="), 1) << ReadRaw().constData();
}

TEST_F(SettingsTest, NamesWithSeparatorsStayFlat) {
    WriteSettingString("a/b", "slash");
    WriteSettingString("a\\b", "backslash");
    WriteSettingString("a%2Fb", "percent");
    WriteSettingString("", "empty name");
    WriteSettingString("with space", "space");
    EXPECT_EQ(ReadSettingString("a/b", ""), "slash");
    EXPECT_EQ(ReadSettingString("A\\B", ""), "backslash");
    EXPECT_EQ(ReadSettingString("a%2fb", ""), "percent");
    EXPECT_EQ(ReadSettingString("", ""), "empty name");
    EXPECT_EQ(ReadSettingString("WITH SPACE", ""), "space");
    EXPECT_EQ(ReadSettingString("a", "none"), "none");
}

TEST_F(SettingsTest, OddStoredTextFallsBackToDefaults) {
    WriteRaw(
        "[General]\n"
        "PORT=abc\nPOS=12abc\nEMPTY=\nBIG=2147483648\nSMALL=-2147483649\nNEG=-17\n"
        "GRANTED=2\nWORD=yes\nZERO=0\nSORT=\nHEX=0x10\n");
    EXPECT_EQ(ReadSettingInt("PORT", 0), 0);
    EXPECT_EQ(ReadSettingInt("PORT", 6), 6);
    EXPECT_EQ(ReadSettingInt("POS", -1), -1);
    EXPECT_EQ(ReadSettingInt("EMPTY", 9), 9);
    EXPECT_EQ(ReadSettingInt("BIG", 9), 9);
    EXPECT_EQ(ReadSettingInt("SMALL", 9), 9);
    EXPECT_EQ(ReadSettingInt("HEX", 9), 9);
    EXPECT_EQ(ReadSettingInt("NEG", 9), -17);
    EXPECT_TRUE(ReadSettingBool("GRANTED", false));
    EXPECT_FALSE(ReadSettingBool("WORD", false));
    EXPECT_TRUE(ReadSettingBool("WORD", true));
    EXPECT_FALSE(ReadSettingBool("ZERO", true));
    EXPECT_TRUE(ReadSettingBool("EMPTY", true));
    EXPECT_FALSE(ReadSettingBool("EMPTY", false));
    // The empty text is a value, not an absent one.
    EXPECT_EQ(ReadSettingString("SORT", "cardno"), "");
    EXPECT_EQ(ReadSettingString("EMPTY", "x"), "");
}

TEST_F(SettingsTest, ValuesOfOtherTypesFailEveryRead) {
    WriteRaw(
        "[General]\n"
        "BYTES=@ByteArray(abc)\nRECT=@Rect(1 2 3 4)\nLIST=a,b\nNONE=@Invalid()\n"
        "VARIANT=\"@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\"\nFINE=ok\n");
    for (const std::string name : {"BYTES", "RECT", "LIST", "NONE", "VARIANT"}) {
        const std::string expected = "Invalid data type for '" + name + "'";
        EXPECT_EQ(ErrorOf([&] { ReadSettingString(name, ""); }), expected);
        EXPECT_EQ(ErrorOf([&] { ReadSettingInt(name, 0); }), expected);
        EXPECT_EQ(ErrorOf([&] { ReadSettingBool(name, false); }), expected);
    }
    EXPECT_EQ(ReadSettingString("FINE", ""), "ok");
    // Overwriting such a value with text mends it.
    WriteSettingInt("bytes", 8);
    EXPECT_EQ(ReadSettingInt("BYTES", 0), 8);
}

TEST_F(SettingsTest, SeesChangesMadeBehindItsBack) {
    WriteSettingInt("PORT", 1);
    EXPECT_EQ(ReadSettingInt("PORT", 0), 1);
    // Same size and, most likely, the same modification time as the store's
    // own write: a copy cached by file name and time stamp would miss it.
    for (int round = 2; round < 6; ++round) {
        WriteRaw("[General]\nPORT=" + QByteArray::number(round) + "\n");
        EXPECT_EQ(ReadSettingInt("PORT", 0), round);
    }
    QFile::remove(File());
    EXPECT_EQ(ReadSettingInt("PORT", 0), 0);

    // Another writer's values survive our writes.
    WriteSettingInt("PORT", 3);
    WriteRaw(ReadRaw() + "OTHER=x\n");
    WriteSettingInt("POS", 4);
    EXPECT_EQ(ReadSettingString("OTHER", ""), "x");
    EXPECT_EQ(ReadSettingInt("PORT", 0), 3);
}

TEST_F(SettingsTest, DamagedFileKeepsWhatReadsAndTakesWrites) {
    const QByteArray damaged =
        "[General]\nPORT=3\nline without equals sign\n\x01\xff\xfe junk\nSORT=grp\n[Unclosed\n";
    WriteRaw(damaged);
    EXPECT_EQ(ReadSettingInt("PORT", 0), 3);
    WriteSettingInt("LIST_0", 120);
    WriteSettingBool("GRANTED", true);
    EXPECT_EQ(ReadSettingInt("LIST_0", 0), 120);
    EXPECT_TRUE(ReadSettingBool("GRANTED", false));
    EXPECT_EQ(ReadSettingInt("PORT", 0), 3);
    EXPECT_EQ(ReadSettingString("SORT", ""), "grp");
    // The original is kept beside the file, once.
    QFile kept(File() + ".damaged");
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), damaged);
    EXPECT_EQ(QDir(root + "/Quillon").entryList(QDir::Files | QDir::Hidden),
              (QStringList{"Lorvane.ini", "Lorvane.ini.damaged"}));
}

TEST_F(SettingsTest, FallsBackToConfigRootWhenMakerFolderCannotBeMade) {
    QDir().mkpath(root);
    {
        QFile blocker(root + "/Quillon");
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    EXPECT_EQ(ReadSettingInt("PORT", 1), 1);
    WriteSettingInt("PORT", 6);
    EXPECT_TRUE(QFileInfo(root + "/Lorvane.ini").isFile());
    EXPECT_EQ(ReadSettingInt("PORT", 0), 6);
}

TEST_F(SettingsTest, WriteFailuresAreReported) {
    // The configuration root lies below a regular file: nothing can be made.
    {
        QFile blocker(FTemp.path() + "/file");
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(FTemp.path() + "/file/config"));
    EXPECT_EQ(ReadSettingInt("PORT", 2), 2);
    EXPECT_EQ(ReadSettingString("SORT", "cardno"), "cardno");
    EXPECT_EQ(ErrorOf([] { WriteSettingInt("PORT", 1); }), "Failed to create key Lorvane");

    // The application's file is there but cannot be written.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root));
    ASSERT_TRUE(QDir().mkpath(File()));  // a folder in its place
    EXPECT_EQ(ReadSettingInt("PORT", 2), 2);
    EXPECT_EQ(ErrorOf([] { WriteSettingString("SORT", "grp"); }), "Failed to set data for 'SORT'");
}

TEST_F(SettingsTest, ApplicationKeySelectsTheFile) {
    SetSettingsApplication("General");
    WriteSettingString("General", "in General");
    WriteSettingInt("PORT", 7);
    EXPECT_TRUE(QFileInfo(File("General")).isFile());
    EXPECT_EQ(ReadSettingString("general", ""), "in General");
    EXPECT_EQ(ReadSettingInt("PORT", 0), 7);

    SetSettingsApplication("Lorvane");
    EXPECT_EQ(ReadSettingInt("PORT", 0), 0);
    EXPECT_EQ(ReadSettingString("General", "none"), "none");
}

TEST_F(SettingsTest, EmptyConfigVariableMeansHomeConfig) {
    const QString home = FTemp.path() + "/home";
    QDir().mkpath(home);
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_CONFIG_HOME", "");
    WriteSettingInt("PORT", 5);
    EXPECT_TRUE(QFileInfo(home + "/.config/Quillon/Lorvane.ini").isFile());
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(ReadSettingInt("PORT", 0), 5);
}

TEST_F(SettingsTest, FormPlacementRestoresOnlyThePosition) {
    QWidget window;
    window.setGeometry(300, 200, 400, 300);
    LoadFormPlacement("LORVANE", window);
    EXPECT_EQ(window.frameGeometry().topLeft(), QPoint(0, 0));
    EXPECT_EQ(window.size(), QSize(400, 300));

    WriteSettingInt("LORVANE_TOP", 30);
    WriteSettingInt("LORVANE_LEFT", 40);
    WriteSettingInt("LORVANE_WIDTH", 999);
    LoadFormPlacement("LORVANE", window);
    EXPECT_EQ(window.frameGeometry().topLeft(), QPoint(40, 30));
    EXPECT_EQ(window.size(), QSize(400, 300));

    // Off-screen positions are used as they come.
    WriteSettingInt("LORVANE_LEFT", -5000);
    LoadFormPlacement("LORVANE", window);
    EXPECT_EQ(window.frameGeometry().topLeft(), QPoint(-5000, 30));
}

TEST_F(SettingsTest, FormPlacementSavesOuterGeometryUnlessMaximised) {
    QWidget window;
    window.setGeometry(50, 60, 320, 240);
    window.show();
    const QRect outer = window.frameGeometry();
    SaveFormPlacement("LORVANE", window);
    EXPECT_FALSE(ReadSettingBool("LORVANE_MAX", true));
    EXPECT_EQ(ReadSettingInt("LORVANE_TOP", -1), outer.top());
    EXPECT_EQ(ReadSettingInt("LORVANE_LEFT", -1), outer.left());
    EXPECT_EQ(ReadSettingInt("LORVANE_WIDTH", -1), outer.width());
    EXPECT_EQ(ReadSettingInt("LORVANE_HEIGHT", -1), outer.height());

    window.setWindowState(Qt::WindowMaximized);
    SaveFormPlacement("LORVANE", window);
    EXPECT_TRUE(ReadSettingBool("LORVANE_MAX", false));
    EXPECT_EQ(ReadSettingString("LORVANE_MAX", ""), "1");
    EXPECT_EQ(ReadSettingInt("LORVANE_TOP", -1), outer.top());
    EXPECT_EQ(ReadSettingInt("LORVANE_LEFT", -1), outer.left());

    // The next start still puts the window at the last stored position.
    QWidget next;
    LoadFormPlacement("LORVANE", next);
    EXPECT_EQ(next.frameGeometry().topLeft(), outer.topLeft());
}

// A grid whose columns declare the kinds of their fields.
struct Grid {
    explicit Grid(const std::vector<int>& kinds) : model(1, static_cast<int>(kinds.size())) {
        for (int i = 0; i < static_cast<int>(kinds.size()); ++i)
            if (kinds[i] >= 0) model.setHeaderData(i, Qt::Horizontal, kinds[i], FieldKindRole);
        view.setModel(&model);
    }
    std::vector<int> Widths() const {
        std::vector<int> out;
        for (int i = 0; i < model.columnCount(); ++i) out.push_back(view.columnWidth(i));
        return out;
    }
    QStandardItemModel model;
    QTableView view;
};

TEST_F(SettingsTest, GridLayoutDefaultsFollowFieldKinds) {
    const auto k = [](FieldKind kind) { return static_cast<int>(kind); };
    Grid grid({k(FieldKind::NarrowText), k(FieldKind::WideText), k(FieldKind::Integer),
               k(FieldKind::Boolean), k(FieldKind::DateTime), k(FieldKind::Other), -1});
    LoadGridLayout("LIST", grid.view);
    EXPECT_EQ(grid.Widths(), (std::vector<int>{200, 100, 100, 50, 150, 100, 100}));

    // The card table: number, name, group, granted.
    Grid cards({k(FieldKind::Integer), k(FieldKind::WideText), k(FieldKind::WideText),
                k(FieldKind::Boolean)});
    LoadGridLayout("LIST", cards.view);
    EXPECT_EQ(cards.Widths(), (std::vector<int>{100, 100, 100, 50}));
}

TEST_F(SettingsTest, GridLayoutRoundTripsAndKeepsHiddenColumns) {
    const int wide = static_cast<int>(FieldKind::WideText);
    Grid grid({wide, wide, wide, static_cast<int>(FieldKind::Boolean)});
    grid.view.setColumnWidth(0, 80);
    grid.view.setColumnWidth(1, 210);
    grid.view.setColumnWidth(2, 33);
    grid.view.setColumnHidden(3, true);
    SaveGridLayout("LIST", grid.view);
    EXPECT_EQ(ReadSettingInt("LIST_0", 0), 80);
    EXPECT_EQ(ReadSettingInt("LIST_1", 0), 210);
    EXPECT_EQ(ReadSettingInt("LIST_2", 0), 33);
    EXPECT_EQ(ReadSettingInt("LIST_3", 0), -1);

    Grid next({wide, wide, wide, static_cast<int>(FieldKind::Boolean)});
    for (int i = 0; i < 4; ++i) next.view.setColumnWidth(i, 77);
    WriteSettingInt("LIST_1", -1);
    LoadGridLayout("LIST", next.view);
    EXPECT_EQ(next.Widths(), (std::vector<int>{80, 77, 33, 77}));

    // Impossible widths leave the column alone as well.
    for (int i = 0; i < 4; ++i) next.view.setColumnWidth(i, 77);
    WriteSettingString("LIST_0", "-7");
    WriteSettingString("LIST_2", "2000000000");
    WriteSettingString("LIST_3", "wide");
    LoadGridLayout("LIST", next.view);
    EXPECT_EQ(next.Widths(), (std::vector<int>{77, 77, 77, 50}));
}

TEST_F(SettingsTest, GridWithoutColumnsTouchesNothing) {
    QTableView noModel;
    LoadGridLayout("LIST", noModel);
    SaveGridLayout("LIST", noModel);
    QStandardItemModel empty;
    QTableView noColumns;
    noColumns.setModel(&empty);
    LoadGridLayout("LIST", noColumns);
    SaveGridLayout("LIST", noColumns);
    EXPECT_FALSE(QFileInfo::exists(root));
}

}  // namespace

// Where the working database lives and what the first start makes there.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

#include "app/card_files.h"
#include "appfolder.h"
#include "datasrc.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"

namespace {

class AppFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        FOriginalDir = QDir::currentPath();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath("config")));
        QDir().mkpath(tmp.filePath("bin"));
        program = tmp.filePath("bin").toStdString() + "/";
        dataFolder = tmp.filePath("data/Quillon/Lorvane").toStdString() + "/";
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(FOriginalDir);
        SetSettingsApplication("General");
    }
    static int Mode(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    }
    static void WriteFile(const std::string& path, const QByteArray& content) {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    static QByteArray ReadFile(const std::string& path) {
        QFile file(QString::fromStdString(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir tmp;
    std::string program;
    std::string dataFolder;
    FakePrompts prompts;
    Tdsrc data;
    std::unique_ptr<TLorvane> window;

  private:
    QString FOriginalDir;
};

TEST_F(AppFolderTest, AProgramFolderWithADatabaseWinsAndNothingIsCreatedElsewhere) {
    CreateCardDatabase(program + "cardlist.mdb", kCardDatabasePassword);
    const TWorkFolder found = FindWorkFolder(program, dataFolder);
    EXPECT_EQ(found.folder, program);
    EXPECT_TRUE(found.usable);
    EXPECT_EQ(found.problem, "");
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("data")));
}

TEST_F(AppFolderTest, FirstStartCreatesOnePrivateEmptyDatabaseAndNeverReplacesIt) {
    const TWorkFolder first = FindWorkFolder(program, dataFolder);
    EXPECT_EQ(first.folder, dataFolder);
    EXPECT_TRUE(first.usable) << first.problem;
    EXPECT_EQ(first.problem, "");
    EXPECT_EQ(Mode(dataFolder), 0700);
    EXPECT_EQ(QDir(QString::fromStdString(dataFolder))
                  .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{"cardlist.mdb"});
    const std::string workDb = dataFolder + "cardlist.mdb";
    EXPECT_EQ(Mode(workDb), 0600);
    EXPECT_EQ(CountCards(workDb), 0);
    EXPECT_TRUE(QDir(QString::fromStdString(program)).isEmpty());

    // The next start keeps the cards, and a file that is no card database at
    // all is never created over either.
    InsertCards(workDb, {{7, "Ann", "", true}});
    EXPECT_EQ(FindWorkFolder(program, dataFolder).folder, dataFolder);
    EXPECT_EQ(CountCards(workDb), 1);
    QFile::remove(QString::fromStdString(workDb));
    WriteFile(workDb, "not a database");
    EXPECT_TRUE(FindWorkFolder(program, dataFolder).usable);
    EXPECT_EQ(ReadFile(workDb), "not a database");
}

TEST_F(AppFolderTest, AnUnusableWorkingDatabaseInTheDataFolderIsReportedAndKept) {
    QDir().mkpath(QString::fromStdString(dataFolder));
    WriteFile(dataFolder + "cardlist.mdb", "garbage");
    window = std::make_unique<TLorvane>(data, FindWorkFolder(program, dataFolder));
    EXPECT_EQ(window->WorkDbPath(), dataFolder + "cardlist.mdb");
    EXPECT_EQ(prompts.Messages(PromptKind::AppError).size(), 1u)
        << prompts.All().join('|').toStdString();
    EXPECT_FALSE(window->ClockRunning());
    window.reset();
    EXPECT_EQ(ReadFile(dataFolder + "cardlist.mdb"), "garbage");
}

TEST_F(AppFolderTest, ADataFolderThatCannotBeCreatedIsNamedAndTheWindowStillOpens) {
    // A file where a folder of the path should be.
    WriteFile(tmp.filePath("data").toStdString(), "in the way");
    const TWorkFolder found = FindWorkFolder(program, dataFolder);
    EXPECT_FALSE(found.usable);
    window = std::make_unique<TLorvane>(data, found);
    const QStringList errors = prompts.Messages(PromptKind::AppError);
    ASSERT_EQ(errors.size(), 1u) << prompts.All().join('|').toStdString();
    EXPECT_TRUE(errors[0].contains(QString::fromStdString(dataFolder))) << errors[0].toStdString();
    EXPECT_TRUE(errors[0].contains("Not a directory")) << errors[0].toStdString();
    EXPECT_FALSE(window->ClockRunning());
    EXPECT_EQ(ReadFile(tmp.filePath("data").toStdString()), "in the way");
    EXPECT_TRUE(QDir(QString::fromStdString(program)).isEmpty());
}

TEST_F(AppFolderTest, TheDataFolderFollowsAnAbsoluteXdgDataHomeOnly) {
    const QByteArray savedData = qgetenv("XDG_DATA_HOME"), savedHome = qgetenv("HOME");
    qputenv("HOME", "/home/ann");
    qputenv("XDG_DATA_HOME", "/srv/data/");
    EXPECT_EQ(UserDataFolder(), "/srv/data/Quillon/Lorvane/");
    qputenv("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(UserDataFolder(), "/home/ann/.local/share/Quillon/Lorvane/");
    qputenv("XDG_DATA_HOME", "");
    EXPECT_EQ(UserDataFolder(), "/home/ann/.local/share/Quillon/Lorvane/");
    qputenv("XDG_DATA_HOME", savedData);
    qputenv("HOME", savedHome);
}

}  // namespace

// The port a device path names, and a port that cannot be opened: the fixed
// box with the reason and the advice under it.
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include "CPort.h"
#include "datasrc.h"
#include "dbengine.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/controller_sim.h"
#include "support/fake_prompts.h"

namespace {

class PortReason : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath("config")));
        SetSettingsApplication("Lorvane");
        SetComDeviceResolver(ComDeviceFromSettings);
        CreateCardDatabase(tmp.filePath("cardlist.mdb").toStdString(), kCardDatabasePassword);
        window = std::make_unique<TLorvane>(data, tmp.path().toStdString());
    }
    void TearDown() override {
        window.reset();
        SetComDeviceResolver({});
        SetSettingsApplication("General");
    }
    // Typed over the selector one key at a time, as the operator does.
    void Type(const QString& text) {
        QLineEdit* edit = window->cbPort->lineEdit();
        edit->clear();
        for (QChar c : text) edit->insert(QString(c));
    }

    QTemporaryDir tmp;
    FakePrompts prompts;
    Tdsrc data;
    std::unique_ptr<TLorvane> window;
};

TEST_F(PortReason, ATypedDevicePathIsThePort) {
    lorvane_test::ControllerSim sim({"--capacity", "300", "--stored", "7"});
    Type(QString::fromStdString(sim.DevicePath()));
    window->bInfo->click();
    EXPECT_EQ(prompts.All(),
              QStringList{"The maximum capacity = 300 cards.\r\nOccupied = 7 card(s)."});
    EXPECT_EQ(sim.LogLines().size(), 2u);
}

TEST_F(PortReason, TheBoxNamesTheDeviceTheSystemsWordsAndWhatToDo) {
    const QString device = tmp.filePath("USB adapters. v2/ttyUSB0");
    Type(device);
    for (QPushButton* button : {window->bInfo, window->bDenyAll}) {
        prompts.Clear();
        button->click();
        ASSERT_EQ(prompts.Messages(PromptKind::Error),
                  QStringList{"Communication port cannot be used."});
        const FakePrompts::Shown& box = prompts.shown.back();
        EXPECT_EQ(box.detail, device +
                                  ": No such file or directory\n\nChoose the port the controller "
                                  "is connected to: the drop-down list shows the serial devices "
                                  "present.");
    }
    // Nothing of it is left behind in the status bar.
    EXPECT_EQ(window->PanelText(2), "");

    // A permission problem names the group and the command that joins it.
    const passwd* me = ::getpwuid(::getuid());
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(ComPortAdvice(EComPort(1, EACCES, "/nonexistent/ttyACM0")),
              "The serial devices belong to the group dialout. Join it, then log out and in "
              "again:\n    sudo adduser " +
                  std::string(me->pw_name) + " dialout");
}

}  // namespace

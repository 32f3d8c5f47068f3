// A port that cannot be opened: the fixed box, then the reason in the status bar.
#include <gtest/gtest.h>

#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>

#include "CPort.h"
#include "datasrc.h"
#include "dbengine.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/fake_prompts.h"

TEST(PortReason, TheStatusBarNamesTheDeviceAndTheSystemsWords) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath("config")));
    SetSettingsApplication("Lorvane");
    SetComDeviceResolver(ComDeviceFromSettings);
    CreateCardDatabase(tmp.filePath("cardlist.mdb").toStdString(), kCardDatabasePassword);
    const QString device = tmp.filePath("ttyUSB0");
    WriteSettingString("COM1", device.toStdString());

    FakePrompts prompts;
    Tdsrc data;
    TLorvane window(data, tmp.path().toStdString());
    for (QPushButton* button : {window.bInfo, window.bDenyAll}) {
        window.ShowStatusText({});
        prompts.Clear();
        button->click();
        EXPECT_EQ(prompts.Messages(PromptKind::Error),
                  QStringList{"Communication port cannot be used."});
        EXPECT_EQ(window.PanelText(2), device + ": No such file or directory");
    }
    SetComDeviceResolver({});
    SetSettingsApplication("General");
}

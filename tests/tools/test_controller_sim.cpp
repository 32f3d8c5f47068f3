// The simulator's stable names for its pseudo-terminal.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <filesystem>

#include "settings.h"
#include "support/controller_sim.h"

namespace {

TEST(ControllerSim, LinkAndPortNameTheDeviceWhileItRuns) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(temp.path()));
    SetSettingsApplication("Lorvane");
    WriteSettingString("COM3", "/dev/ttyUSB0");
    const std::string link = temp.filePath("controller").toStdString();
    std::string device;
    {
        lorvane_test::ControllerSim sim({"--link", link, "--port", "COM3"});
        device = sim.DevicePath();
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), device);
        EXPECT_EQ(ReadSettingString("COM3", ""), device);
    }
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadSettingString("COM3", ""), "/dev/ttyUSB0");
}

}  // namespace

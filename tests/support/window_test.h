// What every main-window test shares: a temporary folder holding the program
// folder and a settings folder of the test's own, and the window on a working
// database made there.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "app/card_files.h"
#include "datasrc.h"
#include "dbengine.h"
#include "mainwindow.h"
#include "settings.h"

class TWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        FOriginalDir = QDir::currentPath();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.filePath("config")));
        QDir().mkpath(tmp.filePath("app"));
        appFolder = tmp.filePath("app").toStdString() + "/";
        workDb = appFolder + "cardlist.mdb";
        SetSettingsApplication("Lorvane");
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(FOriginalDir);
        SetSettingsApplication("General");
    }

    // A working database holding the cards, then the window on it.
    void StartWith(const std::vector<TestCard>& cards) {
        CreateCardDatabase(workDb, kCardDatabasePassword);
        InsertCards(workDb, cards);
        window = std::make_unique<TLorvane>(data, appFolder);
    }

    QTemporaryDir tmp;
    std::string appFolder, workDb;
    Tdsrc data;
    std::unique_ptr<TLorvane> window;

  private:
    QString FOriginalDir;
};

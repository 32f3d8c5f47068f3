// Upload, Information and Remove driven through the real main window, a real
// working database and the controller simulator on a pseudo-terminal. The
// frames the simulator received are checked byte for byte, in order.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CPort.h"
#include "app/card_files.h"
#include "commands.h"
#include "datasrc.h"
#include "dbengine.h"
#include "edit.h"
#include "mainwindow.h"
#include "settings.h"
#include "support/controller_sim.h"
#include "support/fake_prompts.h"
#include "support/when_modal.h"

namespace {

using lorvane_test::ControllerSim;
using Lines = std::vector<std::string>;

// The command frame as the controller must receive it, encoded here
// independently of the reader.
std::string Frame(int command, int parameter, std::uint32_t data) {
    const int b[5] = {command, parameter, static_cast<int>((data >> 16) & 0xFF),
                      static_cast<int>((data >> 8) & 0xFF), static_cast<int>(data & 0xFF)};
    int sum = 0;
    for (int v : b) sum += v;
    char text[64];
    std::snprintf(text, sizeof text, "52 52 06 %02X %02X %02X %02X %02X %02X 53 53", b[0], b[1],
                  b[2], b[3], b[4], sum & 0xFF);
    return text;
}
const std::string kCapacity = "52 52 06 40 04 00 00 00 44 53 53";
const std::string kClear = "52 52 06 40 80 FF FF FF BD 53 53";
const std::string kOccupied = Frame(0x40, 0x08, 0);
std::string Store(std::uint32_t card) {
    return Frame(0x40, 0x20, card);
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Descriptors of this process open on the given device.
int OpenDescriptorsTo(const std::string& device) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code lec;
        const auto target = std::filesystem::read_symlink(e.path(), lec).string();
        if (!lec && target.rfind(device, 0) == 0) ++n;
    }
    return n;
}

// Bar length of a progress window's gauge, in 1/25: the black run on its top
// row (the percentage text is centred, away from that row).
int GaugeSteps(QWidget* window, int maximum) {
    QWidget* gauge = window->findChild<QWidget*>();
    if (!gauge) return -1;
    const QImage img = gauge->grab().toImage();
    int black = 0;
    while (black < img.width() && img.pixelColor(black, 0) == Qt::black) ++black;
    return (black * maximum + img.width() / 2) / img.width();
}

QWidget* TopLevelTitled(const QString& title) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->windowTitle() == title && w->isVisible()) return w;
    return nullptr;
}

class CommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(FConfig.isValid() && FFolder.isValid());
        qputenv("XDG_CONFIG_HOME", FConfig.path().toLocal8Bit());
        SetSettingsApplication("Lorvane");
        SetComDeviceResolver(ComDeviceFromSettings);
        FDbPath = (FFolder.path() + "/cardlist.mdb").toStdString();
        CreateCardDatabase(FDbPath, kCardDatabasePassword);
    }
    void TearDown() override {
        Lorvane = nullptr;
        dsrc = nullptr;
        window.reset();
        data.reset();
        // Every command leaves the cursor as it found it.
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    }

    // Starts the simulator, points COM1 at it and opens the main window.
    void Start(const std::vector<TestCard>& cards, std::vector<std::string> simOptions) {
        if (!cards.empty()) InsertCards(FDbPath, cards);
        sim = std::make_unique<ControllerSim>(std::move(simOptions));
        WriteSettingString("COM1", sim->DevicePath());
        data = std::make_unique<Tdsrc>();
        dsrc = data.get();
        window = std::make_unique<TLorvane>(*data, FFolder.path().toStdString());
        Lorvane = window.get();
        window->show();
        ASSERT_EQ(window->PortIndex(), 0);
        prompts.Clear();
    }

    Lines Log() const { return sim->LogLines(); }

    // After any command: port free, grid shown, port list usable.
    void ExpectCleanState() {
        EXPECT_EQ(OpenDescriptorsTo(sim->DevicePath()), 0);
        EXPECT_FALSE(window->dbgList->isHidden());
        EXPECT_TRUE(window->cbPort->isEnabled());
        EXPECT_EQ(TopLevelTitled("Uploading records"), nullptr);
        EXPECT_EQ(TopLevelTitled("Clear access table"), nullptr);
        EXPECT_EQ(TopLevelTitled("Waiting for the controller"), nullptr);
    }

    // Changes one card's access through the list, as the editing commands do.
    void SetGranted(int cardno, bool granted) {
        TDbQuery& list = window->CardList();
        ASSERT_TRUE(list.Locate("cardno", TValue(std::int64_t{cardno})));
        list.Edit();
        list.FieldByName("granted").SetAsBoolean(granted);
        list.Post();
    }

    // The granted cards in the order the upload's statement delivers them, read
    // through a query of its own so that the upload's query is left alone.
    std::vector<int> GrantedInQueryOrder() {
        std::vector<int> out;
        TDbQuery q("granted");
        q.SetConnectionString(window->BuildConnectionString(FDbPath));
        q.SQLAdd("select cardno from cardlist where granted=true");
        q.Open();
        for (q.First(); !q.Eof(); q.Next()) out.push_back(q.FieldByName("cardno").AsInteger());
        return out;
    }

    QTemporaryDir FConfig;
    QTemporaryDir FFolder;
    std::string FDbPath;
    FakePrompts prompts;
    std::unique_ptr<ControllerSim> sim;
    std::unique_ptr<Tdsrc> data;
    std::unique_ptr<TLorvane> window;
};

const QString kUploadQuestion =
    "This action will clear the existing access table inside the controller and upload the cards "
    "in the card list to the controller. Are you sure?";
const QString kRemoveQuestion = "Are you sure to clear the access table inside the controller?";
const QString kPortUnusable = "Communication port cannot be used.";
const QString kCommError = "Communication error. Please try.";
const QString kUploadError = "Uploading error. Please try.";

TEST_F(CommandsTest, EmptyListSaysNoRecordAndLeavesThePortAlone) {
    Start({}, {});
    window->bUpload->click();
    EXPECT_EQ(prompts.All(), (QStringList{kUploadQuestion, "No record."}));
    EXPECT_TRUE(Log().empty());
    ExpectCleanState();
}

TEST_F(CommandsTest, DecliningTheQuestionsSendsNothing) {
    Start({{1, "A", "", true}}, {});
    prompts.confirmAnswers = {false, false};
    window->bUpload->click();
    window->bDenyAll->click();
    EXPECT_EQ(prompts.All(), (QStringList{kUploadQuestion, kRemoveQuestion}));
    EXPECT_TRUE(Log().empty());
    ExpectCleanState();
}

TEST_F(CommandsTest, UploadSendsGrantedCardsAsTheyAreAtEachUpload) {
    // 16777215: the highest number the frame carries.
    Start({{300, "A", "", true},
           {17, "B", "G", false},
           {16777215, "C", "", true},
           {42, "D", "", true},
           {5, "E", "", false}},
          {"--capacity", "2000"});
    const std::vector<int> first = GrantedInQueryOrder();
    ASSERT_EQ(first.size(), 3u);

    window->bUpload->click();
    EXPECT_EQ(prompts.All(),
              (QStringList{kUploadQuestion, "Uploading successfully. 3 record(s) sent."}));
    Lines expected{kCapacity, kClear};
    for (int card : first) expected.push_back(Store(static_cast<std::uint32_t>(card)));
    expected.push_back(kOccupied);  // the controller's count checks the upload
    EXPECT_EQ(Log(), expected);
    EXPECT_NE(std::find(expected.begin(), expected.end(), "52 52 06 40 20 00 01 2C 8D 53 53"),
              expected.end());
    EXPECT_EQ(window->PanelText(2), "");  // status text cleared after the elapsed time
    ExpectCleanState();

    // The second upload reads the list afresh.
    SetGranted(300, false);
    SetGranted(17, true);
    SetGranted(5, true);
    const std::vector<int> second = GrantedInQueryOrder();
    ASSERT_EQ(second.size(), 4u);
    prompts.Clear();
    window->bUpload->click();
    EXPECT_EQ(prompts.All(),
              (QStringList{kUploadQuestion, "Uploading successfully. 4 record(s) sent."}));
    expected.push_back(kCapacity);
    expected.push_back(kClear);
    for (int card : second) expected.push_back(Store(static_cast<std::uint32_t>(card)));
    expected.push_back(kOccupied);
    EXPECT_EQ(Log(), expected);

    // The controller now holds exactly the second upload.
    prompts.Clear();
    window->bInfo->click();
    EXPECT_EQ(prompts.All(),
              (QStringList{"The maximum capacity = 2000 cards.\r\nOccupied = 4 card(s)."}));
    expected.push_back(kCapacity);
    expected.push_back(kOccupied);
    EXPECT_EQ(Log(), expected);
    ExpectCleanState();
}

// Clearing the table for no card leaves a door that opens for nobody.
TEST_F(CommandsTest, UploadOfNoGrantedCardAsksOnceMoreBeforeClearing) {
    Start({{1, "A", "", false}, {2, "B", "", false}}, {"--stored", "7"});
    const QString question =
        "No card in the card list is granted access. Uploading now clears the controller's "
        "access table: the controller will then hold no card and open the door for nobody. Are "
        "you sure?";
    prompts.confirmAnswers = {true, false};
    window->bUpload->click();
    EXPECT_EQ(prompts.All(), (QStringList{kUploadQuestion, question}));
    EXPECT_TRUE(Log().empty());
    ExpectCleanState();

    prompts.Clear();
    prompts.confirmAnswers = {true, true};
    window->bUpload->click();
    EXPECT_EQ(prompts.All(), (QStringList{kUploadQuestion, question,
                                          "Uploading successfully. 0 record(s) sent."}));
    EXPECT_EQ(Log(), (Lines{kCapacity, kClear, kOccupied}));
    ExpectCleanState();
}

// A number the 24-bit frame cannot carry would open the door for another card
// (16777316 travels as 100, 2^31 as 0): nothing is sent, the port stays quiet.
TEST_F(CommandsTest, GrantedCardOutsideTheFrameStopsTheUploadBeforeAnythingIsSent) {
    Start({{100, "A", "", true}, {0, "B", "", true}}, {"--stored", "3"});
    sqlite3* db = OpenKeyed(FDbPath, kCardDatabasePassword);
    Exec(db,
         "insert into cardlist values (16777316, 'C', '', 1), (2147483648, 'D', '', 1), "
         "(-5, 'E', '', 1), (16777216, 'F', '', 0)");
    sqlite3_close(db);
    window->RefreshCardList();
    window->bUpload->click();
    ASSERT_EQ(prompts.All().size(), 2);
    const QString refusal = prompts.All().at(1);
    EXPECT_EQ(prompts.shown.at(1).kind, PromptKind::Error);
    EXPECT_TRUE(refusal.contains("0 to 16,777,215")) << refusal.toStdString();
    for (const char* card : {"16777316", "2147483648", "-5"})
        EXPECT_TRUE(refusal.contains(card)) << card;
    EXPECT_FALSE(refusal.contains("16777216"));  // not granted: never uploaded
    EXPECT_TRUE(Log().empty());
    ExpectCleanState();

    prompts.Clear();
    window->bInfo->click();
    EXPECT_EQ(prompts.All(),
              (QStringList{"The maximum capacity = 2000 cards.\r\nOccupied = 3 card(s)."}));
}

// Every card is acknowledged, but the controller keeps one fewer.
TEST_F(CommandsTest, VerifiedUploadReportsACardTheControllerLost) {
    Start({{10, "A", "", true}, {11, "B", "", true}, {12, "C", "", true}}, {"--lose-card", "2"});
    window->bUpload->click();
    EXPECT_EQ(prompts.All(), (QStringList{kUploadQuestion,
                                          "The upload could not be verified: 3 card(s) sent, but "
                                          "the controller holds 2. Please upload again."}));
    EXPECT_EQ(prompts.shown.back().kind, PromptKind::Error);
    ASSERT_EQ(Log().size(), 6u);
    EXPECT_EQ(Log().back(), kOccupied);
    ExpectCleanState();
}

TEST_F(CommandsTest, CapacityIsAcceptedExactlyAndOneMoreIsRefusedBeforeClearing) {
    Start({{1, "A", "", true}, {2, "B", "", true}, {3, "C", "", true}, {4, "D", "", false}},
          {"--capacity", "3", "--stored", "2"});
    window->bUpload->click();
    EXPECT_EQ(prompts.All(),
              (QStringList{kUploadQuestion, "Uploading successfully. 3 record(s) sent."}));
    const std::size_t afterFirst = Log().size();
    EXPECT_EQ(afterFirst, 6u);

    SetGranted(4, true);
    prompts.Clear();
    window->bUpload->click();
    EXPECT_EQ(
        prompts.All(),
        (QStringList{kUploadQuestion,
                     "The card list contains too many cards (>3). Please remove some of them.",
                     kUploadError}));
    const Lines log = Log();
    ASSERT_EQ(log.size(), afterFirst + 1);
    EXPECT_EQ(log.back(), kCapacity);  // nothing cleared, nothing stored
    ExpectCleanState();
}

TEST_F(CommandsTest, RefusedCardStopsTheUploadWithoutRetry) {
    Start({{10, "A", "", true}, {11, "B", "", true}, {12, "C", "", true}}, {"--store-code", "64"});
    const std::vector<int> order = GrantedInQueryOrder();
    window->bUpload->click();
    EXPECT_EQ(prompts.All(), (QStringList{kUploadQuestion, kUploadError}));
    EXPECT_EQ(Log(), (Lines{kCapacity, kClear, Store(static_cast<std::uint32_t>(order[0]))}));
    ExpectCleanState();
}

TEST_F(CommandsTest, ClearAnsweredWithAnotherCodeAbortsUploadButRemoveAcceptsIt) {
    Start({{10, "A", "", true}}, {"--clear-code", "16"});
    window->bUpload->click();
    EXPECT_EQ(prompts.All(),
              (QStringList{kUploadQuestion,
                           "Cannot clear the controller's access table. Operation aborted.",
                           kUploadError}));
    EXPECT_EQ(Log(), (Lines{kCapacity, kClear}));
    ExpectCleanState();

    prompts.Clear();
    window->bDenyAll->click();
    EXPECT_EQ(prompts.All(), (QStringList{kRemoveQuestion, "Table cleared."}));
    EXPECT_EQ(Log(), (Lines{kCapacity, kClear, kClear}));
    EXPECT_EQ(window->PanelText(2), "");
    ExpectCleanState();
}

TEST_F(CommandsTest, InformationReadsCapacityThenOccupancy) {
    Start({{10, "A", "", true}},
          {"--capacity", "65535", "--stored", "1234", "--noise", "--split", "3"});
    window->bInfo->click();
    EXPECT_EQ(prompts.All(),
              (QStringList{"The maximum capacity = 65535 cards.\r\nOccupied = 1234 card(s)."}));
    EXPECT_EQ(Log(), (Lines{kCapacity, kOccupied}));
    ExpectCleanState();
}

TEST_F(CommandsTest, PortOutsideTheListCannotBeUsed) {
    Start({{10, "A", "", true}}, {});
    window->cbPort->setEditText(QStringLiteral("COM9"));  // typed over the selector
    EXPECT_EQ(ReadSettingInt("PORT", 99), -1);
    window->bInfo->click();
    window->bUpload->click();
    window->bDenyAll->click();
    EXPECT_EQ(prompts.All(), (QStringList{kPortUnusable, kUploadQuestion, kPortUnusable,
                                          kRemoveQuestion, kPortUnusable}));
    EXPECT_TRUE(Log().empty());
    ExpectCleanState();

    window->cbPort->setCurrentIndex(3);
    EXPECT_EQ(ReadSettingInt("PORT", 99), 3);
}

TEST_F(CommandsTest, SecondCommandWhileOneWaitsFindsThePortBusy) {
    Start({{10, "A", "", true}, {11, "B", "", true}}, {"--clear-delay", "1500"});
    bool portListDisabledMeanwhile = false;
    QTimer::singleShot(500, window.get(), [&] {
        portListDisabledMeanwhile = !window->cbPort->isEnabled();
        window->bInfo->click();
    });
    window->bUpload->click();
    EXPECT_TRUE(portListDisabledMeanwhile);
    EXPECT_EQ(prompts.All(), (QStringList{kUploadQuestion, kPortUnusable,
                                          "Uploading successfully. 2 record(s) sent."}));
    EXPECT_EQ(Log().size(), 5u);  // the second command sent nothing
    ExpectCleanState();
}

TEST_F(CommandsTest, SecondUploadWhileOneRunsLeavesThePortListDisabled) {
    Start({{10, "A", "", true}, {11, "B", "", true}}, {"--clear-delay", "1500"});
    bool disabledAfterSecond = false;
    QTimer::singleShot(500, window.get(), [&] {
        window->bUpload->click();
        disabledAfterSecond = !window->cbPort->isEnabled();
    });
    window->bUpload->click();
    EXPECT_TRUE(disabledAfterSecond);
    EXPECT_EQ(prompts.All(), (QStringList{kUploadQuestion, kUploadQuestion, kPortUnusable,
                                          "Uploading successfully. 2 record(s) sent."}));
    ExpectCleanState();
}

// The window stays usable during an upload; a command that refreshes the list
// meanwhile must not cut the upload short.
TEST_F(CommandsTest, ListRefreshedDuringTheUploadDoesNotStopIt) {
    std::vector<TestCard> cards;
    for (int i = 1; i <= 6; ++i) cards.push_back({i, "H", "", true});
    Start(cards, {"--baud", "1200"});  // about 170 ms a card
    std::vector<qint64> refreshedAt;
    QElapsedTimer clock;
    for (int ms : {300, 1100, 1700}) {
        QTimer::singleShot(ms, window.get(), [&] {
            window->RefreshCardList();
            refreshedAt.push_back(clock.elapsed());
        });
    }
    clock.start();
    window->bUpload->click();
    EXPECT_EQ(refreshedAt.size(), 3u);
    EXPECT_EQ(prompts.All(),
              (QStringList{kUploadQuestion, "Uploading successfully. 6 record(s) sent."}));
    EXPECT_EQ(Log().size(), 9u);
    ExpectCleanState();
}

TEST_F(CommandsTest, CancelInTheMiddleOfAnUploadStopsAfterTheCardInFlight) {
    std::vector<TestCard> cards;
    for (int i = 1; i <= 30; ++i) cards.push_back({1000 + i, "H", "", true});
    Start(cards, {"--baud", "1200"});  // about 170 ms a card
    bool gridHidden = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* bar = TopLevelTitled("Uploading records");
        if (!bar || Log().size() < 2 + 4) return;
        poll.stop();
        gridHidden = window->dbgList->isHidden();
        auto* cancel = bar->findChild<QPushButton*>();
        ASSERT_NE(cancel, nullptr);
        EXPECT_EQ(cancel->text(), "Cancel");
        cancel->click();
    });
    poll.start(20);
    window->bUpload->click();
    EXPECT_TRUE(gridHidden);
    const Lines log = Log();
    const int stored = static_cast<int>(log.size()) - 2;
    EXPECT_GE(stored, 4);
    EXPECT_LT(stored, 30);
    EXPECT_EQ(log.back(), Store(static_cast<std::uint32_t>(GrantedInQueryOrder()[stored - 1])));
    EXPECT_EQ(prompts.All(),
              (QStringList{kUploadQuestion,
                           QString("Upload cancelled. %1 card(s) sent: the controller now holds "
                                   "only those.")
                               .arg(stored)}));
    ExpectCleanState();
    prompts.Clear();
    window->bInfo->click();
    EXPECT_EQ(
        prompts.All(),
        (QStringList{
            QString("The maximum capacity = 2000 cards.\r\nOccupied = %1 card(s).").arg(stored)}));
}

// Esc on the window that a wait shows once its first send went unanswered,
// and the close button of Remove's progress window, end the waits at once.
TEST_F(CommandsTest, WaitsOnASilentControllerCanBeCancelled) {
    Start({{10, "A", "", true}}, {"--silent"});
    QElapsedTimer clock;
    auto cancelWhenShown = [&](const char* title, bool viaEsc) {
        auto* poll = new QTimer(window.get());
        QObject::connect(poll, &QTimer::timeout, [=] {
            QWidget* bar = TopLevelTitled(title);
            if (!bar) return;
            poll->deleteLater();
            poll->stop();
            if (viaEsc) {
                QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QApplication::sendEvent(bar, &esc);
            } else {
                bar->close();
            }
        });
        poll->start(20);
    };
    cancelWhenShown("Waiting for the controller", true);
    clock.start();
    window->bInfo->click();
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_TRUE(prompts.All().isEmpty()) << prompts.All().join('|').toStdString();
    ExpectCleanState();

    cancelWhenShown("Clear access table", false);
    clock.restart();
    window->bDenyAll->click();
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_EQ(prompts.All(), (QStringList{kRemoveQuestion,
                                          "Remove cancelled. The controller has not confirmed "
                                          "that its access table is cleared."}));
    EXPECT_EQ(window->PanelText(2), "");
    ExpectCleanState();
}

// Enrolment: "Read Card" of the New Card dialog opens the port, takes the code
// of the card held to the reader and closes the port; Esc ends the wait at
// once and leaves the dialog open; a port that cannot be opened says so.
TEST_F(CommandsTest, NewCardNumberReadFromACardPresentedAtTheReader) {
    Start({{10, "A", "", true}}, {});
    auto presentWhenOpen = [&](long card) {
        auto* poll = new QTimer(window.get());
        QObject::connect(poll, &QTimer::timeout, [this, poll, card] {
            if (OpenDescriptorsTo(sim->DevicePath()) == 0) return;
            poll->deleteLater();
            poll->stop();
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            if (card >= 0)
                sim->Present(card);
            else
                QApplication::sendEvent(QApplication::activeModalWidget(), &esc);
        });
        poll->start(20);
    };
    QStringList seen;
    qint64 stopMs = -1;
    WhenModal<TDlgEdit>([&](TDlgEdit& dialog) {
        presentWhenOpen(-1);
        QElapsedTimer clock;
        clock.start();
        dialog.bReadCard->click();
        stopMs = clock.elapsed();
        seen << dialog.eCardno->text() << (dialog.isVisible() ? "open" : "closed");

        presentWhenOpen(12345678);
        dialog.bReadCard->click();
        seen << dialog.eCardno->text() << QString::number(OpenDescriptorsTo(sim->DevicePath()))
             << dialog.lCardRange->text();

        window->cbPort->setEditText(QStringLiteral("COM9"));
        dialog.bReadCard->click();
        seen << prompts.All();
        dialog.eName->setText(QStringLiteral("Łucja 🔑"));
        dialog.OKBtn->click();
    });
    window->bNewCardClick();

    EXPECT_LT(stopMs, 2000);
    EXPECT_EQ(seen, (QStringList{"", "open", "12345678", "0", "1 to 16,777,215", kPortUnusable}));
    EXPECT_EQ(window->dbcard.FieldByName("cardno").AsInteger(), 12345678);
    EXPECT_EQ(window->dbcard.FieldByName("descx").AsString(), "Łucja 🔑");
    ExpectCleanState();
}

TEST_F(CommandsTest, LineHungUpMidUploadReleasesEverything) {
    Start({{10, "A", "", true}, {11, "B", "", true}, {12, "C", "", true}, {13, "D", "", true}},
          {"--hangup-after", "3"});
    QElapsedTimer clock;
    clock.start();
    window->bUpload->click();
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_EQ(prompts.All(), (QStringList{kUploadQuestion, kPortUnusable}));
    EXPECT_EQ(Log().size(), 3u);
    ExpectCleanState();
}

TEST_F(CommandsTest, SilentControllerGivesUpAfterEightSendsWithoutSpinning) {
    Start({{10, "A", "", true}}, {"--silent"});
    // The clock keeps running while a command waits.
    QString clockSeen;
    QTimer::singleShot(3000, window.get(), [&] { clockSeen = window->PanelText(0); });
    const double cpu0 = CpuSeconds();
    QElapsedTimer clock;
    clock.start();
    window->bInfo->click();
    const qint64 wall = clock.elapsed();
    const double cpu = CpuSeconds() - cpu0;
    EXPECT_GE(wall, 7500);
    EXPECT_LT(wall, 15000);
    EXPECT_LT(cpu, 1.0) << "process CPU time while waiting";
    EXPECT_FALSE(clockSeen.isEmpty());
    EXPECT_EQ(prompts.All(), (QStringList{kCommError}));
    ASSERT_TRUE(sim->WaitForLogLines(8, 2000));
    EXPECT_EQ(Log(), Lines(8, kCapacity));
    ExpectCleanState();

    // The upload shows the wait's own message, then its own.
    prompts.Clear();
    window->bUpload->click();
    EXPECT_EQ(prompts.All(), (QStringList{kUploadQuestion, kCommError, kUploadError}));
    ASSERT_TRUE(sim->WaitForLogLines(16, 2000));
    EXPECT_EQ(Log(), Lines(16, kCapacity));
    ExpectCleanState();
}

// About 40 seconds: eight unanswered clears of five seconds each.
TEST_F(CommandsTest, SlowSilentRemoveAdvancesProgressOncePerSecond) {
    Start({{10, "A", "", true}}, {"--silent"});
    std::vector<std::pair<qint64, int>> steps;  // (ms since the click, gauge length), every 3 s
    QString status;
    QTimer sampler;
    QElapsedTimer clock;
    sampler.setInterval(3000);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (QWidget* w = TopLevelTitled("Clear access table"))
            steps.emplace_back(clock.elapsed(), GaugeSteps(w, 25));
        if (status.isEmpty()) status = window->PanelText(2);
    });
    QTimer::singleShot(2500, window.get(), [&] { sampler.start(); });
    clock.start();
    window->bDenyAll->click();
    const qint64 wall = clock.elapsed();
    sampler.stop();
    EXPECT_GE(wall, 39000);
    EXPECT_LT(wall, 50000);
    EXPECT_EQ(prompts.All(), (QStringList{kRemoveQuestion, kCommError}));
    EXPECT_EQ(status, "clear access table");
    ASSERT_GE(steps.size(), 10u);
    // One step a second, capped at the maximum of 25.
    for (const auto& [ms, step] : steps)
        EXPECT_NEAR(step, std::min<qint64>(ms / 1000, 25), 2) << "at " << ms << " ms";
    EXPECT_EQ(steps.back().second, 25);
    ASSERT_TRUE(sim->WaitForLogLines(8, 2000));
    EXPECT_EQ(Log(), Lines(8, kClear));
    EXPECT_EQ(window->PanelText(2), "");
    ExpectCleanState();
}

}  // namespace

// Every controller command leaves its entry in the working database's
// history: the port, its figures and how it ended, with what was shown.
TEST_F(CommandsTest, EveryControllerCommandLeavesItsHistoryEntry) {
    Start({{10, "A", "", true}, {11, "B", "", true}, {12, "C", "", false}},
          {"--capacity", "500", "--lose-card", "2"});
    window->bUpload->click();  // the controller loses a card
    window->bInfo->click();
    window->bDenyAll->click();
    sim.reset();  // a controller gone: the port cannot be used
    window->bUpload->click();

    TDbConnection connection;
    connection.SetConnectionString(window->BuildConnectionString(FDbPath));
    std::vector<std::string> entries;
    for (const THistoryEntry& e : connection.ReadHistory({}))
        entries.push_back(e.command + ": " + e.detail);
    ASSERT_EQ(entries.size(), 4u);
    // The port's own reason follows the message.
    EXPECT_TRUE(
        entries[0].starts_with("Upload: port COM1; failed: " + kPortUnusable.toStdString() + " ("))
        << entries[0];
    entries.erase(entries.begin());
    EXPECT_EQ(entries,
              (std::vector<std::string>{
                  "Remove: port COM1; completed: Table cleared.",
                  "Information: port COM1; completed: The maximum capacity = 500 cards. "
                  "Occupied = 1 card(s).",
                  "Upload: port COM1; 2 card(s) sent; failed: The upload could not be verified: "
                  "2 card(s) sent, but the controller holds 1. Please upload again."}));
}

// Sorting by column title, the Granted glyphs, Options and Search, through the
// real main window on card database files in temporary folders.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>

#include "app/card_files.h"
#include "cardmodel.h"
#include "cellimage.h"
#include "datasrc.h"
#include "mainwindow.h"
#include "options.h"
#include "search.h"
#include "settings.h"
#include "support/fake_prompts.h"
#include "support/pump.h"
#include "support/window_test.h"

namespace {

const std::vector<TestCard> Cards = {
    {30, "Zoë", "Sales", true},      {10, "émile", "Admin", false},      {50, "Emily", "", true},
    {20, "Bob 50%", "Admin", false}, {40, "Émile Roux", "Sales", false},
};

class ListCommands : public TWindowTest {
  protected:
    void SetUp() override {
        TWindowTest::SetUp();
        StartWith(Cards);
        ASSERT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
    }

    // Lets `act` fill in the next modal dialog of type T when it shows.
    template <typename T>
    void AnswerNext(std::function<void(T&)> act) {
        auto started = std::make_shared<QElapsedTimer>();
        started->start();
        poll.disconnect();
        QObject::connect(&poll, &QTimer::timeout, [this, started, act] {
            if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
                poll.stop();
                act(*dialog);
            } else if (started->elapsed() > 10000) {
                poll.stop();
                ADD_FAILURE() << "no dialog appeared";
                if (QWidget* w = QApplication::activeModalWidget()) w->close();
            }
        });
        poll.start(10);
    }
    // Runs a search with the given entries ("Search" pressed).
    void Search(int cardno, const QString& name, const QString& group) {
        AnswerNext<TDlgSearch>([=](TDlgSearch& d) {
            d.seCardno->setValue(cardno);
            d.eName->setText(name);
            d.eGroup->setText(group);
            d.OKBtn->click();
        });
        window->bSearch->click();
    }
    int CurrentCard() { return window->dbcard.FieldByName("cardno").AsInteger(); }
    QString Stored(const char* name) {
        return QString::fromStdString(ReadSettingString(name, "<absent>"));
    }
    void ClickTitle(int column) {
        emit window->dbgList->horizontalHeader()->sectionClicked(column);
    }
    std::vector<int> Listed() {
        std::vector<int> out;
        for (int r = 0; r < window->dbcard.RecordCount(); ++r)
            out.push_back(static_cast<int>(std::get<std::int64_t>(window->dbcard.Cell(r, 0))));
        return out;
    }

    FakePrompts prompts;
    QTimer poll;
};

TEST_F(ListCommands, TitleClicksToggleTheSortColumnAndKeepTheDirectionForANewOne) {
    ClickTitle(TCardModel::ColCardNo);  // nothing stored: card number is the sort column
    EXPECT_EQ(Stored("ORDER"), "desc");
    EXPECT_EQ(Listed(), (std::vector<int>{50, 40, 30, 20, 10}));
    ClickTitle(TCardModel::ColGroup);
    EXPECT_EQ(Stored("SORT"), "grp");
    EXPECT_EQ(Stored("ORDER"), "desc");
    ClickTitle(TCardModel::ColGroup);
    EXPECT_EQ(Stored("ORDER"), "asc");
    ClickTitle(TCardModel::ColName);
    EXPECT_EQ(Listed(), (std::vector<int>{20, 10, 40, 50, 30}));  // accents beside the letter
    ClickTitle(TCardModel::ColGranted);
    EXPECT_EQ(Listed().front(), 30);  // granted first

    // Stored junk: the same column writes "asc", another column a valid pair.
    WriteSettingString("ORDER", "DESC");
    ClickTitle(TCardModel::ColGranted);
    EXPECT_EQ(Stored("ORDER"), "asc");
    WriteSettingString("SORT", "x;drop table cardlist");
    WriteSettingString("ORDER", "sideways");
    ClickTitle(TCardModel::ColCardNo);
    EXPECT_EQ(Stored("SORT"), "cardno");
    EXPECT_EQ(Stored("ORDER"), "asc");
    EXPECT_EQ(Listed(), (std::vector<int>{10, 20, 30, 40, 50}));
    EXPECT_TRUE(prompts.shown.empty()) << prompts.All().join('|').toStdString();
}

TEST_F(ListCommands, GrantedCellsShowOnlyTheirGlyphOnTheRowBackground) {
    window->show();
    window->dbcard.SetRecNo(1);  // card 10 (denied) selected, card 20 (denied), card 30 granted
    PumpFor(50);
    const QImage shot = window->dbgList->viewport()->grab().toImage();
    const QAbstractItemModel& model = *window->dbgList->model();
    const QColor base = window->dbgList->palette().color(QPalette::Base);
    auto check = [&](int row, int index, bool selected) {
        SCOPED_TRACE(row);
        const QRect cell = window->dbgList->visualRect(model.index(row, TCardModel::ColGranted));
        const QImage glyph = window->AppIcon.Image(index);
        const QColor background = shot.pixelColor(cell.topLeft());
        EXPECT_EQ(background == base, !selected);
        int marks = 0;
        for (int y = cell.top(); y <= cell.bottom(); ++y)
            for (int x = cell.left(); x <= cell.right(); ++x) {
                const int gx = x - cell.left() - 1, gy = y - cell.top() - 1;
                const bool stroke =
                    gx >= 0 && gx < 16 && gy >= 0 && gy < 16 && qAlpha(glyph.pixel(gx, gy)) != 0;
                const QColor seen = shot.pixelColor(x, y);
                if (stroke) {
                    marks += seen == QColor(Qt::black);
                    EXPECT_EQ(seen, QColor(Qt::black)) << x << "," << y;
                } else {
                    ASSERT_EQ(seen, background) << x << "," << y;  // no text anywhere
                }
            }
        EXPECT_GT(marks, 10);
    };
    check(0, DeniedImageIndex, true);
    check(1, DeniedImageIndex, false);
    check(2, GrantedImageIndex, false);
}

TEST_F(ListCommands, OptionsCancelDoesNothingAndProceedAlwaysRefreshes) {
    const int refreshes = window->RefreshCount();
    int grants = 0;
    QObject::connect(window->bAllGranted, &QPushButton::clicked, [&] { ++grants; });

    AnswerNext<TDlgOptions>([](TDlgOptions& d) {
        d.cbShowGrant->setChecked(true);
        d.bCancel->click();
    });
    window->bOptions->click();
    EXPECT_EQ(window->RefreshCount(), refreshes);
    EXPECT_FALSE(window->cbGranted->isChecked());

    AnswerNext<TDlgOptions>([](TDlgOptions& d) {
        EXPECT_EQ(d.AccessIndex(), TDlgOptions::RemainUnchanged);
        d.bProceed->click();
    });
    window->bOptions->click();
    EXPECT_EQ(window->RefreshCount(), refreshes + 1);

    // A "No" to the grant question leaves the filter choice in force.
    prompts.defaultConfirm = false;
    AnswerNext<TDlgOptions>([](TDlgOptions& d) {
        d.SetAccessIndex(TDlgOptions::GrantToAll);
        d.cbShowGrant->setChecked(true);
        d.bProceed->click();
    });
    window->bOptions->click();
    EXPECT_EQ(grants, 1);
    EXPECT_EQ(prompts.Messages(PromptKind::Confirm).size(), 1);  // the grant question, answered No
    EXPECT_TRUE(window->cbGranted->isChecked());
    EXPECT_EQ(Stored("GRANTED"), "1");
    EXPECT_EQ(window->dbcard.RecordCount(), 2);
}

TEST_F(ListCommands, SearchUsesOneCriterionAndFindsTheFirstInNameOrder) {
    window->show();
    window->dbcard.SetRecNo(4);
    Search(0, " \t ", "");  // no criterion: the row stays
    EXPECT_EQ(CurrentCard(), 40);
    EXPECT_EQ(prompts.Messages(PromptKind::Info), QStringList{"No matched record found."});

    Search(30, "Bob", "");  // the number wins
    EXPECT_EQ(CurrentCard(), 30);
    EXPECT_EQ(window->focusWidget(), window->dbgList);
    Search(0, "  EMI\x01", "Admin");  // émile before Emily and Émile Roux
    EXPECT_EQ(CurrentCard(), 10);
    Search(0, "", "sal");
    EXPECT_EQ(CurrentCard(), 30);
    Search(0, "BOB 50%", "");
    EXPECT_EQ(CurrentCard(), 20);

    window->dbcard.SetRecNo(4);
    prompts.Clear();
    for (const QString& text : {QStringLiteral("B%"), QStringLiteral("_ob"), QStringLiteral("'"),
                                QString(10000, QChar('x'))}) {
        Search(0, text, "");
        EXPECT_EQ(window->dbcard.RecNo(), 1) << text.left(5).toStdString();  // first row
    }
    EXPECT_EQ(prompts.Messages(PromptKind::Info).size(), 4);
    Search(99999999, "", "");
    EXPECT_EQ(window->dbcard.RecNo(), 1);
}

}  // namespace

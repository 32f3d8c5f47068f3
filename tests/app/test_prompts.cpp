#include <gtest/gtest.h>

#include <stdexcept>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

#include "prompts.h"
#include "support/fake_prompts.h"

namespace {

// What the box looked like when it was answered.
struct Seen {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QString defaultButton;
    QString escapeButton;
    Qt::TextFormat format = Qt::AutoText;
    bool wordWrap = false;
    bool modal = false;
    QPoint centre;
    int width = 0;
};

// Waits for the modal widget of type T, lets `act` answer it, and gives up
// (closing every top-level window) rather than hang when nothing shows.
template <typename T>
void AnswerNext(std::function<void(T&)> act) {
    auto* poll = new QTimer;
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    auto failed = std::make_shared<bool>(false);
    QObject::connect(poll, &QTimer::timeout, [poll, started, failed, act] {
        if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(*widget);
        } else if (started->elapsed() > 10000) {
            if (!*failed) {
                *failed = true;
                ADD_FAILURE() << "no modal dialog of the expected kind appeared";
                for (QWidget* w : QApplication::topLevelWidgets()) w->close();
            }
            // Whatever is modal meanwhile (another kind, or one that came late)
            // is turned down too, so that the test never waits for good.
            if (QWidget* modal = QApplication::activeModalWidget()) {
                if (auto* dialog = qobject_cast<QDialog*>(modal))
                    dialog->reject();
                else
                    modal->close();
            } else if (started->elapsed() > 20000) {
                poll->stop();
                poll->deleteLater();
            }
        }
    });
    poll->start(10);
}

void AnswerBox(Seen& seen, std::function<void(QMessageBox&)> act) {
    AnswerNext<QMessageBox>([&seen, act](QMessageBox& box) {
        seen.title = box.windowTitle();
        seen.text = box.text();
        seen.icon = box.icon();
        for (QAbstractButton* b : box.buttons()) seen.buttons << b->text();
        seen.defaultButton = box.defaultButton() ? box.defaultButton()->text() : QString();
        seen.escapeButton = box.escapeButton() ? box.escapeButton()->text() : QString();
        seen.format = box.textFormat();
        if (auto* label = box.findChild<QLabel*>("qt_msgbox_label"))
            seen.wordWrap = label->wordWrap();
        seen.modal = box.isModal();
        seen.centre = box.frameGeometry().center();
        seen.width = box.frameGeometry().width();
        act(box);
    });
}

void Key(QWidget& target, Qt::Key key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(&target, &release);
}

void ClickButton(QMessageBox& box, const QString& text) {
    for (QAbstractButton* b : box.buttons())
        if (b->text() == text) return b->click();
    ADD_FAILURE() << "no button " << text.toStdString();
    box.close();
}

TEST(Prompts, ConfirmBoxLooksRightAndEnterMeansYes) {
    Seen seen;
    AnswerBox(seen, [](QMessageBox& box) { Key(box, Qt::Key_Return); });
    EXPECT_TRUE(AskConfirm("Delete all cards?"));
    EXPECT_EQ(seen.title, "Confirm");
    EXPECT_EQ(seen.text, "Delete all cards?");
    EXPECT_EQ(seen.icon, QMessageBox::Question);
    EXPECT_EQ(seen.buttons.size(), 2);
    EXPECT_TRUE(seen.buttons.contains("&Yes"));
    EXPECT_TRUE(seen.buttons.contains("&No"));
    EXPECT_EQ(seen.defaultButton, "&Yes");
    EXPECT_EQ(seen.escapeButton, "&No");
    EXPECT_TRUE(seen.modal);
    EXPECT_EQ(seen.format, Qt::PlainText);
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((seen.centre - screenCentre).manhattanLength(), 4);
}

TEST(Prompts, LongMessagesAreWrapped) {
    Seen seen;
    AnswerBox(seen, [](QMessageBox& box) { Key(box, Qt::Key_Escape); });
    ShowError(QString("The card database could not be opened ").repeated(40));
    EXPECT_TRUE(seen.wordWrap);
    EXPECT_LT(seen.width, QGuiApplication::primaryScreen()->availableGeometry().width());
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((seen.centre - screenCentre).manhattanLength(), 4);
}

TEST(Prompts, ConfirmIsFalseUnlessYes) {
    Seen seen;
    AnswerBox(seen, [](QMessageBox& box) { Key(box, Qt::Key_Escape); });
    EXPECT_FALSE(AskConfirm("Esc?"));
    AnswerBox(seen, [](QMessageBox& box) { ClickButton(box, "&No"); });
    EXPECT_FALSE(AskConfirm("No?"));
    AnswerBox(seen, [](QMessageBox& box) { box.close(); });
    EXPECT_FALSE(AskConfirm("Closed?"));
    AnswerBox(seen, [](QMessageBox& box) { ClickButton(box, "&Yes"); });
    EXPECT_TRUE(AskConfirm("Yes?"));
}

TEST(Prompts, ErrorAndInformationBoxes) {
    Seen error;
    AnswerBox(error, [](QMessageBox& box) { Key(box, Qt::Key_Escape); });
    ShowError("Card number is invalid");
    EXPECT_EQ(error.title, "Error");
    EXPECT_EQ(error.icon, QMessageBox::Critical);
    EXPECT_EQ(error.buttons, QStringList{"OK"});
    EXPECT_EQ(error.defaultButton, "OK");
    EXPECT_EQ(error.escapeButton, "OK");
    EXPECT_EQ(error.text, "Card number is invalid");

    Seen info;
    AnswerBox(info, [](QMessageBox& box) { Key(box, Qt::Key_Return); });
    ShowInfo("<b>12</b> record(s) sent");
    EXPECT_EQ(info.title, "Information");
    EXPECT_EQ(info.icon, QMessageBox::Information);
    EXPECT_EQ(info.buttons, QStringList{"OK"});
    EXPECT_EQ(info.defaultButton, "OK");
    EXPECT_EQ(info.escapeButton, "OK");
    // Markup in a message is shown as it is.
    EXPECT_EQ(info.text, "<b>12</b> record(s) sent");
    EXPECT_EQ(info.format, Qt::PlainText);

    Seen app;
    AnswerBox(app, [](QMessageBox& box) { box.close(); });
    ShowApplicationError("Access violation at address 0");
    EXPECT_EQ(app.title, "Lorvane");
    EXPECT_EQ(app.icon, QMessageBox::Critical);
    EXPECT_EQ(app.buttons, QStringList{"OK"});
    EXPECT_EQ(app.text, "Access violation at address 0.");
}

TEST(Prompts, FullStopFollowsTheLastCharacter) {
    EXPECT_EQ(WithFullStop(""), "");
    EXPECT_EQ(WithFullStop("Failed"), "Failed.");
    EXPECT_EQ(WithFullStop("Failed."), "Failed.");
    EXPECT_EQ(WithFullStop("Code 7"), "Code 7.");
    EXPECT_EQ(WithFullStop("What?"), "What?.");
    EXPECT_EQ(WithFullStop("a/"), "a/.");
    EXPECT_EQ(WithFullStop(QString::fromUtf8("Grüße ä")), QString::fromUtf8("Grüße ä."));
    // Characters that sort before the full stop get none.
    EXPECT_EQ(WithFullStop("Stop!"), "Stop!");
    EXPECT_EQ(WithFullStop("(see log)"), "(see log)");
    EXPECT_EQ(WithFullStop("a-"), "a-");
    EXPECT_EQ(WithFullStop("a,"), "a,");
    EXPECT_EQ(WithFullStop("trailing "), "trailing ");
    EXPECT_EQ(WithFullStop("line\n"), "line\n");
}

TEST(Prompts, SeamReceivesEveryPrompt) {
    IPromptSeam* before = SetPromptSeam(nullptr);
    EXPECT_EQ(before, nullptr);
    {
        FakePrompts fake;
        fake.confirmAnswers = {false, true};
        EXPECT_FALSE(AskConfirm("first?"));
        EXPECT_TRUE(AskConfirm("second?"));
        ShowError("bad");
        ShowInfo("fine");
        ShowApplicationError("broken");
        ASSERT_EQ(fake.shown.size(), 5u);
        EXPECT_EQ(fake.shown[0].kind, PromptKind::Confirm);
        EXPECT_EQ(fake.shown[0].title, "Confirm");
        EXPECT_EQ(fake.shown[1].message, "second?");
        EXPECT_EQ(fake.shown[2].kind, PromptKind::Error);
        EXPECT_EQ(fake.shown[2].title, "Error");
        EXPECT_EQ(fake.shown[3].kind, PromptKind::Info);
        EXPECT_EQ(fake.shown[3].title, "Information");
        EXPECT_EQ(fake.shown[4].kind, PromptKind::AppError);
        EXPECT_EQ(fake.shown[4].title, "Lorvane");
        EXPECT_EQ(fake.shown[4].message, "broken.");

        fake.fileAnswers = {"/a/cards.mdb"};
        EXPECT_EQ(PromptOpenFileName("Open", "/a/old.mdb", "*.mdb"), "/a/cards.mdb");
        EXPECT_EQ(PromptSaveFileName("Save", "/a/x.mdb", "*.mdb"), "");
        EXPECT_EQ(fake.dialogs, (QStringList{"Open|/a/old.mdb", "Save|/a/x.mdb"}));
        {
            FakePrompts inner;
            ShowInfo("inner");
            EXPECT_EQ(inner.shown.size(), 1u);
        }
        ShowInfo("outer again");
        EXPECT_EQ(fake.shown.size(), 6u);
    }
    EXPECT_EQ(SetPromptSeam(nullptr), nullptr);
}

TEST(Prompts, HugeMessagesAreCutShortWithAnEllipsis) {
    FakePrompts fake;
    const QString huge = QString("sort field ").repeated(100000);
    ShowError(huge);
    ShowApplicationError(huge);
    ShowPlainMessage(huge);
    AskConfirm(QString(300, u'a') + QString::fromUtf8("\U0001F600").repeated(200));
    ASSERT_EQ(fake.shown.size(), 4u);
    for (const auto& shown : fake.shown) {
        EXPECT_LE(shown.message.size(), 400);
        EXPECT_TRUE(shown.message.endsWith(QChar(0x2026)));
        EXPECT_TRUE(huge.startsWith(shown.message.chopped(1)) || shown.kind == PromptKind::Confirm);
        EXPECT_FALSE(shown.message.chopped(1).back().isHighSurrogate());
    }
}

TEST(Prompts, FailedComparisonsShowTheText) {
    EXPECT_EQ(testing::PrintToString(QString::fromUtf8("Grüße")), "\"Grüße\"");
}

TEST(Prompts, GuardedShowsAFailureInTheStandardBoxAndGoesOn) {
    FakePrompts fake;
    bool ran = false;
    Guarded([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(fake.shown.empty());
    Guarded([] {
        throw std::runtime_error("dbcard: Cannot perform this operation on a closed dataset");
    });
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].kind, PromptKind::AppError);
    EXPECT_EQ(fake.shown[0].title, "Lorvane");
    EXPECT_EQ(fake.shown[0].message, "dbcard: Cannot perform this operation on a closed dataset.");
    Guarded([] { throw 42; });
    EXPECT_EQ(fake.shown.size(), 2u);
}

TEST(Prompts, RealFileDialogs) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("cards.mdb");
    QString caption;
    AnswerNext<QFileDialog>([&caption, path](QFileDialog& dialog) {
        caption = dialog.windowTitle();
        dialog.selectFile(path);
        static_cast<QDialog&>(dialog).accept();  // as the Save button does
    });
    EXPECT_EQ(PromptSaveFileName("Save card list", dir.path(), "Card list (*.mdb)"), path);
    EXPECT_EQ(caption, "Save card list");

    AnswerNext<QFileDialog>([](QFileDialog& dialog) { dialog.reject(); });
    EXPECT_EQ(PromptOpenFileName("Open", dir.path(), "Card list (*.mdb)"), "");

    // A name typed without extension gets that of the filter chosen, not the
    // first filter's.
    AnswerNext<QFileDialog>([](QFileDialog& dialog) {
        auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        ASSERT_NE(types, nullptr);
        types->setCurrentIndex(1);  // as the operator picks it
        emit types->activated(1);
        emit types->textActivated(types->itemText(1));
        dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText("staff list");
        static_cast<QDialog&>(dialog).accept();
    });
    EXPECT_EQ(PromptSaveFileName("Export", dir.path() + "/",
                                 "MS Excel (*.xls)|*.xls|Excel Workbook (*.xlsx)|*.xlsx", "xls"),
              dir.filePath("staff list.xlsx"));
}

TEST(Prompts, PlainAndProceedBoxes) {
    Seen plain;
    AnswerBox(plain, [](QMessageBox& box) { Key(box, Qt::Key_Escape); });
    ShowPlainMessage("New card added = 3");
    EXPECT_EQ(plain.title, "Lorvane");
    EXPECT_EQ(plain.icon, QMessageBox::NoIcon);
    EXPECT_EQ(plain.buttons, QStringList{"OK"});

    // Enter and Escape press OK; its close button turns it down.
    Seen proceed;
    AnswerBox(proceed, [](QMessageBox& box) { Key(box, Qt::Key_Escape); });
    EXPECT_TRUE(AskProceed("Please insert the ID card CDROM."));
    EXPECT_EQ(proceed.title, "Confirm");
    EXPECT_EQ(proceed.icon, QMessageBox::Question);
    EXPECT_EQ(proceed.buttons, QStringList{"OK"});
    AnswerBox(proceed, [](QMessageBox& box) { Key(box, Qt::Key_Return); });
    EXPECT_TRUE(AskProceed("Please insert the ID card CDROM."));
    bool closed = false;
    AnswerBox(proceed, [&closed](QMessageBox& box) { closed = box.close(); });
    EXPECT_FALSE(AskProceed("Please insert the ID card CDROM."));
    EXPECT_TRUE(closed);
}

}  // namespace

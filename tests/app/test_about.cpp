#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>

#include "about.h"
#include "pgbar.h"

namespace {

// A picture label shows something: some pixels differ from the first one.
bool ShowsAPicture(const QLabel* label) {
    const QPixmap pixmap = label->pixmap();
    if (pixmap.isNull()) return false;
    const QImage image = pixmap.toImage();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != image.pixel(0, 0)) return true;
    return false;
}

}  // namespace

TEST(Taboutbox, CaptionFrameAndPlacement) {
    Taboutbox box(nullptr);
    EXPECT_EQ(box.windowTitle(), "About Pellmark");
    EXPECT_EQ(box.size(), QSize(327, 218));
    EXPECT_EQ(box.minimumSize(), QSize(327, 218));
    EXPECT_EQ(box.maximumSize(), QSize(327, 218));
    EXPECT_FALSE(box.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(box.windowFlags() & Qt::WindowMinimizeButtonHint);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((box.geometry().center() - screen.center()).manhattanLength(), 40);

    EXPECT_EQ(box.Panel1->geometry(), QRect(0, 0, 327, 184));
    EXPECT_EQ(box.Panel2->geometry(), QRect(0, 184, 327, 34));
}

TEST(Taboutbox, AboutBoxAndProgressWindowAreCentredWhenShown) {
    // Placed before they are shown, as when the window system adds the title
    // bar only then: showing them centres the outer frame again.
    const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    Taboutbox box(nullptr);
    box.move(0, 0);
    box.show();
    EXPECT_LE((box.frameGeometry().center() - centre).manhattanLength(), 2);
    QWidget owner;
    Tpbar bar(&owner, "Export", 10);
    QWidget* window = bar.Window();
    window->hide();
    window->move(0, 0);
    window->show();
    EXPECT_LE((window->frameGeometry().center() - centre).manhattanLength(), 2);
}

TEST(Taboutbox, LabelsAndPictures) {
    Taboutbox box(nullptr);
    EXPECT_EQ(box.Label2->text(), "Lorvane");
    EXPECT_EQ(box.Label2->pos(), QPoint(56, 8));
    EXPECT_EQ(box.Label2->height(), 16);
    EXPECT_TRUE(box.Label2->font().bold());
    EXPECT_EQ(box.Label2->palette().color(QPalette::WindowText), QColor(0, 0, 0x80));
    EXPECT_GE(box.Label2->width(), box.Label2->sizeHint().width());

    EXPECT_EQ(box.Label3->text(), "Version 1.1");
    EXPECT_EQ(box.Label3->pos(), QPoint(56, 28));
    EXPECT_EQ(box.Label3->height(), 15);
    EXPECT_FALSE(box.Label3->font().bold());

    EXPECT_EQ(box.Image3->geometry(), QRect(9, 12, 32, 32));
    EXPECT_EQ(box.Image1->geometry(), QRect(234, 10, 80, 28));
    EXPECT_TRUE(ShowsAPicture(box.Image3));
    EXPECT_TRUE(ShowsAPicture(box.Image1));
    EXPECT_LE(box.Image1->pixmap().width(), 80);
    EXPECT_LE(box.Image1->pixmap().height(), 28);
}

TEST(Taboutbox, PicturesInTheResources) {
    const QPixmap icon(":/images/icon.png");
    const QPixmap logo(":/images/logo.png");
    ASSERT_FALSE(icon.isNull());
    ASSERT_FALSE(logo.isNull());
    EXPECT_GE(icon.width(), 32);
    EXPECT_EQ(icon.width(), icon.height());
    // Large enough for the main window's 84 x 43 without enlarging.
    EXPECT_GE(logo.width(), 84);
    EXPECT_GE(logo.height(), 43);
}

TEST(Taboutbox, Memo) {
    Taboutbox box(nullptr);
    QPlainTextEdit* memo = box.Memo1;
    EXPECT_EQ(memo->geometry(), QRect(56, 49, 261, 124));
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_EQ(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(memo->font().pixelSize(), 12);
    EXPECT_EQ(memo->palette().color(QPalette::Base), memo->palette().color(QPalette::Button));
    const QStringList lines = memo->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0],
              "This program is designed exclusively for using with the card reader products "
              "from Quillon.");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2],
              "To obtain further information, please visit the website "
              "https://www.quillon.example/ of the company.");
}

TEST(Taboutbox, CloseButton) {
    Taboutbox box(nullptr);
    QPushButton* button = box.Button1;
    EXPECT_EQ(button->text(), "Cl&ose");
    EXPECT_EQ(button->parentWidget(), box.Panel2);
    EXPECT_EQ(button->geometry(), QRect(5, 4, 71, 25));
    EXPECT_EQ(button->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(box.focusWidget(), button);
}

TEST(Taboutbox, CloseButtonEndsTheModalBox) {
    QWidget owner;
    Taboutbox box(&owner);
    bool focused = false;
    QTimer::singleShot(0, &box, [&] {
        focused = box.focusWidget() == box.Button1;
        box.Button1->click();
    });
    // Guard against a hang should the button not close the box.
    QTimer::singleShot(5000, &box, [&] { box.done(42); });
    const int result = box.exec();
    EXPECT_NE(result, 42);
    EXPECT_TRUE(focused);
    EXPECT_FALSE(box.isVisible());
}

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QImage>
#include <QScreen>
#include <QWidget>

#include <memory>
#include <stdexcept>

#include "pgbar.h"

namespace {

// The shape of the program-wide cursor, or ArrowCursor when none is set.
Qt::CursorShape Cursor() {
    const QCursor* cursor = QGuiApplication::overrideCursor();
    return cursor ? cursor->shape() : Qt::ArrowCursor;
}

class PgbarTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr); }
    void TearDown() override { EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr); }
    QWidget owner;
};

}  // namespace

TEST_F(PgbarTest, WindowLooks) {
    Tpbar bar(&owner, "Loading Card Database", 3);
    QWidget* window = bar.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isModal());
    EXPECT_EQ(window->windowTitle(), "Loading Card Database");
    EXPECT_EQ(window->windowType(), Qt::Tool);
    EXPECT_EQ(window->size(), QSize(418, 22));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window->geometry().center() - screen.center()).manhattanLength(), 40);
    // The gauge fills the whole client area.
    ASSERT_EQ(window->children().size() >= 1, true);
    QWidget* gauge = window->findChild<QWidget*>();
    ASSERT_NE(gauge, nullptr);
    EXPECT_EQ(gauge->geometry(), QRect(0, 0, 418, 22));
}

TEST_F(PgbarTest, Percentages) {
    Tpbar bar(&owner, "Uploading records", 3);
    EXPECT_EQ(bar.Maximum(), 3);
    EXPECT_EQ(bar.PercentText(), "0%");
    bar.Advance();
    EXPECT_EQ(bar.PercentText(), "33%");
    bar.Advance();
    EXPECT_EQ(bar.PercentText(), "66%");  // rounded towards zero
    bar.Advance();
    EXPECT_EQ(bar.PercentText(), "100%");
    bar.Advance();
    bar.Advance();
    EXPECT_EQ(bar.Progress(), 3);
    EXPECT_EQ(bar.PercentText(), "100%");

    bar.SetMaximum(25);
    EXPECT_EQ(bar.Progress(), 0);
    bar.Advance();
    EXPECT_EQ(bar.PercentText(), "4%");
}

TEST_F(PgbarTest, EmptyRangeStaysAtZero) {
    Tpbar bar(&owner, "Delete all cards", 0);
    for (int i = 0; i < 5; ++i) bar.Advance();
    EXPECT_EQ(bar.Progress(), 0);
    EXPECT_EQ(bar.PercentText(), "0%");
}

TEST_F(PgbarTest, LargeRangeDoesNotOverflow) {
    Tpbar bar(&owner, "Exporting to Excel", 2'000'000'000);
    for (int i = 0; i < 30; ++i) bar.Advance();
    EXPECT_EQ(bar.PercentText(), "0%");
}

TEST_F(PgbarTest, GaugePaintsBarAndText) {
    Tpbar bar(&owner, "Granting access rights", 2);
    bar.Advance();
    QWidget* gauge = bar.Window()->findChild<QWidget*>();
    ASSERT_NE(gauge, nullptr);
    const QImage image = gauge->grab().toImage();
    // Left half black, right end white; the ends are clear of the text.
    EXPECT_EQ(image.pixelColor(5, 11), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(200, 2), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(220, 2), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(412, 11), QColor(Qt::white));
    // The text "50%" leaves dark marks on the white half and light marks on the black.
    bool darkOnWhite = false, lightOnBlack = false;
    for (int x = 180; x < 240; ++x) {
        for (int y = 4; y < 18; ++y) {
            const int gray = qGray(image.pixel(x, y));
            if (x > 212 && gray < 128) darkOnWhite = true;
            if (x < 206 && gray > 128) lightOnBlack = true;
        }
    }
    EXPECT_TRUE(darkOnWhite);
    EXPECT_TRUE(lightOnBlack);
}

TEST_F(PgbarTest, WaitCursorWhileShownAndFinishDestroys) {
    Tpbar bar(&owner, "Denying access rights", 10);
    EXPECT_EQ(Cursor(), Qt::WaitCursor);
    QPointer<QWidget> window = bar.Window();
    bar.Finish();
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(window.isNull());
    EXPECT_EQ(bar.Window(), nullptr);
    bar.Finish();  // a second Finish changes nothing
    bar.Advance();
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(PgbarTest, CallersOwnCursorComesBack) {
    QGuiApplication::setOverrideCursor(Qt::CrossCursor);
    {
        Tpbar bar(&owner, "Clear access table", 25);
        EXPECT_EQ(Cursor(), Qt::WaitCursor);
        bar.Finish();
        EXPECT_EQ(Cursor(), Qt::CrossCursor);
    }
    EXPECT_EQ(Cursor(), Qt::CrossCursor);
    QGuiApplication::restoreOverrideCursor();
}

TEST_F(PgbarTest, NestedWindowsEndingInAnyOrder) {
    QGuiApplication::setOverrideCursor(Qt::CrossCursor);
    auto first = std::make_unique<Tpbar>(&owner, "first", 5);
    auto second = std::make_unique<Tpbar>(&owner, "second", 5);
    first->Finish();
    EXPECT_EQ(Cursor(), Qt::WaitCursor);  // the second is still working
    second->Finish();
    EXPECT_EQ(Cursor(), Qt::CrossCursor);
    QGuiApplication::restoreOverrideCursor();
}

TEST_F(PgbarTest, CloseButtonOnlyHides) {
    Tpbar bar(&owner, "Uploading records", 4);
    QPointer<QWidget> window = bar.Window();
    EXPECT_FALSE(window->close());
    QCloseEvent event;
    QApplication::sendEvent(window, &event);
    EXPECT_FALSE(event.isAccepted());
    EXPECT_FALSE(window->isVisible());
    QApplication::processEvents();
    ASSERT_FALSE(window.isNull());
    bar.Advance();  // the command goes on
    EXPECT_EQ(bar.PercentText(), "25%");
    EXPECT_EQ(Cursor(), Qt::WaitCursor);
    bar.Finish();
    EXPECT_TRUE(window.isNull());
}

TEST_F(PgbarTest, DestructorWithoutFinishRestoresCursor) {
    QPointer<QWidget> window;
    try {
        Tpbar bar(&owner, "Exporting to Excel", 3);
        window = bar.Window();
        throw std::runtime_error("export failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(window.isNull());
}

TEST_F(PgbarTest, OwnerDestroyedFirst) {
    auto ownerFirst = std::make_unique<QWidget>();
    Tpbar bar(ownerFirst.get(), "caption", 3);
    ownerFirst.reset();
    ASSERT_NE(bar.Window(), nullptr);
    bar.Advance();
    bar.Finish();  // no double destruction
    EXPECT_EQ(bar.Window(), nullptr);
}

TEST_F(PgbarTest, WithoutOwner) {
    Tpbar bar(nullptr, "caption", 1);
    EXPECT_TRUE(bar.Window()->isVisible());
    bar.Advance();
    EXPECT_EQ(bar.PercentText(), "100%");
}

#include <gtest/gtest.h>

#include <QDateTime>
#include <QLocale>

#include "clockfmt.h"

namespace {

QDateTime At(int y, int mo, int d, int h, int mi, int s) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s));
}

const QLocale kEnglish(QLocale::English, QLocale::UnitedStates);

}  // namespace

TEST(FormatClock, EnglishAfternoonMorningAndNoon) {
    EXPECT_EQ(FormatClock(At(2026, 12, 8, 13, 5, 9), kEnglish), "8/Dec,2026 PM01:05:09");
    EXPECT_EQ(FormatClock(At(2027, 3, 1, 0, 30, 5), kEnglish), "1/Mar,2027 AM12:30:05");
    EXPECT_EQ(FormatClock(At(2027, 3, 1, 12, 0, 0), kEnglish), "1/Mar,2027 PM12:00:00");
    EXPECT_EQ(FormatClock(At(2027, 3, 1, 11, 59, 59), kEnglish), "1/Mar,2027 AM11:59:59");
    EXPECT_EQ(FormatClock(At(2027, 10, 31, 23, 0, 0), kEnglish), "31/Oct,2027 PM11:00:00");
}

TEST(FormatClock, SeparatorsAndMonthNamesFollowTheLocale) {
    // German: "." between the date fields, ":" in the time, German months;
    // AM/PM stay English whatever the locale.
    EXPECT_EQ(FormatClock(At(2026, 12, 8, 13, 5, 9), QLocale("de_DE")), "8.Dez,2026 PM01:05:09");
    EXPECT_EQ(FormatClock(At(2026, 3, 8, 9, 5, 9), QLocale("de_DE")), "8.Mär,2026 AM09:05:09");
    // Finnish separates the time fields with "." too.
    const QString fi = FormatClock(At(2026, 12, 8, 13, 5, 9), QLocale("fi_FI"));
    EXPECT_TRUE(fi.startsWith("8.")) << fi.toStdString();
    EXPECT_TRUE(fi.endsWith(",2026 PM01.05.09")) << fi.toStdString();
    EXPECT_NE(fi, "8.Dec,2026 PM01.05.09");
    // The C locale's date pattern has no separator: the usual "/" stands in.
    EXPECT_EQ(FormatClock(At(2026, 12, 8, 13, 5, 9), QLocale::c()), "8/Dec,2026 PM01:05:09");
    // Direction marks around Arabic separators are not separators.
    EXPECT_TRUE(FormatClock(At(2026, 12, 8, 13, 5, 9), QLocale("ar_EG")).startsWith("8/"));
}

TEST(FormatElapsed, LongTimeFormatWithoutZone) {
    EXPECT_EQ(FormatElapsed(65'000, QLocale::c()), "00:01:05");
    EXPECT_EQ(FormatElapsed(65'000, QLocale("de_DE")), "00:01:05");
    // A 12-hour locale keeps its AM/PM field.
    EXPECT_EQ(FormatElapsed(65'000, kEnglish), "12:01:05 AM");
    EXPECT_EQ(FormatElapsed(3 * 3'600'000 + 65'000, QLocale("de_DE")), "03:01:05");
    // "H.mm.ss" and a quoted suffix.
    EXPECT_EQ(FormatElapsed(65'000, QLocale("fi_FI")), "0.01.05");
    EXPECT_EQ(FormatElapsed(65'400, QLocale("bg_BG")), QString::fromUtf8("0:01:05 ч."));
}

TEST(FormatElapsed, OddDurations) {
    EXPECT_EQ(FormatElapsed(-5'000, QLocale("de_DE")), "00:00:00");
    // A day or more is not folded back into a small time.
    EXPECT_EQ(FormatElapsed(25 * 3'600'000LL + 65'000, QLocale("de_DE")), "25:01:05");
    EXPECT_EQ(FormatElapsed(100 * 3'600'000LL, QLocale::c()), "100:00:00");
}

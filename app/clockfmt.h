// Formatting of the status bar clock and of elapsed times; pure functions of
// their inputs so they can be tested with fixed instants and locales.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// "d/mmm,yyyy AM/PMhh:mm:ss" with the locale's date and time separators and
// abbreviated month names, e.g. "8/Dec,2026 PM01:05:09".
QString FormatClock(const QDateTime& now, const QLocale& locale);

// Elapsed milliseconds shown as a time of day in the locale's long time format
// (65 s reads "0:01:05" under an H:mm:ss format).
QString FormatElapsed(qint64 elapsedMs, const QLocale& locale);

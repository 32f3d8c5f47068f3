#include "clockfmt.h"

#include <QTime>

namespace {

// The first separator character of a locale's date or time pattern: skips the
// field letters, digits, blanks, quotes and direction marks (some locales put
// right-to-left marks beside their separators).
QChar FirstSeparator(const QString& pattern, QChar fallback) {
    bool quoted = false;
    for (QChar c : pattern) {
        if (c == u'\'') {
            quoted = !quoted;
            continue;
        }
        if (quoted || c.isLetterOrNumber() || c.isSpace() || c.category() == QChar::Other_Format)
            continue;
        return c;
    }
    return fallback;
}

QString TwoDigits(int value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

}  // namespace

QString FormatClock(const QDateTime& now, const QLocale& locale) {
    const QDate date = now.date();
    const QTime time = now.time();
    const QChar dateSep = FirstSeparator(locale.dateFormat(QLocale::ShortFormat), u'/');
    const QChar timeSep = FirstSeparator(locale.timeFormat(QLocale::ShortFormat), u':');
    // The stand-alone form is the plain abbreviation ("Dez", not "Dez.").
    const QString month = locale.standaloneMonthName(date.month(), QLocale::ShortFormat);
    const int hour12 = time.hour() % 12 == 0 ? 12 : time.hour() % 12;

    QString text;
    text += QString::number(date.day());
    text += dateSep;
    text += month;
    text += u',';
    text += QStringLiteral("%1").arg(date.year(), 4, 10, QLatin1Char('0'));
    text += u' ';
    text += time.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM");
    text += TwoDigits(hour12);
    text += timeSep;
    text += TwoDigits(time.minute());
    text += timeSep;
    text += TwoDigits(time.second());
    return text;
}

namespace {

// The locale's long time pattern made fit for a duration: time-zone fields go
// (a duration has no zone, and they would print the machine's zone), and the
// blanks they leave behind with them. AM/PM fields stay when the locale uses
// them: the duration then reads like a 12-hour time of day, as the locale's
// users are used to. A 24-hour field gets the whole number of hours, so a
// duration of a day or more does not wrap round to a small time.
QString DurationPattern(const QString& longTime, qint64 totalHours) {
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < longTime.size();) {
        const QChar c = longTime[i];
        if (c == u'\'') {
            quoted = !quoted;
            out += c;
            ++i;
            continue;
        }
        qsizetype run = 1;
        while (i + run < longTime.size() && longTime[i + run] == c) ++run;
        if (!quoted && c == u't') {
            while (out.endsWith(u' ')) out.chop(1);
        } else if (!quoted && c == u'H' && totalHours >= 24) {
            QString hours = QString::number(totalHours);
            if (run >= 2 && hours.size() < 2) hours.prepend(u'0');
            out += u'\'' + hours + u'\'';
        } else {
            out += QString(run, c);
        }
        i += run;
    }
    return out.trimmed();
}

}  // namespace

QString FormatElapsed(qint64 elapsedMs, const QLocale& locale) {
    if (elapsedMs < 0) elapsedMs = 0;  // a clock set back while a command ran
    const qint64 totalHours = elapsedMs / 3'600'000;
    const QString pattern = DurationPattern(locale.timeFormat(QLocale::LongFormat), totalHours);
    const QTime time = QTime(0, 0).addMSecs(static_cast<int>(elapsedMs % 86'400'000));
    return locale.toString(time, pattern);
}

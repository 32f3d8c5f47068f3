#include "import.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

#include "cardlist.h"
#include "dbengine.h"
#include "guards.h"
#include "mainhost.h"
#include "pgbar.h"
#include "prompts.h"

namespace {

// Opens the source on the statement of the first table it has; a file with
// both tables is a card batch.
ImportKind OpenSource(TDbQuery& source) {
    try {
        source.SQLClear();
        source.SQLAdd("select * from card order by cardno");
        source.Open();
        return ImportKind::CardBatch;
    } catch (const std::exception&) {
    }
    try {
        source.SQLClear();
        source.SQLAdd("select * from cardlist order by cardno");
        source.Open();
        return ImportKind::CardList;
    } catch (const std::exception&) {
    }
    return ImportKind::None;
}

[[noreturn]] void NotAnInteger(const std::string& text) {
    throw EDatabaseError("'" + text + "' is not a valid integer value");
}

// The source row's card number as a 32-bit integer; anything else (text that is
// no number, a fraction, a number out of range) is a conversion error, never a
// card with a wrapped-around number.
int CardNumber(TDbQuery& source) {
    const TField field = source.FieldByName("CARDNO");
    const TValue& value = field.Value();
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    if (const auto* n = std::get_if<std::int64_t>(&value)) {
        if (*n < lo || *n > hi) NotAnInteger(std::to_string(*n));
        return static_cast<int>(*n);
    }
    if (const auto* d = std::get_if<double>(&value)) {
        if (!(*d >= lo && *d <= hi) || std::floor(*d) != *d) NotAnInteger(field.AsString());
        return static_cast<int>(*d);
    }
    if (const auto* s = std::get_if<std::string>(&value)) {
        std::string_view text = *s;
        while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
        while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
        if (!text.empty() && text.front() == '+') text.remove_prefix(1);
        std::int32_t n = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
        if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size())
            NotAnInteger(*s);
        return n;
    }
    return field.AsInteger();  // null reads as 0
}

// Appends the card with the source row's fields.
bool StoreCard(TDbQuery& list, TDbQuery& source, ImportKind kind, int number) {
    return AppendCard(list, number, [&] {
        if (kind == ImportKind::CardBatch) {
            list.FieldByName("descx").SetAsString("");
            list.FieldByName("granted").SetAsBoolean(false);
        } else {
            const TField name = source.FieldByName("descx");
            if (name.IsNull())
                list.FieldByName("descx").SetNull();
            else
                list.FieldByName("descx").SetAsString(name.AsString());
            // The flag cannot be null in the list: a null one takes its default.
            const TField granted = source.FieldByName("granted");
            if (!granted.IsNull()) list.FieldByName("granted").SetAsBoolean(granted.AsBoolean());
        }
    });
}

}  // namespace

QString ImportSummary(ImportKind kind, int count, int before, int added, int total) {
    const QString first = kind == ImportKind::CardBatch
                              ? QStringLiteral("Number of purchased card = ")
                              : QStringLiteral("Cards to be merged = ");
    return first + QString::number(count) + "\r\n" +
           "Cards in database before adding = " + QString::number(before) + "\r\n" +
           "New card added = " + QString::number(added) + "\r\n" +
           "Total cards in database now = " + QString::number(total);
}

bool AppendCard(TDbQuery& list, int number, const std::function<void()>& setFields) {
    try {
        list.Append();
        list.FieldByName("cardno").SetAsInteger(number);
        setFields();
        list.Post();
        return true;
    } catch (const std::exception& e) {
        try {
            list.Cancel();
        } catch (const std::exception&) {
        }
        const auto* failure = dynamic_cast<const EDatabaseError*>(&e);
        if (!failure || failure->Kind() != EDatabaseError::TKind::Row) throw;
        return false;
    }
}

bool LocateCard(IMainWindow& host, int number) {
    return host.CardList().Locate("cardno", TValue(std::in_place_type<std::int64_t>, number));
}

void ImportCards(IMainWindow& host, const std::string& path) {
    // Pending events run while the cards are stored: the list commands must
    // wait.
    TLongCommand busy(host);
    const QDateTime start = QDateTime::currentDateTime();
    std::optional<TWaitCursor> cursor(std::in_place);
    host.SetGridVisible(false);

    ImportKind kind = ImportKind::None;
    int count = 0;
    int before = 0;
    int added = 0;
    TDbQuery& list = host.CardList();
    auto source = std::make_unique<TDbQuery>("dbimport");
    std::unique_ptr<Tpbar> progress;
    std::exception_ptr failure;
    try {
        before = list.RecordCount();
        source->SetConnectionString(BuildConnectionString(path));
        kind = OpenSource(*source);
        if (kind == ImportKind::None) {
            ShowPlainMessage("Error opening input file: " + QFile::decodeName(path.c_str()));
        } else {
            count = source->RecordCount();
            progress = std::make_unique<Tpbar>(host.Window(),
                                               QStringLiteral("Loading Card Database"), count);
            TEventSlice events;
            for (source->First(); !source->Eof(); source->Next()) {
                events.Tick();
                const int number = CardNumber(*source);
                if (!LocateCard(host, number) && StoreCard(list, *source, kind, number)) ++added;
                progress->Advance();
            }
        }
    } catch (...) {
        failure = std::current_exception();
    }

    // The closing steps, in this order, however the import ended.
    if (progress) progress->Finish();
    host.RefreshCardList();
    cursor.reset();
    host.ShowElapsed(start);
    if (kind != ImportKind::None)
        ShowPlainMessage(ImportSummary(kind, count, before, added, list.RecordCount()));
    source.reset();
    host.SetGridVisible(true);
    host.ShowStatusText(QString());
    if (failure) std::rethrow_exception(failure);
}

// Whole card lists: Open's replacement of the working list, and the check of
// a list's card numbers.
#include <cmath>
#include <exception>
#include <limits>
#include <memory>

#include "backend.h"
#include "dbengine.h"
#include "snapshot.h"
#include "values.h"

// Row by row rather than by copying the other file's pages: the working
// store keeps its own history, and gets an entry for every card that
// changed.
void ReplaceCardList(const std::string& workingConnection, const std::string& sourceConnection,
                     const std::string& command) {
    const std::string from = "from " + ParseConnectionString(sourceConnection).dataSource;
    std::unique_ptr<TBackEnd> working;
    try {
        working = MakeBackEnd(workingConnection);
    } catch (const EDatabaseError& e) {
        // Nobody can be using a working file that does not open (missing,
        // damaged, another key); one that is only out of reach for now is
        // left alone. The copy carries the chosen file's history.
        if (e.Kind() == EDatabaseError::TKind::Storage) throw;
        CopyCardDatabase(sourceConnection, ParseConnectionString(workingConnection).dataSource);
        auto copy = MakeBackEnd(workingConnection);
        copy->AddHistoryEntry(command, "whole file " + from +
                                           " in place of one that could not be "
                                           "opened (" +
                                           e.what() + "); completed");
        return;
    }
    if (const std::string why = working->ReadOnlyReason(); !why.empty())
        throw EDatabaseError("The card list cannot be changed: " + why + ".",
                             EDatabaseError::TKind::Storage);
    working->SetCommand(command);
    int changed = 0;
    try {
        TSnapshot cards;
        MakeBackEnd(sourceConnection)->Read(ParseJetStatement("select * from cardlist"), cards);
        changed = working->ReplaceRows("cardlist", cards);
    } catch (const std::exception& e) {
        try {
            working->AddHistoryEntry(command,
                                     "0 card(s) changed " + from + "; failed: " + e.what());
        } catch (const std::exception&) {
        }
        throw;
    }
    working->AddHistoryEntry(command,
                             std::to_string(changed) + " card(s) changed " + from + "; completed");
}

std::optional<std::int32_t> WholeCardNumber(const TValue& value) {
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    if (const auto* n = std::get_if<std::int64_t>(&value)) {
        if (*n < lo || *n > hi) return std::nullopt;
        return static_cast<std::int32_t>(*n);
    }
    if (const auto* d = std::get_if<double>(&value)) {
        if (!(*d >= lo && *d <= hi) || std::floor(*d) != *d) return std::nullopt;
        return static_cast<std::int32_t>(*d);
    }
    if (const auto* s = std::get_if<std::string>(&value)) {
        std::int64_t n = 0;
        if (!ParseInt64(*s, n) || n < lo || n > hi) return std::nullopt;
        return static_cast<std::int32_t>(n);
    }
    return std::nullopt;
}

void CheckCardNumbers(const std::string& sourceConnection) {
    // The statement every back end reads, the Jet reader included.
    TSnapshot cards;
    MakeBackEnd(sourceConnection)->Read(ParseJetStatement("select * from cardlist"), cards);
    int column = -1;
    for (int c = 0; c < cards.Cols() && column < 0; ++c)
        if (EqualsNoCase(cards.defs[c].name, "cardno")) column = c;
    if (column < 0)
        throw EDatabaseError("The card database cannot be opened: it has no card numbers.");
    std::string bad;
    int count = 0;
    for (int r = 0; r < cards.Rows(); ++r) {
        const TValue& v = cards.At(r, column);
        if (WholeCardNumber(v)) continue;
        if (++count > 3) continue;
        if (count > 1) bad.append(", ");
        if (std::holds_alternative<std::monostate>(v)) {
            bad.append("(none)");
        } else {
            bad.append(1, '\'');
            bad.append(ValueText(v));
            bad.append(1, '\'');
        }
    }
    if (count == 0) return;
    if (count > 3) bad.append(", ...");
    throw EDatabaseError("The card database cannot be opened: " + std::to_string(count) +
                         (count == 1 ? " card number is" : " card numbers are") +
                         " not a whole number from -2147483648 to 2147483647 (" + bad + ").");
}

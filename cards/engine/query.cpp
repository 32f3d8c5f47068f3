// Queries: the cursor over a snapshot, the edit buffer, and the rules every
// post and delete follows whatever the back end (optimistic locking, text cut
// to its column). Fields read and write through their query.
#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "backend.h"
#include "collation.h"
#include "dbengine.h"
#include "jetsql.h"
#include "snapshot.h"
#include "values.h"

namespace {

const TValue kNull;

// Cuts text to at most n characters, never in the middle of a character.
void TruncateChars(std::string& s, int n) {
    s.resize(Utf8PrefixBytes(s, n));
}

// The message of an append whose key another row already holds.
const char* const kKeyTakenMessage =
    "The changes you requested to the table were not successful because they would create "
    "duplicate values in the index, primary key, or relationship.";

}  // namespace

// ==================================================================== query state

struct TDbQuery::Impl {
    std::string name;
    std::vector<std::string> sql;
    TDbConnection* shared = nullptr;
    std::unique_ptr<TDbConnection> own;

    TState state = TState::Inactive;
    bool updatable = false;
    TSnapshot snap;
    int cur = -1;
    bool eof = true;

    std::vector<TValue> buffer;  // values of the row being edited or inserted
    std::vector<bool> modified;
    int rowBeforeInsert = -1;

    TDbConnection* Connection() const { return own ? own.get() : shared; }
    TBackEnd& BackEnd() const {
        TBackEnd* backEnd = Connection() ? Connection()->BackEnd() : nullptr;
        if (!backEnd) Fail("Cannot perform this operation on a closed dataset");
        return *backEnd;
    }
    int Cols() const { return snap.Cols(); }
    const TValue& At(int row, int col) const { return snap.At(row, col); }
    TValue& At(int row, int col) { return snap.At(row, col); }

    [[noreturn]] void Fail(const std::string& what) const {
        throw EDatabaseError(name + ": " + what);
    }
    void CheckActive() const {
        if (state == TState::Inactive) Fail("Cannot perform this operation on a closed dataset");
    }
    void CheckWritable() const {
        if (!updatable) Fail("Cannot modify a read-only dataset");
    }
    const TValue& FieldValue(int col) const {
        CheckActive();
        if (state == TState::Edit || state == TState::Insert) return buffer[col];
        return cur >= 0 ? At(cur, col) : kNull;
    }
    void SetFieldValue(int col, TValue value) {
        CheckActive();
        if (state != TState::Edit && state != TState::Insert)
            Fail("Dataset not in edit or insert mode");
        buffer[col] = std::move(value);
        modified[col] = true;
    }
    // The current row as the back end is asked to change it: the table
    // columns this query reads, with the values it read.
    TRowWrite RowWrite(std::vector<int>& fieldOf) const {
        TRowWrite w;
        w.table = snap.table;
        for (int c = 0; c < Cols(); ++c) {
            if (snap.origins[c].empty()) continue;
            for (int k : snap.keyFields)
                if (k == c) w.key.push_back(static_cast<int>(w.columns.size()));
            w.columns.push_back(snap.origins[c]);
            fieldOf.push_back(c);
            if (state != TState::Insert) w.read.push_back(At(cur, c));
        }
        w.token = snap.Token(cur);
        return w;
    }
    // Runs one change of the store (true when a value changed), counted for
    // the running command's own history entry.
    template <typename Change>
    void Written(Change change) const {
        TDbConnection* conn = Connection();
        bool changed = false;
        try {
            changed = change();
        } catch (const std::exception& e) {
            if (conn) {
                ++conn->FActivity.failures;
                conn->FActivity.lastFailure = e.what();
            }
            throw;
        }
        if (conn && changed) ++conn->FActivity.changes;
    }
    void Clear() {
        snap.Clear();
        cur = -1;
        eof = true;
        buffer.clear();
        modified.clear();
    }
};

// ==================================================================== query

TDbQuery::TDbQuery(std::string name) : FImpl(std::make_unique<Impl>()) {
    FImpl->name = std::move(name);
}

TDbQuery::~TDbQuery() {
    // Views may already be gone; they need no news of the end.
    OnReset = nullptr;
    OnRowChanged = nullptr;
    OnCurrentChanged = nullptr;
    Close();
    if (FImpl->shared) FImpl->shared->Detach(this);
}

void TDbQuery::ConnectionGone() {
    FImpl->shared = nullptr;
}

const std::string& TDbQuery::Name() const {
    return FImpl->name;
}

TDbConnection* TDbQuery::Connection() const {
    return FImpl->Connection();
}

void TDbQuery::SetConnection(TDbConnection* connection) {
    Close();
    if (FImpl->shared) FImpl->shared->Detach(this);
    FImpl->own.reset();
    FImpl->shared = connection;
    if (connection) connection->Attach(this);
}

void TDbQuery::SetConnectionString(const std::string& text) {
    Close();
    if (FImpl->shared) FImpl->shared->Detach(this);
    FImpl->shared = nullptr;
    FImpl->own = std::make_unique<TDbConnection>();
    FImpl->own->SetConnectionString(text);
}

void TDbQuery::SQLClear() {
    FImpl->sql.clear();
}
void TDbQuery::SQLAdd(const std::string& line) {
    FImpl->sql.push_back(line);
}
const std::vector<std::string>& TDbQuery::SQLLines() const {
    return FImpl->sql;
}
std::string TDbQuery::SQLText() const {
    std::string text;
    for (const auto& line : FImpl->sql) text += line + "\n";
    return text;
}

void TDbQuery::Open() {
    Impl& d = *FImpl;
    if (d.state != TState::Inactive) return;
    TDbConnection* conn = d.Connection();
    if (!conn) d.Fail("Missing Connection or ConnectionString");
    conn->Connect();
    try {
        TBackEnd& backEnd = d.BackEnd();
        d.Clear();
        backEnd.Read(ParseJetStatement(SQLText()), d.snap);
        d.snap.Sort();
        d.updatable = !d.snap.table.empty() && backEnd.ReadOnlyReason().empty();
    } catch (...) {
        d.Clear();
        if (d.own) d.own->Disconnect();
        throw;
    }
    Opened();
}

// The snapshot is taken: browse it from its first row.
void TDbQuery::Opened() {
    Impl& d = *FImpl;
    d.state = TState::Browse;
    d.cur = d.snap.Rows() > 0 ? 0 : -1;
    d.eof = d.snap.Rows() == 0;
    if (OnReset) OnReset();
    if (OnCurrentChanged) OnCurrentChanged(d.cur);
}

void TDbQuery::Close() {
    Impl& d = *FImpl;
    const bool wasActive = d.state != TState::Inactive;
    d.state = TState::Inactive;
    d.Clear();
    if (d.own) d.own->Disconnect();
    if (wasActive) {
        if (OnReset) OnReset();
        if (OnCurrentChanged) OnCurrentChanged(-1);
    }
}

bool TDbQuery::Active() const {
    return FImpl->state != TState::Inactive;
}
TDbQuery::TState TDbQuery::State() const {
    return FImpl->state;
}
bool TDbQuery::ReadOnly() const {
    return !FImpl->updatable;
}

int TDbQuery::RecordCount() const {
    FImpl->CheckActive();
    return FImpl->snap.Rows();
}

int TDbQuery::RecNo() const {
    FImpl->CheckActive();
    return FImpl->cur + 1;
}

void TDbQuery::SetRecNo(int n) {
    Impl& d = *FImpl;
    d.CheckActive();
    if (n < 1 || n > d.snap.Rows()) d.Fail("Row " + std::to_string(n) + " does not exist");
    if (d.state != TState::Browse) Post();
    d.eof = false;
    if (d.cur != n - 1) {
        d.cur = n - 1;
        if (OnCurrentChanged) OnCurrentChanged(d.cur);
    }
}

void TDbQuery::First() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state != TState::Browse) Post();
    d.eof = d.snap.Rows() == 0;
    const int target = d.snap.Rows() > 0 ? 0 : -1;
    if (d.cur != target) {
        d.cur = target;
        if (OnCurrentChanged) OnCurrentChanged(d.cur);
    }
}

void TDbQuery::Next() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state != TState::Browse) Post();
    if (d.cur + 1 < d.snap.Rows()) {
        ++d.cur;
        if (OnCurrentChanged) OnCurrentChanged(d.cur);
    } else {
        d.eof = true;
    }
}

bool TDbQuery::Eof() const {
    FImpl->CheckActive();
    return FImpl->eof;
}

bool TDbQuery::Locate(const std::string& field, const TValue& value, unsigned options) {
    Impl& d = *FImpl;
    d.CheckActive();
    const int col = FieldIndex(field);
    if (col < 0) d.Fail("Field '" + field + "' not found");
    if (d.state != TState::Browse) Post();
    const bool partial = options & loPartialKey;
    const bool nocase = options & loCaseInsensitive;

    int found = -1;
    std::int64_t key = 0;
    const bool intKey = std::holds_alternative<std::int64_t>(value) ||
                        (std::holds_alternative<std::string>(value) &&
                         ParseInt64(std::get<std::string>(value), key));
    if (intKey && std::holds_alternative<std::int64_t>(value)) key = std::get<std::int64_t>(value);
    if (!partial && intKey && d.snap.defs[col].type == TFieldType::Integer) {
        found = d.snap.FindInteger(col, key);
    } else {
        const bool wantNull = std::holds_alternative<std::monostate>(value);
        const std::string text = ValueText(value);
        // Without regard to case, accents are ignored as well and the text is
        // compared in its search form; with regard to case, in one normal form.
        const std::u16string form = nocase ? SearchForm(text) : std::u16string();
        const std::string composed = nocase ? std::string() : ToNfc(text);
        auto matches = [&](std::string_view s) {
            if (nocase) return MatchesSearchForm(s, form, !partial);
            const bool ascii = std::all_of(
                s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
            const std::string other = ascii ? std::string() : ToNfc(s);
            const std::string_view cell = ascii ? s : std::string_view(other);
            return partial ? cell.starts_with(composed) : cell == composed;
        };
        std::unique_ptr<TCollator> collator;  // only when a second row matches
        std::string best;
        for (int r = 0; r < d.snap.Rows(); ++r) {
            const TValue& cell = d.At(r, col);
            const bool isNull = std::holds_alternative<std::monostate>(cell);
            if (wantNull || isNull) {
                if (wantNull && isNull && found < 0) found = r;
                continue;
            }
            const auto* num = std::get_if<std::int64_t>(&cell);
            if (!partial && num && intKey) {
                if (*num == key && found < 0) found = r;
                continue;
            }
            std::string converted;
            std::string_view s;
            if (auto p = std::get_if<std::string>(&cell)) {
                s = *p;
            } else {
                converted = ValueText(cell);
                s = converted;
            }
            if (!matches(s)) continue;
            // Several matches: the first in the order the list sorts the
            // column in; the earlier row on a tie.
            if (found >= 0) {
                if (!collator) collator = std::make_unique<TCollator>();
                if (collator->Compare(s, best) >= 0) continue;
            }
            found = r;
            best = std::string(s);
        }
    }
    if (found < 0) return false;
    d.eof = false;
    if (d.cur != found) {
        d.cur = found;
        if (OnCurrentChanged) OnCurrentChanged(d.cur);
    }
    return true;
}

int TDbQuery::FieldCount() const {
    return FImpl->Cols();
}
const TFieldDef& TDbQuery::FieldDef(int index) const {
    return FImpl->snap.defs.at(index);
}

int TDbQuery::FieldIndex(const std::string& name) const {
    for (int c = 0; c < FImpl->Cols(); ++c)
        if (EqualsNoCase(FImpl->snap.defs[c].name, name)) return c;
    return -1;
}

TField TDbQuery::FieldByName(const std::string& name) {
    FImpl->CheckActive();
    const int col = FieldIndex(name);
    if (col < 0) FImpl->Fail("Field '" + name + "' not found");
    return TField(*this, col);
}

const TValue& TDbQuery::Cell(int row, int column) const {
    const Impl& d = *FImpl;
    if (row < 0 || row >= d.snap.Rows() || column < 0 || column >= d.Cols()) return kNull;
    return d.At(row, column);
}

void TDbQuery::Append() {
    Impl& d = *FImpl;
    d.CheckActive();
    d.CheckWritable();
    if (d.state != TState::Browse) Post();
    const int cols = d.Cols();
    d.snap.AddEmptyRow();
    d.rowBeforeInsert = d.cur;
    d.cur = d.snap.Rows() - 1;
    d.eof = false;
    d.buffer.assign(cols, TValue());
    d.modified.assign(cols, false);
    d.state = TState::Insert;
    if (OnReset) OnReset();
    if (OnCurrentChanged) OnCurrentChanged(d.cur);
}

void TDbQuery::Edit() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state != TState::Browse) return;
    d.CheckWritable();
    if (d.cur < 0) d.Fail("Cannot perform this operation on an empty dataset");
    d.buffer.clear();
    for (int c = 0; c < d.Cols(); ++c) d.buffer.push_back(d.At(d.cur, c));
    d.modified.assign(d.Cols(), false);
    d.state = TState::Edit;
}

void TDbQuery::Post() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state == TState::Browse) return;
    TBackEnd& backEnd = d.BackEnd();
    const int cols = d.Cols();

    // Text longer than its column is cut silently, counted in characters.
    for (int c = 0; c < cols; ++c)
        if (auto s = std::get_if<std::string>(&d.buffer[c]);
            s && d.snap.defs[c].type == TFieldType::Text && d.snap.defs[c].size > 0)
            TruncateChars(*s, d.snap.defs[c].size);

    bool anyChange = false;
    for (int c = 0; c < cols; ++c)
        if (d.modified[c]) {
            if (d.snap.origins[c].empty())
                d.Fail("Field '" + d.snap.defs[c].name + "' cannot be modified");
            anyChange = true;
        }

    const bool inserted = d.state == TState::Insert;
    if (anyChange || inserted) {
        std::vector<int> fieldOf;
        TRowWrite row = d.RowWrite(fieldOf);
        for (int c : fieldOf) {
            row.values.push_back(d.buffer[c]);
            row.written.push_back(d.modified[c]);
        }
        std::vector<TValue> stored;
        d.Written([&] {
            if (inserted) {
                if (!backEnd.Append(row, stored))
                    throw EDatabaseError(kKeyTakenMessage, EDatabaseError::TKind::Row);
                return true;
            }
            if (!backEnd.Update(row, stored))
                throw EDatabaseError(kRowChangedMessage, EDatabaseError::TKind::Row);
            // A card written with the values it had is no change.
            return stored != row.read;
        });
        // The snapshot holds what the store holds (defaults, conversions).
        std::vector<TValue> values = d.buffer;
        for (size_t k = 0; k < fieldOf.size() && k < stored.size(); ++k)
            values[fieldOf[k]] = std::move(stored[k]);
        d.snap.StoreRow(d.cur, std::move(values), inserted);
        d.snap.SetToken(d.cur, row.token);
    }
    d.buffer.clear();
    d.modified.clear();
    d.state = TState::Browse;
    if (OnRowChanged) OnRowChanged(d.cur);
}

void TDbQuery::Cancel() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state == TState::Browse) return;
    const bool inserted = d.state == TState::Insert;
    d.state = TState::Browse;
    d.buffer.clear();
    d.modified.clear();
    if (inserted) {
        // The pending row is always the last one.
        d.snap.DropLastRow();
        d.cur = std::min(d.rowBeforeInsert, d.snap.Rows() - 1);
        if (d.cur < 0 && d.snap.Rows() > 0) d.cur = 0;
        d.eof = d.snap.Rows() == 0;
        if (OnReset) OnReset();
        if (OnCurrentChanged) OnCurrentChanged(d.cur);
    }
}

void TDbQuery::Delete() {
    Impl& d = *FImpl;
    d.CheckActive();
    if (d.state == TState::Insert) {
        Cancel();  // the pending row is not in the store yet
        return;
    }
    if (d.state == TState::Edit) Cancel();
    d.CheckWritable();
    if (d.cur < 0) d.Fail("Cannot perform this operation on an empty dataset");
    std::vector<int> fieldOf;
    TBackEnd& backEnd = d.BackEnd();
    d.Written([&] {
        if (!backEnd.Delete(d.RowWrite(fieldOf)))
            throw EDatabaseError(kRowChangedMessage, EDatabaseError::TKind::Row);
        return true;
    });

    d.snap.EraseRow(d.cur);
    // The next row becomes current; after the last row the list is at its end.
    if (d.cur >= d.snap.Rows()) {
        d.cur = d.snap.Rows() - 1;
        d.eof = true;
    }
    if (OnReset) OnReset();
    if (OnCurrentChanged) OnCurrentChanged(d.cur);
}

bool TDbQuery::RefreshRows(const std::vector<std::int64_t>& keys) {
    Impl& d = *FImpl;
    if (d.state != TState::Browse || d.snap.keyFields.size() != 1) return false;
    const int keyCol = d.snap.keyFields[0];
    if (d.snap.defs[keyCol].type != TFieldType::Integer) return false;
    TSnapshot fresh;
    if (!d.BackEnd().ReadKeys(ParseJetStatement(SQLText()), d.snap.defs[keyCol].name, keys,
                              fresh) ||
        fresh.Cols() != d.Cols())
        return false;
    auto keyOf = [keyCol](const TSnapshot& snap, int row) -> std::optional<std::int64_t> {
        if (auto p = std::get_if<std::int64_t>(&snap.At(row, keyCol))) return *p;
        return std::nullopt;
    };
    const std::optional<std::int64_t> current = d.cur >= 0 ? keyOf(d.snap, d.cur) : std::nullopt;
    std::vector<std::int64_t> wanted = keys;
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    bool reshaped = false;
    std::vector<int> changed;
    for (const std::int64_t key : wanted) {
        int from = -1;
        for (int r = 0; r < fresh.Rows() && from < 0; ++r)
            if (keyOf(fresh, r) == key) from = r;
        const int row = d.snap.FindInteger(keyCol, key);
        if (from >= 0) {
            std::vector<TValue> values;
            for (int c = 0; c < d.Cols(); ++c) values.push_back(std::move(fresh.At(from, c)));
            if (row >= 0) {
                d.snap.StoreRow(row, std::move(values), false);
                changed.push_back(row);
            } else {
                d.snap.AddEmptyRow();
                d.snap.StoreRow(d.snap.Rows() - 1, std::move(values), true);
                reshaped = true;
            }
        } else if (row >= 0) {
            d.snap.EraseRow(row);
            if (row < d.cur) --d.cur;
            reshaped = true;
        }
    }
    if (!reshaped) {
        for (int row : changed)
            if (OnRowChanged) OnRowChanged(row);
        return true;
    }
    const int stayed = current ? d.snap.FindInteger(keyCol, *current) : -1;
    d.cur = stayed >= 0 ? stayed : std::min(std::max(d.cur, 0), d.snap.Rows() - 1);
    d.eof = d.snap.Rows() == 0;
    if (OnReset) OnReset();
    if (OnCurrentChanged) OnCurrentChanged(d.cur);
    return true;
}

// ==================================================================== field

bool TField::IsNull() const {
    return std::holds_alternative<std::monostate>(Value());
}

const TValue& TField::Value() const {
    return FQuery.FImpl->FieldValue(FIndex);
}

int TField::AsInteger() const {
    const TValue& v = Value();
    if (auto p = std::get_if<std::int64_t>(&v)) return static_cast<int>(*p);
    if (auto p = std::get_if<double>(&v)) return static_cast<int>(*p);
    if (auto p = std::get_if<std::string>(&v)) {
        std::int64_t n = 0;
        if (!ParseInt64(*p, n)) throw EDatabaseError("'" + *p + "' is not a valid integer value");
        return static_cast<int>(n);
    }
    return 0;
}

bool TField::AsBoolean() const {
    const TValue& v = Value();
    if (auto p = std::get_if<std::int64_t>(&v)) return *p != 0;
    if (auto p = std::get_if<double>(&v)) return *p != 0;
    if (auto p = std::get_if<std::string>(&v)) {
        std::int64_t n = 0;
        if (ParseInt64(*p, n)) return n != 0;
        return EqualsNoCase(Trim(*p), "true") || EqualsNoCase(Trim(*p), "yes");
    }
    return false;
}

std::string TField::AsString() const {
    const TValue& v = Value();
    if (FQuery.FImpl->snap.defs[FIndex].type == TFieldType::Boolean &&
        !std::holds_alternative<std::monostate>(v))
        return AsBoolean() ? "True" : "False";
    return ValueText(v);
}

void TField::SetAsInteger(int value) {
    FQuery.FImpl->SetFieldValue(FIndex, TValue(std::in_place_type<std::int64_t>, value));
}
void TField::SetAsBoolean(bool value) {
    FQuery.FImpl->SetFieldValue(FIndex, TValue(std::in_place_type<std::int64_t>, value ? 1 : 0));
}
void TField::SetAsString(const std::string& value) {
    FQuery.FImpl->SetFieldValue(FIndex, TValue(std::in_place_type<std::string>, value));
}
void TField::SetNull() {
    FQuery.FImpl->SetFieldValue(FIndex, TValue());
}

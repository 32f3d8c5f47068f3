#include "server_backend.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <utility>

#include "collation.h"
#include "server_schema.h"
#include "server_session.h"
#include "values.h"

namespace {

using TKind = EDatabaseError::TKind;

// What a failure is about, from its SQLSTATE class.
TKind KindOf(const EServerError& e) {
    if (e.ConnectionLost()) return TKind::Storage;
    const std::string& state = e.SqlState();
    // Data exceptions and integrity violations concern the row's values.
    if (state.starts_with("22") || state.starts_with("23")) return TKind::Row;
    // Privileges, a read-only server, no space, input/output, the server
    // shutting down or out of resources: nothing can be written.
    if (state == "42501" || state == "25006" || state.starts_with("53") ||
        state.starts_with("57") || state.starts_with("58") || state.starts_with("08"))
        return TKind::Storage;
    return TKind::General;
}

// A table column as the server keeps it.
struct TColumn {
    std::string name;
    unsigned type = 0;
    int size = 0;    // varchar(n), char(n): n; 0 when unlimited
    int number = 0;  // attnum
    bool key = false;
};

TFieldType FieldType(unsigned type) {
    switch (type) {
        case kPgBool:
            return TFieldType::Boolean;
        case kPgInt2:
        case kPgInt4:
        case kPgInt8:
            return TFieldType::Integer;
        case kPgText:
        case kPgVarchar:
        case kPgBpchar:
            return TFieldType::Text;
        case kPgFloat4:
        case kPgFloat8:
        case kPgNumeric:
            return TFieldType::Float;
        default:
            return TFieldType::Other;
    }
}

int TextSize(unsigned type, int modifier) {
    return (type == kPgVarchar || type == kPgBpchar) && modifier > 4 ? modifier - 4 : 0;
}

// A table the program's Jet SQL names, as PostgreSQL names it: Jet's names
// ignore case, and PostgreSQL folds names that are not quoted to lower case.
std::string TableIdent(const std::string& name) {
    std::string lower = name;
    for (char& c : lower) c = AsciiLower(c);
    return PgQuoteIdent(lower);
}

// A value as the server sent it in text form.
TValue FromText(std::string_view text, unsigned type) {
    switch (FieldType(type)) {
        case TFieldType::Boolean:
            return TValue(std::in_place_type<std::int64_t>, text == "t" ? 1 : 0);
        case TFieldType::Integer: {
            std::int64_t n = 0;
            std::from_chars(text.data(), text.data() + text.size(), n);
            return TValue(std::in_place_type<std::int64_t>, n);
        }
        case TFieldType::Float: {
            double d = 0;
            std::from_chars(text.data(), text.data() + text.size(), d);
            return TValue(std::in_place_type<double>, d);
        }
        default:
            return TValue(std::in_place_type<std::string>, text);
    }
}

TValue Cell(const TPgResult& result, int row, int column) {
    if (result.IsNull(row, column)) return TValue();
    return FromText(result.Text(row, column), result.Type(column));
}

// A value as a parameter for a column of the type: a flag of any nonzero
// value is true, as in the card file.
TPgParam ToParam(const TValue& v, unsigned type) {
    if (std::holds_alternative<std::monostate>(v)) return std::nullopt;
    if (type == kPgBool) {
        if (const auto* n = std::get_if<std::int64_t>(&v)) return *n != 0 ? "true" : "false";
        if (const auto* d = std::get_if<double>(&v)) return *d != 0 ? "true" : "false";
    }
    return ValueText(v);
}

// COPY's text format: backslash escapes for the characters it uses.
void AppendCopyField(std::string& out, const TValue& v, unsigned type, int size) {
    const TPgParam text = ToParam(v, type);
    if (!text) {
        out += "\\N";
        return;
    }
    const std::string_view s = size > 0
                                   ? std::string_view(*text).substr(0, Utf8PrefixBytes(*text, size))
                                   : std::string_view(*text);
    for (const char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
}

class TServerBackEnd final : public TBackEnd {
  public:
    explicit TServerBackEnd(std::string uri) : FUri(std::move(uri)), FWhere(ServerLocation(FUri)) {
        Connect();
    }

    void Read(const TJetStatement& statement, TSnapshot& into) override;
    bool Update(TRowWrite& row, std::vector<TValue>& stored) override;
    bool Append(TRowWrite& row, std::vector<TValue>& stored) override;
    bool Delete(const TRowWrite& row) override;
    int ReplaceRows(const std::string& table, TSnapshot& source) override;
    std::string ReadOnlyReason() const override { return FReadOnly; }
    bool Renew() override;

    void SetCommand(const std::string& command) override {
        FCommand = command;
        FCommandSent = false;
    }
    void AddHistoryEntry(const std::string& command, const std::string& detail) override;
    std::vector<THistoryEntry> ReadHistory(const THistoryQuery& query) override;
    std::int64_t ExpireHistory(int days) override;
    int NoticeDescriptor() const override {
        return FSession && FSession->Usable() ? FSession->Socket() : -1;
    }
    void ReadNotices(
        const std::function<void(const std::string& table, const std::vector<std::int64_t>& keys)>&
            changed) override;
    bool ReadKeys(const TJetStatement& statement, const std::string& keyField,
                  const std::vector<std::int64_t>& keys, TSnapshot& into) override;

  private:
    void Connect();
    // What the session's role may do on this server.
    void CheckAccess();
    // The session, replaced by a new one when the old one is gone.
    TPgSession& Session();
    // Runs a statement; one that only reads is run once more on a new
    // session when the session broke under it.
    TPgResult Run(const std::string& sql, const std::vector<TPgParam>& params, bool reads,
                  bool prepared);
    [[noreturn]] void Raise(const EServerError& e) const;
    // Names the running command in the session, for the history trigger:
    // once per command and session, before its first change.
    void SendCommand();
    // Whether the card list has its history objects (an older one has not).
    bool HasHistory();
    const std::vector<TColumn>& Columns(const std::string& table);
    unsigned TypeOf(const std::string& table, const std::string& column);
    // "col"=$n for the key columns, "col" IS NOT DISTINCT FROM $n for the
    // others: the row holds every value read.
    std::string RowCondition(const TRowWrite& row, std::vector<TPgParam>& params);
    std::string ColumnList(const TRowWrite& row) const;
    bool StoredRow(const TPgResult& result, std::vector<TValue>& stored) const;
    // The result's fields and rows into the snapshot.
    void Fill(const TPgResult& result, TSnapshot& into) const;

    std::string FUri;
    std::string FWhere;  // for messages: the server, never a password
    std::unique_ptr<TPgSession> FSession;
    std::map<std::string, std::vector<TColumn>> FTables;
    std::string FReadOnly;
    bool FMissed = false;  // a new session replaced one: commits may have gone unannounced
    std::string FCommand;
    bool FCommandSent = false;
    int FHasHistory = -1;  // unknown, no, yes
};

void TServerBackEnd::Connect() {
    try {
        FSession = std::make_unique<TPgSession>(FUri);
        FSession->Exec("LISTEN " + PgQuoteIdent(kCardListChannel));
        CheckAccess();
    } catch (const EPasswordNeeded&) {
        FSession.reset();
        throw EPasswordNeeded("The " + FWhere + " asks for a password.", TKind::Storage);
    } catch (const EServerError& e) {
        FSession.reset();
        throw EDatabaseError("Cannot reach the card list on the " + FWhere + ": " + e.what(),
                             TKind::Storage);
    }
}

void TServerBackEnd::CheckAccess() {
    // A role that may not change cards, or a standby server, makes the list
    // read-only; a missing table shows when the list is read.
    const TPgResult r = FSession->Exec(
        "SELECT CASE WHEN to_regclass('cardlist') IS NULL THEN true ELSE "
        "has_table_privilege('cardlist', 'INSERT') AND "
        "has_table_privilege('cardlist', 'UPDATE') AND "
        "has_table_privilege('cardlist', 'DELETE') END, "
        "pg_is_in_recovery(), current_user, current_setting('transaction_read_only')");
    FReadOnly.clear();
    if (r.Text(0, 1) == "t")
        FReadOnly = "the server is a read-only standby";
    else if (r.Text(0, 0) != "t")
        FReadOnly = "the server role " + std::string(r.Text(0, 2)) + " may only read the card list";
    else if (r.Text(0, 3) == "on")
        FReadOnly = "the server's sessions are read-only";
}

// A new session costs a server process and its cold caches, most of a small
// list's refresh: the session goes on, and all a new one would learn is
// learnt again. Notices so far are dropped, as a new session never gets
// them: the refresh reads every card.
bool TServerBackEnd::Renew() {
    if (!FSession || !FSession->Alive() || !FSession->Idle()) return false;
    try {
        CheckAccess();
    } catch (const EServerError&) {
        return false;
    }
    FSession->TakeNotifications(kCardListChannel);
    FMissed = false;
    FTables.clear();
    FHasHistory = -1;
    return true;
}

TPgSession& TServerBackEnd::Session() {
    if (!FSession || !FSession->Alive()) {
        FSession.reset();
        Connect();
        FMissed = true;
        FTables.clear();
        FCommandSent = false;
    }
    return *FSession;
}

void TServerBackEnd::SendCommand() {
    TPgSession& session = Session();
    if (FCommandSent) return;
    try {
        session.ExecPrepared("SELECT set_config('lorvane.command', $1, false)", {FCommand});
    } catch (const EServerError& e) {
        Raise(e);
    }
    FCommandSent = true;
}

bool TServerBackEnd::HasHistory() {
    if (FHasHistory < 0)
        FHasHistory = Run("SELECT to_regclass('history') IS NOT NULL AND "
                          "to_regprocedure('lorvane_add_history(text,text)') IS NOT NULL",
                          {}, true, false)
                                  .Text(0, 0) == "t"
                          ? 1
                          : 0;
    return FHasHistory == 1;
}

void TServerBackEnd::AddHistoryEntry(const std::string& command, const std::string& detail) {
    if (!HasHistory()) return;
    Run("SELECT lorvane_add_history($1, $2)", {command, detail}, false, true);
}

std::vector<THistoryEntry> TServerBackEnd::ReadHistory(const THistoryQuery& query) {
    std::vector<THistoryEntry> entries;
    if (!HasHistory()) return entries;
    std::vector<TPgParam> params{
        query.beforeId > 0 ? std::to_string(query.beforeId) : std::to_string(INT64_MAX),
        std::to_string(std::max(query.limit, 1))};
    std::string sql =
        "SELECT id, to_char(at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), who, "
        "command, cardno, before, after, detail FROM history WHERE id < $1::bigint";
    if (query.card) {
        params.push_back(std::to_string(*query.card));
        sql += " AND cardno = $" + std::to_string(params.size()) + "::bigint";
    }
    if (!query.text.empty()) {
        // The text as it is: its wildcard characters match themselves.
        std::string pattern = "%";
        for (const char c : query.text) {
            if (c == '%' || c == '_' || c == '\\') pattern += '\\';
            pattern += c;
        }
        params.push_back(pattern + "%");
        sql += " AND concat_ws(' ', who, command, before, after, detail) ILIKE $" +
               std::to_string(params.size());
    }
    sql += " ORDER BY id DESC LIMIT $2::integer";
    const TPgResult r = Run(sql, params, true, true);
    for (int i = 0; i < r.Rows(); ++i) {
        THistoryEntry e;
        ParseInt64(r.Text(i, 0), e.id);
        e.time = r.Text(i, 1);
        e.user = r.Text(i, 2);
        e.command = r.Text(i, 3);
        std::int64_t card = 0;
        if (!r.IsNull(i, 4) && ParseInt64(r.Text(i, 4), card)) e.card = card;
        if (!r.IsNull(i, 5)) e.before = std::string(r.Text(i, 5));
        if (!r.IsNull(i, 6)) e.after = std::string(r.Text(i, 6));
        if (!r.IsNull(i, 7)) e.detail = r.Text(i, 7);
        entries.push_back(std::move(e));
    }
    return entries;
}

// The server's own retention, whatever the program's setting says: an
// operator's setting must not remove what the administrator keeps.
std::int64_t TServerBackEnd::ExpireHistory(int) {
    if (!HasHistory()) return 0;
    std::int64_t removed = 0;
    ParseInt64(Run("SELECT lorvane_expire_history()", {}, false, false).Text(0, 0), removed);
    return removed;
}

void TServerBackEnd::Raise(const EServerError& e) const {
    throw EDatabaseError(e.what(), KindOf(e));
}

TPgResult TServerBackEnd::Run(const std::string& sql, const std::vector<TPgParam>& params,
                              bool reads, bool prepared) {
    for (int attempt = 0;; ++attempt) {
        TPgSession& session = Session();
        try {
            return prepared ? session.ExecPrepared(sql, params) : session.Exec(sql, params);
        } catch (const EServerError& e) {
            if (!(reads && e.ConnectionLost() && attempt == 0)) Raise(e);
        }
    }
}

const std::vector<TColumn>& TServerBackEnd::Columns(const std::string& table) {
    const std::string ident = TableIdent(table);
    auto found = FTables.find(ident);
    if (found != FTables.end()) return found->second;
    const TPgResult r =
        Run("SELECT a.attname, a.atttypid, a.atttypmod, a.attnum, "
            "COALESCE(a.attnum = ANY (i.indkey), false) "
            "FROM pg_attribute a LEFT JOIN pg_index i "
            "ON i.indrelid = a.attrelid AND i.indisprimary "
            "WHERE a.attrelid = to_regclass($1) AND a.attnum > 0 AND NOT a.attisdropped "
            "ORDER BY a.attnum",
            {ident}, true, true);
    std::vector<TColumn>& columns = FTables[ident];
    for (int i = 0; i < r.Rows(); ++i) {
        TColumn c;
        c.name = r.Text(i, 0);
        std::from_chars(r.Text(i, 1).data(), r.Text(i, 1).data() + r.Text(i, 1).size(), c.type);
        int modifier = 0;
        std::from_chars(r.Text(i, 2).data(), r.Text(i, 2).data() + r.Text(i, 2).size(), modifier);
        c.size = TextSize(c.type, modifier);
        std::from_chars(r.Text(i, 3).data(), r.Text(i, 3).data() + r.Text(i, 3).size(), c.number);
        c.key = r.Text(i, 4) == "t";
        columns.push_back(std::move(c));
    }
    return columns;
}

unsigned TServerBackEnd::TypeOf(const std::string& table, const std::string& column) {
    for (const TColumn& c : Columns(table))
        if (EqualsNoCase(c.name, column)) return c.type;
    return 0;
}

void TServerBackEnd::Fill(const TPgResult& result, TSnapshot& into) const {
    const int cols = result.Columns();
    into.defs.reserve(cols);
    for (int c = 0; c < cols; ++c) {
        TFieldDef def;
        def.name = result.Name(c);
        def.type = FieldType(result.Type(c));
        def.size = TextSize(result.Type(c), result.Modifier(c));
        into.defs.push_back(std::move(def));
    }
    const int rows = result.Rows();
    for (int i = 0; i < rows; ++i) {
        for (int c = 0; c < cols; ++c) into.AddCell(Cell(result, i, c));
        into.EndRow(0);
    }
}

void TServerBackEnd::Read(const TJetStatement& statement, TSnapshot& into) {
    // PostgreSQL knows true and false. The order is the engine's, in the
    // program's collation, whenever the order by list names only columns.
    // Also by the card number: a table scan and a sort in memory take a
    // third of the time of the server's walk along its index, whose rows lie
    // all over the table once cards have been changed.
    TSqlForm form;
    TSqlForm unsorted = form;
    unsorted.withoutOrderBy = true;
    const bool inMemory = !statement.sortColumns.empty();
    TPgResult r = Run(RenderSql(statement, inMemory ? unsorted : form), {}, true, false);
    if (inMemory) {
        std::vector<std::string> names;
        for (int c = 0; c < r.Columns(); ++c) names.emplace_back(r.Name(c));
        into.sortPlan = MatchSortPlan(statement.sortColumns, names, names);
        // Not a column of the result: the server sorts (or names the fault).
        if (into.sortPlan.empty()) r = Run(RenderSql(statement, form), {}, true, false);
    }
    Fill(r, into);

    const int cols = r.Columns();
    const std::vector<TColumn>* table =
        statement.table.empty() ? nullptr : &Columns(statement.table);
    for (int c = 0; c < cols; ++c) {
        // The table column behind the field, by its number in the table.
        std::string origin;
        if (table && r.Table(c) != 0)
            for (const TColumn& column : *table)
                if (column.number == r.TableColumn(c)) origin = column.name;
        into.origins.push_back(std::move(origin));
    }
    if (!table) return;
    // Rows are found by the primary key: writable only when the statement
    // reads every key column.
    std::vector<int> key;
    bool whole = true;
    for (const TColumn& column : *table) {
        if (!column.key) continue;
        int found = -1;
        for (int c = 0; c < cols && found < 0; ++c)
            if (into.origins[c] == column.name) found = c;
        whole = whole && found >= 0;
        key.push_back(found);
    }
    if (whole && !key.empty()) {
        into.table = statement.table;
        into.keyFields = std::move(key);
    }
}

bool TServerBackEnd::ReadKeys(const TJetStatement& statement, const std::string& keyField,
                              const std::vector<std::int64_t>& keys, TSnapshot& into) {
    // The statement as it stands, narrowed to the rows of the keys.
    TSqlForm form;
    form.withoutOrderBy = true;
    std::string list = "{";
    for (const std::int64_t key : keys) {
        if (list.size() > 1) list += ',';
        list += std::to_string(key);
    }
    list += '}';
    Fill(Run("SELECT * FROM (" + RenderSql(statement, form) + ") AS lorvane_rows WHERE " +
                 PgQuoteIdent(keyField) + " = ANY ($1::bigint[])",
             {list}, true, false),
         into);
    return true;
}

std::string TServerBackEnd::RowCondition(const TRowWrite& row, std::vector<TPgParam>& params) {
    std::string sql;
    for (size_t k = 0; k < row.columns.size(); ++k) {
        const bool key =
            std::find(row.key.begin(), row.key.end(), static_cast<int>(k)) != row.key.end();
        params.push_back(ToParam(row.read[k], TypeOf(row.table, row.columns[k])));
        sql += sql.empty() ? " WHERE " : " AND ";
        sql += PgQuoteIdent(row.columns[k]) + (key ? " = $" : " IS NOT DISTINCT FROM $") +
               std::to_string(params.size());
    }
    return sql;
}

std::string TServerBackEnd::ColumnList(const TRowWrite& row) const {
    std::string list;
    for (const std::string& column : row.columns)
        list += (list.empty() ? "" : ", ") + PgQuoteIdent(column);
    return list;
}

bool TServerBackEnd::StoredRow(const TPgResult& result, std::vector<TValue>& stored) const {
    if (result.Rows() == 0) return false;
    for (int c = 0; c < result.Columns(); ++c) stored.push_back(Cell(result, 0, c));
    return true;
}

bool TServerBackEnd::Update(TRowWrite& row, std::vector<TValue>& stored) {
    if (row.key.empty()) throw EDatabaseError("The rows of " + row.table + " have no key.");
    std::vector<TPgParam> params;
    std::string set;
    for (size_t k = 0; k < row.columns.size(); ++k) {
        if (!row.written[k]) continue;
        params.push_back(ToParam(row.values[k], TypeOf(row.table, row.columns[k])));
        set += (set.empty() ? " SET " : ", ") + PgQuoteIdent(row.columns[k]) + " = $" +
               std::to_string(params.size());
    }
    const std::string returning = " RETURNING " + ColumnList(row);
    if (set.empty()) {
        // Nothing to write: the row as it is, if it still holds what was read.
        return StoredRow(Run("SELECT " + ColumnList(row) + " FROM " + TableIdent(row.table) +
                                 RowCondition(row, params),
                             params, true, true),
                         stored);
    }
    const std::string sql =
        "UPDATE " + TableIdent(row.table) + set + RowCondition(row, params) + returning;
    SendCommand();
    return StoredRow(Run(sql, params, false, true), stored);
}

bool TServerBackEnd::Append(TRowWrite& row, std::vector<TValue>& stored) {
    std::vector<TPgParam> params;
    std::string names, marks;
    for (size_t k = 0; k < row.columns.size(); ++k) {
        if (!row.written[k]) continue;
        params.push_back(ToParam(row.values[k], TypeOf(row.table, row.columns[k])));
        names += (names.empty() ? "" : ", ") + PgQuoteIdent(row.columns[k]);
        marks += (marks.empty() ? "$" : ", $") + std::to_string(params.size());
    }
    // A key another operator took meanwhile adds nothing and is no failure.
    const std::string sql =
        "INSERT INTO " + TableIdent(row.table) +
        (names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")") +
        " ON CONFLICT DO NOTHING RETURNING " + ColumnList(row);
    SendCommand();
    return StoredRow(Run(sql, params, false, true), stored);
}

bool TServerBackEnd::Delete(const TRowWrite& row) {
    if (row.key.empty()) throw EDatabaseError("The rows of " + row.table + " have no key.");
    std::vector<TPgParam> params;
    const std::string sql = "DELETE FROM " + TableIdent(row.table) + RowCondition(row, params);
    SendCommand();
    return Run(sql, params, false, true).Affected() > 0;
}

// The source goes into a temporary table first; then only what differs is
// written (rows gone deleted, rows changed updated, new rows inserted), so
// that the history records each card that changed, with its values before
// and after. All in one transaction.
int TServerBackEnd::ReplaceRows(const std::string& table, TSnapshot& source) {
    FTables.erase(TableIdent(table));
    // The source's columns that the table has, each cut to the table's size.
    std::vector<int> fields;
    std::vector<const TColumn*> targets;
    std::string names, sets, differs, keyMatch;
    int keys = 0, keysRead = 0;
    for (const TColumn& c : Columns(table)) {
        keys += c.key ? 1 : 0;
        for (int f = 0; f < source.Cols(); ++f) {
            if (!EqualsNoCase(source.defs[f].name, c.name)) continue;
            const std::string q = PgQuoteIdent(c.name);
            fields.push_back(f);
            targets.push_back(&c);
            names += (names.empty() ? "" : ", ") + q;
            if (c.key) {
                ++keysRead;
                keyMatch += (keyMatch.empty() ? "" : " AND ") + ("i." + q) + " = t." + q;
            } else {
                sets += (sets.empty() ? "" : ", ") + q + " = i." + q;
                differs +=
                    (differs.empty() ? "" : " OR ") + ("t." + q) + " IS DISTINCT FROM i." + q;
            }
            break;
        }
    }
    if (fields.empty()) throw EDatabaseError("The card list has no column of table " + table + ".");
    const bool keyed = keys > 0 && keysRead == keys;
    const std::string target = TableIdent(table);
    TPgSession& session = Session();
    SendCommand();
    int changed = 0;
    try {
        session.Exec("BEGIN");
        session.Exec("CREATE TEMP TABLE lorvane_incoming (LIKE " + target +
                     " INCLUDING DEFAULTS) ON COMMIT DROP");
        int next = 0;
        session.CopyIn("COPY lorvane_incoming (" + names + ") FROM STDIN",
                       [&](std::string& buffer) {
                           for (; next < source.Rows() && buffer.size() < (1u << 20); ++next) {
                               for (size_t k = 0; k < fields.size(); ++k) {
                                   if (k) buffer += '\t';
                                   AppendCopyField(buffer, source.At(next, fields[k]),
                                                   targets[k]->type, targets[k]->size);
                               }
                               buffer += '\n';
                           }
                           return next < source.Rows();
                       });
        // Others see the old rows until the commit, then the new ones.
        if (keyed) {
            changed += session
                           .Exec("DELETE FROM " + target +
                                 " t WHERE NOT EXISTS (SELECT 1 FROM "
                                 "lorvane_incoming i WHERE " +
                                 keyMatch + ")")
                           .Affected();
            if (!sets.empty())
                changed += session
                               .Exec("UPDATE " + target + " t SET " + sets +
                                     " FROM lorvane_incoming i WHERE " + keyMatch + " AND (" +
                                     differs + ")")
                               .Affected();
            changed += session
                           .Exec("INSERT INTO " + target + " (" + names + ") SELECT " + names +
                                 " FROM lorvane_incoming i WHERE NOT EXISTS (SELECT 1 FROM " +
                                 target + " t WHERE " + keyMatch + ")")
                           .Affected();
        } else {
            changed += session.Exec("DELETE FROM " + target).Affected();
            changed += session
                           .Exec("INSERT INTO " + target + " (" + names + ") SELECT " + names +
                                 " FROM lorvane_incoming")
                           .Affected();
        }
        session.Exec("COMMIT");
    } catch (const EServerError& e) {
        try {
            if (session.Usable()) session.Exec("ROLLBACK");
        } catch (const EServerError&) {
        }
        Raise(e);
    }
    return changed;
}

void TServerBackEnd::ReadNotices(
    const std::function<void(const std::string& table, const std::vector<std::int64_t>& keys)>&
        changed) {
    // After a new session, or a statement that changed too many cards to
    // name: any card may have changed.
    bool all = std::exchange(FMissed, false);
    std::vector<std::int64_t> keys;
    if (FSession && FSession->Usable()) {
        for (const std::string& payload : FSession->TakeNotifications(kCardListChannel)) {
            if (payload == "*") all = true;
            for (size_t at = 0; !all && at < payload.size();) {
                size_t comma = payload.find(',', at);
                if (comma == std::string::npos) comma = payload.size();
                std::int64_t key = 0;
                if (ParseInt64(std::string_view(payload).substr(at, comma - at), key))
                    keys.push_back(key);
                else
                    all = true;
                at = comma + 1;
            }
        }
    }
    if (all)
        changed("cardlist", {});
    else if (!keys.empty())
        changed("cardlist", keys);
}

}  // namespace

std::unique_ptr<TBackEnd> OpenServer(const std::string& uri) {
    return std::make_unique<TServerBackEnd>(uri);
}

// The history table of a card database file, its triggers, reading and the
// retention.
#include "file_history.h"

#include <pwd.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "collation.h"
#include "sqlitehandles.h"
#include "values.h"

namespace {

// UTC with milliseconds; the text order is the time order.
const char* const kNow = "strftime('%Y-%m-%dT%H:%M:%fZ','now')";

Stmt Prepare(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(raw);
        throw SqliteError(db, rc);
    }
    return Stmt(raw);
}

void Bind(sqlite3_stmt* st, int index, const std::string& text) {
    sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void Step(sqlite3* db, sqlite3_stmt* st) {
    const int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) throw SqliteError(db, rc);
}

bool HasTable(sqlite3* db, const char* name) {
    const Stmt st = Prepare(db, "SELECT 1 FROM main.sqlite_master WHERE type='table' AND name=?");
    sqlite3_bind_text(st.get(), 1, name, -1, SQLITE_STATIC);
    return sqlite3_step(st.get()) == SQLITE_ROW;
}

std::vector<std::string> ColumnsOf(sqlite3* db, const char* table) {
    std::vector<std::string> names;
    const Stmt st = Prepare(db, std::string("PRAGMA main.table_info(") + table + ")");
    while (sqlite3_step(st.get()) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 1));
        names.emplace_back(name ? name : "");
    }
    return names;
}

const std::pair<const char*, const char*> kShown[] = {
    {"descx", "name"}, {"grp", "group"}, {"granted", "granted"}};

bool HasColumn(const std::vector<std::string>& columns, const char* name) {
    return std::any_of(columns.begin(), columns.end(),
                       [&](const std::string& c) { return EqualsNoCase(c, name); });
}

// A card's values as the history shows them, from the row named `row` (OLD
// or NEW): "name='Anna'; group='HR'; granted=1", for the columns the table
// has; only those that differ between OLD and NEW when onlyChanged.
std::string ValuesExpression(const std::vector<std::string>& columns, const char* row,
                             bool onlyChanged) {
    std::string expr;
    for (const auto& [column, label] : kShown) {
        if (!HasColumn(columns, column)) continue;
        const std::string value =
            std::string("'") + label + "=' || quote(" + row + "." + column + ") || '; '";
        const std::string part = onlyChanged
                                     ? std::string("CASE WHEN OLD.") + column + " IS NOT NEW." +
                                           column + " THEN " + value + " ELSE '' END"
                                     : value;
        expr += (expr.empty() ? "" : " || ") + part;
    }
    // The separator after the last value goes; a value itself never ends in
    // one (it is quoted, a number or NULL).
    return expr.empty() ? "''" : "rtrim(" + expr + ", '; ')";
}

// Whether any of the columns differs between OLD and NEW.
std::string ChangedCondition(const std::vector<std::string>& columns) {
    std::string cond;
    for (const std::string& c : columns)
        cond += (cond.empty() ? "" : " OR ") + std::string("OLD.\"") + c + "\" IS NOT NEW.\"" + c +
                "\"";
    return cond.empty() ? "0" : cond;
}

// lorvane_contains(text..., needle): whether any text holds the needle, case
// and accents ignored. The needle's search form is kept with the statement.
bool AnyContains(int count, sqlite3_value** argv, const std::u16string& form) {
    const bool asciiNeedle =
        std::all_of(form.begin(), form.end(), [](char16_t c) { return c < 0x80; });
    for (int k = 0; k < count; ++k) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[k]));
        if (!text) continue;
        const std::string_view s(text, static_cast<size_t>(sqlite3_value_bytes(argv[k])));
        const bool ascii = std::all_of(s.begin(), s.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii && asciiNeedle) {
            // Most entries are plain ASCII: no conversion needed.
            if (std::search(s.begin(), s.end(), form.begin(), form.end(), [](char c, char16_t n) {
                    return static_cast<char16_t>(AsciiLower(c)) == n;
                }) != s.end())
                return true;
        } else if (!ascii && SearchForm(s).find(form) != std::u16string::npos) {
            return true;
        }
    }
    return false;
}

void Contains(sqlite3_context* call, int argc, sqlite3_value** argv) {
    if (argc < 1) return sqlite3_result_int(call, 0);
    const auto* form = static_cast<const std::u16string*>(sqlite3_get_auxdata(call, argc - 1));
    std::unique_ptr<std::u16string> made;
    if (!form) {
        const auto* needle = reinterpret_cast<const char*>(sqlite3_value_text(argv[argc - 1]));
        made = std::make_unique<std::u16string>(SearchForm(needle ? needle : ""));
        form = made.get();
    }
    sqlite3_result_int(call, AnyContains(argc - 1, argv, *form) ? 1 : 0);
    if (made)
        sqlite3_set_auxdata(call, argc - 1, made.release(),
                            [](void* p) { delete static_cast<std::u16string*>(p); });
}

void UserFunction(sqlite3_context* call, int, sqlite3_value**) {
    const auto* context = static_cast<const TFileHistoryContext*>(sqlite3_user_data(call));
    sqlite3_result_text(call, context->user.data(), static_cast<int>(context->user.size()),
                        SQLITE_TRANSIENT);
}

void CommandFunction(sqlite3_context* call, int, sqlite3_value**) {
    const auto* context = static_cast<const TFileHistoryContext*>(sqlite3_user_data(call));
    sqlite3_result_text(call, context->command.data(), static_cast<int>(context->command.size()),
                        SQLITE_TRANSIENT);
}

std::optional<std::string> TextOrNone(sqlite3_stmt* st, int col) {
    if (sqlite3_column_type(st, col) == SQLITE_NULL) return std::nullopt;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
    return std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(st, col)));
}

}  // namespace

std::string OperatingSystemUser() {
    if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_name && *user->pw_name)
        return user->pw_name;
    if (const char* name = std::getenv("USER"); name && *name) return name;
    return "uid " + std::to_string(::geteuid());
}

void RegisterHistorySearch(sqlite3* db) {
    sqlite3_create_function_v2(db, "lorvane_contains", -1, SQLITE_UTF8, nullptr, Contains, nullptr,
                               nullptr, nullptr);
}

bool InstallFileHistory(sqlite3* db, TFileHistoryContext& context) {
    if (context.installed) return true;
    if (!HasTable(db, "cardlist")) return false;
    if (!HasTable(db, "history") || !HasTable(db, "history_card") ||
        !HasTable(db, "history_mark")) {
        Exec(db, "BEGIN IMMEDIATE");
        try {
            Exec(db, kHistoryDdl);
            Exec(db, "COMMIT");
        } catch (...) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    sqlite3_create_function_v2(db, "lorvane_user", 0, SQLITE_UTF8, &context, UserFunction, nullptr,
                               nullptr, nullptr);
    sqlite3_create_function_v2(db, "lorvane_command", 0, SQLITE_UTF8, &context, CommandFunction,
                               nullptr, nullptr, nullptr);

    const std::vector<std::string> columns = ColumnsOf(db, "cardlist");
    const std::string head = std::string(
                                 "INSERT INTO history (at, who, command, cardno, before, "
                                 "after) VALUES (") +
                             kNow + ", lorvane_user(), lorvane_command(), ";
    auto trigger = [&](const char* event, const std::string& when, const std::string& values) {
        return std::string("CREATE TEMP TRIGGER IF NOT EXISTS lorvane_history_") + event +
               " AFTER " + event + " ON main.cardlist " + when + " BEGIN " + head + values +
               "); END;";
    };
    const std::string sql =
        trigger("insert", "", "NEW.cardno, NULL, " + ValuesExpression(columns, "NEW", false)) +
        trigger("update", "WHEN " + ChangedCondition(columns),
                "NEW.cardno, " + ValuesExpression(columns, "OLD", true) + ", " +
                    ValuesExpression(columns, "NEW", true)) +
        trigger("delete", "", "OLD.cardno, " + ValuesExpression(columns, "OLD", false) + ", NULL");
    Exec(db, sql.c_str());
    context.installed = true;
    return true;
}

void IndexFileHistory(sqlite3* db) {
    Exec(db,
         "INSERT OR IGNORE INTO history_card (cardno, id) SELECT cardno, id FROM history "
         "WHERE id > (SELECT max(upto) FROM history_mark) AND cardno IS NOT NULL;"
         "UPDATE history_mark SET upto = (SELECT coalesce(max(id), 0) FROM history)");
}

void AddFileHistoryEntry(sqlite3* db, const TFileHistoryContext& context,
                         const std::string& command, const std::string& detail) {
    const Stmt st = Prepare(db, std::string("INSERT INTO history (at, who, command, detail) "
                                            "VALUES (") +
                                    kNow + ", ?, ?, ?)");
    Bind(st.get(), 1, context.user);
    Bind(st.get(), 2, command);
    Bind(st.get(), 3, detail);
    Exec(db, "BEGIN IMMEDIATE");
    try {
        Step(db, st.get());
        IndexFileHistory(db);
        Exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

namespace {

THistoryEntry EntryOf(sqlite3_stmt* st) {
    THistoryEntry e;
    e.id = sqlite3_column_int64(st, 0);
    e.time = TextOrNone(st, 1).value_or("");
    e.user = TextOrNone(st, 2).value_or("");
    e.command = TextOrNone(st, 3).value_or("");
    if (sqlite3_column_type(st, 4) != SQLITE_NULL) e.card = sqlite3_column_int64(st, 4);
    e.before = TextOrNone(st, 5);
    e.after = TextOrNone(st, 6);
    e.detail = TextOrNone(st, 7).value_or("");
    return e;
}

// Runs a read of entries whose parameters are named as in THistoryQuery.
void ReadInto(sqlite3* db, const std::string& sql, const THistoryQuery& query, std::int64_t mark,
              std::vector<THistoryEntry>& into) {
    const Stmt st = Prepare(db, sql);
    auto bind64 = [&](const char* name, std::int64_t v) {
        if (const int i = sqlite3_bind_parameter_index(st.get(), name))
            sqlite3_bind_int64(st.get(), i, v);
    };
    bind64(":before", query.beforeId > 0 ? query.beforeId : INT64_MAX);
    bind64(":mark", mark);
    bind64(":limit", std::max(query.limit, 1));
    if (query.card) bind64(":card", *query.card);
    if (const int i = sqlite3_bind_parameter_index(st.get(), ":text"))
        Bind(st.get(), i, query.text);
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) into.push_back(EntryOf(st.get()));
    if (rc != SQLITE_DONE) throw SqliteError(db, rc);
}

}  // namespace

std::vector<THistoryEntry> ReadFileHistory(sqlite3* db, const THistoryQuery& query) {
    std::vector<THistoryEntry> entries;
    if (!HasTable(db, "history")) return entries;
    const std::string columns =
        "SELECT h.id, h.at, h.who, h.command, h.cardno, h.before, h.after, h.detail FROM ";
    const std::string text =
        query.text.empty()
            ? ""
            : " AND lorvane_contains(h.who, h.command, h.before, h.after, h.detail, :text)";
    const std::string order = " ORDER BY h.id DESC LIMIT :limit";
    if (!query.card) {
        ReadInto(db, columns + "history h WHERE h.id < :before" + text + order, query, 0, entries);
        return entries;
    }
    // One read in one snapshot: the indexed entries of the card, and those
    // written after the index was last brought up to date.
    std::int64_t mark = 0;
    const bool indexed = HasTable(db, "history_card") && HasTable(db, "history_mark");
    Exec(db, "BEGIN");
    try {
        if (indexed) {
            const Stmt st = Prepare(db, "SELECT max(upto) FROM history_mark");
            if (sqlite3_step(st.get()) == SQLITE_ROW) mark = sqlite3_column_int64(st.get(), 0);
            ReadInto(db,
                     columns +
                         "history_card c JOIN history h ON h.id = c.id WHERE c.cardno = :card "
                         "AND c.id < :before AND c.id <= :mark" +
                         text + " ORDER BY c.id DESC LIMIT :limit",
                     query, mark, entries);
        }
        std::vector<THistoryEntry> recent;
        ReadInto(db,
                 columns + "history h WHERE h.id > :mark AND h.id < :before AND h.cardno = :card" +
                     text + order,
                 query, mark, recent);
        Exec(db, "COMMIT");
        // The recent ones are the newer.
        recent.insert(recent.end(), std::make_move_iterator(entries.begin()),
                      std::make_move_iterator(entries.end()));
        if (static_cast<int>(recent.size()) > query.limit) recent.resize(std::max(query.limit, 1));
        return recent;
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::int64_t ExpireFileHistory(sqlite3* db, const TFileHistoryContext& context, int days) {
    if (days <= 0 || !HasTable(db, "history")) return 0;
    Exec(db, "BEGIN IMMEDIATE");
    try {
        // Entries come in time order: the first one young enough to stay
        // ends the scan, so a start-up with nothing to remove costs little.
        const Stmt first = Prepare(db,
                                   "SELECT id FROM history WHERE at >= "
                                   "strftime('%Y-%m-%dT%H:%M:%fZ','now',?) ORDER BY id LIMIT 1");
        std::string age = std::to_string(days);
        age.insert(age.begin(), '-');
        age += " days";
        Bind(first.get(), 1, age);
        const bool anyKept = sqlite3_step(first.get()) == SQLITE_ROW;
        const std::int64_t kept = anyKept ? sqlite3_column_int64(first.get(), 0) : INT64_MAX;
        const Stmt remove = Prepare(db, "DELETE FROM history WHERE id < ?");
        sqlite3_bind_int64(remove.get(), 1, kept);
        Step(db, remove.get());
        const std::int64_t removed = sqlite3_changes(db);
        if (removed > 0) {
            const Stmt index = Prepare(db, "DELETE FROM history_card WHERE id < ?");
            sqlite3_bind_int64(index.get(), 1, kept);
            Step(db, index.get());
            const Stmt entry = Prepare(db, std::string("INSERT INTO history (at, who, command, "
                                                       "detail) VALUES (") +
                                               kNow + ", ?, 'Retention', ?)");
            Bind(entry.get(), 1, context.user);
            Bind(entry.get(), 2,
                 std::to_string(removed) + " entries older than " + std::to_string(days) +
                     " days removed");
            Step(db, entry.get());
        }
        Exec(db, "COMMIT");
        return removed;
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

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

// The card's values as the history shows them, from the row named `row`
// (OLD or NEW): "name='Anna'; group='HR'; granted=1", for the columns the
// table has.
std::string ValuesExpression(const std::vector<std::string>& columns, const char* row) {
    static constexpr std::pair<const char*, const char*> kShown[] = {
        {"descx", "name"}, {"grp", "group"}, {"granted", "granted"}};
    std::string expr;
    for (const auto& [column, label] : kShown) {
        if (std::none_of(columns.begin(), columns.end(),
                         [&](const std::string& c) { return EqualsNoCase(c, column); }))
            continue;
        expr += expr.empty() ? "'" : " || '; ";
        expr += std::string(label) + "=' || quote(" + row + "." + column + ")";
    }
    return expr.empty() ? "''" : expr;
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
    if (!HasTable(db, "history")) {
        Exec(db, "BEGIN IMMEDIATE");
        try {
            if (!HasTable(db, "history")) Exec(db, kHistoryDdl);
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
    const std::string oldValues = ValuesExpression(columns, "OLD");
    const std::string newValues = ValuesExpression(columns, "NEW");
    const std::string sql =
        "CREATE TEMP TRIGGER IF NOT EXISTS lorvane_history_insert AFTER INSERT ON main.cardlist "
        "BEGIN " +
        head + "NEW.cardno, NULL, " + newValues +
        "); END;"
        "CREATE TEMP TRIGGER IF NOT EXISTS lorvane_history_update AFTER UPDATE ON main.cardlist "
        "WHEN " +
        ChangedCondition(columns) + " BEGIN " + head + "NEW.cardno, " + oldValues + ", " +
        newValues +
        "); END;"
        "CREATE TEMP TRIGGER IF NOT EXISTS lorvane_history_delete AFTER DELETE ON main.cardlist "
        "BEGIN " +
        head + "OLD.cardno, " + oldValues + ", NULL); END;";
    Exec(db, sql.c_str());
    context.installed = true;
    return true;
}

void AddFileHistoryEntry(sqlite3* db, const TFileHistoryContext& context,
                         const std::string& command, const std::string& detail) {
    const Stmt st = Prepare(db, std::string("INSERT INTO history (at, who, command, detail) "
                                            "VALUES (") +
                                    kNow + ", ?, ?, ?)");
    Bind(st.get(), 1, context.user);
    Bind(st.get(), 2, command);
    Bind(st.get(), 3, detail);
    Step(db, st.get());
}

std::vector<THistoryEntry> ReadFileHistory(sqlite3* db, const THistoryQuery& query) {
    std::vector<THistoryEntry> entries;
    if (!HasTable(db, "history")) return entries;
    std::string sql =
        "SELECT id, at, who, command, cardno, before, after, detail FROM history WHERE 1";
    if (query.beforeId > 0) sql += " AND id < :before";
    if (query.card) sql += " AND cardno = :card";
    if (!query.text.empty())
        sql += " AND lorvane_contains(who, command, before, after, detail, :text)";
    sql += " ORDER BY id DESC LIMIT :limit";
    const Stmt st = Prepare(db, sql);
    auto index = [&](const char* name) { return sqlite3_bind_parameter_index(st.get(), name); };
    if (query.beforeId > 0) sqlite3_bind_int64(st.get(), index(":before"), query.beforeId);
    if (query.card) sqlite3_bind_int64(st.get(), index(":card"), *query.card);
    if (!query.text.empty()) Bind(st.get(), index(":text"), query.text);
    sqlite3_bind_int(st.get(), index(":limit"), std::max(query.limit, 1));
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        THistoryEntry e;
        e.id = sqlite3_column_int64(st.get(), 0);
        e.time = TextOrNone(st.get(), 1).value_or("");
        e.user = TextOrNone(st.get(), 2).value_or("");
        e.command = TextOrNone(st.get(), 3).value_or("");
        if (sqlite3_column_type(st.get(), 4) != SQLITE_NULL)
            e.card = sqlite3_column_int64(st.get(), 4);
        e.before = TextOrNone(st.get(), 5);
        e.after = TextOrNone(st.get(), 6);
        e.detail = TextOrNone(st.get(), 7).value_or("");
        entries.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) throw SqliteError(db, rc);
    return entries;
}

std::int64_t ExpireFileHistory(sqlite3* db, const TFileHistoryContext& context, int days) {
    if (days <= 0 || !HasTable(db, "history")) return 0;
    Exec(db, "BEGIN IMMEDIATE");
    try {
        // Entries come in time order: the first one young enough to stay
        // ends the scan, so a start-up with nothing to remove costs little.
        const Stmt first = Prepare(db, std::string("SELECT id FROM history WHERE at >= "
                                                   "strftime('%Y-%m-%dT%H:%M:%fZ','now',?) "
                                                   "ORDER BY id LIMIT 1"));
        std::string age = std::to_string(days);
        age.insert(age.begin(), '-');
        age += " days";
        Bind(first.get(), 1, age);
        const bool anyKept = sqlite3_step(first.get()) == SQLITE_ROW;
        const std::int64_t kept = anyKept ? sqlite3_column_int64(first.get(), 0) : 0;
        const Stmt remove =
            Prepare(db, anyKept ? "DELETE FROM history WHERE id < ?" : "DELETE FROM history");
        if (anyKept) sqlite3_bind_int64(remove.get(), 1, kept);
        Step(db, remove.get());
        const std::int64_t removed = sqlite3_changes(db);
        if (removed > 0)
            AddFileHistoryEntry(db, context, "Retention",
                                std::to_string(removed) + " entries older than " +
                                    std::to_string(days) + " days removed");
        Exec(db, "COMMIT");
        return removed;
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

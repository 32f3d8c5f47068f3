// The Jet SQL the program speaks to its card databases ("select * from
// cardlist where granted=true order by descx desc" and the like), taken apart
// once so that every back end runs it in its own dialect. Shared by the back
// ends; no back end parses the program's statements itself.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct TSqlToken {
    enum Kind { Space, Word, Ident, String, Number, Op };
    Kind kind;
    std::string text;
};

// Splits a statement into words, quoted names ("x", [x], `x`), string
// literals, numbers, operators and blanks; joining the texts gives it back.
std::vector<TSqlToken> TokenizeSql(const std::string& sql);

// One column of an order by list, by name.
struct TSortColumn {
    std::string name;
    bool descending = false;
};

struct TJetStatement {
    std::vector<TSqlToken> tokens;
    // The one table the rows are read from, unquoted, when the statement is
    // "select <columns> from <table> [where ...] [order by ...]", so that its
    // rows can be written back; empty otherwise (distinct, grouping, joins,
    // subqueries, unions: read-only).
    std::string table;
    // The order by list when it names only columns, each with an optional
    // direction, at the end of the statement: the engine sorts such lists in
    // memory, in the program's collation. Empty otherwise.
    std::vector<TSortColumn> sortColumns;
    size_t orderStart = 0;  // token where "order by" begins; tokens.size() when none
    // Tokens of the order by list that are a bare column name, with that name:
    // the terms a back end may rewrite when it sorts itself (its collation).
    std::vector<std::pair<size_t, std::string>> orderNames;
    // The table named after "from" (unquoted), whether or not the rows can
    // be written back; empty when there is none.
    std::string fromTable;
};

TJetStatement ParseJetStatement(const std::string& sql);

// How a back end wants the statement written.
struct TSqlForm {
    // Jet's true/false literals as numbers: a Jet boolean is true for any
    // nonzero value, so "x=true" becomes "x<>0" and "x=false" "x=0".
    bool numericBooleans = false;
    // Put before the select list (e.g. "rowid"); only for writable statements.
    std::string firstColumn;
    // Leave out the bare order by list: the engine sorts the rows.
    bool withoutOrderBy = false;
    // Rewrites a bare column term of the order by list (e.g. to add a
    // collation); given the column name and the term as written.
    std::function<std::string(const std::string& column, const std::string& term)> orderTerm;
};

std::string RenderSql(const TJetStatement& statement, const TSqlForm& form);

// The one interface between the card engine and the stores that hold card
// lists: the encrypted card database file, the read-only Jet reader and the
// database server. A connection opens one back end (chosen by its connection
// string, MakeBackEnd) and closes it by destroying it; queries read through
// it into their snapshot and write their rows back through it. Nothing above
// the engine knows which back end runs.
//
// The rules that keep operators' changes safe are the engine's, written once
// (query.cpp) and the same for every back end: a post or a delete changes a
// row only if the row still holds every value the query read (optimistic
// locking), and an append only if the row's key is still free. What a back
// end must guarantee for that:
// - Read: one consistent snapshot of the statement's rows (one read
//   transaction), with a token per row that is the back end's own handle on
//   it (0 when it has none).
// - Update, Delete: one committed transaction each, changing at most the one
//   row that holds, in every column of `columns`, the value in `read`, null
//   matching only null and values compared exactly as stored (a flag stored
//   as -1 or 2 matches -1 or 2); the check and the change are atomic against
//   every other connection, in this or another process or computer. When no
//   row matches, nothing changes and the answer is false.
// - Append: one committed transaction adding the row only if no row holds
//   its key values; false, changing nothing, when one does.
// - After an update or append, `stored` gets the row as the store now holds
//   it (defaults, conversions), one value per column of `columns`.
// - Every other failure raises EDatabaseError with the store's own message,
//   of kind Row when it concerns only this row (a value the table refuses)
//   and Storage when the store cannot be written or read at all (disk full,
//   input/output error, read-only media, connection lost).
// - ReplaceRows: every row of the table replaced in one transaction: every
//   other connection sees the old rows or the new ones, and a failure (or a
//   kill of the program) leaves the old ones. Rows that stay as they are are
//   not touched, so that the history records only what changed.
// - History (a store that keeps one): every row that Update, Append, Delete
//   and ReplaceRows change gets its entry in the same transaction, under the
//   command last given to SetCommand; AddHistoryEntry adds a command's own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dbengine.h"
#include "jetsql.h"
#include "snapshot.h"

// One row as the engine asks a back end to change it.
struct TRowWrite {
    std::string table;                 // unquoted, as the statement names it
    std::vector<std::string> columns;  // the table columns the query reads
    std::vector<int> key;              // positions in columns of the table's key
    std::vector<TValue> read;          // Update, Delete: the values the query read
    std::vector<TValue> values;        // Update, Append: the row's new values
    std::vector<bool> written;         // Update, Append: which values to write; the
                                       // others keep their value (or take the default)
    std::int64_t token = 0;            // in: the row's token; out: its token now
};

class TBackEnd {
  public:
    virtual ~TBackEnd() = default;

    // Runs the statement and fills the snapshot: its columns (with their
    // table columns, key and table when the rows can be written back), then
    // its rows. Rows come in the statement's order, or unsorted with the
    // snapshot's sortPlan set (see MatchSortPlan) for the engine to sort.
    virtual void Read(const TJetStatement& statement, TSnapshot& into) = 0;

    virtual bool Update(TRowWrite& row, std::vector<TValue>& stored) = 0;
    virtual bool Append(TRowWrite& row, std::vector<TValue>& stored) = 0;
    virtual bool Delete(const TRowWrite& row) = 0;

    // Replaces the whole card list by `source`'s (a snapshot of
    // "select * from <table>" on another store), in one transaction. Returns
    // the number of rows added, changed or removed.
    virtual int ReplaceRows(const std::string& table, TSnapshot& source) = 0;
    // Why this store takes no changes (read-only media, a full disk, a
    // read-only role); empty when it takes them. Queries on it are read-only.
    virtual std::string ReadOnlyReason() const { return {}; }
    // Starts over on the store as a new connection would (its state and
    // what it knows of the store read afresh), keeping what is costly to
    // open; false when only a new connection will do, as for a file, which
    // may have been replaced meanwhile.
    virtual bool Renew() { return false; }

    // The activity history (dbengine.h). A store without one records
    // nothing and reads no entries.
    virtual void SetCommand(const std::string& command) { (void)command; }
    virtual void AddHistoryEntry(const std::string& command, const std::string& detail) {
        (void)command;
        (void)detail;
    }
    virtual std::vector<THistoryEntry> ReadHistory(const THistoryQuery& query) {
        (void)query;
        return {};
    }
    virtual std::int64_t ExpireHistory(int days) {
        (void)days;
        return 0;
    }

    // Changes made elsewhere. A back end that learns of other connections'
    // commits gives a descriptor that becomes readable when one arrives; the
    // owner watches it and then calls ReadNotices, which calls `changed` with
    // the table and the key values (the table's single integer key) of the
    // rows that changed, or no keys when it cannot tell which. -1: no such
    // notices. The owner also calls ReadNotices now and then: a notice that
    // came in with the answer to a statement leaves the descriptor quiet.
    virtual int NoticeDescriptor() const { return -1; }
    virtual void ReadNotices(
        const std::function<void(const std::string& table, const std::vector<std::int64_t>& keys)>&
            changed) {
        (void)changed;
    }
    // The statement's rows whose field keyField (the table's single integer
    // key) holds one of keys, read as Read reads them, fields and all, into
    // `into`; false when this back end cannot read rows by key.
    virtual bool ReadKeys(const TJetStatement& statement, const std::string& keyField,
                          const std::vector<std::int64_t>& keys, TSnapshot& into) {
        (void)statement, (void)keyField, (void)keys, (void)into;
        return false;
    }
};

// Opens the back end for a connection string: a PostgreSQL server for a
// connection URI, a Jet file (told by its header) through the Jet reader,
// else the encrypted card database file.
// Raises EDatabaseError.
std::unique_ptr<TBackEnd> MakeBackEnd(const std::string& connectionString);

// The in-memory sort plan for a statement's bare order by list, given the
// result's field names and table columns: empty when a sort column is not a
// field of the result (then the store has to sort).
std::vector<TSortKey> MatchSortPlan(const std::vector<TSortColumn>& sortColumns,
                                    const std::vector<std::string>& names,
                                    const std::vector<std::string>& origins);

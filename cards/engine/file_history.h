// The activity history of a card database file: the table history beside
// cardlist, and the per-connection triggers that write it.
//
// The card entries are written by TEMP triggers on cardlist that every
// connection of the program installs before its first change. They fire
// inside the statement that changes the card, so the entry commits with the
// change or not at all; they record only rows whose values really changed.
// Being temporary, they call functions that only the program's connections
// have (the user, the running command) without binding the file to the
// program: the sqlcipher shell and older copies of the program still read
// and write the file, and record nothing. A file without the table opens as
// ever; the table is created at the first change made through the program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbengine.h"

struct sqlite3;

// The entries, in the order they were written. An update records only the
// values that changed; an added or deleted card all of its values.
//
// The entries of a card are found through history_card, which is not an
// index SQLite keeps at every change: each post is its own transaction, and
// one more page written per commit (a card number lands anywhere in an
// index) would cost as much again as the post itself. The program brings it
// up to date instead (IndexFileHistory) when a bulk command ends and when
// Open replaces the list; history_mark holds the last entry it covers, and
// the few entries after it are scanned.
inline constexpr const char* kHistoryDdl =
    "CREATE TABLE IF NOT EXISTS history (id INTEGER PRIMARY KEY, at TEXT NOT NULL, "
    "who TEXT NOT NULL, command TEXT NOT NULL, cardno INTEGER, before TEXT, after TEXT, "
    "detail TEXT);"
    "CREATE TABLE IF NOT EXISTS history_card (cardno INTEGER NOT NULL, id INTEGER NOT NULL, "
    "PRIMARY KEY (cardno, id)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS history_mark (upto INTEGER NOT NULL);"
    "INSERT INTO history_mark SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM history_mark)";

// What the connection's triggers record besides the card: owned by the back
// end, read by the functions the triggers call. Lives as long as the
// connection.
struct TFileHistoryContext {
    std::string user;     // the operating-system user
    std::string command;  // the running command
    bool installed = false;
};

// The operating-system user the program runs as.
std::string OperatingSystemUser();

// Registers the function that searches the entries' texts; every
// connection to a card database file has it.
void RegisterHistorySearch(sqlite3* db);

// Creates the table when the file has a card list without one, and installs
// the connection's triggers and functions; false (doing nothing) on a file
// without a card list. Needs a writable connection. Raises EDatabaseError.
bool InstallFileHistory(sqlite3* db, TFileHistoryContext& context);

// Brings history_card up to date with the entries written since it was
// last, inside the caller's transaction. Raises EDatabaseError.
void IndexFileHistory(sqlite3* db);

// Adds a command's own entry, and indexes what came before it, in one
// transaction. Raises EDatabaseError.
void AddFileHistoryEntry(sqlite3* db, const TFileHistoryContext& context,
                         const std::string& command, const std::string& detail);

// Entries as THistoryQuery asks; none when the file has no history table.
std::vector<THistoryEntry> ReadFileHistory(sqlite3* db, const THistoryQuery& query);

// Removes the entries older than days in one transaction, with an entry
// saying so when any went. Returns how many went.
std::int64_t ExpireFileHistory(sqlite3* db, const TFileHistoryContext& context, int days);

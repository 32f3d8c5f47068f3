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

inline constexpr const char* kHistoryDdl =
    "CREATE TABLE history (id INTEGER PRIMARY KEY, at TEXT NOT NULL, who TEXT NOT NULL, "
    "command TEXT NOT NULL, cardno INTEGER, before TEXT, after TEXT, detail TEXT);"
    "CREATE INDEX history_card ON history (cardno)";

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

// Adds a command's own entry. Raises EDatabaseError.
void AddFileHistoryEntry(sqlite3* db, const TFileHistoryContext& context,
                         const std::string& command, const std::string& detail);

// Entries as THistoryQuery asks; none when the file has no history table.
std::vector<THistoryEntry> ReadFileHistory(sqlite3* db, const THistoryQuery& query);

// Removes the entries older than days in one transaction, with an entry
// saying so when any went. Returns how many went.
std::int64_t ExpireFileHistory(sqlite3* db, const TFileHistoryContext& context, int days);

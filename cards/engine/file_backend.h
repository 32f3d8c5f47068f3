// The card database file back end: an encrypted SQLite database (SQLCipher)
// in a file, the working database and every card database the program
// writes.
//
// Commits and whole-file copies. The first change through a connection puts
// a writable file in write-ahead-log mode (it stays so), and every connection
// to a file in that mode commits with normal synchronisation, so each post is
// one cheap commit. Files that are only read are not changed. A post that
// returned survives a kill of the program, and every connection (in this or
// another process) sees it at its next statement. A committed page may live
// in "<file>-wal" (with its index "<file>-shm") until a checkpoint copies it
// into the file itself. Therefore, whoever copies or replaces a card database
// file as a whole:
// - Copy a file another connection may hold (another copy of the program):
//   never copy its bytes, which may miss what sits in the log; take a
//   consistent snapshot with SQLite's backup interface (CopyCardDatabase).
// - Replace the content of a file others may hold: write into it through a
//   connection, in one transaction (ReplaceCardList), never by putting
//   another file in its place: the others would go on writing into the
//   replaced file, and lose every change.
// - Put a new file in place of one nobody holds: remove a "-wal" and "-shm"
//   left beside the target (after a kill) first; SQLite would apply a stale
//   log to the new file and corrupt it.
// A page copy of a file in log mode is in log mode too. SQLite of this
// version cannot open such a file on read-only media by itself (it needs to
// create "-shm" beside it); the back end then reads it through a file layer of
// its own that keeps the log index in memory, read-only.
#pragma once

#include <memory>
#include <string>

#include "backend.h"

struct sqlite3;

// The columns the program keeps, as in every card database it creates.
inline constexpr const char* kCardListDdl =
    "CREATE TABLE cardlist (cardno INTEGER NOT NULL PRIMARY KEY, descx VARCHAR(50), "
    "grp VARCHAR(50), granted BOOLEAN NOT NULL DEFAULT 0)";

// Creates a new database file with the statement, keyed with the password;
// refuses (EDatabaseError) to touch an existing path.
void CreateDatabaseFile(const std::string& path, const std::string& password, const char* ddl);

// Opens an existing card database file with its password, the key checked at
// once. Never creates a file. Raises EDatabaseError naming the file and the
// reason.
std::unique_ptr<TBackEnd> OpenCardFile(const std::string& path, const std::string& password);

// The SQLite handle of a connection to a card database file; null for any
// other back end or when not connected. For the whole-file operations and
// for tests and benchmarks that work on the file directly.
sqlite3* FileHandle(const TDbConnection& connection);

// Copies the whole database of one keyed connection into another, page by
// page through SQLite's backup interface: one consistent snapshot of the
// source, with every committed change (also those still in its log), written
// in one transaction of the target. Waits a few seconds for a writer to let
// go. Raises EDatabaseError.
void BackUpFile(sqlite3* source, sqlite3* target);

// Whole card database files: copying one over another so that the destination
// is at every moment either the old file or the complete new one.
#pragma once

#include <string>

// Writes the card database named by the connection string to destination,
// replacing a file that is there. The copy is built beside the destination
// without a name, created 0600, flushed to disk and only then put in place by
// a rename: a failure or a kill part way leaves the old destination whole and
// no temporary file behind. Afterwards no -wal, -shm or -journal file of the
// replaced file is left beside the destination.
//
// A SQLCipher source is copied page by page through SQLite's backup
// interface, which sees every committed change, also those still in the
// source's write-ahead log and while other programs hold it open. Any other
// source (a Jet card list) is read through the engine and its cards written
// into a new SQLCipher card database. The copy is keyed with the connection
// string's password. Raises EDatabaseError (or std::system_error) on failure.
void CopyCardDatabase(const std::string& sourceConnection, const std::string& destination);

// Checks of a file the operator chose in a file dialog, made before anything
// opens it.
#pragma once

#include <QString>
#include <string>

// True when the path is a regular file (symbolic links followed) or names
// nothing; otherwise shows an error box saying what it is (a folder, a named
// pipe, a device, a socket) and returns false. Only looks at the path: opening
// a named pipe or a device could block the window for good.
bool IsFileChoice(const QString& path);

// True when the path names the working database or a file that the database
// engine keeps beside it (-wal, -shm, -journal): those are in use and must not
// be replaced by another file.
bool IsWorkingDatabaseFile(const std::string& workDbPath, const std::string& path);

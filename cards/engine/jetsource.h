// Jet 4 database files (the card batch databases and the card lists of the
// earlier Windows installations) read through the helper program
// lorvane-jetread: libmdb parses the file in a process of its own, with
// limits and a time-out, so that a damaged file fails one query instead of
// crashing or hanging the program. No Qt here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dbengine.h"

// How the helper is found and held in. The defaults suit the program; tests
// may lower the limits or point to another helper.
struct TJetReaderOptions {
    std::string helperPath;                           // empty: found beside the program
    int cpuSeconds = 20;                              // CPU time of the helper
    int timeoutMs = 30000;                            // wall-clock time, then it is killed
    std::size_t maxOutput = std::size_t{32} << 20;    // bytes read from it
    std::size_t addressSpace = std::size_t{1} << 30;  // its address space
};
void SetJetReaderOptions(const TJetReaderOptions& options);
TJetReaderOptions JetReaderOptions();

// Checks the file's first page: Jet 4, and the password is the one given or
// there is none. Raises EDatabaseError ("... cannot be opened: ...").
void CheckJetFile(const std::string& path, const std::string& password);

// The rows of a statement on a Jet file, as the engine's snapshot takes them.
// The statements are those the program runs on files it imports:
// "select * from <table>" with an optional "order by <column> [asc|desc]".
// Every failure (another statement, a missing table, a wrong password, a
// damaged file, a crash or hang of the helper) raises EDatabaseError.
struct TJetSnapshot {
    std::vector<TFieldDef> defs;
    std::vector<TValue> cells;  // row-major
    int rows = 0;
};
TJetSnapshot ReadJetStatement(const std::string& path, const std::string& password,
                              const std::string& statement);

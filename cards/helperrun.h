// Helper programs that read hostile files (lorvane-jetread with libmdb,
// lorvane-xlsread with FreeXL) run in a process of their own, held in by
// limits and a wall-clock time-out, so that a file that crashes or hangs the
// library fails one read instead of taking the program down. Shared by the
// card engine and the sheet reader; no Qt.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

// The helper beside the running program file, else in
// <that folder>/../libexec/lorvane/; the bare name when the program file
// cannot be found.
std::string HelperProgramPath(const std::string& name);

struct THelperLimits {
    int timeoutMs = 30000;  // wall-clock time from the start, then it is killed
    std::size_t maxOutput = std::numeric_limits<std::size_t>::max();  // bytes read from it
    // Set on the process before the program starts; 0 leaves the limit as
    // it is (to the helper, which may set its own).
    int cpuSeconds = 0;
    std::size_t addressSpace = 0;
    int openFiles = 0;
};

struct THelperRun {
    int status = 0;           // as waitpid gives it
    bool killed = false;      // time-out, output cap, or the reader stopped it
    bool execFailed = false;  // the program could not be run (exit status 127)
};

// Runs argv[0] with argv and an empty environment. input (at most one pipe
// buffer, 4,096 bytes) is its standard input, its error output goes nowhere,
// no other file of this process stays open in it, and it may write no file
// and leave no core. Each piece of its standard output goes to onOutput as it
// comes, until the output ends; then the helper gets the rest of the time to
// exit. onOutput returns false to stop the reading; the helper is then
// killed, as on a time-out or the output cap. An exception from onOutput
// kills the helper too and goes up once it has been reaped. Raises
// std::system_error when the pipes or the process cannot be made.
THelperRun RunHelper(std::vector<std::string> argv, const std::string& input,
                     const THelperLimits& limits,
                     const std::function<bool(std::string_view)>& onOutput);

// Where the working database lives: beside the program file for a build tree or
// a portable copy, otherwise in the user's data folder, made on the first start.
#pragma once

#include <string>

struct TWorkFolder {
    std::string folder;   // with its trailing separator
    std::string problem;  // why the card list cannot be kept or changed there; empty when fine
    bool usable = true;   // false: there is no working database to open
};

// $XDG_DATA_HOME/Quillon/Lorvane/ when XDG_DATA_HOME is an absolute path, else
// ~/.local/share/Quillon/Lorvane/; empty when there is no home folder either.
std::string UserDataFolder();

// The program folder when it holds a cardlist.mdb; otherwise the data folder,
// created (0700) with an empty working database when it holds none. An existing
// file is never replaced, whatever it holds.
TWorkFolder FindWorkFolder(const std::string& programFolder, const std::string& dataFolder);

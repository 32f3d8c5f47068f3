// Data module: the one shared connection to the working database and the two
// shared queries on it. Created before the main window, lives for the whole run.
#pragma once

#include "dbengine.h"

class Tdsrc {
  public:
    Tdsrc();
    TDbConnection adosrc;  // connection string set before each connect
    TDbQuery dgrp;         // "select distinct grp from cardlist"
    TDbQuery daccess;      // "select cardno from cardlist where granted=true"
};

// The program-wide data module, set by the program entry for the whole run.
extern Tdsrc* dsrc;

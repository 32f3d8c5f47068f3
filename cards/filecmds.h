// The database file commands: Save, Open and Merge of the "Database" group and
// Add Card of the "Actions".
#pragma once

#include <QString>

class IMainWindow;
class Tdsrc;

void bSaveClick(IMainWindow& host, Tdsrc& data);
void bOpenClick(IMainWindow& host, Tdsrc& data);
void bMergeClick(IMainWindow& host);
void bAddClick(IMainWindow& host);

// Where the Add Card dialog starts without a remembered file: the first
// mounted removable medium (/media/<user>/*, /run/media/<user>/*), else the
// home folder.
QString RemovableMediaFolder();

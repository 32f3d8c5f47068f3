// The card editing commands behind the "Actions" box and the hidden Grant All
// and Deny All buttons: edit, delete, delete all, grant all, deny all.
#pragma once

class IMainWindow;
class Tdsrc;

// Every card of the table: the list statement without filter and order.
void ReopenWholeCardList(IMainWindow& host);

void bEditClick(IMainWindow& host, Tdsrc& data);
void bDeleteClick(IMainWindow& host);
void bClearClick(IMainWindow& host);
void bAllGrantedClick(IMainWindow& host);
void bAllDenyClick(IMainWindow& host);

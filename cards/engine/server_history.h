// The activity history of a card list on a PostgreSQL server: the table
// history, written by the server itself.
//
// - Every change of a card writes its entry from a trigger on cardlist, in
//   the statement's own transaction: a client cannot change a card without
//   leaving it. The command comes from the session setting lorvane.command
//   (set_config), the user is the session's login role (session_user), the
//   time the transaction's. A TRUNCATE leaves one entry for all cards.
// - The trigger and the functions below run as the owner of the card list
//   (SECURITY DEFINER, their search path fixed to the card list's schema):
//   other roles need, and get, no privilege on history to write it. They add
//   a command's own entry only through lorvane_add_history(command, detail),
//   stamped by the server with their role and the time; they never change or
//   delete an entry. Reading takes SELECT on history, granted by the
//   administrator as for cardlist.
// - Retention: lorvane_expire_history() removes the entries older than the
//   days in history_retention (0: keep all), which only the owner can set,
//   and records that as an entry. Clients call it at start-up; it removes
//   nothing that the owner's setting keeps.
#pragma once

#include <string>
#include <vector>

// The statements that create the history objects, after cardlist's.
std::vector<std::string> HistoryStatements();

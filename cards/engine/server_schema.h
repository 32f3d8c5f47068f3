// The card list's objects on a PostgreSQL server, created in one place.
//
// The table cardlist keeps the card file's columns and rules (cardno integer
// primary key, descx and grp varchar(50), granted boolean not null default
// false). A statement-level trigger tells every listening session which cards
// a committed statement changed: a notification on kCardListChannel whose
// payload is the card numbers, comma-separated, or "*" when a statement
// touched too many to list (or emptied the table). Notifications arrive only
// after the commit, and only for committed changes.
//
// Whatever else the server side needs later (history, further triggers) is
// added to the statements in serverschema.cpp, so that one call still
// creates all of it in one transaction.
#pragma once

#include <string>

class TPgSession;

inline constexpr const char* kCardListChannel = "lorvane_cardlist";
// More changed cards than this in one statement are announced as "*".
inline constexpr int kCardListNotifyLimit = 500;

// Creates the card list in the session's database, all or nothing. Refuses,
// touching nothing, when the database already holds a table cardlist
// (EDatabaseError saying so); other failures raise EServerError.
void CreateCardListObjects(TPgSession& session);

// The database server back end: the working card list in a PostgreSQL
// database (server_schema.h), shared by every operator's program at once.
//
// - Statements: the program's Jet SQL in PostgreSQL's dialect, values only as
//   parameters. Rows are read in one statement (one consistent snapshot) and
//   sorted by the engine, in the program's collation, as every back end's.
// - Changes: each post, delete and append is one committed statement that
//   finds its row by the table's key and changes it only if it still holds
//   the values read (backend.h); the check and the change are atomic on the
//   server, against every other session. Commits do not wait for the
//   server's disk (server_session.h).
// - Sessions: one per connection. A session the server ended (a restart, an
//   administrator) or that a failed statement left broken is replaced by a
//   new one before the next statement, so that the next command works
//   again; a statement whose session breaks while it runs fails (kind
//   Storage) and is not repeated, since it may have been committed.
// - Notices: every session listens on the card list's channel; the socket is
//   the notice descriptor. After a new session replaced a broken one, the
//   next reading of notices reports a change, since commits made meanwhile
//   were not announced to this connection.
// - Read-only: a role that may not insert, update and delete cards makes the
//   store read-only, with the reason.
#pragma once

#include <memory>
#include <string>

#include "backend.h"

// Connects to the server of the connection URI. Raises EPasswordNeeded when
// the server wants a password that nothing gave, else EDatabaseError (kind
// Storage) naming the server and the reason.
std::unique_ptr<TBackEnd> OpenServer(const std::string& uri);

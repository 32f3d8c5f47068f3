// Keying connections to card database files (SQLCipher). SQLCipher 3 turns
// the passphrase into the page key with PBKDF2-HMAC-SHA1 over the 16 salt
// bytes at the start of the file; that costs about 26 ms per connection. The
// engine derives the key itself once per file and password and keeps it in a
// process-wide cache, so that reconnects skip it.
#pragma once

#include <string>

struct sqlite3;

// Keys the connection with the passphrase and checks the key at once by
// reading the schema. Raises EDatabaseError (e.g. "file is encrypted or is
// not a database" for a wrong key).
void KeyAndCheck(sqlite3* db, const std::string& password);

// The same for a connection to an existing file, with a cached key when this
// process has opened a file with the same salt and password before. A key
// enters the cache only after it has read its file; a file replaced by
// another has another salt, so an entry never goes stale.
void KeyExisting(sqlite3* db, const std::string& password);

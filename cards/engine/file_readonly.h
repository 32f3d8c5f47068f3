// A file layer (SQLite VFS) for reading card database files that nothing can
// be written beside: on read-only media (a locked stick, a CD) or a full
// disk. SQLite of this version keeps the index of a write-ahead log in a file
// "<file>-shm" that it must be able to create, so it cannot read a file in
// log mode there at all. Through this layer the index lives in this
// connection's memory instead, and a missing log reads as an empty one; an
// existing log beside the file is read, so no committed change is missed.
//
// Only for connections opened read-only (SQLITE_OPEN_READONLY): the layer
// takes none of the log's shared locks, so it must not be used on a file
// another program may be writing into meanwhile (it cannot, when the media is
// read-only or the disk full).
#pragma once

// The layer's name for sqlite3_open_v2; registered on first use.
const char* ReadOnlyVfs();

// The read-only file layer: every call goes to SQLite's own layer for the
// platform, but the log index's shared memory, which is kept in this
// process's memory, and a missing log, which reads as empty.
#include "file_readonly.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

sqlite3_vfs* Base(sqlite3_vfs* vfs) {
    return static_cast<sqlite3_vfs*>(vfs->pAppData);
}

// ---------------------------------------------------------------- database file

// The database file: this object, then the platform layer's file object.
struct TDbFile {
    sqlite3_file base;                             // first, as SQLite sees it
    std::vector<std::unique_ptr<char[]>> regions;  // the log index
};
constexpr size_t kRealOffset = (sizeof(TDbFile) + 15) / 16 * 16;

TDbFile* Db(sqlite3_file* file) {
    return reinterpret_cast<TDbFile*>(file);
}
sqlite3_file* Real(sqlite3_file* file) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kRealOffset);
}

int DbClose(sqlite3_file* file) {
    sqlite3_file* real = Real(file);
    const int rc = real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
    Db(file)->~TDbFile();
    return rc;
}
int DbRead(sqlite3_file* f, void* out, int n, sqlite3_int64 at) {
    return Real(f)->pMethods->xRead(Real(f), out, n, at);
}
int DbWrite(sqlite3_file*, const void*, int, sqlite3_int64) {
    return SQLITE_READONLY;
}
int DbTruncate(sqlite3_file*, sqlite3_int64) {
    return SQLITE_READONLY;
}
int DbSync(sqlite3_file*, int) {
    return SQLITE_OK;
}
int DbFileSize(sqlite3_file* f, sqlite3_int64* size) {
    return Real(f)->pMethods->xFileSize(Real(f), size);
}
int DbLock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xLock(Real(f), level);
}
int DbUnlock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xUnlock(Real(f), level);
}
int DbCheckReservedLock(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int DbFileControl(sqlite3_file* f, int op, void* arg) {
    return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int DbSectorSize(sqlite3_file* f) {
    return Real(f)->pMethods->xSectorSize(Real(f));
}
int DbDeviceCharacteristics(sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}

// The log index in this process's memory, zeroed when a region is made: it
// is rebuilt from the log on the first read, as after a crash.
int DbShmMap(sqlite3_file* f, int page, int pageSize, int extend, void volatile** out) {
    auto& regions = Db(f)->regions;
    if (page >= static_cast<int>(regions.size())) {
        if (!extend) {
            *out = nullptr;
            return SQLITE_OK;
        }
        while (static_cast<int>(regions.size()) <= page) {
            regions.emplace_back(new (std::nothrow) char[pageSize]());
            if (!regions.back()) return SQLITE_NOMEM;
        }
    }
    *out = regions[page].get();
    return SQLITE_OK;
}
int DbShmLock(sqlite3_file*, int, int, int) {
    return SQLITE_OK;  // one reader, and no writer can exist
}
void DbShmBarrier(sqlite3_file*) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
}
int DbShmUnmap(sqlite3_file* f, int) {
    Db(f)->regions.clear();
    return SQLITE_OK;
}

const sqlite3_io_methods kDbMethods = {
    2,
    DbClose,
    DbRead,
    DbWrite,
    DbTruncate,
    DbSync,
    DbFileSize,
    DbLock,
    DbUnlock,
    DbCheckReservedLock,
    DbFileControl,
    DbSectorSize,
    DbDeviceCharacteristics,
    DbShmMap,
    DbShmLock,
    DbShmBarrier,
    DbShmUnmap,
    nullptr,
    nullptr,
};

// ---------------------------------------------------------------- missing log

int LogClose(sqlite3_file*) {
    return SQLITE_OK;
}
int LogRead(sqlite3_file*, void* out, int n, sqlite3_int64) {
    std::memset(out, 0, static_cast<size_t>(n));
    return SQLITE_IOERR_SHORT_READ;
}
int LogFileSize(sqlite3_file*, sqlite3_int64* size) {
    *size = 0;
    return SQLITE_OK;
}
int LogLock(sqlite3_file*, int) {
    return SQLITE_OK;
}
int LogCheckReservedLock(sqlite3_file*, int* out) {
    *out = 0;
    return SQLITE_OK;
}
int LogFileControl(sqlite3_file*, int, void*) {
    return SQLITE_NOTFOUND;
}
int LogSectorSize(sqlite3_file*) {
    return 512;
}
int LogDeviceCharacteristics(sqlite3_file*) {
    return 0;
}

const sqlite3_io_methods kEmptyLogMethods = {
    1,
    LogClose,
    LogRead,
    DbWrite,
    DbTruncate,
    DbSync,
    LogFileSize,
    LogLock,
    LogLock,
    LogCheckReservedLock,
    LogFileControl,
    LogSectorSize,
    LogDeviceCharacteristics,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// ---------------------------------------------------------------- the layer

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    sqlite3_vfs* base = Base(vfs);
    const int readOnly =
        (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
    if (flags & SQLITE_OPEN_MAIN_DB) {
        TDbFile* db = new (file) TDbFile{};
        const int rc = base->xOpen(base, name, Real(file), readOnly, outFlags);
        if (rc != SQLITE_OK) {
            db->~TDbFile();
            file->pMethods = nullptr;
            return rc;
        }
        file->pMethods = &kDbMethods;
        return SQLITE_OK;
    }
    if (flags & SQLITE_OPEN_WAL) {
        int exists = 0;
        if (base->xAccess(base, name, SQLITE_ACCESS_EXISTS, &exists) == SQLITE_OK && exists)
            return base->xOpen(base, name, file, readOnly, outFlags);
        file->pMethods = &kEmptyLogMethods;
        if (outFlags) *outFlags = SQLITE_OPEN_READONLY;
        return SQLITE_OK;
    }
    return base->xOpen(base, name, file, flags, outFlags);
}

}  // namespace

const char* ReadOnlyVfs() {
    static constexpr const char* kName = "lorvane-readonly";
    static sqlite3_vfs vfs;
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
        vfs = *base;
        vfs.pNext = nullptr;
        vfs.zName = kName;
        vfs.pAppData = base;
        vfs.szOsFile = static_cast<int>(kRealOffset) + base->szOsFile;
        vfs.xOpen = Open;
        sqlite3_vfs_register(&vfs, 0);
    });
    return kName;
}

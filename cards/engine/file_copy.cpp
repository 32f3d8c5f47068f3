// New card database files put in place whole (Save, and Open of a working
// file that does not open): the new file is written without a name
// (O_TMPFILE) where the file system allows it, else under a hidden temporary
// name, and renamed over the destination once it is on disk.

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <system_error>

#include "dbengine.h"
#include "file_backend.h"
#include "sqlitehandles.h"

namespace {

[[noreturn]] void FailErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RandomSuffix() {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string out;
    for (int i = 0; i < 8; ++i) out += kChars[device() % (sizeof kChars - 1)];
    return out;
}

// The file being built. Without a name while it is written; it gets one only
// for the rename that puts it in place.
class TNewFile {
  public:
    explicit TNewFile(std::string destination)
        : FDestination(std::move(destination)), FFolder(FolderOf(FDestination)) {
        FFd = ::open(FFolder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (FFd >= 0) return;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            FailErrno("Cannot create a file in " + FFolder);
        // A file system without unnamed files (e.g. FAT): a hidden name, removed
        // on every way out but a kill.
        for (int attempt = 0; attempt < 16 && FFd < 0; ++attempt) {
            FName = TempName();
            FFd = ::open(FName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (FFd < 0 && errno != EEXIST) FailErrno("Cannot create " + FName);
        }
        if (FFd < 0) FailErrno("Cannot create a temporary file in " + FFolder);
    }
    ~TNewFile() {
        if (FFd >= 0) ::close(FFd);
        if (!FName.empty() && !FPlaced) ::unlink(FName.c_str());
    }
    TNewFile(const TNewFile&) = delete;
    TNewFile& operator=(const TNewFile&) = delete;

    // The path SQLite opens the file by.
    std::string Path() const {
        return FName.empty() ? "/proc/self/fd/" + std::to_string(FFd) : FName;
    }

    // Flushes the file, renames it over the destination and flushes the folder.
    void Place() {
        if (::fchmod(FFd, 0600) != 0 || ::fsync(FFd) != 0) FailErrno("Cannot write " + Path());
        if (FName.empty()) {
            // The name exists only between here and the rename.
            const std::string self = Path();
            for (int attempt = 0; attempt < 16 && FName.empty(); ++attempt) {
                const std::string name = TempName();
                if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) ==
                    0)
                    FName = name;
                else if (errno != EEXIST)
                    FailErrno("Cannot name the new file in " + FFolder);
            }
            if (FName.empty()) FailErrno("Cannot name the new file in " + FFolder);
        }
        if (::rename(FName.c_str(), FDestination.c_str()) != 0)
            FailErrno("Cannot replace " + FDestination);
        FPlaced = true;
        const int folder = ::open(FFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
    }

  private:
    std::string TempName() const {
        return FFolder + "/." + NameOf(FDestination) + ".new-" + RandomSuffix();
    }

    std::string FDestination;
    std::string FFolder;
    std::string FName;  // empty while the file has no name
    int FFd = -1;
    bool FPlaced = false;
};

// SQLite resolves symbolic links in file names, which would turn the unnamed
// file's /proc/self/fd path into a name that does not exist. This VFS is the
// default one with names kept as given.
int KeepFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    const size_t length = std::strlen(name);
    if (length + 1 > static_cast<size_t>(size)) return SQLITE_CANTOPEN;
    std::memcpy(out, name, length + 1);
    return SQLITE_OK;
}

const char* NewFileVfs() {
    static constexpr const char* kName = "lorvane-newfile";
    static sqlite3_vfs vfs;
    static std::once_flag once;
    std::call_once(once, [] {
        vfs = *sqlite3_vfs_find(nullptr);
        vfs.pNext = nullptr;
        vfs.zName = kName;
        vfs.xFullPathname = KeepFullPathname;
        sqlite3_vfs_register(&vfs, 0);
    });
    return kName;
}

// A keyed connection to the new, empty file. Its journal stays in memory: the
// file is nobody's until it is placed, so a failure just drops it.
DbHandle OpenNew(const std::string& path, const std::string& password) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, NewFileVfs());
    DbHandle db(raw);
    if (rc != SQLITE_OK) throw EDatabaseError(db ? sqlite3_errmsg(db.get()) : "out of memory");
    if (!password.empty() &&
        sqlite3_key(db.get(), password.data(), static_cast<int>(password.size())) != SQLITE_OK)
        throw EDatabaseError(sqlite3_errmsg(db.get()));
    sqlite3_exec(db.get(), "PRAGMA cipher_compatibility = 3", nullptr, nullptr, nullptr);
    Exec(db.get(), "PRAGMA journal_mode = MEMORY");
    // The whole file is flushed once before it is placed.
    Exec(db.get(), "PRAGMA synchronous = OFF");
    return db;
}

void BindText(sqlite3_stmt* st, int index, TDbQuery& query, const char* field) {
    const int col = query.FieldIndex(field);
    if (col < 0 || query.FieldByName(field).IsNull()) {
        sqlite3_bind_null(st, index);
        return;
    }
    const std::string text = query.FieldByName(field).AsString();
    sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// Card by card from any other source the engine reads (a Jet card list), in
// one transaction.
void Convert(const std::string& sourceConnection, sqlite3* target) {
    TDbQuery source("source");
    source.SetConnectionString(sourceConnection);
    source.SQLAdd("select * from cardlist");
    source.Open();
    Exec(target, kCardListDdl);
    Exec(target, "BEGIN");
    sqlite3_stmt* raw = nullptr;
    // Names longer than the column are cut to its size, as a post does.
    if (sqlite3_prepare_v2(target,
                           "INSERT INTO cardlist (cardno, descx, grp, granted) "
                           "VALUES (?, substr(?, 1, 50), substr(?, 1, 50), ?)",
                           -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        throw EDatabaseError(sqlite3_errmsg(target));
    }
    Stmt insert(raw);
    const bool haveGranted = source.FieldIndex("granted") >= 0;
    for (source.First(); !source.Eof(); source.Next()) {
        sqlite3_bind_int(insert.get(), 1, source.FieldByName("cardno").AsInteger());
        BindText(insert.get(), 2, source, "descx");
        BindText(insert.get(), 3, source, "grp");
        sqlite3_bind_int(insert.get(), 4,
                         haveGranted && source.FieldByName("granted").AsBoolean() ? 1 : 0);
        if (sqlite3_step(insert.get()) != SQLITE_DONE) throw EDatabaseError(sqlite3_errmsg(target));
        sqlite3_reset(insert.get());
    }
    Exec(target, "COMMIT");
}

}  // namespace

void CopyCardDatabase(const std::string& sourceConnection, const std::string& destination) {
    // A server's list goes into a file keyed like every card database.
    const std::string password = IsServerConnection(sourceConnection)
                                     ? std::string(kCardDatabasePassword)
                                     : ParseConnectionString(sourceConnection).password;
    TNewFile file(destination);
    {
        DbHandle target = OpenNew(file.Path(), password);
        TDbConnection source;
        source.SetConnectionString(sourceConnection);
        source.Connect();
        if (sqlite3* file = FileHandle(source))
            BackUpFile(file, target.get());
        else
            Convert(sourceConnection, target.get());
        sqlite3* db = target.release();
        if (sqlite3_close(db) != SQLITE_OK) {
            sqlite3_close_v2(db);
            throw EDatabaseError("Cannot close the new file.");
        }
    }
    file.Place();
    // What SQLite left beside the replaced file belongs to it; beside the new
    // one it would be read as the new file's and corrupt it.
    for (const char* suffix : {"-wal", "-shm", "-journal"})
        ::unlink((destination + suffix).c_str());
    // A page copy of a file in write-ahead-log mode is in that mode too, and
    // this SQLite cannot open such a file from read-only media (a card CD, a
    // locked stick). Back to the rollback journal; the first post switches a
    // file that is written to again. The file is already whole in place, and
    // the switch itself is crash-safe.
    TDbConnection placed;
    placed.SetConnectionString("Data Source=\"" + destination +
                               "\";Jet OLEDB:Database Password=" + password);
    placed.Connect();
    Exec(FileHandle(placed), "PRAGMA journal_mode = DELETE");
}

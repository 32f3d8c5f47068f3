// lorvane-jetread FILE TABLE: reads one table of a Jet 4 database file with
// libmdb and writes its columns and rows to standard output (cards/jetframe.h).
// The database password to expect comes on standard input, one line.
//
// libmdb is not safe on damaged files (it crashes or loops on some), so the
// program runs it only here, in a process of its own that the parent starts
// with limits and a time-out. The header and the password are checked before
// libmdb sees the file: libmdb reads no password.
//
// libmdb goes on after a page it cannot read, with a message and fewer rows:
// a file is read whole first, so that a read error of the medium fails it
// here, and a table is written only when libmdb read every row its
// definition declares without a complaint.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// mdbtools.h needs these first when compiled as C++.
#include <glib.h>
#include <iconv.h>
#include <mdbtools.h>

#include "cmdline.h"
#include "frameout.h"
#include "jetframe.h"
#include "jetheader.h"

namespace {

std::string ReadPassword() {
    std::string line;
    char c;
    while (line.size() < 1024) {
        const ssize_t n = ::read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        line += c;
    }
    return line;
}

// The whole file, read here rather than page by page by libmdb. A Jet file
// is a whole number of pages; anything short of that was cut.
int ReadWholeFile(const char* path, std::vector<unsigned char>& bytes) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return jetframe::ExitNotJet;
    struct stat st {};
    int rc = jetframe::ExitOk;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < static_cast<off_t>(kJetPageSize))
        rc = jetframe::ExitNotJet;
    try {
        if (rc == jetframe::ExitOk) bytes.resize(static_cast<size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        rc = jetframe::ExitUnreadable;
    }
    size_t got = 0;
    while (rc == jetframe::ExitOk && got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) rc = jetframe::ExitUnreadable;  // an error of the medium, or it shrank
        if (n > 0) got += static_cast<size_t>(n);
    }
    ::close(fd);
    return rc;
}

int CheckHeader(const std::vector<unsigned char>& file, const std::string& password) {
    switch (CheckJetHeader(file.data(), file.size(), password)) {
        case TJetHeaderCheck::Ok:
            return file.size() % kJetPageSize == 0 ? jetframe::ExitOk : jetframe::ExitUnreadable;
        case TJetHeaderCheck::NotJet4:
            return jetframe::ExitNotJet4;
        case TJetHeaderCheck::WrongPassword:
            return jetframe::ExitWrongPassword;
        case TJetHeaderCheck::NotJet:
            break;
    }
    return jetframe::ExitNotJet;
}

// What libmdb prints while the rows are read goes into a pipe that never
// blocks it (a full pipe drops the rest): any of it means a page or a long
// value that could not be read.
class TComplaints {
  public:
    bool Start() {
        int p[2];
        if (::pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) return false;
        FRead = p[0];
        std::fflush(stdout);
        const bool ok = ::dup2(p[1], 1) >= 0 && ::dup2(p[1], 2) >= 0;
        ::close(p[1]);
        return ok;
    }
    bool Any() {
        std::fflush(stdout);
        int pending = 0;
        return FRead < 0 || ::ioctl(FRead, FIONREAD, &pending) != 0 || pending > 0;
    }

  private:
    int FRead = -1;
};

// Memo texts are read up to the bind size: big enough for any memo typed in
// Access (65,535 characters), and a value that fills it is refused as possibly
// cut rather than passed on short.
constexpr size_t kBindSize = size_t{1} << 18;

struct THandle {
    MdbHandle* mdb = nullptr;
    MdbTableDef* table = nullptr;
    ~THandle() {
        if (table) mdb_free_tabledef(table);
        if (mdb) mdb_close(mdb);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 &&
        AnswerHelpOrVersion(argc, argv, "lorvane-jetread",
                            "Usage: lorvane-jetread /ABSOLUTE/PATH.mdb TABLE < PASSWORD\n"
                            "Reads one table of a Jet 4 database and writes its rows as frames\n"
                            "on standard output. Lorvane starts it for the Jet files it reads;\n"
                            "it is not meant to be run by hand.\n"
                            "\n"
                            "  --help     show this text and exit\n"
                            "  --version  show the version and exit\n"))
        return 0;
    if (argc != 3 || argv[1][0] != '/') return jetframe::ExitUsage;
    const int out = TakeFramesOutput();
    if (out < 0) return jetframe::ExitUsage;
    const std::string password = ReadPassword();
    std::vector<unsigned char> file;
    if (const int rc = ReadWholeFile(argv[1], file); rc != jetframe::ExitOk) return rc;
    if (const int rc = CheckHeader(file, password); rc != jetframe::ExitOk) return rc;

    THandle h;
    h.mdb = mdb_open_buffer(file.data(), file.size(), MDB_NOFLAGS);
    if (!h.mdb) return jetframe::ExitUnreadable;
    if (h.mdb->f->jet_version != MDB_VER_JET4) return jetframe::ExitNotJet4;
    mdb_set_boolean_fmt_numbers(h.mdb);
    if (!mdb_read_catalog(h.mdb, MDB_TABLE)) return jetframe::ExitUnreadable;
    MdbCatalogEntry* entry = nullptr;
    for (unsigned i = 0; i < h.mdb->num_catalog && !entry; ++i) {
        auto* e = static_cast<MdbCatalogEntry*>(g_ptr_array_index(h.mdb->catalog, i));
        if (e->object_type == MDB_TABLE && g_ascii_strcasecmp(e->object_name, argv[2]) == 0)
            entry = e;
    }
    if (!entry) return jetframe::ExitNoTable;
    // Only after the catalog: its reading binds buffers of the default size.
    mdb_set_bind_size(h.mdb, kBindSize);
    h.table = mdb_read_table(entry);
    if (!h.table || !mdb_read_columns(h.table)) return jetframe::ExitUnreadable;

    // Each bound buffer gets the library's bind size: it writes up to that.
    const unsigned cols = h.table->num_cols;
    const size_t bindSize = h.mdb->bind_size;
    std::vector<std::vector<char>> values(cols, std::vector<char>(bindSize + 1, 0));
    std::vector<int> lengths(cols, 0);
    TFrameOut o(out, jetframe::ExitUnreadable);
    o.Bytes(jetframe::kMagic, sizeof jetframe::kMagic);
    o.U8(jetframe::kColumns);
    o.U16(cols);
    for (unsigned i = 0; i < cols; ++i) {
        auto* col = static_cast<MdbColumn*>(g_ptr_array_index(h.table->columns, i));
        if (mdb_bind_column(h.table, static_cast<int>(i + 1), values[i].data(), &lengths[i]) < 0)
            return jetframe::ExitUnreadable;
        const size_t nameLen = strnlen(col->name, sizeof col->name);
        o.U8(static_cast<unsigned>(col->col_type) & 0xFF);
        o.U16(static_cast<unsigned>(col->col_size) & 0xFFFF);
        o.U16(static_cast<unsigned>(nameLen));
        o.Bytes(col->name, nameLen);
    }
    TComplaints complaints;
    if (!complaints.Start()) return jetframe::ExitUnreadable;
    mdb_rewind_table(h.table);
    std::uint32_t rows = 0;
    while (mdb_fetch_row(h.table)) {
        o.U8(jetframe::kRow);
        for (unsigned i = 0; i < cols; ++i) {
            const size_t n = strnlen(values[i].data(), bindSize);
            if (n + 1 >= bindSize) return jetframe::ExitTooLong;
            o.U32(static_cast<std::uint32_t>(n));
            o.Bytes(values[i].data(), n);
        }
        ++rows;
        // A flood of complaints ends the reading early.
        if (rows % 256 == 0 && complaints.Any()) return jetframe::ExitUnreadable;
    }
    if (complaints.Any() || rows < h.table->num_rows) return jetframe::ExitUnreadable;
    o.U8(jetframe::kEnd);
    o.U32(rows);
    o.Flush();
    return jetframe::ExitOk;
}

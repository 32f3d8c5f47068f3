// lorvane-jetread FILE TABLE: reads one table of a Jet 4 database file with
// libmdb and writes its columns and rows to standard output (cards/jetframe.h).
// The database password to expect comes on standard input, one line.
//
// libmdb is not safe on damaged files (it crashes or loops on some), so the
// program runs it only here, in a process of its own that the parent starts
// with limits and a time-out. The header and the password are checked before
// libmdb sees the file: libmdb reads no password.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// mdbtools.h needs these first when compiled as C++.
#include <glib.h>
#include <iconv.h>
#include <mdbtools.h>

#include "jetframe.h"
#include "jetheader.h"

namespace {

class TOut {
  public:
    explicit TOut(int fd) : FFd(fd) {}
    void Bytes(const void* p, size_t n) {
        const auto* c = static_cast<const char*>(p);
        FBuf.insert(FBuf.end(), c, c + n);
        if (FBuf.size() >= 1 << 16) Flush();
    }
    void U8(unsigned v) { FBuf.push_back(static_cast<char>(v)); }
    void U16(unsigned v) {
        U8(v & 0xFF);
        U8((v >> 8) & 0xFF);
    }
    void U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) U8((v >> (8 * i)) & 0xFF);
    }
    void Flush() {
        size_t done = 0;
        while (done < FBuf.size()) {
            const ssize_t n = ::write(FFd, FBuf.data() + done, FBuf.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ::_exit(jetframe::ExitUnreadable);  // the reader has gone
            done += static_cast<size_t>(n);
        }
        FBuf.clear();
    }

  private:
    int FFd;
    std::vector<char> FBuf;
};

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

int CheckHeader(const char* path, const std::string& password) {
    std::vector<unsigned char> page;
    if (ReadJetFirstPage(path, page) != 0) return jetframe::ExitNotJet;
    switch (CheckJetHeader(page.data(), page.size(), password)) {
        case TJetHeaderCheck::Ok:
            return jetframe::ExitOk;
        case TJetHeaderCheck::NotJet4:
            return jetframe::ExitNotJet4;
        case TJetHeaderCheck::WrongPassword:
            return jetframe::ExitWrongPassword;
        case TJetHeaderCheck::NotJet:
            break;
    }
    return jetframe::ExitNotJet;
}

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
    if (argc != 3 || argv[1][0] != '/') return jetframe::ExitUsage;
    // Frames go to a copy of standard output; whatever the library prints
    // there goes where its error output goes (nowhere).
    const int out = ::dup(1);
    if (out < 0 || ::dup2(2, 1) < 0) return jetframe::ExitUsage;
    const char* path = argv[1];
    const std::string password = ReadPassword();
    if (const int rc = CheckHeader(path, password); rc != jetframe::ExitOk) return rc;

    THandle h;
    h.mdb = mdb_open(path, MDB_NOFLAGS);
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
    h.table = mdb_read_table(entry);
    if (!h.table || !mdb_read_columns(h.table)) return jetframe::ExitUnreadable;

    // Each bound buffer gets the library's bind size: it writes up to that.
    const unsigned cols = h.table->num_cols;
    const size_t bindSize = h.mdb->bind_size;
    std::vector<std::vector<char>> values(cols, std::vector<char>(bindSize + 1, 0));
    std::vector<int> lengths(cols, 0);
    TOut o(out);
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
    mdb_rewind_table(h.table);
    std::uint32_t rows = 0;
    while (mdb_fetch_row(h.table)) {
        o.U8(jetframe::kRow);
        for (unsigned i = 0; i < cols; ++i) {
            const size_t n = strnlen(values[i].data(), bindSize);
            o.U32(static_cast<std::uint32_t>(n));
            o.Bytes(values[i].data(), n);
        }
        ++rows;
    }
    o.U8(jetframe::kEnd);
    o.U32(rows);
    o.Flush();
    return jetframe::ExitOk;
}

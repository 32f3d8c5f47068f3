// lorvane-xlsread FILE CPU_SECONDS ADDRESS_BYTES: reads the first sheet of an
// Excel 97-2003 workbook with FreeXL and writes its cells to standard output
// (cards/sheets/xlsframe.h).
//
// FreeXL is not safe on hostile files: a date cell with a huge value keeps it
// counting days for minutes, and a sheet that declares its size as the
// largest possible takes hundreds of megabytes before any cell is read. So the
// program reads workbooks only here, in a process of its own that limits its
// own CPU time and memory first; the parent adds a time-out.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <freexl.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-utils.h>

#include "cmdline.h"
#include "frameout.h"
#include "xlsframe.h"

namespace {

void Limit(int resource, rlim_t value) {
    const rlimit r{value, value};
    ::setrlimit(resource, &r);
}

// An encrypted .xlsx is a compound file holding the encrypted package; an
// .xls with a password to open says so inside its workbook stream (FreeXL).
int CheckCompoundFile(const char* path) {
    GError* error = nullptr;
    GsfInput* input = gsf_input_stdio_new(path, &error);
    if (error) g_error_free(error);
    if (!input) return xlsframe::ExitDamaged;
    error = nullptr;
    GsfInfile* ole = gsf_infile_msole_new(input, &error);
    if (error) g_error_free(error);
    g_object_unref(input);
    if (!ole) return xlsframe::ExitDamaged;
    int rc = xlsframe::ExitOk;
    for (const char* name : {"EncryptedPackage", "EncryptionInfo"}) {
        if (GsfInput* child = gsf_infile_child_by_name(ole, name)) {
            g_object_unref(child);
            rc = xlsframe::ExitEncrypted;
        }
    }
    g_object_unref(ole);
    return rc;
}

struct THandle {
    const void* xls = nullptr;
    ~THandle() {
        if (xls) freexl_close(xls);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 &&
        AnswerHelpOrVersion(argc, argv, "lorvane-xlsread",
                            "Usage: lorvane-xlsread /ABSOLUTE/PATH.xls CPU_SECONDS ADDRESS_BYTES\n"
                            "Reads the first sheet of an Excel 97-2003 workbook and writes its\n"
                            "cells on standard output, within the given CPU time and memory.\n"
                            "Lorvane starts it for the workbooks it imports; it is not meant to\n"
                            "be run by hand.\n"
                            "\n"
                            "  --help     show this text and exit\n"
                            "  --version  show the version and exit\n"))
        return 0;
    if (argc != 4 || argv[1][0] != '/') return xlsframe::ExitUsage;
    Limit(RLIMIT_CPU, std::strtoul(argv[2], nullptr, 10));
    Limit(RLIMIT_AS, std::strtoull(argv[3], nullptr, 10));
    Limit(RLIMIT_FSIZE, 0);
    Limit(RLIMIT_CORE, 0);
    ::close_range(3, ~0U, 0);
    const int out = TakeFramesOutput();
    if (out < 0) return xlsframe::ExitUsage;
    const char* path = argv[1];

    if (const int rc = CheckCompoundFile(path); rc != xlsframe::ExitOk) return rc;
    THandle h;
    switch (freexl_open(path, &h.xls)) {
        case FREEXL_OK:
            break;
        case FREEXL_BIFF_WORKBOOK_NOT_FOUND:  // another kind of compound file
            return xlsframe::ExitNotWorkbook;
        default:
            return xlsframe::ExitDamaged;
    }
    unsigned int info = 0;
    if (freexl_get_info(h.xls, FREEXL_BIFF_PASSWORD, &info) != FREEXL_OK)
        return xlsframe::ExitDamaged;
    if (info == FREEXL_BIFF_OBFUSCATED) return xlsframe::ExitEncrypted;
    if (freexl_get_info(h.xls, FREEXL_BIFF_SHEET_COUNT, &info) != FREEXL_OK || info == 0)
        return xlsframe::ExitNoSheet;
    unsigned int rows = 0;
    unsigned short columns = 0;
    if (freexl_select_active_worksheet(h.xls, 0) != FREEXL_OK ||
        freexl_worksheet_dimensions(h.xls, &rows, &columns) != FREEXL_OK)
        return xlsframe::ExitDamaged;

    TFrameOut o(out, xlsframe::ExitDamaged);
    o.Bytes(xlsframe::kMagic, sizeof xlsframe::kMagic);
    std::uint32_t cells = 0;
    for (unsigned int row = 0; row < rows; ++row) {
        for (unsigned short column = 0; column < columns; ++column) {
            FreeXL_CellValue v{};
            if (freexl_get_cell_value(h.xls, row, column, &v) != FREEXL_OK)
                return xlsframe::ExitDamaged;
            double number = 0;
            switch (v.type) {
                case FREEXL_CELL_INT:
                    number = v.value.int_value;
                    break;
                case FREEXL_CELL_DOUBLE:
                    number = v.value.double_value;
                    break;
                case FREEXL_CELL_TEXT:
                case FREEXL_CELL_SST_TEXT:
                case FREEXL_CELL_DATE:
                case FREEXL_CELL_DATETIME:
                case FREEXL_CELL_TIME: {
                    const char* text = v.value.text_value ? v.value.text_value : "";
                    const std::size_t n = std::strlen(text);
                    o.U8(xlsframe::kText);
                    o.U32(row);
                    o.U16(column);
                    o.U32(static_cast<std::uint32_t>(n));
                    o.Bytes(text, n);
                    ++cells;
                    continue;
                }
                default:
                    continue;  // empty
            }
            std::uint64_t bits = 0;
            std::memcpy(&bits, &number, sizeof bits);
            o.U8(xlsframe::kNumber);
            o.U32(row);
            o.U16(column);
            o.U64(bits);
            ++cells;
        }
    }
    o.U8(xlsframe::kEnd);
    o.U32(cells);
    o.Flush();
    return xlsframe::ExitOk;
}

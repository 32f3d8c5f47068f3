// What lorvane-xlsread writes to its standard output, and its exit codes.
// Numbers are little-endian.
//   "LXR1"
//   'N' u32 row, u16 column, u64 bits of a double    -- a number cell
//   'T' u32 row, u16 column, u32 length, UTF-8 text  -- a text cell
//   'E' u32 cells
// Rows and columns count from 0; cells come row by row, left to right; empty
// cells are left out. Dates and times come as FreeXL's texts; booleans are
// numbers 1 and 0 (FreeXL does not tell them apart).
#pragma once

namespace xlsframe {

inline constexpr char kMagic[4] = {'L', 'X', 'R', '1'};
inline constexpr char kNumber = 'N', kText = 'T', kEnd = 'E';

enum TExit : int {
    ExitOk = 0,
    ExitUsage = 2,
    ExitNotWorkbook = 3,  // a compound file without a workbook stream
    ExitEncrypted = 4,    // a password protects the workbook (or an encrypted .xlsx)
    ExitDamaged = 5,      // no readable compound file, or FreeXL cannot read it
    ExitNoSheet = 6,
};

}  // namespace xlsframe

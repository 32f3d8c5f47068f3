// What lorvane-jetread writes to its standard output, and its exit codes.
// Numbers are little-endian.
//   "LJR1"
//   'C' u16 columns, then per column: u8 libmdb type, u16 size in bytes,
//       u16 name length, name (UTF-8)
//   'R' per column: u32 length, the value as text (UTF-8)   -- once per row
//   'E' u32 rows
// Values are libmdb's texts: integers in decimal, booleans "1"/"0". libmdb
// binds a null as the empty text, so a null and an empty text look the same.
#pragma once

#include <cstdint>

namespace jetframe {

inline constexpr char kMagic[4] = {'L', 'J', 'R', '1'};
inline constexpr char kColumns = 'C', kRow = 'R', kEnd = 'E';

enum TExit : int {
    ExitOk = 0,
    ExitUsage = 2,
    ExitNotJet = 3,   // no Jet signature, or too short
    ExitNotJet4 = 4,  // Jet 3 or a later engine
    ExitWrongPassword = 5,
    ExitNoTable = 6,
    ExitUnreadable = 7,  // the file, or a page or row of the table, cannot be read
    ExitTooLong = 8,     // a value longer than the reader takes
};

// libmdb's column types that the parent tells apart.
enum TType : std::uint8_t {
    TypeBool = 0x01,
    TypeByte = 0x02,
    TypeInt = 0x03,
    TypeLong = 0x04,
    TypeFloat = 0x06,
    TypeDouble = 0x07,
    TypeText = 0x0A,
    TypeMemo = 0x0C,
};

}  // namespace jetframe

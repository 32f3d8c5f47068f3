// The first page of a Jet database file: the signature, the engine version and
// the database password, decoded here rather than by libmdb, which reads no
// password. Pure byte work on a fixed-size buffer; no library, no Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::size_t kJetPageSize = 4096;

// Bytes 0..18: 00 01 00 00 "Standard Jet DB". Enough bytes to tell a Jet file
// from any other, whatever its version.
bool HasJetSignature(const unsigned char* bytes, std::size_t size);

// Reads the start of the file; false when it cannot be read or is no Jet file.
bool IsJetFile(const std::string& path);

// Reads up to one page from the start of the file into page (resized to what
// was read; nothing for anything but a regular file). Never blocks on a named
// pipe or a device. Returns 0, or the errno of a failed open.
int ReadJetFirstPage(const char* path, std::vector<unsigned char>& page);

enum class TJetHeaderCheck {
    Ok,             // Jet 4, and the database password is the one given (or none)
    NotJet,         // no signature, or shorter than a page
    NotJet4,        // Jet 3, or a later engine's file
    WrongPassword,  // a password other than the one given
};

// Checks the first page against the expected password (UTF-8). A file with
// no database password passes, as the Jet engine opens it with any.
TJetHeaderCheck CheckJetHeader(const unsigned char* page0, std::size_t size,
                               const std::string& password);

// The database password of a Jet 4 first page, as UTF-8 ("" for none).
std::string JetDatabasePassword(const unsigned char* page0);

// Keys of card database files: SQLCipher's key derivation done here, once per
// file and password, and a process-wide cache of the derived keys, so that a
// reconnect (every refresh reconnects) skips the 64,000 rounds.
#include "file_keys.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <optional>

#include "sqlitehandles.h"

namespace {

// Keys the connection with key bytes as given (a passphrase, or a raw key in
// SQLCipher's x'...' form) and checks the key at once.
void KeyBytesAndCheck(sqlite3* db, const void* key, int size) {
    if (size > 0 && sqlite3_key(db, key, size) != SQLITE_OK)
        throw EDatabaseError(sqlite3_errmsg(db));
    // Keeps the files readable by SQLCipher 4; older versions ignore it.
    sqlite3_exec(db, "PRAGMA cipher_compatibility = 3", nullptr, nullptr, nullptr);
    // A wrong key or a foreign file shows only at the first read.
    Exec(db, "SELECT count(*) FROM sqlite_master");
}

// SQLCipher 3 turns the passphrase into the page key with PBKDF2-HMAC-SHA1 over
// the 16 salt bytes at the start of the file. Deriving that key ourselves and
// handing it over as a raw key decrypts exactly what the passphrase does (the
// page HMAC key is derived from the key and the salt either way), and lets a
// reconnect skip the 64,000 rounds.
constexpr int kKdfIterations = 64000;
constexpr size_t kSaltSize = 16;
constexpr size_t kKeySize = 32;
using TSalt = std::array<unsigned char, kSaltSize>;
using TDigest = std::array<unsigned char, 32>;

// Key bytes that are wiped when they go.
struct TRawKey {
    std::array<unsigned char, kKeySize> bytes{};
    TRawKey() = default;
    TRawKey(const TRawKey& other) : bytes(other.bytes) {}
    TRawKey& operator=(const TRawKey& other) {
        bytes = other.bytes;
        return *this;
    }
    ~TRawKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

// The salt of the file the connection has actually opened, read through its
// own descriptor, so that a file replaced meanwhile cannot mismatch. Raises
// for a file shorter than a salt, which cannot be a keyed database (SQLCipher
// would take a one-byte file for an empty one). None when it cannot be read:
// keying with the passphrase then reports what is wrong.
std::optional<TSalt> FileSalt(sqlite3* db) {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods)
        return std::nullopt;
    TSalt salt{};
    const int rc = file->pMethods->xRead(file, salt.data(), static_cast<int>(salt.size()), 0);
    if (rc == SQLITE_IOERR_SHORT_READ)
        throw EDatabaseError("file is encrypted or is not a database");
    if (rc != SQLITE_OK) return std::nullopt;
    return salt;
}

// Cache lookups are by a digest of salt and password; the password itself is
// not kept.
TDigest LookupTag(const std::string& password, const TSalt& salt) {
    TDigest tag{};
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    bool ok = md && EVP_DigestInit_ex(md, EVP_sha256(), nullptr) == 1 &&
              EVP_DigestUpdate(md, salt.data(), salt.size()) == 1 &&
              EVP_DigestUpdate(md, password.data(), password.size()) == 1 &&
              EVP_DigestFinal_ex(md, tag.data(), nullptr) == 1;
    EVP_MD_CTX_free(md);
    if (!ok) throw EDatabaseError("Cannot compute a digest (OpenSSL).");
    return tag;
}

TRawKey DeriveKey(const std::string& password, const TSalt& salt) {
    TRawKey key;
    if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt.data(),
                               static_cast<int>(salt.size()), kKdfIterations,
                               static_cast<int>(key.bytes.size()), key.bytes.data()) != 1)
        throw EDatabaseError("Cannot derive the database key (OpenSSL).");
    return key;
}

// Keys the connection with a raw key, x'<64 hex digits>', and checks it.
void KeyRawAndCheck(sqlite3* db, const TRawKey& key) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::array<char, 2 * kKeySize + 3> text{};
    text[0] = 'x';
    text[1] = '\'';
    for (size_t i = 0; i < kKeySize; ++i) {
        text[2 + 2 * i] = kHex[key.bytes[i] >> 4];
        text[3 + 2 * i] = kHex[key.bytes[i] & 0xF];
    }
    text.back() = '\'';
    try {
        KeyBytesAndCheck(db, text.data(), static_cast<int>(text.size()));
    } catch (...) {
        OPENSSL_cleanse(text.data(), text.size());
        throw;
    }
    OPENSSL_cleanse(text.data(), text.size());
}

// Process-wide cache of derived keys by (password, file salt), most recently
// used first. It holds key material of files this process has already opened
// with their right password, and nothing else: a key is stored only after it
// read the file. A derived key is a pure function of password and salt, so an
// entry never goes stale; a file replaced by another has another salt.
class TDerivedKeyCache {
  public:
    static TDerivedKeyCache& Instance() {
        static TDerivedKeyCache cache;
        return cache;
    }
    std::optional<TRawKey> Find(const TDigest& tag) {
        std::lock_guard lock(FMutex);
        for (size_t i = 0; i < FCount; ++i)
            if (FEntries[i].tag == tag) {
                std::rotate(FEntries.begin(), FEntries.begin() + i, FEntries.begin() + i + 1);
                return FEntries[0].key;
            }
        return std::nullopt;
    }
    void Store(const TDigest& tag, const TRawKey& key) {
        std::lock_guard lock(FMutex);
        for (size_t i = 0; i < FCount; ++i)
            if (FEntries[i].tag == tag) return;  // another connection was quicker
        if (FCount < FEntries.size()) ++FCount;
        // The least recently used entry, if the cache was full, is overwritten.
        std::rotate(FEntries.begin(), FEntries.begin() + FCount - 1, FEntries.begin() + FCount);
        FEntries[0] = {tag, key};
    }

  private:
    struct Entry {
        TDigest tag{};
        TRawKey key;
    };
    std::mutex FMutex;
    std::array<Entry, 16> FEntries;  // fixed storage: no key bytes left in freed memory
    size_t FCount = 0;
};

}  // namespace

// Keys a connection to an existing file: with a cached key when this process
// has opened a file with the same salt and password before, else with a key
// derived here and cached once it has read the file. Without a password, or
// when the salt cannot be read, the passphrase path as ever.
void KeyExisting(sqlite3* db, const std::string& password) {
    const std::optional<TSalt> salt = password.empty() ? std::nullopt : FileSalt(db);
    if (!salt) {
        KeyAndCheck(db, password);
        return;
    }
    TDerivedKeyCache& cache = TDerivedKeyCache::Instance();
    const TDigest tag = LookupTag(password, *salt);
    if (const std::optional<TRawKey> cached = cache.Find(tag)) {
        KeyRawAndCheck(db, *cached);
        return;
    }
    const TRawKey key = DeriveKey(password, *salt);
    KeyRawAndCheck(db, key);
    cache.Store(tag, key);
}

void KeyAndCheck(sqlite3* db, const std::string& password) {
    KeyBytesAndCheck(db, password.data(), static_cast<int>(password.size()));
}

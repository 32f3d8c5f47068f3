#include "jetheader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

constexpr unsigned char kSignature[] = {0x00, 0x01, 0x00, 0x00, 'S', 't', 'a', 'n', 'd', 'a',
                                        'r',  'd',  ' ',  'J',  'e', 't', ' ', 'D', 'B'};
constexpr std::size_t kVersionAt = 0x14;
// Bytes 0x18..0x97 of a Jet 4 header are RC4-encrypted with a fixed key.
constexpr std::size_t kSecretAt = 0x18, kSecretSize = 0x80;
constexpr std::size_t kPasswordAt = 0x42, kPasswordSize = 40, kCreatedAt = 0x72;

void Rc4(unsigned char* data, std::size_t n) {
    static constexpr unsigned char kKey[] = {0xC7, 0xDA, 0x39, 0x6B};
    std::array<unsigned char, 256> s{};
    for (int i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + kKey[i % 4]) & 0xFF;
        std::swap(s[i], s[j]);
    }
    for (std::size_t k = 0, i = 0, j = 0; k < n; ++k) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        data[k] ^= s[(s[i] + s[j]) & 0xFF];
    }
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

bool HasJetSignature(const unsigned char* bytes, std::size_t size) {
    return size >= sizeof kSignature && std::memcmp(bytes, kSignature, sizeof kSignature) == 0;
}

bool IsJetFile(const std::string& path) {
    std::vector<unsigned char> page;
    return ReadJetFirstPage(path.c_str(), page) == 0 && HasJetSignature(page.data(), page.size());
}

int ReadJetFirstPage(const char* path, std::vector<unsigned char>& page) {
    page.clear();
    // Not blocking: a named pipe or a device must not hold up the caller.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return 0;  // no page: not a Jet file
    }
    page.assign(kJetPageSize, 0);
    std::size_t got = 0;
    while (got < page.size()) {
        const ssize_t n = ::read(fd, page.data() + got, page.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    page.resize(got);
    return 0;
}

std::string JetDatabasePassword(const unsigned char* page0) {
    std::array<unsigned char, kSecretSize> secret{};
    std::memcpy(secret.data(), page0 + kSecretAt, kSecretSize);
    Rc4(secret.data(), secret.size());
    double created = 0;
    std::memcpy(&created, secret.data() + (kCreatedAt - kSecretAt), sizeof created);
    // The password is masked with the whole days of the creation date.
    std::uint32_t mask = 0;
    if (std::isfinite(created) && created > -2147483648.0 && created < 2147483648.0)
        mask = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::floor(created)));
    const unsigned char* pw = secret.data() + (kPasswordAt - kSecretAt);
    std::string out;
    for (std::size_t i = 0; i + 1 < kPasswordSize; i += 2) {
        const unsigned lo = pw[i] ^ ((mask >> (8 * (i % 4))) & 0xFF);
        const unsigned hi = pw[i + 1] ^ ((mask >> (8 * ((i + 1) % 4))) & 0xFF);
        const char32_t unit = static_cast<char32_t>(lo | (hi << 8));
        if (unit == 0) break;
        // Surrogates stand for themselves: a password with them never matches.
        AppendUtf8(out, unit);
    }
    return out;
}

TJetHeaderCheck CheckJetHeader(const unsigned char* page0, std::size_t size,
                               const std::string& password) {
    if (size < kJetPageSize || !HasJetSignature(page0, size)) return TJetHeaderCheck::NotJet;
    if (page0[kVersionAt] != 0x01) return TJetHeaderCheck::NotJet4;
    const std::string stored = JetDatabasePassword(page0);
    if (!stored.empty() && stored != password) return TJetHeaderCheck::WrongPassword;
    return TJetHeaderCheck::Ok;
}

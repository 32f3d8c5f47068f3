// The file checks before any parser sees the file, the choice of reader, and
// the rows-to-cards rules that all three readers share.
#include "cardsheet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include "sheetrows.h"

namespace {

class TFile {
  public:
    explicit TFile(const std::string& path)
        // Non-blocking, so that a named pipe cannot stall the open.
        : FFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)) {}
    ~TFile() {
        if (FFd >= 0) ::close(FFd);
    }
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;
    int Fd() const { return FFd; }

  private:
    int FFd;
};

std::string Megabytes(std::uint64_t bytes) {
    return std::to_string(bytes >> 20) + " MB";
}

// The whole file, at most limit bytes; a file that grew past its size while
// being read is refused the same way.
std::string ReadAll(int fd, std::uint64_t size, std::uint64_t limit) {
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(size));
    std::size_t done = 0;
    char probe = 0;
    for (;;) {
        char* at = done < bytes.size() ? bytes.data() + done : &probe;
        const std::size_t want = done < bytes.size() ? bytes.size() - done : 1;
        const ssize_t n = ::pread(fd, at, want, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw ESheetError(std::string("The file cannot be read: ") + std::strerror(errno));
        if (n == 0) break;
        if (done >= bytes.size()) {
            if (done >= limit)
                throw ESheetError("The file is larger than " + Megabytes(limit) + ".");
            bytes.push_back(probe);
        }
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

std::string_view Trimmed(std::string_view s) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A number written as text: optional sign, digits, fraction, exponent.
std::optional<double> NumberIn(std::string_view text) {
    text = Trimmed(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    double value = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<double> NumberOf(const TSheetCell& cell) {
    switch (cell.kind) {
        case TSheetCell::Kind::Number:
            return cell.number;
        case TSheetCell::Kind::Text:
            return NumberIn(cell.text);
        default:
            return std::nullopt;
    }
}

std::optional<std::int32_t> CardNumber(std::optional<double> n) {
    if (!n || std::floor(*n) != *n || *n < 1 || *n > kMaxCardNumber) return std::nullopt;
    return static_cast<std::int32_t>(*n);
}

std::optional<std::int32_t> CardNumberOf(const TSheetCell* cell) {
    if (!cell) return std::nullopt;
    return CardNumber(NumberOf(*cell));
}

const char* const kTitles[] = {"CARD_NO", "DESCRIPTION", "GROUP", "GRANTED"};

std::string TextOf(const TSheetCell* cell) {
    if (!cell) return {};
    switch (cell->kind) {
        case TSheetCell::Kind::Text:
            return cell->text;
        case TSheetCell::Kind::Boolean:
            return cell->number != 0 ? "TRUE" : "FALSE";
        case TSheetCell::Kind::Number: {
            char buf[32];
            const double n = cell->number;
            const auto r = std::floor(n) == n && std::fabs(n) < 1e15
                               ? std::to_chars(buf, buf + sizeof buf, static_cast<long long>(n))
                               : std::to_chars(buf, buf + sizeof buf, n);
            return std::string(buf, r.ptr);
        }
        default:
            return {};
    }
}

// TRUE/FALSE, yes/no and numbers (nonzero is granted, as -1 is in Access
// files); anything else grants nothing.
bool GrantedOf(const TSheetCell* cell) {
    if (!cell || cell->kind == TSheetCell::Kind::Empty) return false;
    if (cell->kind != TSheetCell::Kind::Text) return cell->number != 0;
    const std::string_view text = Trimmed(cell->text);
    if (EqualsNoCase(text, "true") || EqualsNoCase(text, "yes")) return true;
    const std::optional<double> n = NumberIn(text);
    return n && *n != 0;
}

// Names and groups are cut to kMaxTextChars characters: a hostile sheet
// repeating one long text in every row would otherwise cost gigabytes.
std::string Shortened(std::string text) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (chars++ == kMaxTextChars) {
            text.resize(i);
            break;
        }
    }
    return text;
}

bool IsEmpty(const TSheetCell& cell) {
    return cell.kind == TSheetCell::Kind::Empty ||
           (cell.kind == TSheetCell::Kind::Text && Trimmed(cell.text).empty());
}

bool StartsWith(std::string_view bytes, std::string_view magic) {
    return bytes.substr(0, magic.size()) == magic;
}

}  // namespace

std::optional<std::int32_t> CardNumberIn(std::string_view text) {
    return CardNumber(NumberIn(text));
}

bool IsColumnTitle(std::string_view text) {
    text = Trimmed(text);
    return std::any_of(std::begin(kTitles), std::end(kTitles),
                       [&](const char* title) { return EqualsNoCase(text, title); });
}

bool IsCardSheetPath(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
    const std::string_view ext = std::string_view(path).substr(dot + 1);
    return EqualsNoCase(ext, "xlsx") || EqualsNoCase(ext, "xls") || EqualsNoCase(ext, "csv");
}

bool TCardRows::Wanted(int column) const {
    return !FDecided || column == FCardColumn || column == FNameColumn || column == FGroupColumn ||
           column == FGrantedColumn;
}

const TSheetCell* TCardRows::Cell(const std::vector<TSheetCell>& cells, int column) const {
    if (column < 0) return nullptr;
    for (const TSheetCell& c : cells)
        if (c.column == column) return &c;
    return nullptr;
}

void TCardRows::Header(const std::vector<TSheetCell>& cells) {
    FDecided = true;
    int card = -1;
    bool named = false;
    for (const TSheetCell& c : cells) {
        if (c.kind != TSheetCell::Kind::Text) continue;
        const std::string_view name = Trimmed(c.text);
        auto take = [&](const char* wanted, int& column) {
            if (!EqualsNoCase(name, wanted)) return;
            named = true;
            if (column < 0) column = c.column;  // the first of two equal titles
        };
        take(kTitles[0], card);
        take(kTitles[1], FNameColumn);
        take(kTitles[2], FGroupColumn);
        take(kTitles[3], FGrantedColumn);
    }
    if (named && card < 0) throw ESheetError("The header row has no CARD_NO column.");
    FSheet.header = named;
    if (named) {
        FCardColumn = card;
        return;
    }
    // No header: card numbers in the first column, nothing else.
    FCardColumn = 0;
    FNameColumn = FGroupColumn = FGrantedColumn = -1;
}

void TCardRows::Row(int number, const std::vector<TSheetCell>& cells) {
    if (std::all_of(cells.begin(), cells.end(), IsEmpty)) return;
    if (++FRows > FMaxRows)
        throw ESheetError("The card list has more than " + std::to_string(FMaxRows) + " rows.");
    if (!FDecided) {
        Header(cells);
        if (FSheet.header) return;
    }
    const std::optional<std::int32_t> card = CardNumberOf(Cell(cells, FCardColumn));
    if (!card) {
        ++FSheet.skipped;
        if (FSheet.skippedRows.size() < kNamedSkippedRows) FSheet.skippedRows.push_back(number);
        return;
    }
    TSheetCard out;
    out.row = number;
    out.number = *card;
    out.name = Shortened(TextOf(Cell(cells, FNameColumn)));
    out.group = Shortened(TextOf(Cell(cells, FGroupColumn)));
    out.granted = GrantedOf(Cell(cells, FGrantedColumn));
    FSheet.cards.push_back(std::move(out));
}

TCardSheet ReadCardSheet(const std::string& path, const TSheetLimits& limits) {
    const TFile file(path);
    if (file.Fd() < 0)
        throw ESheetError(std::string("The file cannot be opened: ") + std::strerror(errno) + ".");
    struct stat st {};
    if (::fstat(file.Fd(), &st) != 0 || !S_ISREG(st.st_mode))
        throw ESheetError("The chosen item is not a file.");
    if (static_cast<std::uint64_t>(st.st_size) > limits.maxFileBytes)
        throw ESheetError("The file is larger than " + Megabytes(limits.maxFileBytes) + ".");

    TCardRows rows(limits.maxRows);
    std::array<char, 8> head{};
    const ssize_t n = ::pread(file.Fd(), head.data(), head.size(), 0);
    const std::string_view first(head.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    if (StartsWith(first, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) {
        ReadXls(path, rows, limits);
    } else {
        const std::string bytes =
            ReadAll(file.Fd(), static_cast<std::uint64_t>(st.st_size), limits.maxFileBytes);
        if (StartsWith(bytes, "PK\x03\x04"))
            ReadXlsx(bytes, rows, limits);
        else
            ReadCsv(bytes, rows);
    }
    return rows.Take();
}

// CSV card lists: the text encoding and the separator are told from the
// bytes, libcsv splits the records (RFC 4180 quoting).
#include <csv.h>
#include <glib.h>
#include <iconv.h>

#include <array>
#include <cerrno>
#include <exception>
#include <functional>
#include <memory>
#include <new>

#include "sheetrows.h"

namespace {

using TIconv = std::unique_ptr<std::remove_pointer_t<iconv_t>, decltype(&iconv_close)>;

// Converts to UTF-8 with iconv. With replace, a byte the encoding does not
// define (five are undefined in Windows-1252) becomes U+FFFD; without, any
// such byte makes the text unreadable.
std::string ToUtf8(std::string_view in, const char* encoding, bool replace) {
    const TIconv cd(iconv_open("UTF-8", encoding), &iconv_close);
    if (cd.get() == reinterpret_cast<iconv_t>(-1)) throw ESheetError(kNotASheet);
    std::string out;
    out.reserve(in.size() + in.size() / 2);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    std::array<char, 1 << 16> buf;
    while (srcLeft > 0) {
        char* dst = buf.data();
        std::size_t dstLeft = buf.size();
        const std::size_t r = iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft);
        out.append(buf.data(), buf.size() - dstLeft);
        if (r != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
        if (!replace) throw ESheetError(kNotASheet);
        out += "\xEF\xBF\xBD";
        ++src;
        --srcLeft;
    }
    return out;
}

// UTF-8 (with or without its byte order mark), UTF-16 with its byte order
// mark, else Windows-1252. Text with NUL bytes is no CSV file.
std::string DecodedText(std::string_view bytes) {
    if (bytes.substr(0, 2) == "\xFF\xFE") return ToUtf8(bytes.substr(2), "UTF-16LE", false);
    if (bytes.substr(0, 2) == "\xFE\xFF") return ToUtf8(bytes.substr(2), "UTF-16BE", false);
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    if (bytes.find('\0') != std::string_view::npos) throw ESheetError(kNotASheet);
    if (g_utf8_validate_len(bytes.data(), bytes.size(), nullptr)) return std::string(bytes);
    return ToUtf8(bytes, "WINDOWS-1252", true);
}

using TRowSink = std::function<void(int row, const std::vector<TSheetCell>& cells)>;

// What libcsv's callbacks fill: the fields of the record being read, and the
// row it began on as a spreadsheet counts rows (one per line end outside
// quotes, so an empty line is an empty row).
struct TCsvState {
    TRowSink sink;
    std::vector<TSheetCell> cells;
    int row = 1;
    bool afterCr = false;  // the last record ended at a CR
    std::exception_ptr failure;
};

void OnField(void* data, std::size_t length, void* state) {
    auto& s = *static_cast<TCsvState*>(state);
    s.afterCr = false;
    TSheetCell cell;
    cell.column = static_cast<int>(s.cells.size());
    if (length > 0) {
        cell.kind = TSheetCell::Kind::Text;
        cell.text.assign(static_cast<const char*>(data), length);
    }
    s.cells.push_back(std::move(cell));
}

void OnRecordEnd(int terminator, void* state) {
    auto& s = *static_cast<TCsvState*>(state);
    // The LF of a CR LF pair ends no row of its own.
    if (terminator == '\n' && s.afterCr && s.cells.empty()) {
        s.afterCr = false;
        return;
    }
    s.afterCr = terminator == '\r';
    const int row = s.row++;
    if (s.cells.empty() || s.failure) {
        s.cells.clear();
        return;
    }
    try {
        s.sink(row, s.cells);
    } catch (...) {
        // libcsv cannot be stopped from here: the rest is parsed unused.
        s.failure = std::current_exception();
    }
    s.cells.clear();
}

int BlankOnly(unsigned char c) {
    return c == ' ';
}

// Splits the text into records; false at a quote out of place (strict RFC
// 4180: leniently read, one stray quote would swallow the rest of the file
// into a field), state.row then being the row it is in.
bool ParseCsv(std::string_view text, unsigned char delimiter, TCsvState& state) {
    csv_parser parser{};
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_REPALL_NL) != 0)
        throw std::bad_alloc();
    const std::unique_ptr<csv_parser, decltype(&csv_free)> owner(&parser, &csv_free);
    csv_set_delim(&parser, delimiter);
    // Tabs may be separators: only blanks around unquoted fields are dropped.
    csv_set_space_func(&parser, BlankOnly);
    if (csv_parse(&parser, text.data(), text.size(), OnField, OnRecordEnd, &state) != text.size()) {
        if (csv_error(&parser) == CSV_ENOMEM) throw std::bad_alloc();
        return false;
    }
    const bool closed = csv_fini(&parser, OnField, OnRecordEnd, &state) == 0;
    if (state.failure) std::rethrow_exception(state.failure);
    return closed;
}

// How well a separator suits the start of the file, best first: titles it
// splits the first row into; rows whose first field is a card number; rows
// with as many fields (more than one) as the first.
struct TScore {
    int titles = 0;
    int cardRows = 0;
    int steadyRows = 0;
    auto operator<=>(const TScore&) const = default;
};

TScore Score(std::string_view sample, unsigned char delimiter) {
    TScore score;
    std::size_t firstCount = 0;
    int seen = 0;
    TCsvState state;
    state.sink = [&](int, const std::vector<TSheetCell>& cells) {
        if (seen++ == 0) {
            firstCount = cells.size();
            for (const TSheetCell& c : cells) score.titles += IsColumnTitle(c.text);
        }
        score.cardRows += CardNumberIn(cells.front().text).has_value();
        score.steadyRows += firstCount > 1 && cells.size() == firstCount;
    };
    ParseCsv(sample, delimiter, state);  // the sample may end inside quotes
    return score;
}

unsigned char Separator(std::string_view text) {
    // The first rows are enough to tell; the sample ends at a line end.
    std::string_view sample = text.substr(0, 1 << 16);
    if (sample.size() < text.size()) {
        const std::size_t end = sample.rfind('\n');
        if (end != std::string_view::npos) sample = sample.substr(0, end + 1);
    }
    unsigned char best = ',';
    TScore bestScore = Score(sample, best);
    for (const unsigned char d : {';', '\t'}) {
        const TScore s = Score(sample, d);
        if (s > bestScore) {
            best = d;
            bestScore = s;
        }
    }
    return best;
}

}  // namespace

void ReadCsv(std::string_view bytes, TCardRows& rows) {
    const std::string text = DecodedText(bytes);
    TCsvState state;
    state.sink = [&](int row, const std::vector<TSheetCell>& cells) { rows.Row(row, cells); };
    if (!ParseCsv(text, Separator(text), state))
        throw ESheetError("The CSV file is damaged: a quote is out of place in row " +
                          std::to_string(state.row) + ".");
}

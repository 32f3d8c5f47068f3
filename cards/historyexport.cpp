#include "historyexport.h"

#include <fcntl.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

constexpr int kExportPage = 2000;
// Rows below the header row that one worksheet holds.
constexpr long long kSheetRows = 1048575;
constexpr int kCellChars = 32767;

const char* const kHeader[] = {"Time",     "Time (UTC)", "User",  "Command",
                               "Card No.", "Before",     "After", "Detail"};

bool EndsWithNoCase(const std::string& text, const std::string& end) {
    if (text.size() < end.size()) return false;
    for (size_t i = 0; i < end.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - end.size() + i])) != end[i])
            return false;
    return true;
}

// Valid UTF-8 without the control characters that XML cannot hold, cut to
// what a cell holds.
std::string CellText(const std::string& text) {
    QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    s.removeIf([](QChar c) { return c.unicode() < 0x20 && c != '\t' && c != '\n' && c != '\r'; });
    if (s.size() > kCellChars) s.truncate(kCellChars);
    return s.toStdString();
}

std::vector<std::string> Fields(const THistoryEntry& e) {
    return {HistoryLocalTime(e.time).toStdString(),
            e.time,
            e.user,
            e.command,
            e.card ? std::to_string(*e.card) : std::string(),
            e.before.value_or(""),
            e.after.value_or(""),
            e.detail};
}

// RFC 4180: a field with a comma, quote or line break is quoted, its quotes
// doubled.
void AppendCsvField(std::string& line, const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        line += field;
        return;
    }
    line += '"';
    for (char c : field) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

// A file beside the target that becomes the target only when complete.
class TPartFile {
  public:
    explicit TPartFile(const std::string& target) : FTarget(target), FPath(target + ".partXXXXXX") {
        const int fd = ::mkstemp(FPath.data());
        if (fd < 0)
            throw std::runtime_error("Cannot create a file beside '" + target +
                                     "': " + std::strerror(errno));
        ::close(fd);
    }
    ~TPartFile() {
        if (!FDone) ::unlink(FPath.c_str());
    }
    TPartFile(const TPartFile&) = delete;
    TPartFile& operator=(const TPartFile&) = delete;
    const std::string& Path() const { return FPath; }
    void Commit() {
        if (::rename(FPath.c_str(), FTarget.c_str()) != 0)
            throw std::runtime_error("Cannot write '" + FTarget + "': " + std::strerror(errno));
        FDone = true;
    }

  private:
    std::string FTarget;
    std::string FPath;
    bool FDone = false;
};

// Calls `write` for every entry the filter selects, newest first.
long long ForEachEntry(const THistoryModel::TReader& reader, THistoryQuery query,
                       const std::function<void(const THistoryEntry&)>& write,
                       const std::function<void(long long)>& progress) {
    long long count = 0;
    query.beforeId = 0;
    query.limit = kExportPage;
    for (;;) {
        const std::vector<THistoryEntry> page = reader(query);
        for (const THistoryEntry& e : page) write(e);
        count += static_cast<long long>(page.size());
        if (progress) progress(count);
        if (static_cast<int>(page.size()) < kExportPage) return count;
        query.beforeId = page.back().id;
    }
}

long long ExportCsv(const THistoryModel::TReader& reader, const THistoryQuery& filter,
                    const std::string& path, const std::function<void(long long)>& progress) {
    TPartFile part(path);
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file(std::fopen(part.Path().c_str(), "wb"));
    if (!file) throw std::runtime_error("Cannot write '" + path + "': " + std::strerror(errno));
    // The byte order mark tells spreadsheet programs the text is UTF-8.
    std::string line = "\xEF\xBB\xBF";
    auto put = [&](const std::vector<std::string>& fields) {
        for (size_t k = 0; k < fields.size(); ++k) {
            if (k) line += ',';
            AppendCsvField(line, fields[k]);
        }
        line += "\r\n";
        if (line.size() > 65536) {
            if (std::fwrite(line.data(), 1, line.size(), file.get()) != line.size())
                throw std::runtime_error("Cannot write '" + path + "': " + std::strerror(errno));
            line.clear();
        }
    };
    put({std::begin(kHeader), std::end(kHeader)});
    const long long count = ForEachEntry(
        reader, filter, [&](const THistoryEntry& e) { put(Fields(e)); }, progress);
    if (std::fwrite(line.data(), 1, line.size(), file.get()) != line.size() ||
        std::fflush(file.get()) != 0 || ::fsync(::fileno(file.get())) != 0)
        throw std::runtime_error("Cannot write '" + path + "': " + std::strerror(errno));
    file.reset();
    part.Commit();
    return count;
}

long long ExportXlsx(const THistoryModel::TReader& reader, const THistoryQuery& filter,
                     const std::string& path, const std::function<void(long long)>& progress) {
    TPartFile part(path);
    // Rows go to a temporary file as they are written, not into memory.
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    struct Closer {
        void operator()(lxw_workbook* w) const { workbook_close(w); }
    };
    std::unique_ptr<lxw_workbook, Closer> book(workbook_new_opt(part.Path().c_str(), &options));
    if (!book) throw std::runtime_error("Cannot write '" + path + "'.");
    lxw_worksheet* sheet = workbook_add_worksheet(book.get(), "HISTORY");
    if (!sheet) throw std::runtime_error("Cannot write '" + path + "'.");
    lxw_row_t row = 0;
    auto put = [&](const std::vector<std::string>& fields, bool header) {
        if (row > kSheetRows)
            throw std::runtime_error("The history holds more entries than one worksheet takes (" +
                                     std::to_string(kSheetRows) +
                                     "); export them as CSV, or narrow the filter.");
        for (size_t k = 0; k < fields.size(); ++k) {
            const auto col = static_cast<lxw_col_t>(k);
            if (!header && k == 4 && !fields[k].empty())
                worksheet_write_number(sheet, row, col, std::stod(fields[k]), nullptr);
            else if (!fields[k].empty())
                worksheet_write_string(sheet, row, col, CellText(fields[k]).c_str(), nullptr);
        }
        ++row;
    };
    put({std::begin(kHeader), std::end(kHeader)}, true);
    const long long count = ForEachEntry(
        reader, filter, [&](const THistoryEntry& e) { put(Fields(e), false); }, progress);
    const lxw_error error = workbook_close(book.release());
    if (error != LXW_NO_ERROR)
        throw std::runtime_error("Cannot write '" + path + "': " + lxw_strerror(error));
    part.Commit();
    return count;
}

}  // namespace

long long ExportHistory(const THistoryModel::TReader& reader, const THistoryQuery& filter,
                        const std::string& path, const std::function<void(long long)>& progress) {
    if (EndsWithNoCase(path, ".csv")) return ExportCsv(reader, filter, path, progress);
    return ExportXlsx(reader, filter, path, progress);
}

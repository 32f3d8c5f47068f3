// .xls card lists through lorvane-xlsread (FreeXL in a process of its own):
// the helper is started with its limits, its cells are taken as they come,
// and a helper that crashes, overruns its limits or outlives the time-out
// fails the read as a damaged workbook.
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "helperrun.h"
#include "sheetrows.h"
#include "xlsframe.h"

namespace {

const char* const kUnreadable = "The workbook is damaged or too large to read.";

// The helper's cells, taken frame by frame as the output arrives and handed
// on row by row.
class TFrames {
  public:
    explicit TFrames(TCardRows& rows) : FRows(rows) {}

    // Takes more output; raises on output that breaks the format.
    void Feed(const char* data, std::size_t n) {
        FPending.append(data, n);
        std::size_t at = 0;
        while (!FEnded && Frame(at)) {
        }
        FPending.erase(0, at);
    }

    // After the helper exited normally: the output must have ended in order.
    void Finish() {
        if (!FEnded || !FPending.empty()) throw ESheetError(kUnreadable);
    }

  private:
    std::uint64_t Le(std::size_t at, int bytes) const {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= std::uint64_t{static_cast<unsigned char>(FPending[at + i])} << (8 * i);
        return v;
    }

    void Cell(std::uint32_t row, int column, TSheetCell cell) {
        if (row != FRow) Flush();
        FRow = row;
        ++FCount;
        if (!FRows.Wanted(column)) return;
        cell.column = column;
        FCells.push_back(std::move(cell));
    }

    void Flush() {
        if (!FCells.empty()) FRows.Row(static_cast<int>(FRow) + 1, FCells);
        FCells.clear();
    }

    // Reads the frame at `at`; false when it is not complete yet.
    bool Frame(std::size_t& at) {
        const std::size_t left = FPending.size() - at;
        if (!FMagic) {
            if (left < 4) return false;
            if (FPending.compare(at, 4, xlsframe::kMagic, 4) != 0) throw ESheetError(kUnreadable);
            FMagic = true;
            at += 4;
            return true;
        }
        if (left < 1) return false;
        const char kind = FPending[at];
        if (kind == xlsframe::kEnd) {
            if (left < 5) return false;
            if (Le(at + 1, 4) != FCount) throw ESheetError(kUnreadable);
            Flush();
            FEnded = true;
            at += 5;
            return true;
        }
        if (left < 7) return false;
        const auto row = static_cast<std::uint32_t>(Le(at + 1, 4));
        const auto column = static_cast<int>(Le(at + 5, 2));
        if (row < FRow) throw ESheetError(kUnreadable);
        TSheetCell cell;
        if (kind == xlsframe::kNumber) {
            if (left < 15) return false;
            const std::uint64_t bits = Le(at + 7, 8);
            cell.kind = TSheetCell::Kind::Number;
            std::memcpy(&cell.number, &bits, sizeof bits);
            at += 15;
        } else if (kind == xlsframe::kText) {
            if (left < 11) return false;
            const std::size_t length = Le(at + 7, 4);
            if (length > (std::size_t{1} << 20)) throw ESheetError(kUnreadable);
            if (left < 11 + length) return false;
            cell.kind = TSheetCell::Kind::Text;
            cell.text = FPending.substr(at + 11, length);
            at += 11 + length;
        } else {
            throw ESheetError(kUnreadable);
        }
        Cell(row, column, std::move(cell));
        return true;
    }

    TCardRows& FRows;
    std::string FPending;
    std::vector<TSheetCell> FCells;
    std::uint32_t FRow = 0;
    std::uint32_t FCount = 0;
    bool FMagic = false;
    bool FEnded = false;
};

}  // namespace

void ReadXls(const std::string& path, TCardRows& rows, const TSheetLimits& limits) {
    const std::string helper =
        limits.xlsHelperPath.empty() ? HelperProgramPath("lorvane-xlsread") : limits.xlsHelperPath;
    // The helper limits its own CPU time and memory; here only the time-out.
    THelperLimits helperLimits;
    helperLimits.timeoutMs = limits.xlsTimeoutMs;
    std::vector<std::string> argv = {helper, std::filesystem::absolute(path).string(),
                                     std::to_string(std::max(1, limits.xlsCpuSeconds)),
                                     std::to_string(limits.xlsAddressSpace)};
    TFrames frames(rows);
    THelperRun run;
    try {
        run = RunHelper(std::move(argv), "", helperLimits, [&](std::string_view chunk) {
            frames.Feed(chunk.data(), chunk.size());
            return true;
        });
    } catch (const std::system_error&) {
        throw ESheetError("The workbook reader " + helper + " cannot be started.");
    }
    if (run.killed || !WIFEXITED(run.status)) throw ESheetError(kUnreadable);
    switch (WEXITSTATUS(run.status)) {
        case xlsframe::ExitOk:
            frames.Finish();
            return;
        case xlsframe::ExitNotWorkbook:
            throw ESheetError(kNotASheet);
        case xlsframe::ExitEncrypted:
            throw ESheetError(kEncryptedWorkbook);
        case xlsframe::ExitNoSheet:
            throw ESheetError("The workbook has no worksheet.");
        case xlsframe::ExitDamaged:
            throw ESheetError(kDamagedWorkbook);
        default:
            throw ESheetError("The workbook reader " + helper + " cannot be started.");
    }
}

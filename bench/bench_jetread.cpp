// Reading a 10,000-card Jet 4 batch through the engine (the lorvane-jetread
// helper, its frames and the sorted snapshot) next to libmdb's own mdb-export
// of the same table to /dev/null.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "dbengine.h"
#include "support/jet_writer.h"

extern char** environ;

namespace {

constexpr int kCards = 10000;
constexpr int kRuns = 15;

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

template <class F>
double Time(F f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return Ms(std::chrono::steady_clock::now() - t0);
}

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void MdbExport(const std::string& path) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::string prog = "mdb-export", table = "card", file = path;
    char* argv[] = {prog.data(), file.data(), table.data(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "mdb-export", &fa, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "bench_jetread: mdb-export cannot be started\n");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    waitpid(pid, &status, 0);
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("lorvane-bench-jet-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "batch.mdb").string();
    std::vector<std::int32_t> numbers;
    for (int i = 0; i < kCards; ++i)
        numbers.push_back(static_cast<std::int32_t>((i * 7919L) % 1000003));
    jetwriter::TOptions o;
    o.password = kCardDatabasePassword;
    jetwriter::WriteFile(path, jetwriter::FileBytes({jetwriter::CardBatchTable(numbers)}, o));
    try {
        const std::string conn =
            "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"" + path +
            "\";Persist Security Info=False;Jet OLEDB:Database Password=" + kCardDatabasePassword;
        int rows = 0;
        auto viaEngine = [&] {
            TDbQuery q("dbjet");
            q.SetConnectionString(conn);
            q.SQLAdd("select * from card order by cardno");
            q.Open();
            rows = q.RecordCount();
        };
        // Taken in turns, so that the load of the machine weighs on both alike.
        std::vector<double> engineTimes, exportTimes;
        for (int i = 0; i < kRuns; ++i) {
            engineTimes.push_back(Time(viaEngine));
            exportTimes.push_back(Time([&] { MdbExport(path); }));
        }
        const double engine = Median(engineTimes), bare = Median(exportTimes);
        if (rows != kCards) {
            std::fprintf(stderr, "expected %d rows, got %d\n", kCards, rows);
            return 1;
        }
        std::printf(
            "Jet batch of %d cards through the engine: %.1f ms (mdb-export %.1f ms, ratio %.2f)\n",
            kCards, engine, bare, engine / bare);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_jetread: %s\n", e.what());
        fs::remove_all(dir);
        return 1;
    }
    fs::remove_all(dir);
    return 0;
}

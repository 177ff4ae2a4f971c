// The song library's music tables at the sizes players have:
//   music_library_bench [FOLDER, default /tmp/velmora_music_bench]
// Generates 30,000 tagged files in FOLDER once (kept for later runs), then,
// in a fresh process with a fresh database: the first scan of 10,000 files,
// the scan of 20,000 more, a rescan of all 30,000 unchanged, listing the
// 30,000 songs with their best runs (2 results each for half of them), and
// searches over them. Prints the figures with the process's peak memory
// and fails when one misses its goal: at least 1,000 files a second on the
// first scan, a rescan under 1.5 s, a listing under 0.5 s, a search under
// 10 ms (median), under 64 MiB. The database is left in FOLDER/bench.sqlite3
// to look into, and made anew by the next run.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "music_folder.hpp"
#include "musicindex/songs.hpp"
#include "musicindex/store.hpp"

namespace {

constexpr std::size_t first_files = 10000;
constexpr std::size_t more_files = 20000;
constexpr double first_scan_goal = 1000;   // files a second, at least
constexpr double rescan_goal = 1.5;        // seconds
constexpr double list_goal = 0.5;          // seconds
constexpr double search_goal = 0.010;      // seconds, median
constexpr long memory_goal_kib = 64 * 1024;

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point start) { return std::chrono::duration<double>(clock_type::now() - start).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::fprintf(stderr, "music_library_bench: %s: %s\n", sql, message ? message : "?");
        std::exit(1);
    }
}

bool generated(const std::string& marker) {
    std::ifstream in(marker);
    std::size_t n = 0;
    return static_cast<bool>(in >> n) && n == first_files + more_files;
}

void generate(const std::string& folder) {
    const std::string marker = folder + "/generated";
    if (generated(marker)) return;
    mkdir(folder.c_str(), 0755);
    const auto start = clock_type::now();
    auto progress = [](std::size_t n) { std::fprintf(stderr, "  generating: %zu files\r", n); };
    music_bench::make_music_folder(folder + "/first", 0, first_files, progress);
    music_bench::make_music_folder(folder + "/more", first_files, more_files, progress);
    std::ofstream(marker) << first_files + more_files << "\n";
    std::fprintf(stderr, "generated %zu files in %s in %.0f s\n", first_files + more_files, folder.c_str(), since(start));
}

bool measure(const std::string& folder) {
    const std::string db_path = folder + "/bench.sqlite3";
    for (const char* end : {"", "-wal", "-shm"}) std::remove((db_path + end).c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(db_path.c_str(), &db) != SQLITE_OK) return false;
    exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    exec(db,
         "CREATE TABLE songs (hash TEXT PRIMARY KEY NOT NULL, path TEXT NOT NULL, duration REAL NOT NULL,"
         "  rate INTEGER NOT NULL, channels INTEGER NOT NULL, prepared_at INTEGER, last_played_at INTEGER);"
         "CREATE TABLE results (id INTEGER PRIMARY KEY, song_hash TEXT NOT NULL, edition TEXT NOT NULL,"
         "  difficulty TEXT NOT NULL, session TEXT NOT NULL, run INTEGER NOT NULL, played_at INTEGER NOT NULL,"
         "  hits INTEGER NOT NULL, score INTEGER NOT NULL, ratio REAL NOT NULL, frames INTEGER NOT NULL,"
         "  offset_ms INTEGER NOT NULL, replay TEXT, stage_hash TEXT, UNIQUE (session, run));"
         "CREATE TABLE stages (song_hash TEXT NOT NULL, edition TEXT NOT NULL, difficulty TEXT NOT NULL,"
         "  stage_hash TEXT, PRIMARY KEY (song_hash, edition, difficulty));"
         "CREATE TABLE board_stages (song_hash TEXT NOT NULL, edition TEXT NOT NULL, difficulty TEXT NOT NULL,"
         "  stage_hash TEXT NOT NULL, clear INTEGER NOT NULL, PRIMARY KEY (song_hash, edition, difficulty));"
         "CREATE INDEX results_by_song ON results (song_hash, edition, difficulty, ratio DESC, hits);");
    exec(db, "BEGIN;");
    musicindex::add_tables(db);
    exec(db, "COMMIT;");
    bool ok = true;
    const std::int64_t now = 1700000000;

    musicindex::add_folder(db, folder + "/first", now);
    auto start = clock_type::now();
    musicfiles::scan_report first = musicindex::scan(db, {folder + "/first"}, {}, {}, now);
    const double first_seconds = since(start);
    const double rate = static_cast<double>(first.counts.added) / first_seconds;
    std::printf("first scan:  %zu files in %.2f s, %.0f files a second (goal: at least %.0f); %zu skipped\n",
                first.counts.added, first_seconds, rate, first_scan_goal, first.counts.skipped_total());
    ok = ok && rate >= first_scan_goal && first.counts.added == first_files;

    musicindex::add_folder(db, folder + "/more", now);
    start = clock_type::now();
    musicfiles::scan_report more = musicindex::scan(db, {folder + "/more"}, {}, {}, now);
    const double more_seconds = since(start);
    std::printf("more:        %zu files in %.2f s, %.0f files a second\n", more.counts.added, more_seconds,
                static_cast<double>(more.counts.added) / more_seconds);

    start = clock_type::now();
    musicfiles::scan_report again = musicindex::scan(db, {}, {}, {}, now);
    const double rescan_seconds = since(start);
    std::printf("rescan:      %zu unchanged files in %.3f s (goal: under %.1f s), %zu opened\n",
                again.counts.unchanged, rescan_seconds, rescan_goal, again.counts.opened);
    ok = ok && rescan_seconds < rescan_goal && again.counts.opened == 0 &&
         again.counts.unchanged == first.counts.added + more.counts.added;

    // Every song hashed and played once; half of them with two runs.
    exec(db, "BEGIN;"
             "UPDATE files SET song_hash = printf('%032x', id);"
             "INSERT INTO songs (hash, path, duration, rate, channels, last_played_at)"
             "  SELECT song_hash, path, duration, 44100, 1, 1600000000 + id * 37 % 100000 FROM files;"
             "INSERT INTO results (song_hash, edition, difficulty, session, run, played_at, hits, score, ratio,"
             "  frames, offset_ms) SELECT song_hash, 'standard', 'hard', 's' || id, 1, id, id % 13, 1000, (id * 7 % 100) / 10.0,"
             "  3600, 0 FROM files WHERE id % 2 = 0;"
             "INSERT INTO results (song_hash, edition, difficulty, session, run, played_at, hits, score, ratio,"
             "  frames, offset_ms) SELECT song_hash, 'standard', 'hard', 's' || id, 2, id + 1, id % 5, 1000, (id * 3 % 100) / 10.0,"
             "  3600, 0 FROM files WHERE id % 2 = 0;"
             "COMMIT; ANALYZE;");

    for (musicindex::sort_order order : {musicindex::sort_order::title, musicindex::sort_order::best}) {
        std::vector<double> times;
        std::size_t songs = 0;
        for (int run = 0; run < 5; ++run) {
            start = clock_type::now();
            songs = musicindex::list_songs(db, {order, "standard", "hard"}).size();
            times.push_back(since(start));
        }
        std::printf("list:        %zu songs with their bests, by %s, in %.3f s (median of 5; goal: under %.1f s)\n", songs,
                    order == musicindex::sort_order::title ? "title" : "best", median(times), list_goal);
        ok = ok && median(times) < list_goal;
    }

    // What a player types: words of a title or an artist, in any order, a
    // prefix, accents left out, Japanese parts, one letter, nothing found,
    // text that looks like query syntax.
    auto word = [](const std::string& text, std::size_t n) {
        std::size_t at = 0;
        for (; n > 0; --n) at = text.find(' ', at) + 1;
        return text.substr(at, text.find(' ', at) - at);
    };
    const music_bench::generated_song a = music_bench::song_number(4321), b = music_bench::song_number(777),
                                      c = music_bench::song_number(15002), d = music_bench::song_number(12345);
    const std::string queries[] = {word(a.tags.title, 0),
                                   word(b.tags.title, 1) + " " + word(b.tags.title, 0),
                                   word(c.tags.title, 1).substr(0, 3),
                                   d.tags.artist,
                                   word(d.tags.album, 0) + " " + word(d.tags.artist, 1),
                                   word(a.tags.title, 1) + " " + word(b.tags.title, 1),
                                   "cafe noir", "uber stra", "ñandu", "夜の東京", "東京", "さくら", "色",
                                   "星降る街角", "d", "no such song", "NEAR title:", "\""};
    std::vector<double> medians;
    for (const std::string& q : queries) {
        std::vector<double> times;
        std::size_t found = 0;
        for (int run = 0; run < 11; ++run) {
            start = clock_type::now();
            found = musicindex::search_songs(db, q, {}).size();
            times.push_back(since(start));
        }
        medians.push_back(median(times));
        std::printf("  search %-16s %6zu songs, %7.2f ms\n", ("\"" + q + "\"").c_str(), found,
                    medians.back() * 1000);
    }
    const double search_median = median(medians);
    std::printf("search:      %.2f ms median over %zu queries, slowest %.2f ms (goal: median under %.0f ms)\n",
                search_median * 1000, medians.size(), *std::max_element(medians.begin(), medians.end()) * 1000,
                search_goal * 1000);
    ok = ok && search_median < search_goal;
    sqlite3_close(db);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc >= 2 && std::string(argv[1]) != "--measure" ? argv[1]
                               : argc >= 3                                     ? argv[2]
                                                                               : "/tmp/velmora_music_bench";
    if (argc >= 2 && std::string(argv[1]) == "--measure") return measure(folder) ? 0 : 1;
    try {
        generate(folder);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "music_library_bench: %s\n", e.what());
        return 1;
    }
    // Measured in a process of its own, so its peak memory is the scans',
    // the listing's and the searches' alone.
    const pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", argv[0], "--measure", folder.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    std::printf("memory:      %.1f MiB at the peak (goal: under %ld MiB)\n", usage.ru_maxrss / 1024.0,
                memory_goal_kib / 1024);
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && usage.ru_maxrss < memory_goal_kib;
    std::printf("%s\n", ok ? "music_library_bench: every goal met" : "music_library_bench: a goal was missed");
    return ok ? 0 : 1;
}

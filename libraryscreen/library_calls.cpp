// The only file of the library screen that calls into the song library's
// workflows (frontend/ and stagecache/) and opens its databases.
#include "libraryscreen/library_calls.hpp"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <thread>

#include "frontend/launch.hpp"
#include "frontend/options.hpp"
#include "frontend/prepare.hpp"
#include "frontend/session_results.hpp"
#include "musicfiles/walk.hpp"
#include "musicindex/sql.hpp"
#include "musicindex/store.hpp"
#include "stagecache/song_library.hpp"
#include "stagecache/stage_cache.hpp"
#include "stagecache/user_dirs.hpp"

namespace libraryscreen {
namespace {

constexpr const char* library_file = "library.sqlite3";
constexpr const char* index_file = "music.sqlite3";

// The music tables stand in a database of their own beside the song library
// until the library's schema holds them. Their queries read the library's
// songs and results, which temporary views over the attached library give
// them under the names they expect (the temp schema is searched first); the
// empty tables of those names below are there only because the music
// tables' schema step indexes them.
constexpr const char* placeholder_tables =
    "CREATE TABLE songs (hash TEXT PRIMARY KEY NOT NULL, path TEXT NOT NULL, duration REAL NOT NULL,"
    "  rate INTEGER NOT NULL, channels INTEGER NOT NULL, prepared_at INTEGER, last_played_at INTEGER);"
    "CREATE TABLE results (id INTEGER PRIMARY KEY, song_hash TEXT NOT NULL, edition TEXT NOT NULL,"
    "  difficulty TEXT NOT NULL, session TEXT NOT NULL, run INTEGER NOT NULL, played_at INTEGER NOT NULL,"
    "  hits INTEGER NOT NULL, score INTEGER NOT NULL, ratio REAL NOT NULL, frames INTEGER NOT NULL,"
    "  offset_ms INTEGER NOT NULL, replay TEXT, UNIQUE (session, run));";
constexpr const char* library_views =
    "CREATE TEMP VIEW songs AS SELECT hash, path, duration, rate, channels, prepared_at, last_played_at"
    "  FROM lib.songs;"
    // Their best run is found by rowid, which a view has only by name.
    "CREATE TEMP VIEW results AS SELECT id AS rowid, id, song_hash, edition, 'hard' AS difficulty, session, run, played_at,"
    "  hits, score, ratio, frames, offset_ms, replay FROM lib.results;";

sqlite3* open_index_file(const std::string& path, std::string& why) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        why = "cannot open the music index \"" + path + "\": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

std::string data_file(const char* name) {
    const std::string dir = stagecache::data_dir();
    return dir.empty() ? std::string() : dir + "/" + name;
}

converter::edition edition_of(const std::string& name) {
    return frontend::edition_from_name(name).value_or(converter::edition::standard);
}

std::string replays_dir() {
    const std::string dir = stagecache::data_dir();
    return dir.empty() ? std::string() : dir + "/replays";
}

}  // namespace

struct library::parts {
    stagecache::stage_cache cache{stagecache::cache_dir()};
    std::unique_ptr<stagecache::song_library> songs;
};

library::library(std::string& problem) : parts_(std::make_unique<parts>()) {
    const std::string dir = stagecache::data_dir();
    std::string why;
    if (dir.empty() || !stagecache::make_dirs(dir, why)) {
        problem = dir.empty() ? "no home folder for the song library (HOME is not set)"
                              : "cannot make the folder of the song library \"" + dir + "\": " + why;
        return;
    }
    try {
        parts_->songs = std::make_unique<stagecache::song_library>(dir + "/" + library_file);
    } catch (const stagecache::library_error& e) {
        problem = e.what();
        return;
    }
    index_ = open_index_file(dir + "/" + index_file, problem);
    if (!index_) return;
    try {
        musicindex::sql::exec(index_, "PRAGMA journal_mode=WAL", "cannot open the music index");
        musicindex::sql::statement version(index_, "PRAGMA user_version", "cannot read the music index's version");
        if (version.step() && version.integer(0) == 0) {
            musicindex::sql::exec(index_, "BEGIN IMMEDIATE", "cannot make the music index");
            try {
                musicindex::sql::exec(index_, placeholder_tables, "cannot make the music index");
                musicindex::add_tables(index_);
                musicindex::sql::exec(index_, "PRAGMA user_version = 1; COMMIT", "cannot make the music index");
            } catch (...) {
                sqlite3_exec(index_, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        }
        musicindex::sql::statement attach(index_, "ATTACH DATABASE ?1 AS lib", "cannot open the song library");
        attach.bind(1, std::string_view(parts_->songs->path()));
        attach.step();
        musicindex::sql::exec(index_, library_views, "cannot read the song library");
    } catch (const musicindex::index_error& e) {
        problem = e.what();
        sqlite3_close(index_);
        index_ = nullptr;
    }
}

library::~library() { sqlite3_close(index_); }

prepared_stage library::prepare(const std::string& song, const std::string& edition,
                                const std::function<void(double)>& progress) {
    prepared_stage p;
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const frontend::prepare_outcome r =
        frontend::prepare_song(song, edition_of(edition), threads, parts_->cache, parts_->songs.get(), progress);
    if (r.status == frontend::prepare_status::failed) {
        p.error = r.error;
        return p;
    }
    p.ok = true;
    p.stage_path = r.stage_path;
    p.song_hash = r.hash.hex();
    if (!r.rebuilt_because.empty()) p.notes = "the cached stage was damaged (" + r.rebuilt_because + "); prepared again";
    if (!r.library_problem.empty()) p.notes = r.library_problem;
    try {
        if (parts_->songs) parts_->songs->record_played(p.song_hash, frontend::absolute_path(song), std::time(nullptr));
        // The file's hash links it to its runs in the list.
        if (index_) musicindex::set_song_hash(index_, song, p.song_hash);
    } catch (const std::exception& e) {
        p.notes = e.what();
    }
    return p;
}

std::string library::begin_session(const std::string& song_hash, const std::string& edition, std::string& why) {
    session_.clear();
    const std::string replays = replays_dir();
    if (replays.empty() || !stagecache::make_dirs(replays, why)) {
        why = "cannot make the folder for replays \"" + replays + "\": " + why + "; results are not kept";
        return {};
    }
    session_ = frontend::session_name(song_hash, frontend::edition_name(edition_of(edition)), std::time(nullptr),
                                      ::getpid());
    return replays + "/" + session_ + ".session";
}

kept_session library::end_session(const std::string& song_hash, const std::string& edition) {
    kept_session k;
    if (session_.empty()) return k;
    const frontend::session_outcome o =
        frontend::keep_session(parts_->songs.get(), replays_dir(), session_, song_hash,
                               frontend::edition_name(edition_of(edition)), std::time(nullptr));
    session_.clear();
    k.runs = o.runs.size();
    k.new_best = o.new_best;
    k.problems = o.problems;
    return k;
}

std::string library::best_replay(const std::string& song, const std::string& edition, std::string& why) {
    if (!parts_->songs) {
        why = "the song library is not open";
        return {};
    }
    stagecache::song_hash hash;
    if (!stagecache::hash_file(song, hash, why)) return {};
    try {
        const auto best = parts_->songs->best_result(hash.hex(), frontend::edition_name(edition_of(edition)));
        if (!best || best->replay.empty()) {
            why = best ? "its best run has no replay kept" : "no finished run of it in this edition yet";
            return {};
        }
        return replays_dir() + "/" + best->replay;
    } catch (const stagecache::library_error& e) {
        why = e.what();
        return {};
    }
}

std::vector<std::string> library::folders() {
    std::vector<std::string> paths;
    if (!index_) return paths;
    try {
        for (const musicindex::folder_row& f : musicindex::folders(index_)) paths.push_back(f.path);
    } catch (const musicindex::index_error&) {
    }
    return paths;
}

bool library::add_folder(const std::string& path, std::string& why) {
    if (!index_) {
        why = "the music index is not open";
        return false;
    }
    try {
        musicindex::add_folder(index_, musicfiles::normal_path(path), std::time(nullptr));
        return true;
    } catch (const musicindex::index_error& e) {
        why = e.what();
        return false;
    }
}

musicfiles::scan_report library::scan(const std::vector<std::string>& folders, const musicfiles::scan_options& options,
                                      std::string& why) {
    musicfiles::scan_report report;
    sqlite3* db = open_index_file(data_file(index_file), why);
    if (!db) return report;
    try {
        report = musicindex::scan(db, folders, {}, options, std::time(nullptr));
    } catch (const std::exception& e) {
        why = e.what();
    }
    sqlite3_close(db);
    return report;
}

stagecache::settings load_settings(std::vector<std::string>& warnings) {
    stagecache::loaded_settings loaded = stagecache::read_settings(stagecache::settings_path());
    warnings = loaded.warnings;
    if (!frontend::edition_from_name(loaded.values.edition)) {
        warnings.push_back("settings: unknown edition \"" + loaded.values.edition + "\"; using standard");
        loaded.values.edition = "standard";
    }
    return loaded.values;
}

std::string save_setting(const std::string& key, const std::string& value) {
    const stagecache::save_outcome saved = stagecache::save_setting(stagecache::settings_path(), key, value);
    return saved.ok ? std::string() : saved.error;
}

std::string save_setting(const std::string& key, int value) { return save_setting(key, std::to_string(value)); }

std::string music_folder() {
    const char* home = std::getenv("HOME");
    const std::string home_dir = home ? home : "";
    if (const char* xdg = std::getenv("XDG_MUSIC_DIR"); xdg && xdg[0] == '/') return xdg;
    // The user's folders file names it as "$HOME/Music" or an absolute path.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string dirs_file = (config && config[0] == '/' ? std::string(config) : home_dir + "/.config") + "/user-dirs.dirs";
    std::ifstream in(dirs_file);
    for (std::string line; std::getline(in, line);) {
        const std::string key = "XDG_MUSIC_DIR=\"";
        if (line.compare(0, key.size(), key) != 0 || line.back() != '"') continue;
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.compare(0, 5, "$HOME") == 0) value = home_dir + value.substr(5);
        if (!value.empty() && value[0] == '/' && ::access(value.c_str(), R_OK) == 0) return value;
    }
    if (!home_dir.empty() && ::access((home_dir + "/Music").c_str(), R_OK) == 0) return home_dir + "/Music";
    return home_dir.empty() ? "/" : home_dir;
}

int run_calibration(std::string& why) {
    const std::string program = frontend::calibration_program();
    const frontend::game_end end = frontend::run_game({program});
    if (!end.started) {
        why = "cannot start the calibration \"" + program + "\": " + end.why_not;
        return -1;
    }
    if (end.signaled) {
        why = "the calibration was ended by signal " + std::to_string(end.status);
        return -1;
    }
    return end.status;
}

}  // namespace libraryscreen

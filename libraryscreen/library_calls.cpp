// The only file of the library screen that calls into the song library's
// workflows (library/), the settings file and the music index.
#include "libraryscreen/library_calls.hpp"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <thread>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "launching/launch.hpp"
#include "library/places.hpp"
#include "library/play_session.hpp"
#include "library/prepare.hpp"
#include "library/sessions.hpp"
#include "library/submissions.hpp"
#include "library/song_library.hpp"
#include "musicfiles/walk.hpp"
#include "musicindex/songs.hpp"
#include "musicindex/store.hpp"
#include "shell/data_files.hpp"
#include "sqlite/sql.hpp"
#include "stagecache/stage_cache.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/executable.hpp"

namespace libraryscreen {
namespace {

// A connection of its own to the song library, which the library has made.
sqlite3* open_connection(const std::string& path, std::string& why) {
    try {
        return sql::open(path, SQLITE_OPEN_READWRITE);
    } catch (const sql::error& e) {
        why = e.what();
        return nullptr;
    }
}

}  // namespace

struct library_calls::parts {
    stagecache::stage_cache cache{userfiles::cache_dir()};
    std::unique_ptr<::library::song_library> songs;
    ::library::session_start session;  // the session being played, if any
    std::string server;                // sessions are queued for it; none when empty
};

// The music tables are the song library's own: the list reads them, and
// scans write them, through connections of their own beside the library's,
// as its WAL mode lets readers and one writer go on at once.
library_calls::library_calls(std::string& problem) : parts_(std::make_unique<parts>()) {
    parts_->songs = ::library::open_library(problem);
    if (!parts_->songs) return;
    index_ = open_connection(parts_->songs->path(), problem);
    std::string why;
    facts_ = open_connection(parts_->songs->path(), why);
}

library_calls::~library_calls() {
    sqlite3_close(facts_);
    sqlite3_close(index_);
}

prepared_stage library_calls::prepare(const std::string& song, ::library::stage_choice stage,
                                      const std::function<void(double)>& progress) {
    prepared_stage p;
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const ::library::prepare_outcome r = ::library::prepare_song(song, stage.edition, stage.difficulty, threads,
                                                                 parts_->cache, parts_->songs.get(), progress);
    if (r.status == ::library::prepare_status::failed) {
        p.error = r.error;
        return p;
    }
    p.ok = true;
    p.stage_path = r.stage_path;
    p.song_hash = r.hash.hex();
    if (!r.rebuilt_because.empty()) p.notes = "the cached stage was damaged (" + r.rebuilt_because + "); prepared again";
    if (!r.library_problem.empty()) p.notes = r.library_problem;
    try {
        if (parts_->songs) ::library::record_play(*parts_->songs, song, p.song_hash, std::time(nullptr));
    } catch (const std::exception& e) {
        p.notes = e.what();
    }
    return p;
}

std::string library_calls::begin_session(const session_request& session, std::string& why) {
    parts_->session = ::library::begin_session(session.song_hash, session.stage,
                                               std::time(nullptr), ::getpid());
    why = parts_->session.why_not;
    return parts_->session.recording;
}

kept_session library_calls::end_session(const session_request& session) {
    kept_session k;
    const ::library::submit_to submit{parts_->server, session.stage_path};
    const ::library::session_end e = ::library::end_session(
        parts_->songs.get(), parts_->session, session.song_hash, session.stage, std::time(nullptr),
        parts_->server.empty() || session.stage_path.empty() ? nullptr : &submit);
    parts_->session = {};
    k.runs = e.kept.runs.size();
    k.lost = !e.kept.runs.empty() && !e.kept.stored;
    k.new_best = e.kept.new_best;
    if (e.kept.best) k.best = run_figures{e.kept.best->hits, e.kept.best->score, e.kept.best->ratio};
    k.problems = e.problems;
    return k;
}

void library_calls::submit_to(const std::string& server) { parts_->server = server; }

::library::song_library* library_calls::songs() const { return parts_->songs.get(); }
std::optional<run_figures> library_calls::best_run(const std::string& song_hash, ::library::stage_choice stage,
                                                   const std::string& stage_hash) {
    if (!parts_->songs) return std::nullopt;
    try {
        const auto best =
            parts_->songs->best_result(song_hash, stage.edition_name(), stage.difficulty_name(), stage_hash);
        if (!best) return std::nullopt;
        return run_figures{best->hits, best->score, best->ratio};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

song_facts library_calls::facts(const std::string& song) {
    song_facts f;
    if (!facts_) return f;
    try {
        const auto d = musicindex::details_of(facts_, musicfiles::normal_path(song));
        if (!d) return f;
        f.found = true;
        f.title = d->entry.title;
        f.artist = d->entry.artist;
        f.album = d->entry.album;
        f.year = static_cast<int>(d->entry.year);
        f.seconds = d->entry.duration;
        f.tagged_cover = d->entry.cover;
        for (const musicindex::stage_best& b : d->bests)
            f.bests.push_back({b.edition, b.difficulty, {b.hits, b.score, b.ratio}, b.own_stage});
    } catch (const std::exception&) {
        f.found = false;
    }
    return f;
}

std::string library_calls::list_bundled_song() {
    // A build folder renders it beside its programs; an install keeps it in
    // its data folder (never looked for in the working directory).
    const std::string exe = vaz::executable_dir();
    std::vector<std::string> places;
    if (!exe.empty()) places.push_back(exe + "/packaging/song.ogg");
    const std::vector<std::string> installed = data_file_locations(exe, "song.ogg");
    places.insert(places.end(), installed.begin() + 1, installed.end());
    const std::string song = first_existing_file(places);
    return song.empty() ? std::string() : list_song(song);
}

std::string library_calls::list_song(const std::string& path) {
    if (!index_) return {};
    const std::string song = musicfiles::normal_path(path);
    try {
        musicfiles::scan_options quiet;
        quiet.threads = 1;
        musicindex::scan(index_, {}, {song}, quiet, std::time(nullptr));
    } catch (const std::exception&) {
        return {};
    }
    return song;
}

std::size_t library_calls::recover_sessions(std::vector<std::string>& problems) {
    return ::library::recover_sessions(parts_->songs.get(), {}, std::time(nullptr), problems, parts_->server);
}

std::string library_calls::best_replay(const std::string& song, ::library::stage_choice stage, std::string& why,
                                       int* run, std::string* session) {
    if (!parts_->songs) {
        why = "the song library is not open";
        return {};
    }
    stagecache::song_hash hash;
    if (!::library::song_hash_of(parts_->songs.get(), song, hash, why)) return {};
    try {
        const ::library::best_replay b =
            ::library::find_best_replay(*parts_->songs, hash.hex(), stage);
        why = b.why_not;
        if (run && b.best) *run = static_cast<int>(b.best->run);
        if (session && b.best) *session = b.best->session;
        return b.file;
    } catch (const ::library::library_error& e) {
        why = e.what();
        return {};
    }
}

std::int64_t library_calls::verified_on(const std::string& session, const std::string& server) {
    if (!parts_->songs || server.empty() || session.empty()) return 0;
    try {
        for (const ::library::submission& s : ::library::all_submissions(*parts_->songs, server))
            if (s.session == session && s.state == ::library::submission_state::verified) return s.server_session;
    } catch (const ::library::library_error&) {
    }
    return 0;
}

std::vector<std::string> library_calls::folders() {
    std::vector<std::string> paths;
    if (!index_) return paths;
    try {
        for (const musicindex::folder_row& f : musicindex::folders(index_)) paths.push_back(f.path);
    } catch (const musicindex::index_error&) {
    }
    return paths;
}

bool library_calls::add_folder(const std::string& path, std::string& why) {
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

musicfiles::scan_report library_calls::scan(const std::vector<std::string>& folders, const musicfiles::scan_options& options,
                                      std::string& why) {
    musicfiles::scan_report report;
    if (!parts_->songs) {
        why = "the song library is not open";
        return report;
    }
    sqlite3* db = open_connection(parts_->songs->path(), why);
    if (!db) return report;
    try {
        report = musicindex::scan(db, folders, {}, options, std::time(nullptr));
    } catch (const std::exception& e) {
        why = e.what();
    }
    sqlite3_close(db);
    return report;
}

userfiles::settings load_settings(std::vector<std::string>& warnings) {
    userfiles::loaded_settings loaded = userfiles::read_settings(userfiles::settings_path());
    warnings = loaded.warnings;
    if (!converter::edition_from_name(loaded.values.edition)) {
        warnings.push_back("settings: unknown edition \"" + loaded.values.edition + "\"; using " +
                           userfiles::default_edition);
        loaded.values.edition = userfiles::default_edition;
    }
    if (!converter::difficulty_from_name(loaded.values.difficulty)) {
        warnings.push_back("settings: unknown difficulty \"" + loaded.values.difficulty + "\"; using " +
                           userfiles::default_difficulty);
        loaded.values.difficulty = userfiles::default_difficulty;
    }
    return loaded.values;
}

std::string save_setting(const std::string& key, const std::string& value) {
    const userfiles::save_outcome saved = userfiles::save_setting(userfiles::settings_path(), key, value);
    return saved.ok ? std::string() : saved.error;
}

std::string save_setting(const std::string& key, int value) { return save_setting(key, std::to_string(value)); }

music_place player_music_folder() {
    const char* home = std::getenv("HOME");
    const std::string home_dir = home ? home : "";
    // Where the player keeps music, in the order asked: $XDG_MUSIC_DIR, the
    // user's folders file (as "$HOME/Music" or an absolute path), ~/Music.
    std::vector<std::string> named;
    if (const char* xdg = std::getenv("XDG_MUSIC_DIR"); xdg && xdg[0] == '/') named.push_back(xdg);
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string dirs_file = (config && config[0] == '/' ? std::string(config) : home_dir + "/.config") + "/user-dirs.dirs";
    std::ifstream in(dirs_file);
    for (std::string line; std::getline(in, line);) {
        const std::string key = "XDG_MUSIC_DIR=\"";
        if (line.compare(0, key.size(), key) != 0 || line.back() != '"') continue;
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.compare(0, 5, "$HOME") == 0) value = home_dir + value.substr(5);
        if (!value.empty() && value[0] == '/') named.push_back(value);
    }
    if (!home_dir.empty()) named.push_back(home_dir + "/Music");
    for (const std::string& dir : named) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir.c_str(), R_OK | X_OK) == 0)
            return {dir, true};
    }
    return {named.empty() ? std::string() : named.front(), false};
}

std::string music_folder() {
    const music_place music = player_music_folder();
    if (music.exists) return music.path;
    const char* home = std::getenv("HOME");
    return home && home[0] == '/' ? home : "/";
}

int run_calibration(std::string& why) {
    const std::string program = launching::calibration_program();
    const launching::game_end end = launching::run_game({program});
    why = launching::end_problem(end, program, "calibration");
    return why.empty() ? end.status : -1;
}

}  // namespace libraryscreen

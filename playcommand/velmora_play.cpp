#include "playcommand/velmora_play.hpp"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "launching/launch.hpp"
#include "playcommand/ghost_choice.hpp"
#include "playcommand/run_link.hpp"
#include "playcommand/music_commands.hpp"
#include "playcommand/online_commands.hpp"
#include "playcommand/options.hpp"
#include "playcommand/progress.hpp"
#include "playcommand/song_files.hpp"
#include "playcommand/song_table.hpp"
#include "playcommand/watch_command.hpp"
#include "library/places.hpp"
#include "library/play_session.hpp"
#include "library/prepare.hpp"
#include "library/sessions.hpp"
#include "library/song_library.hpp"
#include "userfiles/settings.hpp"
#include "stagecache/stage_cache.hpp"
#include "userfiles/user_dirs.hpp"
#include "audiolayer/decode.hpp"
#include "musicfiles/walk.hpp"
#include "musicindex/store.hpp"
#include "online/account.hpp"
#include "online/board_stage.hpp"
#include "results/replay_file.hpp"
#include "results/watch_pace.hpp"
#include "vaz/executable.hpp"
#include "vaz/files.hpp"
#include "vaz/xbass.hpp"

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0.01"
#endif

namespace playcommand {
namespace {

using launching::add_setting_arguments;
using launching::audio_probe;
using launching::calibration_program;
using launching::display_problem;
using launching::end_problem;
using launching::game_arguments;
using launching::game_end;
using launching::game_program;
using launching::library_program;
using launching::run_game;
using library::library_path;
using library::open_library;
using library::prepare_outcome;
using library::prepare_status;

constexpr const char* program = "velmora_play";

// Messages name files, whose names may hold escape sequences: they are
// shown, not sent to the terminal.
void say(const std::string& line) { std::fprintf(stderr, "%s: %s\n", program, printable(line).c_str()); }

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// A child's end (the game's, or the calibration's) as velmora_play ends:
// its status, or 1 with a message.
int game_status(const game_end& end, const std::string& program_path, const char* what = "game") {
    const std::string problem = end_problem(end, program_path, what);
    if (problem.empty()) return end.status;
    say(problem);
    return 1;
}

// The game refuses to start without a sound device: without one it plays
// silently, and says so.
void choose_audio(audio_probe& audio) {
    if (!audio.choose_silent_audio_when_no_device()) return;
    if (audio.timed_out())
        say("the sound device did not answer within " + std::to_string(audio_probe::probe_limit_ms / 1000) +
            " s; playing without sound");
    else
        say("no sound device here; playing without sound");
}

unsigned core_count() { return std::max(1u, std::thread::hardware_concurrency()); }

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

int run_list(const play_options& o) {
    const std::string path = library_path();
    if (path.empty()) {
        say("no home folder to find the song library in (HOME is not set)");
        return 1;
    }
    // Only a library that is not there at all has no songs yet; one that
    // cannot be looked at is a failure.
    const std::string dir = userfiles::data_dir();
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        say("the folder of the song library " + quoted(dir) + " is not a folder; move it out of the way");
        return 1;
    }
    if (::stat(path.c_str(), &st) != 0 && errno != ENOENT) {
        say("cannot read the song library " + quoted(path) + ": " + ::strerror(errno));
        return 1;
    }
    try {
        std::unique_ptr<library::song_library> library;
        std::vector<library::song_row> songs;
        std::map<std::string, musicindex::song_entry> titles;
        if (library::song_library::exists(path)) {
            library = std::make_unique<library::song_library>(path, false);
            songs = library->songs();
            // Then the songs of the music folders not prepared or played yet.
            std::vector<library::song_row> scanned;
            titles = library->with_database([&](sqlite3* db) { return songs_by_hash(db, &scanned); });
            songs.insert(songs.end(), scanned.begin(), scanned.end());
        }
        if (songs.empty()) {
            std::printf("The song library (%s) has no songs yet: play one, --prepare some or --add a folder.\n",
                        printable(path).c_str());
            return 0;
        }
        if (o.sort) sort_song_rows(songs, *o.sort, titles, edition_name(o.edition), converter::difficulty_name(o.difficulty));
        // Read from the library only: listing never waits for the server.
        std::string problem;
        const std::optional<online::account> account = online::load_account(problem);
        if (!problem.empty()) say(problem);
        std::map<std::string, std::string> states;
        if (account && library) states = best_states(*library, account->server);
        std::fputs(format_song_table(songs, titles, account ? &states : nullptr).c_str(), stdout);
    } catch (const library::library_error& e) {
        say(e.what());
        return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// Raised by SIGINT during a scan, which then stops between files, keeping
// every batch it wrote. The handler is reset by its first signal, so a
// second Ctrl-C ends the program at once.
std::atomic<bool> scan_stop{false};
extern "C" void stop_scan(int) { scan_stop = true; }

// The music commands, over the song library's music tables.
int run_music(const play_options& o) {
    const std::string path = library_path();
    if (path.empty()) {
        say("no home folder to find the song library in (HOME is not set)");
        return 1;
    }
    const bool reads_only = o.what == command::folders || o.what == command::search;
    if (reads_only && !library::song_library::exists(path)) {
        std::printf(o.what == command::search ? "No song matches \"%s\": the song library has no songs yet.\n"
                                              : "No music folders are remembered yet: add some with --add FOLDER.\n",
                    printable(o.search).c_str());
        return std::fflush(stdout) == 0 ? (o.what == command::search ? 1 : 0) : 1;
    }
    std::string problem;
    std::unique_ptr<library::song_library> library;
    if (reads_only) {
        try {
            library = std::make_unique<library::song_library>(path, false);
        } catch (const library::library_error& e) {
            problem = e.what();
        }
    } else {
        library = open_library(problem);
    }
    if (!library) {
        say(problem);
        return 1;
    }
    music_output out;
    out.terminal = stderr_is_terminal();
    out.stop = &scan_stop;
    out.threads = o.jobs ? o.jobs : core_count();
    struct sigaction stop {}, before {};
    stop.sa_handler = stop_scan;
    stop.sa_flags = SA_RESETHAND;
    ::sigemptyset(&stop.sa_mask);
    ::sigaction(SIGINT, &stop, &before);
    int status = 1;
    try {
        const std::int64_t now = std::time(nullptr);
        status = library->with_database([&](sqlite3* db) {
            switch (o.what) {
            case command::add: return add_music_folders(db, o.songs, out, now);
            case command::scan: return scan_music(db, out, now);
            case command::folders: return print_music_folders(db, out);
            case command::forget: return forget_music_folder(db, o.songs.front(), out);
            case command::search: {
                musicindex::song_query query;
                query.sort = o.sort.value_or(musicindex::sort_order::title);
                query.edition = edition_name(o.edition);
                query.difficulty = converter::difficulty_name(o.difficulty);
                return print_search(db, o.search, query, out);
            }
            default: return 1;
            }
        });
    } catch (const library::library_error& e) {
        std::fflush(stdout);
        say(e.what());
        status = scan_stop ? stopped_status : 1;
    }
    ::sigaction(SIGINT, &before, nullptr);
    return status;
}

int run_prepare(const play_options& o) {
    const song_search found = find_songs(o.songs);
    for (const std::string& p : found.problems) say(p);
    if (found.files.empty()) {
        say("no songs found in " + std::to_string(o.songs.size()) + (o.songs.size() == 1 ? " place" : " places") +
            " given");
        return 1;
    }

    vaz::xbass<audiolayer::decode::layer> decoder;
    const stagecache::stage_cache cache(userfiles::cache_dir());
    cache.remove_stale_temporaries(library::stale_after_seconds);
    std::string library_problem;
    std::unique_ptr<library::song_library> library = open_library(library_problem);
    if (!library) say(library_problem + "; the songs are prepared but not recorded");

    std::vector<prepare_outcome> outcomes;
    {
        progress_display display(stderr, stderr_is_terminal(), found.files.size());
        library::prepare_callbacks report;
        report.started = [&](std::size_t i) { display.started(i, found.files[i]); };
        report.advanced = [&](std::size_t i, double f) { display.advanced(i, f); };
        report.finished = [&](std::size_t i, const prepare_outcome& r) {
            const std::string& song = found.files[i];
            std::string line;
            if (r.status == prepare_status::failed) {
                line = std::string(program) + ": " + r.error;
            } else if (r.status == prepare_status::cached) {
                line = std::string(program) + ": " + quoted(song) + ": already cached";
            } else {
                line = std::string(program) + ": " + quoted(song) + ": prepared, " + std::to_string(r.events) +
                       " events" + (r.rebuilt_because.empty() ? "" : " (the cached stage was damaged: " + r.rebuilt_because + ")");
            }
            if (!r.library_problem.empty()) line += "\n" + std::string(program) + ": " + r.library_problem;
            display.finished(i, line);
        };
        outcomes = library::prepare_songs(found.files, o.edition, o.difficulty, o.jobs ? o.jobs : core_count(), cache,
                                          library.get(), report);
    }

    // Files the music tables know learn their hashes, so their results
    // follow them when they move.
    if (library) {
        try {
            library->with_database([&](sqlite3* db) {
                for (std::size_t i = 0; i < outcomes.size(); ++i)
                    if (outcomes[i].status != prepare_status::failed)
                        musicindex::set_song_hash(db, musicfiles::normal_path(found.files[i]), outcomes[i].hash.hex());
            });
        } catch (const library::library_error& e) {
            say(std::string(e.what()) + "; the songs' files are not linked to their results");
        }
    }

    std::size_t prepared = 0, cached = 0, failed = 0, unrecorded = 0;
    for (const prepare_outcome& r : outcomes) {
        prepared += r.status == prepare_status::prepared;
        cached += r.status == prepare_status::cached;
        failed += r.status == prepare_status::failed;
        unrecorded += !r.library_problem.empty();
    }
    std::printf("%zu song%s: %zu prepared, %zu already cached, %zu failed\n", outcomes.size(),
                outcomes.size() == 1 ? "" : "s", prepared, cached, failed);
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i].status == prepare_status::failed)
            std::printf("  failed: %s\n", printable(outcomes[i].error).c_str());
    }
    for (const std::string& p : found.problems) std::printf("  failed: %s\n", printable(p).c_str());
    if (unrecorded > 0 || !library)
        std::printf("  %zu not recorded in the song library\n", library ? unrecorded : prepared + cached);
    const bool ok = failed == 0 && found.problems.empty() && unrecorded == 0 && library;
    return std::fflush(stdout) == 0 && ok ? 0 : 1;
}

// The saved settings, each problem with the file said once.
userfiles::settings load_settings() {
    const userfiles::loaded_settings loaded = userfiles::read_settings(userfiles::settings_path());
    for (const std::string& w : loaded.warnings) say(w);
    return loaded.values;
}

bool save_volume(int volume) {
    const userfiles::save_outcome saved = userfiles::save_setting(userfiles::settings_path(), "volume", volume);
    if (!saved.note.empty()) say(saved.note);
    if (!saved.ok) say(saved.error + "; the volume is not saved");
    return saved.ok;
}

int run_set_volume(const play_options& o) {
    if (!save_volume(*o.volume)) return 1;
    std::printf("volume %d saved in %s\n", *o.volume, printable(userfiles::settings_path()).c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int run_calibrate() {
    const std::string display = display_problem();
    if (!display.empty()) {
        say("no display to open the calibration window on (" + display + ")");
        return 1;
    }
    const std::string program_file = calibration_program();
    return game_status(run_game({program_file}), program_file, "calibration");
}

// The library screen is a program of its own, so that this one never loads
// SDL; it takes this process's place, and with it the signals and the
// status.
// With a song, it is listed and highlighted, and played at once when `play`.
int run_library(const play_options& o, bool play = false, const ghost_choice* ghost = nullptr) {
    const std::string display = display_problem();
    if (!display.empty()) {
        say("no display to open the library screen on (" + display + "); give a song to prepare and play");
        return 1;
    }
    const std::string program_file = library_program();
    std::vector<std::string> arguments{program_file};
    // The screen follows its saved settings unless told otherwise.
    if (o.edition_given) arguments.insert(arguments.end(), {"--edition", edition_name(o.edition)});
    if (o.difficulty_given) arguments.insert(arguments.end(), {"--difficulty", converter::difficulty_name(o.difficulty)});
    if (o.fullscreen) arguments.push_back("--fullscreen");
    if (o.offset_ms) arguments.insert(arguments.end(), {"--offset", std::to_string(*o.offset_ms)});
    if (!o.songs.empty()) arguments.insert(arguments.end(), {play ? "--play" : "--song", o.songs.front()});
    if (ghost)
        arguments.insert(arguments.end(), {"--ghost", ghost->file, "--ghost-name", ghost->name, "--ghost-run",
                                           std::to_string(ghost->run)});
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    ::execv(program_file.c_str(), argv.data());
    say("cannot start the library screen " + quoted(program_file) + ": " + std::strerror(errno));
    return 1;
}

// The run --ghost names for the stage, checked against it; nothing, once
// said why not.
std::optional<ghost_choice> chosen_ghost(const play_options& o, const stage_named& stage) {
    std::string problem;
    const std::optional<online::account> account = o.ghost == "top" ? online::load_account(problem) : std::nullopt;
    if (!problem.empty()) say(problem);
    ghost_choice c = choose_ghost(o.ghost, stage, library_path(), userfiles::cache_dir() + "/ghosts",
                                  account ? account->server : "", account ? account->token : "");
    if (!c.why.empty()) {
        say(c.why);
        return std::nullopt;
    }
    return c;
}

// "dynamics edition, normal", as the reports name a stage.
std::string stage_words(const play_options& o) {
    return std::string(edition_name(o.edition)) + " edition, " + converter::difficulty_name(o.difficulty);
}

// With a server set: the recording's board's stage for this song, found,
// downloaded and aligned once; the row kept before when the server is out of
// reach. Offline (no server) nothing is asked and false says the song plays
// its own stage, as it always has.
bool refresh_board_stage(library::song_library& songs, const std::string& song, const prepare_outcome& r,
                         const play_options& o) {
    std::string problem;
    const std::optional<online::account> a = online::load_account(problem);
    if (!a || a->server.empty()) return false;
    vaz::hash_128 own;
    if (!vaz::hash_file(r.stage_path, own, problem)) return true;
    online::limits l;
    l.connect_ms = 2000;
    l.answer_ms = 8000;
    try {
        const online::board_stage_outcome b = online::refresh_board_stage(
            *a, songs, {r.hash.hex(), library::absolute_path(song), own.hex(), r.stage_path, {o.edition, o.difficulty}}, l);
        // Said only when the server answered: out of reach, the song plays as before.
        if (b.asked && !b.why.empty()) say(quoted(song) + ": " + b.why);
    } catch (const library::library_error& e) {
        say(e.what());
    }
    return true;
}

int run_play(const play_options& o, userfiles::settings settings) {
    const std::string& song = o.songs.front();
    if (o.volume) {
        save_volume(*o.volume);
        settings.volume = *o.volume;
    }
    if (o.offset_ms) settings.offset_ms = *o.offset_ms;
    // Before any thread or database exists: the probe forks.
    audio_probe audio;
    std::unique_ptr<vaz::xbass<audiolayer::decode::layer>> decoder = std::make_unique<vaz::xbass<audiolayer::decode::layer>>();
    const stagecache::stage_cache cache(userfiles::cache_dir());
    std::string library_problem;
    std::unique_ptr<library::song_library> library = open_library(library_problem);
    if (!library) say(library_problem + "; playing without it");

    prepare_outcome r;
    bool shown = false;
    {
        progress_display display(stderr, stderr_is_terminal(), 1);
        r = library::prepare_song(song, o.edition, o.difficulty, o.jobs ? o.jobs : core_count(), cache, library.get(),
                                  [&](double f) {
            if (!shown) {
                display.started(0, song);
                shown = true;
            }
            display.advanced(0, f);
        });
        // Said once the stage is stored: a failure to keep it ends the bar instead.
        if (shown && r.status == prepare_status::prepared)
            display.finished(0, std::string(program) + ": " + quoted(song) + ": stage prepared (" + stage_words(o) +
                                    "), " + std::to_string(r.events) + " events");
        else if (shown)
            display.finished(0, std::string(program) + ": " + r.error);
    }
    if (r.status == prepare_status::failed) {
        if (!shown) say(r.error);
        return 1;
    }
    if (!r.rebuilt_because.empty()) say("the cached stage was damaged (" + r.rebuilt_because + "); it was prepared again");
    if (r.status == prepare_status::cached) say(quoted(song) + ": stage found in the cache (" + stage_words(o) + ")");
    if (!r.library_problem.empty()) say(r.library_problem);
    std::optional<ghost_choice> ghost;
    if (!o.ghost.empty()) {
        ghost = chosen_ghost(o, {r.stage_path, r.hash.hex(), edition_name(o.edition),
                                 converter::difficulty_name(o.difficulty), song});
        if (!ghost) return 1;
    }
    // The library screen records the start of a song it plays; a song
    // only prepared is recorded here.
    const std::string display = display_problem();
    if (library && !display.empty()) {
        try {
            library::record_play(*library, song, r.hash.hex(), std::time(nullptr));
        } catch (const library::library_error& e) {
            say(e.what());
        }
    }
    // The stage the game plays: the board's, aligned to this file, once measured clear.
    library::stage_to_play playing{r.stage_path, 0, false, {}};
    if (library && refresh_board_stage(*library, song, r, o)) {
        try {
            playing = library::stage_for_play(*library, r.hash.hex(), {o.edition, o.difficulty}, r.stage_path);
        } catch (const library::library_error& e) {
            say(e.what());
        }
    }
    if (!playing.note.empty()) say(quoted(song) + ": " + playing.note);
    // The screen opens the database and decodes for itself.
    library.reset();
    decoder.reset();

    if (!display.empty()) {
        std::vector<std::string> game = game_arguments(game_program(), song, playing.stage_file, o.fullscreen);
        add_setting_arguments(game, settings.offset_ms, settings.volume, playing.align_ms);
        std::string line = game[0] + " " + quoted(song) + " " + quoted(playing.stage_file) + " " + game[3];
        if (playing.align_ms != 0) line += " -align=" + std::to_string(playing.align_ms);
        say("no display to open the game window on (" + display + "); the stage is ready: " + line);
        return 1;
    }
    choose_audio(audio);
    // Played in the library screen, as a song chosen there: every run ends
    // on its result panel, its sessions are kept (and sent) there, and
    // leaving the song goes to the list with the song highlighted.
    return run_library(o, true, ghost ? &*ghost : nullptr);
}

// The song's best run with its replay checked, so a damaged one is named as
// the song's before any window; false with the reason said. `known` is left
// open: it holds the stage's checksum.
bool find_best_run(const play_options& o, const std::string& song, std::unique_ptr<library::song_library>& known,
                   library::best_replay& best) {
    // "the dynamics edition at easy"
    const std::string which =
        std::string("the ") + edition_name(o.edition) + " edition at " + converter::difficulty_name(o.difficulty);
    const std::string path = library_path();
    if (path.empty()) {
        say("no home folder to find the song library in (HOME is not set)");
        return false;
    }
    stagecache::song_hash hash;
    std::string why;
    if (!stagecache::hash_file(song, hash, why)) {
        say("cannot read " + quoted(song) + ": " + why);
        return false;
    }
    try {
        if (library::song_library::exists(path)) {
            known = std::make_unique<library::song_library>(path, false);
            best = library::find_best_replay(*known, hash.hex(), {o.edition, o.difficulty});
        }
    } catch (const library::library_error& e) {
        say(e.what());
        return false;
    }
    if (!best.best) {
        say("no finished run of " + quoted(song) + " in " + which + " to replay; play it first");
        return false;
    }
    if (best.best->replay.empty()) {
        say("the best run of " + quoted(song) + " in " + which + " has no replay kept");
        return false;
    }
    if (best.file.empty()) {
        say(best.why_not);
        return false;
    }
    results::replay checked;
    const results::replay_read_result read = results::read_replay_file(best.file, checked);
    if (read.status != results::replay_status::ok) {
        say("the best run's replay of " + quoted(song) + " cannot be played: " +
            results::describe_replay_failure(best.file, read));
        return false;
    }
    return true;
}

// Plays the song's best run back, from its kept replay.
int run_replay(const play_options& o, const userfiles::settings& saved) {
    const std::string& song = o.songs.front();
    library::best_replay best;
    std::unique_ptr<library::song_library> known;
    if (!find_best_run(o, song, known, best)) return 1;
    const std::string& replay_file = best.file;
    audio_probe audio;
    const stagecache::stage_cache cache(userfiles::cache_dir());
    prepare_outcome r =
        library::prepare_song(song, o.edition, o.difficulty, o.jobs ? o.jobs : core_count(), cache, known.get(), [](double) {});
    if (r.status == prepare_status::failed) {
        say(r.error);
        return 1;
    }
    // The best is of the stage the song plays: its board's, aligned, once that is clear.
    library::stage_to_play playing{r.stage_path, 0, false, {}};
    if (known) {
        try {
            playing = library::stage_for_play(*known, r.hash.hex(), {o.edition, o.difficulty}, r.stage_path);
        } catch (const library::library_error& e) {
            say(e.what());
        }
    }
    known.reset();
    std::vector<std::string> game = game_arguments(game_program(), song, playing.stage_file, o.fullscreen);
    const std::string display = display_problem();
    if (!display.empty()) {
        say("no display to open the game window on (" + display + ")");
        return 1;
    }
    choose_audio(audio);
    std::printf("Replaying the best run of %s (%s): %u hits, score %u, ratio %s\n", quoted(printable(song)).c_str(),
                stage_words(o).c_str(), static_cast<std::uint32_t>(best.best->hits), static_cast<std::uint32_t>(best.best->score),
                results::ratio_text(static_cast<float>(best.best->ratio)).c_str());
    game.push_back("-replay=" + replay_file);
    // The volume as when playing; the offset the run was recorded with,
    // unless --offset asks for another.
    const int volume = o.volume.value_or(saved.volume);
    if (o.volume) save_volume(volume);
    add_setting_arguments(game, 0, volume, playing.align_ms);
    if (o.offset_ms) game.push_back("-offset=" + std::to_string(*o.offset_ms));
    return game_status(run_game(game), game[0]);
}

// A linked run's replay, downloaded into the cache by its session; "" once
// said why not.
std::string fetch_linked_run(const run_link& link, online::sent_session& s) {
    const online::client client(link.server);
    s = client.session(link.session);
    const std::string name = "session " + std::to_string(link.session) + " on " + link.server;
    if (!s.how.ok) {
        say(s.how.status == 404 ? "the server knows no " + name : "cannot read " + name + ": " + s.how.message);
        return {};
    }
    std::string why;
    const std::string file = fetch_session_replay(client, link.session, userfiles::cache_dir() + "/runs", why);
    if (file.empty()) {
        say(why);
        return {};
    }
    results::replay r;
    if (results::read_replay_file(file, r).status == results::replay_status::ok && r.pattern.hex() != s.stage) {
        say("the server's replay of " + name + " was played on another stage than the session's " + s.stage);
        std::remove(file.c_str());  // not kept as the session's
        return {};
    }
    return file;
}

// Why a linked run cannot be watched when its stage is in no cache: the
// stage is made from the song, which only the player can have.
std::string missing_song(const online::sent_session& s) {
    return "this run of " + (s.player.empty() ? std::string("session ") + std::to_string(s.session) : s.player) +
           " was played on a song whose stage (" + s.stage + ", the " + s.edition + " edition at " + s.difficulty +
           ") is not in your stage cache; add that song to your library and play or --prepare it in that edition "
           "and difficulty to watch it";
}

// A replay file watched: its stage and song found again, the game started
// on them watching it.
int run_watch(const play_options& o) {
    online::sent_session linked;
    const std::string file = o.link ? fetch_linked_run(*o.link, linked) : o.songs.front();
    if (file.empty()) return 1;
    const userfiles::settings saved = load_settings();
    // Before any database exists: the probe forks.
    audio_probe audio;
    const std::string stage_dir = stagecache::stage_cache(userfiles::cache_dir()).stage_dir();
    const watch_target t = find_watch_target(file, stage_dir, library_path());
    if (!t.why.empty()) {
        say(o.link && t.stage_missing ? missing_song(linked) : t.why);
        return 1;
    }
    if (o.watch_at_ms && results::watch_update_at(*o.watch_at_ms) >= t.replay.update_count) {
        const std::string moment = results::watch_moment_text(results::watch_update_at(*o.watch_at_ms));
        // The player who opened a link never typed --at: the link's t= is named.
        say((o.link ? "the run of session " + std::to_string(o.link->session) : "replay " + quoted(file)) + " ends at " +
            results::watch_moment_text(t.replay.update_count) + ", before " +
            (o.at_from_link ? "the link's moment t=" + moment : "--at " + moment));
        return 1;
    }
    std::optional<ghost_choice> ghost;
    if (!o.ghost.empty()) {
        stage_named stage;
        stage.song = t.song_path;
        if (!stage_of_cache_name(t.stage_path, stage)) {
            say("the stage " + quoted(t.stage_path) + " is not named as the stage cache names its stages");
            return 1;
        }
        ghost = chosen_ghost(o, stage);
        if (!ghost) return 1;
    }
    const std::string display = display_problem();
    if (!display.empty()) {
        say("no display to open the game window on (" + display + ")");
        return 1;
    }
    choose_audio(audio);
    std::vector<std::string> game = game_arguments(game_program(), t.song_path, t.stage_path, o.fullscreen);
    if (ghost) {
        game.push_back("-ghost=" + ghost->file);
        if (!ghost->name.empty()) game.push_back("-ghost-name=" + ghost->name);
        if (ghost->run != 1) game.push_back("-ghost-run=" + std::to_string(ghost->run));
    }
    game.push_back("-replay=" + file);
    game.push_back("-watch");
    if (o.link) game.push_back("-link=" + o.link->base);
    if (o.watch_speed) game.push_back("-speed=" + results::watch_speed_text(*o.watch_speed));
    if (o.watch_at_ms) {
        char at[32];
        std::snprintf(at, sizeof at, "-at=%lld.%03lld", static_cast<long long>(*o.watch_at_ms / 1000),
                      static_cast<long long>(*o.watch_at_ms % 1000));
        game.push_back(at);
    }
    // The volume as when playing; the offset the run was recorded with,
    // unless --offset asks for another.
    const int volume = o.volume.value_or(saved.volume);
    if (o.volume) save_volume(volume);
    add_setting_arguments(game, 0, volume);
    if (o.offset_ms) game.push_back("-offset=" + std::to_string(*o.offset_ms));
    return game_status(run_game(game), game[0]);
}

}  // namespace

int velmora_play_main(int argc, const char* const* argv) {
    // A reader that stops listening (velmora_play --list | head) must not
    // cut a preparation short.
    std::signal(SIGPIPE, SIG_IGN);
    const parsed_options parsed = parse_options(argc, argv);
    if (!parsed.ok) {
        say(parsed.error);
        std::fprintf(stderr, "Try \"%s --help\".\n", program);
        return 2;
    }
    play_options o = parsed.options;
    // The commands that choose a stage follow the saved edition and
    // difficulty; the library screen reads the settings itself.
    userfiles::settings saved;
    const bool stage_chosen = o.what == command::play || o.what == command::replay || o.what == command::prepare ||
                              o.what == command::list || o.what == command::search;
    if (stage_chosen) {
        saved = load_settings();
        std::vector<std::string> warnings;
        follow_saved_stage(o, saved, warnings);
        for (const std::string& w : warnings) say(w);
    }
    switch (o.what) {
    case command::help:
        std::fputs(usage_text().c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    case command::version:
        std::printf("%s %s\n", program, VELMORA_VERSION);
        return std::fflush(stdout) == 0 ? 0 : 1;
    case command::list:
        return run_list(o);
    case command::prepare:
        return run_prepare(o);
    case command::play:
        return run_play(o, saved);
    case command::replay:
        return run_replay(o, saved);
    case command::set_volume:
        return run_set_volume(o);
    case command::calibrate:
        return run_calibrate();
    case command::add:
    case command::folders:
    case command::forget:
    case command::scan:
    case command::search:
        return run_music(o);
    case command::library:
        return run_library(o);
    case command::go_online:
        return go_online(o, stdout);
    case command::go_offline:
        return go_offline(stdout);
    case command::submit:
        return submit_now(stdout, o.all);
    case command::board:
        return print_board(o, stdout);
    case command::watch:
        return run_watch(o);
    }
    return 1;
}

}  // namespace playcommand

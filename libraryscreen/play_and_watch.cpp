#include "libraryscreen/play_and_watch.hpp"

#include <SDL.h>

#include "game/stage.hpp"
#include "libraryscreen/board_panel.hpp"
#include "libraryscreen/dialogs.hpp"
#include "libraryscreen/drawing.hpp"
#include "libraryscreen/online_calls.hpp"
#include "libraryscreen/song_panel.hpp"
#include "libraryscreen/menu.hpp"
#include "library/play_session.hpp"
#include "library/song_library.hpp"
#include "results/ghost_check.hpp"
#include "results/replay_file.hpp"
#include "shell/gamepad.hpp"
#include "vaz/files.hpp"

namespace libraryscreen {
namespace {

// A kept or downloaded run watched as velmora_play --watch watches it: its
// speed, pause, step and jump keys, and L for its link when it has one.
void watch_replay(stage_request& r, const std::string& replay_file, const std::string& link) {
    // The offset the run was recorded with.
    r.offset_given = false;
    r.replay.replay_file = replay_file;
    r.replay.replay_given = true;
    r.watch.on = true;
    r.watch.link = link;
}

stage_request request_for(const screen_state& s, const chosen_song& song, const prepared_stage& stage) {
    stage_request r;
    r.music_file = song.path;
    r.pattern_file = stage.stage_path;
    r.offset_ms = s.settings.offset_ms;
    r.offset_given = true;
    r.volume = s.settings.volume;
    r.effects = s.settings.effects;
    r.gamepad_back_leaves = true;
    return r;
}

}  // namespace

void back_to_list(screen_state& s) {
    SDL_EnableUNICODE(1);
    SDL_JoystickEventState(SDL_ENABLE);
    set_gamepads_steer(false);
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (e.type == SDL_QUIT) s.quit = true;
    }
}

namespace {

std::string stage_words(const screen_state& s, const chosen_song& song) {
    return "\"" + song.title + "\" in the " + s.stage.edition_name() + " edition at " + s.stage.difficulty_name();
}

// The board's first run of the song, downloaded; none (with why) without one.
ghost_request board_first(screen_state& s, const chosen_song& song, std::string& why) {
    const std::optional<song_board> b = s.boards ? s.boards->find(song.path, s.stage) : std::nullopt;
    if (!s.online || !b || !b->ok || b->rows.empty()) {
        why = "the board of \"" + song.title + "\" has no run to race" + (b && !b->ok ? ": " + b->why : std::string());
        return {};
    }
    const board_row top = b->rows.front();
    std::string replay, stage_file;
    why = while_waiting(s, "Downloading the ghost, the run of " + top.player + "...",
                        [&] { return s.online->fetch_run(top.session, b->stage, replay, stage_file); });
    if (!why.empty()) return {};
    return {replay, board_ghost_name(top), top.run};
}

// The hash a stage file is named by; "" when it cannot be read (the game
// then cannot play it either).
std::string stage_hash_of(const std::string& path) {
    vaz::hash_128 h;
    std::string why;
    return vaz::hash_file(path, h, why) ? h.hex() : std::string();
}

// The run raced beside each of the song's: the one asked for when the
// program started or chosen on the board, else what Ctrl+G chose; checked
// against the stage about to be played, as velmora_play --ghost checks it.
ghost_request ghost_to_race(screen_state& s, const chosen_song& song, const std::string& stage_path) {
    ghost_request g;
    std::string why;
    if (s.pick == ghost_pick::best) {
        int run = 1;
        g = {s.calls.best_replay(song.path, s.stage, why, &run), "your best", run};
        if (g.replay_file.empty() && why.empty()) why = "no best run of this song yet";
    } else if (s.pick == ghost_pick::top) {
        g = board_first(s, song, why);
        // Downloaded once: the runs played again race the same.
        if (!g.replay_file.empty()) {
            s.ghost = g;
            s.pick = ghost_pick::chosen;
            s.ghost_song = song.path;
        }
    } else if (s.pick != ghost_pick::chosen || s.ghost_song == song.path) {
        g = s.ghost;
    }
    if (!g.replay_file.empty()) why = results::check_ghost_replay(g.replay_file, g.run, stage_path, stage_words(s, song));
    if (why.empty()) return g;
    s.status = "No ghost: " + why;
    return {};
}

}  // namespace

std::string board_ghost_name(const board_row& run) { return run.player + " #" + std::to_string(run.rank); }

ghost_pick next_ghost_pick(ghost_pick now, bool online) {
    if (now == ghost_pick::none) return ghost_pick::best;
    if (now == ghost_pick::best && online) return ghost_pick::top;
    return ghost_pick::none;
}

void cycle_ghost(screen_state& s) {
    s.pick = next_ghost_pick(s.pick, s.boards != nullptr);
    s.ghost = {};
    std::string note;
    if (s.pick == ghost_pick::best) note = "Ghost: your best";
    if (s.pick == ghost_pick::top) {
        // Named as it will race when the board is known; downloaded when the song starts.
        const songlist::song_row* row = s.list.highlighted_row();
        const std::optional<song_board> b = row ? s.boards->find(row->path, s.stage) : std::nullopt;
        note = b && b->ok && !b->rows.empty() ? "Ghost: " + board_ghost_name(b->rows.front()) : "Ghost: the board's first";
    }
    if (s.panel) s.panel->set_ghost_note(note);
}

std::string choose_board_ghost(screen_state& s, const chosen_song& song, const board_row& run, const std::string& stage) {
    std::string replay, stage_file;
    std::string why = while_waiting(s, "Downloading the run of " + run.player + "...",
                                    [&] { return s.online->fetch_run(run.session, stage, replay, stage_file); });
    if (why.empty()) why = results::check_ghost_replay(replay, run.run, stage_file, stage_words(s, song));
    if (!why.empty()) return why;
    s.ghost = {replay, board_ghost_name(run), run.run};
    s.pick = ghost_pick::chosen;
    s.ghost_song = song.path;
    if (s.panel) s.panel->set_ghost_note("Ghost: " + s.ghost.name);
    return {};
}

namespace {

// Another version's stage that is the recording's board plays at the
// alignment measured for it, as it does when the song is played from the
// list; any other version's stage plays unaligned (nothing was measured).
int version_alignment(screen_state& s, const std::string& song_hash, const std::string& version_stage) {
    ::library::song_library* lib = s.calls.songs();
    if (!lib) return 0;
    try {
        const std::optional<::library::board_stage_row> row = lib->board_stage(song_hash, s.stage);
        vaz::hash_128 h;
        std::string why;
        if (!row || !row->clear || !vaz::hash_file(version_stage, h, why) || h.hex() != row->stage_hash) return 0;
        const ::library::stage_to_play p = ::library::stage_for_play(*lib, song_hash, s.stage, version_stage);
        return p.board ? p.align_ms : 0;
    } catch (const ::library::library_error&) {
        return 0;
    }
}

// Sessions of the song's stage, or of `version_stage` (another version's board
// stage) when given, until the player goes back: a finished run shows its
// result beside the best of the same stage, from which that stage plays again at once.
void play_sessions(screen_state& s, const chosen_song& song, const std::string& version_stage,
                   const std::string& version_title) {
    s.preview.stop();
    bool at_once = false;
    std::string board_note;  // why the board's stage was not played, said once on the way back
    for (;;) {
        prepared_stage stage;
        // The song's own stage first even for a version: its hash names the song, and the list keeps its place.
        if (s.quit || !get_stage(s, song, stage) || s.quit) break;
        const std::string own_stage = stage_hash_of(stage.stage_path);
        int align_ms = 0;
        if (!version_stage.empty()) {
            stage.stage_path = version_stage;
            align_ms = version_alignment(s, stage.song_hash, version_stage);
        } else if (::library::song_library* lib = s.calls.songs(); lib && s.online && s.online->online()) {
            // With a server: the recording's board's stage, aligned to this
            // file, once measured clear; offline the song's own, as always.
            // A slow server (or an alignment) must not freeze the window.
            if (!at_once)
                while_waiting(s, "Asking the scoreboard for this song's board...", [&] {
                    s.online->refresh_board_stage(stage.song_hash, song.path, stage.stage_path, s.stage);
                    return std::string();
                });
            try {
                const ::library::stage_to_play p = ::library::stage_for_play(*lib, stage.song_hash, s.stage, stage.stage_path);
                stage.stage_path = p.stage_file;
                align_ms = p.align_ms;
                board_note = p.note;
            } catch (const ::library::library_error& e) {
                say(e.what());
            }
        }
        const std::string played_stage = stage_hash_of(stage.stage_path);
        const session_request session{stage.song_hash, s.stage, stage.stage_path};
        const std::optional<run_figures> before = s.calls.best_run(stage.song_hash, s.stage, played_stage);
        stage_request r = request_for(s, song, stage);
        r.align_ms = align_ms;
        r.end_after_run = true;
        r.start_at_once = at_once;
        r.pause_menu = [&s] { return pause_menu(s); };
        r.ghost = ghost_to_race(s, song, stage.stage_path);
        std::string why;
        r.replay.record_file = s.calls.begin_session(session, why);
        r.replay.record_given = !r.replay.record_file.empty();
        // Runs that cannot be kept are played, but the program does not end as a success.
        if (!r.replay.record_given) {
            say(why);
            s.failed = true;
        }
        const stage_outcome o = play_stage(r);
        const kept_session kept = s.calls.end_session(session);
        for (const std::string& p : kept.problems) say(p);
        if (kept.lost) s.failed = true;
        if (s.online) s.online->session_ended();
        if (o.end == stage_end::failed) {
            s.status = "Cannot play \"" + song.title + "\": " + o.why;
            say(o.why);
            break;
        }
        if (kept.lost)
            s.status = "The runs of \"" + song.title + "\" are not stored in the song library";
        else if (kept.runs > 0)
            s.status = "Kept " + std::to_string(kept.runs) + (kept.runs == 1 ? " run" : " runs") + " of \"" +
                       song.title + "\"" + (kept.new_best ? ", a new best" : "");
        if (o.end == stage_end::quit) {
            s.quit = true;
            break;
        }
        at_once = true;
        if (o.end == stage_end::retry) continue;
        if (o.end != stage_end::run_over || o.finished_runs.empty()) break;
        // The run's own result, beside the best it had to beat.
        const results::run_summary& run = o.finished_runs.back();
        run_report report;
        report.title = song.title;
        report.artist = song.artist;
        report.edition = s.stage.edition_name();
        report.difficulty = s.stage.difficulty_name();
        report.run = {run.hits, run.score, results::shown_ratio(run.hits, run.score)};
        report.board = board_words(own_stage, played_stage, version_title);
        report.previous_best = before;
        report.new_best = kept.new_best;
        report.kept = kept.runs > 0 && !kept.lost;
        s.list.refresh();
        const after_result next = result_panel(s, report);
        if (next == after_result::quit) s.quit = true;
        if (next != after_result::play_again) break;
    }
    if (!board_note.empty())
        s.status += std::string(s.status.empty() ? "" : "; ") + "\"" + song.title + "\": " + board_note;
    back_to_list(s);
    // Ctrl+G and the board's G are for the song played next; --ghost for the song it was given with.
    s.ghost = {};
    s.pick = ghost_pick::none;
    s.ghost_song.clear();
    if (s.panel) s.panel->set_ghost_note("");
    s.list.refresh();
    if (s.panel) s.panel->reload();
}

}  // namespace

void play_song(screen_state& s, const chosen_song& song) { play_sessions(s, song, {}, {}); }

void play_version(screen_state& s, const chosen_song& song, const std::string& stage_file,
                  const std::string& version_title) {
    play_sessions(s, song, stage_file, version_title);
}

std::string session_link(std::string server, std::int64_t session) {
    while (!server.empty() && server.back() == '/') server.pop_back();
    const bool web = server.rfind("http://", 0) == 0 || server.rfind("https://", 0) == 0;
    // Only what the game's -link= takes: no path, query or odd character in it.
    if (!web || session <= 0 || server.find('/', server.find("//") + 2) != std::string::npos ||
        server.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789:/.-[]") !=
            std::string::npos)
        return {};
    return server + "/sessions/" + std::to_string(session);
}

void watch_run(screen_state& s, const chosen_song& song, const std::string& replay_file, const std::string& stage_file,
               const std::string& link) {
    s.preview.stop();
    prepared_stage stage;
    stage.ok = true;
    stage.stage_path = stage_file;
    stage_request r = request_for(s, song, stage);
    watch_replay(r, replay_file, link);
    const stage_outcome o = play_stage(r);
    if (o.end == stage_end::failed) s.status = "Cannot replay the run: " + o.why;
    if (o.end == stage_end::quit) s.quit = true;
    back_to_list(s);
}

void watch_best(screen_state& s, const chosen_song& song) {
    s.preview.stop();
    std::string why, session;
    const std::string replay = s.calls.best_replay(song.path, s.stage, why, nullptr, &session);
    if (replay.empty()) {
        s.status = "No replay of \"" + song.title + "\": " + why;
        return;
    }
    prepared_stage stage;
    if (!get_stage(s, song, stage) || s.quit) return;
    // The best is of the stage the song plays: its board's, aligned, once that is clear.
    int align_ms = 0;
    if (::library::song_library* lib = s.calls.songs()) {
        try {
            const ::library::stage_to_play p = ::library::stage_for_play(*lib, stage.song_hash, s.stage, stage.stage_path);
            stage.stage_path = p.stage_file;
            align_ms = p.align_ms;
        } catch (const ::library::library_error& e) {
            say(e.what());
        }
    }
    stage_request r = request_for(s, song, stage);
    r.align_ms = align_ms;
    // On a server only once the server verified it: a link to anything else shows no run.
    const std::string server = s.online ? s.online->server() : std::string();
    watch_replay(r, replay, session_link(server, s.calls.verified_on(session, server)));
    const stage_outcome o = play_stage(r);
    if (o.end == stage_end::failed) s.status = "Cannot replay \"" + song.title + "\": " + o.why;
    if (o.end == stage_end::quit) s.quit = true;
    back_to_list(s);
}

}  // namespace libraryscreen

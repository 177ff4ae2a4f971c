#include "libraryscreen/play_and_watch.hpp"

#include <SDL.h>

#include "game/stage.hpp"
#include "libraryscreen/dialogs.hpp"
#include "libraryscreen/drawing.hpp"
#include "libraryscreen/online_calls.hpp"
#include "libraryscreen/song_panel.hpp"
#include "results/replay_file.hpp"
#include "shell/gamepad.hpp"
#include "vaz/files.hpp"

namespace libraryscreen {
namespace {

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

// The run raced beside each of the song's: the one asked for when the
// program started, else the player's best when Ctrl+G asked for it.
ghost_request ghost_to_race(screen_state& s, const chosen_song& song) {
    if (!s.ghost.replay_file.empty() || !s.ghost_best) return s.ghost;
    std::string why;
    int run = 1;
    const std::string best = s.calls.best_replay(song.path, s.stage, why, &run);
    if (best.empty()) {
        s.status = "No ghost: " + (why.empty() ? std::string("no best run of this song yet") : why);
        return {};
    }
    return {best, "your best", run};
}

// The hash a stage file is named by; "" when it cannot be read (the game
// then cannot play it either).
std::string stage_hash_of(const std::string& path) {
    vaz::hash_128 h;
    std::string why;
    return vaz::hash_file(path, h, why) ? h.hex() : std::string();
}

// Sessions of the song's stage, or of `version_stage` (another version's board
// stage) when given, until the player goes back: a finished run shows its
// result beside the best of the same stage, from which that stage plays again at once.
void play_sessions(screen_state& s, const chosen_song& song, const std::string& version_stage,
                   const std::string& version_title) {
    s.preview.stop();
    bool at_once = false;
    for (;;) {
        prepared_stage stage;
        // The song's own stage first even for a version: its hash names the song, and the list keeps its place.
        if (s.quit || !get_stage(s, song, stage) || s.quit) break;
        const std::string own_stage = stage_hash_of(stage.stage_path);
        if (!version_stage.empty()) stage.stage_path = version_stage;
        const std::string played_stage = version_stage.empty() ? own_stage : stage_hash_of(version_stage);
        const session_request session{stage.song_hash, s.stage, stage.stage_path};
        const std::optional<run_figures> before = s.calls.best_run(stage.song_hash, s.stage, played_stage);
        stage_request r = request_for(s, song, stage);
        r.end_after_run = true;
        r.start_at_once = at_once;
        r.pause_menu = [&s] { return pause_menu(s); };
        r.ghost = ghost_to_race(s, song);
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
    back_to_list(s);
    // Ctrl+G is for the song played next; --ghost for the song it was given with.
    s.ghost = {};
    s.ghost_best = false;
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

void watch_run(screen_state& s, const chosen_song& song, const std::string& replay_file, const std::string& stage_file) {
    s.preview.stop();
    prepared_stage stage;
    stage.ok = true;
    stage.stage_path = stage_file;
    stage_request r = request_for(s, song, stage);
    r.offset_given = false;
    r.replay.replay_file = replay_file;
    r.replay.replay_given = true;
    const stage_outcome o = play_stage(r);
    if (o.end == stage_end::failed) s.status = "Cannot replay the run: " + o.why;
    if (o.end == stage_end::quit) s.quit = true;
    back_to_list(s);
}

void watch_best(screen_state& s, const chosen_song& song) {
    s.preview.stop();
    std::string why;
    const std::string replay = s.calls.best_replay(song.path, s.stage, why);
    if (replay.empty()) {
        s.status = "No replay of \"" + song.title + "\": " + why;
        return;
    }
    prepared_stage stage;
    if (!get_stage(s, song, stage) || s.quit) return;
    stage_request r = request_for(s, song, stage);
    // The offset the run was recorded with.
    r.offset_given = false;
    r.replay.replay_file = replay;
    r.replay.replay_given = true;
    const stage_outcome o = play_stage(r);
    if (o.end == stage_end::failed) s.status = "Cannot replay \"" + song.title + "\": " + o.why;
    if (o.end == stage_end::quit) s.quit = true;
    back_to_list(s);
}

}  // namespace libraryscreen

#include "libraryscreen/play_and_watch.hpp"

#include <SDL.h>

#include "game/stage.hpp"
#include "libraryscreen/drawing.hpp"
#include "libraryscreen/online_calls.hpp"
#include "shell/gamepad.hpp"

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

// A session of `stage` played and kept.
void play_session(screen_state& s, const chosen_song& song, const prepared_stage& stage) {
    stage_request r = request_for(s, song, stage);
    std::string why;
    r.replay.record_file = s.calls.begin_session(stage.song_hash, s.settings.edition, s.settings.difficulty, why);
    r.replay.record_given = !r.replay.record_file.empty();
    if (!r.replay.record_given) say(why);
    const stage_outcome o = play_stage(r);
    const kept_session kept = s.calls.end_session(stage.song_hash, s.settings.edition, s.settings.difficulty);
    for (const std::string& p : kept.problems) say(p);
    if (s.online) s.online->session_ended();
    if (o.end == stage_end::failed) {
        s.status = "Cannot play \"" + song.title + "\": " + o.why;
        say(o.why);
    } else if (kept.runs > 0) {
        s.status = "Kept " + std::to_string(kept.runs) + (kept.runs == 1 ? " run" : " runs") + " of \"" + song.title +
                   "\"" + (kept.new_best ? ", a new best" : "");
    }
    if (o.end == stage_end::quit) s.quit = true;
    back_to_list(s);
    s.list.refresh();
}

}  // namespace

void play_song(screen_state& s, const chosen_song& song) {
    s.preview.stop();
    prepared_stage stage;
    if (s.quit || !get_stage(s, song, stage) || s.quit) return;
    play_session(s, song, stage);
}

void play_version(screen_state& s, const chosen_song& song, const std::string& stage_file) {
    s.preview.stop();
    prepared_stage stage;
    // The song's own stage first: its hash names the song, and the list keeps its place.
    if (s.quit || !get_stage(s, song, stage) || s.quit) return;
    stage.stage_path = stage_file;
    s.calls.played_stage(stage_file);
    play_session(s, song, stage);
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
    const std::string replay = s.calls.best_replay(song.path, s.settings.edition, s.settings.difficulty, why);
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

#include "game/stage.hpp"

#include <SDL.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "audiolayer/playback.hpp"
#include "game/frame_clock.hpp"
#include "game/ghost.hpp"
#include "game/startup.hpp"
#include "game/watching.hpp"
#include "gametask/game.hpp"
#include "gametask/gameover.hpp"
#include "gametask/titleready.hpp"
#include "gametask/rng.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "gametask/update_walk.hpp"
#include "shell/effects.hpp"
#include "shell/frame_pacing.hpp"
#include "shell/gamepad.hpp"
#include "shell/keyboard.hpp"
#include "shell/music.hpp"
#include "shell/pattern_store.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"

namespace {

// What load_stage found out, for run_stage and finish_stage.
struct loaded_stage {
    bool demo = true;
    bool replaying = false;
    int offset_ms = 0;  // the player's or the replay's: what a recording keeps
    int align_ms = 0;   // the music's own delay against the stage's, played but not kept
    std::string effects_problem;
};

loaded_stage stage;
display_settings display;
int desktop_width = 0, desktop_height = 0;  // as the video started; 0 when not known

display_settings fitted(display_settings d) {
    if (d.fit_desktop && !d.fullscreen) d.scale = fitting_scale(d.scale);
    return d;
}

// A library session's full screen takes the desktop's size, the game scaled
// to fit with borders; velmora's own is 640x480 as it always was.
int fit_width(const display_settings& d) { return d.fit_desktop && d.fullscreen ? desktop_width : 0; }
int fit_height(const display_settings& d) { return d.fit_desktop && d.fullscreen ? desktop_height : 0; }

// The pointer stays where it always went, on the game's own pixels.
void warp_mouse() {
    SDL_WarpMouse(static_cast<Uint16>(window->left + 40 * window->scale),
                  static_cast<Uint16>(window->top + 375 * window->scale));
}

// P pauses a run in play; the result screen and the title have nothing to pause.
bool run_in_play() {
    const gametask::game* g = gametask::first_live<gametask::game>();
    return g && !g->finished;
}

void draw_pause_label() { blit(pause_label, 325 - pause_label.rect.w / 2, 240 - pause_label.rect.h / 2); }

// The result screen has waited its updates and would now take keys.
bool result_taking_keys() {
    const gametask::gameover* g = gametask::first_live<gametask::gameover>();
    return g && g->delay >= 60;
}

// The title would now take a start key.
bool title_taking_keys() {
    const gametask::titleready* t = gametask::first_live<gametask::titleready>();
    return t && t->frames >= 3;
}

// The key start_at_once presses: a start key that does nothing else in a run.
constexpr int start_at_once_key = SDLK_z;

// Pauses the run for the caller's pause menu: what the player chose, as the
// stage's end, or nothing to play on. Keys held in the menu are not taken
// as pressed when play goes on.
std::optional<stage_end> paused_in_menu(const stage_request& r, frame_clock& clock) {
    clock.pause();
    const pause_choice choice = r.pause_menu();
    pump_input();
    pump_input();
    switch (choice) {
        case pause_choice::carry_on: clock.resume(); return std::nullopt;
        case pause_choice::retry: return stage_end::retry;
        case pause_choice::leave: return stage_end::left;
        case pause_choice::quit: return stage_end::quit;
    }
    return std::nullopt;
}

Uint32 video_flags(const display_settings& d) { return d.fullscreen ? SDL_FULLSCREEN : 0; }

bool same_display(const display_settings& a, const display_settings& b) {
    return a.fullscreen == b.fullscreen && (a.fullscreen || a.scale == b.scale);
}

std::string refused_mode(const display_settings& d) {
    const int scale = d.fullscreen ? 1 : d.scale;
    const bool fit = fit_width(d) >= 640 && fit_height(d) >= 480;
    return "cannot set the " + std::to_string(fit ? fit_width(d) : 640 * scale) + "x" +
           std::to_string(fit ? fit_height(d) : 480 * scale) + " 32-bit video mode: " + SDL_GetError();
}

void free_music() {
    if (music_stream == 0) return;
    audiolayer::playback::stream_free(music_stream);
    music_stream = 0;
}

// Everything a stage finds as a freshly started game would.
void fresh_start() {
    gametask::reset_logic(rng_seed_from_clock());
    draw_tasks.reset();
    spawn_drawing_layer();
    free_music();
    frame_wait_reset();
}

// Whether this frame's events, or the replay, end the stage. A stage with a
// pause menu opens it instead of leaving while a run is in play.
std::optional<stage_end> end_asked(const stage_request& r, frame_clock& clock) {
    const events_ask ask = poll_stage_events();
    const bool back = gamepad_back_pressed();
    if (ask == events_ask::quit) return stage_end::quit;
    // The menu reads the keyboard: a joystick's back button leaves as before.
    if (ask == events_ask::leave && r.pause_menu && run_in_play()) return paused_in_menu(r, clock);
    if (ask == events_ask::leave || (back && r.gamepad_back_leaves)) return stage_end::left;
    if (replay_over()) return stage_end::replay_over;
    return std::nullopt;
}

stage_end frame_loop(const stage_request& r) {
    frame_clock clock(stage.offset_ms, stage.align_ms);
    bool pause_key_was_down = false;
    bool started_at_once = false;
    std::int64_t update = 0;
    pump_input();
    std::optional<stage_end> end = end_asked(r, clock);
    while (!end) {
        if (r.before_frame) r.before_frame();
        effects_new_frame();
        clear_frame();
        // Its own edge, apart from the snapshot: a frame that runs no
        // update keeps the snapshot, and P must count once.
        const bool pause_key_down = live_key_down(SDLK_p);
        if (pause_key_down && !pause_key_was_down) {
            if (clock.paused()) {
                clock.resume();
            } else if (run_in_play() && r.pause_menu) {
                // The menu's keys are read by the menu: the frame goes on once it is left.
                pause_key_was_down = true;
                end = paused_in_menu(r, clock);
                if (end) break;
                continue;
            } else if (run_in_play()) {
                clock.pause();
            }
        }
        pause_key_was_down = pause_key_down;
        std::int64_t updates = clock.updates_due();
        std::int64_t batch = updates;  // the updates given last: more than one is a catch-up
        for (std::int64_t i = 0; i < updates; ++i) {
            const bool press_start = r.start_at_once && !started_at_once && title_taking_keys();
            if (press_start) {
                pad_keys[start_at_once_key] = 1;
                started_at_once = true;
            }
            replay_before_update();
            update_tasks.run();
            replay_after_update();
            if (press_start) pad_keys[start_at_once_key] = 0;
            effects_after_update(++update);
            if (i + 1 < updates) settle_keys();
            if (!clock.after_update()) break;
            // A catch-up took a while itself: the frame goes on to the next
            // tick and runs it (with any that came due meanwhile), so it is
            // drawn as that tick begins, level with the music. At most a
            // catch-up's worth, so a machine too slow to keep up still draws.
            if (i + 1 == updates && batch > 1 && updates < music_pacing::catch_up_limit_ticks) {
                batch = clock.updates_at_next_tick();
                if (batch > 0) {
                    settle_keys();
                    updates += batch;
                }
            }
        }
        draw_tasks.run();
        draw_ghost();
        if (clock.paused()) draw_pause_label();
        window->flip();
        clock.wait();
        if (updates > 0 || clock.paused()) {
            pump_input();
        } else {
            pump_input_keeping_edges();
        }
        end = end_asked(r, clock);
        if (!end && r.end_after_run && result_taking_keys()) end = stage_end::run_over;
    }
    return *end;
}

}  // namespace

std::string open_game_window(const display_settings& wanted) {
    if (window) return "the game window is already open";
    if (std::string why = start_video(wanted.fullscreen); !why.empty()) return why;
    // Before a mode is set, SDL tells the desktop's.
    if (const SDL_VideoInfo* info = SDL_GetVideoInfo()) {
        desktop_width = info->current_w;
        desktop_height = info->current_h;
    }
    const display_settings d = fitted(wanted);
    window = new vaz::xcppsdl<void>(video_flags(d), d.scale, fit_width(d), fit_height(d));
    if (!window->surface_ptr) {
        const std::string why = refused_mode(d);
        delete window;
        window = nullptr;
        return why;
    }
    display = d;
    if (d.fullscreen) warp_mouse();
    return {};
}

int fitting_scale(int wanted) {
    if (desktop_width <= 0 || desktop_height <= 0) return wanted;
    int scale = wanted;
    while (scale > 1 && (screen_width * scale > desktop_width || screen_height * scale > desktop_height)) --scale;
    return std::max(scale, 1);
}

bool window_to_game(int x, int y, int& game_x, int& game_y) {
    if (!window || window->scale < 1) return false;
    game_x = (x - window->left) / window->scale;
    game_y = (y - window->top) / window->scale;
    return x >= window->left && y >= window->top && game_x < 640 && game_y < 480;
}

std::string change_display(const display_settings& wanted) {
    if (!window) return "the game window is not open";
    const display_settings d = fitted(wanted);
    if (same_display(d, display)) return {};
    if (!window->set_mode(video_flags(d), d.scale, fit_width(d), fit_height(d))) {
        const std::string why = refused_mode(d);
        window->set_mode(video_flags(display), display.scale, fit_width(display), fit_height(display));
        return why;
    }
    display = d;
    if (d.fullscreen) warp_mouse();
    return {};
}

const display_settings& current_display() { return display; }

void close_game_window() {
    delete window;
    window = nullptr;
}

std::string load_stage(const stage_request& r) {
    fresh_start();
    end_ghost();
    stage = loaded_stage{};
    stage.demo = r.music_file.empty() && r.pattern_file.empty();
    stage.offset_ms = r.offset_ms;
    stage.align_ms = r.align_ms;
    if (!audiolayer::playback::set_volume(r.volume)) return audiolayer::playback::last_error();
    if (std::string why = open_stage_files(r.music_file, r.pattern_file); !why.empty()) return why;
    // Before anything of the stage's own has run: the ghost's re-play puts back what it used.
    if (!stage.demo && !r.ghost.replay_file.empty()) {
        if (std::string why = prepare_ghost_for_stage(r.ghost, r.pattern_file); !why.empty()) return why;
    }
    // The title demo reads no options.
    const replay_options replay = stage.demo ? replay_options{} : r.replay;
    if (std::string why = begin_replay_session(replay, r.music_file, r.pattern_file, r.offset_given, stage.offset_ms);
        !why.empty())
        return why;
    stage.replaying = replay.replay_given;
    if (!stage.demo && r.watch.on) {
        if (!stage.replaying) return "watching needs a replay";
        // A jump would walk the recording's keys again.
        if (replay.record_given) return "a replay being watched is not recorded";
        if (std::string why = check_watch_request(r); !why.empty()) return why;
    }
    stage.effects_problem = start_effects(stage.demo ? 0 : r.effects);
    if (!stage.effects_problem.empty()) {
        std::fprintf(stderr, "velmora: %s; playing without sound effects\n", stage.effects_problem.c_str());
    }
    return {};
}

stage_outcome run_stage(const stage_request& r) {
    stage_outcome o;
    if (!window || !window->surface_ptr) {
        o.why = "the game window is not open";
        return o;
    }
    // A replay's keys come from its recording; a live joystick must not add to them.
    if (!stage.replaying) open_gamepads();
    set_gamepads_steer(!stage.replaying);
    if (std::string why = start_stage(stage.demo); !why.empty()) {
        o.why = why;
        return o;
    }
    o.end = stage.replaying && r.watch.on ? watch_frame_loop(r, stage.offset_ms + stage.align_ms) : frame_loop(r);
    return o;
}

void finish_stage(stage_outcome& o) {
    stop_effects();
    if (o.end == stage_end::failed) {
        abandon_replay_session();
    } else {
        session_summary s = end_replay_session();
        o.recording_failed = s.write_failed;
        if (s.write_failed) o.why = s.write_error;
        o.finished_runs = std::move(s.finished);
    }
    free_music();
    o.effects_problem = stage.effects_problem;
}

stage_outcome play_stage(const stage_request& r) {
    if (std::string why = load_stage(r); !why.empty()) {
        stage_outcome o;
        o.why = why;
        finish_stage(o);
        return o;
    }
    stage_outcome o = run_stage(r);
    finish_stage(o);
    return o;
}

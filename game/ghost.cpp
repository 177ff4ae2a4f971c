#include "game/ghost.hpp"

#include <SDL.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "game/pixel_text.hpp"
#include "gametask/draw_helpers.hpp"
#include "gametask/game.hpp"
#include "gametask/gameover.hpp"
#include "gametask/myship.hpp"
#include "gametask/rng.hpp"
#include "gametask/task_access.hpp"
#include "gametask/update_walk.hpp"
#include "replaycheck/replay_check.hpp"
#include "results/replay_file.hpp"
#include "shell/effects.hpp"
#include "shell/music.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"

namespace {

constexpr int line_pixel = 2;  // the line's glyph pixels: small, in the top margin
constexpr int line_top = 3;
constexpr Uint8 ghost_alpha = 112;

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

std::string file_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One run of the ghost's replay, update by update, from the re-play's observer.
class run_recorder {
public:
    run_recorder(ghost_track& out, int run) : out_(out), run_(run) {}
    void after_update() {
        if (over_) return;
        const gametask::game* g = gametask::first_live<gametask::game>();
        // The run task lives from a run's first update until its result screen is left.
        if (!g) {
            in_run_ = false;
            over_ = started_;
            return;
        }
        if (!in_run_) ++runs_;
        in_run_ = true;
        if (runs_ != run_) return;
        started_ = true;
        ghost_frame f;
        f.hits = g->hits;
        f.score = g->score;
        if (const gametask::myship* s = gametask::first_live<gametask::myship>()) {
            f.ship = true;
            f.x = s->x;
            f.y = s->y;
            f.facing = static_cast<std::int8_t>(s->facing);
            f.step = static_cast<std::int8_t>(s->walk == 0 ? 0 : (s->walk > 4 ? 2 : 1));
        }
        if (!on_result_ && gametask::any_live<gametask::gameover>()) {
            on_result_ = true;
            out_.result_frame = out_.frames.size();
        }
        out_.frames.push_back(f);
    }

private:
    ghost_track& out_;
    const int run_;
    int runs_ = 0;  // started so far
    bool in_run_ = false, started_ = false, over_ = false, on_result_ = false;
};

struct live_ghost {
    bool active = false;
    ghost_track track;
    bool in_run = false;
    std::size_t tick = 0;  // the live run's updates since its first
    std::int32_t hits_ahead = 0, score_ahead = 0;
    std::string line;
    bool ship_shown = false;
    ghost_frame shown;
    SDL_Surface* sheet = nullptr;  // the sprite sheet, translucent, in the screen's format
};

live_ghost live;

// The last ghost prepared, kept for the same replay on the same stage: a
// retry or the next run of a library session races it again at no cost.
struct prepared_ghost {
    bool valid = false;
    vaz::hash_128 replay, stage;
    int run = 0;
    ghost_track track;
};
prepared_ghost last;

void free_sheet() {
    if (live.sheet) SDL_FreeSurface(live.sheet);
    live.sheet = nullptr;
}

SDL_Surface* translucent_sheet() {
    if (live.sheet || !sprite_sheet.surface_ptr || !window || !window->surface_ptr) return live.sheet;
    SDL_Surface* src = sprite_sheet.surface_ptr;
    live.sheet = SDL_ConvertSurface(src, window->surface_ptr->format, SDL_SWSURFACE);
    if (!live.sheet) return nullptr;
    // The sheet's cyan is its colour key, mapped through the screen's format as the game maps it.
    SDL_SetColorKey(live.sheet, SDL_SRCCOLORKEY, SDL_MapRGB(live.sheet->format, 0, 255, 255));
    SDL_SetAlpha(live.sheet, SDL_SRCALPHA, ghost_alpha);
    return live.sheet;
}

std::string signed_number(std::int64_t n, bool grouped) {
    std::string digits = std::to_string(n < 0 ? -n : n);
    if (grouped)
        for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<std::size_t>(i), ",");
    return (n > 0 ? "+" : n < 0 ? "-" : "") + digits;
}

}  // namespace

std::string ghost_difference_text(std::int32_t hits, std::int32_t score, const std::string& name) {
    return signed_number(hits, false) + (std::abs(static_cast<std::int64_t>(hits)) == 1 ? " hit, " : " hits, ") +
           signed_number(score, true) + " vs " + name;
}

std::string prepare_ghost(const ghost_request& g, const std::string& pattern_file, ghost_track& out) {
    out = ghost_track{};
    const std::string file = quoted(g.replay_file);
    results::replay r;
    const results::replay_read_result read = results::read_replay_file(g.replay_file, r);
    if (read.status != results::replay_status::ok)
        return "ghost: " + results::describe_replay_failure(g.replay_file, read);
    const replaycheck::file_bytes stage =
        replaycheck::read_file_bounded(pattern_file, replaycheck::stage_max_file_size);
    if (stage.outcome != replaycheck::file_bytes::status::ok) {
        return "cannot read pattern file " + quoted(pattern_file) + " for the ghost: " +
               (stage.why.empty() ? std::string("too large to be one") : stage.why);
    }
    if (r.pattern != vaz::hash_bytes(stage.bytes.data(), stage.bytes.size()))
        return "ghost replay " + file + " was played on another stage, not " + quoted(pattern_file);
    if (r.finished_runs.empty()) return "ghost replay " + file + " holds no finished run to race";
    if (g.run < 1 || static_cast<std::size_t>(g.run) > r.finished_runs.size())
        return "ghost replay " + file + " holds " + std::to_string(r.finished_runs.size()) + " finished run" +
               (r.finished_runs.size() == 1 ? "" : "s") + ", not a run " + std::to_string(g.run);

    const std::vector<std::uint8_t> bytes = results::encode_replay(r);
    run_recorder recorder(out, g.run);
    const replaycheck::check_result c =
        replaycheck::check_replay(stage.bytes.data(), stage.bytes.size(), bytes.data(), bytes.size(),
                                  replaycheck::default_max_updates, {}, [&](std::uint32_t) { recorder.after_update(); });
    const std::size_t run = static_cast<std::size_t>(g.run - 1);
    if (!c.verified || c.runs.size() <= run || out.frames.empty()) {
        out = ghost_track{};
        return "ghost replay " + file + " does not play as recorded: " + c.reason;
    }
    out.final_hits = c.runs[run].hits;
    out.final_score = c.runs[run].score;
    out.name = g.name.empty() ? file_name(g.replay_file) : g.name;
    return {};
}

std::string prepare_ghost_for_stage(const ghost_request& g, const std::string& pattern_file) {
    end_ghost();
    vaz::hash_128 replay_hash, stage_hash;
    std::string error;
    const bool hashed =
        vaz::hash_file(g.replay_file, replay_hash, error) && vaz::hash_file(pattern_file, stage_hash, error);
    if (hashed && last.valid && last.replay == replay_hash && last.stage == stage_hash && last.run == g.run) {
        live.track = last.track;
        live.track.name = g.name.empty() ? file_name(g.replay_file) : g.name;
        live.active = true;
        return {};
    }
    // The re-play runs on the game's own state: all of it the stage's start
    // depends on is put back. The title's music call must find no stream.
    const std::mt19937 saved_rng = rng;
    const std::uint32_t saved_music = music_stream;
    music_stream = 0;
    ghost_track track;
    const std::string why = prepare_ghost(g, pattern_file, track);
    music_stream = saved_music;
    gametask::restart_logic(0);  // the pattern store holds the same stage: it is never changed by play
    rng = saved_rng;
    take_effect_cues();
    if (!why.empty()) return why;
    last.valid = hashed;
    last.replay = replay_hash;
    last.stage = stage_hash;
    last.run = g.run;
    last.track = track;
    live.track = std::move(track);
    live.active = true;
    return {};
}

void end_ghost() {
    free_sheet();
    live = live_ghost{};
}

void ghost_after_update() {
    if (!live.active) return;
    const gametask::game* g = gametask::first_live<gametask::game>();
    if (!g) {
        live.in_run = false;
        live.ship_shown = false;
        return;
    }
    live.tick = live.in_run ? live.tick + 1 : 0;
    live.in_run = true;
    const std::vector<ghost_frame>& frames = live.track.frames;
    const ghost_frame& at = frames[std::min(live.tick, frames.size() - 1)];
    // Once the player's run shows its result, it is measured against the ghost's whole run.
    const bool on_result = gametask::any_live<gametask::gameover>();
    const std::int32_t hits = g->hits - (on_result ? live.track.final_hits : at.hits);
    const std::int32_t score = g->score - (on_result ? live.track.final_score : at.score);
    if (live.line.empty() || hits != live.hits_ahead || score != live.score_ahead)
        live.line = ghost_difference_text(hits, score, live.track.name);
    live.hits_ahead = hits;
    live.score_ahead = score;
    live.ship_shown = !on_result && live.tick < live.track.result_frame && at.ship;
    live.shown = at;
}

void draw_ghost() {
    if (!live.active || !window) return;
    // Made on the stage's first frame, so no frame of a run pays for it.
    SDL_Surface* const sheet = translucent_sheet();
    if (!live.in_run) return;
    if (live.ship_shown && sheet) {
        const int facing = std::clamp<int>(live.shown.facing, 0, 3);
        const int step = std::clamp<int>(live.shown.step, 0, 2);
        SDL_Rect source = ship_frames[facing][step]->rect;
        const int x = gametask::screen_left(live.shown.x, 10), y = gametask::screen_top(live.shown.y, 15);
        if (x > -64 && x < screen_width && y > -64 && y < screen_height) {
            SDL_Rect to{static_cast<Sint16>(x), static_cast<Sint16>(y), 0, 0};
            SDL_UpperBlit(sheet, &source, window->surface_ptr, &to);
        }
    }
    // A name too long for the margin is cut at its edge.
    constexpr std::size_t most = (screen_width - 8) / pixel_text_advance(line_pixel);
    const std::string text = pixel_text_of(live.line).substr(0, most);
    const int width = static_cast<int>(text.size()) * pixel_text_advance(line_pixel);
    const fill_colour colour{SDL_MapRGB(window->format, 150, 210, 255)};
    draw_pixel_text(text, std::max(4, screen_width - 4 - width), line_top, colour, line_pixel);
}

const std::string& ghost_line() { return live.line; }

bool ghost_ship_now(float& x, float& y) {
    if (!live.active || !live.in_run || !live.ship_shown) return false;
    x = live.shown.x;
    y = live.shown.y;
    return true;
}

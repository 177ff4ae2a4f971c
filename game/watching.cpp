#include "game/watching.hpp"

#include <SDL.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <optional>

#include "audiolayer/playback.hpp"
#include "game/clipboard.hpp"
#include "game/ghost.hpp"
#include "game/pixel_text.hpp"
#include "game/replay_session.hpp"
#include "gametask/game.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "results/watch_pace.hpp"
#include "shell/effects.hpp"
#include "shell/frame_pacing.hpp"
#include "shell/keyboard.hpp"
#include "shell/music.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"

namespace playback = audiolayer::playback;

namespace {

constexpr std::uint32_t jump_updates = 5 * results::watch_updates_per_second;

constexpr int pixel = 3;  // each glyph pixel drawn as 3x3
constexpr int line_height = 7 * pixel;
constexpr int corner_left = 4;
constexpr int corner_bottom = screen_height - 4;

void draw_text(const std::string& text, int x, int y, fill_colour colour) { draw_pixel_text(text, x, y, colour, pixel); }

bool run_in_play() {
    const gametask::game* g = gametask::first_live<gametask::game>();
    return g && !g->finished;
}

// The keys read while watching, each counted on its press.
enum class watch_key { slower, faster, pause, step, back, forward, copy_link };
struct key_binding {
    int key;
    watch_key does;
};
constexpr key_binding bindings[] = {
    {SDLK_LEFTBRACKET, watch_key::slower}, {SDLK_MINUS, watch_key::slower},   {SDLK_KP_MINUS, watch_key::slower},
    {SDLK_RIGHTBRACKET, watch_key::faster}, {SDLK_PLUS, watch_key::faster},   {SDLK_EQUALS, watch_key::faster},
    {SDLK_KP_PLUS, watch_key::faster},     {SDLK_SPACE, watch_key::pause},    {SDLK_p, watch_key::pause},
    {SDLK_PERIOD, watch_key::step},        {SDLK_LEFT, watch_key::back},      {SDLK_RIGHT, watch_key::forward},
    {SDLK_l, watch_key::copy_link},
};

// The link L made, shown for a few seconds so it can be read off even where
// no clipboard tool is.
struct shown_link {
    std::string text;  // "": the run has no link (a replay of this machine's alone)
    bool copied = false;
    int frames_left = 0;
};
constexpr int link_shown_frames = 4 * 60;
constexpr int link_pixel = 2;  // a link of 80 characters fits the width

void draw_shown_link(shown_link& l) {
    if (l.frames_left <= 0) return;
    --l.frames_left;
    const fill_colour white{SDL_MapRGB(window->format, 255, 255, 255)};
    const fill_colour amber{SDL_MapRGB(window->format, 255, 191, 0)};
    if (l.text.empty()) {
        draw_pixel_text("THIS RUN IS ON NO SERVER", corner_left, 4, amber, link_pixel);
        return;
    }
    draw_pixel_text(l.copied ? "LINK COPIED" : "LINK (NO XCLIP OR XSEL TO COPY IT)", corner_left, 4, amber, link_pixel);
    draw_pixel_text(pixel_text_of(l.text), corner_left, 4 + 7 * link_pixel, white, link_pixel);
}

// The music of the run in play, moved to the moment shown whenever it
// starts. The game's own music calls (the run's start, its result screen)
// find no stream while watching: a jump would otherwise start the song from
// its beginning, and a fast watch would play it at the wrong moment.
class watch_music {
public:
    watch_music(std::string file, int offset_ms) : file_(std::move(file)), offset_ms_(offset_ms) {
        held_ = music_stream;
        music_stream = 0;
    }
    ~watch_music() {
        stop();
        music_stream = held_;
    }
    watch_music(const watch_music&) = delete;
    watch_music& operator=(const watch_music&) = delete;

    // Playing when wanted, from `tick` updates into the run; stopped when not.
    void follow(bool wanted, std::uint32_t tick) {
        if (wanted && !playing_ && !failed_) start(tick);
        if (!wanted && playing_) stop();
    }
    bool failed() const { return failed_; }
    bool playing() const { return playing_ && playback::channel_is_playing(stream_); }
    // The moment shown moved: the music starts again from there.
    void moved() { stop(); }

private:
    void start(std::uint32_t tick) {
        // Update `tick` of the run fires its bullets offset_ms after the
        // music's moment tick / 60 s (a positive offset fires them later).
        // What is handed over now is heard a buffer later: it starts that
        // much further on, so what is heard matches what is drawn.
        playback::output_clock c{};
        const double buffer_s = held_ != 0 && playback::channel_get_clock(held_, &c) && c.rate > 0
                                    ? static_cast<double>(c.latency_frames) / c.rate
                                    : 0.0;
        const double at =
            static_cast<double>(tick) / results::watch_updates_per_second + offset_ms_ / 1000.0 + buffer_s;
        // An alignment before the music's start: its first ticks come
        // before the music, which starts once the moment shown reaches it.
        if (at < 0) return;
        if (length_s_ < 0) {
            const playback::detached_open probe = playback::open_detached(file_.c_str(), 0);
            if (!probe.stream || probe.file_rate == 0) return give_up(probe.error);
            length_s_ = static_cast<double>(probe.length_frames) / probe.file_rate;
        }
        if (at >= length_s_) return;  // the song is over at this moment
        playback::detached_open o = playback::open_detached(file_.c_str(), at / length_s_);
        if (!o.stream) return give_up(o.error);
        stream_ = playback::stream_adopt(std::move(o.stream));
        if (stream_ == 0) return give_up(playback::last_error());
        // A short fade, so a jump into loud music does not click.
        playback::channel_play_fading_in(stream_, 512);
        playing_ = true;
    }
    void stop() {
        if (stream_ != 0) {
            playback::channel_stop(stream_);
            playback::stream_free(stream_);
        }
        stream_ = 0;
        playing_ = false;
    }
    void give_up(const std::string& why) {
        std::fprintf(stderr, "velmora: cannot move the music to the moment watched (%s); watching without it\n",
                     why.c_str());
        failed_ = true;
    }

    std::string file_;
    int offset_ms_;
    std::uint32_t held_ = 0;
    std::uint32_t stream_ = 0;
    bool playing_ = false;
    bool failed_ = false;
    double length_s_ = -1;
};

const watch_music* watched_music = nullptr;

}  // namespace

bool watched_music_playing() { return watched_music && watched_music->playing(); }

void draw_watch_corner(const watch_corner& c) {
    const fill_colour white{SDL_MapRGB(window->format, 255, 255, 255)};
    const fill_colour amber{SDL_MapRGB(window->format, 255, 191, 0)};
    int y = corner_bottom - 3 * line_height;
    draw_text(c.speed, corner_left, y, white);
    draw_text(c.moment, corner_left, y + line_height, white);
    draw_text(c.state, corner_left, y + 2 * line_height, amber);
}

std::string check_watch_request(const stage_request& r) {
    const std::uint32_t total = replay_update_count();
    const std::uint32_t at = results::watch_update_at(r.watch.at_ms);
    if (total > 0 && at >= total)
        return "the moment " + results::watch_moment_text(at) + " is past the replay's end at " +
               results::watch_moment_text(total);
    return {};
}

stage_end watch_frame_loop(const stage_request& r, int offset_ms) {
    watch_music music(r.music_file, offset_ms);
    watched_music = &music;
    results::watch_pacer pacer;
    int speed = r.watch.speed;
    bool paused = false;
    bool was_down[sizeof bindings / sizeof bindings[0]] = {};
    std::int64_t update = 0;
    shown_link link;
    if (r.watch.at_ms > 0) replay_jump_to(results::watch_update_at(r.watch.at_ms));
    pump_input();
    std::optional<stage_end> end;
    while (!end) {
        if (r.before_frame) r.before_frame();
        effects_new_frame();
        clear_frame();
        int steps = 0;
        std::int64_t jump = 0;
        for (std::size_t i = 0; i < sizeof bindings / sizeof bindings[0]; ++i) {
            const bool down = live_key_down(bindings[i].key);
            const bool pressed = down && !was_down[i];
            was_down[i] = down;
            if (!pressed) continue;
            switch (bindings[i].does) {
            case watch_key::slower: speed = results::slower_watch_speed(speed); break;
            case watch_key::faster: speed = results::faster_watch_speed(speed); break;
            case watch_key::pause: paused = !paused; break;
            case watch_key::step: steps += paused; break;
            case watch_key::back: jump -= jump_updates; break;
            case watch_key::forward: jump += jump_updates; break;
            case watch_key::copy_link:
                // Said briefly: L did something even where there is nothing to copy.
                link.text = r.watch.link.empty() ? std::string() : link_at_moment(r.watch.link, session_updates_run());
                link.copied = !link.text.empty() && copy_to_clipboard(link.text);
                link.frames_left = link.text.empty() ? link_shown_frames / 2 : link_shown_frames;
                continue;
            }
            pacer.restart();
        }
        if (jump != 0) {
            const std::int64_t to = std::max<std::int64_t>(0, session_updates_run() + jump);
            replay_jump_to(static_cast<std::uint32_t>(std::min<std::int64_t>(to, UINT32_MAX)));
            music.moved();
        }
        // The keys every update sees are the recorded ones; the speed only
        // says how many run in this frame.
        const bool audible = speed == results::watch_speed_normal;
        const int updates = paused ? steps : pacer.updates_this_frame(speed);
        for (int i = 0; i < updates && !replay_over(); ++i) {
            replay_before_update();
            update_tasks.run();
            replay_after_update();
            if (audible) {
                effects_after_update(++update);
            } else {
                take_effect_cues();
            }
            if (i + 1 < updates) settle_keys();
        }
        const std::optional<std::uint32_t> start = session_run_start();
        const std::uint32_t run_tick = start ? session_updates_run() - *start : 0;
        music.follow(audible && !paused && run_in_play(), run_tick);
        draw_tasks.run();
        draw_ghost();
        draw_watch_corner({results::watch_speed_text(speed), results::watch_moment_text(session_updates_run()),
                           paused ? "PAUSE" : (!audible || music.failed()) ? "MUTE" : ""});
        draw_shown_link(link);
        window->flip();
        frame_wait();
        pump_input();
        const events_ask ask = poll_stage_events();
        if (ask == events_ask::quit) end = stage_end::quit;
        else if (ask == events_ask::leave) end = stage_end::left;
        else if (replay_over()) end = stage_end::replay_over;
    }
    watched_music = nullptr;
    return *end;
}

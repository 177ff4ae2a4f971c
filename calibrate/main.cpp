// velmora_calibrate, started by `velmora_play --calibrate`: plays a click
// track in a small window, takes a Space press on each click and saves the
// median delay between the clicks heard and the presses as the player's
// offset. Its own program so that velmora_play itself never loads SDL (see
// launching/launch.cpp).
#include <SDL.h>
#include <SDL_image.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "audiolayer/playback.hpp"
#include "calibrate/click_track.hpp"
#include "shell/music_pacing.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"
#include "userfiles/settings.hpp"
#include "vaz/executable.hpp"

namespace {

// This program is installed one or two folders below the prefix
// (libexec/velmora, lib/games/velmora), not in the programs' folder beside
// which the game looks: the game's places are tried from each folder above.
SDL_Surface* load_calibration_sheet() {
    std::vector<std::string> places;
    std::filesystem::path dir = vaz::executable_dir();
    for (int up = 0; up < 3 && !dir.empty(); ++up, dir = dir.parent_path()) {
        const std::vector<std::string> more = sprite_sheet_locations(dir.string());
        places.insert(places.end(), more.begin(), more.end());
    }
    const std::string file = first_existing_file(places);
    return file.empty() ? nullptr : IMG_Load(file.c_str());
}

}  // namespace

// The shell's sheet wrapper, which its sprite records point at. The game's
// window object is not made here: this window is smaller, drawn below.
vaz::xcppsdl<void>::surface sprite_sheet(load_calibration_sheet());
vaz::xcppsdl<void>* window = nullptr;

namespace {

namespace playback = audiolayer::playback;
namespace mp = music_pacing;

// Messages carry the name the player typed.
constexpr const char* program = "velmora_play";
constexpr int window_width = 200;
constexpr int window_height = 80;
constexpr const char* caption = "velmora calibration - press Space on each click";

void say(const std::string& line) {
    std::printf("%s: %s\n", program, line.c_str());
    std::fflush(stdout);
}

int fail(const std::string& line) {
    std::fprintf(stderr, "%s: %s\n", program, line.c_str());
    return 1;
}

std::int64_t now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// The click track as a WAV file the playback layer can stream; the name is
// gone as soon as the stream holds it open.
playback::handle open_click_stream(const calibrate::click_plan& plan, std::string& error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/velmora-clicks.XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
        error = "cannot write the click track in " + path;
        return 0;
    }
    const std::vector<std::int16_t> samples = calibrate::render_click_track(plan);
    SF_INFO info{};
    info.samplerate = static_cast<int>(plan.rate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    bool written = f != nullptr;
    if (f) {
        const auto frames = static_cast<sf_count_t>(samples.size() / 2);
        written = sf_writef_short(f, samples.data(), frames) == frames;
        written = sf_close(f) == 0 && written;
    } else {
        ::close(fd);
    }
    const playback::handle h = written ? playback::stream_create_file(path.c_str()) : 0;
    if (!written) error = "cannot write the click track in " + path;
    else if (h == 0) error = std::string("cannot play the click track: ") + playback::last_error();
    ::unlink(path.c_str());
    return h;
}

struct screen_state {
    int presses = 0;
    bool again = false;  // the try before was refused
};

void draw(SDL_Surface* screen, const screen_state& s) {
    SDL_FillRect(screen, nullptr, 0);
    SDL_Rect at{50, 12, 0, 0};
    SDL_Rect from = calibration_label.rect;
    SDL_BlitSurface(sprite_sheet.surface_ptr, &from, screen, &at);
    // The presses taken so far, in the counter digits.
    const std::string n = std::to_string(s.presses);
    int x = (window_width - 5 * static_cast<int>(n.size())) / 2;
    for (char c : n) {
        SDL_Rect glyph = digits[c - '0']->rect;
        SDL_Rect to{static_cast<Sint16>(x), 42, 0, 0};
        SDL_BlitSurface(sprite_sheet.surface_ptr, &glyph, screen, &to);
        x += 5;
    }
    if (s.again) {
        SDL_Rect again_at{50, 60, 0, 0};
        SDL_Rect again_from = calibration_again_label.rect;
        SDL_BlitSurface(sprite_sheet.surface_ptr, &again_from, screen, &again_at);
    }
    SDL_Flip(screen);
}

enum class attempt_end { finished, left, failed };

// VELMORA_CALIBRATE_LOG=FILE, for the end-to-end test (and for looking into a
// calibration by hand): a line per click when it is heard and per press, with
// the music frame heard, and the offsets of each try; nothing when unset.
std::FILE* trace = nullptr;

// One pass of the click track: the presses, as music frames heard.
attempt_end listen(playback::handle stream, const calibrate::click_plan& plan, SDL_Surface* screen,
                   screen_state& state, std::vector<std::int64_t>& presses) {
    presses.clear();
    state.presses = 0;
    if (trace) {
        std::fprintf(trace, "listen\n");
        std::fflush(trace);
    }
    draw(screen, state);
    if (!playback::channel_play(stream, true)) return attempt_end::failed;
    auto read = [stream](mp::reading& r) {
        playback::output_clock c{};
        if (!playback::channel_get_clock(stream, &c) || c.rate == 0) return false;
        r = mp::reading{c.frames, c.latency_frames, c.rate, c.handed_at_us};
        return true;
    };
    mp::reading r{};
    if (!read(r)) return attempt_end::failed;
    // The heard position as the game's frame clock keeps it: a line on the
    // wall clock, moved only as far as each reading of the device requires.
    mp::heard_line line = mp::start_line(now_us(), r);
    auto heard_now = [&]() {
        const std::int64_t now = now_us();
        mp::reading fresh{};
        if (read(fresh)) line = mp::observe(line, now, fresh);
        return mp::heard_frames(line, now) * static_cast<std::int64_t>(plan.rate) / line.rate;
    };
    const std::int64_t end = calibrate::track_frames(plan);
    int next_click = 0;
    for (;;) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            if (e.type == SDL_QUIT) return attempt_end::left;
            if (e.type != SDL_KEYDOWN) continue;
            if (e.key.keysym.sym == SDLK_ESCAPE) return attempt_end::left;
            if (e.key.keysym.sym == SDLK_SPACE) {
                presses.push_back(heard_now());
                ++state.presses;
                if (trace) std::fprintf(trace, "press %lld\n", static_cast<long long>(presses.back()));
                draw(screen, state);
            }
        }
        const std::int64_t heard = heard_now();
        for (; next_click < plan.clicks && heard >= calibrate::click_frame(plan, next_click); ++next_click) {
            if (!trace) continue;
            std::fprintf(trace, "click %d %lld\n", next_click, static_cast<long long>(heard));
            std::fflush(trace);
        }
        if (heard >= end) break;
        SDL_Delay(1);
    }
    playback::channel_stop(stream);
    return attempt_end::finished;
}

int run() {
    if (const char* file = std::getenv("VELMORA_CALIBRATE_LOG"); file && *file) trace = std::fopen(file, "w");
    const std::string settings_file = userfiles::settings_path();
    const userfiles::loaded_settings settings = userfiles::read_settings(settings_file);
    for (const std::string& w : settings.warnings) fail(w);

    if (!playback::init(-1, 44100))
        return fail(std::string("cannot open the default audio output device at 44100 Hz: ") + playback::last_error());
    struct release_audio {
        ~release_audio() { playback::release(); }
    } release_at_return;
    playback::set_volume(settings.values.volume);

    const calibrate::click_plan plan = calibrate::standard_plan;
    std::string error;
    const playback::handle stream = open_click_stream(plan, error);
    if (stream == 0) return fail(error);

    if (const std::string why = start_video(false); !why.empty()) return fail(why);
    if (!sprite_sheet.surface_ptr) return fail("cannot find or read the sprite sheet \"data/p.bmp\"");
    SDL_Surface* screen = SDL_SetVideoMode(window_width, window_height, 32, SDL_SWSURFACE);
    if (!screen) return fail(std::string("cannot open the calibration window: ") + SDL_GetError());
    SDL_WM_SetCaption(caption, caption);
    SDL_SetColorKey(sprite_sheet.surface_ptr, SDL_SRCCOLORKEY, SDL_MapRGB(sprite_sheet.surface_ptr->format, 0, 255, 255));

    screen_state state;
    std::vector<std::int64_t> presses;
    for (;;) {
        say("listen: " + std::to_string(plan.clicks) + " clicks, one every " +
            std::to_string(plan.period_frames * 1000 / plan.rate) + " ms; press Space on each click (Escape leaves)");
        switch (listen(stream, plan, screen, state, presses)) {
        case attempt_end::left:
            say("calibration left; nothing saved");
            return 1;
        case attempt_end::failed:
            return fail(std::string("the click track stopped playing: ") + playback::last_error());
        case attempt_end::finished:
            break;
        }
        const calibrate::press_matches matches = calibrate::match_presses(plan, presses);
        if (trace) {
            std::fprintf(trace, "offsets");
            for (const double d : matches.offsets_ms) std::fprintf(trace, " %.1f", d);
            std::fprintf(trace, "\n");
            std::fflush(trace);
        }
        const calibrate::calibration c = calibrate::judge(matches);
        if (c.outcome == calibrate::verdict::too_few) {
            say("only " + std::to_string(c.presses) + " presses fell on a click; at least " +
                std::to_string(calibrate::min_presses) + " are needed: listen again");
        } else if (c.outcome == calibrate::verdict::too_spread) {
            say("the presses were too uneven (spread " + std::to_string(static_cast<int>(c.spread_ms + 0.5)) +
                " ms between the middle half of them; at most " +
                std::to_string(static_cast<int>(calibrate::max_spread_ms)) + "): listen again");
        } else {
            const userfiles::save_outcome saved = userfiles::save_setting(settings_file, "offset", c.offset_ms);
            if (!saved.note.empty()) say(saved.note);
            if (!saved.ok) return fail(saved.error + "; the offset " + std::to_string(c.offset_ms) + " ms is not saved");
            say("offset " + std::to_string(c.offset_ms) + " ms (from " + std::to_string(c.presses) +
                " presses, spread " + std::to_string(static_cast<int>(c.spread_ms + 0.5)) + " ms), saved in " +
                settings_file);
            return 0;
        }
        state.again = true;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::fprintf(stderr, "usage: velmora_play --calibrate\n(%s takes no arguments)\n", argv[0]);
        return 2;
    }
    const int status = run();
    SDL_Quit();
    return status;
}

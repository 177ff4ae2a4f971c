#include "libraryscreen/screen.hpp"

#include <SDL.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "game/stage.hpp"
#include "libraryscreen/index_source.hpp"
#include "libraryscreen/library_calls.hpp"
#include "preview/preview.hpp"
#include "results/replay_file.hpp"
#include "shell/gamepad.hpp"
#include "shell/video.hpp"
#include "songlist/list_view.hpp"
#include "text/fonts.hpp"
#include "text/text_cache.hpp"
#include "vaz/limits.hpp"

namespace libraryscreen {
namespace {

constexpr const char* program = "velmora_library";
constexpr int list_height = 456;  // the keys' line below it
constexpr int line_y = list_height + 4;
constexpr std::uint32_t frame_ms = 16;
constexpr std::uint32_t white = 0xFFFFFF, grey = 0xA0A0A0, dim = 0x707070, bar_colour = 0x4060FF,
                        highlight = 0x000080;

void say(const std::string& line) { std::fprintf(stderr, "%s: %s\n", program, line.c_str()); }

Uint32 colour(SDL_Surface* s, std::uint32_t rgb) {
    return SDL_MapRGB(s->format, (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

void fill(SDL_Surface* s, int x, int y, int w, int h, std::uint32_t rgb) {
    SDL_Rect r{static_cast<Sint16>(x), static_cast<Sint16>(y), static_cast<Uint16>(std::max(w, 0)),
               static_cast<Uint16>(std::max(h, 0))};
    SDL_FillRect(s, &r, colour(s, rgb));
}

// Sleeps what is left of a 60 Hz frame.
void pace(std::uint32_t& next) {
    const std::uint32_t now = SDL_GetTicks();
    if (static_cast<std::int32_t>(next - now) > 0) SDL_Delay(next - now);
    next = std::max(next + frame_ms, SDL_GetTicks());
}

// Rescans folders on a thread of its own, one request after another, so the
// list stays usable; the list is read again as batches are written.
class scanner {
public:
    explicit scanner(library& lib) : lib_(lib) {}
    ~scanner() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void start(std::vector<std::string> folders) {
        std::lock_guard<std::mutex> hold(mutex_);
        queue_.push_back(std::move(folders));
        if (running_) return;
        if (thread_.joinable()) thread_.join();
        running_ = true;
        thread_ = std::thread([this] { work(); });
    }
    bool busy() const { return running_; }
    std::size_t seen() const { return seen_; }
    std::size_t read() const { return read_; }
    std::size_t to_read() const { return to_read_; }
    // Bumped whenever rows may have changed.
    std::uint64_t changes() const { return changes_; }
    std::string last_error() {
        std::lock_guard<std::mutex> hold(mutex_);
        return error_;
    }

private:
    void work() {
        for (;;) {
            std::vector<std::string> folders;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                if (queue_.empty() || stop_) {
                    running_ = false;
                    return;
                }
                folders = std::move(queue_.front());
                queue_.pop_front();
            }
            musicfiles::scan_options options;
            options.stop = &stop_;
            options.progress = [this](const musicfiles::scan_counts& c) {
                seen_ = c.seen;
                read_ = c.read;
                to_read_ = c.to_read;
                ++changes_;
            };
            std::string why;
            lib_.scan(folders, options, why);
            ++changes_;
            std::lock_guard<std::mutex> hold(mutex_);
            error_ = why;
        }
    }

    library& lib_;
    std::mutex mutex_;
    std::deque<std::vector<std::string>> queue_;
    std::string error_;
    std::atomic<bool> running_{false}, stop_{false};
    std::atomic<std::size_t> seen_{0}, read_{0}, to_read_{0};
    std::atomic<std::uint64_t> changes_{0};
    std::thread thread_;
};

struct session {
    library& lib;
    userfiles::settings settings;
    text::text_cache& text;
    index_source& source;
    songlist::list_view& list;
    preview::player& preview;
    scanner& scans;
    std::string status;  // the keys' line shows it instead of the keys until the next move
    bool quit = false;   // the window was closed
};

text::style style(int size, std::uint32_t rgb, std::uint32_t background = 0) { return {size, rgb, background}; }

void draw_keys_line(session& s, SDL_Surface* surface) {
    fill(surface, 0, list_height, screen_width, screen_height - list_height, 0);
    fill(surface, 0, list_height, screen_width, 1, dim);
    std::string line = s.status;
    if (line.empty()) {
        line = "F3 watch best   F4 settings   F5 add folder   " + s.settings.edition + ", " + s.settings.difficulty;
        if (s.scans.busy())
            line = "Scanning: " + std::to_string(s.scans.seen()) + " songs found, " + std::to_string(s.scans.read()) +
                   " of " + std::to_string(s.scans.to_read()) + " read   F4 settings   F5 add folder";
    }
    s.text.draw(surface, 8, line_y, line, style(13, grey), screen_width - 16);
}

// Waits for a background job, drawing `draw` every frame; events are read
// so the window stays alive (a close request is remembered for after).
template <typename Done, typename Draw>
void wait_drawing(session& s, Done done, Draw draw, std::atomic<bool>* cancel = nullptr) {
    std::uint32_t next = SDL_GetTicks();
    while (!done()) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            if (e.type == SDL_QUIT) s.quit = true;
            if (cancel && (e.type == SDL_QUIT || (e.type == SDL_KEYDOWN && e.key.keysym.sym == SDLK_ESCAPE)))
                *cancel = true;
        }
        draw(window->surface_ptr);
        window->flip();
        pace(next);
    }
}

void draw_preparing(session& s, SDL_Surface* surface, const std::string& title, double fraction) {
    fill(surface, 0, 0, screen_width, screen_height, 0);
    s.text.draw(surface, 60, 170, "Preparing the stage of", style(16, grey));
    s.text.draw(surface, 60, 196, title, style(18, white), 520);
    fill(surface, 60, 236, 520, 24, white);
    fill(surface, 62, 238, 516, 20, 0);
    fill(surface, 62, 238, static_cast<int>(516 * std::clamp(fraction, 0.0, 1.0)), 20, bar_colour);
    s.text.draw(surface, 60, 270, std::to_string(static_cast<int>(fraction * 100)) + "%   Escape stops",
                style(14, grey));
}

struct chosen_song {
    std::string path, title;
};

// Finds the song's stage, preparing it with a bar when the cache does not
// have it; false (with the status set) when it cannot be had.
bool get_stage(session& s, const chosen_song& song, prepared_stage& out) {
    std::atomic<bool> finished{false}, cancel{false};
    std::atomic<double> fraction{0};
    std::atomic<bool> converting{false};
    const std::string edition = s.settings.edition, difficulty = s.settings.difficulty;
    std::thread job([&] {
        out = s.lib.prepare(song.path, edition, difficulty, [&](double f) {
            if (cancel) throw std::runtime_error("stopped");
            converting = true;
            fraction = f;
        });
        finished = true;
    });
    // A cached stage is found in a moment: the bar shows only for a conversion.
    std::uint32_t full_since = 0;
    wait_drawing(
        s,
        [&] {
            if (!finished) return false;
            if (!converting) return true;
            // The full bar stays a moment, so the player sees it end.
            if (full_since == 0) full_since = SDL_GetTicks();
            return SDL_GetTicks() - full_since >= 300;
        },
        [&](SDL_Surface* surface) {
            if (converting) draw_preparing(s, surface, song.title, finished ? 1.0 : fraction.load());
        },
        &cancel);
    job.join();
    if (!out.ok) {
        s.status = cancel ? "Preparing \"" + song.title + "\" stopped" : out.error;
        if (!cancel) say(out.error);
        return false;
    }
    if (!out.notes.empty()) say(out.notes);
    return true;
}

stage_request request_for(const session& s, const chosen_song& song, const prepared_stage& stage) {
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

// Back from a stage: the list's keys and joystick events as it wants them.
void back_to_list(session& s) {
    SDL_EnableUNICODE(1);
    SDL_JoystickEventState(SDL_ENABLE);
    set_gamepads_steer(false);
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (e.type == SDL_QUIT) s.quit = true;
    }
}

void play_song(session& s, const chosen_song& song) {
    s.preview.stop();
    prepared_stage stage;
    if (s.quit || !get_stage(s, song, stage) || s.quit) return;
    stage_request r = request_for(s, song, stage);
    std::string why;
    r.replay.record_file = s.lib.begin_session(stage.song_hash, s.settings.edition, s.settings.difficulty, why);
    r.replay.record_given = !r.replay.record_file.empty();
    if (!r.replay.record_given) say(why);
    const stage_outcome o = play_stage(r);
    const kept_session kept = s.lib.end_session(stage.song_hash, s.settings.edition, s.settings.difficulty);
    for (const std::string& p : kept.problems) say(p);
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

void watch_best(session& s, const chosen_song& song) {
    s.preview.stop();
    std::string why;
    const std::string replay = s.lib.best_replay(song.path, s.settings.edition, s.settings.difficulty, why);
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

// One line of a menu screen: its name, its value, the highlight.
// The next key pressed, for the menus; false once none is left this frame
// or the window was closed (s.quit then says so).
bool next_key(session& s, SDLKey& key) {
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (e.type == SDL_QUIT) {
            s.quit = true;
            return false;
        }
        if (e.type == SDL_KEYDOWN) {
            key = e.key.keysym.sym;
            return true;
        }
    }
    return false;
}

void draw_menu_row(session& s, SDL_Surface* surface, int y, const std::string& name, const std::string& value,
                   bool chosen) {
    const std::uint32_t bg = chosen ? highlight : 0;
    fill(surface, 40, y - 2, 560, 22, bg);
    s.text.draw(surface, 50, y, name, style(15, white, bg), 260);
    if (!value.empty()) s.text.draw(surface, 320, y, value, style(15, chosen ? white : grey, bg), 270);
}

void settings_screen(session& s) {
    s.preview.stop();
    enum row { volume, effects, offset, calibrate, edition, difficulty, display, scale, rows };
    int at = 0;
    std::string message;
    auto save = [&](const char* key, const std::string& value) {
        const std::string why = save_setting(key, value);
        message = why.empty() ? std::string("Saved.") : "Not saved: " + why;
    };
    auto apply_display = [&] {
        const std::string why = change_display({s.settings.fullscreen, s.settings.scale});
        if (!why.empty()) message = why;
    };
    auto change = [&](int step) {
        switch (at) {
        case volume:
            s.settings.volume = std::clamp(s.settings.volume + 5 * step, vaz::volume_range.low, vaz::volume_range.high);
            s.preview.set_volume(s.settings.volume);
            save("volume", std::to_string(s.settings.volume));
            break;
        case effects:
            s.settings.effects =
                std::clamp(s.settings.effects + 5 * step, vaz::effects_volume_range.low, vaz::effects_volume_range.high);
            save("effects", std::to_string(s.settings.effects));
            break;
        case offset:
            s.settings.offset_ms =
                std::clamp(s.settings.offset_ms + 5 * step, vaz::offset_ms_range.low, vaz::offset_ms_range.high);
            save("offset", std::to_string(s.settings.offset_ms));
            break;
        case edition: {
            constexpr int n = sizeof converter::editions / sizeof converter::editions[0];
            const int i = static_cast<int>(converter::edition_from_name(s.settings.edition).value_or(converter::edition::standard));
            s.settings.edition = converter::editions[(i + n + step) % n].name;
            save("edition", s.settings.edition);
            s.source.set_query(s.settings.edition, s.settings.difficulty);
            s.list.refresh();
            break;
        }
        case difficulty: {
            const int i = static_cast<int>(converter::difficulty_from_name(s.settings.difficulty).value_or(converter::difficulty::hard));
            s.settings.difficulty = converter::difficulty_name(static_cast<converter::difficulty>((i + 3 + step) % 3));
            save("difficulty", s.settings.difficulty);
            s.source.set_query(s.settings.edition, s.settings.difficulty);
            s.list.refresh();
            break;
        }
        case display:
            s.settings.fullscreen = !s.settings.fullscreen;
            save("fullscreen", s.settings.fullscreen ? "yes" : "no");
            apply_display();
            break;
        case scale:
            s.settings.scale = (s.settings.scale + 2 + step) % 3 + 1;
            save("scale", std::to_string(s.settings.scale));
            apply_display();
            break;
        default:
            break;
        }
    };
    std::uint32_t next = SDL_GetTicks();
    for (;;) {
        SDLKey key;
        while (next_key(s, key)) {
            switch (key) {
            case SDLK_ESCAPE:
            case SDLK_F4:
                return;
            case SDLK_UP: at = (at + rows - 1) % rows; break;
            case SDLK_DOWN: at = (at + 1) % rows; break;
            case SDLK_LEFT: change(-1); break;
            case SDLK_RIGHT: change(1); break;
            case SDLK_RETURN:
            case SDLK_SPACE:
                if (at == calibrate) {
                    std::string why;
                    const int status = run_calibration(why);
                    std::vector<std::string> warnings;
                    // The calibration saves the offset it measured.
                    s.settings.offset_ms = load_settings(warnings).offset_ms;
                    message = status == 0 ? "Offset measured: " + std::to_string(s.settings.offset_ms) + " ms"
                              : status < 0 ? why
                                           : "Calibration left; the offset is unchanged";
                } else {
                    change(1);
                }
                break;
            default:
                break;
            }
        }
        if (s.quit) return;
        SDL_Surface* surface = window->surface_ptr;
        fill(surface, 0, 0, screen_width, screen_height, 0);
        s.text.draw(surface, 40, 40, "Settings", style(20, white));
        const std::string values[rows] = {
            std::to_string(s.settings.volume) + "%",
            s.settings.effects == 0 ? std::string("off") : std::to_string(s.settings.effects) + "%",
            std::to_string(s.settings.offset_ms) + " ms",
            "Return",
            s.settings.edition,
            s.settings.difficulty,
            s.settings.fullscreen ? "full screen" : "window",
            std::to_string(s.settings.scale) + "x",
        };
        const char* names[rows] = {"Music volume", "Effects volume", "Offset",      "Calibrate the offset",
                                   "Edition",      "Difficulty",     "Display",     "Window scale"};
        for (int i = 0; i < rows; ++i) draw_menu_row(s, surface, 90 + i * 28, names[i], values[i], i == at);
        s.text.draw(surface, 40, 300, message, style(14, grey), 560);
        s.text.draw(surface, 40, 440, "Up/Down choose   Left/Right change   Escape back", style(13, dim));
        window->flip();
        pace(next);
    }
}

std::vector<std::string> subfolders(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* entry = ::readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = dir + (dir == "/" ? "" : "/") + entry->d_name;
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) names.push_back(entry->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string parent_of(const std::string& dir) {
    const std::size_t slash = dir.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

void folder_screen(session& s) {
    s.preview.stop();
    std::string dir = music_folder();
    std::vector<std::string> names = subfolders(dir);
    std::size_t at = 0, top = 0;
    std::string message;
    constexpr std::size_t shown = 10;
    // Read again only when a folder is added, not at every frame.
    std::vector<std::string> remembered = s.lib.folders();
    std::uint32_t next = SDL_GetTicks();
    for (;;) {
        // Rows: add this folder, the parent, the subfolders.
        const std::size_t rows = names.size() + 2;
        auto enter = [&](const std::string& to) {
            dir = to;
            names = subfolders(dir);
            at = top = 0;
        };
        SDLKey key;
        while (next_key(s, key)) {
            switch (key) {
            case SDLK_ESCAPE:
            case SDLK_F5:
                return;
            case SDLK_UP: at = at == 0 ? rows - 1 : at - 1; break;
            case SDLK_DOWN: at = (at + 1) % rows; break;
            case SDLK_BACKSPACE: enter(parent_of(dir)); break;
            case SDLK_RETURN:
                if (at == 0) {
                    std::string why;
                    if (s.lib.add_folder(dir, why)) {
                        remembered = s.lib.folders();
                        s.scans.start({dir});
                        message = "Added; scanning it now. Escape goes back to the list.";
                    } else {
                        message = "Cannot add it: " + why;
                    }
                } else if (at == 1) {
                    enter(parent_of(dir));
                } else {
                    enter(dir + (dir == "/" ? "" : "/") + names[at - 2]);
                }
                break;
            default:
                break;
            }
        }
        if (s.quit) return;
        if (at < top) top = at;
        if (at >= top + shown) top = at - shown + 1;
        SDL_Surface* surface = window->surface_ptr;
        fill(surface, 0, 0, screen_width, screen_height, 0);
        s.text.draw(surface, 40, 24, "Add a folder", style(20, white));
        s.text.draw(surface, 40, 54, dir, style(14, grey), 560);
        for (std::size_t i = top; i < std::min(rows, top + shown); ++i) {
            const std::string name = i == 0 ? "Add this folder" : i == 1 ? ".. (up)" : names[i - 2] + "/";
            draw_menu_row(s, surface, 84 + static_cast<int>(i - top) * 24, name, "", i == at);
        }
        int y = 84 + static_cast<int>(shown) * 24 + 10;
        s.text.draw(surface, 40, y, "Remembered folders:", style(14, white));
        for (const std::string& f : remembered) {
            y += 18;
            if (y > 410) break;
            s.text.draw(surface, 56, y, f, style(13, grey), 540);
        }
        std::string progress = message;
        if (s.scans.busy())
            progress = "Scanning: " + std::to_string(s.scans.seen()) + " songs found, " + std::to_string(s.scans.read()) +
                       " of " + std::to_string(s.scans.to_read()) + " read";
        s.text.draw(surface, 40, 424, progress, style(13, grey), 560);
        s.text.draw(surface, 40, 446, "Return open or add   Backspace up   Escape back", style(13, dim));
        window->flip();
        pace(next);
    }
}

struct arguments {
    bool ok = true;
    std::string edition, difficulty;
    bool fullscreen = false;
};

arguments read_arguments(int argc, char** argv) {
    arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--edition" && i + 1 < argc && converter::edition_from_name(argv[i + 1])) {
            a.edition = argv[++i];
        } else if (arg == "--difficulty" && i + 1 < argc && converter::difficulty_from_name(argv[i + 1])) {
            a.difficulty = argv[++i];
        } else if (arg == "--fullscreen") {
            a.fullscreen = true;
        } else {
            say("unknown argument \"" + arg + "\"; usage: " + program + " [--edition NAME] [--difficulty NAME] [--fullscreen]");
            a.ok = false;
        }
    }
    return a;
}

}  // namespace

int library_main(int argc, char** argv) {
    const arguments args = read_arguments(argc, argv);
    if (!args.ok) return 2;
    std::vector<std::string> warnings;
    userfiles::settings settings = load_settings(warnings);
    for (const std::string& w : warnings) say(w);
    if (!args.edition.empty()) settings.edition = args.edition;
    if (!args.difficulty.empty()) settings.difficulty = args.difficulty;
    if (args.fullscreen) settings.fullscreen = true;

    std::string problem;
    library lib(problem);
    if (!problem.empty()) say(problem + "; songs cannot be listed or kept");

    if (const std::string why = open_game_window({settings.fullscreen, settings.scale}); !why.empty()) {
        say(why);
        return 1;
    }
    open_gamepads();
    int status = 0;
    {
        text::font_set fonts(text::default_font_paths(), say);
        text::text_cache text(fonts);
        index_source source(lib.index(), settings.edition, settings.difficulty);
        songlist::list_view list(source, text, {0, 0, screen_width, list_height});
        preview::player preview;
        preview.set_volume(settings.volume);
        scanner scans(lib);
        session s{lib, settings, text, source, list, preview, scans, {}, false};
        back_to_list(s);
        // Songs added to the remembered folders since the last session.
        if (!lib.folders().empty()) scans.start({});
        list.settle();

        std::uint32_t next = SDL_GetTicks(), last_refresh = 0;
        std::uint64_t seen_changes = 0;
        bool redraw_all = true;
        while (!s.quit) {
            const std::uint32_t now = SDL_GetTicks();
            SDL_Event e;
            bool leave = false;
            while (!leave && !s.quit && SDL_PollEvent(&e)) {
                if (e.type == SDL_QUIT) {
                    s.quit = true;
                    break;
                }
                if (e.type == SDL_KEYDOWN) {
                    const SDLKey key = e.key.keysym.sym;
                    if (key == SDLK_F3 || key == SDLK_F4 || key == SDLK_F5) {
                        s.status.clear();
                        const songlist::song_row* row = list.highlighted_row();
                        if (key == SDLK_F3 && row) watch_best(s, {row->path, row->title});
                        if (key == SDLK_F4) settings_screen(s);
                        if (key == SDLK_F5) folder_screen(s);
                        back_to_list(s);
                        redraw_all = true;
                        continue;
                    }
                    s.status.clear();
                }
                const songlist::action a = list.handle(e, now);
                if (a.kind == songlist::action::leave) leave = true;
                if (a.kind == songlist::action::chosen) {
                    const songlist::song_row* row = list.highlighted_row();
                    const std::string path = source.path(a.id);
                    play_song(s, {path, row && row->id == a.id ? row->title : path});
                    redraw_all = true;
                }
            }
            if (leave) break;
            // Rows found by a scan show as they are written, a refresh a second at most.
            if (scans.changes() != seen_changes && (now - last_refresh >= 1000 || !scans.busy())) {
                seen_changes = scans.changes();
                last_refresh = now;
                list.refresh();
            }
            list.update(now);
            const songlist::song_row* row = list.highlighted_row();
            preview.select(row ? row->path : std::string(), now);
            preview.update(now);
            list.draw(window->surface_ptr, redraw_all);
            draw_keys_line(s, window->surface_ptr);
            redraw_all = false;
            window->flip();
            pace(next);
        }
        preview.stop();
    }
    close_game_window();
    return status;
}

}  // namespace libraryscreen

#include "libraryscreen/list_screen.hpp"

#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "converter/difficulty.hpp"
#include "game/stage.hpp"
#include "libraryscreen/arguments.hpp"
#include "libraryscreen/background_scan.hpp"
#include "libraryscreen/board_panel.hpp"
#include "libraryscreen/board_screen.hpp"
#include "libraryscreen/dialogs.hpp"
#include "libraryscreen/drawing.hpp"
#include "libraryscreen/folder_screen.hpp"
#include "libraryscreen/index_source.hpp"
#include "libraryscreen/library_calls.hpp"
#include "libraryscreen/online_calls.hpp"
#include "libraryscreen/play_and_watch.hpp"
#include "libraryscreen/screen_state.hpp"
#include "libraryscreen/settings_screen.hpp"
#include "libraryscreen/song_panel.hpp"
#include "preview/preview.hpp"
#include "shell/gamepad.hpp"
#include "shell/video.hpp"
#include "songlist/list_view.hpp"
#include "text/fonts.hpp"
#include "text/text_cache.hpp"

namespace libraryscreen {
namespace {

// The list on the left, the song panel on its right.
constexpr int list_width = 408;

// Where every text of a frame was drawn, for tests that check that no two
// overlap: with VELMORA_LIBRARY_TEXT_LOG=FILE, every frame of the list is
// drawn whole and its texts written to FILE, a line "x y w h text" each,
// the file replaced whole when they change.
class text_log {
public:
    explicit text_log(text::text_cache& text) : text_(text) {
        const char* file = std::getenv("VELMORA_LIBRARY_TEXT_LOG");
        if (!file || !*file) return;
        file_ = file;
        text_.on_draw = [this](const SDL_Rect& r, std::string_view t) {
            frame_ += std::to_string(r.x) + " " + std::to_string(r.y) + " " + std::to_string(r.w) + " " +
                      std::to_string(r.h) + " " + std::string(t) + "\n";
        };
    }
    ~text_log() { text_.on_draw = nullptr; }
    text_log(const text_log&) = delete;
    text_log& operator=(const text_log&) = delete;
    bool on() const { return !file_.empty(); }
    // Only what a frame of the list draws counts: not the screens between.
    void frame_starts() { frame_.clear(); }
    void frame_drawn() {
        if (!on()) return;
        if (frame_ != written_) {
            const std::string temporary = file_ + ".new";
            if (std::FILE* f = std::fopen(temporary.c_str(), "w")) {
                std::fputs(frame_.c_str(), f);
                std::fclose(f);
                std::rename(temporary.c_str(), file_.c_str());
            }
            written_ = frame_;
        }
        frame_.clear();
    }

private:
    text::text_cache& text_;
    std::string file_, frame_, written_;
};

// Left and Right step the difficulty of the list and the stages, saved.
void step_difficulty(screen_state& s, int step) {
    const int i = static_cast<int>(s.stage.difficulty);
    s.stage.difficulty = static_cast<converter::difficulty>((i + 3 + step) % 3);
    s.settings.difficulty = s.stage.difficulty_name();
    if (const std::string why = save_setting("difficulty", s.settings.difficulty); !why.empty())
        s.status = "The difficulty is not saved: " + why;
    s.source.set_query(s.settings.edition, s.settings.difficulty);
    s.list.refresh();
}

// A start with no music folder offers the player's in one key; when the
// player has none, says so and offers the folder screen to choose one.
void offer_music_folder(screen_state& s) {
    const music_place music = player_music_folder();
    const std::string later = "Escape: not now (F5 adds a folder later)";
    if (!music.exists) {
        const SDLKey key = ask(s,
                               "Welcome to velmora. " +
                                   (music.path.empty() ? std::string("There is no music folder here.")
                                                       : "There is no music folder " + music.path + ".") +
                                   " Choose the folder your music is in? The bundled song is there to play already.",
                               "Return: choose one   " + later, {SDLK_RETURN, SDLK_ESCAPE});
        if (key == SDLK_RETURN) folder_screen(s);
        return;
    }
    const std::string& dir = music.path;
    const SDLKey key = ask(s,
                           "Welcome to velmora. Add your music folder " + dir +
                               " to the list? Its songs are read in the background; the bundled song is there to "
                               "play already.",
                           "Return: add it   " + later, {SDLK_RETURN, SDLK_ESCAPE});
    if (key != SDLK_RETURN) return;
    std::string why;
    if (s.calls.add_folder(dir, why)) {
        s.scans.start({dir});
        s.status = "Added " + dir + "; its songs are being read";
    } else {
        s.status = "Cannot add " + dir + ": " + why;
    }
}

void draw_keys_line(screen_state& s, SDL_Surface* surface) {
    fill(surface, 0, list_height, screen_width, screen_height - list_height, 0);
    fill(surface, 0, list_height, screen_width, 1, dim);
    std::string line = s.status.empty() ? s.trouble : s.status;
    if (line.empty()) {
        line = "F2 random   F3 watch best   F4 settings   F5 add folder   " + s.settings.edition + ", " +
               s.settings.difficulty;
        // With a server, the highlighted song's world board in place of the
        // edition, which the panel shows.
        if (s.online && s.online->online() && s.boards) {
            line = "F3 best F4 settings F5 add F6 board  ";
            const songlist::song_row* row = s.list.highlighted_row();
            const std::optional<song_board> b =
                row ? s.boards->find(row->path, s.stage) : std::nullopt;
            line += !row ? std::string() : b ? board_panel::summary(*b, s.online->player()) : "World: loading...";
        }
        if (s.scans.busy())
            line = "Scanning: " + std::to_string(s.scans.seen()) + " songs found, " + std::to_string(s.scans.read()) +
                   " of " + std::to_string(s.scans.to_read()) + " read   F4 settings   F5 add folder";
    }
    s.text.draw(surface, 8, line_y, line, style(13, grey), screen_width - 16);
}

// What failed since the last frame, said once on standard error and kept on
// the keys line: a scan that stopped, a list that cannot be read.
void note_troubles(screen_state& s) {
    if (const std::string why = s.scans.take_error(); !why.empty()) {
        say("the scan stopped: " + why);
        s.trouble = "The scan stopped: " + why;
        s.failed = true;
    }
    // Without the library the list is empty for that reason, said already.
    if (!s.calls.index()) return;
    if (const std::string why = s.source.error(); !why.empty() && s.trouble != "Cannot read the list: " + why) {
        say("cannot read the list: " + why);
        s.trouble = "Cannot read the list: " + why;
        s.failed = true;
    }
}

// The settings file, then what the command line says for this start only.
userfiles::settings start_settings(const arguments& args) {
    std::vector<std::string> warnings;
    userfiles::settings settings = load_settings(warnings);
    for (const std::string& w : warnings) say(w);
    if (!args.edition.empty()) settings.edition = args.edition;
    if (!args.difficulty.empty()) settings.difficulty = args.difficulty;
    if (args.fullscreen) settings.fullscreen = true;
    if (args.offset_ms) settings.offset_ms = *args.offset_ms;
    return settings;
}

// The list, the highlighted song's panel (with a server, its world board
// under its bests, unless `with_world` is false) and the keys' line; `whole`
// draws every pixel again.
void draw_screen(screen_state& s, text_log& log, bool whole, bool with_world = true) {
    const songlist::song_row* row = s.list.highlighted_row();
    s.panel->show(row ? row->path : std::string(), row ? row->title : std::string());
    log.frame_starts();
    s.list.draw(window->surface_ptr, whole);
    std::vector<world_line> world;
    if (with_world && s.boards && row) {
        const std::optional<song_board> b = s.boards->find(row->path, s.stage);
        world = b ? board_panel::panel_lines(*b, s.online->player(), 3)
                  : std::vector<world_line>{{"loading...", "", false}};
    }
    s.panel->draw(window->surface_ptr, s.stage, whole, world);
    draw_keys_line(s, window->surface_ptr);
    log.frame_drawn();
}

// The list drawn once, then the music folder offered over it.
void first_start_offer(screen_state& s, text_log& log) {
    s.list.update(SDL_GetTicks());
    draw_screen(s, log, true, false);
    offer_music_folder(s);
    back_to_list(s);
}

// F3 to F6 open a screen of their own over the list; true when `key` was one.
bool open_key_screen(screen_state& s, SDLKey key, std::unique_ptr<board_panel>& boards) {
    if (key != SDLK_F3 && key != SDLK_F4 && key != SDLK_F5 && !(key == SDLK_F6 && boards)) return false;
    s.status.clear();
    const songlist::song_row* row = s.list.highlighted_row();
    if (key == SDLK_F3 && row) watch_best(s, {row->path, row->title, row->artist});
    if (key == SDLK_F6 && row) board_screen(s, {row->path, row->title, row->artist});
    if (key == SDLK_F4) {
        settings_screen(s);
        // The server may have been set or cleared there.
        if (s.online->online() != static_cast<bool>(boards)) {
            boards.reset();
            if (s.online->online()) boards = std::make_unique<board_panel>(*s.online);
            s.boards = boards.get();
        }
        if (boards) boards->forget();
    }
    if (key == SDLK_F5) folder_screen(s);
    back_to_list(s);
    return true;
}

// Sessions whose program ended before its game: their finished runs kept.
void keep_abandoned_sessions(library_calls& calls) {
    std::vector<std::string> problems;
    if (const std::size_t recovered = calls.recover_sessions(problems); recovered > 0)
        say("kept " + std::to_string(recovered) + " finished run" + (recovered == 1 ? "" : "s") +
            " of sessions whose program had ended before its game");
    for (const std::string& p : problems) say(p);
}

// What one event asks of the list's loop.
struct event_outcome {
    bool leave = false;   // the player chose to quit
    bool redraw = false;  // another screen was over the list
};

event_outcome handle_event(screen_state& s, SDL_Event& e, std::uint32_t now, std::unique_ptr<board_panel>& boards) {
    event_outcome o;
    if (e.type == SDL_QUIT) {
        s.quit = true;
        return o;
    }
    if (e.type == SDL_MOUSEBUTTONDOWN || e.type == SDL_MOUSEBUTTONUP) {
        // The window's pixels are the game's scaled up, perhaps between borders.
        int x = 0, y = 0;
        if (!window_to_game(e.button.x, e.button.y, x, y)) return o;
        e.button.x = static_cast<Uint16>(x);
        e.button.y = static_cast<Uint16>(y);
    }
    if (e.type == SDL_KEYDOWN) {
        const SDLKey key = e.key.keysym.sym;
        if (key == SDLK_LEFT || key == SDLK_RIGHT) {
            s.status.clear();
            step_difficulty(s, key == SDLK_LEFT ? -1 : 1);
            return o;
        }
        // Plain G types into the filter.
        if (key == SDLK_g && (e.key.keysym.mod & KMOD_CTRL)) {
            cycle_ghost(s);
            return o;
        }
        if (open_key_screen(s, key, boards)) {
            o.redraw = true;
            return o;
        }
        s.status.clear();
    }
    const songlist::action a = s.list.handle(e, now);
    if (a.kind == songlist::action::leave) {
        // Asked first: a stray Escape loses nothing.
        const SDLKey answer =
            ask(s, "Quit velmora?", "Return: quit   Escape: stay", {SDLK_RETURN, SDLK_y, SDLK_ESCAPE, SDLK_n});
        back_to_list(s);
        o.leave = answer == SDLK_RETURN || answer == SDLK_y;
        o.redraw = true;
    }
    if (a.kind == songlist::action::chosen) {
        const songlist::song_row* row = s.list.highlighted_row();
        const std::string path = s.source.path(a.id);
        const bool known = row && row->id == a.id;
        play_song(s, {path, known ? row->title : path, known ? row->artist : std::string()});
        o.redraw = true;
    }
    return o;
}

// The list until the player quits or closes the window: events, the
// scan's new rows, the boards wanted for the highlighted song, the preview,
// a frame drawn.
void list_loop(screen_state& s, text_log& log, std::unique_ptr<board_panel>& boards) {
    std::uint32_t next = SDL_GetTicks(), last_refresh = 0;
    std::uint64_t seen_changes = 0, seen_online = 0;
    bool redraw_all = true;
    while (!s.quit) {
        const std::uint32_t now = SDL_GetTicks();
        SDL_Event e;
        bool leave = false;
        while (!leave && !s.quit && SDL_PollEvent(&e)) {
            const event_outcome o = handle_event(s, e, now, boards);
            leave = o.leave;
            redraw_all = redraw_all || o.redraw;
        }
        if (leave) break;
        // Rows found by a scan show as they are written, a refresh a second at most.
        if (s.scans.changes() != seen_changes && (now - last_refresh >= 1000 || !s.scans.busy())) {
            seen_changes = s.scans.changes();
            last_refresh = now;
            s.list.refresh();
        }
        s.list.update(now);
        note_troubles(s);
        const songlist::song_row* row = s.list.highlighted_row();
        if (boards && row) boards->want(row->path, s.stage, now);
        // A session sent or answered: the boards are read again.
        if (boards && s.online->changes() != seen_online) {
            seen_online = s.online->changes();
            boards->forget();
        }
        s.preview.select(row ? row->path : std::string(), now);
        s.preview.update(now);
        draw_screen(s, log, redraw_all || log.on());
        redraw_all = false;
        window->flip();
        pace(next);
    }
}

}  // namespace

int library_screen_main(int argc, char** argv) {
    const arguments args = read_arguments(argc, argv);
    if (!args.ok) return 2;
    const userfiles::settings settings = start_settings(args);
    // The names were checked as the settings and the arguments were read.
    const ::library::stage_choice stage =
        ::library::stage_choice::from_names(settings.edition, settings.difficulty).value_or(::library::stage_choice{});

    std::string problem;
    library_calls calls(problem);
    if (!problem.empty()) say(problem + "; songs cannot be listed or kept");
    // Before the sessions are kept, so a killed session is sent as well.
    online_calls online(calls);
    // Before the list is read, so the runs of a killed session show in it.
    keep_abandoned_sessions(calls);
    online.session_ended();

    // Listed before the list is read: the player has something to play.
    calls.list_bundled_song();
    // The song the screen was started on, listed as any other.
    const std::string start_song = args.song.empty() ? std::string() : calls.list_song(args.song);

    if (const std::string why = open_game_window({settings.fullscreen, settings.scale, true}); !why.empty()) {
        say(why);
        return 1;
    }
    open_gamepads();
    int status = 0;
    {
        text::font_set fonts(text::default_font_paths(), say);
        // A list without a word on it is no list: the font set has said why.
        if (!fonts.usable()) {
            close_game_window();
            return 1;
        }
        text::text_cache text(fonts);
        index_source source(calls.index(), settings.edition, settings.difficulty);
        songlist::list_view list(source, text, {0, 0, list_width, list_height});
        song_panel panel(calls, text, {list_width, 0, screen_width - list_width, list_height});
        preview::player preview;
        preview.set_volume(settings.volume);
        scanner scans(calls);
        std::unique_ptr<board_panel> boards;
        if (online.online()) boards = std::make_unique<board_panel>(online);
        screen_state s{calls, settings, text, source, list, preview, scans, {}, {}, false, false, &online, boards.get(), &panel,
                       stage, args.ghost, ghost_pick::none, {}};
        text_log log(text);
        if (!problem.empty()) {
            s.trouble = "The song library cannot be opened: " + problem;
            s.failed = true;
        }
        back_to_list(s);
        // Songs added to the remembered folders since the last session.
        const bool remembered = !calls.folders().empty();
        if (remembered) scans.start({});
        if (!start_song.empty()) list.highlight_song(source.id_for(start_song));
        list.settle();
        // No folder yet (and a library to add one to): the music folder is
        // offered, though not before a song the player asked to play.
        if (!remembered && calls.index() && !args.play) first_start_offer(s, log);

        if (args.play && !s.quit) {
            const songlist::song_row* row = list.highlighted_row();
            const std::string path = start_song.empty() ? args.song : start_song;
            const bool known = row && !start_song.empty() && source.path(row->id) == start_song;
            play_song(s, {path, known ? row->title : path, known ? row->artist : std::string()});
        }

        list_loop(s, log, boards);
        preview.stop();
        if (s.failed) status = 1;
    }
    close_game_window();
    return status;
}

}  // namespace libraryscreen

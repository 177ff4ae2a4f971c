#include "libraryscreen/list_screen.hpp"

#include <SDL.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "game/stage.hpp"
#include "libraryscreen/arguments.hpp"
#include "libraryscreen/background_scan.hpp"
#include "libraryscreen/board_panel.hpp"
#include "libraryscreen/board_screen.hpp"
#include "libraryscreen/drawing.hpp"
#include "libraryscreen/folder_screen.hpp"
#include "libraryscreen/index_source.hpp"
#include "libraryscreen/library_calls.hpp"
#include "libraryscreen/online_calls.hpp"
#include "libraryscreen/play_and_watch.hpp"
#include "libraryscreen/screen_state.hpp"
#include "libraryscreen/settings_screen.hpp"
#include "preview/preview.hpp"
#include "shell/gamepad.hpp"
#include "shell/video.hpp"
#include "songlist/list_view.hpp"
#include "text/fonts.hpp"
#include "text/text_cache.hpp"

namespace libraryscreen {
namespace {

void draw_keys_line(screen_state& s, SDL_Surface* surface) {
    fill(surface, 0, list_height, screen_width, screen_height - list_height, 0);
    fill(surface, 0, list_height, screen_width, 1, dim);
    std::string line = s.status.empty() ? s.trouble : s.status;
    if (line.empty()) {
        line = "F3 watch best   F4 settings   F5 add folder   " + s.settings.edition + ", " + s.settings.difficulty;
        // With a server, the highlighted song's world board in place of the
        // edition, which the settings show.
        if (s.online && s.online->online() && s.boards) {
            line = "F3 best F4 settings F5 add F6 board  ";
            const songlist::song_row* row = s.list.highlighted_row();
            const std::optional<song_board> b =
                row ? s.boards->find(row->path, s.settings.edition, s.settings.difficulty) : std::nullopt;
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

}  // namespace

int library_screen_main(int argc, char** argv) {
    const arguments args = read_arguments(argc, argv);
    if (!args.ok) return 2;
    std::vector<std::string> warnings;
    userfiles::settings settings = load_settings(warnings);
    for (const std::string& w : warnings) say(w);
    if (!args.edition.empty()) settings.edition = args.edition;
    if (!args.difficulty.empty()) settings.difficulty = args.difficulty;
    if (args.fullscreen) settings.fullscreen = true;

    std::string problem;
    library_calls calls(problem);
    if (!problem.empty()) say(problem + "; songs cannot be listed or kept");
    // Before the sessions are kept, so a killed session is sent as well.
    online_calls online(calls);
    // Before the list is read, so the runs of a killed session show in it.
    std::vector<std::string> recovery_problems;
    if (const std::size_t recovered = calls.recover_sessions(recovery_problems); recovered > 0)
        say("kept " + std::to_string(recovered) + " finished run" + (recovered == 1 ? "" : "s") +
            " of sessions whose program had ended before its game");
    for (const std::string& p : recovery_problems) say(p);
    online.session_ended();

    if (const std::string why = open_game_window({settings.fullscreen, settings.scale}); !why.empty()) {
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
        songlist::list_view list(source, text, {0, 0, screen_width, list_height});
        preview::player preview;
        preview.set_volume(settings.volume);
        scanner scans(calls);
        std::unique_ptr<board_panel> boards;
        if (online.online()) boards = std::make_unique<board_panel>(online);
        screen_state s{calls, settings, text, source, list, preview, scans, {}, {}, false, false, &online, boards.get()};
        if (!problem.empty()) {
            s.trouble = "The song library cannot be opened: " + problem;
            s.failed = true;
        }
        back_to_list(s);
        // Songs added to the remembered folders since the last session.
        if (!calls.folders().empty()) scans.start({});
        list.settle();

        std::uint32_t next = SDL_GetTicks(), last_refresh = 0;
        std::uint64_t seen_changes = 0, seen_online = 0;
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
                    if (key == SDLK_F3 || key == SDLK_F4 || key == SDLK_F5 || (key == SDLK_F6 && boards)) {
                        s.status.clear();
                        const songlist::song_row* row = list.highlighted_row();
                        if (key == SDLK_F3 && row) watch_best(s, {row->path, row->title});
                        if (key == SDLK_F6 && row) board_screen(s, {row->path, row->title});
                        if (key == SDLK_F4) {
                            settings_screen(s);
                            // The server may have been set or cleared there.
                            if (online.online() != static_cast<bool>(boards)) {
                                boards.reset();
                                if (online.online()) boards = std::make_unique<board_panel>(online);
                                s.boards = boards.get();
                            }
                            if (boards) boards->forget();
                        }
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
            note_troubles(s);
            const songlist::song_row* row = list.highlighted_row();
            if (boards && row) boards->want(row->path, s.settings.edition, s.settings.difficulty, now);
            // A session sent or answered: the boards are read again.
            if (boards && online.changes() != seen_online) {
                seen_online = online.changes();
                boards->forget();
            }
            preview.select(row ? row->path : std::string(), now);
            preview.update(now);
            list.draw(window->surface_ptr, redraw_all);
            draw_keys_line(s, window->surface_ptr);
            redraw_all = false;
            window->flip();
            pace(next);
        }
        preview.stop();
        if (s.failed) status = 1;
    }
    close_game_window();
    return status;
}

}  // namespace libraryscreen

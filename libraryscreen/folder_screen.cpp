#include "libraryscreen/folder_screen.hpp"

#include <SDL.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "libraryscreen/drawing.hpp"
#include "libraryscreen/menu.hpp"
#include "musicfiles/walk.hpp"

namespace libraryscreen {
namespace {

std::string parent_of(const std::string& dir) {
    const std::size_t slash = dir.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

}  // namespace

void folder_screen(screen_state& s) {
    s.preview.stop();
    std::string dir = music_folder();
    std::string message;
    // Read again only when a folder is added, not at every frame.
    std::vector<std::string> remembered = s.calls.folders();
    menu m;
    // Rows: add this folder, the parent, the subfolders.
    std::function<void(const std::string&)> enter = [&](const std::string& to) {
        dir = to;
        m.rows = {{"Add this folder", nullptr, nullptr,
                   [&] {
                       std::string why;
                       if (s.calls.add_folder(dir, why)) {
                           // Back to the list, which shows the songs as the scan finds them.
                           s.scans.start({dir});
                           s.status = "Added " + dir + "; its songs are being read";
                           m.leave = true;
                       } else {
                           message = "Cannot add it: " + why;
                       }
                   }},
                  {".. (up)", nullptr, nullptr, [&] { enter(parent_of(dir)); }}};
        for (const std::string& name : musicfiles::subfolders(dir))
            m.rows.push_back({name + "/", nullptr, nullptr, [&, name] { enter(dir + (dir == "/" ? "" : "/") + name); }});
        m.at = m.top = 0;
    };
    enter(dir);
    m.rows_y = 84;
    m.row_step = 24;
    m.shown = 10;
    m.leave_keys = {SDLK_ESCAPE, SDLK_F5};
    m.other_key = [&](SDLKey key) {
        if (key == SDLK_BACKSPACE) enter(parent_of(dir));
    };
    m.draw_before = [&](SDL_Surface* surface) {
        s.text.draw(surface, 40, 24, "Add a folder", style(20, white));
        s.text.draw(surface, 40, 54, dir, style(14, grey), 560);
    };
    m.draw_after = [&](SDL_Surface* surface) {
        int y = m.rows_y + static_cast<int>(m.shown) * m.row_step + 10;
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
    };
    run_menu(s, m);
}

}  // namespace libraryscreen

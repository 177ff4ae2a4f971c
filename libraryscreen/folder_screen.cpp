#include "libraryscreen/folder_screen.hpp"

#include <SDL.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "libraryscreen/drawing.hpp"
#include "libraryscreen/menu.hpp"

namespace libraryscreen {
namespace {

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

}  // namespace

void folder_screen(screen_state& s) {
    s.preview.stop();
    std::string dir = music_folder();
    std::vector<std::string> names = subfolders(dir);
    std::size_t at = 0, top = 0;
    std::string message;
    constexpr std::size_t shown = 10;
    // Read again only when a folder is added, not at every frame.
    std::vector<std::string> remembered = s.calls.folders();
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
                    if (s.calls.add_folder(dir, why)) {
                        remembered = s.calls.folders();
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

}  // namespace libraryscreen

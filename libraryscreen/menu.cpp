#include "libraryscreen/menu.hpp"

#include <algorithm>

#include "libraryscreen/drawing.hpp"

namespace libraryscreen {

bool next_key(screen_state& s, SDLKey& key) {
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

void draw_menu_row(screen_state& s, SDL_Surface* surface, int y, const std::string& name, const std::string& value,
                   bool chosen) {
    const std::uint32_t bg = chosen ? highlight : 0;
    fill(surface, 40, y - 2, 560, 22, bg);
    s.text.draw(surface, 50, y, name, style(15, white, bg), 260);
    if (!value.empty()) s.text.draw(surface, 320, y, value, style(15, chosen ? white : grey, bg), 270);
}

void run_menu(screen_state& s, menu& m) {
    std::uint32_t next = SDL_GetTicks();
    for (;;) {
        SDLKey key;
        while (next_key(s, key)) {
            if (std::find(m.leave_keys.begin(), m.leave_keys.end(), key) != m.leave_keys.end()) return;
            const std::size_t rows = m.rows.size();
            if (rows == 0) continue;
            // Copies: an action may replace the rows, and with them its own.
            const std::function<void(int)> change = m.rows[m.at].change;
            const std::function<void()> choose = m.rows[m.at].choose;
            switch (key) {
            case SDLK_UP: m.at = (m.at + rows - 1) % rows; break;
            case SDLK_DOWN: m.at = (m.at + 1) % rows; break;
            case SDLK_LEFT:
                if (change) change(-1);
                break;
            case SDLK_RIGHT:
                if (change) change(1);
                break;
            case SDLK_SPACE:
            case SDLK_RETURN:
                if (key == SDLK_SPACE && !m.space_chooses) break;
                if (choose) {
                    choose();
                } else if (change) {
                    change(1);
                }
                break;
            default:
                if (m.other_key) m.other_key(key);
                break;
            }
            if (m.leave) return;
        }
        if (s.quit) return;
        const std::size_t rows = m.rows.size();
        if (m.at < m.top) m.top = m.at;
        if (m.at >= m.top + m.shown) m.top = m.at - m.shown + 1;
        SDL_Surface* surface = window->surface_ptr;
        fill(surface, 0, 0, screen_width, screen_height, 0);
        if (m.draw_before) m.draw_before(surface);
        for (std::size_t i = m.top; i < std::min(rows, m.top + m.shown); ++i) {
            const menu_row& r = m.rows[i];
            draw_menu_row(s, surface, m.rows_y + static_cast<int>(i - m.top) * m.row_step, r.name,
                          r.value ? r.value() : std::string(), i == m.at);
        }
        if (m.draw_after) m.draw_after(surface);
        window->flip();
        pace(next);
    }
}

}  // namespace libraryscreen

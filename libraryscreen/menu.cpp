#include "libraryscreen/menu.hpp"

#include <algorithm>
#include <chrono>
#include <future>

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

namespace {

void draw_alone(screen_state& s, const std::string& message, const std::string& second = {}) {
    SDL_Surface* surface = window->surface_ptr;
    fill(surface, 0, 0, screen_width, screen_height, 0);
    s.text.draw(surface, 40, 200, message, style(16, white), 560);
    if (!second.empty()) s.text.draw(surface, 40, 230, second, style(16, grey), 560);
    window->flip();
}

// Far longer than any address or name.
constexpr std::size_t longest_typed = 200;

}  // namespace

std::string while_waiting(screen_state& s, const std::string& message, std::function<std::string()> work) {
    std::future<std::string> f = std::async(std::launch::async, std::move(work));
    std::uint32_t next = SDL_GetTicks();
    while (f.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        SDLKey key;
        while (next_key(s, key)) {
        }
        draw_alone(s, message);
        pace(next);
    }
    return f.get();
}

bool type_text(screen_state& s, const std::string& prompt, std::string& text) {
    std::uint32_t next = SDL_GetTicks();
    for (;;) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
            if (e.type == SDL_QUIT) {
                s.quit = true;
                return false;
            }
            if (e.type != SDL_KEYDOWN) continue;
            const SDLKey key = e.key.keysym.sym;
            if (key == SDLK_ESCAPE) return false;
            if (key == SDLK_RETURN || key == SDLK_KP_ENTER) return true;
            if (key == SDLK_BACKSPACE) {
                // A whole UTF-8 character.
                while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xc0) == 0x80) text.pop_back();
                if (!text.empty()) text.pop_back();
                continue;
            }
            const Uint16 u = e.key.keysym.unicode;
            if (u < 0x20 || u == 0x7f || text.size() >= longest_typed) continue;
            if (u < 0x80) {
                text += static_cast<char>(u);
            } else if (u < 0x800) {
                text += static_cast<char>(0xc0 | (u >> 6));
                text += static_cast<char>(0x80 | (u & 0x3f));
            } else {
                text += static_cast<char>(0xe0 | (u >> 12));
                text += static_cast<char>(0x80 | ((u >> 6) & 0x3f));
                text += static_cast<char>(0x80 | (u & 0x3f));
            }
        }
        draw_alone(s, prompt, text + "_");
        pace(next);
    }
}

}  // namespace libraryscreen

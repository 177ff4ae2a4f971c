#include "libraryscreen/menu.hpp"

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

}  // namespace libraryscreen

#include "libraryscreen/drawing.hpp"

#include <algorithm>
#include <cstdio>

namespace libraryscreen {

void say(const std::string& line) { std::fprintf(stderr, "%s: %s\n", program, line.c_str()); }

Uint32 colour(SDL_Surface* s, std::uint32_t rgb) {
    return SDL_MapRGB(s->format, (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

void fill(SDL_Surface* s, int x, int y, int w, int h, std::uint32_t rgb) {
    SDL_Rect r{static_cast<Sint16>(x), static_cast<Sint16>(y), static_cast<Uint16>(std::max(w, 0)),
               static_cast<Uint16>(std::max(h, 0))};
    SDL_FillRect(s, &r, colour(s, rgb));
}

void pace(std::uint32_t& next) {
    const std::uint32_t now = SDL_GetTicks();
    if (static_cast<std::int32_t>(next - now) > 0) SDL_Delay(next - now);
    next = std::max(next + frame_ms, SDL_GetTicks());
}

}  // namespace libraryscreen

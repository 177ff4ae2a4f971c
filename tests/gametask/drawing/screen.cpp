#include "screen.hpp"

#include <SDL_image.h>

#include <stdexcept>

#include "gametask/schedulers.hpp"
#include "shell/video.hpp"

namespace drawing_test {

namespace {

SDL_Surface* reference_sheet() {
    static SDL_Surface* sheet = [] {
        SDL_Surface* s = IMG_Load("data/p.bmp");
        if (!s) throw std::runtime_error(std::string("cannot load data/p.bmp: ") + SDL_GetError());
        return s;
    }();
    return sheet;
}

Uint32 read_pixel(SDL_Surface* s, int x, int y) {
    const int bpp = s->format->BytesPerPixel;
    const Uint8* p = static_cast<const Uint8*>(s->pixels) + y * s->pitch + x * bpp;
    switch (bpp) {
    case 1: return *p;
    case 2: return *reinterpret_cast<const Uint16*>(p);
    case 3: return SDL_BYTEORDER == SDL_LIL_ENDIAN ? p[0] | p[1] << 8 | p[2] << 16 : p[2] | p[1] << 8 | p[0] << 16;
    default: return *reinterpret_cast<const Uint32*>(p);
    }
}

}  // namespace

void open_screen() {
    if (window) return;
    spawn_drawing_layer();
    window = new vaz::xcppsdl<void>(0);
    if (!window->surface_ptr) throw std::runtime_error("no video surface under the dummy driver");
    if (!sprite_sheet.surface_ptr) throw std::runtime_error("the game did not load its sprite sheet");
    SDL_SetColorKey(sprite_sheet.surface_ptr, SDL_SRCCOLORKEY | SDL_RLEACCEL, SDL_MapRGB(window->format, 0, 255, 255));
}

void clear_screen(Uint32 pixel) { SDL_FillRect(window->surface_ptr, nullptr, pixel); }

Uint32 screen_pixel(int x, int y) {
    SDL_Surface* s = window->surface_ptr;
    SDL_LockSurface(s);
    const Uint32 p = read_pixel(s, x, y);
    SDL_UnlockSurface(s);
    return p;
}

Uint32 screen_rgb(int r, int g, int b) {
    return SDL_MapRGB(window->surface_ptr->format, static_cast<Uint8>(r), static_cast<Uint8>(g), static_cast<Uint8>(b));
}

rgb sheet_rgb(int x, int y) {
    SDL_Surface* s = reference_sheet();
    SDL_LockSurface(s);
    const Uint32 p = read_pixel(s, x, y);
    SDL_UnlockSurface(s);
    Uint8 r, g, b;
    SDL_GetRGB(p, s->format, &r, &g, &b);
    return {r, g, b};
}

bool sheet_is_transparent(int x, int y) { return sheet_rgb(x, y) == rgb{0, 255, 255}; }

int opaque_pixel_count(const sprite& s) {
    int n = 0;
    for (int j = 0; j < s.rect.h; ++j)
        for (int i = 0; i < s.rect.w; ++i) n += !sheet_is_transparent(s.rect.x + i, s.rect.y + j);
    return n;
}

int matching_pixels(const sprite& s, int x, int y) {
    int n = 0;
    for (int j = 0; j < s.rect.h; ++j)
        for (int i = 0; i < s.rect.w; ++i) {
            const rgb c = sheet_rgb(s.rect.x + i, s.rect.y + j);
            if (c == rgb{0, 255, 255}) continue;
            n += screen_pixel(x + i, y + j) == screen_rgb(c.r, c.g, c.b);
        }
    return n;
}

testing::AssertionResult shows_exactly(const sprite& s, int x, int y, Uint32 background) {
    for (int j = 0; j < s.rect.h; ++j)
        for (int i = 0; i < s.rect.w; ++i) {
            const rgb c = sheet_rgb(s.rect.x + i, s.rect.y + j);
            const Uint32 want = c == rgb{0, 255, 255} ? background : screen_rgb(c.r, c.g, c.b);
            const Uint32 got = screen_pixel(x + i, y + j);
            if (got != want) {
                return testing::AssertionFailure() << "screen (" << x + i << "," << y + j << ") is 0x" << std::hex << got
                                                   << ", the sprite wants 0x" << want;
            }
        }
    return testing::AssertionSuccess();
}

testing::AssertionResult shows(const sprite& s, int x, int y) {
    const int opaque = opaque_pixel_count(s);
    const int matching = matching_pixels(s, x, y);
    if (opaque > 0 && matching == opaque) return testing::AssertionSuccess();
    return testing::AssertionFailure() << matching << " of the sprite's " << opaque << " opaque pixels show at (" << x
                                       << "," << y << ")";
}

std::string digits_shown(int x, int y, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        char c = '?';
        for (int d = 0; d <= 9; ++d)
            if (shows_exactly(*digits[d], x + 5 * i, y)) c = static_cast<char>('0' + d);
        out += c;
    }
    return out;
}

}  // namespace drawing_test

#include "shell/sprites.hpp"

#include <SDL_image.h>

#include <algorithm>
#include <climits>
#include <cstddef>

#include "shell/video.hpp"

namespace {

constexpr const char* sheet_name = "data/p.bmp";

// Every record points at the wrapper, never at its surface, so they are all
// constant-initialised and safe to use from any static constructor.
constexpr sprite sheet_rect(Sint16 x, Sint16 y, Uint16 w, Uint16 h) { return {&sprite_sheet, {x, y, w, h}}; }

const sprite digit_sprites[10] = {
    sheet_rect(60, 0, 5, 7), sheet_rect(65, 0, 5, 7), sheet_rect(70, 0, 5, 7), sheet_rect(75, 0, 5, 7),
    sheet_rect(80, 0, 5, 7), sheet_rect(85, 0, 5, 7), sheet_rect(90, 0, 5, 7), sheet_rect(95, 0, 5, 7),
    sheet_rect(100, 0, 5, 7), sheet_rect(105, 0, 5, 7),
};

// Rows by facing: left, right, up, down; columns: standing, then the two steps.
const sprite ship_sprites[4][3] = {
    {sheet_rect(0, 20, 10, 15), sheet_rect(10, 20, 10, 15), sheet_rect(20, 20, 10, 15)},
    {sheet_rect(30, 20, 10, 15), sheet_rect(40, 20, 10, 15), sheet_rect(50, 20, 10, 15)},
    {sheet_rect(0, 0, 10, 15), sheet_rect(10, 0, 10, 15), sheet_rect(20, 0, 10, 15)},
    {sheet_rect(30, 0, 10, 15), sheet_rect(40, 0, 10, 15), sheet_rect(50, 0, 10, 15)},
};

std::string& chosen_sheet_file() {
    static std::string file;
    return file;
}

}  // namespace

const sprite* const digits[10] = {
    &digit_sprites[0], &digit_sprites[1], &digit_sprites[2], &digit_sprites[3], &digit_sprites[4],
    &digit_sprites[5], &digit_sprites[6], &digit_sprites[7], &digit_sprites[8], &digit_sprites[9],
};

const sprite* const ship_frames[4][3] = {
    {&ship_sprites[0][0], &ship_sprites[0][1], &ship_sprites[0][2]},
    {&ship_sprites[1][0], &ship_sprites[1][1], &ship_sprites[1][2]},
    {&ship_sprites[2][0], &ship_sprites[2][1], &ship_sprites[2][2]},
    {&ship_sprites[3][0], &ship_sprites[3][1], &ship_sprites[3][2]},
};

const sprite point_glyph = sheet_rect(110, 0, 5, 7);
const sprite title_image = sheet_rect(0, 40, 60, 40);
const sprite title_label = sheet_rect(60, 10, 40, 10);
const sprite outi_image = sheet_rect(60, 20, 100, 20);
const sprite first_counter_label = sheet_rect(100, 10, 40, 10);
const sprite second_counter_label = sheet_rect(60, 60, 30, 10);
const sprite bombed_image = sheet_rect(60, 40, 50, 10);
const sprite smile_image = sheet_rect(60, 50, 50, 10);
const sprite gameover_image = sheet_rect(0, 80, 70, 20);
const sprite blood_image = sheet_rect(0, 100, 5, 5);
const sprite pause_label = sheet_rect(80, 80, 80, 20);
const sprite calibration_label = sheet_rect(60, 100, 100, 20);
const sprite calibration_again_label = sheet_rect(60, 120, 100, 10);
const sprite ship_halo = sheet_rect(10, 100, 30, 30);
const sprite bullet_halo = sheet_rect(40, 100, 20, 20);

namespace {

// Screen rectangles hold 16-bit coordinates; anything beyond them is far off
// screen, and wrapping it round would bring it back into view.
bool fits_screen_rect(int x, int y) {
    return x >= SHRT_MIN && x <= SHRT_MAX && y >= SHRT_MIN && y <= SHRT_MAX;
}

}  // namespace

void blit(const sprite& s, int x, int y) {
    if (!fits_screen_rect(x, y)) return;
    SDL_Rect source = s.rect;
    SDL_Rect destination{static_cast<Sint16>(x), static_cast<Sint16>(y), 0, 0};
    SDL_UpperBlit(s.sheet->surface_ptr, &source, window->surface_ptr, &destination);
}

void fill_rect(int x, int y, int w, int h, fill_colour colour) {
    const Uint32 pixel = colour.pixel;
    if (w <= 0 || h <= 0 || !fits_screen_rect(x, y)) return;
    SDL_Surface* screen = window->surface_ptr;
    if (screen->format->BytesPerPixel != 4 || SDL_MUSTLOCK(screen)) {
        SDL_Rect r{static_cast<Sint16>(x), static_cast<Sint16>(y), static_cast<Uint16>(w), static_cast<Uint16>(h)};
        SDL_FillRect(screen, &r, pixel);
        return;
    }
    // A crowded frame fills thousands of 3x3 bullets; writing them here, with
    // the same clipping as SDL_FillRect, saves the library's per-call cost.
    const SDL_Rect& clip = screen->clip_rect;
    const int left = std::max(x, static_cast<int>(clip.x));
    const int top = std::max(y, static_cast<int>(clip.y));
    const int right = std::min(x + w, clip.x + static_cast<int>(clip.w));
    const int bottom = std::min(y + h, clip.y + static_cast<int>(clip.h));
    for (int row = top; row < bottom; ++row) {
        auto* line = reinterpret_cast<Uint32*>(static_cast<Uint8*>(screen->pixels) +
                                               static_cast<std::ptrdiff_t>(row) * screen->pitch);
        std::fill(line + left, line + std::max(left, right), pixel);
    }
}

std::vector<std::string> sprite_sheet_locations(const std::string& exe_dir) {
    return data_file_locations(exe_dir, sheet_name);
}

const std::string& sprite_sheet_file() { return chosen_sheet_file(); }

SDL_Surface* load_sprite_sheet() {
    std::string& file = chosen_sheet_file();
    file = find_data_file(sheet_name);
    // A sheet that is found but unreadable is reported as such rather than
    // passed over for another copy elsewhere.
    if (file.empty()) {
        SDL_SetError("no %s in the working directory, beside the program or in the installed data", sheet_name);
        return nullptr;
    }
    return IMG_Load(file.c_str());
}

#include "game/pixel_text.hpp"

#include <cstdint>

#include "shell/sprites.hpp"

namespace {

// A row per entry, the left pixel in bit 2.
struct glyph {
    char c;
    std::uint8_t rows[5];
};
constexpr glyph glyphs[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 1, 1}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'.', {0, 0, 0, 0, 2}}, {':', {0, 2, 0, 2, 0}},
    {'x', {0, 5, 2, 5, 0}}, {'A', {2, 5, 7, 5, 5}}, {'B', {6, 5, 6, 5, 6}}, {'C', {3, 4, 4, 4, 3}},
    {'D', {6, 5, 5, 5, 6}}, {'E', {7, 4, 6, 4, 7}}, {'F', {7, 4, 6, 4, 4}}, {'G', {3, 4, 5, 5, 3}},
    {'H', {5, 5, 7, 5, 5}}, {'I', {7, 2, 2, 2, 7}}, {'J', {1, 1, 1, 5, 2}}, {'K', {5, 5, 6, 5, 5}},
    {'L', {4, 4, 4, 4, 7}}, {'M', {5, 7, 7, 5, 5}}, {'N', {6, 5, 5, 5, 5}}, {'O', {2, 5, 5, 5, 2}},
    {'P', {7, 5, 7, 4, 4}}, {'Q', {2, 5, 5, 6, 3}}, {'R', {6, 5, 6, 5, 5}}, {'S', {7, 4, 7, 1, 7}},
    {'T', {7, 2, 2, 2, 2}}, {'U', {5, 5, 5, 5, 7}}, {'V', {5, 5, 5, 5, 2}}, {'W', {5, 5, 7, 7, 5}},
    {'X', {5, 5, 2, 5, 5}}, {'Y', {5, 5, 2, 2, 2}}, {'Z', {7, 1, 2, 4, 7}}, {'+', {0, 2, 7, 2, 0}},
    {'-', {0, 0, 7, 0, 0}}, {',', {0, 0, 0, 2, 4}}, {'#', {5, 7, 5, 7, 5}}, {'?', {7, 1, 2, 0, 2}},
    {'_', {0, 0, 0, 0, 7}}, {'/', {1, 1, 2, 4, 4}}, {'(', {1, 2, 2, 2, 1}}, {')', {4, 2, 2, 2, 4}},
    {'\'', {2, 2, 0, 0, 0}}, {'!', {2, 2, 2, 0, 2}}, {'=', {0, 7, 0, 7, 0}}, {'~', {0, 3, 6, 0, 0}},
};

const glyph* glyph_of(char c) {
    for (const glyph& g : glyphs)
        if (g.c == c) return &g;
    return nullptr;
}

}  // namespace

void draw_pixel_text(const std::string& text, int x, int y, fill_colour colour, int pixel) {
    for (char c : text) {
        if (const glyph* g = glyph_of(c)) {
            for (int row = 0; row < 5; ++row)
                for (int col = 0; col < 3; ++col)
                    if (g->rows[row] & (4 >> col)) fill_rect(x + col * pixel, y + row * pixel, pixel, pixel, colour);
        }
        x += pixel_text_advance(pixel);
    }
}

std::string pixel_text_of(const std::string& utf8) {
    std::string out;
    for (unsigned char c : utf8) {
        if (c >= 0x80 && c < 0xC0) continue;  // inside a sequence already shown
        char shown = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c);
        if (c != ' ' && (c >= 0x80 || !glyph_of(shown))) shown = '?';
        out += shown;
    }
    return out;
}
